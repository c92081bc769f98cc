// The central binary log: every field survives a round trip, a reader of one site passes over the
// others, and damage (a record cut off anywhere, a damaged header) is detected, never read as data.

#include "emulation/iislog/CentralBinaryLog.h"
#include "tests/emulation/SmallDisk.h"
#include "tests/iislog/BitwiseCrc.h"
#include "tests/support/QtPrinters.h"

#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using iislog::LogRecord;

namespace {

LogRecord sample(quint32 site, int n) {
    LogRecord r;
    r.timeMs = 1704412800000 + n * 1001; // 2024-01-05 00:00:00 UTC onward
    r.siteId = site;
    r.clientIp = u"192.0.2.%1"_s.arg(n % 250 + 1);
    r.userName = n % 3 == 0 ? u"IUSR_站点"_s : QString();
    r.serverIp = u"198.51.100.7"_s;
    r.serverPort = static_cast<quint16>(80 + n % 2);
    r.method = n % 4 == 0 ? u"POST"_s : u"GET"_s;
    r.uriStem = u"/页面/%1.html"_s.arg(n);
    r.uriQuery = n % 2 ? u"a=1&b=%1"_s.arg(n) : QString();
    r.status = static_cast<quint16>(n % 5 == 0 ? 404 : 200);
    r.substatus = static_cast<quint16>(n % 7);
    r.win32Status = n % 5 == 0 ? 2u : 0u;
    r.bytesSent = 5000000000ull + static_cast<quint64>(n);
    r.bytesReceived = static_cast<quint64>(300 + n);
    r.timeTaken = static_cast<quint32>(15 + n);
    r.protocolVersion = u"HTTP/1.1"_s;
    r.host = u"www.example.com"_s;
    r.userAgent = u"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.2)"_s;
    r.cookie = n % 2 ? u"ASPSESSIONID=ABC"_s : QString();
    r.referrer = u"http://www.example.org/"_s;
    return r;
}

QVector<LogRecord> readAll(const QString& path, quint32 site = 0, quint64* damaged = nullptr,
                           quint64* summed = nullptr) {
    iislog::Reader reader;
    EXPECT_TRUE(reader.open(path)) << reader.errorString().toStdString();
    reader.setSiteFilter(site);
    QVector<LogRecord> records;
    LogRecord r;
    while (reader.next(r))
        records.append(r);
    EXPECT_TRUE(reader.errorString().isEmpty()) << reader.errorString().toStdString();
    if (damaged)
        *damaged = reader.damagedRecords();
    if (summed)
        *summed = reader.summedBytes();
    return records;
}

class CentralBinaryLog : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath(u"ra240105.ibl"_s); }

    void writeRecords(const QVector<LogRecord>& records) {
        iislog::Writer writer;
        ASSERT_TRUE(writer.open(path(), QDate(2024, 1, 5))) << writer.errorString().toStdString();
        for (const auto& r : records)
            writer.append(r);
        ASSERT_TRUE(writer.flush());
    }
    QByteArray bytes() const {
        QFile f(path());
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return f.readAll();
    }
    void setBytes(const QByteArray& data) const {
        QFile f(path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(data);
    }
};

TEST(CentralBinaryLogName, IsTheUtcDayAsYymmdd) {
    EXPECT_EQ(iislog::fileName(QDate(2024, 1, 5)), u"ra240105.ibl"_s);
    EXPECT_EQ(iislog::fileName(QDate(2031, 12, 31)), u"ra311231.ibl"_s);
}

TEST_F(CentralBinaryLog, EveryFieldSurvivesARoundTrip) {
    LogRecord full = sample(10000, 3);
    full.timeMs = -1; // before the epoch still reads back
    full.siteId = 0xFFFFFFFFu;
    full.serverPort = 65535;
    full.win32Status = 0x80070005u;
    full.bytesSent = ~0ull;
    full.timeTaken = 0xFFFFFFFFu;
    full.cookie = QString(70000, u'字'); // longer than a text may be: cut at a character boundary
    LogRecord empty;                     // every text empty, every number 0
    writeRecords({full, empty, sample(1, 1)});

    iislog::Reader reader;
    ASSERT_TRUE(reader.open(path()));
    EXPECT_EQ(reader.header().version, iislog::FormatVersion);
    EXPECT_EQ(reader.header().day, 20240105u);
    LogRecord r;
    ASSERT_TRUE(reader.next(r));
    EXPECT_EQ(r.cookie.size(), 65535 / 3); // three UTF-8 bytes each
    EXPECT_TRUE(full.cookie.startsWith(r.cookie));
    full.cookie = r.cookie;
    EXPECT_EQ(r, full);
    ASSERT_TRUE(reader.next(r));
    EXPECT_EQ(r, empty);
    ASSERT_TRUE(reader.next(r));
    EXPECT_EQ(r, sample(1, 1));
    EXPECT_FALSE(reader.next(r));
    EXPECT_EQ(reader.damagedRecords(), 0u);
}

