// The log's checksums summed several stretches at a time (one chain each, side by side) give what
// the CRC taken bit by bit gives for each stretch, whatever the stretches' lengths and alignments.

#include "emulation/iislog/Checksum.h"
#include "tests/iislog/BitwiseCrc.h"

#include <QByteArray>
#include <QRandomGenerator>

#include <vector>

#include <gtest/gtest.h>

using iislog::format::Crc;

namespace {

constexpr quint32 CastagnoliPoly = 0x82F63B78u;
constexpr quint32 IeeePoly = 0xEDB88320u;
constexpr int MaxCount = 40; // several times the chains the processor runs side by side

QByteArray randomBytes(QRandomGenerator& random, qsizetype size) {
    QByteArray buffer(size, Qt::Uninitialized);
    for (char& byte : buffer)
        byte = static_cast<char>(random.bounded(256));
    return buffer;
}

} // namespace

TEST(LogChecksums, SeveralStretchesAtOnceAreEachTheirOwnCrc) {
    QRandomGenerator random(20260315);
    const QByteArray buffer = randomBytes(random, 16 * 1024);
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        const int count = random.bounded(1, MaxCount + 1);
        const char* data[MaxCount];
        qsizetype sizes[MaxCount];
        for (int i = 0; i < count; ++i) {
            // Empty, shorter than a step, or long; at any alignment; one much longer than the rest.
            const int length = random.bounded(4) == 0   ? random.bounded(9)
                               : random.bounded(8) == 0 ? random.bounded(6000)
                                                        : random.bounded(200, 330);
            data[i] = buffer.constData() + random.bounded(static_cast<int>(buffer.size()) - length + 1);
            sizes[i] = length;
        }
        for (const auto& [kind, poly] :
             {std::pair{Crc::Castagnoli, CastagnoliPoly}, std::pair{Crc::Ieee, IeeePoly}}) {
            quint32 out[MaxCount + 1];
            out[count] = 0xDEADBEEFu;
            iislog::format::crcs(kind, data, sizes, count, out);
            for (int i = 0; i < count; ++i)
                ASSERT_EQ(out[i],
                          testing_support::bitwiseCrc(poly, QByteArray::fromRawData(data[i], sizes[i])))
                    << "stretch " << i << " of " << count << ", " << sizes[i] << " bytes";
            EXPECT_EQ(out[count], 0xDEADBEEFu) << "nothing is written past the last stretch";
            EXPECT_EQ(out[0], iislog::format::crc(kind, data[0], sizes[0]));
        }
    }
}

// Records lying one behind the other, as a reader checks them a buffer at a time: each stretch's
// CRC, whatever the records' lengths, wherever the buffer starts, also of short and long records
// and of the records around where one chain of the processor hands over to the next.
TEST(LogChecksums, RecordsOneBehindTheOtherAreEachTheirOwnCrc) {
    QRandomGenerator random(20261207);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        const int count = random.bounded(1, 300);
        QByteArray buffer = randomBytes(random, random.bounded(0, 8));
        std::vector<qsizetype> offsets;
        std::vector<qsizetype> sizes;
        for (int i = 0; i < count; ++i) {
            const qsizetype length = random.bounded(16) == 0   ? random.bounded(8, 80)
                                     : random.bounded(64) == 0 ? random.bounded(3000, 6000)
                                                               : random.bounded(70, 400);
            buffer += randomBytes(random, 4); // marker and length, of no matter here
            offsets.push_back(buffer.size());
            sizes.push_back(length);
            buffer += randomBytes(random, length + 4); // the stretch and its checksum
        }
        std::vector<const char*> data;
        for (const qsizetype offset : offsets)
            data.push_back(buffer.constData() + offset);
        for (const auto& [kind, poly] :
             {std::pair{Crc::Castagnoli, CastagnoliPoly}, std::pair{Crc::Ieee, IeeePoly}}) {
            std::vector<quint32> out(static_cast<std::size_t>(count) + 1, 0xDEADBEEFu);
            iislog::format::recordCrcs(kind, data.data(), sizes.data(), count, out.data());
            for (int i = 0; i < count; ++i)
                ASSERT_EQ(out[static_cast<std::size_t>(i)],
                          testing_support::bitwiseCrc(
                              poly, QByteArray::fromRawData(data[static_cast<std::size_t>(i)],
                                                            sizes[static_cast<std::size_t>(i)])))
                    << "record " << i << " of " << count << ", " << sizes[static_cast<std::size_t>(i)]
                    << " bytes";
            EXPECT_EQ(out[static_cast<std::size_t>(count)], 0xDEADBEEFu)
                << "nothing is written past the last";
        }
    }
}
