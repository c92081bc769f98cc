// Conformance of the emulated metabase with the IIS 6 ADSI provider.

#include "emulation/metabase/MetabaseStore.h"
#include "tests/support/TempMachine.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using platform::MetabaseObjectPtr;
using platform::MetaValue;
namespace hr = platform::hr;

namespace {

class MetabaseTest : public ::testing::Test {
protected:
    testing_support::TempMachine m;
    platform::Metabase& mb() { return m->metabase(); }

    MetabaseObjectPtr bind(const QString& path) {
        auto o = mb().Bind(path);
        EXPECT_TRUE(o.ok()) << path.toStdString() << ": " << (o.ok() ? "" : o.error().text.toStdString());
        return o.ok() ? std::move(o).value() : nullptr;
    }
    QString get(platform::MetabaseObject& o, const QString& property) {
        auto v = o.Get(property);
        return v.ok() ? v.value().toString() : u"<error %1>"_s.arg(v.error().number, 0, 16);
    }
    // Creates and stores a started-or-not web site with bindings.
    MetabaseObjectPtr makeSite(const QString& number, const QStringList& bindings) {
        auto service = bind(u"IIS://LocalHost/W3SVC"_s);
        auto site = service->Create(u"IIsWebServer"_s, number);
        EXPECT_TRUE(site.ok());
        site.value()->Put(u"ServerComment"_s, u"site"_s + number);
        site.value()->Put(u"ServerBindings"_s, MetaValue(bindings));
        EXPECT_TRUE(site.value()->SetInfo().ok());
        return std::move(site).value();
    }
};

TEST_F(MetabaseTest, BindAcceptsEveryNameOfThisMachineAndAnyCase) {
    for (const auto* path : {u"IIS://LocalHost/W3SVC", u"IIS://localhost/w3svc", u"IIS://127.0.0.1/W3Svc/1",
                             u"iis://LOCALHOST/MSFTPSVC/1/root", u"IIS://localhost/w3svc/AppPools/"}) {
        auto o = mb().Bind(QString::fromUtf16(path));
        EXPECT_TRUE(o.ok()) << QString::fromUtf16(path).toStdString();
    }
    EXPECT_EQ(bind(u"IIS://127.0.0.1/w3svc/1/root"_s)->ADsPath(), u"IIS://LocalHost/W3SVC/1/ROOT"_s);
}

TEST_F(MetabaseTest, BindFailuresCarryWindowsErrorNumbers) {
    auto missing = mb().Bind(u"IIS://LocalHost/W3SVC/4242"_s);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().number, hr::PathNotFound);
    EXPECT_EQ(missing.error().text, u"系统找不到指定的路径。"_s);
    auto otherHost = mb().Bind(u"IIS://webfarm2/W3SVC"_s);
    ASSERT_FALSE(otherHost.ok());
    EXPECT_EQ(otherHost.error().number, hr::BadPathname);
    EXPECT_FALSE(mb().Bind(u"WinNT://./W3SVC"_s).ok());
}

