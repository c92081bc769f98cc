#pragma once

// Sites made on the machine as the program makes them (metabase keys, folders, account, pool and
// FTP directory), and the window driven as the operator drives it.

#include "emulation/accounts/AccountStore.h"
#include "emulation/files/FileSystem.h"
#include "emulation/metabase/MetabaseStore.h"
#include "settings/ReadIniValue.h"
#include "tests/support/CommandLines.h"
#include "tests/support/FormHarness.h"
#include "tests/support/GridDriver.h"

#include <QDirIterator>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <map>

namespace testing_support {

using namespace Qt::Literals::StringLiterals;

struct SiteSpec {
    QString name;
    QStringList domains;    // host names; every one bound on port 80
    bool ownAccount = true; // an account named like the site, in velmorausers
    bool pool = true;       // an application pool named like the site
    bool ftp = false;       // an FTP directory under the default FTP site
    QString password = QStringLiteral("Pw12345");
    QString directory; // the root's Path; the site's web folder when empty
    QString sitesRoot = QStringLiteral("D:\\WebRoot");
    int state = 2;
    // Another account as the anonymous user ("Administrator"), set on the root; none when empty.
    QString anonymousUser;
    QString anonymousPassword;
};

class MaintenanceTest : public ::testing::Test {
protected:
    FormHarness h;
    Form1* form = nullptr;
    int nextNumber = 10000;

    void SetUp() override {
        form = &h.start();
        ASSERT_FALSE(h.end.ends);
        form->resize(form->sizeHint());
    }

    emulation::Machine& m() { return h.machine.machine(); }
    platform::CommandResult cmd(const QString& line) { return run(m(), u"cmd.exe /c "_s + line); }

    // Makes a site and returns its number.
    QString makeSite(const SiteSpec& s) {
        using platform::MetaValue;
        const QString number = QString::number(nextNumber++);
        const QString folder = s.sitesRoot + (s.sitesRoot.endsWith(u'\\') ? QString() : u"\\"_s) + s.name;
        cmd(u"MkDir "_s + folder + u"\\web"_s);
        cmd(u"MkDir "_s + folder + u"\\log"_s);
        h.machine.writeFile(folder + u"\\web\\index.html"_s, "<html>" + s.name.toUtf8() + "</html>");
        auto service = m().metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
        auto site = service->Create(u"IIsWebServer"_s, number).value();
        site->Put(u"ServerComment"_s, s.name);
        QStringList bindings;
        for (const QString& d : s.domains)
            bindings << u":80:"_s + d;
        site->Put(u"ServerBindings"_s, MetaValue(bindings));
        site->Put(u"ServerState"_s, MetaValue(static_cast<std::uint32_t>(s.state)));
        EXPECT_TRUE(site->SetInfo().ok());
        auto root = site->Create(u"IIsWebVirtualDir"_s, u"ROOT"_s).value();
        root->Put(u"Path"_s, s.directory.isEmpty() ? folder + u"\\web"_s : s.directory);
        if (s.ownAccount) {
            root->Put(u"AnonymousUserName"_s, s.name);
            root->Put(u"AnonymousUserPass"_s, s.password);
        }
        if (!s.anonymousUser.isEmpty()) {
            root->Put(u"AnonymousUserName"_s, s.anonymousUser);
            root->Put(u"AnonymousUserPass"_s, s.anonymousPassword);
        }
        if (s.pool)
            root->Put(u"AppPoolId"_s, s.name);
        EXPECT_TRUE(root->SetInfo().ok());
        if (s.pool) {
            auto pools = m().metabase().Bind(u"IIS://localhost/w3svc/AppPools"_s).value();
            auto pool = pools->Create(u"IIsApplicationPool"_s, s.name);
            if (pool) {
                EXPECT_TRUE(pool.value()->SetInfo().ok());
            }
        }
        if (s.ownAccount) {
            cmd(u"net user "_s + s.name + u" "_s + s.password + u" /add"_s);
            cmd(u"net localgroup Users "_s + s.name + u" /delete"_s);
            cmd(u"net localgroup velmorausers "_s + s.name + u" /add"_s);
        }
        if (s.ftp) {
            auto ftpRoot = m().metabase().Bind(u"IIS://localhost/MSFTPSVC/1/ROOT"_s).value();
            auto dir = ftpRoot->Create(u"IIsFtpVirtualDir"_s, s.name);
            if (dir) {
                dir.value()->Put(u"Path"_s, folder);
                EXPECT_TRUE(dir.value()->SetInfo().ok());
            }
        }
        return number;
    }
    QString makeSite(const QString& name, bool ownAccount = true, bool ftp = false) {
        SiteSpec s;
        s.name = name;
        s.domains = {u"www."_s + name + u".com"_s, name + u".com"_s};
        s.ownAccount = ownAccount;
        s.ftp = ftp;
        return makeSite(s);
    }

