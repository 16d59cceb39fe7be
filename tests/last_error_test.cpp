// The last-error store (root slots 25, 26): allocator copies, one named
// section per thread that another process reads, the ten-second sweep.
#include "support/import_fault.h"
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

std::wstring SectionName(DWORD thread) {
    return L"KAV_LAST_ERROR_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
           std::to_wstring(thread);
}

bool Set(const wchar_t* text) { return katest::System()->SetLastErrorMessage(text); }

std::wstring Get() {  // "<none>": false with a null out
    wchar_t* copy = reinterpret_cast<wchar_t*>(0x1234);
    if (!katest::System()->GetLastErrorMessage(&copy)) return copy ? L"<not null>" : L"<none>";
    std::wstring text = copy;
    katest::System()->Free(copy);  // a Free that is not the allocator's shows as a leak
    return text;
}

// The store's clock, moved on by the test instead of waited for: the
// library's GetTickCount answers this much later than the system's.
std::atomic<DWORD> g_shift{0};
DWORD WINAPI ShiftedTickCount() { return ::GetTickCount() + g_shift; }
class ShiftedClock {
public:
    ShiftedClock() { original_ = Swap(reinterpret_cast<void*>(&ShiftedTickCount)); }
    ~ShiftedClock() { Swap(original_); }
    bool Shifted() const { return original_ != nullptr; }
    void Advance(DWORD ms) { g_shift += ms; }

private:
    static void* Swap(void* to) {
        return katest::ReplaceImport(katest::LibraryModule(), "KERNEL32.dll", "GetTickCount", to);
    }
    void* original_;
};

bool SectionExists(DWORD thread) {
    std::wstring name = SectionName(thread);
    return bool(ka::UniqueHandle(::OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str())));
}

// args: a section's name, the text expected in it.
KA_CHILD_MODE(read_last_error) {
    size_t space = args.find(L' ');
    const std::wstring name = args.substr(0, space), expected = args.substr(space + 1) + L'\0';
    ka::UniqueHandle section(::OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
    ka::UniqueView view(section ? ::MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, 0) : nullptr);
    return view && std::wstring(static_cast<wchar_t*>(view.get()), expected.size()) == expected
               ? katest::kChildOk
               : 2;
}

TEST(LastError, PerThreadMessagesInNamedSections) {
    EXPECT_TRUE(KA_ALL(!katest::System()->GetLastErrorMessage(nullptr), Get() == L"<none>"));
    ASSERT_TRUE(Set(L"disk on fire"));
    intptr_t live = katest::LiveBlocks();
    EXPECT_TRUE(KA_ALL(Get() == L"disk on fire", katest::LiveBlocks() == live))
        << "the allocator's";
    std::thread([] { EXPECT_EQ(Get(), L"<none>") << "another thread's message"; }).join();
    const DWORD self = ::GetCurrentThreadId();
    EXPECT_EQ(katest::RunChild("read_last_error", SectionName(self) + L" disk on fire"),
              katest::kChildOk);
    const std::wstring huge(1 << 20, L'\u00e9');
    EXPECT_TRUE(KA_ALL(Set(huge.c_str()), Get() == huge)) << "1 Mi units, not truncated";
    EXPECT_TRUE(KA_ALL(Set(L""), Get() == L"<none>", !SectionExists(self)));
    EXPECT_TRUE(KA_ALL(Set(L"x"), Set(nullptr), Get() == L"<none>"));
}

// 70 threads (more than the sweep's 64 local slots) leave messages and stay;
// 5.5 s later one more does; 5.5 s after that one read sweeps the 70. The
// seconds pass on the library's clock only.
TEST(LastError, ReadsSweepEntriesOlderThanTenSeconds) {
    katest::System();
    ShiftedClock clock;
    ASSERT_TRUE(clock.Shifted()) << "the library's clock was not found among its imports";
    constexpr int kStale = 70;
    ka::UniqueHandle check(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<DWORD> ids(kStale + 1);
    std::vector<std::thread> threads;
    std::atomic<int> stored{0};
    auto allStored = [&](int count) { return katest::Eventually([&] { return stored >= count; }); };
    auto leave = [&](int i) {
        ids[i] = ::GetCurrentThreadId();
        EXPECT_TRUE(Set(std::to_wstring(i).c_str()));
        ++stored;
        ::WaitForSingleObject(check.get(), INFINITE);
        EXPECT_EQ(Get(), i < kStale ? L"<none>" : std::to_wstring(i));
        Set(nullptr);
    };
    for (int i = 0; i < kStale; ++i) threads.emplace_back(leave, i);
    ASSERT_TRUE(allStored(kStale));
    clock.Advance(5500);
    threads.emplace_back(leave, kStale);
    ASSERT_TRUE(allStored(kStale + 1));
    clock.Advance(5500);
    EXPECT_EQ(Get(), L"<none>");
    EXPECT_TRUE(SectionExists(ids[0])) << "a read that finds no message sweeps nothing";
    EXPECT_TRUE(KA_ALL(Set(L"reader"), Get() == L"reader"));
    int swept = 0;
    for (int i = 0; i < kStale; ++i) swept += !SectionExists(ids[i]);
    EXPECT_EQ(swept, kStale);
    EXPECT_TRUE(SectionExists(ids[kStale])) << "5.5 s old: kept";
    ::SetEvent(check.get());
    for (std::thread& thread : threads) thread.join();
    Set(nullptr);
}

}  // namespace