TEST_F(MetabaseTest, FreshMachineHoldsTheDefaultSitesAndPool) {
    auto service = bind(u"IIS://LocalHost/W3SVC"_s);
    auto children = service->Children();
    ASSERT_TRUE(children.ok());
    QStringList seen;
    for (const auto& c : children.value())
        seen << c.Class + u':' + c.Name;
    EXPECT_TRUE(seen.contains(u"IIsWebServer:1"_s)) << seen.join(u' ').toStdString();
    EXPECT_TRUE(seen.contains(u"IIsApplicationPools:AppPools"_s));

    auto site = bind(u"IIS://LocalHost/W3SVC/1"_s);
    EXPECT_EQ(get(*site, u"ServerComment"_s), u"默认网站"_s);
    EXPECT_EQ(site->Get(u"ServerBindings"_s).value().toStringList(), QStringList{u":80:"_s});
    EXPECT_EQ(get(*site, u"ServerState"_s), u"2"_s);
    EXPECT_EQ(get(*bind(u"IIS://LocalHost/W3SVC/1/ROOT"_s), u"Path"_s), u"c:\\inetpub\\wwwroot"_s);
    EXPECT_EQ(get(*bind(u"IIS://LocalHost/W3SVC"_s), u"AnonymousUserName"_s), u"IUSR_VELMORA"_s);
    EXPECT_EQ(get(*bind(u"IIS://LocalHost/W3SVC"_s), u"CentralBinaryLoggingEnabled"_s), u"False"_s);
    EXPECT_EQ(bind(u"IIS://localhost/w3svc/AppPools/DefaultAppPool"_s)->Class(), u"IIsApplicationPool"_s);
    auto ftp = bind(u"IIS://localhost/MSFTPSVC/1"_s);
    EXPECT_EQ(get(*ftp, u"ServerComment"_s), u"默认 FTP 站点"_s);
    EXPECT_EQ(get(*ftp, u"AllowAnonymous"_s), u"True"_s);
    EXPECT_EQ(get(*bind(u"IIS://localhost/MSFTPSVC/1/ROOT"_s), u"Path"_s), u"c:\\inetpub\\ftproot"_s);
}

TEST_F(MetabaseTest, PropertyNamesIgnoreCase) {
    auto site = bind(u"IIS://LocalHost/W3SVC/1"_s);
    site->Put(u"appPoolID"_s, u"Shop"_s);
    ASSERT_TRUE(site->SetInfo().ok());
    EXPECT_EQ(get(*bind(u"IIS://LocalHost/W3SVC/1"_s), u"AppPoolId"_s), u"Shop"_s);
    EXPECT_EQ(get(*bind(u"IIS://LocalHost/W3SVC/1"_s), u"APPPOOLID"_s), u"Shop"_s);
}

TEST_F(MetabaseTest, PutIsCachedUntilSetInfo) {
    auto site = bind(u"IIS://LocalHost/W3SVC/1"_s);
    site->Put(u"ServerComment"_s, u"改名"_s);
    EXPECT_EQ(get(*site, u"ServerComment"_s), u"改名"_s) << "the object sees its own cache";
    EXPECT_EQ(get(*bind(u"IIS://LocalHost/W3SVC/1"_s), u"ServerComment"_s), u"默认网站"_s);
    ASSERT_TRUE(site->SetInfo().ok());
    EXPECT_EQ(get(*bind(u"IIS://LocalHost/W3SVC/1"_s), u"ServerComment"_s), u"改名"_s);
}

TEST_F(MetabaseTest, MissingPropertyIsAnError) {
    auto v = bind(u"IIS://LocalHost/W3SVC/AppPools"_s)->Get(u"ServerComment"_s);
    ASSERT_FALSE(v.ok());
    EXPECT_EQ(v.error().number, hr::PropertyNotFound);
}

