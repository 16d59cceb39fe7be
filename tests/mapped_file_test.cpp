// Shared memory through root slot 9: sizes as asked, writes and clears, the
// too-big message, and one named block seen by two objects and two processes.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Block = ka::ObjectRef<KaMemoryMappedFile>;

bool Create(Block& block, const wchar_t* name, size_t size) {
    return katest::System()->CreateMemoryMappedFile(block.put(), name, size);
}

std::string Bytes(Block& block, size_t count) {
    return std::string(static_cast<const char*>(block->GetView()), count);
}

TEST(MemoryMappedFile, SizesWritesClearsAndTheTooBigMessage) {
    Block block;
    ASSERT_TRUE(Create(block, nullptr, 13)) << katest::Win32Error();
    EXPECT_TRUE(KA_ALL(block->GetRefCount() == 1, block->GetSize() == 13u))
        << "as asked, not rounded";
    EXPECT_EQ(Bytes(block, 13), std::string(13, '\0')) << "zero-filled";
    EXPECT_TRUE(KA_ALL(block->WriteData("0123456789abc", 13), block->WriteData("XY", 2)));
    EXPECT_EQ(Bytes(block, 13), "XY23456789abc") << "the bytes after the data keep their values";
    katest::ProcessLog::NewLines();
    EXPECT_FALSE(block->WriteData("0123456789abcdef", 16));
    EXPECT_EQ(Bytes(block, 13), "XY23456789abc") << "nothing written";
    EXPECT_EQ(katest::ProcessLog::NewLines(),
              std::vector<std::string>{
                  "[ERROR]     : Data is too big for buffer size. Buffer=13, Data=16"});
    for (int way = 0; way < 3; ++way) {  // null data, length 0, Clear
        ASSERT_TRUE(block->WriteData("ab", 2));
        EXPECT_TRUE(way == 0   ? block->WriteData(nullptr, 5)
                    : way == 1 ? block->WriteData("z", 0)
                               : block->Clear());
        EXPECT_EQ(Bytes(block, 13), std::string(13, '\0')) << way;
    }

    auto* untouched = reinterpret_cast<KaMemoryMappedFile*>(0x1234);  // failures leave it alone
    EXPECT_FALSE(KA_ANY(katest::System()->CreateMemoryMappedFile(&untouched, nullptr, 0),
                        katest::System()->CreateMemoryMappedFile(&untouched, L"no\\such\\space", 8),
                        katest::System()->CreateMemoryMappedFile(nullptr, nullptr, 8)));
    EXPECT_EQ(untouched, reinterpret_cast<KaMemoryMappedFile*>(0x1234));

    // Sizes beyond 32 bits are kept whole, not cut to their low word.
    const size_t big = (size_t(1) << 32) + 4096;
    if (!Create(block, nullptr, big)) GTEST_SKIP() << "no 4 GiB block: " << katest::Win32Error();
    EXPECT_EQ(block->GetSize(), big);
    static_cast<char*>(block->GetView())[big - 1] = 'z';  // mapped to the last byte
}

KA_CHILD_MODE(mapped_peer) {  // args: the block's name; checks what the parent left, answers
    Block block;
    bool seen = Create(block, args.c_str(), 8) && Bytes(block, 8) == std::string("Parent\0\0", 8);
    return seen && block->WriteData("child", 5) ? katest::kChildOk : 2;
}

TEST(MemoryMappedFile, OneNameIsOneBlockForObjectsAndProcesses) {
    std::wstring name = L"katest_block_" + std::to_wstring(::GetCurrentProcessId());
    Block first, second;
    ASSERT_TRUE(Create(first, name.c_str(), 8) && first->WriteData("parent", 6));
    ASSERT_TRUE(Create(second, name.c_str(), 8)) << "opening the existing block";
    EXPECT_EQ(Bytes(second, 8), std::string("parent\0\0", 8)) << "opening keeps the contents";
    EXPECT_TRUE(KA_ALL(second->WriteData("P", 1), Bytes(first, 1) == "P"))
        << "one memory behind both";
    second.reset();
    EXPECT_EQ(katest::RunChild("mapped_peer", name), katest::kChildOk);
    EXPECT_EQ(Bytes(first, 8), std::string("childt\0\0", 8)) << "another process wrote there";
    first.reset();
    ASSERT_TRUE(Create(first, name.c_str(), 8));
    EXPECT_EQ(Bytes(first, 8), std::string(8, '\0')) << "gone with its last holder";
}

}  // namespace

static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
