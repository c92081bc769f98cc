#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <map>

namespace emulation {

class AccountStore;
class FileSystem;
class Machine;

// What a program of the machine runs with: the machine, its environment, and the output it writes.
struct ProgramContext {
    Machine& machine;
    AccountStore& accounts;
    FileSystem& files;
    const std::map<QString, QString>& environment; // by upper-case name
    QString output;

    void print(const QString& text) { output += text; }
    void println(const QString& text = {}) { output += text + QStringLiteral("\r\n"); }
};

// A program's entry point: the arguments as the C runtime splits its command line, and the
// command line's argument text itself (for programs that parse it on their own). Returns the
// exit status.
using ProgramMain = std::function<int(ProgramContext&, const QStringList& args, const QString& argText)>;

// Splits a command line the way CommandLineToArgvW and the C runtime do: blanks separate,
// double quotes group, backslashes escape quotes only.
QStringList splitArguments(const QString& text);

// The programs of the machine by file name ("net.exe"), each in a folder of its own.
int net_main(ProgramContext& ctx, const QStringList& args, const QString& argText);
int cacls_main(ProgramContext& ctx, const QStringList& args, const QString& argText);
int icacls_main(ProgramContext& ctx, const QStringList& args, const QString& argText);
int iisreset_main(ProgramContext& ctx, const QStringList& args, const QString& argText);

} // namespace emulation
