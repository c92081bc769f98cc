// cmd.exe's command strings: %VAR% expansion, quotes and ^, the & && || | separators, and each
// command's redirections.

#include "emulation/cmd/Interpreter.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/cmd/Builtins.h"
#include "emulation/files/FileSystem.h"
#include "emulation/files/HostFile.h"
#include "emulation/programs/Program.h"
#include "platform/AnsiCodePage.h"

#include <QFile>
#include <QFileInfo>

namespace emulation::cmd {

namespace rights = accounts::rights;
using files::WinPath;
namespace fserr = files::fserr;
using programs::ProgramContext;

using namespace Qt::Literals::StringLiterals;

namespace {

const QString LineTooLong = u"输入行太长。"_s;
// The longest command line cmd.exe takes, before and after %VAR% expansion.
constexpr qsizetype MaxLine = 8191;
// The most standard input a command reads from a file.
constexpr qint64 MaxInput = 1 << 20;

bool isOperator(QChar c) {
    return c == u'&' || c == u'|';
}
} // namespace

QString Interpreter::expand(const QString& text, const std::map<QString, QString>& environment) {
    QString out;
    qsizetype i = 0;
    while (i < text.size()) {
        if (text[i] != u'%') {
            out += text[i++];
            continue;
        }
        const qsizetype close = text.indexOf(u'%', i + 1);
        if (close > i + 1) {
            const auto it = environment.find(text.mid(i + 1, close - i - 1).toUpper());
            if (it != environment.end()) {
                out += it->second;
                i = close + 1;
                continue;
            }
        }
        out += u'%'; // an unknown name stays as written
        ++i;
    }
    return out;
}

namespace {

// One command of a line with the characters that quotes or ^ made literal.
struct Piece {
    QString text;
    QList<bool> literal;
    QString opBefore; // & && || | before it; empty for the first
};

// Splits a command string into commands at & && || |; quotes and ^ make the characters literal.
QList<Piece> splitCommands(const QString& text) {
    QList<Piece> pieces{{}};
    bool inQuotes = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        Piece& cur = pieces.last();
        if (c == u'"') {
            inQuotes = !inQuotes;
            cur.text += c;
            cur.literal << true;
            continue;
        }
        if (!inQuotes && c == u'^') {
            if (i + 1 < text.size()) {
                cur.text += text[++i];
                cur.literal << true;
            }
            continue;
        }
        // In "2>&1" the & belongs to the redirection.
        const bool afterRedirect =
            c == u'&' && !cur.text.isEmpty() && cur.text.back() == u'>' && !cur.literal.back();
        if (!inQuotes && isOperator(c) && !afterRedirect) {
            QString op(c);
            if (i + 1 < text.size() && text[i + 1] == c)
                op += text[++i];
            pieces.append({{}, {}, op});
            continue;
        }
        cur.text += c;
        cur.literal << inQuotes;
    }
    return pieces;
}

} // namespace

int Interpreter::runCommandString(ProgramContext& ctx, const QString& commandString) {
    if (commandString.size() > MaxLine) {
        ctx.eprintln(LineTooLong);
        return 1;
    }
    const QString text = expand(commandString, ctx.environment);
    if (text.size() > MaxLine) {
        ctx.eprintln(LineTooLong);
        return 1;
    }
    const QList<Piece> pieces = splitCommands(text);
    // cmd.exe reads the whole line before it runs any of it: a separator with no command before
    // it (or a | with none after it) runs nothing.
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (!pieces[i].text.trimmed().isEmpty())
            continue;
        if (pieces.size() == 1)
            return 0;
        const bool lastAfterAmpersand = i == pieces.size() - 1 && pieces[i].opBefore == u"&"_s;
        if (lastAfterAmpersand)
            continue;
        const QString op = i + 1 < pieces.size() ? pieces[i + 1].opBefore : pieces[i].opBefore;
        ctx.eprintln(u"此时不应有 %1。"_s.arg(op));
        return 255;
    }
    int status = 0;
    for (qsizetype i = 0; i < pieces.size();) {
        // A pipeline: this command and every one joined to it by |.
        qsizetype end = i + 1;
        while (end < pieces.size() && pieces[end].opBefore == u"|"_s)
            ++end;
        const QString& op = pieces[i].opBefore;
        const bool skip = (op == u"&&"_s && status != 0) || (op == u"||"_s && status == 0);
        if (!skip && !pieces[i].text.trimmed().isEmpty()) {
            // The first command reads what this cmd.exe reads; the others read the pipe.
            std::optional<QString> piped = ctx.input;
            for (qsizetype k = i; k < end; ++k) {
                QString out;
                const bool toPipe = k + 1 < end;
                status = runOne(ctx, pieces[k].text, pieces[k].literal, piped, toPipe ? &out : nullptr);
                piped = toPipe ? std::optional<QString>(out) : std::nullopt;
            }
        }
        if (ctx.exited)
            break;
        i = end;
    }
    return status;
}

