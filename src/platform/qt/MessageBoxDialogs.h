#pragma once

#include "platform/Dialogs.h"

#include <QString>

class QWidget;

namespace platform {

// Message boxes as QMessageBox shows them, over the given parent window.
class MessageBoxDialogs final : public Dialogs {
public:
    void setParent(QWidget* parent) { m_parent = parent; }
    // The host folder that holds the machine's drives, one folder per drive letter.
    void setDrivesFolder(const QString& folder) { m_drives = folder; }
    int MsgBox(const QString& prompt, int style, const QString& title) override;
    QString BrowseFolder(const QString& title) override;

private:
    QWidget* m_parent = nullptr;
    QString m_drives;
};

// Ends the process at once.
class ProcessEnd final : public ProgramEnd {
public:
    void End() override;
};

} // namespace platform
