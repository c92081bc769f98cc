// The consistency check over a machine on which each kind of drift was made on purpose: sites
// made piece by piece as the window makes them (so an interrupted operation is a site with only
// some of its pieces), hand edits through the machine's command interpreter, and a metabase
// import of an edited MetaBase.xml.

#include "emulation/check/Check.h"
#include "emulation/accounts/AccountStore.h"
#include "emulation/check/Repair.h"
#include "emulation/check/Report.h"
#include "emulation/cmd/Interpreter.h"
#include "emulation/metabase/MetabaseStore.h"
#include "emulation/metabase/MetabaseXml.h"
#include "platform/Accounts.h"
#include "tests/support/TempMachine.h"
#include "tools/velmora-machine/Subcommand.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <set>

using namespace Qt::Literals::StringLiterals;
namespace check = emulation::check;
using check::Kind;

namespace {

// The pieces the window makes for a site, in its order.
enum Piece : unsigned {
    Folders = 1,    // MkDir web and log
    Page = 2,       // copy of index.html
    WebSite = 4,    // the IIS site and its root
    Pool = 8,       // its own pool
    Account = 16,   // net user, out of Users, into velmorausers
    Anonymous = 32, // the account as the anonymous user
    Grants = 64,    // the two icacls lines
    Ftp = 128,      // the FTP directory
    Everything = 255,
};

class CheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        tm.writeFile(u"C:\\WINDOWS\\system32\\drivers\\index.html"_s, "<html>velmora</html>");
        ASSERT_EQ(run(u"cmd.exe /c net localgroup velmorausers /add"_s), 0);
        secureRoot();
    }

    emulation::machine::Machine& m() { return tm.machine(); }

    int run(const QString& line) {
        const auto r = m().interpreter().RunHidden(line);
        return r ? r.value().exitCode : -1;
    }

    void secureRoot() {
        run(u"cmd.exe /c icacls \"D:\\WebRoot\" /grant iis_wpg:(OI)(CI)(RA,REA,RC,RD,S)"_s);
        run(u"cmd.exe /c icacls \"D:\\WebRoot\" /remove:g administrators"_s);
        run(u"cmd.exe /c icacls \"D:\\WebRoot\" /remove:g system"_s);
        run(u"cmd.exe /c cacls \"D:\\WebRoot\" /t /e /r users"_s);
        run(u"cmd.exe /c cacls \"D:\\WebRoot\" /t /e /r \"CREATOR OWNER\""_s);
    }

    platform::MetabaseObjectPtr bind(const QString& path) {
        auto o = m().metabase().Bind(u"IIS://LocalHost/"_s + path);
        EXPECT_TRUE(o.ok()) << path.toStdString();
        return o ? std::move(o.value()) : nullptr;
    }

    // A site as the window makes it, with only the given pieces.
    void makeSite(const QString& name, int number, unsigned pieces, const QString& host = {}) {
        const QString folder = u"D:\\WebRoot\\"_s + name;
        const QString password = u"Pw"_s + QString::number(number);
        if (pieces & Folders) {
            EXPECT_EQ(run(u"cmd.exe /c MkDir "_s + folder + u"\\web"_s), 0);
            EXPECT_EQ(run(u"cmd.exe /c MkDir "_s + folder + u"\\log"_s), 0);
        }
        if (pieces & Page) {
            EXPECT_EQ(run(u"cmd.exe /c copy %systemroot%\\system32\\drivers\\index.html "_s + folder +
                          u"\\web\\"_s),
                      0);
        }
        if (pieces & WebSite) {
            auto site = bind(u"W3SVC"_s)->Create(u"IIsWebServer"_s, QString::number(number)).value();
            site->Put(u"ServerComment"_s, name);
            site->Put(u"ServerBindings"_s,
                      QStringList{u":80:"_s + (host.isEmpty() ? u"www."_s + name + u".com"_s : host)});
            auto root = site->Create(u"IIsWebVirtualDir"_s, u"ROOT"_s).value();
            root->Put(u"Path"_s, folder + u"\\web"_s);
            root->Put(u"AppFriendlyName"_s, u"默认应用程序 "_s + name);
            ASSERT_TRUE(root->SetInfo().ok());
            ASSERT_TRUE(site->SetInfo().ok());
        }
        if (pieces & Pool) {
            ASSERT_TRUE(
                bind(u"W3SVC/AppPools"_s)->Create(u"IIsApplicationPool"_s, name).value()->SetInfo().ok());
            if (pieces & WebSite) {
                auto site = bind(u"W3SVC/"_s + QString::number(number));
                site->Put(u"AppPoolId"_s, name);
                ASSERT_TRUE(site->SetInfo().ok());
            }
        }
        if (pieces & Account) {
            EXPECT_EQ(run(u"cmd.exe /c net user "_s + name + u' ' + password + u" /add"_s), 0);
            run(u"cmd.exe /c net localgroup Users "_s + name + u" /delete"_s);
            EXPECT_EQ(run(u"cmd.exe /c net localgroup velmorausers "_s + name + u" /add"_s), 0);
        }
        if (pieces & Anonymous)
            for (const QString& path : {u"W3SVC/%1/ROOT"_s.arg(number), u"W3SVC/%1"_s.arg(number)}) {
                auto o = bind(path);
                o->Put(u"AuthFlags"_s, 5);
                o->Put(u"AnonymousUserName"_s, name);
                o->Put(u"AnonymousUserPass"_s, password);
                ASSERT_TRUE(o->SetInfo().ok());
            }
        if (pieces & Grants) {
            run(u"cmd.exe /c icacls \""_s + folder + u"\" /grant:r "_s + name +
                u":(OI)(CI)(RA,REA,RC,RD,WD,S) /deny "_s + name + u":(OI)(CI)(WA,WEA)"_s);
            run(u"cmd.exe /c icacls \""_s + folder + u"\\web \" /grant:r "_s + name +
                u":(OI)(CI)(RA,RC,REA,RD,DC,GW,WA,WEA,WDAC,S) /deny "_s + name + u":(DE)"_s);
        }
        if (pieces & Ftp) {
            auto dir = bind(u"MSFTPSVC/1/ROOT"_s)->Create(u"IIsFtpVirtualDir"_s, name).value();
            dir->Put(u"Path"_s, folder);
            dir->Put(u"AccessRead"_s, true);
            dir->Put(u"AccessWrite"_s, true);
            ASSERT_TRUE(dir->SetInfo().ok());
        }
    }

    // Each finding as "kind site-or-object".
    std::multiset<std::string> found() {
        auto r = check::run(m());
        EXPECT_TRUE(r.ok());
        std::multiset<std::string> out;
        if (r)
            for (const auto& f : r.value().findings)
                out.insert(
                    (check::kindName(f.kind) + u' ' + (f.site.isEmpty() ? f.object : f.site)).toStdString());
        return out;
    }

    // Every file on the drives with a digest of its content.
    std::map<QString, QByteArray> snapshot() {
        std::map<QString, QByteArray> out;
        const QString drives = m().drivesFolder();
        QDirIterator it(drives, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            QFile f(path);
            QByteArray digest = "dir";
            if (it.fileInfo().isFile() && f.open(QIODevice::ReadOnly))
                digest = QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
            out[path.mid(drives.size())] = digest;
        }
        return out;
    }

    testing_support::TempMachine tm;
};

