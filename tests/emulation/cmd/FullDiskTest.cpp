// Commands on a full disk: what a command could not store it reports with Windows' message and
// exit status 1, a file it replaces keeps its old bytes, and the machine works again once there
// is room.

#include "emulation/machine/Database.h"
#include "emulation/machine/Machine.h"
#include "tests/emulation/SmallDisk.h"
#include "tests/support/CommandLines.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString DiskFull = u"磁盘空间不足。"_s;

class FullDiskTest : public ::testing::Test {
protected:
    void SetUp() override {
        VELMORA_NEED_SMALL_DISK(disk);
        auto installed = emulation::machine::Machine::install(disk.path() + u"/machine"_s, {});
        ASSERT_TRUE(installed) << installed.error().text.toStdString();
        m = std::move(installed).value();
        // The journal keeps room of its own: these cases are about what the commands store.
        ASSERT_TRUE(testing_support::SmallDisk::reserve(m->folder() + u"/journal.log"_s, 1 << 20));
    }
    void TearDown() override {
        if (!m)
            return;
        // Once there is room again the machine works and its database is sound.
        disk.freeUp();
        EXPECT_EQ(cmd(u"cmd.exe /c echo again> C:\\again.txt"_s).exitCode, 0);
        EXPECT_EQ(read(u"C:\\again.txt"_s), "again\r\n");
        auto check = m->db().prepare("PRAGMA integrity_check");
        ASSERT_TRUE(check.step());
        EXPECT_EQ(check.text(0), u"ok"_s);
        // Nothing written beside a file was left behind.
        EXPECT_TRUE(
            QDir(m->hostPath(u"C:\\"_s)).entryList({u".velmora-*"_s}, QDir::Hidden | QDir::Files).isEmpty());
    }
    platform::CommandResult cmd(const QString& line) { return testing_support::run(*m, line); }
    QByteArray read(const QString& path) {
        QFile f(m->hostPath(path));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    void write(const QString& path, const QByteArray& bytes) {
        QFile f(m->hostPath(path));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(bytes), bytes.size());
    }

    testing_support::SmallDisk disk;
    std::unique_ptr<emulation::machine::Machine> m;
};

TEST_F(FullDiskTest, RedirectedOutputIsStoredWholeOrTheCommandFails) {
    write(u"C:\\keep.txt"_s, "old content\r\n");
    disk.fill();
    for (const QString& line :
         {u"cmd.exe /c echo hello > C:\\x.txt"_s, u"cmd.exe /c net user > C:\\users.txt"_s}) {
        const auto r = cmd(line);
        EXPECT_EQ(r.exitCode, 1) << line.toStdString();
        EXPECT_TRUE(r.output.contains(DiskFull)) << r.output.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(m->hostPath(u"C:\\x.txt"_s)));
    EXPECT_FALSE(QFileInfo::exists(m->hostPath(u"C:\\users.txt"_s)));

    const auto replaced = cmd(u"cmd.exe /c echo "_s + QString(8000, u'x') + u" > C:\\keep.txt"_s);
    EXPECT_EQ(replaced.exitCode, 1);
    EXPECT_TRUE(replaced.output.contains(DiskFull));
    EXPECT_EQ(read(u"C:\\keep.txt"_s), "old content\r\n") << "the old file is kept whole";
}

TEST_F(FullDiskTest, AppendsAreWholeLinesUntilTheDiskIsFull) {
    write(u"C:\\log.txt"_s, {});
    disk.fill();
    const QString line = QString(300, u'a');
    int stored = 0;
    for (int i = 0; i < 40; ++i) {
        const auto r = cmd(u"cmd.exe /c echo "_s + line + u">> C:\\log.txt"_s);
        if (r.exitCode == 0) {
            ++stored;
            continue;
        }
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.output.contains(DiskFull)) << r.output.toStdString();
    }
    EXPECT_LT(stored, 40) << "the disk was never full";
    EXPECT_EQ(read(u"C:\\log.txt"_s), QByteArray((line + u"\r\n"_s).toLatin1()).repeated(stored));
}

TEST_F(FullDiskTest, CopyOverAFileKeepsItWhenTheCopyDoesNotFit) {
    write(u"C:\\keep.txt"_s, "old content\r\n");
    write(u"C:\\big.txt"_s, QByteArray(256 * 1024, 'b'));
    disk.fill();
    const auto r = cmd(u"cmd.exe /c copy /y C:\\big.txt C:\\keep.txt"_s);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.output.contains(DiskFull)) << r.output.toStdString();
    EXPECT_FALSE(r.output.contains(u"拒绝访问"_s));
    EXPECT_EQ(read(u"C:\\keep.txt"_s), "old content\r\n");
}

TEST_F(FullDiskTest, ACommandWhoseJournalLineCannotBeWrittenDoesNotRun) {
    disk.fill();
    // Room the journal had set aside is taken back.
    ASSERT_TRUE(QFile::resize(m->folder() + u"/journal.log"_s, 0));
    disk.fill();
    // A line longer than any page the journal has left: its entry needs room the disk lacks.
    const QString line = u"cmd.exe /c md D:\\ran & rem "_s + QString(6000, u'r');
    const auto r = m->interpreter().RunHidden(line);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text, DiskFull);
    disk.freeUp();
    EXPECT_FALSE(QFileInfo::exists(m->hostPath(u"D:\\ran"_s))) << "the command ran without its journal line";
}

TEST_F(FullDiskTest, AccountsThatCannotBeStoredAreReportedAsAFullDisk) {
    disk.fill();
    bool failed = false;
    // The database takes a few rows into pages it has; some account is the first that does not fit.
    // net says so as Windows does: a system error, 112.
    for (int i = 0; i < 400 && !failed; ++i) {
        const auto r = cmd(u"cmd.exe /c net user user%1 Pw%1x! /add"_s.arg(i));
        if (r.exitCode != 0) {
            failed = true;
            EXPECT_TRUE(r.output.contains(DiskFull)) << r.output.toStdString();
            EXPECT_FALSE(r.output.contains(u"用户名或组名参数无效"_s));
        }
    }
    EXPECT_TRUE(failed) << "the disk never filled";
}

} // namespace
