#include "emulation/iislog/Checksum.h"

#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <nmmintrin.h>
#include <wmmintrin.h>
#define VELMORA_CRC32C_SSE42 1
#endif

namespace iislog::format {

namespace {

constexpr quint32 IeeePoly = 0xEDB88320u;       // reflected
constexpr quint32 CastagnoliPoly = 0x82F63B78u; // reflected

quint32 multiply(quint32 a, quint32 b, quint32 poly);

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
    // The one table, made on first use.
    static const ZeroRuns& table() {
        static const ZeroRuns zeros;
        return zeros;
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
    const ZeroRuns& zeros = ZeroRuns::table();
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

bool hasCarrylessMultiply() {
    static const bool has = __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("pclmul");
    return has;
}

// v times x^(8 m) modulo the polynomial: the register moved on over m zero bytes (5 <= m <=
// LongestZeros), by one carry-less multiplication and one CRC step. The CRC step takes a 64-bit
// product p to p x^32 and the product of two reflected values carries an extra x, so the factor
// kept for m is x^(8 m - 33).
struct ZeroShifts {
    std::array<quint32, LongestZeros + 1> factor{};
    ZeroShifts() {
        quint32 p = 1u << 31; // x^0
        for (int k = 0; k < 7; ++k)
            p = multiply(p, 1u << 30, CastagnoliPoly); // x^7 = x^(8 * 5 - 33)
        for (qsizetype m = 5; m <= LongestZeros; ++m) {
            factor[static_cast<std::size_t>(m)] = p;
            p = multiply(p, 1u << 23, CastagnoliPoly); // times x^8
        }
    }
};

__attribute__((target("sse4.2,pclmul"))) inline quint32 shiftOver(const ZeroShifts& shifts, quint32 v,
                                                                  qsizetype m) {
    const __m128i product = _mm_clmulepi64_si128(
        _mm_cvtsi32_si128(static_cast<int>(v)),
        _mm_cvtsi32_si128(static_cast<int>(shifts.factor[static_cast<std::size_t>(m)])), 0);
    return static_cast<quint32>(_mm_crc32_u64(0, static_cast<quint64>(_mm_cvtsi128_si64(product))));
}

// The first `keep` bytes (0 to 7) of a word at its top, zeros below: a register of zero stays zero
// over the zeros, so the word sums just those bytes.
inline quint64 atTop(quint64 word, qsizetype keep) {
    return (word << (8 * (8 - keep) - 1)) << 1;
}

// The CRC-32C of records lying one behind the other, each stretch 8 bytes after the one before
// (checksum, marker, length), from one pass over all their bytes: four chains over four quarters
// of the bytes keep the register at every 8-byte word, and each stretch's CRC follows from the
// registers at the first and last whole words inside it, its first and last bytes summed alone
// and the distance between them (the CRC is linear: crc(A B) = crc(A) x^(8 |B|) + crc(B)). Nothing
// here waits on the lengths of the records, which no processor can foresee.
__attribute__((target("sse4.2,pclmul"))) void recordsBySse42(const char* const* data, const qsizetype* sizes,
                                                             int count, quint32* out) {
    const ZeroRuns& zeros = ZeroRuns::table();
    static const ZeroShifts shifts;
    thread_local std::vector<quint32> registers;
    const char* base = data[0] - 4; // the first record's marker
    const qsizetype words = (data[count - 1] + sizes[count - 1] - base) / 8;
    if (static_cast<qsizetype>(registers.size()) < words + 1)
        registers.resize(static_cast<std::size_t>(words + 1));
    quint32* r = registers.data(); // r[w]: the register before word w, from the start of w's quarter
    const qsizetype quarter = words / 4;
    {
        quint64 c0 = 0, c1 = 0, c2 = 0, c3 = 0;
        const char* p0 = base;
        const char* p1 = base + 8 * quarter;
        const char* p2 = base + 16 * quarter;
        const char* p3 = base + 24 * quarter;
        quint32* r0 = r;
        quint32* r1 = r + quarter;
        quint32* r2 = r + 2 * quarter;
        quint32* r3 = r + 3 * quarter;
        for (qsizetype i = 0; i < quarter; ++i) {
            r0[i] = static_cast<quint32>(c0);
            r1[i] = static_cast<quint32>(c1);
            r2[i] = static_cast<quint32>(c2);
            r3[i] = static_cast<quint32>(c3);
            c0 = _mm_crc32_u64(c0, load64(p0 + 8 * i));
            c1 = _mm_crc32_u64(c1, load64(p1 + 8 * i));
            c2 = _mm_crc32_u64(c2, load64(p2 + 8 * i));
            c3 = _mm_crc32_u64(c3, load64(p3 + 8 * i));
        }
        for (qsizetype w = 4 * quarter; w < words; ++w) {
            r[w] = static_cast<quint32>(c3);
            c3 = _mm_crc32_u64(c3, load64(base + 8 * w));
        }
    }
    const auto quarterOf = [quarter](qsizetype w) {
        return static_cast<int>(w >= quarter) + static_cast<int>(w >= 2 * quarter) +
               static_cast<int>(w >= 3 * quarter);
    };
    for (int i = 0; i < count; ++i) {
        const char* s = data[i];
        const qsizetype n = sizes[i];
        const qsizetype from = s - base;
        const qsizetype to = from + n;
        const qsizetype first = (from + 15) / 8; // the first whole word at least 8 bytes in
        const qsizetype last = (to - 8) / 8;     // the last word starting at least 8 bytes before the end
        const qsizetype head = 8 * first - from; // 8 to 15 bytes before the first word
        const qsizetype tail = to - 8 * last;    // 8 to 15 bytes from the last word on
        if (n < 32 || n > LongestZeros || quarterOf(first) != quarterOf(last)) {
            out[i] = advanceBySse42(0xFFFFFFFFu, s, n) ^ 0xFFFFFFFFu;
            continue;
        }
        const quint32 headSum = static_cast<quint32>(
            _mm_crc32_u64(_mm_crc32_u64(0, atTop(load64(s), head - 8)), load64(s + head - 8)));
        const quint32 tailSum = static_cast<quint32>(
            _mm_crc32_u64(_mm_crc32_u64(0, atTop(load64(base + 8 * last), tail - 8)), load64(s + n - 8)));
        // crc(s..end) from zero: the head and the words before `first` moved on to the end, the
        // words up to `last` moved on over the tail, and the tail.
        const quint32 fromZero = shiftOver(shifts, headSum ^ r[first], to - 8 * first) ^
                                 shiftOver(shifts, r[last], tail) ^ tailSum;
        out[i] = fromZero ^ zeros.after[static_cast<std::size_t>(n)] ^ 0xFFFFFFFFu;
    }
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

void recordCrcs(Crc kind, const char* const* data, const qsizetype* sizes, int count, quint32* out) {
#ifdef VELMORA_CRC32C_SSE42
    if (kind == Crc::Castagnoli && count >= 8 && hasCarrylessMultiply()) {
        recordsBySse42(data, sizes, count, out);
        return;
    }
#endif
    crcs(kind, data, sizes, count, out);
}

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
