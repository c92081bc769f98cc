// velmoraconv.exe: the log-conversion tool as a program of the machine. The query's paths are
// Windows paths on the machine's drives; reading needs the right to read the log file and writing
// the right to add a file to the output's folder, as for any program the operator runs.

#include "emulation/programs/velmoraconv/Velmoraconv.h"

#include "emulation/files/FileSystem.h"
#include "emulation/programs/velmoraconv/Conversion.h"

namespace emulation::programs {

namespace rights = accounts::rights;
using files::WinPath;
namespace fserr = files::fserr;

using namespace Qt::Literals::StringLiterals;

int velmoraconv_main(ProgramContext& ctx, const QStringList& args, const QString&) {
    using velmoraconv::Resolved;
    velmoraconv::PathResolver paths;
    paths.input = [&](const QString& text) -> Resolved {
        const WinPath path = WinPath::parse(text);
        if (!path.valid() || path.names.isEmpty())
            return {{}, fserr::BadSyntax + u" "_s + text, velmoraconv::BadInput};
        if (!ctx.files.exists(path) || ctx.files.isFolder(path))
            return {{}, u"日志文件不存在：%1"_s.arg(text), velmoraconv::BadInput};
        if (!(ctx.files.operatorRights(path) & rights::ReadData))
            return {{}, fserr::AccessDenied + u" "_s + text, velmoraconv::BadInput};
        return {ctx.files.hostPath(path), {}, velmoraconv::Success};
    };
    paths.output = [&](const QString& text) -> Resolved {
        const WinPath path = WinPath::parse(text);
        if (!path.valid() || path.names.isEmpty())
            return {{}, fserr::BadSyntax + u" "_s + text, velmoraconv::BadOutput};
        WinPath folder = path;
        folder.names.removeLast();
        if (!ctx.files.isFolder(folder))
            return {{}, fserr::PathNotFound + u" "_s + text, velmoraconv::BadOutput};
        if (ctx.files.isFolder(path))
            return {{}, u"输出文件是一个目录：%1"_s.arg(text), velmoraconv::BadOutput};
        const bool exists = ctx.files.exists(path);
        // Replacing a file needs the right to write it; a new file, the right to add one.
        if (!(ctx.files.operatorRights(exists ? path : folder) & rights::WriteData))
            return {{}, fserr::AccessDenied + u" "_s + text, velmoraconv::BadOutput};
        return {ctx.files.hostPath(path), {}, velmoraconv::Success};
    };
    QString output;
    const int status = velmoraconv::run(args, paths, output);
    // Its complaints go to standard error, its report of work done to standard output.
    if (status == velmoraconv::Success)
        ctx.print(output);
    else
        ctx.eprint(output);
    return status;
}

} // namespace emulation::programs
