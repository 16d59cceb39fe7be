// SHA-1 (FIPS 180-4) without any operating-system dependency: two block
// compressors (the processor's SHA extensions, and portable C++ for the
// processors without them), the message completion, and the digest text.
// Kept free of <windows.h> so it can be compiled natively (fuzzing, tests).
#ifndef KA_DATA_SHA1_CORE_H
#define KA_DATA_SHA1_CORE_H

#include <cstddef>
#include <cstdint>

namespace ka::sha1 {

constexpr size_t kBlockSize = 64;
constexpr size_t kTextSize = 41;  // 40 hexadecimal digits and a terminator

// Runs `blocks` 64-byte blocks through the compression function, updating
// the five chaining words in place.
using Compressor = void (*)(uint32_t state[5], const unsigned char* data, size_t blocks);

void CompressPortable(uint32_t state[5], const unsigned char* data, size_t blocks);
// Only on a processor for which HasShaExtensions() is true.
void CompressShaExtensions(uint32_t state[5], const unsigned char* data, size_t blocks);

// CPUID: the SHA extensions and the SSSE3 / SSE4.1 shuffles they are used with.
bool HasShaExtensions();
// The fastest compressor this processor runs.
Compressor BestCompressor();

// A message fed in pieces of any size.
class Hasher {
public:
    explicit Hasher(Compressor compress);
    void Update(const void* data, size_t count);
    // Completes the message (0x80, zeros, the bit length) and gives H0..H4.
    // The hasher is spent afterwards.
    void Finish(uint32_t digest[5]);

private:
    Compressor compress_;
    uint32_t state_[5];
    unsigned char pending_[kBlockSize];
    size_t pendingCount_ = 0;
    uint64_t total_ = 0;
};

// The digest of a whole buffer (null data is fine when count is 0).
void Digest(Compressor compress, const void* data, size_t count, uint32_t digest[5]);

// "%08x" five times: 40 lower-case digits, H0 first, and a terminator.
void ToText(const uint32_t digest[5], char text[kTextSize]);

}  // namespace ka::sha1

#endif
