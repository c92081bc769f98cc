// Which folders a deletion may remove: only a site's own folder inside the sites root.

#include "maintenance/deletfloadr.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

TEST(FolderRulesTest, SiteFolderIsTheHomeDirectoryWithoutItsLastWeb) {
    EXPECT_EQ(deletfloadr::SiteFolderOf(u"D:\\WebRoot\\shop\\web"_s).value(), u"D:\\WebRoot\\shop"_s);
    EXPECT_EQ(deletfloadr::SiteFolderOf(u"D:\\WebRoot\\web\\web\\"_s).value(), u"D:\\WebRoot\\web"_s);
    EXPECT_EQ(deletfloadr::SiteFolderOf(u"d:/webroot/shop/WEB"_s).value(), u"d:/webroot/shop"_s);
    for (const QString& dir :
         {u"D:\\WebRoot"_s, u"c:\\inetpub\\wwwroot"_s, u"D:\\WebRoot\\shop\\webx"_s, QString()})
        EXPECT_FALSE(deletfloadr::SiteFolderOf(dir).ok()) << dir.toStdString();
}

TEST(FolderRulesTest, OnlyFoldersStrictlyInsideTheSitesRoot) {
    const QStringList none;
    EXPECT_TRUE(deletfloadr::MayDeleteFolder(u"D:\\WebRoot\\shop"_s, u"D:\\WebRoot"_s, none).ok());
    EXPECT_TRUE(deletfloadr::MayDeleteFolder(u"d:\\webroot\\shop"_s, u"D:\\WebRoot\\"_s, none).ok());
    EXPECT_TRUE(deletfloadr::MayDeleteFolder(u"D:\\shop"_s, u"D:\\"_s, none).ok());
    const QStringList refused = {
        u"D:\\WebRoot"_s,           // the root itself
        u"D:\\WebRoot\\."_s,        // the root again
        u"D:\\WebRoot.\\"_s,        // trailing dots are dropped: the root
        u"D:\\"_s,                  // a drive root
        u"D:"_s,                    // not a full path
        u"WebRoot\\shop"_s,         // relative
        u"\\\\server\\share\\x"_s,  // UNC
        u"D:\\WebRoot\\..\\Data"_s, // climbs out
        u"D:\\WebRoot\\*"_s,        // a wildcard would name every site
        u"D:\\WebRootX\\shop"_s,    // a sibling of the root with a longer name
        u"E:\\WebRoot\\shop"_s,     // another drive
        u""_s,
    };
    for (const QString& folder : refused)
        EXPECT_FALSE(deletfloadr::MayDeleteFolder(folder, u"D:\\WebRoot"_s, none).ok())
            << folder.toStdString();
    EXPECT_FALSE(deletfloadr::MayDeleteFolder(u"C:\\WINDOWS"_s, u"C:\\"_s, none).ok());
    EXPECT_FALSE(deletfloadr::MayDeleteFolder(u"C:\\Program Files"_s, u"C:\\"_s, none).ok());
    EXPECT_FALSE(deletfloadr::MayDeleteFolder(u"D:\\x"_s, QString(), none).ok()) << "no sites root chosen";
}

TEST(FolderRulesTest, NeverAFolderHoldingAnotherSitesDirectory) {
    const QStringList others = {u"D:\\WebRoot\\Shop\\web"_s, u"D:\\WebRoot\\blog\\web"_s, u"D:\\"_s};
    EXPECT_FALSE(deletfloadr::MayDeleteFolder(u"D:\\WebRoot\\shop"_s, u"D:\\WebRoot"_s, others).ok());
    EXPECT_TRUE(deletfloadr::MayDeleteFolder(u"D:\\WebRoot\\shop2"_s, u"D:\\WebRoot"_s, others).ok())
        << "a directory above the folder is not inside it";
    // Written otherwise: other letter case, forward slashes, a name with trailing dots and blanks.
    EXPECT_FALSE(
        deletfloadr::MayDeleteFolder(u"D:\\WebRoot\\SHOP"_s, u"D:\\WebRoot"_s, {u"d:/webroot//Shop.. /web"_s})
            .ok());
    EXPECT_FALSE(deletfloadr::MayDeleteFolder(u"D:\\WebRoot\\shop. "_s, u"D:\\WebRoot"_s,
                                              {u"D:\\WEBROOT\\SHOP\\web"_s})
                     .ok());
    EXPECT_TRUE(deletfloadr::IsInside(u"D:\\WebRoot\\Shop\\web"_s, u"d:\\webroot\\shop"_s));
    EXPECT_FALSE(deletfloadr::IsInside(u"D:\\WebRoot\\shopping"_s, u"D:\\WebRoot\\shop"_s));
    EXPECT_FALSE(deletfloadr::IsInside(u"D:\\WebRoot\\shop"_s, QString()));
}

} // namespace