TEST_F(MetabaseTest, CreateStoresAtSetInfoAndRefusesAnExistingName) {
    auto service = bind(u"IIS://LocalHost/W3SVC"_s);
    auto site = service->Create(u"IIsWebServer"_s, u"10000"_s);
    ASSERT_TRUE(site.ok());
    EXPECT_FALSE(mb().Bind(u"IIS://LocalHost/W3SVC/10000"_s).ok()) << "nothing is stored before SetInfo";

    // The root is stored first, then the site: storing the root brings the site's key along.
    auto root = site.value()->Create(u"IIsWebVirtualDir"_s, u"ROOT"_s);
    ASSERT_TRUE(root.ok());
    root.value()->Put(u"Path"_s, u"D:\\WebRoot\\a\\web"_s);
    ASSERT_TRUE(root.value()->AppCreate(true).ok());
    ASSERT_TRUE(root.value()->SetInfo().ok());
    site.value()->Put(u"ServerComment"_s, u"a"_s);
    ASSERT_TRUE(site.value()->SetInfo().ok());

    auto stored = bind(u"IIS://LocalHost/W3SVC/10000"_s);
    EXPECT_EQ(stored->Class(), u"IIsWebServer"_s);
    EXPECT_EQ(get(*stored, u"ServerComment"_s), u"a"_s);
    auto storedRoot = bind(u"IIS://LocalHost/W3SVC/10000/Root"_s);
    EXPECT_EQ(get(*storedRoot, u"Path"_s), u"D:\\WebRoot\\a\\web"_s);
    EXPECT_EQ(get(*storedRoot, u"AppRoot"_s), u"/LM/W3SVC/10000/ROOT"_s);
    EXPECT_EQ(get(*storedRoot, u"AppIsolated"_s), u"0"_s);

    auto again = service->Create(u"IIsWebServer"_s, u"10000"_s);
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().number, hr::AlreadyExists);
    EXPECT_FALSE(service->Create(u"IIsWebServer"_s, u"1"_s).ok());
}

TEST_F(MetabaseTest, SecondCreateOfTheSameNameLosesAtSetInfo) {
    auto first = bind(u"IIS://LocalHost/W3SVC"_s)->Create(u"IIsWebServer"_s, u"10001"_s);
    auto second = bind(u"IIS://LocalHost/W3SVC"_s)->Create(u"IIsWebServer"_s, u"10001"_s);
    ASSERT_TRUE(first.ok() && second.ok());
    first.value()->Put(u"ServerComment"_s, u"first"_s);
    second.value()->Put(u"ServerComment"_s, u"second"_s);
    ASSERT_TRUE(first.value()->SetInfo().ok());
    auto lost = second.value()->SetInfo();
    ASSERT_FALSE(lost.ok());
    EXPECT_EQ(lost.error().number, hr::AlreadyExists);
    EXPECT_EQ(get(*bind(u"IIS://LocalHost/W3SVC/10001"_s), u"ServerComment"_s), u"first"_s);
}

TEST_F(MetabaseTest, SetInfoOnAKeyDeletedMeanwhileStoresNothing) {
    makeSite(u"10002"_s, {u":80:a.com"_s});
    auto site = bind(u"IIS://LocalHost/W3SVC/10002"_s);
    site->Put(u"ServerComment"_s, u"changed"_s);
    site->Put(u"ServerBindings"_s, MetaValue(QStringList{u":81:"_s}));
    ASSERT_TRUE(bind(u"IIS://LocalHost/W3SVC"_s)->Delete(u"IIsWebServer"_s, u"10002"_s).ok());
    auto s = site->SetInfo();
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().number, hr::PathNotFound);
    EXPECT_FALSE(mb().Bind(u"IIS://LocalHost/W3SVC/10002"_s).ok());
}

TEST_F(MetabaseTest, DeleteRemovesTheKeyAndEverythingBelowIt) {
    auto site = makeSite(u"10003"_s, {});
    auto root = site->Create(u"IIsWebVirtualDir"_s, u"ROOT"_s);
    ASSERT_TRUE(root.ok() && root.value()->SetInfo().ok());
    auto service = bind(u"IIS://LocalHost/W3SVC"_s);
    ASSERT_TRUE(service->Delete(u"IIsWebServer"_s, u"10003"_s).ok());
    EXPECT_EQ(mb().Bind(u"IIS://LocalHost/W3SVC/10003/ROOT"_s).error().number, hr::PathNotFound);
    auto again = service->Delete(u"IIsWebServer"_s, u"10003"_s);
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().number, hr::PathNotFound);
    EXPECT_TRUE(mb().Bind(u"IIS://LocalHost/W3SVC/1/ROOT"_s).ok()) << "a neighbour is untouched";
}

