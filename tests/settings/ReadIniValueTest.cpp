#include "settings/ReadIniValue.h"
#include "tests/support/TempMachine.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using settings::ReadIniValue;
using settings::SettingsFile;

namespace {

class ReadIniValueTest : public ::testing::Test {
protected:
    testing_support::TempMachine m;
    QByteArray file() const { return m.readFile(SettingsFile); }
};

TEST_F(ReadIniValueTest, SettingsFileLivesInTheDriversFolder) {
    m.profiles().WritePrivateProfileString(u"Version"_s, u"vers"_s, u"2.4"_s, SettingsFile);
    EXPECT_EQ(file(), QByteArray("[Version]\r\nvers=2.4\r\n"));
    EXPECT_TRUE(m->hostPath(SettingsFile).endsWith(u"/drives/C/WINDOWS/system32/drivers/config.ini"_s));
}

TEST_F(ReadIniValueTest, StoredValueIsReturnedAndNothingWritten) {
    m.writeFile(SettingsFile, "[HomePath]\r\nPATH=D:\\WebRoot\r\n");
    EXPECT_EQ(ReadIniValue(m.profiles(), u"homepath"_s, u"path"_s, std::nullopt), u"D:\\WebRoot"_s);
    EXPECT_EQ(ReadIniValue(m.profiles(), u"HomePath"_s, u"PATH"_s, u"other"_s), u"D:\\WebRoot"_s);
    EXPECT_EQ(file(), QByteArray("[HomePath]\r\nPATH=D:\\WebRoot\r\n"));
}

TEST_F(ReadIniValueTest, EmptyValueReadsAsMissingAndItsLineIsRemoved) {
    m.writeFile(SettingsFile, "[SiteNum]\r\nNum=\r\nOther=1\r\n");
    EXPECT_EQ(ReadIniValue(m.profiles(), u"SiteNum"_s, u"Num"_s, std::nullopt), QString());
    EXPECT_EQ(file(), QByteArray("[SiteNum]\r\nOther=1\r\n"));
}

TEST_F(ReadIniValueTest, MissingKeyIsStoredWithItsDefault) {
    m.writeFile(SettingsFile, "[Version]\r\nvers=2.4\r\n");
    EXPECT_EQ(ReadIniValue(m.profiles(), u"HostSet"_s, u"USRGroup"_s, u"False"_s), u"False"_s);
    EXPECT_EQ(file(), QByteArray("[Version]\r\nvers=2.4\r\n[HostSet]\r\nUSRGroup=False\r\n"));
}

TEST_F(ReadIniValueTest, LongValueReadsBackAsItsFirst254Characters) {
    m.writeFile(SettingsFile, "[HomePath]\r\nPATH=" + QByteArray(300, 'p') + "\r\n");
    EXPECT_EQ(ReadIniValue(m.profiles(), u"HomePath"_s, u"PATH"_s, std::nullopt), QString(254, u'p'));
}

TEST(TruthValues, ReadWithoutRegardToCase) {
    for (const auto* t : {u"TRUE", u"True", u"true", u" true ", u"1", u"-1", u"5"})
        EXPECT_TRUE(settings::ReadsTrue(QString::fromUtf16(t))) << QString::fromUtf16(t).toStdString();
    for (const auto* f : {u"FALSE", u"False", u"false", u"0", u"", u"yes", u"abc"})
        EXPECT_FALSE(settings::ReadsTrue(QString::fromUtf16(f))) << QString::fromUtf16(f).toStdString();
}

TEST(LeadingNumber, TakesTheNumberAtTheStart) {
    EXPECT_EQ(settings::LeadingNumber(u"15"_s), 15);
    EXPECT_EQ(settings::LeadingNumber(u"  7 times"_s), 7);
    EXPECT_EQ(settings::LeadingNumber(u"12abc"_s), 12);
    EXPECT_EQ(settings::LeadingNumber(u"-3"_s), -3);
    EXPECT_EQ(settings::LeadingNumber(u""_s), 0);
    EXPECT_EQ(settings::LeadingNumber(u"abc"_s), 0);
    EXPECT_EQ(settings::LeadingNumber(u"９"_s), 0) << "full-width digits are not a number";
}

} // namespace
