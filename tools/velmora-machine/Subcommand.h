#pragma once

// The subcommands of velmora-machine. Each one is a row of the table in Subcommands.cpp and a
// run function in a file of its own; the command line is parsed from the table, and the help
// texts are written from it, so a subcommand and its options are described wherever they exist.
//
// A new subcommand: its row in Subcommands.cpp, its run function declared below and defined in
// its own file, and that file in tools/CMakeLists.txt. A subcommand that serves until it is
// stopped runs QCoreApplication::exec() from its run function.

#include "platform/Outcome.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <memory>
#include <vector>

namespace emulation::machine {
class Machine;
}

namespace velmora_machine {

// Exit statuses: done, failed, and a command line that could not be understood.
inline constexpr int ExitOk = 0;
inline constexpr int ExitFailed = 1;
inline constexpr int ExitUsage = 2;

struct Subcommand;

// One run of a subcommand: its arguments after the subcommand's name and its parsed options.
class Invocation {
public:
    Invocation(const Subcommand& subcommand, const QCommandLineParser& parser, QStringList arguments);

    const Subcommand& subcommand() const { return m_subcommand; }
    const QStringList& arguments() const { return m_arguments; }
    // The value of an option of the subcommand ("name" for --name); empty when not given.
    QString value(const QString& option) const { return m_parser.value(option); }
    bool isSet(const QString& option) const { return m_parser.isSet(option); }
    // --machine, or the default machine.
    QString machineFolder() const;
    platform::Outcome<std::unique_ptr<emulation::machine::Machine>> openMachine() const;

    // Prints a failure on standard error; returns ExitFailed.
    int fail(const QString& message) const;
    // Prints what is wrong with the command line and the subcommand's usage; returns ExitUsage.
    int usageError(const QString& message) const;

private:
    const Subcommand& m_subcommand;
    const QCommandLineParser& m_parser;
    QStringList m_arguments;
};

struct Subcommand {
    QString name;
    QString summary;     // one line for the list of subcommands
    QString syntax;      // the arguments after the name, as the usage line shows them
    QString description; // what "help NAME" says beyond the summary; may be empty
    QList<QCommandLineOption> options;
    int minArguments;
    int maxArguments;
    int (*run)(const Invocation&);
};

// Every subcommand, in the order the help lists them.
const std::vector<Subcommand>& subcommands();
const Subcommand* findSubcommand(const QString& name);
// The options every subcommand takes: --machine, --help, --version.
QList<QCommandLineOption> commonOptions();

// The overview: every subcommand and the common options.
QString overviewText();
// One subcommand: its usage line, description, arguments and every option it takes.
QString helpText(const Subcommand& subcommand);
QString usageLine(const Subcommand& subcommand);

// Parses and runs a command line (without the program name); returns the exit status.
int runCommandLine(const QStringList& arguments);

void print(FILE* to, const QString& text);

// The run functions, one file each.
int runCheck(const Invocation& invocation);
int runCmd(const Invocation& invocation);
int runFacts(const Invocation& invocation);
int runHelp(const Invocation& invocation);
int runInstall(const Invocation& invocation);
int runInstallProgram(const Invocation& invocation);
int runMetabase(const Invocation& invocation);
int runMetabaseHistory(const Invocation& invocation, emulation::machine::Machine& machine);
int runMetabaseRestore(const Invocation& invocation, emulation::machine::Machine& machine);
int runServe(const Invocation& invocation);
int runService(const Invocation& invocation);
int runTrafficSubcommand(const Invocation& invocation);

} // namespace velmora_machine