TEST_F(MetabaseTest, InheritablePropertiesComeFromTheParents) {
    auto root = bind(u"IIS://LocalHost/W3SVC/1/ROOT"_s);
    EXPECT_EQ(get(*root, u"AnonymousUserName"_s), u"IUSR_VELMORA"_s);
    EXPECT_EQ(get(*root, u"AuthFlags"_s), u"5"_s);
    EXPECT_EQ(get(*root, u"ServerComment"_s).left(6), u"<error"_s) << "ServerComment is not inherited";

    root->Put(u"AnonymousUserName"_s, u"shop"_s);
    ASSERT_TRUE(root->SetInfo().ok());
    EXPECT_EQ(get(*bind(u"IIS://LocalHost/W3SVC/1/ROOT"_s), u"AnonymousUserName"_s), u"shop"_s);
    EXPECT_EQ(get(*bind(u"IIS://LocalHost/W3SVC/1"_s), u"AnonymousUserName"_s), u"IUSR_VELMORA"_s);

    // The web service's value changes what every key without its own reads.
    auto service = bind(u"IIS://LocalHost/W3SVC"_s);
    service->Put(u"AnonymousUserPass"_s, u"n3w"_s);
    ASSERT_TRUE(service->SetInfo().ok());
    EXPECT_EQ(get(*bind(u"IIS://LocalHost/W3SVC/1/ROOT"_s), u"AnonymousUserPass"_s), u"n3w"_s);
}

TEST_F(MetabaseTest, AccessBooleansAreBitsOfAccessFlags) {
    auto site = makeSite(u"10004"_s, {});
    EXPECT_EQ(get(*site, u"AccessRead"_s), u"True"_s) << "inherited from the web service";
    EXPECT_EQ(get(*site, u"AccessExecute"_s), u"False"_s);
    site->Put(u"AccessExecute"_s, true);
    site->Put(u"AccessScript"_s, false);
    ASSERT_TRUE(site->SetInfo().ok());
    auto again = bind(u"IIS://LocalHost/W3SVC/10004"_s);
    EXPECT_EQ(get(*again, u"AccessFlags"_s), u"5"_s); // read | execute
    EXPECT_EQ(get(*again, u"AccessExecute"_s), u"True"_s);
    EXPECT_EQ(get(*bind(u"IIS://LocalHost/W3SVC"_s), u"AccessFlags"_s), u"513"_s)
        << "the service is unchanged";
}

TEST_F(MetabaseTest, RootWithoutMimeMapReadsTheMachineListAndPutExStoresItsOwn) {
    auto root = bind(u"IIS://127.0.0.1/w3svc/1/root"_s);
    auto list = root->GetEx(u"MimeMap"_s);
    ASSERT_TRUE(list.ok());
    const qsizetype machineCount = list.value().size();
    EXPECT_GT(machineCount, 20);
    EXPECT_TRUE(list.value().contains(platform::MimeMapEntry{u".htm"_s, u"text/html"_s}));

    auto grown = list.value();
    grown.append({u".shtml"_s, u"text/html"_s});
    ASSERT_TRUE(root->PutEx(platform::PutExControl::Update, u"MimeMap"_s, grown).ok());
    ASSERT_TRUE(root->SetInfo().ok());
    auto mine = bind(u"IIS://LocalHost/W3SVC/1/ROOT"_s)->GetEx(u"MimeMap"_s);
    ASSERT_EQ(mine.value().size(), machineCount + 1);
    EXPECT_EQ(mine.value().last(), (platform::MimeMapEntry{u".shtml"_s, u"text/html"_s}));
    EXPECT_EQ(bind(u"IIS://LocalHost/MimeMap"_s)->GetEx(u"MimeMap"_s).value().size(), machineCount);
}

