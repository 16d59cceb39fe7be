// The module root as hosts see it: through LoadLibrary and KaGetModule.
// Start-up variants (where the allocator comes from, a refused allocator)
// need a fresh process each, so they run in children of this executable.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

namespace {

KaGetModuleFunction LoadEntry() {
    HMODULE dll = ::LoadLibraryW(L"KaSystem.x64.dll");
    if (dll == nullptr) return nullptr;
    return reinterpret_cast<KaGetModuleFunction>(
        reinterpret_cast<void*>(::GetProcAddress(dll, "KaGetModule")));
}

std::wstring Bin() { return katest::ExecutableDirectory(); }

// Many threads released at once make the first calls; all must get the same
// root. With the refused allocator every build would show a box, so the
// parent sees exactly one box when the module is built exactly once.
KA_CHILD_MODE(concurrent_first_calls) {
    KaGetModuleFunction get = LoadEntry();
    if (get == nullptr) return 2;
    HANDLE go = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<KaSystem*> roots(16, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < roots.size(); ++i) {
        threads.emplace_back([&, i] {
            ::WaitForSingleObject(go, INFINITE);
            roots[i] = get();
        });
    }
    ::SetEvent(go);
    for (auto& t : threads) t.join();
    ::CloseHandle(go);
    for (KaSystem* r : roots) {
        if (r == nullptr || r != roots[0]) return 3;
    }
    return get() == roots[0] ? katest::kChildOk : 4;
}

// With KAV_SXS_DIR set, the allocator must come from <dir>\v140.
KA_CHILD_MODE(allocator_from_sxs) {
    KaGetModuleFunction get = LoadEntry();
    KaSystem* system = get ? get() : nullptr;
    if (system == nullptr || !system->Initialize()) return 2;
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(::GetModuleHandleW(L"KaAllocator.x64.dll"), path, MAX_PATH);
    std::wstring expected = args + L"\\v140\\KaAllocator.x64.dll";
    if (_wcsicmp(path, expected.c_str()) != 0) return 3;
    void* block = system->Allocate(64);
    if (block == nullptr || system->ForwardAllocatorSlot6() != 1) return 4;
    system->Free(block);
    return system->ForwardAllocatorSlot6() == 0 ? katest::kChildOk : 5;
}

// Start-up without a usable allocator: the build completes and the memory
// slots hand out nothing instead of crashing.
KA_CHILD_MODE(no_allocator) {
    KaGetModuleFunction get = LoadEntry();
    KaSystem* system = get ? get() : nullptr;
    if (system == nullptr || !system->Initialize()) return 2;
    if (system->GetVersion() != 118) return 3;
    if (system->Allocate(16) != nullptr) return 4;
    if (system->AllocateArray(2, 8) != nullptr) return 5;
    system->Free(nullptr);
    if (system->ForwardAllocatorSlot6(1, 2, 3) != 0) return 6;
    return katest::kChildOk;
}

// Unloading runs the shut-down routine; the allocator sibling stays loaded,
// and nothing the library registered with the process points into it after.
KA_CHILD_MODE(unload) {
    HMODULE dll = ::LoadLibraryW(L"KaSystem.x64.dll");
    auto get = reinterpret_cast<KaGetModuleFunction>(
        reinterpret_cast<void*>(::GetProcAddress(dll, "KaGetModule")));
    KaSystem* system = get();
    system->Initialize();
    system->SetThreadValue(7);
    // A long regex run installs the library's exception handler.
    std::wstring subject(4096, L'a');
    if (!system->GetStringUtil()->SearchPattern(subject.c_str(), L"a+$", nullptr)) return 5;
    system->Uninitialize();
    if (!::FreeLibrary(dll)) return 2;
    if (::GetModuleHandleW(L"KaSystem.x64.dll") != nullptr) return 3;
    if (::GetModuleHandleW(L"KaAllocator.x64.dll") == nullptr) return 4;
    // Dispatched through every vectored handler still registered: one left
    // pointing into the unloaded library ends the process here.
    try {
        throw 42;
    } catch (int) {
        return katest::kChildOk;
    }
}

HWND ExpectBox(DWORD pid, const std::wstring& title, const std::string& text) {
    HWND box = katest::WaitForWindow(pid, title);
    EXPECT_NE(box, nullptr) << "no message box titled " << katest::Narrow(title);
    if (box != nullptr) {
        EXPECT_EQ(katest::Narrow(katest::MessageBoxText(box)), text);
        EXPECT_TRUE(katest::CloseMessageBox(box));
    }
    return box;
}

TEST(Module, ConcurrentFirstCallsBuildOnceAndAgree) {
    std::wstring old = Bin() + L"\\old-allocator";
    auto child = katest::StartChild("concurrent_first_calls", L"",
                                    {{L"KAV_SXS_DIR_FLAT", old}, {L"KAV_SXS_DIR", std::nullopt}});
    ASSERT_NE(child, nullptr);
    ExpectBox(child->id, L"KaAllocator",
              "Failed to initialize module. DLL interface version is too old: Required>=100, "
              "Actual=99");
    EXPECT_EQ(katest::WaitForWindow(child->id, L"KaAllocator", 1500), nullptr)
        << "a second box means the module was built twice";
    EXPECT_EQ(child->Wait(), katest::kChildOk);
}

TEST(Module, AllocatorComesFromTheSideBySideTree) {
    std::wstring sxs = Bin() + L"\\sxs";
    EXPECT_EQ(katest::RunChild("allocator_from_sxs", sxs,
                               {{L"KAV_SXS_DIR", sxs}, {L"KAV_SXS_DIR_FLAT", std::nullopt}}),
              katest::kChildOk);
}

TEST(Module, MissingAllocatorIsReportedAndMemorySlotsStaySafe) {
    std::wstring empty = Bin() + L"\\sxs";  // holds v140\, not the module itself
    auto child = katest::StartChild("no_allocator", L"", {{L"KAV_SXS_DIR_FLAT", empty}});
    ASSERT_NE(child, nullptr);
    ExpectBox(child->id, katest::ExecutablePath(),
              "Failed load module: " + katest::Narrow(empty) + "\\KaAllocator.x64.dll");
    EXPECT_EQ(child->Wait(), katest::kChildOk);

    std::wstring old = Bin() + L"\\old-allocator";
    child = katest::StartChild("no_allocator", L"", {{L"KAV_SXS_DIR_FLAT", old}});
    ASSERT_NE(child, nullptr);
    ExpectBox(child->id, L"KaAllocator",
              "Failed to initialize module. DLL interface version is too old: Required>=100, "
              "Actual=99");
    EXPECT_EQ(child->Wait(), katest::kChildOk);
}

TEST(Module, UnloadRunsShutDownAndKeepsTheAllocator) {
    EXPECT_EQ(katest::RunChild("unload"), katest::kChildOk);
}

TEST(Root, FixedAnswers) {
    KaSystem* system = katest::System();
    ASSERT_NE(system, nullptr);
    KaGetModuleFunction get = LoadEntry();
    EXPECT_EQ(get(), system) << "every call returns the same root";
    EXPECT_EQ(system->GetVersion(), 118);
    EXPECT_TRUE(system->Reserved22());
    EXPECT_EQ(system->Reserved29(), nullptr);
    EXPECT_TRUE(system->Initialize());
}

TEST(Root, EmbeddedInterfacesAreNeighbours) {
    KaSystem* system = katest::System();
    auto* base = reinterpret_cast<void**>(system);
    EXPECT_EQ(static_cast<void*>(system->GetStringUtil()), static_cast<void*>(base + 1));
    KaFileSystem* fs = system->GetFileSystem();
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(static_cast<void*>(fs->GetDirectoryFinder()),
              static_cast<void*>(reinterpret_cast<void**>(fs) + 1));
    EXPECT_EQ(system->GetFileSystem(), fs) << "embedded: always the same interface";
    EXPECT_NE(system->GetFileStreams(), nullptr);
    EXPECT_NE(system->GetEnvironmentInfo(), nullptr);
}

TEST(Root, BadInputsGiveFalseNotACrash) {
    KaSystem* system = katest::System();
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
    KaSystem* system = katest::System();
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        UuidRecord r;
        std::memset(&r, 0xCC, sizeof r);
        ASSERT_TRUE(system->CreateUuid(&r));
        EXPECT_EQ(r.Data3 >> 12, 4) << "version 4 (random) UUID";
        EXPECT_EQ(r.Data4[0] & 0xC0, 0x80) << "RFC 4122 variant";
        seen.insert(std::string(reinterpret_cast<const char*>(&r), sizeof r));
    }
    EXPECT_EQ(seen.size(), 100u);
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
    ASSERT_NE(bytes, nullptr);
    ASSERT_NE(array, nullptr);
    std::memset(bytes, 0xAB, 1000);
    for (int i = 0; i < 100; ++i) array[i] = i;
    EXPECT_EQ(katest::LiveBlocks(), base + 2);
    EXPECT_EQ(array[99], 99u);
    system->Free(bytes);
    system->Free(array);
    system->Free(nullptr);
    EXPECT_EQ(katest::LiveBlocks(), base);
    EXPECT_EQ(system->AllocateArray(SIZE_MAX / 2, 4), nullptr) << "count x size overflows";
    EXPECT_EQ(katest::LiveBlocks(), base);
}

}  // namespace
