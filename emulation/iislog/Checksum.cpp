#include "emulation/iislog/Checksum.h"

#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <nmmintrin.h>
#define VELMORA_CRC32C_SSE42 1
#endif

namespace iislog::format {

namespace {

constexpr quint32 IeeePoly = 0xEDB88320u;       // reflected
constexpr quint32 CastagnoliPoly = 0x82F63B78u; // reflected

// Eight tables of the byte-wise CRC, so that eight bytes are taken at a time.
constexpr std::array<std::array<quint32, 256>, 8> makeTables(quint32 poly) {
    std::array<std::array<quint32, 256>, 8> t{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? poly ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}
constexpr auto IeeeTables = makeTables(IeeePoly);
constexpr auto CastagnoliTables = makeTables(CastagnoliPoly);

// The CRC register (before and after its final inversion) advanced over bytes by table.
quint32 advanceByTable(const std::array<std::array<quint32, 256>, 8>& t, quint32 c, const char* data,
                       qsizetype size) {
    while (size >= 8) {
        const quint32 lo = qFromLittleEndian<quint32>(data) ^ c;
        const quint32 hi = qFromLittleEndian<quint32>(data + 4);
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        data += 8;
        size -= 8;
    }
    for (qsizetype i = 0; i < size; ++i)
        c = t[0][(c ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (c >> 8);
    return c;
}

#ifdef VELMORA_CRC32C_SSE42
// The last bytes (fewer than eight) of a stretch, in three steps at most.
__attribute__((target("sse4.2"))) inline quint32 tailBySse42(quint32 c, const char* data, qsizetype size) {
    if (size & 4) {
        quint32 v;
        std::memcpy(&v, data, 4);
        c = _mm_crc32_u32(c, v);
        data += 4;
    }
    if (size & 2) {
        quint16 v;
        std::memcpy(&v, data, 2);
        c = _mm_crc32_u16(c, v);
        data += 2;
    }
    if (size & 1)
        c = _mm_crc32_u8(c, static_cast<unsigned char>(*data));
    return c;
}

__attribute__((target("sse4.2"))) quint32 advanceBySse42(quint32 c, const char* data, qsizetype size) {
    quint64 wide = c;
    while (size >= 8) {
        quint64 v;
        std::memcpy(&v, data, 8);
        wide = _mm_crc32_u64(wide, v);
        data += 8;
        size -= 8;
    }
    return tailBySse42(static_cast<quint32>(wide), data, size);
}

// The CRC of every prefix of data: prefix[i + 1] for bytes [0, i].
__attribute__((target("sse4.2"))) void prefixesBySse42(const char* data, qsizetype size, quint32* prefix) {
    quint32 c = 0xFFFFFFFFu;
    for (qsizetype i = 0; i < size; ++i) {
        c = _mm_crc32_u8(c, static_cast<unsigned char>(data[i]));
        prefix[i + 1] = c ^ 0xFFFFFFFFu;
    }
}

// The register of a CRC-32C started at all ones and run over n zero bytes, for n up to LongestZeros:
// a stretch summed from a register of zero is then corrected to the start at all ones at the end.
constexpr qsizetype LongestZeros = 4096;

struct ZeroRuns {
    std::array<quint32, LongestZeros + 1> after{};
    __attribute__((target("sse4.2"))) ZeroRuns() {
        quint32 c = 0xFFFFFFFFu;
        for (qsizetype n = 0; n <= LongestZeros; ++n) {
            after[static_cast<std::size_t>(n)] = c;
            c = _mm_crc32_u8(c, 0);
        }
    }
};

inline quint64 load64(const char* p) {
    quint64 v;
    std::memcpy(&v, p, 8);
    return v;
}

// Four stretches of 8 to LongestZeros bytes side by side: the processor takes a step of each chain
// every cycle, where a single chain waits three cycles for its last step. A register of zero stays
// zero over zero bytes, so each stretch is summed from zero as if led by zeros: every chain runs
// the same number of steps, the shorter ones first over zeros, and no chain waits at its end. A
// stretch's first n mod 8 bytes make its first word, at the word's top; the register's start at all
// ones is added at the end (the CRC is linear).
__attribute__((target("sse4.2"))) void fourBySse42(const char* const* data, const qsizetype* sizes,
                                                   quint32* out) {
    static const ZeroRuns zeros;
    constexpr int N = 4;
    qsizetype first[N];     // the step of each chain's first word
    quint64 front[N][2];    // what a chain takes before its words: zero, then its first word
    std::uintptr_t base[N]; // base[i] + 8 * step: the chain's word at a later step
    qsizetype steps = 0;
    qsizetype fewest = std::numeric_limits<qsizetype>::max();
    for (int i = 0; i < N; ++i) {
        const qsizetype words = (sizes[i] >> 3) + 1;
        steps = std::max(steps, words);
        fewest = std::min(fewest, words);
    }
    for (int i = 0; i < N; ++i) {
        const qsizetype lead = sizes[i] & 7;
        first[i] = steps - ((sizes[i] >> 3) + 1);
        front[i][0] = 0;
        front[i][1] = (load64(data[i]) << (56 - 8 * lead)) << 8;
        base[i] = reinterpret_cast<std::uintptr_t>(data[i]) + static_cast<std::uintptr_t>(lead) - 8 -
                  8 * static_cast<std::uintptr_t>(first[i]);
    }
    quint64 c0 = 0, c1 = 0, c2 = 0, c3 = 0;
    // Until every chain has taken its first word: zeros, the first word, or the stretch's words,
    // chosen without a branch.
    const qsizetype leading = steps - fewest + 1;
    qsizetype j = 0;
    const auto word = [&](int i) {
        const std::uintptr_t inside = std::uintptr_t(0) - static_cast<std::uintptr_t>(j > first[i]);
        const std::uintptr_t before = reinterpret_cast<std::uintptr_t>(&front[i][j == first[i]]);
        return load64(reinterpret_cast<const char*>(
            ((base[i] + 8 * static_cast<std::uintptr_t>(j)) & inside) | (before & ~inside)));
    };
    for (; j < leading; ++j) {
        c0 = _mm_crc32_u64(c0, word(0));
        c1 = _mm_crc32_u64(c1, word(1));
        c2 = _mm_crc32_u64(c2, word(2));
        c3 = _mm_crc32_u64(c3, word(3));
    }
    const char* p0 = reinterpret_cast<const char*>(base[0]);
    const char* p1 = reinterpret_cast<const char*>(base[1]);
    const char* p2 = reinterpret_cast<const char*>(base[2]);
    const char* p3 = reinterpret_cast<const char*>(base[3]);
    for (; j < steps; ++j) {
        c0 = _mm_crc32_u64(c0, load64(p0 + 8 * j));
        c1 = _mm_crc32_u64(c1, load64(p1 + 8 * j));
        c2 = _mm_crc32_u64(c2, load64(p2 + 8 * j));
        c3 = _mm_crc32_u64(c3, load64(p3 + 8 * j));
    }
    const auto finish = [&](quint64 c, int i) {
        return static_cast<quint32>(c) ^ zeros.after[static_cast<std::size_t>(sizes[i])] ^ 0xFFFFFFFFu;
    };
    out[0] = finish(c0, 0);
    out[1] = finish(c1, 1);
    out[2] = finish(c2, 2);
    out[3] = finish(c3, 3);
}

__attribute__((target("sse4.2"))) void crcsBySse42(const char* const* data, const qsizetype* sizes, int count,
                                                   quint32* out) {
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        const qsizetype* four = sizes + i;
        if (std::min(std::min(four[0], four[1]), std::min(four[2], four[3])) >= 8 &&
            std::max(std::max(four[0], four[1]), std::max(four[2], four[3])) <= LongestZeros) {
            fourBySse42(data + i, four, out + i);
            continue;
        }
        for (int k = 0; k < 4; ++k)
            out[i + k] = advanceBySse42(0xFFFFFFFFu, data[i + k], four[k]) ^ 0xFFFFFFFFu;
    }
    for (; i < count; ++i)
        out[i] = advanceBySse42(0xFFFFFFFFu, data[i], sizes[i]) ^ 0xFFFFFFFFu;
}

bool hasSse42() {
    static const bool has = __builtin_cpu_supports("sse4.2");
    return has;
}
#endif

quint32 advance(Crc kind, quint32 c, const char* data, qsizetype size) {
    if (kind == Crc::Ieee)
        return advanceByTable(IeeeTables, c, data, size);
#ifdef VELMORA_CRC32C_SSE42
    if (hasSse42())
        return advanceBySse42(c, data, size);
#endif
    return advanceByTable(CastagnoliTables, c, data, size);
}

// a times b modulo the polynomial, both reflected (the highest bit stands for x^0).
quint32 multiply(quint32 a, quint32 b, quint32 poly) {
    quint32 product = 0;
    for (quint32 m = 1u << 31; m != 0; m >>= 1) {
        if (a & m)
            product ^= b;
        b = (b & 1) ? (b >> 1) ^ poly : b >> 1;
    }
    return product;
}

} // namespace

void crcs(Crc kind, const char* const* data, const qsizetype* sizes, int count, quint32* out) {
#ifdef VELMORA_CRC32C_SSE42
    if (kind == Crc::Castagnoli && hasSse42()) {
        crcsBySse42(data, sizes, count, out);
        return;
    }
#endif
    for (int i = 0; i < count; ++i)
        out[i] = crc(kind, data[i], sizes[i]);
}

Crc crcOfVersion(quint16 version) {
    return version <= 1 ? Crc::Ieee : Crc::Castagnoli;
}

quint32 crc(Crc kind, const char* data, qsizetype size) {
    return advance(kind, 0xFFFFFFFFu, data, size) ^ 0xFFFFFFFFu;
}

StretchChecksums::StretchChecksums(Crc kind)
    : m_kind(kind), m_poly(kind == Crc::Ieee ? IeeePoly : CastagnoliPoly) {
    quint32 p = 1u << 30; // x^1
    for (quint32& power : m_powers) {
        power = p;
        p = multiply(p, p, m_poly);
    }
}

void StretchChecksums::build(const char* data, qsizetype size) {
    m_prefix.resize(static_cast<std::size_t>(size) + 1);
    m_prefix[0] = 0;
#ifdef VELMORA_CRC32C_SSE42
    if (m_kind == Crc::Castagnoli && hasSse42()) {
        prefixesBySse42(data, size, m_prefix.data());
        return;
    }
#endif
    const auto& t = m_kind == Crc::Ieee ? IeeeTables[0] : CastagnoliTables[0];
    quint32 c = 0xFFFFFFFFu;
    for (qsizetype i = 0; i < size; ++i) {
        c = t[(c ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (c >> 8);
        m_prefix[static_cast<std::size_t>(i) + 1] = c ^ 0xFFFFFFFFu;
    }
}

quint32 StretchChecksums::of(qsizetype from, qsizetype to) const {
    // crc(A B) = crc(A) * x^(8 |B|) + crc(B): the checksum of B is what the prefix up to its end
    // holds beyond the prefix up to its start, moved on by B's length.
    quint32 shift = 1u << 31; // x^0
    quint64 bits = static_cast<quint64>(to - from) * 8;
    for (std::size_t k = 0; bits != 0; ++k, bits >>= 1)
        if (bits & 1)
            shift = multiply(m_powers[k], shift, m_poly);
    return m_prefix[static_cast<std::size_t>(to)] ^
           multiply(shift, m_prefix[static_cast<std::size_t>(from)], m_poly);
}

} // namespace iislog::format
