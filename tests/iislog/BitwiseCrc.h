#pragma once

// A CRC bit by bit, to make checksums of the binary log by hand: CRC-32 (0xEDB88320) for files of
// version 1, CRC-32C (0x82F63B78) for records changed by hand.

#include <QByteArray>

namespace testing_support {

inline quint32 bitwiseCrc(quint32 reflectedPoly, const QByteArray& data) {
    quint32 c = 0xFFFFFFFFu;
    for (char byte : data) {
        c ^= static_cast<unsigned char>(byte);
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? reflectedPoly ^ (c >> 1) : c >> 1;
    }
    return c ^ 0xFFFFFFFFu;
}

} // namespace testing_support
