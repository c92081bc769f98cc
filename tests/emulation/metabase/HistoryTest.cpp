// The metabase's history of MetaBase.xml versions, with a settable clock for the one-minute rule.

#include "emulation/metabase/History.h"
#include "emulation/metabase/MetabaseStore.h"
#include "tests/support/TempMachine.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
namespace history = emulation::metabase::history;

namespace {

class HistoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        history::setClock([this] { return now; });
    }
    void TearDown() override { history::setClock({}); }

    void pass(int seconds) { now = now.addSecs(seconds); }

    platform::MetabaseObjectPtr bind(const QString& path) {
        return tm->metabase().Bind(u"IIS://LocalHost/"_s + path).value();
    }
    void makeSite(int number, const QString& name) {
        auto site = bind(u"W3SVC"_s)->Create(u"IIsWebServer"_s, QString::number(number)).value();
        site->Put(u"ServerComment"_s, name);
        site->Put(u"ServerBindings"_s, QStringList{u":80:www."_s + name + u".com"_s});
        site->Put(u"AppPoolId"_s, name);
        auto root = site->Create(u"IIsWebVirtualDir"_s, u"ROOT"_s).value();
        root->Put(u"Path"_s, u"D:\\WebRoot\\"_s + name + u"\\web"_s);
        root->Put(u"AnonymousUserPass"_s, u"secret-"_s + name);
        ASSERT_TRUE(root->SetInfo().ok());
        ASSERT_TRUE(site->SetInfo().ok());
    }
    std::vector<std::pair<int, int>> kept() {
        std::vector<std::pair<int, int>> out; // major, sites
        for (const auto& v : history::versions(tm->db()))
            out.emplace_back(v.major, v.sites);
        return out;
    }

    testing_support::TempMachine tm;
    QDateTime now = QDateTime::currentDateTimeUtc().addDays(-1);
};

TEST_F(HistoryTest, OneVersionBeforeEachBurstOfChangesHoldingTheStateBeforeIt) {
    EXPECT_TRUE(kept().empty()) << "a fresh machine keeps no version yet";
    makeSite(10000, u"a"_s); // the first change saves the machine as installed (the default site)
    pass(10);
    makeSite(10001, u"b"_s); // within the minute: no new version
    EXPECT_EQ(kept(), (std::vector<std::pair<int, int>>{{1, 1}}));
    pass(61);
    makeSite(10002, u"c"_s);
    EXPECT_EQ(kept(), (std::vector<std::pair<int, int>>{{1, 1}, {2, 3}}));

    const auto versions = history::versions(tm->db());
    EXPECT_EQ(versions[1].name(), u"MetaBase_0000000002_0000000000.xml"_s);
    EXPECT_TRUE(QFile::exists(history::folder(tm->db()) + u"/MBSchema_0000000002_0000000000.xml"_s));
    EXPECT_EQ(versions[1].saved.toSecsSinceEpoch(), now.toSecsSinceEpoch());
    EXPECT_TRUE(history::folder(tm->db()).endsWith(u"drives/C/WINDOWS/system32/inetsrv/History"_s));
}

TEST_F(HistoryTest, AnotherProcessWritingSeesTheSameRule) {
    makeSite(10000, u"a"_s);
    auto other = tm.reopen();
    auto site = other->metabase().Bind(u"IIS://LocalHost/W3SVC/10000"_s).value();
    site->Put(u"ServerComment"_s, u"renamed"_s);
    ASSERT_TRUE(site->SetInfo().ok());
    EXPECT_EQ(kept().size(), 1u) << "the other process found a version younger than a minute";
    pass(120);
    site->Put(u"ServerComment"_s, u"again"_s);
    ASSERT_TRUE(site->SetInfo().ok());
    EXPECT_EQ(kept().size(), 2u);
}

TEST_F(HistoryTest, OnlyMaxHistoryFilesVersionsStay) {
    auto computer = tm->metabase().bindPath(u"/LM"_s).value();
    computer->Put(u"MaxHistoryFiles"_s, 3);
    ASSERT_TRUE(computer->SetInfo().ok());
    for (int i = 0; i < 6; ++i) {
        pass(61);
        makeSite(10000 + i, u"s"_s + QString::number(i));
    }
    const auto versions = history::versions(tm->db());
    ASSERT_EQ(versions.size(), 3u);
    EXPECT_EQ(versions.front().major, 5);
    EXPECT_EQ(versions.back().major, 7);
    EXPECT_EQ(QDir(history::folder(tm->db())).entryList(QDir::Files).size(), 6)
        << "each with its schema file";
}

TEST_F(HistoryTest, RestoreBringsBackADeletedSiteWhole) {
    makeSite(10000, u"keep"_s);
    pass(61);
    makeSite(10001, u"lost"_s); // saves the version holding "keep" alone
    pass(61);
    ASSERT_TRUE(bind(u"W3SVC"_s)->Delete(u"IIsWebServer"_s, u"10001"_s).ok()); // saves "keep" and "lost"
    const auto version = history::find(tm->db(), u"3"_s);
    ASSERT_TRUE(version.has_value());
    EXPECT_EQ(version->sites, 3);
    EXPECT_FALSE(history::find(tm->db(), u"9"_s).has_value());

    pass(10);
    ASSERT_TRUE(history::restore(tm->db(), *version).ok());
    auto site = bind(u"W3SVC/10001"_s);
    EXPECT_EQ(site->Get(u"ServerBindings"_s).value().toStringList(), QStringList{u":80:www.lost.com"_s});
    EXPECT_EQ(site->Get(u"AppPoolId"_s).value().toString(), u"lost"_s);
    auto root = bind(u"W3SVC/10001/ROOT"_s);
    EXPECT_EQ(root->Get(u"Path"_s).value().toString(), u"D:\\WebRoot\\lost\\web"_s);
    EXPECT_EQ(root->Get(u"AnonymousUserPass"_s).value().toString(), u"secret-lost"_s)
        << "secure values come back through the machine's own key";
    // Found by its file name too, which the listing shows.
    EXPECT_TRUE(history::find(tm->db(), u"MetaBase_0000000003_0000000000.xml"_s).has_value());
}

TEST_F(HistoryTest, ADamagedVersionRestoresNothing) {
    makeSite(10000, u"a"_s);
    const auto version = history::versions(tm->db()).front();
    {
        QFile f(version.file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("<configuration><MBProperty><IIsWebServer Location=\"/LM/W3SVC/1\"");
    }
    EXPECT_FALSE(history::restore(tm->db(), version).ok());
    EXPECT_EQ(bind(u"W3SVC/10000"_s)->Get(u"ServerComment"_s).value().toString(), u"a"_s);
}

} // namespace
