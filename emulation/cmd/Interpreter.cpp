// Starting a process on the machine: finding its program file, its environment, and cmd.exe itself.

#include "emulation/cmd/Interpreter.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/files/FileSystem.h"
#include "emulation/machine/Machine.h"
#include "emulation/programs/Program.h"
#include "emulation/programs/Programs.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace emulation::cmd {

using files::FileSystem;
using files::WinPath;
namespace fserr = files::fserr;
using machine::Machine;
using programs::ProgramContext;
using programs::ProgramMain;
using programs::splitArguments;

using namespace Qt::Literals::StringLiterals;
using platform::CommandResult;
using platform::Error;
using platform::Outcome;

namespace {

const QString SystemFolder = u"C:\\WINDOWS\\system32"_s;
// cmd.exe processes started inside one another before the machine has no room for another.
constexpr int MaxNesting = 32;

// The first token of a process command line and the text after it.
std::pair<QString, QString> splitProgram(const QString& line) {
    const QString t = line.trimmed();
    if (t.startsWith(u'"')) {
        const qsizetype close = t.indexOf(u'"', 1);
        if (close < 0)
            return {t.mid(1), QString()};
        return {t.mid(1, close - 1), t.mid(close + 1).trimmed()};
    }
    qsizetype end = 0;
    while (end < t.size() && !t[end].isSpace())
        ++end;
    return {t.left(end), t.mid(end).trimmed()};
}

} // namespace

Interpreter::Interpreter(Machine& machine) : m_machine(machine) {}

std::map<QString, QString> Interpreter::environment() const {
    const QString name = m_machine.fact(u"name"_s);
    return {
        {u"ALLUSERSPROFILE"_s, u"C:\\Documents and Settings\\All Users"_s},
        {u"COMPUTERNAME"_s, name},
        {u"COMSPEC"_s, u"C:\\WINDOWS\\system32\\cmd.exe"_s},
        {u"OS"_s, u"Windows_NT"_s},
        {u"PATH"_s, u"C:\\WINDOWS\\system32;C:\\WINDOWS;C:\\WINDOWS\\System32\\Wbem"_s},
        {u"PATHEXT"_s, u".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH"_s},
        {u"PROGRAMFILES"_s, u"C:\\Program Files"_s},
        {u"SYSTEMDRIVE"_s, u"C:"_s},
        {u"SYSTEMROOT"_s, u"C:\\WINDOWS"_s},
        {u"TEMP"_s, u"C:\\WINDOWS\\TEMP"_s},
        {u"TMP"_s, u"C:\\WINDOWS\\TEMP"_s},
        {u"USERDOMAIN"_s, name},
        {u"USERNAME"_s, u"Administrator"_s},
        {u"USERPROFILE"_s, u"C:\\Documents and Settings\\Administrator"_s},
        {u"WINDIR"_s, u"C:\\WINDOWS"_s},
    };
}

std::optional<QString> Interpreter::findProgram(const QString& name) const {
    FileSystem& fs = m_machine.files();
    const QStringList extensions{u".COM"_s, u".EXE"_s, u".BAT"_s, u".CMD"_s};
    auto candidate = [&](const QString& path) -> std::optional<QString> {
        if (QFileInfo(path).suffix().isEmpty()) {
            for (const QString& ext : extensions)
                if (fs.FileExists(path + ext))
                    return fs.displayPath(WinPath::parse(path + ext));
            return std::nullopt;
        }
        if (fs.FileExists(path))
            return fs.displayPath(WinPath::parse(path));
        return std::nullopt;
    };
    if (name.contains(u'\\') || name.contains(u':'))
        return WinPath::parse(name).valid() ? candidate(name) : candidate(SystemFolder + u'\\' + name);
    const QString path = environment().at(u"PATH"_s);
    for (const QString& folder : (SystemFolder + u';' + path).split(u';', Qt::SkipEmptyParts))
        if (auto found = candidate(folder + u'\\' + name))
            return found;
    return std::nullopt;
}

Outcome<CommandResult> Interpreter::RunHidden(const QString& commandLine) {
    // The line goes to the journal before it runs, so that a command that never ends still
    // leaves it there, and again with its outcome after.
    if (!journalStart(commandLine))
        return Error{files::fserr::DiskFullHr, files::fserr::DiskFull};
    auto result = startProcess(commandLine);
    journal(commandLine, result);
    return result;
}

Outcome<CommandResult> Interpreter::startProcess(const QString& commandLine) {
    const auto env = environment();
    const auto [program, argText] = splitProgram(commandLine);
    const auto path = findProgram(program);
    if (!path)
        return Error{0x80070002, fserr::FileNotFound};
    ProgramContext ctx{m_machine, m_machine.accounts(), m_machine.files(), env, {}, std::nullopt, 0};
    const auto status = runFile(ctx, *path, argText);
    if (!status)
        return Error{0x800700C1, u"%1 不是有效的 Win32 应用程序。"_s.arg(*path)};
    CommandResult result;
    result.exitCode = *status;
    result.output = ctx.shown();
    return result;
}

std::optional<int> Interpreter::runFile(ProgramContext& ctx, const QString& path, const QString& argText) {
    const QString file = path.section(u'\\', -1).toLower();
    if (file == u"cmd.exe"_s) {
        if (ctx.nesting >= MaxNesting) {
            // Every cmd.exe inside another is one more process; the machine runs out of them.
            ctx.eprintln(u"存储空间不足，无法处理此命令。"_s);
            return 8;
        }
        // cmd.exe [/Q] [/D] [/S] /C string: everything after /C is the command string.
        const qsizetype c = argText.indexOf(QRegularExpression(u"(^|\\s)/[cCkK](\\s|$)"_s));
        QString command = c < 0 ? QString() : argText.mid(argText.indexOf(u'/', c) + 2).trimmed();
        // With a quote first, the first and the last quote are taken off.
        if (command.startsWith(u'"')) {
            const qsizetype last = command.lastIndexOf(u'"');
            command = last > 0 ? command.mid(1, last - 1) + command.mid(last + 1) : command.mid(1);
        }
        ++ctx.nesting;
        const int status = runCommandString(ctx, command);
        --ctx.nesting;
        ctx.exited = false; // EXIT ended this cmd.exe, not the one that started it
        return status;
    }
    if (const ProgramMain* program = programs::programNamed(file))
        return (*program)(ctx, splitArguments(argText), argText);
    return std::nullopt; // a file that is no program of this machine
}

} // namespace emulation::cmd
