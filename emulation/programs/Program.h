#pragma once

#include <QString>
#include <QStringList>

#include <QList>

#include <functional>
#include <map>
#include <optional>

namespace emulation::accounts {
class AccountStore;
}
namespace emulation::files {
class FileSystem;
}
namespace emulation::machine {
class Machine;
}

namespace emulation::programs {

// What a program of the machine runs with: the machine, its environment, its standard input and
// what it writes to standard output (stream 1) and standard error (stream 2), in the order written.
struct ProgramContext {
    machine::Machine& machine;
    accounts::AccountStore& accounts;
    files::FileSystem& files;
    const std::map<QString, QString>& environment; // by upper-case name
    struct Chunk {
        int stream;
        QString text;
    };
    QList<Chunk> written;
    // Standard input when a pipe or "<" gives one; nullopt while it is the console of a hidden
    // window, where nobody answers.
    std::optional<QString> input;
    int nesting = 0;     // cmd.exe processes started inside one another
    bool exited = false; // EXIT ran: the cmd.exe running it ends

    void print(const QString& text) { write(1, text); }
    void println(const QString& text = {}) { write(1, text + QStringLiteral("\r\n")); }
    void eprint(const QString& text) { write(2, text); }
    void eprintln(const QString& text = {}) { write(2, text + QStringLiteral("\r\n")); }
    void write(int stream, const QString& text) {
        if (text.isEmpty())
            return;
        if (!written.isEmpty() && written.last().stream == stream)
            written.last().text += text;
        else
            written.append({stream, text});
    }
    // Both streams together, as a console shows them.
    QString shown() const {
        QString out;
        for (const Chunk& c : written)
            out += c.text;
        return out;
    }
    // One line of standard input without its line end; nullopt at its end or with no input.
    std::optional<QString> readLine() {
        if (!input || input->isEmpty())
            return std::nullopt;
        qsizetype end = input->indexOf(u'\n');
        QString line = end < 0 ? *input : input->left(end);
        input->remove(0, end < 0 ? input->size() : end + 1);
        if (line.endsWith(u'\r'))
            line.chop(1);
        return line;
    }
};

// A program's entry point: the arguments as the C runtime splits its command line, and the
// command line's argument text itself (for programs that parse it on their own). Returns the
// exit status.
using ProgramMain = std::function<int(ProgramContext&, const QStringList& args, const QString& argText)>;

// Splits a command line the way CommandLineToArgvW and the C runtime do: blanks separate,
// double quotes group, backslashes escape quotes only.
QStringList splitArguments(const QString& text);

} // namespace emulation::programs