TEST_F(CentralBinaryLog, InterleavedSitesAreFilteredAndAppendsAcrossWritersAddUp) {
    QVector<LogRecord> all;
    for (int n = 0; n < 3000; ++n) // more than one batch
        all.append(sample(10000 + static_cast<quint32>(n % 7), n));
    writeRecords(all.mid(0, 1000));
    writeRecords(all.mid(1000)); // a second writer appends to the same day

    EXPECT_EQ(readAll(path()), all);
    for (quint32 site : {10000u, 10003u, 10006u}) {
        QVector<LogRecord> expected;
        for (const auto& r : all)
            if (r.siteId == site)
                expected.append(r);
        EXPECT_EQ(readAll(path(), site), expected) << site;
    }
    EXPECT_TRUE(readAll(path(), 42).isEmpty());
}

TEST_F(CentralBinaryLog, RecordsAreWrittenOnlyOnFlushUntilTheBatchIsFull) {
    iislog::Writer writer;
    ASSERT_TRUE(writer.open(path()));
    writer.append(sample(1, 1));
    EXPECT_TRUE(readAll(path()).isEmpty());
    ASSERT_TRUE(writer.flush());
    EXPECT_EQ(readAll(path()).size(), 1);
    int n = 0;
    while (readAll(path()).size() == 1 && n < 10000)
        writer.append(sample(1, ++n)); // the batch writes itself once full
    EXPECT_LT(n, 10000);
    EXPECT_GT(n * 200, iislog::Writer::BatchBytes / 2);
}

TEST_F(CentralBinaryLog, ARecordCutOffAtAnyByteIsNeverRead) {
    const QVector<LogRecord> records = {sample(10000, 1), sample(10001, 2), sample(10000, 3)};
    writeRecords(records);
    const QByteArray whole = bytes();
    QByteArray encoded;
    iislog::encodeRecord(records[2], encoded);
    const qsizetype lastStart = whole.size() - encoded.size();
    for (qsizetype cut = lastStart; cut < whole.size(); ++cut) {
        setBytes(whole.left(cut));
        quint64 damaged = 0;
        const auto read = readAll(path(), 0, &damaged);
        EXPECT_EQ(read, records.mid(0, 2)) << "cut at " << cut;
        EXPECT_EQ(damaged, cut == lastStart ? 0u : 1u) << "cut at " << cut;
        // A reader of site 10000 that jumps over 10001's record meets the same cut.
        EXPECT_EQ(readAll(path(), 10000), records.mid(0, 1)) << "cut at " << cut;
    }
}

TEST_F(CentralBinaryLog, AWriterAfterACrashCutsTheTornRecordAwayAndAppends) {
    writeRecords({sample(10000, 1), sample(10001, 2)});
    const QByteArray whole = bytes();
    QByteArray second;
    iislog::encodeRecord(sample(10001, 2), second);
    for (qsizetype keep = 1; keep < second.size(); keep += 7) {
        setBytes(whole.left(whole.size() - second.size() + keep));
        writeRecords({sample(10002, 3)});
        quint64 damaged = 0;
        EXPECT_EQ(readAll(path(), 0, &damaged), (QVector<LogRecord>{sample(10000, 1), sample(10002, 3)}))
            << keep;
        EXPECT_EQ(damaged, 0u) << keep;
    }
}

