#include "emulation/metabase/MetabaseXml.h"
#include "emulation/metabase/MetabaseStore.h"
#include "emulation/metabase/SecureValue.h"
#include "tests/support/TempMachine.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// A fresh machine's metabase with more keys written before its end, as a whole file to import.
QByteArray withKeys(emulation::machine::Database& db, const QByteArray& elements) {
    QByteArray xml = emulation::metabase::exportMetabaseXml(db);
    xml.insert(xml.lastIndexOf("</MBProperty>"), elements);
    return xml;
}

TEST(MetabaseXml, ExportOfAFreshMachineIsAnIis6MetabaseFile) {
    testing_support::TempMachine m;
    const QString xml = QString::fromUtf8(emulation::metabase::exportMetabaseXml(m->db()));
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

    const QByteArray first = emulation::metabase::exportMetabaseXml(a->db());
    // Changes made after the export are undone by importing it again.
    ASSERT_TRUE(service->Delete(u"IIsWebServer"_s, u"10000"_s).ok());
    service->Put(u"AnonymousUserName"_s, u"IUSR_SOMEBODY"_s);
    service->Put(u"AnonymousUserPass"_s, u"changed"_s);
    ASSERT_TRUE(service->SetInfo().ok());
    ASSERT_TRUE(emulation::metabase::importMetabaseXml(a->db(), first).ok());
    EXPECT_EQ(emulation::metabase::exportMetabaseXml(a->db()), first);

    auto copy = a->metabase().Bind(u"IIS://LocalHost/W3SVC/10000"_s);
    ASSERT_TRUE(copy.ok());
    EXPECT_EQ(copy.value()->Get(u"ServerComment"_s).value().toString(), u"a \"quoted\" <name> & more"_s);
    EXPECT_EQ(copy.value()->Get(u"ServerBindings"_s).value().toStringList(),
              (QStringList{u":80:a.com"_s, u"10.0.0.1:8080:"_s}));
    EXPECT_EQ(copy.value()->Get(u"AccessFlags"_s).value().toNumber(), 0x10000u);
    auto restored = a->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
    EXPECT_EQ(restored->Get(u"AnonymousUserName"_s).value().toString(), u"IUSR_VELMORA"_s);
    EXPECT_EQ(restored->Get(u"AnonymousUserPass"_s).value().toString(), u"Qv7#mT2p!Lx9rB4e"_s);
}

// Secure properties leave the machine encrypted with its own key, as IIS 6 writes MetaBase.xml.
TEST(MetabaseXml, SecurePropertiesAreExportedEncryptedWithTheMachinesKey) {
    testing_support::TempMachine m;
    const QString xml = QString::fromUtf8(emulation::metabase::exportMetabaseXml(m->db()));
    EXPECT_FALSE(xml.contains(u"Qv7#mT2p!Lx9rB4e"_s)) << "no password in the file";
    EXPECT_FALSE(xml.contains(u"Hs3!kP8v#Nw5zQ1c"_s));
    EXPECT_EQ(xml.count(u"AnonymousUserPass=\""_s), 2) << "the web and the FTP service";
    EXPECT_EQ(xml.count(u"WAMUserPass=\""_s), 1);
    const qsizetype at = xml.indexOf(u"WAMUserPass=\""_s) + 13;
    const QString sealed = xml.mid(at, xml.indexOf(u'"', at) - at);
    EXPECT_TRUE(emulation::metabase::isSealedForm(sealed)) << sealed.toStdString();
    const QByteArray key = emulation::metabase::machineKey(m->db());
    EXPECT_EQ(key.size(), 32);
    EXPECT_EQ(emulation::metabase::openSecureValue(key, sealed), u"Hs3!kP8v#Nw5zQ1c"_s);
    // An altered value or another key opens nothing.
    QString altered = sealed;
    altered[40] = altered[40] == u'0' ? u'1' : u'0';
    EXPECT_EQ(emulation::metabase::openSecureValue(key, altered), std::nullopt);
    QByteArray otherKey = key;
    otherKey[0] = static_cast<char>(otherKey[0] ^ 1);
    EXPECT_EQ(emulation::metabase::openSecureValue(otherKey, sealed), std::nullopt);
    EXPECT_EQ(
        emulation::metabase::openSecureValue(key, emulation::metabase::sealSecureValue(key, u"密码 \"<&>"_s)),
        u"密码 \"<&>"_s);
}