TEST_F(MetabaseTest, StartStopAndPauseSetServerState) {
    auto site = makeSite(u"10005"_s, {u":80:a.example.com"_s});
    auto state = [&] {
        return get(*bind(u"IIS://LocalHost/W3SVC/10005"_s), u"ServerState"_s);
    };
    ASSERT_TRUE(site->Start().ok());
    EXPECT_EQ(state(), u"2"_s);
    ASSERT_TRUE(site->Pause().ok());
    EXPECT_EQ(state(), u"6"_s);
    ASSERT_TRUE(site->Continue().ok());
    EXPECT_EQ(state(), u"2"_s);
    ASSERT_TRUE(site->Stop().ok());
    EXPECT_EQ(state(), u"4"_s);
    EXPECT_FALSE(site->Pause().ok()) << "a stopped site cannot pause";
    EXPECT_EQ(state(), u"4"_s);
}

TEST_F(MetabaseTest, StartRefusesBindingsServedByAStartedSite) {
    auto a = makeSite(u"10006"_s, {u":80:www.a.com"_s, u":80:a.com"_s});
    ASSERT_TRUE(a->Start().ok());
    auto b = makeSite(u"10007"_s, {u":80:B.com"_s, u":80:A.COM"_s});
    auto refused = b->Start();
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().number, hr::AlreadyExists);
    EXPECT_EQ(get(*bind(u"IIS://LocalHost/W3SVC/10007"_s), u"ServerState"_s), u"4"_s);

    // Another address or port is another binding; a stopped owner frees it.
    auto c = makeSite(u"10008"_s, {u"10.0.0.5:80:a.com"_s, u":8080:a.com"_s});
    EXPECT_TRUE(c->Start().ok());
    ASSERT_TRUE(a->Stop().ok());
    EXPECT_TRUE(b->Start().ok());
    // The default site serves ":80:" (no host name): a second such binding collides.
    auto d = makeSite(u"10009"_s, {u":80:"_s});
    EXPECT_FALSE(d->Start().ok());
}

TEST_F(MetabaseTest, EnumerateHandsOutBoundChildrenInMetabaseOrder) {
    makeSite(u"10010"_s, {u":80:x.com"_s});
    makeSite(u"10011"_s, {u":80:y.com"_s});
    auto children = bind(u"IIS://LocalHost/W3SVC"_s)->Enumerate();
    ASSERT_TRUE(children.ok());
    QStringList names;
    for (auto& c : children.value())
        names << c->Name();
    EXPECT_GT(names.indexOf(u"10011"_s), names.indexOf(u"10010"_s));
    for (auto& c : children.value()) {
        if (c->Name() == u"10011"_s) {
            EXPECT_EQ(get(*c, u"ServerComment"_s), u"site10011"_s);
        }
    }
}

TEST_F(MetabaseTest, TwoConnectionsSeeEachOthersCommits) {
    auto other = m.reopen();
    ASSERT_TRUE(other);
    auto mine = bind(u"IIS://LocalHost/W3SVC/1"_s);
    mine->Put(u"ServerComment"_s, u"from one"_s);
    ASSERT_TRUE(mine->SetInfo().ok());
    auto theirs = other->metabase().Bind(u"IIS://LocalHost/W3SVC/1"_s);
    ASSERT_TRUE(theirs.ok());
    EXPECT_EQ(get(*theirs.value(), u"ServerComment"_s), u"from one"_s);
    auto created =
        other->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value()->Create(u"IIsWebServer"_s, u"20000"_s);
    ASSERT_TRUE(created.ok() && created.value()->SetInfo().ok());
    EXPECT_TRUE(mb().Bind(u"IIS://LocalHost/W3SVC/20000"_s).ok());
}