TEST_F(CentralBinaryLog, AWriterRepairsATornTailBehindEarlierDamageAndLeavesTheRestAlone) {
    // A day of several megabytes with a record torn near its start (damage no writer repairs) and
    // one cut off at its end by a crash. The writer only looks at the tail: the cut-off record goes,
    // the early damage and every record after it stay.
    writeRecords({});
    QByteArray data = bytes();
    QByteArray a, b;
    iislog::encodeRecord(sample(10000, 1), a);
    iislog::encodeRecord(sample(10001, 2), b);
    data += a + b.left(40);
    QVector<LogRecord> expected{sample(10000, 1)};
    for (int n = 0; n < 20000; ++n) {
        expected.append(sample(10000 + static_cast<quint32>(n % 3), n + 10));
        iislog::encodeRecord(expected.last(), data);
    }
    ASSERT_GT(data.size(), 3 * 1024 * 1024);
    const qsizetype whole = data.size();
    QByteArray torn;
    iislog::encodeRecord(sample(10002, 99), torn);
    for (qsizetype keep : {1, 4, 9, 60}) {
        setBytes(data + torn.left(keep));
        writeRecords({sample(10002, 3)});
        QByteArray appended;
        iislog::encodeRecord(sample(10002, 3), appended);
        EXPECT_EQ(bytes(), data + appended) << keep;
        quint64 damaged = 0;
        EXPECT_EQ(readAll(path(), 0, &damaged), expected + QVector<LogRecord>{sample(10002, 3)}) << keep;
        EXPECT_EQ(damaged, 1u) << keep;
    }
    // Bytes at the end that are no record's beginning are damage, not a cut: they stay.
    const QByteArray garbage("not a record");
    setBytes(data + garbage);
    writeRecords({});
    EXPECT_EQ(bytes().size(), whole + garbage.size());
}

TEST_F(CentralBinaryLog, ATornRecordInsideTheFileIsPassedOverByEveryReader) {
    // Damage that no writer repaired: a record cut off with whole records after it.
    writeRecords({});
    const QByteArray data = bytes(); // the header
    QByteArray a, b, c;
    iislog::encodeRecord(sample(10000, 1), a);
    iislog::encodeRecord(sample(10001, 2), b);
    iislog::encodeRecord(sample(10000, 3), c);
    for (qsizetype keep : {1, 5, 11, 12, 30, 80}) {
        setBytes(data + a + b.left(keep) + c);
        quint64 damaged = 0;
        EXPECT_EQ(readAll(path(), 0, &damaged), (QVector<LogRecord>{sample(10000, 1), sample(10000, 3)}))
            << keep;
        EXPECT_GE(damaged, 1u);
        EXPECT_EQ(readAll(path(), 10000), (QVector<LogRecord>{sample(10000, 1), sample(10000, 3)})) << keep;
    }
    // A flipped byte inside a record of the wanted site: the checksum refuses it.
    QByteArray flipped = b;
    flipped[60] = static_cast<char>(flipped[60] ^ 0x20);
    setBytes(data + a + flipped + c);
    EXPECT_EQ(readAll(path(), 10001), QVector<LogRecord>{});
    EXPECT_EQ(readAll(path()), (QVector<LogRecord>{sample(10000, 1), sample(10000, 3)}));
}

TEST_F(CentralBinaryLog, ADamagedHeaderIsRefusedByReaderAndWriter) {
    writeRecords({sample(10000, 1)});
    const QByteArray whole = bytes();
    for (qsizetype at : {0, 7, 9, 12, 20, 29}) {
        QByteArray damaged = whole;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x01);
        setBytes(damaged);
        iislog::Reader reader;
        EXPECT_FALSE(reader.open(path())) << at;
        EXPECT_EQ(reader.openError(), iislog::Reader::OpenError::DamagedHeader) << at;
        EXPECT_FALSE(reader.errorString().isEmpty());
        iislog::Writer writer;
        EXPECT_FALSE(writer.open(path())) << at;
        EXPECT_EQ(bytes(), damaged) << "the writer leaves a damaged file alone";
    }
    setBytes(whole.left(20)); // a header cut off
    iislog::Reader reader;
    EXPECT_FALSE(reader.open(path()));
    EXPECT_EQ(reader.openError(), iislog::Reader::OpenError::DamagedHeader);
}

