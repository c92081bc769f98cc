#include "emulation/MetabaseXml.h"
#include "emulation/MetabaseStore.h"
#include "tests/support/TempMachine.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

TEST(MetabaseXml, ExportOfAFreshMachineIsAnIis6MetabaseFile) {
    testing_support::TempMachine m;
    const QString xml = QString::fromUtf8(emulation::exportMetabaseXml(m->db()));
    EXPECT_TRUE(xml.startsWith(
        u"<?xml version =\"1.0\"?>\n<configuration xmlns=\"urn:microsoft-catalog:XMLMetabase-V64-0\">"_s));
    EXPECT_TRUE(xml.contains(u"<IIsWebServer\tLocation =\"/LM/W3SVC/1\""_s));
    EXPECT_TRUE(xml.contains(u"ServerComment=\"默认网站\""_s));
    EXPECT_TRUE(xml.contains(u"ServerComment=\"默认 FTP 站点\""_s));
    EXPECT_TRUE(xml.contains(u"AuthFlags=\"AuthAnonymous | AuthNTLM\""_s)) << "flags by name";
    EXPECT_TRUE(xml.contains(u"AllowAnonymous=\"TRUE\""_s));
    EXPECT_TRUE(xml.contains(u"MimeMap=\".323,text/h323\n\t\t\t.asx,video/x-ms-asf\n"_s))
        << "one value a line";
    EXPECT_LT(xml.indexOf(u"Location =\"/LM/W3SVC\""_s), xml.indexOf(u"Location =\"/LM/W3SVC/1\""_s));
    EXPECT_LT(xml.indexOf(u"Location =\"/LM/W3SVC/1\""_s), xml.indexOf(u"Location =\"/LM/W3SVC/1/ROOT\""_s));
}

TEST(MetabaseXml, ExportImportRoundTripKeepsEveryKeyAndValue) {
    testing_support::TempMachine a;
    // Values that need care: several bindings, an empty list, quotes and angle brackets, a number.
    auto service = a->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
    auto site = service->Create(u"IIsWebServer"_s, u"10000"_s).value();
    site->Put(u"ServerComment"_s, u"a \"quoted\" <name> & more"_s);
    site->Put(u"ServerBindings"_s, platform::MetaValue(QStringList{u":80:a.com"_s, u"10.0.0.1:8080:"_s}));
    site->Put(u"SecureBindings"_s, platform::MetaValue(QStringList{}));
    site->Put(u"AccessFlags"_s, platform::MetaValue(0x10000u)); // a bit without a name
    site->Put(u"HttpRedirect"_s, u"http://b.com$S$Q, EXACT_DESTINATION, PERMANENT"_s);
    ASSERT_TRUE(site->SetInfo().ok());

    const QByteArray first = emulation::exportMetabaseXml(a->db());
    testing_support::TempMachine b(u"OTHER"_s);
    ASSERT_TRUE(emulation::importMetabaseXml(b->db(), first).ok());
    EXPECT_EQ(emulation::exportMetabaseXml(b->db()), first);

    auto copy = b->metabase().Bind(u"IIS://LocalHost/W3SVC/10000"_s);
    ASSERT_TRUE(copy.ok());
    EXPECT_EQ(copy.value()->Get(u"ServerComment"_s).value().toString(), u"a \"quoted\" <name> & more"_s);
    EXPECT_EQ(copy.value()->Get(u"ServerBindings"_s).value().toStringList(),
              (QStringList{u":80:a.com"_s, u"10.0.0.1:8080:"_s}));
    EXPECT_EQ(copy.value()->Get(u"AccessFlags"_s).value().toNumber(), 0x10000u);
    EXPECT_EQ(b->metabase()
                  .Bind(u"IIS://LocalHost/W3SVC"_s)
                  .value()
                  ->Get(u"AnonymousUserName"_s)
                  .value()
                  .toString(),
              u"IUSR_VELMORA"_s)
        << "the imported file's values replace the machine's";
}

TEST(MetabaseXml, BadFilesAreRefusedAndChangeNothing) {
    testing_support::TempMachine m;
    const QByteArray before = emulation::exportMetabaseXml(m->db());
    EXPECT_FALSE(emulation::importMetabaseXml(m->db(), "<configuration><MBProperty><IIsWebServer").ok());
    EXPECT_FALSE(
        emulation::importMetabaseXml(m->db(), "<configuration><MBProperty></MBProperty></configuration>")
            .ok());
    auto badValue = emulation::importMetabaseXml(
        m->db(), "<configuration><MBProperty><IIsWebServer Location=\"/LM/W3SVC/1\" ServerState=\"running\">"
                 "</IIsWebServer></MBProperty></configuration>");
    ASSERT_FALSE(badValue.ok());
    EXPECT_TRUE(badValue.error().text.contains(u"ServerState"_s));
    EXPECT_EQ(emulation::exportMetabaseXml(m->db()), before);
}

TEST(MetabaseXml, AFlagGivenAsAnAttributeIsABitOfItsFlags) {
    testing_support::TempMachine m;
    ASSERT_TRUE(emulation::importMetabaseXml(
                    m->db(),
                    "<configuration><MBProperty>"
                    "<IIsWebServer Location=\"/LM/W3SVC/5\" AccessFlags=\"AccessRead\" AccessScript=\"TRUE\" "
                    "AccessRead=\"FALSE\"></IIsWebServer>"
                    "</MBProperty></configuration>")
                    .ok());
    auto site = m->metabase().Bind(u"IIS://LocalHost/W3SVC/5"_s).value();
    EXPECT_EQ(site->Get(u"AccessFlags"_s).value().toNumber(), 0x200u);
    EXPECT_FALSE(site->Get(u"AccessRead"_s).value().toBool());
    EXPECT_TRUE(site->Get(u"AccessScript"_s).value().toBool());
}

TEST(MetabaseXml, MissingParentKeysAreMadeAndOrderFollowsTheFile) {
    testing_support::TempMachine m;
    ASSERT_TRUE(emulation::importMetabaseXml(
                    m->db(), "<configuration><MBProperty>"
                             "<IIsWebServer Location=\"/LM/W3SVC/7\" ServerComment=\"seven\"></IIsWebServer>"
                             "<IIsWebServer Location=\"/LM/W3SVC/3\" ServerComment=\"three\"></IIsWebServer>"
                             "</MBProperty></configuration>")
                    .ok());
    auto service = m->metabase().Bind(u"IIS://LocalHost/W3SVC"_s);
    ASSERT_TRUE(service.ok());
    const auto children = service.value()->Children().value();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0].Name, u"7"_s);
    EXPECT_EQ(children[1].Name, u"3"_s);
}

} // namespace
