// A read scope keeps the keys it read for its binds: what it must never get wrong. The scope sees
// one state while another process commits, a bound object's changes stay its own until SetInfo,
// and what this process stores is seen by every later bind.

#include "emulation/cmd/Interpreter.h"
#include "emulation/machine/Database.h"
#include "emulation/metabase/MetabaseStore.h"
#include "emulation/metabase/MetabaseXml.h"
#include "emulation/metabase/PropertyRecord.h"
#include "tests/support/TempMachine.h"

#include <gtest/gtest.h>

#include <random>

using namespace Qt::Literals::StringLiterals;
using platform::MetabaseObjectPtr;
using platform::MetaValue;
namespace hr = platform::hr;

namespace {

class MetabaseReadScopeTest : public ::testing::Test {
protected:
    testing_support::TempMachine m;
    platform::Metabase& mb() { return m->metabase(); }

    static QString get(platform::Metabase& metabase, const QString& path, const QString& property) {
        auto o = metabase.Bind(path);
        if (!o)
            return u"<error %1>"_s.arg(o.error().number, 0, 16);
        auto v = o.value()->Get(property);
        return v ? v.value().toString() : u"<error %1>"_s.arg(v.error().number, 0, 16);
    }
    QString get(const QString& path, const QString& property) { return get(mb(), path, property); }
    static QStringList sites(platform::Metabase& metabase) {
        QStringList names;
        auto service = metabase.Bind(u"IIS://LocalHost/W3SVC"_s);
        if (!service)
            return {u"<no service>"_s};
        auto children = service.value()->Enumerate();
        for (const auto& child : std::move(children).valueOr({}))
            if (child->Class() == u"IIsWebServer"_s)
                names << child->Name() + u'=' + child->Get(u"ServerComment"_s).valueOr({}).toString();
        return names;
    }
    static void makeSite(platform::Metabase& metabase, const QString& number) {
        auto site =
            metabase.Bind(u"IIS://LocalHost/W3SVC"_s).value()->Create(u"IIsWebServer"_s, number).value();
        site->Put(u"ServerComment"_s, u"site"_s + number);
        ASSERT_TRUE(site->SetInfo().ok());
        auto root = site->Create(u"IIsWebVirtualDir"_s, u"ROOT"_s).value();
        root->Put(u"Path"_s, u"D:\\WebRoot\\site"_s + number);
        ASSERT_TRUE(root->SetInfo().ok());
    }
};

TEST_F(MetabaseReadScopeTest, ScopeSeesOneStateWhileAnotherProcessCommits) {
    makeSite(mb(), u"20000"_s);
    auto other = m.reopen();
    ASSERT_TRUE(other);
    const QStringList before = sites(mb());
    {
        const auto scope = mb().ReadScope();
        ASSERT_EQ(sites(mb()), before);
        EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000/ROOT"_s, u"Path"_s), u"D:\\WebRoot\\site20000"_s);

        // The other process changes a site, its root, a pool never read here, adds and deletes.
        platform::Metabase& theirs = other->metabase();
        auto site = theirs.Bind(u"IIS://LocalHost/W3SVC/1"_s).value();
        site->Put(u"ServerComment"_s, u"changed"_s);
        ASSERT_TRUE(site->SetInfo().ok());
        auto root = theirs.Bind(u"IIS://LocalHost/W3SVC/20000/ROOT"_s).value();
        root->Put(u"Path"_s, u"E:\\moved"_s);
        ASSERT_TRUE(root->SetInfo().ok());
        auto pool = theirs.Bind(u"IIS://LocalHost/W3SVC/AppPools/DefaultAppPool"_s).value();
        pool->Put(u"AppPoolIdentityType"_s, MetaValue(3u));
        ASSERT_TRUE(pool->SetInfo().ok());
        makeSite(theirs, u"20001"_s);
        ASSERT_TRUE(
            theirs.Bind(u"IIS://LocalHost/W3SVC"_s).value()->Delete(u"IIsWebServer"_s, u"20000"_s).ok());
        ASSERT_FALSE(theirs.Bind(u"IIS://LocalHost/W3SVC/20000"_s).ok());

        // Inside the scope nothing of it shows, neither in what was read nor in what was not.
        EXPECT_EQ(sites(mb()), before);
        EXPECT_NE(get(u"IIS://LocalHost/W3SVC/1"_s, u"ServerComment"_s), u"changed"_s);
        EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000/ROOT"_s, u"Path"_s), u"D:\\WebRoot\\site20000"_s);
        EXPECT_NE(get(u"IIS://LocalHost/W3SVC/AppPools/DefaultAppPool"_s, u"AppPoolIdentityType"_s), u"3"_s);
        auto added = mb().Bind(u"IIS://LocalHost/W3SVC/20001"_s);
        ASSERT_FALSE(added.ok());
        EXPECT_EQ(added.error().number, hr::PathNotFound);
    }
    // A new scope, and a bind outside any scope, see all of it.
    {
        const auto scope = mb().ReadScope();
        const QStringList after = sites(mb());
        EXPECT_TRUE(after.contains(u"1=changed"_s)) << after.join(u' ').toStdString();
        EXPECT_TRUE(after.contains(u"20001=site20001"_s));
        EXPECT_FALSE(after.contains(u"20000=site20000"_s));
        EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000/ROOT"_s, u"Path"_s).left(6), u"<error"_s);
        EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20001/ROOT"_s, u"Path"_s), u"D:\\WebRoot\\site20001"_s);
    }
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/AppPools/DefaultAppPool"_s, u"AppPoolIdentityType"_s), u"3"_s);
}

TEST_F(MetabaseReadScopeTest, UncommittedChangesStayWithTheirBoundObject) {
    makeSite(mb(), u"20000"_s);
    const auto scope = mb().ReadScope();
    const QStringList before = sites(mb());
    auto site = mb().Bind(u"IIS://LocalHost/W3SVC/20000"_s).value();
    site->Put(u"ServerComment"_s, u"pending"_s);
    auto root = site->GetObject(u"IIsWebVirtualDir"_s, u"ROOT"_s).value();
    root->Put(u"Path"_s, u"E:\\pending"_s);
    root->Put(u"AnonymousUserName"_s, u"someone"_s);
    EXPECT_EQ(site->Get(u"ServerComment"_s).value().toString(), u"pending"_s);
    EXPECT_EQ(root->Get(u"Path"_s).value().toString(), u"E:\\pending"_s);

    // Every other bind, enumeration and inherited read still sees the stored key.
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000"_s, u"ServerComment"_s), u"site20000"_s);
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000/ROOT"_s, u"Path"_s), u"D:\\WebRoot\\site20000"_s);
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000/ROOT"_s, u"AnonymousUserName"_s), u"IUSR_VELMORA"_s);
    EXPECT_EQ(sites(mb()), before);
    auto again = site->GetObject(u"IIsWebVirtualDir"_s, u"ROOT"_s).value();
    EXPECT_EQ(again->Get(u"Path"_s).value().toString(), u"D:\\WebRoot\\site20000"_s);
}

TEST_F(MetabaseReadScopeTest, WhatThisProcessStoresInsideAScopeIsSeenByLaterBinds) {
    const auto scope = mb().ReadScope();
    const QStringList before = sites(mb());
    EXPECT_FALSE(mb().Bind(u"IIS://LocalHost/W3SVC/20000"_s).ok()); // known absent now

    makeSite(mb(), u"20000"_s);
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000"_s, u"ServerComment"_s), u"site20000"_s);
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000/ROOT"_s, u"Path"_s), u"D:\\WebRoot\\site20000"_s);
    EXPECT_EQ(sites(mb()), before + QStringList{u"20000=site20000"_s});

    // A change of a parent reaches what its children inherit.
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000/ROOT"_s, u"AnonymousUserName"_s), u"IUSR_VELMORA"_s);
    auto service = mb().Bind(u"IIS://LocalHost/W3SVC"_s).value();
    service->Put(u"AnonymousUserName"_s, u"IUSR_OTHER"_s);
    ASSERT_TRUE(service->SetInfo().ok());
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000/ROOT"_s, u"AnonymousUserName"_s), u"IUSR_OTHER"_s);

    // A state set by a method call, and a delete.
    ASSERT_TRUE(mb().Bind(u"IIS://LocalHost/W3SVC/20000"_s).value()->Stop().ok());
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000"_s, u"ServerState"_s), u"4"_s);
    ASSERT_TRUE(service->Delete(u"IIsWebServer"_s, u"20000"_s).ok());
    EXPECT_FALSE(mb().Bind(u"IIS://LocalHost/W3SVC/20000/ROOT"_s).ok());
    EXPECT_EQ(sites(mb()), before);
}

TEST_F(MetabaseReadScopeTest, ObjectBoundBeforeTheScopeEnumeratesAndBindsAsUsual) {
    auto service = mb().Bind(u"IIS://LocalHost/W3SVC"_s).value();
    const auto scope = mb().ReadScope();
    auto children = service->Enumerate();
    ASSERT_TRUE(children.ok());
    EXPECT_FALSE(children.value().empty());
    // The service itself, bound again in any case, is the stored key with its own properties.
    auto again = mb().Bind(u"IIS://LocalHost/w3svc"_s);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value()->Class(), u"IIsWebService"_s);
    EXPECT_EQ(again.value()->Get(u"AnonymousUserName"_s).value().toString(), u"IUSR_VELMORA"_s);
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/1/root"_s, u"AnonymousUserName"_s), u"IUSR_VELMORA"_s);
    EXPECT_EQ(again.value()->Enumerate().value().size(), children.value().size());
}

