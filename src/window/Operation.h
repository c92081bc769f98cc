#pragma once

#include "platform/Outcome.h"

#include <QString>
#include <QStringList>

namespace window {

// One create, delete or edit: the steps of it that failed, so that the final report tells the
// truth. A step has failed when its intended effect did not happen.
class Operation {
public:
    // Records a command line whose intended effect did not happen, and why.
    void command(const QString& commandLine, const QString& why);
    // Records a failed metabase or platform step, described as "Create IIsWebServer 10000 on IIS://...".
    void step(const QString& what, const platform::Error& error);

    // Records something the operator asked for that the operation did not do, in the operator's words.
    void note(const QString& text) { m_failures << text; }

    bool failed() const { return !m_failures.isEmpty(); }
    const QStringList& failures() const { return m_failures; }

private:
    QStringList m_failures;
};

} // namespace window
