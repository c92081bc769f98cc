// A start refuses the bindings of a started site of the same service, whatever wrote them: a bound
// object's SetInfo, a deletion, another connection, an imported MetaBase.xml or an older database.

#include "emulation/metabase/BindingIndex.h"
#include "emulation/machine/Database.h"
#include "emulation/metabase/MetabaseStore.h"
#include "emulation/metabase/MetabaseXml.h"
#include "emulation/metabase/PropertyRecord.h"
#include "tests/support/TempMachine.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace Qt::Literals::StringLiterals;
using platform::MetabaseObjectPtr;
using platform::MetaValue;
namespace hr = platform::hr;

namespace {

// Every key's index rows are exactly the bindings its stored properties hold.
void expectIndexMatchesProperties(emulation::machine::Database& db) {
    std::map<std::int64_t, std::set<QString>> fromProps;
    auto keys = db.prepare("SELECT id, props FROM mb_keys");
    while (keys.step())
        for (const QString& b : emulation::metabase::PropertyRecord::find(keys.text(1), u"ServerBindings")
                                    .value_or(MetaValue())
                                    .toStringList())
            if (!b.isEmpty())
                fromProps[keys.number(0)].insert(emulation::metabase::bindingindex::key(b));
    std::map<std::int64_t, std::set<QString>> indexed;
    int rows = 0;
    auto index = db.prepare("SELECT key, binding FROM mb_bindings");
    while (index.step()) {
        indexed[index.number(0)].insert(index.text(1));
        ++rows;
    }
    EXPECT_EQ(indexed, fromProps);
    std::size_t distinct = 0;
    for (const auto& [key, set] : indexed)
        distinct += set.size();
    EXPECT_EQ(static_cast<std::size_t>(rows), distinct) << "one row per binding of a key";
}

MetabaseObjectPtr makeSite(emulation::machine::Machine& m, const QString& number,
                           const QStringList& bindings) {
    auto service = m.metabase().Bind(u"IIS://LocalHost/W3SVC"_s);
    EXPECT_TRUE(service.ok());
    auto site = service.value()->Create(u"IIsWebServer"_s, number);
    EXPECT_TRUE(site.ok());
    site.value()->Put(u"ServerBindings"_s, MetaValue(bindings));
    EXPECT_TRUE(site.value()->SetInfo().ok());
    return std::move(site).value();
}

bool starts(emulation::machine::Machine& m, const QString& number) {
    auto site = m.metabase().Bind(u"IIS://LocalHost/W3SVC/"_s + number);
    EXPECT_TRUE(site.ok());
    const auto started = site.value()->Start();
    if (!started) {
        EXPECT_EQ(started.error().number, hr::AlreadyExists);
    }
    return started.ok();
}

TEST(BindingIndex, StartFollowsBindingsChangedClearedAndDeleted) {
    testing_support::TempMachine m;
    auto a = makeSite(m.machine(), u"10000"_s, {u":80:a.com"_s, u" :80: WWW.A.com "_s, u":80:a.com"_s});
    ASSERT_TRUE(a->Start().ok());
    makeSite(m.machine(), u"10001"_s, {u":80:www.a.COM"_s});
    EXPECT_FALSE(starts(m.machine(), u"10001"_s));
    expectIndexMatchesProperties(m->db());

    // The started site moves to other names: its old ones are free, its new ones taken.
    a->Put(u"ServerBindings"_s, MetaValue(QStringList{u":80:b.com"_s}));
    ASSERT_TRUE(a->SetInfo().ok());
    EXPECT_TRUE(starts(m.machine(), u"10001"_s));
    makeSite(m.machine(), u"10002"_s, {u":80:B.COM"_s});
    EXPECT_FALSE(starts(m.machine(), u"10002"_s));
    expectIndexMatchesProperties(m->db());

    // A change of other properties keeps the bindings; clearing them frees them.
    a->Put(u"ServerComment"_s, u"renamed"_s);
    ASSERT_TRUE(a->SetInfo().ok());
    EXPECT_FALSE(starts(m.machine(), u"10002"_s));
    ASSERT_TRUE(a->PutEx(platform::PutExControl::Clear, u"ServerBindings"_s, {}).ok());
    ASSERT_TRUE(a->SetInfo().ok());
    EXPECT_TRUE(starts(m.machine(), u"10002"_s));
    expectIndexMatchesProperties(m->db());

    // A deleted started site frees its bindings with it.
    makeSite(m.machine(), u"10003"_s, {u":80:b.com"_s});
    EXPECT_FALSE(starts(m.machine(), u"10003"_s));
    auto service = m->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
    ASSERT_TRUE(service->Delete(u"IIsWebServer"_s, u"10002"_s).ok());
    EXPECT_TRUE(starts(m.machine(), u"10003"_s));
    expectIndexMatchesProperties(m->db());
}

TEST(BindingIndex, AFailedSetInfoLeavesTheIndexAsStored) {
    testing_support::TempMachine m;
    auto a = makeSite(m.machine(), u"10000"_s, {u":80:a.com"_s});
    ASSERT_TRUE(a->Start().ok());
    auto stale = m->metabase().Bind(u"IIS://LocalHost/W3SVC/10000"_s).value();
    auto service = m->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
    ASSERT_TRUE(service->Delete(u"IIsWebServer"_s, u"10000"_s).ok());
    stale->Put(u"ServerBindings"_s, MetaValue(QStringList{u":80:c.com"_s}));
    EXPECT_FALSE(stale->SetInfo().ok()) << "the key is gone";
    expectIndexMatchesProperties(m->db());
    makeSite(m.machine(), u"10001"_s, {u":80:c.com"_s});
    EXPECT_TRUE(starts(m.machine(), u"10001"_s));
}

TEST(BindingIndex, AnotherConnectionsCommitIsSeenByTheNextStart) {
    testing_support::TempMachine m;
    auto other = m.reopen();
    auto theirs = makeSite(*other, u"10000"_s, {u":80:shared.com"_s});
    ASSERT_TRUE(theirs->Start().ok());
    makeSite(m.machine(), u"10001"_s, {u":80:shared.com"_s});
    EXPECT_FALSE(starts(m.machine(), u"10001"_s));

    // Inside a read scope of this connection the other's later commit is not seen yet; the
    // start after the scope sees it.
    {
        const auto scope = m->metabase().ReadScope();
        EXPECT_TRUE(m->metabase().Bind(u"IIS://LocalHost/W3SVC/10000"_s).ok());
        theirs->Put(u"ServerBindings"_s, MetaValue(QStringList{u":80:elsewhere.com"_s}));
        ASSERT_TRUE(theirs->SetInfo().ok());
        auto seen = m->metabase().Bind(u"IIS://LocalHost/W3SVC/10000"_s).value();
        EXPECT_EQ(seen->Get(u"ServerBindings"_s).value().toStringList(), QStringList{u":80:shared.com"_s});
    }
    EXPECT_TRUE(starts(m.machine(), u"10001"_s));
    expectIndexMatchesProperties(m->db());
}

TEST(BindingIndex, ImportedSitesAreIndexedAndTheOldOnesForgotten) {
    testing_support::TempMachine m;
    auto site = makeSite(m.machine(), u"10000"_s, {u":80:imported.com"_s});
    ASSERT_TRUE(site->Start().ok());
    const QByteArray xml = emulation::metabase::exportMetabaseXml(m->db());
    // What is made after the export goes with the import; what the file holds comes back.
    auto before = makeSite(m.machine(), u"20000"_s, {u":80:before.com"_s});
    ASSERT_TRUE(before->Start().ok());
    auto service = m->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
    ASSERT_TRUE(service->Delete(u"IIsWebServer"_s, u"10000"_s).ok());

    ASSERT_TRUE(emulation::metabase::importMetabaseXml(m->db(), xml).ok());
    expectIndexMatchesProperties(m->db());
    makeSite(m.machine(), u"10001"_s, {u":80:IMPORTED.com"_s});
    EXPECT_FALSE(starts(m.machine(), u"10001"_s));
    makeSite(m.machine(), u"10002"_s, {u":80:before.com"_s});
    EXPECT_TRUE(starts(m.machine(), u"10002"_s));
}

TEST(BindingIndex, AnOlderDatabaseGetsTheIndexOfItsSites) {
    testing_support::TempMachine m;
    auto site = makeSite(m.machine(), u"10000"_s, {u":80:old.com"_s, u"10.0.0.1:81:"_s});
    ASSERT_TRUE(site->Start().ok());
    // The database as the version before the index left it.
    ASSERT_TRUE(m->db().exec("DROP TABLE mb_bindings"));
    ASSERT_TRUE(m->db().exec("PRAGMA user_version = 3"));

    auto reopened = m.reopen();
    ASSERT_TRUE(reopened);
    expectIndexMatchesProperties(reopened->db());
    makeSite(*reopened, u"10001"_s, {u"10.0.0.1:81:"_s});
    EXPECT_FALSE(starts(*reopened, u"10001"_s));
    makeSite(*reopened, u"10002"_s, {u":80:OLD.com"_s});
    EXPECT_FALSE(starts(*reopened, u"10002"_s));
}

} // namespace