TEST_F(MetabaseReadScopeTest, SetInfoThatFailsLeavesNothingBehindInTheScope) {
    auto other = m.reopen();
    ASSERT_TRUE(other);
    makeSite(mb(), u"20000"_s);
    const auto scope = mb().ReadScope();
    ASSERT_TRUE(mb().Bind(u"IIS://LocalHost/W3SVC/20000/ROOT"_s).ok());
    // A key created under a site that another process has deleted meanwhile cannot be stored.
    auto site = mb().Bind(u"IIS://LocalHost/W3SVC/20000"_s).value();
    auto child = site->Create(u"IIsWebVirtualDir"_s, u"ROOT2"_s).value();
    child->Put(u"Path"_s, u"E:\\x"_s);
    ASSERT_TRUE(other->metabase()
                    .Bind(u"IIS://LocalHost/W3SVC"_s)
                    .value()
                    ->Delete(u"IIsWebServer"_s, u"20000"_s)
                    .ok());
    EXPECT_FALSE(child->SetInfo().ok());
    EXPECT_FALSE(mb().Bind(u"IIS://LocalHost/W3SVC/20000/ROOT2"_s).ok());
}

} // namespace

namespace {

// The keys a scope read are used again by the next scope only while nobody wrote in between.
TEST_F(MetabaseReadScopeTest, TheNextScopeSeesWhatAnotherProcessCommittedAfterTheLast) {
    makeSite(mb(), u"20000"_s);
    auto other = m.reopen();
    ASSERT_TRUE(other);
    const QString root = u"IIS://LocalHost/W3SVC/20000/ROOT"_s;
    {
        const auto scope = mb().ReadScope();
        EXPECT_TRUE(sites(mb()).contains(u"20000=site20000"_s));
        EXPECT_EQ(get(root, u"Path"_s), u"D:\\WebRoot\\site20000"_s);
        EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20001"_s, u"ServerComment"_s), u"<error 80070003>"_s);
    }
    {
        const auto scope = mb().ReadScope();
        EXPECT_TRUE(sites(mb()).contains(u"20000=site20000"_s)) << "nothing changed: the same state";
    }

    auto site = other->metabase().Bind(u"IIS://LocalHost/W3SVC/20000"_s).value();
    site->Put(u"ServerComment"_s, u"renamed"_s);
    ASSERT_TRUE(site->SetInfo().ok());
    auto otherRoot = other->metabase().Bind(root).value();
    otherRoot->Put(u"Path"_s, u"E:\\moved"_s);
    ASSERT_TRUE(otherRoot->SetInfo().ok());
    makeSite(other->metabase(), u"20001"_s);
    {
        const auto scope = mb().ReadScope();
        const QStringList now = sites(mb());
        EXPECT_TRUE(now.contains(u"20000=renamed"_s)) << now.join(u' ').toStdString();
        EXPECT_TRUE(now.contains(u"20001=site20001"_s));
        EXPECT_EQ(get(root, u"Path"_s), u"E:\\moved"_s);
        EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20001"_s, u"ServerComment"_s), u"site20001"_s);
    }

    ASSERT_TRUE(
        other->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value()->Delete(u"IIsWebServer"_s, u"20000"_s));
    {
        const auto scope = mb().ReadScope();
        EXPECT_FALSE(sites(mb()).contains(u"20000=renamed"_s));
        EXPECT_EQ(get(root, u"Path"_s), u"<error 80070003>"_s);
    }
}

TEST_F(MetabaseReadScopeTest, TheNextScopeSeesWhatThisProcessStoredOutsideAScope) {
    makeSite(mb(), u"20000"_s);
    auto site = mb().Bind(u"IIS://LocalHost/W3SVC/20000"_s).value();
    {
        const auto scope = mb().ReadScope();
        EXPECT_TRUE(sites(mb()).contains(u"20000=site20000"_s));
    }
    site->Put(u"ServerComment"_s, u"renamed"_s);
    ASSERT_TRUE(site->SetInfo().ok());
    {
        const auto scope = mb().ReadScope();
        EXPECT_TRUE(sites(mb()).contains(u"20000=renamed"_s));
        EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000"_s, u"ServerComment"_s), u"renamed"_s);
    }
    // A change put but not stored is no change of the state.
    site->Put(u"ServerComment"_s, u"not stored"_s);
    ASSERT_TRUE(mb().Bind(u"IIS://LocalHost/W3SVC"_s).value()->Delete(u"IIsWebServer"_s, u"20000"_s));
    {
        const auto scope = mb().ReadScope();
        EXPECT_TRUE(sites(mb()).filter(u"20000="_s).isEmpty());
        EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000/ROOT"_s, u"Path"_s), u"<error 80070003>"_s);
    }
}

} // namespace

