// SHA-1: HashBuffer through the DLL against Windows CNG, against a plain
// portable SHA-1, and against a straight loop of the SHA instructions, on one
// large message and on many small ones.
#include "bench.h"
#include "data/sha1_core.h"

#include <bcrypt.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

BCRYPT_ALG_HANDLE g_cng = nullptr;
volatile uint32_t g_sink = 0;  // keeps every digest alive

void Cng(const unsigned char* data, size_t count, uint32_t digest[5]) {
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char bytes[20];
    BCryptCreateHash(g_cng, &hash, nullptr, 0, nullptr, 0, 0);
    BCryptHashData(hash, const_cast<PUCHAR>(data), static_cast<ULONG>(count), 0);
    BCryptFinishHash(hash, bytes, sizeof bytes, 0);
    BCryptDestroyHash(hash);  // the baseline's own handle
    for (int i = 0; i < 5; ++i) {
        digest[i] = uint32_t(bytes[4 * i]) << 24 | uint32_t(bytes[4 * i + 1]) << 16 |
                    uint32_t(bytes[4 * i + 2]) << 8 | bytes[4 * i + 3];
    }
}

void Measure(const char* size, KaSha1* ours, const std::vector<unsigned char>& data,
             int iterations) {
    const unsigned char* bytes = data.data();
    const size_t count = data.size();
    auto run = [&](auto hash) {
        return [=] {
            uint32_t digest[5];
            hash(digest);
            g_sink = g_sink + digest[0];
        };
    };
    auto viaDll = run([&](uint32_t* d) { ours->HashBuffer(bytes, count, d); });
    std::string name = std::string("sha1 HashBuffer ") + size;
    kabench::Compare((name + " vs CNG").c_str(), viaDll,
                     run([&](uint32_t* d) { Cng(bytes, count, d); }), iterations, "MB/s",
                     double(count));
    kabench::Compare((name + " vs portable").c_str(), viaDll, run([&](uint32_t* d) {
                         ka::sha1::Digest(&ka::sha1::CompressPortable, bytes, count, d);
                     }),
                     iterations, "MB/s", double(count));
    if (ka::sha1::HasShaExtensions()) {
        // The straight loop: the SHA-NI compressor over the blocks, no slot,
        // no service around it.
        kabench::Compare((name + " vs SHA-NI loop").c_str(), viaDll, run([&](uint32_t* d) {
                             ka::sha1::Digest(&ka::sha1::CompressShaExtensions, bytes, count, d);
                         }),
                         iterations, "MB/s", double(count));
    }
}

}  // namespace

int main() {
    KaSha1* hasher = kabench::System()->GetHasher();
    if (hasher == nullptr) {
        std::fprintf(stderr, "bench sha1: the library has no hasher\n");
        return 1;
    }
    if (BCryptOpenAlgorithmProvider(&g_cng, BCRYPT_SHA1_ALGORITHM, nullptr, 0) != 0) {
        std::fprintf(stderr, "bench sha1: CNG has no SHA-1 here\n");
        return 1;
    }
    if (ka::sha1::HasShaExtensions()) {
        std::printf("bench sha1 processor: has the SHA extensions; ours uses them\n");
    } else {
        std::printf(
            "bench sha1 processor: has NO SHA extensions; ours runs the portable "
            "path, and there is no SHA-NI loop to compare with\n");
    }
    std::mt19937 random(1);
    std::vector<unsigned char> large(64u << 20), small(4096);
    for (auto& b : large) b = static_cast<unsigned char>(random());
    for (auto& b : small) b = static_cast<unsigned char>(random());
    // Check the set-up: ours and CNG agree before anything is timed.
    for (const auto* data : {&large, &small}) {
        uint32_t mine[5], theirs[5];
        hasher->HashBuffer(data->data(), data->size(), mine);
        Cng(data->data(), data->size(), theirs);
        if (std::memcmp(mine, theirs, sizeof mine) != 0) {
            std::fprintf(stderr, "bench sha1: our digest differs from CNG's\n");
            return 1;
        }
    }
    Measure("64 MiB", hasher, large, 2);
    Measure("4 KiB", hasher, small, 20000);
    BCryptCloseAlgorithmProvider(g_cng, 0);
    return 0;
}
