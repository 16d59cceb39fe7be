// SHA-1: the DLL's hasher and both compressors of the core against Windows CNG as the
// oracle (vectors, every short length, long unaligned buffers); files hash like their bytes.
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

Digest Cng(const void* data, size_t count) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char bytes[20] = {};
    EXPECT_TRUE(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0) == 0 &&
                BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
                BCryptHashData(hash, PUCHAR(data), ULONG(count), 0) == 0 &&
                BCryptFinishHash(hash, bytes, sizeof bytes, 0) == 0);
    BCryptDestroyHash(hash);  // the oracle's own handles
    BCryptCloseAlgorithmProvider(algorithm, 0);
    Digest d{};
    for (int i = 0; i < 20; ++i) d[i / 4] = (d[i / 4] << 8) | bytes[i];
    return d;
}

// The DLL and both compressors agree with CNG on these bytes.
void ExpectAgreement(const void* data, size_t count) {
    auto* bytes = static_cast<const unsigned char*>(data);
    Digest oracle = Cng(data, count), ours{}, portable{}, extensions = oracle;
    EXPECT_TRUE(katest::System()->GetHasher()->HashBuffer(data, count, ours.data()));
    ka::sha1::Digest(&ka::sha1::CompressPortable, bytes, count, portable.data());
    if (ka::sha1::HasShaExtensions()) {
        ka::sha1::Digest(&ka::sha1::CompressShaExtensions, bytes, count, extensions.data());
    }
    EXPECT_TRUE(KA_ALL(ours == oracle, portable == oracle, extensions == oracle))
        << count << " bytes: DLL " << (ours == oracle) << ", portable " << (portable == oracle)
        << ", SHA extensions " << (extensions == oracle);
}

TEST(Sha1, VectorsEveryLengthAndLargeUnalignedBuffersAgreeWithCng) {
    std::printf("[ sha1     ] SHA extensions: %s\n", ka::sha1::HasShaExtensions() ? "yes" : "no");
    const std::string vectors[] = {"", "abc", std::string(1000000, 'a'),
                                   "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"};
    for (const std::string& vector : vectors) ExpectAgreement(vector.data(), vector.size());
    std::mt19937 random(12345);
    std::vector<unsigned char> bytes((64 << 20) + 200);
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    for (size_t length = 0; length <= 200; ++length) ExpectAgreement(bytes.data() + 3, length);
    for (size_t at : {0, 1, 13}) ExpectAgreement(bytes.data() + at, (1 << 20) + 55 + at);
    ExpectAgreement(bytes.data() + 7, (64 << 20) + 129);
}

TEST(Sha1, TextFilesAndBadArguments) {
    KaSha1* hasher = katest::System()->GetHasher();
    ASSERT_TRUE(hasher != nullptr && hasher == katest::System()->GetHasher()) << "one instance";
    char text[41] = "unchanged", expected[41] = "";
    uint32_t digest[5];
    EXPECT_FALSE(
        KA_ANY(hasher->HashBufferText(nullptr, 1, text), hasher->HashBuffer("x", 1, nullptr),
               hasher->HashBufferText("x", 1, nullptr), hasher->HashBuffer(nullptr, 1, digest)));
    EXPECT_STREQ(text, "unchanged");
    EXPECT_TRUE(KA_ALL(hasher->HashBufferText(nullptr, 0, text),
                       std::string(text) == "da39a3ee5e6b4b0d3255bfef95601890afd80709"))
        << text;

    katest::TempDir dir;
    for (size_t size : {0, 63, 64, 65, 16385, 1000003}) {
        std::string bytes(size, '\n');  // line ends: text mode would change them
        for (size_t i = 0; i < size; i += 2) bytes[i] = static_cast<char>(i * 7 + size);
        std::wstring path = dir.File(std::to_wstring(size));
        ASSERT_TRUE(katest::WriteFileBytes(path, bytes) &&
                    hasher->HashBufferText(bytes.data(), size, expected));
        EXPECT_TRUE(KA_ALL(hasher->HashFileText(path.c_str(), text), std::string(text) == expected))
            << size << " bytes";
    }
    EXPECT_FALSE(KA_ANY(hasher->HashFile(dir.File(L"missing").c_str(), digest),
                        hasher->HashFileText(dir.path().c_str(), text),  // a directory
                        hasher->HashFile(nullptr, digest),
                        hasher->HashFileText(dir.File(L"0").c_str(), nullptr)));
}

}  // namespace