namespace {

// Under a service with many sites the roots are read in one pass over every key: each root must
// still go to its own site, whatever order the keys were made in.
TEST_F(MetabaseReadScopeTest, RootsOfManySitesGoToTheirOwnSites) {
    constexpr int Sites = 1200;
    auto service = mb().Bind(u"IIS://LocalHost/W3SVC"_s).value();
    auto addRoot = [&](int i) {
        auto site = mb().Bind(u"IIS://LocalHost/W3SVC/%1"_s.arg(30000 + i)).value();
        auto root = site->Create(u"IIsWebVirtualDir"_s, u"ROOT"_s).value();
        root->Put(u"Path"_s, u"D:\\WebRoot\\s%1"_s.arg(i));
        ASSERT_TRUE(root->SetInfo().ok());
    };
    {
        emulation::machine::Database::Transaction tx(m->db());
        for (int i = 0; i < Sites; ++i) {
            auto site = service->Create(u"IIsWebServer"_s, QString::number(30000 + i)).value();
            site->Put(u"ServerComment"_s, u"s%1"_s.arg(i));
            ASSERT_TRUE(site->SetInfo().ok());
            if (i % 2 == 0 && i % 7 != 0)
                addRoot(i);
        }
        // Roots made after every site, last site first; sites divisible by 7 keep none.
        for (int i = Sites - 1; i >= 0; --i)
            if (i % 2 == 1 && i % 7 != 0)
                addRoot(i);
        auto extra =
            mb().Bind(u"IIS://LocalHost/W3SVC/30001/ROOT"_s).value()->Create(u"IIsWebVirtualDir"_s, u"app"_s);
        extra.value()->Put(u"Path"_s, u"D:\\app"_s);
        ASSERT_TRUE(extra.value()->SetInfo().ok());
        ASSERT_TRUE(tx.commit());
    }

    const auto scope = mb().ReadScope();
    auto children = mb().Bind(u"IIS://LocalHost/W3SVC"_s).value()->Enumerate();
    ASSERT_TRUE(children.ok());
    int checked = 0;
    for (const auto& child : children.value()) {
        const int i = child->Name().toInt() - 30000;
        if (i < 0 || i >= Sites)
            continue;
        ++checked;
        const QString path = get(u"IIS://LocalHost/W3SVC/"_s + child->Name() + u"/ROOT"_s, u"Path"_s);
        if (i % 7 == 0) {
            EXPECT_EQ(path, u"<error 80070003>"_s) << i;
        } else {
            EXPECT_EQ(path, u"D:\\WebRoot\\s%1"_s.arg(i)) << i;
        }
    }
    EXPECT_EQ(checked, Sites);
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/30001/ROOT/app"_s, u"Path"_s), u"D:\\app"_s);
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/30001/app"_s, u"Path"_s), u"<error 80070003>"_s);
}

} // namespace

