// Conformance of the private-profile functions: GetPrivateProfileStringA / WritePrivateProfileStringA.

#include "settings/ProfileFile.h"
#include "platform/AnsiCodePage.h"
#include "settings/ReadIniValue.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

class ProfileFileTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    // Windows paths "C:\x.ini" map to files of the temporary folder.
    settings::ProfileFile profile{[this](const QString& path) {
        return dir.path() + u'/' + path.section(u'\\', -1);
    }};
    const QString file = u"C:\\test.ini"_s;

    QByteArray bytes() const {
        QFile f(dir.path() + u"/test.ini"_s);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    void setBytes(const QByteArray& content) const {
        QFile f(dir.path() + u"/test.ini"_s);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    QString get(const QString& section, const QString& key, int size = 255) {
        QString out;
        profile.GetPrivateProfileString(section, key, std::nullopt, out, size, file);
        return out;
    }
    void put(const QString& section, const std::optional<QString>& key, const std::optional<QString>& value) {
        EXPECT_TRUE(profile.WritePrivateProfileString(section, key, value, file));
    }
};

TEST_F(ProfileFileTest, FirstWriteCreatesFileSectionAndKey) {
    EXPECT_EQ(bytes(), QByteArray("<missing>"));
    put(u"Version"_s, u"vers"_s, u"2.4"_s);
    EXPECT_EQ(bytes(), QByteArray("[Version]\r\nvers=2.4\r\n"));
}

TEST_F(ProfileFileTest, NamesMatchWithoutRegardToCase) {
    put(u"HomePath"_s, u"PATH"_s, u"D:\\WebRoot"_s);
    EXPECT_EQ(get(u"homepath"_s, u"path"_s), u"D:\\WebRoot"_s);
    put(u"HOMEPATH"_s, u"Path"_s, u"E:\\Sites"_s);
    EXPECT_EQ(bytes(), QByteArray("[HomePath]\r\nPath=E:\\Sites\r\n")) << "replaced in place, one section";
}

TEST_F(ProfileFileTest, OrderIsKeptAndNewKeysAndSectionsGoAtTheEnd) {
    put(u"A"_s, u"one"_s, u"1"_s);
    put(u"B"_s, u"two"_s, u"2"_s);
    put(u"A"_s, u"three"_s, u"3"_s);
    put(u"A"_s, u"one"_s, u"uno"_s);
    put(u"C"_s, u"four"_s, u"4"_s);
    EXPECT_EQ(bytes(), QByteArray("[A]\r\none=uno\r\nthree=3\r\n[B]\r\ntwo=2\r\n[C]\r\nfour=4\r\n"));
}

TEST_F(ProfileFileTest, NullValueRemovesKeyAndNullKeyRemovesSection) {
    put(u"A"_s, u"one"_s, u"1"_s);
    put(u"A"_s, u"two"_s, u"2"_s);
    put(u"B"_s, u"x"_s, u"y"_s);
    put(u"a"_s, u"ONE"_s, std::nullopt);
    EXPECT_EQ(bytes(), QByteArray("[A]\r\ntwo=2\r\n[B]\r\nx=y\r\n"));
    put(u"b"_s, std::nullopt, std::nullopt);
    EXPECT_EQ(bytes(), QByteArray("[A]\r\ntwo=2\r\n"));
}

TEST_F(ProfileFileTest, MissingKeyCopiesNothingAndDefaultIsReturned) {
    put(u"A"_s, u"one"_s, u"1"_s);
    QString out = u"junk"_s;
    EXPECT_EQ(profile.GetPrivateProfileString(u"A"_s, u"none"_s, std::nullopt, out, 255, file), 0);
    EXPECT_TRUE(out.isEmpty());
    EXPECT_EQ(profile.GetPrivateProfileString(u"A"_s, u"none"_s, u"dflt"_s, out, 255, file), 4);
    EXPECT_EQ(out, u"dflt"_s);
    EXPECT_EQ(profile.GetPrivateProfileString(u"Z"_s, u"one"_s, std::nullopt, out, 255, u"C:\\absent.ini"_s),
              0);
}

TEST_F(ProfileFileTest, ValuesAreCutTo254BytesWithoutSplittingACharacter) {
    const QString ascii(300, u'x');
    put(u"S"_s, u"k"_s, ascii);
    EXPECT_EQ(get(u"S"_s, u"k"_s), QString(254, u'x'));

    // One ASCII byte then double-byte characters: 254 bytes would end inside a character.
    const QString mixed = u"a"_s + QString(150, QChar(0x7F51)); // 网
    put(u"S"_s, u"k"_s, mixed);
    QString out;
    const int copied = profile.GetPrivateProfileString(u"S"_s, u"k"_s, std::nullopt, out, 255, file);
    EXPECT_EQ(copied, 253);
    EXPECT_EQ(out, u"a"_s + QString(126, QChar(0x7F51)));
}

TEST_F(ProfileFileTest, FileIsInCodePage936) {
    put(u"VMUSER"_s, u"Name"_s, u"网站用户"_s);
    EXPECT_EQ(bytes(), QByteArray("[VMUSER]\r\nName=\xCD\xF8\xD5\xBE\xD3\xC3\xBB\xA7\r\n"));
    // A file written on a real server reads back unchanged.
    setBytes("[HomePath]\r\nPATH=D:\\\xCD\xF8\xD5\xBE\r\n");
    EXPECT_EQ(get(u"HomePath"_s, u"PATH"_s), u"D:\\网站"_s);
    put(u"HomePath"_s, u"LogPath"_s, u"C:\\日志"_s);
    EXPECT_TRUE(
        bytes().startsWith("[HomePath]\r\nPATH=D:\\\xCD\xF8\xD5\xBE\r\nLogPath=C:\\\xC8\xD5\xD6\xBE\r\n"));
    // A character code page 936 cannot hold is written as "?", as Windows does.
    put(u"X"_s, u"k"_s, u"a😀b"_s);
    EXPECT_EQ(get(u"X"_s, u"k"_s), u"a?b"_s);
}

TEST_F(ProfileFileTest, DamagedFilesAreReadWithoutError) {
    setBytes("\xEF\xBB\xBF"
             "garbage line without equals\n"
             "[HomePath]\n"
             "  PATH =  \"D:\\WebRoot\"  \n"
             "; a comment=not a key\n"
             "=no key\n"
             "[HomePath]\n"
             "LogPath=C:\\Logs\n"
             "[Tail]\n"
             "last=1"); // no final newline
    EXPECT_EQ(get(u"HomePath"_s, u"PATH"_s), u"D:\\WebRoot"_s);
    EXPECT_EQ(get(u"HomePath"_s, u"LogPath"_s), u"C:\\Logs"_s)
        << "a key of a repeated section is still found";
    EXPECT_EQ(get(u"Tail"_s, u"last"_s), u"1"_s);
    EXPECT_TRUE(get(u"HomePath"_s, u"; a comment"_s).isEmpty());

    put(u"Tail"_s, u"next"_s, u"2"_s);
    const QByteArray after = bytes();
    EXPECT_TRUE(after.startsWith("\xEF\xBB\xBFgarbage line without equals\n"))
        << "stray lines and the mark stay";
    EXPECT_TRUE(after.endsWith("[Tail]\nlast=1\nnext=2\n")) << after.toStdString();
}

TEST_F(ProfileFileTest, RefusedWriteLeavesTheOldFileWhole) {
    put(u"A"_s, u"k"_s, u"v"_s);
    const QByteArray before = bytes();
    settings::ProfileFile nowhere([](const QString&) { return u"/proc/velmora-no-such-dir/x.ini"_s; });
    EXPECT_FALSE(nowhere.WritePrivateProfileString(u"A"_s, u"k"_s, u"w"_s, file));
    EXPECT_EQ(bytes(), before);
}

TEST(AnsiCodePage, TruncateNeverEndsInsideADoubleByteCharacter) {
    const QByteArray gbk = platform::toAnsi(u"ab网站c"_s); // a b 2 2 c = 7 bytes
    ASSERT_EQ(gbk.size(), 7);
    EXPECT_EQ(platform::truncateAnsi(gbk, 3), QByteArray("ab"));
    EXPECT_EQ(platform::truncateAnsi(gbk, 4), gbk.left(4));
    EXPECT_EQ(platform::truncateAnsi(gbk, 5), gbk.left(4));
    EXPECT_EQ(platform::fromAnsi(platform::truncateAnsi(gbk, 6)), u"ab网站"_s);
    EXPECT_EQ(platform::truncateAnsi(gbk, 100), gbk);
}

} // namespace