namespace {

// Where one stream of a command goes.
struct Sink {
    enum Kind { Parent, File, Nul, Pipe } kind = Parent;
    int parentStream = 1; // Parent: the stream of the cmd.exe that runs the command
    int file = -1;        // File: index into the command's output files
};

// A file a command's output goes to. What the command writes is gathered and stored when it
// ends, whole or not at all: a full disk leaves the old file as it was.
struct OutputFile {
    QString host;
    bool append = false;
    QByteArray bytes;
};

struct Redirection {
    int stream = 1; // 0 input, 1 output, 2 error
    bool append = false;
    int duplicate = -1; // n>&m
    QString target;
};

// Stores what a command wrote into its files. A command whose output could not be stored failed,
// whatever it says itself.
int storeOutput(ProgramContext& ctx, const std::vector<OutputFile>& files, int status) {
    for (const OutputFile& f : files) {
        const QString problem =
            f.append ? files::appendToFile(f.host, f.bytes) : files::replaceFile(f.host, f.bytes);
        if (!problem.isEmpty()) {
            ctx.eprintln(problem);
            status = 1;
        }
    }
    return status;
}

} // namespace

int Interpreter::runOne(ProgramContext& ctx, const QString& text, const QList<bool>& literal,
                        const std::optional<QString>& input, QString* pipe) {
    // Take the redirections out of the command, in the order written.
    QString command;
    QList<Redirection> redirections;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (literal[i] || (c != u'>' && c != u'<')) {
            command += c;
            continue;
        }
        Redirection r;
        r.stream = c == u'<' ? 0 : 1;
        // A digit just before the operator names the stream ("2>"), when it stands alone.
        if (!command.isEmpty() && command.back().isDigit() && !literal[i - 1] &&
            (command.size() == 1 || command[command.size() - 2].isSpace())) {
            r.stream = command.back().digitValue();
            command.chop(1);
        }
        qsizetype j = i + 1;
        if (c == u'>' && j < text.size() && text[j] == u'>' && !literal[j]) {
            r.append = true;
            ++j;
        }
        if (j + 1 < text.size() && text[j] == u'&' && text[j + 1].isDigit()) {
            r.duplicate = text[j + 1].digitValue();
            j += 2;
        } else {
            while (j < text.size() && text[j].isSpace())
                ++j;
            bool quoted = false;
            while (j < text.size() &&
                   (quoted || literal[j] || (!text[j].isSpace() && text[j] != u'>' && text[j] != u'<'))) {
                if (text[j] == u'"')
                    quoted = !quoted;
                else
                    r.target += text[j];
                ++j;
            }
        }
        redirections << r;
        i = j - 1;
    }

    // Open the files before the command runs, as cmd.exe does; a file it cannot open runs nothing.
    std::vector<OutputFile> files;
    std::map<int, Sink> sinks{{1, {pipe ? Sink::Pipe : Sink::Parent, 1}}, {2, {Sink::Parent, 2}}};
    std::optional<QString> stdIn = input;
    for (const Redirection& r : redirections) {
        if (r.stream > 2) {
            continue; // handles 3 to 9 exist in cmd.exe but nothing here writes to them
        }
        if (r.duplicate >= 0) {
            if (r.stream == 0 || r.duplicate == 0 || r.duplicate > 2) {
                ctx.eprintln(u"句柄无效。"_s);
                return 1;
            }
            sinks[r.stream] = sinks[r.duplicate];
            continue;
        }
        if (r.target.isEmpty()) {
            ctx.eprintln(u"命令语法不正确。"_s);
            return 1;
        }
        const QString device = r.target.trimmed().toUpper();
        if (device == u"NUL"_s || device.startsWith(u"NUL."_s)) {
            if (r.stream == 0)
                stdIn = QString();
            else
                sinks[r.stream] = {Sink::Nul};
            continue;
        }
        if (device == u"CON"_s && r.stream != 0) {
            sinks[r.stream] = {Sink::Parent, r.stream};
            continue;
        }
        const WinPath path = cmd::absolute(r.target);
        if (r.stream == 0) {
            QFile in(ctx.files.hostPath(path));
            if (in.fileName().isEmpty() || ctx.files.isFolder(path) || !in.open(QIODevice::ReadOnly)) {
                ctx.eprintln(path.problem == WinPath::Problem::TooLong ? fserr::TooLong
                                                                       : fserr::FileNotFound);
                return 1;
            }
            if (!(ctx.files.operatorRights(path) & rights::ReadData)) {
                ctx.eprintln(fserr::AccessDenied);
                return 1;
            }
            stdIn = platform::fromAnsi(in.read(MaxInput));
            continue;
        }
        if (const QString problem = cmd::checkWritable(ctx, path, r.append); !problem.isEmpty()) {
            ctx.eprintln(problem);
            return 1;
        }
        const QString host = ctx.files.hostPath(path);
        if (host.isEmpty() || QFileInfo(host).isSymLink()) {
            ctx.eprintln(fserr::AccessDenied);
            return 1;
        }
        files.push_back({host, r.append, {}});
        sinks[r.stream] = {Sink::File, 1, static_cast<int>(files.size() - 1)};
    }

    // Blanks before the command go; blanks after it stay (echo writes them).
    qsizetype from = 0;
    while (from < command.size() && (command[from].isSpace() || command[from] == u'@'))
        ++from;
    const QString t = command.mid(from);
    if (t.isEmpty())
        return storeOutput(ctx, files, 0); // only redirections: the files are made, nothing runs
    // The command name ends at a blank, or at the closing quote of a quoted name.
    QString name;
    QString rest;
    if (t.startsWith(u'"')) {
        const qsizetype close = t.indexOf(u'"', 1);
        name = close < 0 ? t.mid(1) : t.mid(1, close - 1);
        rest = close < 0 ? QString() : t.mid(close + 1);
    } else {
        qsizetype end = 0;
        while (end < t.size() && !t[end].isSpace() && t[end] != u'/')
            ++end;
        name = t.left(end);
        rest = t.mid(end);
    }

    ProgramContext run{ctx.machine, ctx.accounts, ctx.files, ctx.environment, {}, stdIn, ctx.nesting};
    int status;
    if (const auto builtin = cmd::builtin(name)) {
        status = (*builtin)(run, rest);
        ctx.exited = ctx.exited || run.exited;
    } else if (const auto path = findProgram(name)) {
        const auto ran = runFile(run, *path, rest.trimmed());
        if (!ran)
            run.eprintln(u"%1 不是有效的 Win32 应用程序。"_s.arg(*path));
        status = ran.value_or(193);
    } else {
        run.eprintln(u"'%1' 不是内部或外部命令，也不是可运行的程序\r\n或批处理文件。"_s.arg(name));
        status = 9009;
    }
    for (const ProgramContext::Chunk& chunk : run.written) {
        const Sink& sink = sinks[chunk.stream];
        switch (sink.kind) {
        case Sink::Parent:
            ctx.write(sink.parentStream, chunk.text);
            break;
        case Sink::File:
            // A console program writes its text in the code page of the console: GBK.
            files[static_cast<size_t>(sink.file)].bytes += platform::toAnsi(chunk.text);
            break;
        case Sink::Pipe:
            *pipe += chunk.text;
            break;
        case Sink::Nul:
            break;
        }
    }
    return storeOutput(ctx, files, status);
}

} // namespace emulation::cmd