namespace {

// The keys kept after a scope follow this process's own writes, so that the next scope starts
// from them instead of reading every key again. Whatever happens in between (writes of this
// process through bound objects, of another process, of commands, inside a scope, failed and
// rolled back), a scope must read exactly what a plain read of the database gives.
class KeptKeysTest : public MetabaseReadScopeTest {
protected:
    std::unique_ptr<emulation::machine::Machine> other = m.reopen();

    // Every site with its state and bindings, its root and the root's children, as one text.
    static QString everything(platform::Metabase& metabase) {
        QStringList out;
        // Keys bound by path before their parent is listed are kept twice: both must follow.
        // Children of other keys are looked for first, as other steps of an operation do.
        for (const QString& key :
             {u"IIS://LocalHost"_s, u"IIS://LocalHost/MSFTPSVC"_s, u"IIS://LocalHost/W3SVC/AppPools"_s}) {
            auto children = metabase.Bind(key).value()->Enumerate().valueOr({});
            out << QString::number(children.size());
            if (!children.empty())
                out << get(metabase, key + u'/' + children.front()->Name(), u"KeyType"_s);
        }
        for (const QString& n : {u"20003"_s, u"20007"_s}) {
            out << get(metabase, u"IIS://LocalHost/W3SVC/%1/ROOT/app"_s.arg(n), u"Path"_s);
            out << get(metabase, u"IIS://LocalHost/W3SVC/%1/ROOT"_s.arg(n), u"AnonymousUserName"_s);
            out << get(metabase, u"IIS://LocalHost/W3SVC/"_s + n, u"ServerComment"_s);
        }
        auto service = metabase.Bind(u"IIS://LocalHost/W3SVC"_s);
        if (!service)
            return u"<no service>"_s;
        for (const auto& site : service.value()->Enumerate().valueOr({})) {
            const QString path = u"IIS://LocalHost/W3SVC/"_s + site->Name();
            QString line = site->Class() + u' ' + site->Name();
            for (const QString& p : {u"ServerComment"_s, u"ServerState"_s, u"ServerBindings"_s}) {
                const MetaValue v = site->Get(p).valueOr(MetaValue(u"-"_s));
                line += u' ' + (v.kind() == MetaValue::Kind::StringList ? v.toStringList().join(u',')
                                                                        : v.toString());
            }
            line += u" | "_s + get(metabase, path + u"/ROOT"_s, u"Path"_s) + u' ' +
                    get(metabase, path + u"/ROOT"_s, u"AppRoot"_s) + u' ' +
                    get(metabase, path + u"/ROOT"_s, u"AnonymousUserName"_s);
            if (auto root = metabase.Bind(path + u"/ROOT"_s))
                for (const auto& dir : root.value()->Enumerate().valueOr({}))
                    line += u' ' + dir->Name() + u'=' + dir->Get(u"Path"_s).valueOr({}).toString();
            out << line;
        }
        // Binds by path of keys that may or may not be there.
        for (int n = 20000; n < 20012; ++n)
            out << get(metabase, u"IIS://LocalHost/W3SVC/%1/ROOT/app"_s.arg(n), u"Path"_s);
        return out.join(u'\n');
    }
    QString scoped() {
        const auto scope = mb().ReadScope();
        return everything(mb());
    }
    QString stored() { return everything(other->metabase()); } // outside a scope: the database
};

TEST_F(KeptKeysTest, EveryScopeReadsWhatIsStoredWhateverWroteInBetween) {
    ASSERT_TRUE(other);
    std::mt19937 random(20261207);
    auto pick = [&](int n) {
        return static_cast<int>(random() % static_cast<unsigned>(n));
    };
    auto siteNumber = [&] {
        return QString::number(20000 + pick(12));
    };
    auto site = [&](platform::Metabase& metabase) {
        return metabase.Bind(u"IIS://LocalHost/W3SVC/"_s + siteNumber());
    };
    int steps = 0;
    for (int step = 0; step < 400; ++step) {
        const int what = pick(11);
        SCOPED_TRACE(testing::Message() << "step " << step << " kind " << what);
        switch (what) {
        case 0: // this process makes a site with its root, the way creation does
            if (auto service = mb().Bind(u"IIS://LocalHost/W3SVC"_s)) {
                const QString n = siteNumber();
                if (auto made = service.value()->Create(u"IIsWebServer"_s, n)) {
                    made.value()->Put(u"ServerComment"_s, u"s"_s + n);
                    made.value()->Put(u"ServerBindings"_s, MetaValue(QStringList{u":80:s"_s + n}));
                    if (made.value()->SetInfo()) {
                        auto root = made.value()->Create(u"IIsWebVirtualDir"_s, u"ROOT"_s).value();
                        root->Put(u"Path"_s, u"D:\\WebRoot\\s"_s + n);
                        root->AppCreate(true);
                        root->SetInfo();
                    }
                }
            }
            break;
        case 1: // a changed comment or anonymous user
            if (auto s = site(mb())) {
                s.value()->Put(u"ServerComment"_s, u"c%1"_s.arg(step));
                s.value()->SetInfo();
                if (auto root = s.value()->GetObject(u"IIsWebVirtualDir"_s, u"ROOT"_s)) {
                    root.value()->Put(u"AnonymousUserName"_s, u"u%1"_s.arg(step));
                    root.value()->SetInfo();
                }
            }
            break;
        case 2: // run states set by method calls
            if (auto s = site(mb())) {
                s.value()->Start();
                if (pick(2))
                    s.value()->Pause();
                if (pick(2))
                    s.value()->Continue();
                if (pick(3) == 0)
                    s.value()->Stop();
            }
            break;
        case 3: // this process deletes a site, or a child of a root
            if (pick(2)) {
                mb().Bind(u"IIS://LocalHost/W3SVC"_s).value()->Delete(u"IIsWebServer"_s, siteNumber());
            } else if (auto root = mb().Bind(u"IIS://LocalHost/W3SVC/%1/ROOT"_s.arg(siteNumber()))) {
                root.value()->Delete(u"IIsWebVirtualDir"_s, u"app"_s);
            }
            break;
        case 4: // a virtual directory under a root; a second one of the same name fails
            if (auto root = mb().Bind(u"IIS://LocalHost/W3SVC/%1/ROOT"_s.arg(siteNumber())))
                if (auto dir = root.value()->Create(u"IIsWebVirtualDir"_s, u"app"_s)) {
                    dir.value()->Put(u"Path"_s, u"E:\\app%1"_s.arg(step));
                    dir.value()->SetInfo();
                }
            break;
        case 5: { // another process writes
            const QString n = siteNumber();
            if (auto s = other->metabase().Bind(u"IIS://LocalHost/W3SVC/"_s + n)) {
                s.value()->Put(u"ServerComment"_s, u"theirs%1"_s.arg(step));
                s.value()->SetInfo();
            } else {
                makeSite(other->metabase(), n);
            }
            break;
        }
        case 6: // commands write accounts and rights, not the metabase
            m->interpreter().RunHidden(u"cmd.exe /c MkDir D:\\WebRoot\\d%1"_s.arg(step));
            m->interpreter().RunHidden(u"cmd.exe /c net user u%1 Pw%1Pw%1 /add"_s.arg(step));
            break;
        case 7: { // this process writes inside a scope
            const auto scope = mb().ReadScope();
            everything(mb());
            if (auto s = site(mb())) {
                s.value()->Put(u"ServerComment"_s, u"inscope%1"_s.arg(step));
                s.value()->SetInfo();
            }
            break;
        }
        case 8: { // a SetInfo that fails: its parent went meanwhile
            auto s = site(mb());
            if (!s)
                break;
            auto child = s.value()->Create(u"IIsWebVirtualDir"_s, u"late"_s).value();
            other->metabase()
                .Bind(u"IIS://LocalHost/W3SVC"_s)
                .value()
                ->Delete(u"IIsWebServer"_s, s.value()->Name());
            EXPECT_FALSE(child->SetInfo().ok());
            break;
        }
        case 9: { // a write of this process rolled back as part of a larger transaction
            emulation::machine::Database::Transaction tx(m->db());
            if (auto s = site(mb())) {
                s.value()->Put(u"ServerComment"_s, u"rolledback"_s);
                s.value()->SetInfo();
            }
            break; // never committed
        }
        default: // reads only, in scope after scope
            break;
        }
        const QString expected = stored();
        ASSERT_EQ(scoped(), expected);
        ASSERT_EQ(scoped(), expected) << "a second scope on the kept keys";
        ++steps;
    }
    EXPECT_EQ(steps, 400);
    EXPECT_GT(stored().count(u'\n'), 12) << "the sequence left sites to compare";
}

TEST_F(KeptKeysTest, AnImportOnThisConnectionReplacesTheKeptKeys) {
    ASSERT_TRUE(other);
    makeSite(mb(), u"20000"_s);
    ASSERT_TRUE(scoped().contains(u"s20000"_s) || scoped().contains(u"site20000"_s));
    QByteArray xml = emulation::metabase::exportMetabaseXml(m->db());
    ASSERT_TRUE(xml.contains("site20000"));
    xml.replace("ServerComment=\"site20000\"", "ServerComment=\"imported\"");
    ASSERT_TRUE(emulation::metabase::importMetabaseXml(m->db(), xml));
    EXPECT_EQ(scoped(), stored());
    EXPECT_TRUE(scoped().contains(u"IIsWebServer 20000 imported"_s)) << scoped().toStdString();
}

} // namespace