// Two processes change one key at once: SetInfo stores each one's changes against the key as it
// is stored then, in one transaction, so that neither loses the other's.
TEST_F(MetabaseTest, SetInfoKeepsWhatAnotherConnectionStoredMeanwhile) {
    auto other = m.reopen();
    ASSERT_TRUE(other);
    auto mine = bind(u"IIS://LocalHost/W3SVC/1/ROOT"_s);
    auto theirs = other->metabase().Bind(u"IIS://LocalHost/W3SVC/1/ROOT"_s).value();
    const std::uint32_t flags = mine->Get(u"AccessFlags"_s).value().toNumber();
    ASSERT_EQ(flags & 0x12u, 0u) << "neither write nor source yet";
    // Flag bits put on both sides: both are kept.
    mine->Put(u"AccessWrite"_s, MetaValue(true));
    theirs->Put(u"AccessSource"_s, MetaValue(true));
    theirs->Put(u"DefaultDoc"_s, u"theirs.htm"_s);
    ASSERT_TRUE(theirs->SetInfo().ok());
    mine->Put(u"ServerComment"_s, u"mine"_s);
    ASSERT_TRUE(mine->SetInfo().ok());
    auto fresh = bind(u"IIS://LocalHost/W3SVC/1/ROOT"_s);
    EXPECT_EQ(fresh->Get(u"AccessFlags"_s).value().toNumber(), flags | 0x12u);
    EXPECT_EQ(get(*fresh, u"DefaultDoc"_s), u"theirs.htm"_s);
    EXPECT_EQ(get(*fresh, u"ServerComment"_s), u"mine"_s);
    EXPECT_EQ(mine->Get(u"AccessSource"_s).value().toBool(), true) << "the cache holds what was stored";

    // Entries appended and deleted by PutEx on both sides: all of them are kept.
    const platform::MimeMapEntry a{u".aaa"_s, u"text/a"_s}, b{u".bbb"_s, u"text/b"_s};
    auto mineRoot = bind(u"IIS://LocalHost/W3SVC/1/ROOT"_s);
    auto theirsRoot = other->metabase().Bind(u"IIS://LocalHost/W3SVC/1/ROOT"_s).value();
    const qsizetype count = mineRoot->GetEx(u"MimeMap"_s).value().size();
    ASSERT_TRUE(mineRoot->PutEx(platform::PutExControl::Append, u"MimeMap"_s, {a}).ok());
    ASSERT_TRUE(theirsRoot->PutEx(platform::PutExControl::Append, u"MimeMap"_s, {b}).ok());
    ASSERT_TRUE(theirsRoot->SetInfo().ok());
    ASSERT_TRUE(mineRoot->SetInfo().ok());
    auto list = bind(u"IIS://LocalHost/W3SVC/1/ROOT"_s)->GetEx(u"MimeMap"_s).value();
    EXPECT_EQ(list.size(), count + 2);
    EXPECT_TRUE(list.contains(a) && list.contains(b));

    // A whole value put replaces whatever is stored, as it says.
    auto whole = bind(u"IIS://LocalHost/W3SVC/1/ROOT"_s);
    auto bit = other->metabase().Bind(u"IIS://LocalHost/W3SVC/1/ROOT"_s).value();
    whole->Put(u"AccessFlags"_s, MetaValue(1u));
    whole->Put(u"AccessExecute"_s, MetaValue(true));
    bit->Put(u"AccessNoRemoteRead"_s, MetaValue(true));
    ASSERT_TRUE(bit->SetInfo().ok());
    ASSERT_TRUE(whole->SetInfo().ok());
    EXPECT_EQ(bind(u"IIS://LocalHost/W3SVC/1/ROOT"_s)->Get(u"AccessFlags"_s).value().toNumber(), 5u);
}

TEST_F(MetabaseTest, StoppedAdminServiceFailsEveryBind) {
    m->setFact(u"service.iisadmin"_s, u"stopped"_s);
    auto refused = mb().Bind(u"IIS://LocalHost/W3SVC"_s);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().number, hr::RpcUnavailable);
    m->setFact(u"service.iisadmin"_s, u"running"_s);
    EXPECT_TRUE(mb().Bind(u"IIS://LocalHost/W3SVC"_s).ok());
}

} // namespace
