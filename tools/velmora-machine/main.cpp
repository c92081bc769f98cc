// velmora-machine: installs, inspects and operates an emulated Windows Server 2003 + IIS 6 machine.

#include "emulation/Database.h"
#include "emulation/Interpreter.h"
#include "emulation/Machine.h"
#include "emulation/MetabaseXml.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {

void print(FILE* to, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
}

int usage() {
    print(stderr,
          u"用法：\n"
          "  velmora-machine install [--machine 文件夹] [--name 计算机名]\n"
          "  velmora-machine metabase export [--machine 文件夹] [--output MetaBase.xml]\n"
          "  velmora-machine metabase import 文件 [--machine 文件夹]\n"
          "不给 --machine 时使用 VELMORA_MACHINE 或默认的 %1\n"_s.arg(emulation::Machine::defaultFolder()));
    return 2;
}

// Takes "--name VALUE" out of the arguments.
QString takeOption(QStringList& args, const QString& name) {
    const qsizetype i = args.indexOf(name);
    if (i < 0 || i + 1 >= args.size())
        return {};
    const QString value = args.at(i + 1);
    args.remove(i, 2);
    return value;
}

int fail(const QString& message) {
    print(stderr, message + u'\n');
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString folder = takeOption(args, u"--machine"_s);
    if (folder.isEmpty())
        folder = emulation::Machine::defaultFolder();
    const QString name = takeOption(args, u"--name"_s);
    const QString output = takeOption(args, u"--output"_s);
    if (args.isEmpty())
        return usage();

    const QString command = args.takeFirst();
    if (command == u"install"_s) {
        emulation::Machine::InstallOptions options;
        if (!name.isEmpty())
            options.name = name;
        auto machine = emulation::Machine::install(folder, options);
        if (!machine)
            return fail(machine.error().text);
        print(stdout, u"已安装模拟服务器 %1（Windows Server 2003 SP2，IIS 6）：%2\n"_s.arg(
                          options.name.toUpper(), folder));
        return 0;
    }
    if (command == u"cmd"_s && args.size() == 1) {
        auto machine = emulation::Machine::open(folder);
        if (!machine)
            return fail(machine.error().text);
        const auto result = machine.value()->interpreter().RunHidden(args.first());
        if (!result)
            return fail(result.error().text);
        print(stdout, result.value().output);
        print(stdout, u"[退出代码 %1]\n"_s.arg(result.value().exitCode));
        return result.value().exitCode == 0 ? 0 : 1;
    }
    if (command == u"metabase"_s && !args.isEmpty()) {
        const QString what = args.takeFirst();
        auto machine = emulation::Machine::open(folder);
        if (!machine)
            return fail(machine.error().text);
        if (what == u"export"_s && args.isEmpty()) {
            const QByteArray xml = emulation::exportMetabaseXml(machine.value()->db());
            if (output.isEmpty()) {
                std::fwrite(xml.constData(), 1, static_cast<size_t>(xml.size()), stdout);
                return 0;
            }
            QFile f(output);
            if (!f.open(QIODevice::WriteOnly) || f.write(xml) != xml.size())
                return fail(u"无法写入 %1"_s.arg(output));
            return 0;
        }
        if (what == u"import"_s && args.size() == 1) {
            QFile f(args.first());
            if (!f.open(QIODevice::ReadOnly))
                return fail(u"无法读取 %1"_s.arg(args.first()));
            if (auto s = emulation::importMetabaseXml(machine.value()->db(), f.readAll()); !s)
                return fail(s.error().text);
            print(stdout, u"已导入元数据库：%1\n"_s.arg(args.first()));
            return 0;
        }
    }
    return usage();
}