namespace {

// What tells the kept keys that this connection changed the metabase: its writes to the
// metabase's tables and their rollbacks, and nothing else it writes.
TEST_F(MetabaseReadScopeTest, OnlyMetabaseWritesAndTheirRollbacksCountAsOwnChanges) {
    emulation::machine::Database& db = m->db();
    const auto start = db.ownChanges();
    m->interpreter().RunHidden(u"cmd.exe /c net user someone Pw1Pw1Pw1 /add"_s);
    m->interpreter().RunHidden(u"cmd.exe /c net user someone Pw1Pw1Pw1 /add"_s); // fails, rolled back
    m->interpreter().RunHidden(u"cmd.exe /c MkDir D:\\WebRoot\\x"_s);
    {
        emulation::machine::Database::Transaction tx(db);
        ASSERT_TRUE(db.exec("UPDATE facts SET value = value"));
    } // rolled back: no metabase row in it
    EXPECT_EQ(db.ownChanges(), start);

    makeSite(mb(), u"20000"_s);
    const auto afterWrite = db.ownChanges();
    EXPECT_NE(afterWrite, start);
    {
        emulation::machine::Database::Transaction tx(db);
        auto site = mb().Bind(u"IIS://LocalHost/W3SVC/20000"_s).value();
        site->Put(u"ServerComment"_s, u"x"_s);
        ASSERT_TRUE(site->SetInfo().ok());
    } // rolled back with a metabase row in it
    EXPECT_NE(db.ownChanges(), afterWrite);
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000"_s, u"ServerComment"_s), u"site20000"_s);
}

} // namespace

