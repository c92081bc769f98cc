// FTP publishing: the default FTP site and a site's FTP directory.

#include "emulation/metabase/MetabaseStore.h"
#include "provisioning/AppPool.h"
#include "tests/support/FormHarness.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

QString get(emulation::Machine& m, const QString& path, const QString& property) {
    auto o = m.metabase().Bind(path);
    if (!o)
        return u"<unbound>"_s;
    auto v = o.value()->Get(property);
    return v ? v.value().toString() : u"<none>"_s;
}

TEST(DefaultFtpSite, IsFoundAndClosedToAnonymousUsers) {
    testing_support::FormHarness h;
    Form1& form = h.build();
    form.SetupDefaultFtpSite();
    EXPECT_EQ(form.state.FtpSiteNumber, 1);
    EXPECT_EQ(get(h.machine.machine(), u"IIS://localhost/MSFTPSVC/1"_s, u"AllowAnonymous"_s), u"False"_s);
    EXPECT_TRUE(h.dialogs.shown.empty());
}

TEST(DefaultFtpSite, OnlyTheExactDescriptionCountsAndTheLastMatchWins) {
    testing_support::FormHarness h;
    auto service = h.machine->metabase().Bind(u"IIS://localhost/MSFTPSVC"_s).value();
    auto site1 = h.machine->metabase().Bind(u"IIS://localhost/MSFTPSVC/1"_s).value();
    site1->Put(u"ServerComment"_s, u"默认 ftp 站点"_s);
    ASSERT_TRUE(site1->SetInfo());
    for (const auto& [n, comment] :
         {std::pair{u"7"_s, u"默认FTP站点"_s}, std::pair{u"9"_s, u"默认 FTP 站点"_s}}) {
        auto s = service->Create(u"IIsFtpServer"_s, n).value();
        s->Put(u"ServerComment"_s, comment);
        s->Put(u"AllowAnonymous"_s, true);
        ASSERT_TRUE(s->SetInfo());
    }
    Form1& form = h.build();
    form.SetupDefaultFtpSite();
    EXPECT_EQ(form.state.FtpSiteNumber, 9);
    EXPECT_EQ(get(h.machine.machine(), u"IIS://localhost/MSFTPSVC/7"_s, u"AllowAnonymous"_s), u"True"_s);
    EXPECT_EQ(get(h.machine.machine(), u"IIS://localhost/MSFTPSVC/1"_s, u"AllowAnonymous"_s), u"True"_s);
}

TEST(DefaultFtpSite, WithoutOneTheNumberStaysZero) {
    testing_support::FormHarness h;
    ASSERT_TRUE(
        h.machine->metabase().Bind(u"IIS://localhost/MSFTPSVC"_s).value()->Delete(u"IIsFtpServer"_s, u"1"_s));
    Form1& form = h.build();
    form.SetupDefaultFtpSite();
    EXPECT_EQ(form.state.FtpSiteNumber, 0);
    EXPECT_EQ(AppPool::CreateFtpVirtualDir(h.machine->metabase(), 0, u"D:\\WebRoot\\shop"_s, u"shop"_s), 0);
}

TEST(FtpVirtualDir, PointsAtTheSiteFolderReadableAndWritable) {
    testing_support::TempMachine m;
    EXPECT_EQ(AppPool::CreateFtpVirtualDir(m->metabase(), 1, u"D:\\WebRoot\\shop"_s, u"shop"_s), 1);
    const QString dir = u"IIS://localhost/MSFTPSVC/1/ROOT/shop"_s;
    EXPECT_EQ(m->metabase().Bind(dir).value()->Class(), u"IIsFtpVirtualDir"_s);
    EXPECT_EQ(get(m.machine(), dir, u"Path"_s), u"D:\\WebRoot\\shop"_s);
    EXPECT_EQ(get(m.machine(), dir, u"AccessRead"_s), u"True"_s);
    EXPECT_EQ(get(m.machine(), dir, u"AccessWrite"_s), u"True"_s);
    // A second directory of the same name is refused; the first stays as it was.
    EXPECT_EQ(AppPool::CreateFtpVirtualDir(m->metabase(), 1, u"E:\\elsewhere"_s, u"SHOP"_s), 0);
    EXPECT_EQ(get(m.machine(), dir, u"Path"_s), u"D:\\WebRoot\\shop"_s);
}

} // namespace
