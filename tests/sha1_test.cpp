// SHA-1: the DLL's hasher and both compressors of the core against Windows
// CNG as the oracle, on the standard vectors, every short length, long and
// unaligned buffers, and files.
#include "data/sha1_core.h"
#include "support/ka_test.h"

#include <bcrypt.h>
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

namespace {

using Digest = std::array<uint32_t, 5>;

Digest Cng(const unsigned char* data, size_t count) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char bytes[20] = {};
    EXPECT_TRUE(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0) == 0 &&
                BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
                BCryptHashData(hash, const_cast<PUCHAR>(data), ULONG(count), 0) == 0 &&
                BCryptFinishHash(hash, bytes, sizeof bytes, 0) == 0);
    BCryptDestroyHash(hash);  // the oracle's own handles
    BCryptCloseAlgorithmProvider(algorithm, 0);
    Digest d{};
    for (int i = 0; i < 20; ++i) d[i / 4] = (d[i / 4] << 8) | bytes[i];
    return d;
}

std::string Text(const std::string& message) {
    char text[41] = "";
    KaSha1* hasher = katest::System()->GetHasher();
    EXPECT_TRUE(hasher->HashBufferText(message.data(), message.size(), text));
    return text;
}

// The DLL and both compressors agree with CNG on these bytes.
void ExpectAgreement(const unsigned char* data, size_t count) {
    Digest oracle = Cng(data, count), ours{}, portable{}, extensions = oracle;
    EXPECT_TRUE(katest::System()->GetHasher()->HashBuffer(data, count, ours.data()));
    ka::sha1::Digest(&ka::sha1::CompressPortable, data, count, portable.data());
    if (ka::sha1::HasShaExtensions()) {
        ka::sha1::Digest(&ka::sha1::CompressShaExtensions, data, count, extensions.data());
    }
    EXPECT_TRUE(ours == oracle && portable == oracle && extensions == oracle)
        << count << " bytes: DLL " << (ours == oracle) << ", portable " << (portable == oracle)
        << ", SHA extensions " << (extensions == oracle);
}

TEST(Sha1, StandardVectorsAndArguments) {
    std::printf("[ sha1     ] SHA extensions: %s\n", ka::sha1::HasShaExtensions() ? "yes" : "no");
    KaSha1* hasher = katest::System()->GetHasher();
    ASSERT_NE(hasher, nullptr);
    EXPECT_EQ(katest::System()->GetHasher(), hasher) << "one instance";
    EXPECT_EQ(Text(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(Text("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    std::string million(1000000, 'a');
    EXPECT_EQ(Text(million), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    ExpectAgreement(reinterpret_cast<const unsigned char*>(million.data()), million.size());

    uint32_t digest[5] = {};
    EXPECT_TRUE(hasher->HashBuffer(nullptr, 0, digest)) << "null data, count 0: the empty message";
    EXPECT_EQ(digest[0], 0xda39a3eeu);
    EXPECT_FALSE(hasher->HashBuffer(nullptr, 1, digest));
    EXPECT_FALSE(hasher->HashBuffer("x", 1, nullptr));
    char text[41] = "unchanged";
    EXPECT_FALSE(hasher->HashBufferText("x", 1, nullptr));
    EXPECT_FALSE(hasher->HashBufferText(nullptr, 1, text));
    EXPECT_STREQ(text, "unchanged");
}

TEST(Sha1, EveryLengthAndLargeUnalignedBuffersAgreeWithCng) {
    std::mt19937 random(12345);
    std::vector<unsigned char> bytes((64 << 20) + 200);
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    for (size_t length = 0; length <= 200; ++length) ExpectAgreement(bytes.data() + 3, length);
    for (size_t at : {0, 1, 13}) ExpectAgreement(bytes.data() + at, (1 << 20) + 55 + at);
    ExpectAgreement(bytes.data() + 7, (64 << 20) + 129);
}

TEST(Sha1, FilesHashLikeTheirBytes) {
    katest::TempDir dir;
    KaSha1* hasher = katest::System()->GetHasher();
    for (size_t size : {0, 1, 63, 64, 65, 16383, 16384, 16385, 1000003}) {
        std::string bytes(size, '\n');  // line ends: text mode would change them
        for (size_t i = 0; i < size; i += 2) bytes[i] = static_cast<char>(i * 7 + size);
        std::wstring path = dir.File(std::to_wstring(size) + L".bin");
        {
            ka::UniqueCrtFile out(_wfopen(path.c_str(), L"wb"));
            ASSERT_TRUE(out && std::fwrite(bytes.data(), 1, size, out.get()) == size);
        }
        char text[41] = "";
        EXPECT_TRUE(hasher->HashFileText(path.c_str(), text));
        EXPECT_EQ(text, Text(bytes)) << size << " bytes";
    }
    uint32_t digest[5];
    char text[41];
    EXPECT_FALSE(hasher->HashFile(dir.File(L"missing").c_str(), digest));
    EXPECT_FALSE(hasher->HashFileText(dir.path().c_str(), text)) << "a directory";
    EXPECT_FALSE(hasher->HashFile(nullptr, digest));
    EXPECT_FALSE(hasher->HashFileText(dir.File(L"0.bin").c_str(), nullptr));
}

}  // namespace
