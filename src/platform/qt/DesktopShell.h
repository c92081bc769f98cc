#pragma once

#include "platform/Shell.h"

namespace platform {

// The desktop's handlers for web pages and mail links (Qt's desktop services).
class DesktopShell final : public Shell {
public:
    void ShellExecute(const QString& operation, const QString& file, const QString& parameters,
                      const QString& directory, int showCmd) override;
};

} // namespace platform
