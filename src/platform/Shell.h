#pragma once

#include <QString>

namespace platform {

// The shell's "open" action (ShellExecuteA): hands an address to the program associated with it.
// Nothing waits for the program and the result is not reported.
class Shell {
public:
    virtual ~Shell() = default;
    virtual void ShellExecute(const QString& operation, const QString& file, const QString& parameters,
                              const QString& directory, int showCmd) = 0;
};

} // namespace platform
