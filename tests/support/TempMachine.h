#pragma once

#include "emulation/machine/Machine.h"
#include "settings/ProfileFile.h"
#include "tests/support/QtPrinters.h"

#include <QByteArray>
#include <QTemporaryDir>

#include <memory>

namespace testing_support {

// A freshly installed emulated machine in a temporary folder, removed with the fixture.
class TempMachine {
public:
    explicit TempMachine(const QString& name = QStringLiteral("VELMORA"));

    emulation::machine::Machine& machine() { return *m_machine; }
    emulation::machine::Machine* operator->() { return m_machine.get(); }
    QString folder() const { return m_dir.path() + QStringLiteral("/machine"); }
    // Opens a second, independent connection to the same machine (as another process would).
    std::unique_ptr<emulation::machine::Machine> reopen() const;
    // The settings file functions over this machine's drives.
    settings::ProfileFile& profiles() { return *m_profiles; }

    // Reads and writes files of the machine by Windows path.
    QByteArray readFile(const QString& windowsPath) const;
    void writeFile(const QString& windowsPath, const QByteArray& bytes) const;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<emulation::machine::Machine> m_machine;
    std::unique_ptr<settings::ProfileFile> m_profiles;
};

} // namespace testing_support
