#pragma once

// The log-conversion tool velmoraconv: cuts one site's records out of a day's central binary log
// and writes them as a W3C extended log, as IIS 6 writes its per-site text logs. The same code runs
// as the machine's drivers\velmoraconv.exe and as the Linux executable velmoraconv; each hands in
// its own way of turning the query's paths into files of this computer.
//
//   velmoraconv -i:BIN -o:W3C "select * into OUTPUT from INPUT where siteid=N"
//
// Switches and keywords in any letter case. Exit status 0 on success, 1 for arguments or a query
// the tool does not understand, 2 for an input it cannot read, 3 for an output it cannot write.
// The output is written to a temporary file beside it and renamed when whole, so a failure never
// leaves a half-written log behind.

#include <QString>
#include <QStringList>

#include <functional>

namespace velmoraconv {

inline constexpr char Name[] = "velmoraconv";
inline constexpr char Version[] = "1.0";

enum ExitStatus { Success = 0, BadArguments = 1, BadInput = 2, BadOutput = 3 };

// The query the tool understands.
struct Query {
    QString output;
    QString input;
    quint32 siteId = 0;
};

// The file of this computer behind a path of the query, or the message why there is none.
struct Resolved {
    QString hostPath;
    QString error;
    ExitStatus status = Success;
};

// How a path of the query becomes a file: the input is read, the output written.
struct PathResolver {
    std::function<Resolved(const QString& path)> input;
    std::function<Resolved(const QString& path)> output;
};

// Parses the arguments after the program name; on failure returns the message in error.
bool parseArguments(const QStringList& args, Query& query, QString& error);

// The size of the parts a large log is read in side by side: 4 MB on a processor of two cores or
// more; on one core a log is read from start to end.
qint64 defaultPartBytes();

// Runs the tool: prints its report or its error into output (lines end in CRLF) and returns the
// exit status. A log of more than partBytes after its header is read in parts of that size side by
// side, with the same output as when read from start to end (the tests part small logs).
int run(const QStringList& args, const PathResolver& paths, QString& output,
        qint64 partBytes = defaultPartBytes());

} // namespace velmoraconv