TEST_F(CheckTest, MachineMadeWholeByTheWindowHasNothingToReport) {
    makeSite(u"alpha"_s, 10000, Everything);
    makeSite(u"beta"_s, 10001, Everything & ~Ftp & ~Pool);
    EXPECT_EQ(found(), std::multiset<std::string>{});
    EXPECT_EQ(velmora_machine::runCommandLine({u"check"_s, u"--machine"_s, tm.folder()}), 0);
}

// A home directory elsewhere than under the sites root is looked for where it is, even when a folder
// of the same name lies under the root.
TEST_F(CheckTest, HomeDirectoryOutsideTheSitesRootIsLookedForWhereItIs) {
    makeSite(u"alpha"_s, 10000, Everything);
    auto root = bind(u"W3SVC/10000/ROOT"_s);
    root->Put(u"Path"_s, u"D:\\Elsewhere\\alpha\\web"_s);
    ASSERT_TRUE(root->SetInfo().ok());
    EXPECT_EQ(found(), std::multiset<std::string>{"missing-folder 10000"});
    EXPECT_EQ(run(u"cmd.exe /c MkDir D:\\Elsewhere\\alpha\\web"_s), 0);
    EXPECT_EQ(found(), std::multiset<std::string>{"missing-folder 10000"}) << "the default page is not there";
    EXPECT_EQ(
        run(u"cmd.exe /c copy %systemroot%\\system32\\drivers\\index.html D:\\Elsewhere\\alpha\\web\\"_s), 0);
    EXPECT_EQ(found(), std::multiset<std::string>{});
}

