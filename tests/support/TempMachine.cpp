#include "tests/support/TempMachine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace testing_support {

TempMachine::TempMachine(const QString& name) {
    emulation::machine::Machine::InstallOptions options;
    options.name = name;
    // Known passwords, so that tests can tell them in the window; installed machines get random ones.
    options.anonymousPassword = QStringLiteral("Qv7#mT2p!Lx9rB4e");
    options.wamPassword = QStringLiteral("Hs3!kP8v#Nw5zQ1c");
    auto installed = emulation::machine::Machine::install(folder(), options);
    if (!installed) {
        ADD_FAILURE() << "install failed: " << installed.error().text.toStdString();
        return;
    }
    m_machine = std::move(installed).value();
    m_profiles = std::make_unique<settings::ProfileFile>(
        [m = m_machine.get()](const QString& path) { return m->hostPath(path); });
}

std::unique_ptr<emulation::machine::Machine> TempMachine::reopen() const {
    auto opened = emulation::machine::Machine::open(folder());
    if (!opened) {
        ADD_FAILURE() << "open failed: " << opened.error().text.toStdString();
        return nullptr;
    }
    return std::move(opened).value();
}

QByteArray TempMachine::readFile(const QString& windowsPath) const {
    QFile f(m_machine->hostPath(windowsPath));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void TempMachine::writeFile(const QString& windowsPath, const QByteArray& bytes) const {
    const QString host = m_machine->hostPath(windowsPath);
    QDir().mkpath(QFileInfo(host).path());
    QFile f(host);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

} // namespace testing_support
