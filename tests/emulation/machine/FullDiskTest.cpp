// The machine on a full disk: an install is whole or leaves nothing, an import is whole or changes
// nothing, and every message names the full disk; once there is room the machine works.

#include "emulation/machine/Database.h"
#include "emulation/machine/Machine.h"
#include "emulation/metabase/MetabaseStore.h"
#include "emulation/metabase/MetabaseXml.h"
#include "tests/emulation/SmallDisk.h"

#include <QDir>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using emulation::machine::Machine;

namespace {

const QString DiskFull = u"磁盘空间不足。"_s;

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

bool sound(emulation::machine::Database& db) {
    auto check = db.prepare("PRAGMA integrity_check");
    return check.step() && check.text(0) == u"ok"_s;
}

// With less room left each time than a machine takes, an install either completes or fails naming
// the full disk and leaves nothing behind; a retry with room succeeds.
TEST(MachineOnAFullDisk, AnInstallIsWholeOrLeavesNothing) {
    testing_support::SmallDisk disk(4);
    VELMORA_NEED_SMALL_DISK(disk);
    const QString target = disk.path() + u"/machine"_s;
    int failed = 0;
    for (qint64 leave = 0; leave <= 320 * 1024; leave += 32 * 1024) {
        SCOPED_TRACE(leave);
        disk.fill(leave);
        auto installed = Machine::install(target, {});
        if (installed) {
            EXPECT_TRUE(sound(installed.value()->db()));
            installed = platform::Error{0, {}};
            QDir(target).removeRecursively();
        } else {
            ++failed;
            EXPECT_EQ(installed.error().text, DiskFull);
            EXPECT_EQ(entries(disk.path()).filter(u"machine"_s), QStringList()) << "nothing left behind";
        }
        disk.freeUp();
    }
    EXPECT_GT(failed, 0) << "the disk never ran out";
    auto retried = Machine::install(target, {});
    ASSERT_TRUE(retried) << retried.error().text.toStdString();
    EXPECT_TRUE(sound(retried.value()->db()));
}

// An import that does not fit changes nothing and says why; the first error is told, not a failed
// rollback's.
TEST(MachineOnAFullDisk, AnImportThatDoesNotFitChangesNothing) {
    testing_support::SmallDisk disk(4);
    VELMORA_NEED_SMALL_DISK(disk);
    auto installed = Machine::install(disk.path() + u"/machine"_s, {});
    ASSERT_TRUE(installed) << installed.error().text.toStdString();
    auto& m = *installed.value();
    const QByteArray before = emulation::metabase::exportMetabaseXml(m.db());
    QByteArray big = before;
    QByteArray sites;
    for (int i = 0; i < 3000; ++i)
        sites += "<IIsWebServer Location=\"/LM/W3SVC/" + QByteArray::number(20000 + i) +
                 "\" ServerComment=\"" + QByteArray(200, 'c') + "\"></IIsWebServer>\n";
    big.insert(big.lastIndexOf("</MBProperty>"), sites);
    disk.fill();
    const auto refused = emulation::metabase::importMetabaseXml(m.db(), big);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().text, DiskFull);
    disk.freeUp();
    EXPECT_EQ(emulation::metabase::exportMetabaseXml(m.db()), before);
    EXPECT_TRUE(sound(m.db()));
    EXPECT_TRUE(emulation::metabase::importMetabaseXml(m.db(), big).ok());
}

// A machine opened on a full disk is not called damaged: it opens, or the full disk is named.
TEST(MachineOnAFullDisk, OpeningOnAFullDiskNamesTheDiskNotDamage) {
    testing_support::SmallDisk disk(4);
    VELMORA_NEED_SMALL_DISK(disk);
    const QString folder = disk.path() + u"/machine"_s;
    ASSERT_TRUE(Machine::install(folder, {}));
    disk.fill();
    auto opened = Machine::open(folder);
    if (!opened) {
        EXPECT_EQ(opened.error().text, DiskFull);
        EXPECT_FALSE(opened.error().text.contains(u"已损坏"_s));
    }
    opened = platform::Error{0, {}};
    disk.freeUp();
    auto again = Machine::open(folder);
    ASSERT_TRUE(again) << again.error().text.toStdString();
    EXPECT_TRUE(sound(again.value()->db()));
}

} // namespace