// Two folders under the root whose names differ only in case (made on the host: Windows cannot
// hold both) are one folder to the check, spelled as the machine's sorted listing ends with it.
TEST_F(CheckTest, FoldersDifferingOnlyInCaseAreOneFolder) {
    ASSERT_TRUE(QDir().mkpath(m().hostPath(u"D:\\WebRoot"_s) + u"/Orphan"_s));
    ASSERT_TRUE(QDir().mkpath(m().hostPath(u"D:\\WebRoot"_s) + u"/orphan"_s));
    auto r = check::run(m());
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.value().findings.size(), 1u);
    EXPECT_EQ(r.value().findings[0].kind, Kind::OrphanFolder);
    EXPECT_EQ(r.value().findings[0].object, u"D:\\WebRoot\\orphan"_s);
}

// One machine holding every kind of drift at once; each is made the way it happens.
class DriftedMachine : public CheckTest {
protected:
    void SetUp() override {
        CheckTest::SetUp();
        if (HasFatalFailure())
            return;
        makeSite(u"whole"_s, 10000, Everything);
        // Interrupted creates: folders never made; account never made; FTP directory only.
        makeSite(u"nofolder"_s, 10001, WebSite | Pool);
        makeSite(u"noaccount"_s, 10002, Folders | Page | WebSite | Anonymous);
        makeSite(u"ftponly"_s, 10003, Folders | Account | Ftp);
        // An interrupted delete: the site went, its pool stayed.
        makeSite(u"leftpool"_s, 10004, Pool);
        // Hand edits.
        makeSite(u"nopage"_s, 10005, Everything & ~Page);
        makeSite(u"disabled"_s, 10006, Everything);
        EXPECT_EQ(run(u"cmd.exe /c net user disabled /active:no"_s), 0);
        makeSite(u"newpass"_s, 10007, Everything);
        EXPECT_EQ(run(u"cmd.exe /c net user newpass Changed99"_s), 0);
        makeSite(u"twin"_s, 10008, Everything & ~Ftp, u"www.whole.com"_s);
        EXPECT_EQ(run(u"cmd.exe /c net user stray Stray123 /add"_s), 0);
        EXPECT_EQ(run(u"cmd.exe /c net localgroup velmorausers stray /add"_s), 0);
        EXPECT_EQ(run(u"cmd.exe /c MkDir D:\\WebRoot\\leftover\\web"_s), 0);
        EXPECT_EQ(run(u"cmd.exe /c net user gone Gone1234 /add"_s), 0);
        EXPECT_EQ(run(u"cmd.exe /c icacls \"D:\\WebRoot\\whole\\web\" /grant gone:(OI)(CI)(RD)"_s), 0);
        EXPECT_EQ(run(u"cmd.exe /c net user gone /delete"_s), 0);
        EXPECT_EQ(run(u"cmd.exe /c icacls \"D:\\WebRoot\\whole\" /grant twin:(RD)"_s), 0);
        EXPECT_EQ(run(u"cmd.exe /c icacls \"D:\\WebRoot\" /remove iis_wpg"_s), 0);
        // A pool taken away by importing an edited MetaBase.xml.
        makeSite(u"imported"_s, 10009, Everything & ~Ftp);
        QByteArray xml = emulation::metabase::exportMetabaseXml(m().db());
        const qsizetype at = xml.indexOf("Location =\"/LM/W3SVC/AppPools/imported\"");
        ASSERT_GT(at, 0);
        const qsizetype start = xml.lastIndexOf('<', at);
        const qsizetype end =
            xml.indexOf("</IIsApplicationPool>", at) + qsizetype(strlen("</IIsApplicationPool>\n"));
        xml.remove(start, end - start);
        ASSERT_TRUE(emulation::metabase::importMetabaseXml(m().db(), xml).ok());
    }
};

const std::multiset<std::string> Drift = {
    "missing-folder 10001", // home directory never made
    "missing-folder 10005", // no default page
    "anonymous-user 10002", // account never made
    "anonymous-user 10006", // disabled
    "anonymous-user 10007", // password changed by hand
    "missing-pool 10009",   // pool gone by import
    "unused-pool /LM/W3SVC/AppPools/leftpool",
    "ftp-directory /LM/MSFTPSVC/1/ROOT/ftponly",
    "unused-account stray",
    "orphan-folder D:\\WebRoot\\leftover",
    "deleted-account-entry 10000",
    "foreign-account-entry 10000",
    "root-not-secured D:\\WebRoot",
    "shared-binding 10000,10008",
};

