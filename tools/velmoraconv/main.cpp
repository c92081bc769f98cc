// velmoraconv on Linux: the machine's log-conversion tool on this computer's paths.
//
//   velmoraconv -i:BIN -o:W3C "select * into /tmp/ex240105.log from /var/log/ra240105.ibl where siteid=10000"

#include "emulation/programs/velmoraconv/Conversion.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);

    velmoraconv::PathResolver paths;
    paths.input = [](const QString& path) {
        return velmoraconv::Resolved{path, {}, velmoraconv::Success};
    };
    paths.output = [](const QString& path) -> velmoraconv::Resolved {
        const QFileInfo info(path);
        if (!info.absoluteDir().exists())
            return {{}, u"输出文件的目录不存在：%1"_s.arg(path), velmoraconv::BadOutput};
        if (info.isDir())
            return {{}, u"输出文件是一个目录：%1"_s.arg(path), velmoraconv::BadOutput};
        return {path, {}, velmoraconv::Success};
    };
    QString output;
    const int status = velmoraconv::run(args, paths, output);
    output.remove(u'\r');
    std::fputs(output.toLocal8Bit().constData(), status == velmoraconv::Success ? stdout : stderr);
    return status;
}