TEST_F(CentralBinaryLog, AnEmptyDayHasNoRecordsAndAMissingDayIsAnError) {
    iislog::Reader reader;
    EXPECT_FALSE(reader.open(path()));
    EXPECT_EQ(reader.openError(), iislog::Reader::OpenError::Missing);

    writeRecords({}); // a header only
    EXPECT_EQ(bytes().size(), 32);
    EXPECT_TRUE(readAll(path()).isEmpty());

    setBytes({}); // created, header never written
    EXPECT_TRUE(readAll(path()).isEmpty());
    writeRecords({sample(10000, 1)}); // a writer starts the file over
    EXPECT_EQ(readAll(path()), QVector<LogRecord>{sample(10000, 1)});
}

} // namespace

namespace {

quint32 crc32(const QByteArray& data) {
    return testing_support::bitwiseCrc(0xEDB88320u, data);
}

void putLe(QByteArray& out, quint64 value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.append(static_cast<char>(value >> (8 * i)));
}

// A reader of one site checks the records it passes over too: damage in another site's record
// is reported and hides none of the wanted site's records behind it.
TEST_F(CentralBinaryLog, DamageInAnotherSitesRecordIsReportedAndHidesNothing) {
    writeRecords({});
    const QByteArray header = bytes();
    QVector<QByteArray> encoded;
    QVector<LogRecord> mine;
    for (int n = 0; n < 560; ++n) {
        const quint32 site = n % 2 ? 20000 : 10000;
        QByteArray e;
        iislog::encodeRecord(sample(site, n), e);
        encoded.append(e);
        if (site == 10000)
            mine.append(sample(site, n));
    }
    const auto damagedAt = [&](qsizetype record, qsizetype byte, char mask) {
        QByteArray data = header;
        for (qsizetype i = 0; i < encoded.size(); ++i) {
            QByteArray e = encoded[i];
            if (i == record)
                e[byte] = static_cast<char>(e[byte] ^ mask);
            data += e;
        }
        return data;
    };
    const struct {
        const char* what;
        qsizetype byte;
        char mask;
    } damages[] = {
        {"a flipped bit in the site", 8, 0x01}, // 20000 would read as 20001, or 10000 as a stranger
        {"a wrong length", 5, 0x01},            // 256 bytes further than the record ends
        {"a flipped bit in a text", 70, 0x10},
    };
    for (const auto& d : damages) {
        SCOPED_TRACE(d.what);
        setBytes(damagedAt(101, d.byte, d.mask)); // a record of site 20000
        quint64 damaged = 0;
        EXPECT_EQ(readAll(path(), 10000, &damaged), mine);
        EXPECT_GE(damaged, 1u);
        // The site's own damaged record is reported the same way and is the only one missing.
        setBytes(damagedAt(100, d.byte, d.mask));
        EXPECT_EQ(readAll(path(), 10000, &damaged), mine.mid(0, 50) + mine.mid(51));
        EXPECT_GE(damaged, 1u);
    }
}

// Files written before CRC-32C came in are still read, and a writer appends to them in their own
// version.
TEST_F(CentralBinaryLog, VersionOneFilesAreReadAndAppendedToInTheirVersion) {
    QByteArray data("VLMRIBL\x1A", 8);
    putLe(data, 1, 2);  // version
    putLe(data, 32, 2); // header size
    putLe(data, 20240105, 4);
    putLe(data, 1704412800000, 8);
    putLe(data, 0, 4);
    putLe(data, crc32(data), 4);
    iislog::encodeRecord(sample(10000, 1), data, 1);
    iislog::encodeRecord(sample(10001, 2), data, 1);
    setBytes(data);
    writeRecords({sample(10000, 3)});

    iislog::Reader reader;
    ASSERT_TRUE(reader.open(path()));
    EXPECT_EQ(reader.header().version, 1);
    quint64 damaged = 0;
    EXPECT_EQ(readAll(path(), 0, &damaged),
              (QVector<LogRecord>{sample(10000, 1), sample(10001, 2), sample(10000, 3)}));
    EXPECT_EQ(damaged, 0u);
    QByteArray appended;
    iislog::encodeRecord(sample(10000, 3), appended, 1);
    EXPECT_TRUE(bytes().endsWith(appended));
}

// Markers that each claim the longest record: the search for the next sound record must not
// check each claim from scratch. A reader and a writer (which looks at the file's tail) both
// finish; ctest's timeout catches one that does not.
TEST_F(CentralBinaryLog, FalseMarkersClaimingTheLongestRecordAreSearchedQuickly) {
    writeRecords({sample(10000, 1)});
    QByteArray data = bytes();
    const quint32 longest = 52 + 11 * 2 + 4 + 11 * 65535;
    for (int i = 0; i < 200000; ++i) {
        data.append("\xFF\xFE\x52\x43", 4);
        putLe(data, longest, 4);
    }
    iislog::encodeRecord(sample(10000, 2), data);
    setBytes(data);
    quint64 damaged = 0;
    quint64 summed = 0;
    EXPECT_EQ(readAll(path(), 10000, &damaged, &summed),
              (QVector<LogRecord>{sample(10000, 1), sample(10000, 2)}));
    EXPECT_GE(damaged, 1u);
    EXPECT_LE(summed, 8u * static_cast<quint64>(data.size())) << "checksums over a few times the file";

    setBytes(data.left(data.size() - 100)); // the tail torn, behind the markers
    writeRecords({sample(10000, 3)});
    EXPECT_EQ(readAll(path(), 10000), (QVector<LogRecord>{sample(10000, 1), sample(10000, 3)}));
}

// A false marker claiming the longest record behind every sound record: each claim is checked
// against the search's window of checksums, not summed from scratch (which took seconds for a few
// megabytes), and every sound record is still read.
TEST_F(CentralBinaryLog, AFalseMarkerBehindEveryRecordCostsNoMoreThanItsBytes) {
    writeRecords({});
    QByteArray data = bytes();
    QVector<LogRecord> expected;
    for (int n = 0; n < 20000; ++n) {
        const LogRecord r = sample(10000 + static_cast<quint32>(n % 3), n);
        iislog::encodeRecord(r, data);
        if (r.siteId == 10001)
            expected.append(r);
        data.append("\xFF\xFE\x52\x43", 4);
        putLe(data, n % 2 ? 52 + 11 * 2 + 4 + 11 * 65535 : 5000 + n % 1000, 4);
    }
    setBytes(data);
    quint64 damaged = 0;
    quint64 summed = 0;
    EXPECT_EQ(readAll(path(), 10001, &damaged, &summed), expected);
    EXPECT_EQ(damaged, 20000u) << "each false marker is damage";
    EXPECT_LE(summed, 8u * static_cast<quint64>(data.size())) << "checksums over a few times the file";
}

// A named pipe or a device in the log's place is refused at once by reader and writer.
TEST_F(CentralBinaryLog, APipeOrADeviceIsNoLogFile) {
    const QString pipe = dir.filePath(u"ra240106.ibl"_s);
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    for (const QString& file : {pipe, u"/dev/zero"_s}) {
        iislog::Reader reader;
        EXPECT_FALSE(reader.open(file));
        EXPECT_EQ(reader.openError(), iislog::Reader::OpenError::NotAFile);
        iislog::Writer writer;
        EXPECT_FALSE(writer.open(file));
        EXPECT_TRUE(writer.notAFile());
    }
}

// On a full disk the writer says which records it could not write; those it wrote are whole.
TEST_F(CentralBinaryLog, AWriterOnAFullDiskCountsWhatItCouldNotWrite) {
    testing_support::SmallDisk disk(1);
    VELMORA_NEED_SMALL_DISK(disk);
    const QString file = disk.path() + u"/ra240105.ibl"_s;
    iislog::Writer writer;
    ASSERT_TRUE(writer.open(file, QDate(2024, 1, 5)));
    disk.fill(64 * 1024);
    const int appended = 20000;
    for (int n = 0; n < appended; ++n)
        writer.append(sample(10000, n));
    EXPECT_FALSE(writer.flush());
    EXPECT_TRUE(writer.errorString().contains(u"磁盘空间不足"_s)) << writer.errorString().toStdString();
    EXPECT_GT(writer.lostRecords(), 0u);
    quint64 damaged = 0;
    const auto read = readAll(file, 0, &damaged);
    EXPECT_EQ(damaged, 0u);
    EXPECT_EQ(static_cast<quint64>(read.size()), appended - writer.lostRecords());
    writer.close();
    disk.freeUp();
}

} // namespace