// What --repair must leave: it deletes no folder, makes no account, enables none, and never
// chooses between two sites.
const std::multiset<std::string> Unmendable = {
    "missing-folder 10001",
    "missing-folder 10005",
    "anonymous-user 10002",
    "anonymous-user 10006",
    "orphan-folder D:\\WebRoot\\leftover",
    // The FTP directory without a site goes; its folder stays, now used by nothing.
    "orphan-folder D:\\WebRoot\\ftponly",
    "foreign-account-entry 10000",
    "shared-binding 10000,10008",
};

TEST_F(DriftedMachine, CheckReportsExactlyTheDriftMade) {
    EXPECT_EQ(found(), Drift);
    // The account of the FTP-only leftover is used by its FTP directory; the folder "ftponly" too.
    EXPECT_EQ(velmora_machine::runCommandLine({u"check"_s, u"--machine"_s, tm.folder()}), 1);
}

TEST_F(DriftedMachine, RepairMendsOnlyWhatLosesNothingAndTouchesNoFile) {
    const auto before = snapshot();
    auto first = check::run(m());
    ASSERT_TRUE(first.ok());
    std::vector<check::Repaired> repaired;
    const auto left = check::repairAll(m(), first.value(), repaired);
    ASSERT_TRUE(left.ok());
    for (const auto& r : repaired)
        EXPECT_TRUE(r.ok) << check::findingLine(r.finding).toStdString() << " " << r.detail.toStdString();
    // Seven found at first, and the account of the FTP directory that went, found next.
    EXPECT_EQ(repaired.size(), 8u);
    EXPECT_EQ(left.value().findings.size(), Unmendable.size());

    EXPECT_EQ(found(), Unmendable) << "a second check agrees with what repair left";
    // Every file and folder is still there, unchanged; the only new files are the metabase's
    // history versions written before the repairs changed it.
    const auto after = snapshot();
    for (const auto& [path, digest] : before) {
        ASSERT_TRUE(after.contains(path)) << path.toStdString();
        EXPECT_EQ(after.at(path), digest) << path.toStdString();
    }
    for (const auto& [path, digest] : after) {
        if (!before.contains(path)) {
            EXPECT_TRUE(path.contains(u"/inetsrv/History"_s, Qt::CaseInsensitive)) << path.toStdString();
        }
    }

    // What the repairs did, seen from the machine.
    EXPECT_FALSE(m().metabase().Bind(u"IIS://LocalHost/W3SVC/AppPools/leftpool"_s).ok());
    EXPECT_FALSE(m().metabase().Bind(u"IIS://LocalHost/MSFTPSVC/1/ROOT/ftponly"_s).ok());
    EXPECT_EQ(bind(u"W3SVC/10009"_s)->Get(u"AppPoolId"_s).value().toString(), u"DefaultAppPool"_s);
    EXPECT_TRUE(m().accounts().Exists(u"stray"_s).value()) << "an unused account is disabled, not deleted";
    EXPECT_TRUE(m().accounts().UserFlags(u"stray"_s).value() & platform::userflags::AccountDisable);
    EXPECT_TRUE(m().accounts().checkPassword(u"newpass"_s, u"Pw10007"_s));
    // Each repair went to the journal as the command that made it, or as a line of its own.
    QFile journal(tm.folder() + u"/journal.log"_s);
    ASSERT_TRUE(journal.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(journal.readAll());
    EXPECT_TRUE(text.contains(u"net user stray /active:no"_s));
    EXPECT_TRUE(text.contains(u"net user ftponly /active:no"_s));
    EXPECT_TRUE(text.contains(u"/remove *S-1-5-"_s));
    EXPECT_TRUE(text.contains(u"check --repair: 删除元数据库项 /LM/W3SVC/AppPools/leftpool"_s));
    EXPECT_FALSE(text.contains(u"Pw10007"_s)) << "the journal keeps no password";

    EXPECT_EQ(velmora_machine::runCommandLine({u"check"_s, u"--repair"_s, u"--machine"_s, tm.folder()}), 1);
}

TEST_F(DriftedMachine, JsonNamesEveryFindingWithItsRepair) {
    auto r = check::run(m());
    ASSERT_TRUE(r.ok());
    const QJsonObject doc = QJsonDocument::fromJson(check::toJson(r.value(), {})).object();
    EXPECT_EQ(doc[u"sitesRoot"_s].toString(), u"D:\\WebRoot"_s);
    const QJsonArray findings = doc[u"findings"_s].toArray();
    ASSERT_EQ(findings.size(), qsizetype(Drift.size()));
    int repairable = 0;
    for (const auto& v : findings) {
        const QJsonObject f = v.toObject();
        EXPECT_FALSE(f[u"kind"_s].toString().isEmpty());
        EXPECT_FALSE(f[u"object"_s].toString().isEmpty());
        EXPECT_FALSE(f[u"problem"_s].toString().isEmpty());
        repairable += f[u"repairable"_s].toBool();
        if (f[u"kind"_s].toString() == u"missing-pool"_s) {
            EXPECT_EQ(f[u"site"_s].toString(), u"10009"_s);
            EXPECT_EQ(f[u"siteName"_s].toString(), u"imported"_s);
            EXPECT_TRUE(f[u"repair"_s].toString().contains(u"DefaultAppPool"_s));
        }
    }
    EXPECT_EQ(repairable, 7);
    EXPECT_FALSE(QString::fromUtf8(check::toJson(r.value(), {})).contains(u"Pw1000"_s))
        << "passwords stay out of the report";
}

// Thousands of sites, as one import writes them, each with its folder and default page; the
// folders and pages are looked up in batches beside the reading of the metabase. A page taken
// away, a page that became a folder, a home directory and a whole site folder taken away are
// each found, whichever batch holds them.
TEST_F(CheckTest, EachOfThousandsOfSitesIsLookedUp) {
    constexpr int Sites = 2500;
    QByteArray extra;
    const QString root = m().hostPath(u"D:\\WebRoot"_s);
    for (int i = 0; i < Sites; ++i) {
        const QByteArray n = QByteArray::number(10000 + i);
        const QByteArray name = "many" + n;
        extra += "<IIsWebServer\tLocation =\"/LM/W3SVC/" + n + "\"\n\t\tServerBindings=\":80:www." + name +
                 ".com\"\n\t\tServerComment=\"" + name +
                 "\"\n\t>\n</IIsWebServer>\n<IIsWebVirtualDir\tLocation =\"/LM/W3SVC/" + n +
                 "/ROOT\"\n\t\tAppFriendlyName=\"" + QByteArray("默认应用程序 ") + name +
                 "\"\n\t\tPath=\"D:\\WebRoot\\" + name + "\\web\"\n\t>\n</IIsWebVirtualDir>\n";
        ASSERT_TRUE(QDir().mkpath(root + u"/many"_s + QString::fromLatin1(n) + u"/web"_s));
        QFile page(root + u"/many"_s + QString::fromLatin1(n) + u"/web/index.html"_s);
        ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    }
    QByteArray xml = emulation::metabase::exportMetabaseXml(m().db());
    xml.replace("</MBProperty>", extra + "</MBProperty>");
    ASSERT_TRUE(emulation::metabase::importMetabaseXml(m().db(), xml).ok());
    EXPECT_EQ(found(), std::multiset<std::string>{});

    ASSERT_TRUE(QFile::remove(root + u"/many10007/web/index.html"_s));
    ASSERT_TRUE(QFile::remove(root + u"/many11500/web/index.html"_s));
    ASSERT_TRUE(QDir().mkpath(root + u"/many11500/web/index.html"_s));
    ASSERT_TRUE(QDir(root + u"/many11024/web"_s).removeRecursively());
    ASSERT_TRUE(QDir(root + u"/many12499"_s).removeRecursively());
    EXPECT_EQ(found(), (std::multiset<std::string>{"missing-folder 10007", "missing-folder 11500",
                                                   "missing-folder 11024", "missing-folder 12499"}));
    auto r = check::run(m());
    ASSERT_TRUE(r.ok());
    std::set<std::string> problems;
    for (const auto& f : r.value().findings)
        problems.insert((f.site + u' ' + f.problem).toStdString());
    EXPECT_EQ(problems, (std::set<std::string>{"10007 默认页不存在", "11500 默认页不存在",
                                               "11024 主目录不存在", "12499 主目录不存在"}));
}

TEST_F(CheckTest, SitesRootComesFromTheSettingsFile) {
    EXPECT_EQ(check::sitesRoot(m()), u"D:\\WebRoot"_s);
    tm.writeFile(u"C:\\WINDOWS\\system32\\drivers\\config.ini"_s,
                 "[HomePath]\r\nPATH=D:\\Sites\r\nRun-Status=True\r\n");
    EXPECT_EQ(check::sitesRoot(m()), u"D:\\Sites"_s);
    // A root that is not there is reported, and the check still runs.
    EXPECT_EQ(found(), (std::multiset<std::string>{"root-not-secured D:\\Sites"}));
}

TEST_F(CheckTest, ExitStatusTwoWhenTheMachineCannotBeRead) {
    EXPECT_EQ(velmora_machine::runCommandLine({u"check"_s, u"--machine"_s, tm.folder() + u"/nothing"_s}), 2);
}

} // namespace
