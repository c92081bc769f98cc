#pragma once

#include "platform/Outcome.h"

#include <QString>

namespace platform {

// What a finished command left behind.
struct CommandResult {
    int exitCode = 0;
    QString output; // what it wrote, standard output and error together
};

// Starts "cmd.exe /c ..." command lines with a hidden window. The line is handed over as it
// stands; each command has ended when RunHidden returns, so commands run in the order started.
class CommandRunner {
public:
    virtual ~CommandRunner() = default;
    // Fails only when the command interpreter itself cannot be started.
    virtual Outcome<CommandResult> RunHidden(const QString& commandLine) = 0;
};

} // namespace platform
