#pragma once

// A machine with an account "a" and the folders D:\WebRoot\shop\web with index.html in it, for
// tests of access-control lists and the access check.

#include "emulation/accounts/AccountStore.h"
#include "emulation/files/FileSystem.h"
#include "tests/support/CommandLines.h"
#include "tests/support/TempMachine.h"

#include <gtest/gtest.h>

namespace testing_support {

class AclTest : public ::testing::Test {
protected:
    TempMachine m;
    void SetUp() override {
        cmd(QStringLiteral("net user a pw /add"));
        cmd(QStringLiteral("md D:\\WebRoot\\shop\\web"));
        m.writeFile(QStringLiteral("D:\\WebRoot\\shop\\web\\index.html"), "x");
    }
    platform::CommandResult cmd(const QString& line) {
        return run(m.machine(), QStringLiteral("cmd.exe /c ") + line);
    }
    std::uint32_t rightsOf(const QString& account, const QString& path) {
        return m->files().rightsOf(m->accounts().lookup(account)->sid,
                                   emulation::files::WinPath::parse(path));
    }
    QStringList shown(const QString& path) {
        QStringList lines = cmd(QStringLiteral("icacls \"") + path + u'"')
                                .output.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        for (QString& l : lines)
            l = (l.startsWith(path) ? l.mid(path.size()) : l).trimmed();
        return lines;
    }
};

} // namespace testing_support
