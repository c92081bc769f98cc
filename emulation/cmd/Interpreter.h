#pragma once

#include "platform/CommandRunner.h"

#include <QString>

#include <map>
#include <optional>

namespace emulation::machine {
class Machine;
}
namespace emulation::programs {
struct ProgramContext;
}

namespace emulation::cmd {

// The machine's command interpreter: starts a process from a command line as CreateProcess does
// (the program must exist as a file on the machine), and runs "cmd.exe /c" command strings as
// cmd.exe parses them: %VAR% expansion first (also inside quotes), double quotes, ^ escapes,
// the & && || | separators, the redirections > >> < 2> 2>&1 with standard output and standard
// error kept apart, the built-ins MkDir/md, copy, echo, type, and programs found by path or on
// PATH. Every run goes to the machine's journal.log, its line before it runs and its outcome after.
class Interpreter final : public platform::CommandRunner {
public:
    explicit Interpreter(machine::Machine& machine);

    platform::Outcome<platform::CommandResult> RunHidden(const QString& commandLine) override;

    // The environment of processes started on the machine, by upper-case name.
    std::map<QString, QString> environment() const;
    // Expands %NAME% as cmd.exe does on its command line: unknown names stay as they are.
    static QString expand(const QString& text, const std::map<QString, QString>& environment);

    // The command line as the journal keeps it: the password of "net user NAME PASSWORD" is
    // written as "********".
    static QString maskPasswords(const QString& line);

    // Runs a cmd.exe command string (what follows "/c") in a context; returns the exit status.
    int runCommandString(programs::ProgramContext& ctx, const QString& commandString);

private:
    platform::Outcome<platform::CommandResult> startProcess(const QString& commandLine);
    // Runs the program file at path (cmd.exe or a program of the machine); nullopt when the file
    // is no program.
    std::optional<int> runFile(programs::ProgramContext& ctx, const QString& path, const QString& argText);
    // Runs one command with its redirections; input is what a pipe gives it, and with pipe its
    // standard output goes there.
    int runOne(programs::ProgramContext& ctx, const QString& text, const QList<bool>& literal,
               const std::optional<QString>& input, QString* pipe);
    std::optional<QString> findProgram(const QString& name) const;
    // False when the line could not be written (the disk is full): the command must not run.
    bool journalStart(const QString& commandLine) const;
    void journal(const QString& commandLine, const platform::Outcome<platform::CommandResult>& result) const;
    bool writeJournal(const QString& entry) const;

    machine::Machine& m_machine;
};

} // namespace emulation::cmd

// Also reachable as emulation::Interpreter, the name callers outside the emulation know it by.
namespace emulation {
using cmd::Interpreter;
}