TEST(MetabaseXml, AnotherMachineRefusesTheSecurePropertiesAndImportsNothing) {
    testing_support::TempMachine a;
    testing_support::TempMachine b(u"OTHER"_s);
    auto site = a->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value()->Create(u"IIsWebServer"_s, u"10000"_s);
    ASSERT_TRUE(site.value()->SetInfo().ok());
    const QByteArray fromA = emulation::metabase::exportMetabaseXml(a->db());
    const QByteArray before = emulation::metabase::exportMetabaseXml(b->db());
    const auto refused = emulation::metabase::importMetabaseXml(b->db(), fromA);
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(refused.error().text.contains(u"不是用本服务器的密钥加密的"_s))
        << refused.error().text.toStdString();
    EXPECT_TRUE(refused.error().text.contains(u"AnonymousUserPass"_s));
    EXPECT_TRUE(refused.error().text.contains(u"没有导入任何内容"_s));
    EXPECT_EQ(emulation::metabase::exportMetabaseXml(b->db()), before);
    EXPECT_FALSE(b->metabase().Bind(u"IIS://LocalHost/W3SVC/10000"_s).ok());

    // A password written into the file by hand is refused too; an empty one is no secret.
    QByteArray plain = before;
    const qsizetype at = plain.indexOf("WAMUserPass=\"") + 13;
    plain.replace(at, plain.indexOf('"', at) - at, "by-hand");
    EXPECT_FALSE(emulation::metabase::importMetabaseXml(b->db(), plain).ok());
    EXPECT_EQ(emulation::metabase::exportMetabaseXml(b->db()), before);
    plain.replace("by-hand", "");
    ASSERT_TRUE(emulation::metabase::importMetabaseXml(b->db(), plain).ok());
    EXPECT_EQ(
        b->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value()->Get(u"WAMUserPass"_s).value().toString(),
        QString());
}

TEST(MetabaseXml, BadFilesAreRefusedAndChangeNothing) {
    testing_support::TempMachine m;
    const QByteArray before = emulation::metabase::exportMetabaseXml(m->db());
    EXPECT_FALSE(
        emulation::metabase::importMetabaseXml(m->db(), "<configuration><MBProperty><IIsWebServer").ok());
    EXPECT_FALSE(emulation::metabase::importMetabaseXml(
                     m->db(), "<configuration><MBProperty></MBProperty></configuration>")
                     .ok());
    auto badValue = emulation::metabase::importMetabaseXml(
        m->db(), "<configuration><MBProperty><IIsWebServer Location=\"/LM/W3SVC/1\" ServerState=\"running\">"
                 "</IIsWebServer></MBProperty></configuration>");
    ASSERT_FALSE(badValue.ok());
    EXPECT_TRUE(badValue.error().text.contains(u"ServerState"_s));
    EXPECT_EQ(emulation::metabase::exportMetabaseXml(m->db()), before);
}

TEST(MetabaseXml, AFlagGivenAsAnAttributeIsABitOfItsFlags) {
    testing_support::TempMachine m;
    ASSERT_TRUE(
        emulation::metabase::importMetabaseXml(
            m->db(), withKeys(m->db(), "<IIsWebServer Location=\"/LM/W3SVC/5\" AccessFlags=\"AccessRead\" "
                                       "AccessScript=\"TRUE\" AccessRead=\"FALSE\"></IIsWebServer>"))
            .ok());
    auto site = m->metabase().Bind(u"IIS://LocalHost/W3SVC/5"_s).value();
    EXPECT_EQ(site->Get(u"AccessFlags"_s).value().toNumber(), 0x200u);
    EXPECT_FALSE(site->Get(u"AccessRead"_s).value().toBool());
    EXPECT_TRUE(site->Get(u"AccessScript"_s).value().toBool());
}

