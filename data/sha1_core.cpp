#include "data/sha1_core.h"

#include <cpuid.h>
#include <immintrin.h>

#include <cstddef>
#include <cstring>
#include <utility>

namespace ka::sha1 {
namespace {

constexpr uint32_t kInitial[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};

inline uint32_t Rotate(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t LoadBigEndian(const unsigned char* p) {
    uint32_t word;
    std::memcpy(&word, p, sizeof word);
    return __builtin_bswap32(word);
}

inline void StoreBigEndian64(unsigned char* p, uint64_t value) {
    value = __builtin_bswap64(value);
    std::memcpy(p, &value, sizeof value);
}

// One stretch of 20 rounds with its round function and constant.
template <typename F>
inline void Stretch(int first, uint32_t (&w)[16], uint32_t& a, uint32_t& b, uint32_t& c,
                    uint32_t& d, uint32_t& e, uint32_t k, F f) {
    for (int t = first; t < first + 20; ++t) {
        if (t >= 16) {
            w[t & 15] = Rotate(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ w[t & 15], 1);
        }
        uint32_t next = Rotate(a, 5) + f(b, c, d) + e + k + w[t & 15];
        e = d;
        d = c;
        c = Rotate(b, 30);
        b = a;
        a = next;
    }
}

// --------------------------------------------------------- SHA extensions
// Four rounds per sha1rnds4. Group i (0..19) runs rounds 4i..4i+3 with the
// message words in m[i % 4] and, on the side, prepares the words of later
// groups: sha1msg1 three groups ahead, the xor two ahead, sha1msg2 one ahead.
// The E value alternates between two registers.

#define KA_SHA_TARGET __attribute__((target("sha,sse4.1"), always_inline))

template <int i>
KA_SHA_TARGET inline void Group(__m128i& abcd, __m128i& e0, __m128i& e1, __m128i (&m)[4]) {
    __m128i& input = (i % 2 == 0) ? e0 : e1;
    __m128i& saved = (i % 2 == 0) ? e1 : e0;
    if constexpr (i == 0) {
        input = _mm_add_epi32(input, m[0]);
    } else {
        input = _mm_sha1nexte_epu32(input, m[i % 4]);
    }
    saved = abcd;
    if constexpr (i >= 3 && i <= 18) m[(i + 1) % 4] = _mm_sha1msg2_epu32(m[(i + 1) % 4], m[i % 4]);
    abcd = _mm_sha1rnds4_epu32(abcd, input, i / 5);
    if constexpr (i >= 1 && i <= 16) m[(i + 3) % 4] = _mm_sha1msg1_epu32(m[(i + 3) % 4], m[i % 4]);
    if constexpr (i >= 2 && i <= 17) m[(i + 2) % 4] = _mm_xor_si128(m[(i + 2) % 4], m[i % 4]);
}

template <int... I>
KA_SHA_TARGET inline void Groups(__m128i& abcd, __m128i& e0, __m128i& e1, __m128i (&m)[4],
                                 std::integer_sequence<int, I...>) {
    (Group<I>(abcd, e0, e1, m), ...);
}

}  // namespace

__attribute__((target("sha,sse4.1"))) void CompressShaExtensions(uint32_t state[5],
                                                                 const unsigned char* data,
                                                                 size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    // The registers hold A..D with A in the top lane, and E in the top lane.
    __m128i abcd =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
    for (; blocks > 0; --blocks, data += kBlockSize) {
        const __m128i abcdBefore = abcd;
        const __m128i eBefore = e0;
        __m128i m[4];
        for (ptrdiff_t j = 0; j < 4; ++j) {
            m[j] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * j)), byteSwap);
        }
        __m128i e1;
        Groups(abcd, e0, e1, m, std::make_integer_sequence<int, 20>());
        // Group 19 saved A..D of round 76 in e0: E of round 80 comes from it.
        e0 = _mm_sha1nexte_epu32(e0, eBefore);
        abcd = _mm_add_epi32(abcd, abcdBefore);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

void CompressPortable(uint32_t state[5], const unsigned char* data, size_t blocks) {
    for (; blocks > 0; --blocks, data += kBlockSize) {
        uint32_t w[16];
        for (ptrdiff_t t = 0; t < 16; ++t) w[t] = LoadBigEndian(data + 4 * t);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
        Stretch(0, w, a, b, c, d, e, 0x5A827999u,
                [](uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); });
        Stretch(20, w, a, b, c, d, e, 0x6ED9EBA1u,
                [](uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; });
        Stretch(40, w, a, b, c, d, e, 0x8F1BBCDCu,
                [](uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (z & (x | y)); });
        Stretch(60, w, a, b, c, d, e, 0xCA62C1D6u,
                [](uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; });
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
    }
}

bool HasShaExtensions() {
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    bool shuffles = (ecx & bit_SSSE3) && (ecx & bit_SSE4_1);
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return shuffles && (ebx & bit_SHA);
}

Compressor BestCompressor() {
    return HasShaExtensions() ? &CompressShaExtensions : &CompressPortable;
}

Hasher::Hasher(Compressor compress) : compress_(compress) {
    std::memcpy(state_, kInitial, sizeof state_);
}

void Hasher::Update(const void* data, size_t count) {
    auto* bytes = static_cast<const unsigned char*>(data);
    total_ += count;
    if (pendingCount_ > 0) {
        size_t take = kBlockSize - pendingCount_;
        if (take > count) take = count;
        std::memcpy(pending_ + pendingCount_, bytes, take);
        pendingCount_ += take;
        bytes += take;
        count -= take;
        if (pendingCount_ < kBlockSize) return;
        compress_(state_, pending_, 1);
        pendingCount_ = 0;
    }
    size_t blocks = count / kBlockSize;
    if (blocks > 0) compress_(state_, bytes, blocks);
    bytes += blocks * kBlockSize;
    count -= blocks * kBlockSize;
    if (count > 0) std::memcpy(pending_, bytes, count);
    pendingCount_ = count;
}

void Hasher::Finish(uint32_t digest[5]) {
    // 0x80, zeros, and the length in bits in the last 8 bytes: a second
    // block when fewer than 9 bytes of this one remain.
    unsigned char tail[2 * kBlockSize] = {};
    std::memcpy(tail, pending_, pendingCount_);
    tail[pendingCount_] = 0x80;
    size_t blocks = pendingCount_ + 9 <= kBlockSize ? 1 : 2;
    StoreBigEndian64(tail + blocks * kBlockSize - 8, total_ * 8);
    compress_(state_, tail, blocks);
    std::memcpy(digest, state_, sizeof state_);
}

void Digest(Compressor compress, const void* data, size_t count, uint32_t digest[5]) {
    Hasher hasher(compress);
    if (count > 0) hasher.Update(data, count);
    hasher.Finish(digest);
}

void ToText(const uint32_t digest[5], char text[kTextSize]) {
    static const char kDigits[] = "0123456789abcdef";
    for (int word = 0; word < 5; ++word) {
        for (int nibble = 0; nibble < 8; ++nibble) {
            text[8 * word + nibble] = kDigits[(digest[word] >> (28 - 4 * nibble)) & 0xF];
        }
    }
    text[40] = '\0';
}

}  // namespace ka::sha1