    // The list row carrying exactly this name; -1 when none does.
    int rowOf(const QString& name) const { return testing_support::rowOf(*form->MSFlexGrid1, name); }
    // A left click on the middle of a cell, as the operator makes it.
    void click(int row, int col) {
        ASSERT_TRUE(clickCell(*form->MSFlexGrid1, row, col)) << row << "," << col;
    }
    void loadRow(const QString& name) {
        const int r = rowOf(name);
        ASSERT_GT(r, 0) << name.toStdString();
        click(r, 3);
    }
    void press(QWidget* button) { QTest::mouseClick(button, Qt::LeftButton); }

    platform::MetabaseObjectPtr bind(const QString& path) {
        auto o = m().metabase().Bind(path);
        return o ? std::move(o).value() : nullptr;
    }
    bool exists(const QString& path) { return m().metabase().Bind(path).ok(); }
    std::uint32_t serverState(const QString& number) {
        auto site = bind(u"IIS://LocalHost/W3SVC/"_s + number);
        return site ? site->Get(u"ServerState"_s).value().toNumber() : 0;
    }
    bool accountExists(const QString& name) { return m().accounts().lookup(name).has_value(); }
    bool inSiteGroup(const QString& name) {
        const auto user = m().accounts().lookup(name);
        if (!user)
            return false;
        for (const auto& g : m().accounts().groupsOf(user->sid))
            if (g.name.compare(u"velmorausers"_s, Qt::CaseInsensitive) == 0)
                return true;
        return false;
    }
    bool folderExists(const QString& windowsPath) {
        return m().files().isFolder(emulation::WinPath::parse(windowsPath));
    }

    // Every file and folder on the machine's drives, by path relative to the drives folder.
    std::map<QString, QByteArray> snapshot() {
        std::map<QString, QByteArray> all;
        const QString base = m().drivesFolder();
        QDirIterator it(base, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString p = it.next();
            QFile f(p);
            all[p.mid(base.size())] =
                QFileInfo(p).isFile() && f.open(QIODevice::ReadOnly) ? f.readAll() : "<dir>";
        }
        return all;
    }
    // What of the earlier snapshot is missing or changed now, apart from paths under the given
    // drive-relative prefixes ("/D/WebRoot/shop").
    static QStringList lost(const std::map<QString, QByteArray>& before,
                            const std::map<QString, QByteArray>& after, const QStringList& allowed = {}) {
        QStringList out;
        for (const auto& [path, content] : before) {
            bool mayGo = false;
            for (const QString& a : allowed)
                if (path.compare(a, Qt::CaseInsensitive) == 0 ||
                    path.startsWith(a + u'/', Qt::CaseInsensitive))
                    mayGo = true;
            if (mayGo)
                continue;
            const auto it = after.find(path);
            if (it == after.end() || it->second != content)
                out << path;
        }
        return out;
    }

    // No "警告" report was shown.
    bool warningFree() const {
        for (const auto& b : h.dialogs.shown)
            if (b.title == u"警告"_s)
                return false;
        return true;
    }
    QStringList prompts() const {
        QStringList out;
        for (const auto& b : h.dialogs.shown)
            out << b.prompt;
        return out;
    }
};

} // namespace testing_support