namespace {

// Keys listed, bound and edited in an order that makes the kept keys hold a key twice or list a
// key's children after some of them were already listed.
TEST_F(MetabaseReadScopeTest, OwnWritesReachKeysListedBeforeTheirGrandparentWasRead) {
    makeSite(mb(), u"20000"_s);
    makeSite(mb(), u"20001"_s);
    {
        auto root = mb().Bind(u"IIS://LocalHost/W3SVC/20000/ROOT"_s).value();
        auto app = root->Create(u"IIsWebVirtualDir"_s, u"app"_s).value();
        app->Put(u"Path"_s, u"E:\\old"_s);
        ASSERT_TRUE(app->SetInfo().ok());
    }
    {
        const auto scope = mb().ReadScope();
        for (const QString& p : {u"W3SVC"_s, u"W3SVC/20000"_s, u"W3SVC/20000/ROOT"_s})
            ASSERT_TRUE(mb().Bind(u"IIS://LocalHost/"_s + p).value()->Enumerate().ok());
        EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000/ROOT/app"_s, u"Path"_s), u"E:\\old"_s);
        // Reads the roots of every site at once, the listed site's among them.
        EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20001/ROOT"_s, u"Path"_s), u"D:\\WebRoot\\site20001"_s);
    }
    auto app = mb().Bind(u"IIS://LocalHost/W3SVC/20000/ROOT/app"_s).value();
    app->Put(u"Path"_s, u"E:\\new"_s);
    ASSERT_TRUE(app->SetInfo().ok());
    auto added = mb().Bind(u"IIS://LocalHost/W3SVC/20000/ROOT"_s)
                     .value()
                     ->Create(u"IIsWebVirtualDir"_s, u"app2"_s)
                     .value();
    added->Put(u"Path"_s, u"E:\\added"_s);
    ASSERT_TRUE(added->SetInfo().ok());

    const auto scope = mb().ReadScope();
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000/ROOT/app"_s, u"Path"_s), u"E:\\new"_s);
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000/ROOT/app2"_s, u"Path"_s), u"E:\\added"_s);
    EXPECT_EQ(mb().Bind(u"IIS://LocalHost/W3SVC/20000/ROOT"_s).value()->Enumerate().value().size(), 2u);
}

// An object bound before its key was deleted and made again lists the children of the key it was
// bound to; the new key's children stay what they are for everybody else.
TEST_F(MetabaseReadScopeTest, AnObjectOfADeletedKeyDoesNotHideTheNewKeysChildren) {
    makeSite(mb(), u"20000"_s);
    auto old = mb().Bind(u"IIS://LocalHost/W3SVC/20000"_s).value();
    ASSERT_TRUE(mb().Bind(u"IIS://LocalHost/W3SVC"_s).value()->Delete(u"IIsWebServer"_s, u"20000"_s));
    makeSite(mb(), u"20000"_s);
    for (int round = 0; round < 2; ++round) {
        const auto scope = mb().ReadScope();
        if (round == 0) {
            EXPECT_TRUE(old->Enumerate().value().empty());
        }
        EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000/ROOT"_s, u"Path"_s), u"D:\\WebRoot\\site20000"_s)
            << round;
        auto now = mb().Bind(u"IIS://LocalHost/W3SVC/20000"_s).value()->Enumerate();
        ASSERT_TRUE(now.ok());
        EXPECT_EQ(now.value().size(), 1u) << round;
    }
}

// Names are one key when they are equal in lower case, as the database holds them: "s" and the long
// s differ, the two cases of a letter beyond the basic plane are one name.
TEST_F(MetabaseReadScopeTest, NamesCompareInLowerCaseInsideAndOutsideScopes) {
    EXPECT_TRUE(emulation::metabase::sameIgnoringCase(QString::fromUcs4(U"/a/\U00010400x"),
                                                      QString::fromUcs4(U"/A/\U00010428X")));
    EXPECT_FALSE(emulation::metabase::sameIgnoringCase(u"s", u"\u017F"));
    EXPECT_TRUE(emulation::metabase::sameIgnoringCase(u"ROOT", u"root"));
    EXPECT_FALSE(emulation::metabase::sameIgnoringCase(u"ROOT", u"roo"));
    // Always as the database compares: equal in lower case, whatever the lengths.
    const QStringList words{u"ROOT"_s,
                            u"root"_s,
                            u"Root2"_s,
                            u"\u0130x"_s,
                            u"i\u0307x"_s,
                            u"ix"_s,
                            u"\u212Aey"_s,
                            u"key"_s,
                            u"\u00C9T\u00C9"_s,
                            u"\u00E9t\u00E9"_s,
                            QString::fromUcs4(U"\U00010400"),
                            QString::fromUcs4(U"\U00010428")};
    for (const QString& a : words)
        for (const QString& b : words)
            EXPECT_EQ(emulation::metabase::sameIgnoringCase(a, b), a.toLower() == b.toLower())
                << a.toStdString() << " / " << b.toStdString();

    makeSite(mb(), u"20000"_s);
    auto root = mb().Bind(u"IIS://LocalHost/W3SVC/20000/ROOT"_s).value();
    const QString longS = QString(QChar(0x017F));
    const QString deseretUpper = QString::fromUcs4(U"\U00010400");
    const QString deseretLower = QString::fromUcs4(U"\U00010428");
    for (const QString& name : {u"s"_s, longS, deseretUpper}) {
        auto dir = root->Create(u"IIsWebVirtualDir"_s, name).value();
        dir->Put(u"Path"_s, u"E:\\"_s + name);
        ASSERT_TRUE(dir->SetInfo().ok()) << name.toStdString();
    }
    EXPECT_FALSE(root->Create(u"IIsWebVirtualDir"_s, deseretLower).ok()) << "the same name in lower case";
    const QString at = u"IIS://LocalHost/W3SVC/20000/ROOT/"_s;
    auto check = [&](const char* when) {
        EXPECT_EQ(get(at + u"s"_s, u"Path"_s), u"E:\\s"_s) << when;
        EXPECT_EQ(get(at + u"S"_s, u"Path"_s), u"E:\\s"_s) << when;
        EXPECT_EQ(get(at + longS, u"Path"_s), u"E:\\"_s + longS) << when;
        EXPECT_EQ(get(at + deseretLower, u"Path"_s), u"E:\\"_s + deseretUpper) << when;
    };
    check("outside a scope");
    {
        const auto scope = mb().ReadScope();
        root->Enumerate();
        check("in a scope, listed");
    }
    {
        const auto scope = mb().ReadScope();
        check("in the next scope");
    }
    ASSERT_TRUE(root->Delete(u"IIsWebVirtualDir"_s, longS));
    const auto scope = mb().ReadScope();
    EXPECT_EQ(get(at + u"s"_s, u"Path"_s), u"E:\\s"_s);
    EXPECT_EQ(get(at + longS, u"Path"_s), u"<error 80070003>"_s);
}

// A state change that cannot take its write lock stores nothing and says so.
TEST_F(MetabaseReadScopeTest, AStateChangeWithoutItsTransactionStoresNothing) {
    makeSite(mb(), u"20000"_s);
    auto other = m.reopen();
    ASSERT_TRUE(other);
    auto site = mb().Bind(u"IIS://LocalHost/W3SVC/20000"_s).value();
    ASSERT_TRUE(site->Start().ok());
    m->db().setBusyTimeout(50);
    ASSERT_TRUE(other->db().exec("BEGIN IMMEDIATE"));
    EXPECT_FALSE(site->Stop().ok());
    EXPECT_FALSE(site->Pause().ok());
    EXPECT_FALSE(site->Start().ok());
    ASSERT_TRUE(other->db().exec("COMMIT"));
    m->db().setBusyTimeout(10000);
    EXPECT_EQ(get(u"IIS://LocalHost/W3SVC/20000"_s, u"ServerState"_s), u"2"_s);
}

} // namespace
