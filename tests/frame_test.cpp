// The module root as hosts see it: through LoadLibrary and KaGetModule.
// Start-up variants (where the allocator comes from, a refused allocator)
// need a fresh process each, so they run in children of this executable.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

KaGetModuleFunction LoadEntry() {
    return ka::ResolveExport<KaGetModuleFunction>(::LoadLibraryW(L"KaSystem.x64.dll"),
                                                  "KaGetModule");
}

// Start-up without a usable allocator: the build completes and the memory
// slots hand out nothing instead of crashing.
int MemorySlotsWithoutAllocator(KaSystem* system) {
    if (system == nullptr || !system->Initialize()) return 10;
    if (system->GetVersion() != 118) return 11;
    if (system->Allocate(16) != nullptr) return 12;
    if (system->AllocateArray(2, 8) != nullptr) return 13;
    system->Free(nullptr);
    if (system->ForwardAllocatorSlot6(1, 2, 3) != 0) return 14;
    return katest::kChildOk;
}

std::wstring Bin() { return katest::ExecutableDirectory(); }

// Many threads released at once make the first calls; all must get the same
// root. With the refused allocator every build would show a box, so the
// parent sees exactly one box when the module is built exactly once. The
// refused allocator leaves the memory slots empty.
KA_CHILD_MODE(concurrent_first_calls) {
    KaGetModuleFunction get = LoadEntry();
    if (get == nullptr) return 2;
    ka::UniqueHandle go(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<KaSystem*> roots(16, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < roots.size(); ++i) {
        threads.emplace_back([&, i] {
            ::WaitForSingleObject(go.get(), INFINITE);
            roots[i] = get();
        });
    }
    ::SetEvent(go.get());
    for (auto& t : threads) t.join();
    for (KaSystem* r : roots) {
        if (r == nullptr || r != roots[0]) return 3;
    }
    return get() == roots[0] ? MemorySlotsWithoutAllocator(roots[0]) : 4;
}

KA_CHILD_MODE(missing_allocator) {
    KaGetModuleFunction get = LoadEntry();
    return MemorySlotsWithoutAllocator(get ? get() : nullptr);
}

// Unloading runs the shut-down routine (here with the process-wide logger
// and a thread value alive) and keeps the allocator sibling loaded.
KA_CHILD_MODE(unload) {
    HMODULE dll = ::LoadLibraryW(L"KaSystem.x64.dll");
    auto get = ka::ResolveExport<KaGetModuleFunction>(dll, "KaGetModule");
    KaSystem* system = get ? get() : nullptr;
    if (system == nullptr || !system->Initialize()) return 5;
    system->SetThreadValue(7);
    system->GetLogger()->Write(LogCategory::INFO, 0, "before the unload");
    system->Uninitialize();
    if (!::FreeLibrary(dll)) return 2;
    if (::GetModuleHandleW(L"KaSystem.x64.dll") != nullptr) return 3;
    return ::GetModuleHandleW(L"KaAllocator.x64.dll") != nullptr ? katest::kChildOk : 4;
}

// The loader's suite checks each box's text; here it matters that the
// start-up shows it (once) and goes on when it is closed.
void CloseBox(DWORD pid, const std::wstring& title) {
    HWND box = katest::WaitForWindow(pid, title);
    EXPECT_NE(box, nullptr) << "no message box titled " << katest::Narrow(title);
    if (box != nullptr) {
        EXPECT_TRUE(katest::CloseMessageBox(box));
    }
}

TEST(Module, ConcurrentFirstCallsBuildOnceAndAgreeWithoutAnAllocator) {
    std::wstring old = Bin() + L"\\old-allocator";
    auto child = katest::StartChild("concurrent_first_calls", L"",
                                    {{L"KAV_SXS_DIR_FLAT", old}, {L"KAV_SXS_DIR", std::nullopt}});
    ASSERT_NE(child, nullptr);
    CloseBox(child->id, L"KaAllocator");
    EXPECT_EQ(katest::WaitForWindow(child->id, L"KaAllocator", 1500), nullptr)
        << "a second box means the module was built twice";
    EXPECT_EQ(child->Wait(), katest::kChildOk);
}

TEST(Module, MissingAllocatorIsReportedAndMemorySlotsStaySafe) {
    std::wstring empty = Bin() + L"\\sxs";  // holds v140\, not the module itself
    auto child = katest::StartChild("missing_allocator", L"", {{L"KAV_SXS_DIR_FLAT", empty}});
    ASSERT_NE(child, nullptr);
    CloseBox(child->id, katest::ExecutablePath());
    EXPECT_EQ(child->Wait(), katest::kChildOk);
}

TEST(Module, UnloadRunsShutDownAndKeepsTheAllocator) {
    EXPECT_EQ(katest::RunChild("unload"), katest::kChildOk);
}

TEST(Root, FixedAnswersAndBadInputs) {
    KaSystem* system = katest::System();
    EXPECT_EQ(LoadEntry()(), system) << "every call returns the same root";
    EXPECT_EQ(system->GetVersion(), 118);

    EXPECT_FALSE(system->CreateUuid(nullptr));
    EXPECT_FALSE(system->CreateTaskRunner(2, nullptr));
    EXPECT_FALSE(system->CreateJsonDocument(nullptr));
    KaLog* log = nullptr;
    EXPECT_FALSE(system->CreateLogger(nullptr, &log));
    EXPECT_EQ(log, nullptr);
    EXPECT_FALSE(system->CreateLogger(L"x.log", nullptr));
    EXPECT_FALSE(system->GetLastErrorMessage(nullptr));
}

TEST(Root, UuidsAreFreshRandomUuids) {
    UuidRecord a, b;
    std::memset(&a, 0xCC, sizeof a);
    ASSERT_TRUE(katest::System()->CreateUuid(&a) && katest::System()->CreateUuid(&b));
    EXPECT_EQ(a.Data3 >> 12, 4) << "version 4 (random): the whole record was filled";
    EXPECT_NE(std::memcmp(&a, &b, sizeof a), 0);
}

TEST(Root, ThreadValuesArePerThread) {
    KaSystem* system = katest::System();
    system->SetThreadValue(0xDEADBEEF);
    uint32_t before = 1, after = 1;
    std::thread other([&] {
        before = system->GetThreadValue();
        system->SetThreadValue(5);
        after = system->GetThreadValue();
    });
    other.join();
    EXPECT_EQ(before, 0u) << "a thread that never set a value reads 0";
    EXPECT_EQ(after, 5u);
    EXPECT_EQ(system->GetThreadValue(), 0xDEADBEEFu) << "another thread's value is not seen";
}

TEST(Root, MemorySlotsForwardToTheAllocator) {
    KaSystem* system = katest::System();
    intptr_t base = katest::LiveBlocks();
    auto* bytes = static_cast<unsigned char*>(system->Allocate(1000));
    auto* array = static_cast<uint64_t*>(system->AllocateArray(100, sizeof(uint64_t)));
    ASSERT_TRUE(bytes != nullptr && array != nullptr);
    std::memset(bytes, 0xAB, 1000);
    std::memset(array, 0xCD, 100 * sizeof(uint64_t));
    EXPECT_EQ(katest::LiveBlocks(), base + 2);
    system->Free(bytes);
    system->Free(array);
    system->Free(nullptr);
    EXPECT_EQ(system->AllocateArray(SIZE_MAX / 2, 4), nullptr) << "count x size overflows";
}

}  // namespace
