#pragma once

#include "platform/CommandRunner.h"
#include "platform/Outcome.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace platform {
class Accounts;
class Files;
} // namespace platform

namespace window {

// What a command line is run for, read from the program's own command text: the effect that the
// machine shows afterwards when the command did its job.
struct CommandEffect {
    enum class Kind {
        ExitStatus,  // nothing to look at: exit status 0
        Folders,     // MkDir: every path is a folder
        NewAccount,  // net user NAME ... /add: the account exists, made by this command
        AccountGone, // net user NAME /delete: no account of that name
        GroupExists, // net localgroup GROUP /add: the group exists
        Members,     // net localgroup GROUP NAME... /add: each is a member of the group
        NotMembers,  // net localgroup GROUP NAME... /delete: none is a member of the group
    };
    Kind kind = Kind::ExitStatus;
    QString group;
    QStringList names; // folders or accounts
};

// The effect of a "cmd.exe /c ..." line. A line that runs several commands, redirects, or holds
// variables to expand is judged by its exit status.
CommandEffect IntendedEffect(const QString& commandLine);

// Why a command that was run did not achieve its effect, judged by looking at the machine, and
// by the exit status where there is nothing to look at; nullopt when it did.
std::optional<QString> MissingEffect(const CommandEffect& effect,
                                     const platform::Outcome<platform::CommandResult>& result,
                                     platform::Files& files, platform::Accounts& accounts);

} // namespace window
