#include "core/sha256.h"

#include <QCryptographicHash>
#include <QtEndian>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define QUARRYSTONE_SHA_INSTRUCTIONS 1
#endif

namespace Sha256 {

#ifdef QUARRYSTONE_SHA_INSTRUCTIONS

namespace {

// The first 32 bits of the fractional parts of the cube roots of the first
// 64 primes: one constant a round.
alignas(16) constexpr quint32 roundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// The first 32 bits of the fractional parts of the square roots of the
// first 8 primes: the state before any block, a to h.
constexpr quint32 initialState[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

// Runs `blocks` 64-byte blocks through the state (a to h). The round
// instruction keeps the eight words in two registers, a b e f in one and
// c d g h in the other (first word in the highest lane), does two rounds a
// call and gives the new a b e f; the words it displaced are the next
// c d g h, so the two registers trade roles every two rounds and are back
// in place after four. The message words are loaded four at a time into
// lanes in their own order (W[t] in the lowest lane), and each later four
// are made from the four fours before them.
__attribute__((target("sha,sse4.1"))) void compress(quint32 state[8], const uchar *data, qsizetype blocks)
{
    // Message words are big-endian: each lane's four bytes are reversed.
    const __m128i bigEndian = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    __m128i abef = _mm_set_epi32(int(state[0]), int(state[1]), int(state[4]), int(state[5]));
    __m128i cdgh = _mm_set_epi32(int(state[2]), int(state[3]), int(state[6]), int(state[7]));
    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abefBefore = abef;
        const __m128i cdghBefore = cdgh;
        // words[q % 4] holds W[4q .. 4q+3] once made: the four of the
        // current rounds, and before they are made, the four of 16 rounds
        // back, which the new ones are made from and replace.
        __m128i words[4];
        for (int i = 0; i < 4; ++i)
            words[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * i)), bigEndian);
#pragma GCC unroll 16
        for (int quad = 0; quad < 16; ++quad) {
            __m128i &current = words[quad & 3];
            if (quad >= 4) {
                // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16]: the
                // first instruction adds s0 of the next word to each of
                // W[t-16 .. t-13], W[t-7 .. t-4] is the four before last
                // shifted by one word, and the second instruction adds s1
                // of the words two back, the last two of the four before.
                const __m128i previous = words[(quad + 3) & 3];
                const __m128i sevenBack = _mm_alignr_epi8(previous, words[(quad + 2) & 3], 4);
                const __m128i partial = _mm_add_epi32(_mm_sha256msg1_epu32(current, words[(quad + 1) & 3]), sevenBack);
                current = _mm_sha256msg2_epu32(partial, previous);
            }
            __m128i withConstants = _mm_add_epi32(
                current, _mm_load_si128(reinterpret_cast<const __m128i *>(roundConstants + 4 * quad)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, withConstants);
            withConstants = _mm_shuffle_epi32(withConstants, 0x0e);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, withConstants);
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }
    state[0] = quint32(_mm_extract_epi32(abef, 3));
    state[1] = quint32(_mm_extract_epi32(abef, 2));
    state[4] = quint32(_mm_extract_epi32(abef, 1));
    state[5] = quint32(_mm_extract_epi32(abef, 0));
    state[2] = quint32(_mm_extract_epi32(cdgh, 3));
    state[3] = quint32(_mm_extract_epi32(cdgh, 2));
    state[6] = quint32(_mm_extract_epi32(cdgh, 1));
    state[7] = quint32(_mm_extract_epi32(cdgh, 0));
}

QByteArray hashInHardware(QByteArrayView bytes)
{
    quint32 state[8];
    std::memcpy(state, initialState, sizeof state);
    const auto *data = reinterpret_cast<const uchar *>(bytes.data());
    const qsizetype whole = bytes.size() / 64;
    compress(state, data, whole);

    // The last bytes, a one bit, zeros and the message's length in bits
    // (big-endian, 64 bits) to the end of one block, or of two when the
    // length does not fit after them.
    const qsizetype left = bytes.size() - whole * 64;
    uchar tail[128] = {};
    if (left > 0)
        std::memcpy(tail, data + whole * 64, size_t(left));
    tail[left] = 0x80;
    const qsizetype tailBlocks = left < 56 ? 1 : 2;
    qToBigEndian(quint64(bytes.size()) * 8, tail + tailBlocks * 64 - 8);
    compress(state, tail, tailBlocks);

    QByteArray digest(32, Qt::Uninitialized);
    for (int i = 0; i < 8; ++i)
        qToBigEndian(state[i], digest.data() + 4 * i);
    return digest;
}

} // namespace

bool accelerated()
{
    // Asked of the processor itself: not every compiler's
    // __builtin_cpu_supports knows the SHA extensions by name.
    static const bool has = [] {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_SSE4_1))
            return false;
        return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & (1u << 29)) != 0;
    }();
    return has;
}

QByteArray hash(QByteArrayView bytes)
{
    if (accelerated())
        return hashInHardware(bytes);
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

#else

bool accelerated()
{
    return false;
}

QByteArray hash(QByteArrayView bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

#endif

} // namespace Sha256