TEST(MetabaseXml, MissingParentKeysAreMadeAndOrderFollowsTheFile) {
    testing_support::TempMachine m;
    ASSERT_TRUE(
        emulation::metabase::importMetabaseXml(
            m->db(), withKeys(m->db(), "<IIsWebVirtualDir Location=\"/LM/W3SVC/7/ROOT\"></IIsWebVirtualDir>"
                                       "<IIsWebServer Location=\"/LM/W3SVC/3\" ServerComment=\"three\">"
                                       "</IIsWebServer>"))
            .ok());
    auto service = m->metabase().Bind(u"IIS://LocalHost/W3SVC"_s);
    ASSERT_TRUE(service.ok());
    QStringList names;
    const auto children = service.value()->Children().value();
    for (const auto& child : children)
        names << child.Name;
    EXPECT_GT(names.indexOf(u"3"_s), names.indexOf(u"7"_s)) << names.join(u' ').toStdString();
    EXPECT_TRUE(m->metabase().Bind(u"IIS://LocalHost/W3SVC/7/ROOT"_s).ok());
}

} // namespace

namespace {

// Files that would leave the machine without the keys it starts from, or whose keys are not what
// they seem, are refused whole: the database stays as it was and the machine opens as before.
TEST(MetabaseXml, HostileFilesAreRefusedWholeAndTheMachineStillWorks) {
    testing_support::TempMachine m;
    const QByteArray before = emulation::metabase::exportMetabaseXml(m->db());
    QByteArray lmx = before;
    lmx.replace("Location =\"/LM", "Location =\"/LMX");
    QByteArray noFtp = before;
    noFtp.replace("Location =\"/LM/MSFTPSVC\"", "Location =\"/LM/MSFTPSVC/2\"");
    const struct {
        const char* what;
        QByteArray xml;
        QString named; // what the message must name
    } cases[] = {
        {"every key under /LMX", lmx, u"/LMX"_s},
        {"a service key missing", noFtp, u"/LM/MSFTPSVC（IIsFtpService）"_s},
        {"only a site",
         "<configuration><MBProperty><IIsWebServer Location=\"/LM/W3SVC/5\"></IIsWebServer>"
         "</MBProperty></configuration>",
         u"/LM（IIsComputer）"_s},
        {"a key twice", withKeys(m->db(), "<IIsWebServer Location=\"/lm/w3svc/1/\" ServerComment=\"x\"/>"),
         u"/LM/w3svc/1"_s},
        {"a dot-dot name", withKeys(m->db(), "<IIsWebServer Location=\"/LM/W3SVC/1/../5\"/>"),
         u"/LM/W3SVC/1/../5"_s},
        {"a dot name", withKeys(m->db(), "<IIsWebServer Location=\"/LM/W3SVC/./5\"/>"), u"/LM/W3SVC/./5"_s},
        {"an empty name", withKeys(m->db(), "<IIsWebServer Location=\"/LM//W3SVC/5\"/>"), u"/LM//W3SVC/5"_s},
        {"a blank name", withKeys(m->db(), "<IIsWebServer Location=\"/LM/W3SVC/ /5\"/>"), u"/LM/W3SVC/ /5"_s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto refused = emulation::metabase::importMetabaseXml(m->db(), c.xml);
        ASSERT_FALSE(refused.ok());
        EXPECT_TRUE(refused.error().text.contains(c.named)) << refused.error().text.toStdString();
        EXPECT_TRUE(refused.error().text.contains(u"没有导入任何内容"_s));
        EXPECT_EQ(emulation::metabase::exportMetabaseXml(m->db()), before);
    }
    auto reopened = m.reopen();
    ASSERT_TRUE(reopened);
    EXPECT_TRUE(emulation::metabase::importMetabaseXml(reopened->db(), before).ok());
}

} // namespace
