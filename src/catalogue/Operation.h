#pragma once

#include "platform/CommandRunner.h"
#include "platform/Outcome.h"

#include <QString>
#include <QStringList>

namespace catalogue {

// One create, delete or edit: the steps of it that failed, so that the final report tells the
// truth. A step has failed when its intended effect did not happen.
class Operation {
public:
    // Records a command whose intended effect did not happen.
    void command(const QString& commandLine, const platform::Outcome<platform::CommandResult>& result);
    // Records a failed metabase or platform step, described as "Create IIsWebServer 10000 on IIS://...".
    void step(const QString& what, const platform::Error& error);

    bool failed() const { return !m_failures.isEmpty(); }
    const QStringList& failures() const { return m_failures; }

    // Whether a command achieved what it was run for, though it may have ended with an error:
    // MkDir of a folder that exists, removing a group member that is not one, adding one that is,
    // deleting an account that is gone.
    static bool achieved(const QString& commandLine,
                         const platform::Outcome<platform::CommandResult>& result);

private:
    QStringList m_failures;
};

} // namespace catalogue
