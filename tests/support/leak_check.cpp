// The leak check around every test: blocks still live in the KaAllocator
// stand-in, blocks of the C runtime's heap the library still holds (every
// C++ object it made: its operator new ends in the runtime's malloc, which
// the DLL imports), and kernel handles still open in the process; a handle
// count that drops (a double close, a close of a handle the test owns) fails
// as well.
#include "ka/siblings.h"
#include "support/import_fault.h"
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace katest {
namespace {

std::vector<void (*)()>& WarmUps() {
    static std::vector<void (*)()> warmUps;
    return warmUps;
}

struct Allowance {
    std::string reason;
    unsigned long upTo = 0;
};
std::optional<Allowance> g_allowance;  // for the running test

// Read from the allocator module itself: the same counter root slot 7
// forwards to. Suites that link the library's objects never load the DLL,
// but their module object loads the allocator; and reading it here never
// loads anything. Before the allocator is loaded nothing is live.
intptr_t AllocatorLiveBlocks() {
    auto get = ka::ResolveExport<KaModuleRoot* (*)()>(::GetModuleHandleW(L"KaAllocator.x64.dll"),
                                                      "KaGetModule");
    return get != nullptr ? static_cast<KaAllocator*>(get())->Extension() : 0;
}

// The library's heap blocks: the DLL's imports of the runtime's allocation
// functions are replaced by counting ones once the DLL is loaded. A block
// made before that and freed after is not in the set and is not counted.
namespace heap {
// A slim lock: it never makes a kernel object, where the thread runtime's
// mutex makes one when first contended, and the handle check would see it.
SRWLOCK g_lock = SRWLOCK_INIT;
struct Hold {
    Hold() { ::AcquireSRWLockExclusive(&g_lock); }
    ~Hold() { ::ReleaseSRWLockExclusive(&g_lock); }
};
std::unordered_set<void*>* g_live = nullptr;  // never freed: threads may free late
void* (*g_malloc)(size_t);
void* (*g_calloc)(size_t, size_t);
void* (*g_realloc)(void*, size_t);
void (*g_free)(void*);
char* (*g_strdup)(const char*);

void Made(void* block) {
    if (block == nullptr) return;
    Hold hold;
    g_live->insert(block);
}
void Gone(void* block) {
    if (block == nullptr) return;
    Hold hold;
    g_live->erase(block);
}
void* Malloc(size_t size) {
    void* block = g_malloc(size);
    Made(block);
    return block;
}
void* Calloc(size_t count, size_t size) {
    void* block = g_calloc(count, size);
    Made(block);
    return block;
}
void* Realloc(void* old, size_t size) {
    void* block = g_realloc(old, size);
    if (block != nullptr || size == 0) Gone(old);  // the runtime freed it (size 0) or moved it
    Made(block);
    return block;
}
void Free(void* block) {
    Gone(block);
    g_free(block);
}
char* Strdup(const char* text) {
    char* copy = g_strdup(text);
    Made(copy);
    return copy;
}

template <typename F>
void Hook(HMODULE dll, const char* name, F*& original, F* counting) {
    original = reinterpret_cast<F*>(
        ReplaceImport(dll, "msvcrt.dll", name, reinterpret_cast<void*>(counting)));
}

// Installs the counters once the DLL is in the process; false before.
bool Installed() {
    static bool installed = false;
    HMODULE dll = LibraryModule();
    if (installed || dll == nullptr) return installed;
    g_live = new std::unordered_set<void*>;
    Hook(dll, "malloc", g_malloc, &Malloc);
    Hook(dll, "calloc", g_calloc, &Calloc);
    Hook(dll, "realloc", g_realloc, &Realloc);
    Hook(dll, "free", g_free, &Free);
    Hook(dll, "_strdup", g_strdup, &Strdup);
    installed = g_malloc && g_calloc && g_realloc && g_free && g_strdup;
    EXPECT_TRUE(installed) << "the library's heap functions were not found among its imports";
    return installed;
}

long Live() {
    if (!Installed()) return 0;
    Hold hold;
    return long(g_live->size());
}
}  // namespace heap

// This process's entries in the system's handle list
// (SystemExtendedHandleInformation); -1 when it cannot be read.
long HandlesInSystemList() {
    struct Entry {
        void* object;
        ULONG_PTR process;
        ULONG_PTR handle;
        ULONG access;
        USHORT creatorBackTrace, type;
        ULONG attributes, reserved;
    };
    struct List {
        ULONG_PTR count, reserved;
        Entry entries[1];
    };
    using Query = LONG(NTAPI*)(ULONG, void*, ULONG, ULONG*);
    static auto query =
        ka::ResolveExport<Query>(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    if (query == nullptr) return -1;
    static std::vector<char> buffer(1 << 16);
    constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
    ULONG needed = 0;
    LONG status;
    while ((status = query(64, buffer.data(), ULONG(buffer.size()), &needed)) == kLengthMismatch) {
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
    }
    if (status != 0) return -1;
    const auto* list = reinterpret_cast<const List*>(buffer.data());
    long count = 0;
    for (ULONG_PTR i = 0; i < list->count; ++i) {
        count += list->entries[i].process == ::GetCurrentProcessId();
    }
    return count;
}

// Wine answers GetProcessHandleCount with 0 whatever is open (a process
// always holds some); its system handle list is right, so count there.
long HandleCount() {
    DWORD count = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count != 0) return long(count);
    return HandlesInSystemList();
}

// What Wine and the runtimes create on first use and keep for the process's
// life (measured, each one a handle or more).
void WarmUpProcess() {
    // GoogleTest's per-thread trace stack opens a handle on the thread
    // (kept until the thread ends) the first time SCOPED_TRACE runs on it.
    { SCOPED_TRACE("warm-up"); }
    // GoogleTest reports each failure and skip through OutputDebugStringA too,
    // and Wine opens a named mutex for it on the first call.
    ::OutputDebugStringA("");
    // The unwinder's locks, on the first exception thrown.
    try {
        throw 0;
    } catch (int) {
    }
    // The thread runtime's shared locks (thread start, std::async's once
    // flag) get their events when first contended.
    std::atomic<bool> go{false};
    std::vector<std::thread> burst;
    for (int i = 0; i < 8; ++i) {
        burst.emplace_back([&go] {
            while (!go) std::this_thread::yield();
            std::thread([] {}).join();
            std::async(std::launch::async, [] {}).get();
        });
    }
    go = true;
    for (std::thread& t : burst) t.join();
    // The connection to the desktop: registry keys and semaphores of the
    // window system, on the first window or box.
    ::GetDesktopWindow();
    // The profile functions keep the IniFileMapping key open (the shell's
    // file operations read settings through them).
    ::GetPrivateProfileIntW(L"katest", L"warm-up", 0, L"katest-none.ini");
}

class LeakCheck : public ::testing::EmptyTestEventListener {
    void OnTestProgramStart(const ::testing::UnitTest&) override { WarmUpProcess(); }

    void OnEnvironmentsSetUpEnd(const ::testing::UnitTest&) override {
        if (warmedUp_) return;
        warmedUp_ = true;
        for (auto warmUp : WarmUps()) warmUp();
    }

    void OnTestStart(const ::testing::TestInfo&) override {
        g_allowance.reset();
        blocks_ = AllocatorLiveBlocks();
        heap_ = heap::Live();
        handles_ = HandleCount();
    }

    void OnTestEnd(const ::testing::TestInfo& test) override {
        std::string name = std::string(test.test_suite_name()) + "." + test.name();
        intptr_t blocks = AllocatorLiveBlocks();
        long heapBlocks = heap::Live();
        long handles = HandleCount();
        // Threads that a test joined may still be closing their handles
        // inside the runtime, an object whose last reference went on one of
        // its own threads is torn down on a library thread of its own, and
        // Wine's window system closes some of its objects a moment after a
        // box goes: give them up to a second (on a loaded machine a thread's
        // exit can take that long) before calling it a leak. A real leak
        // stays, and a clean test does not wait at all.
        for (int wait = 0;
             (blocks > blocks_ || heapBlocks > heap_ || handles > handles_) && wait < 50; ++wait) {
            ::Sleep(20);
            blocks = AllocatorLiveBlocks();
            heapBlocks = heap::Live();
            handles = HandleCount();
        }
        if (blocks > blocks_) {
            ADD_FAILURE() << name << " left allocator blocks behind: " << blocks_
                          << " live before, " << blocks << " after";
        }
        if (heapBlocks > heap_ && !g_allowance) {
            ADD_FAILURE() << name << " left objects or heap blocks of the library behind: " << heap_
                          << " live before, " << heapBlocks << " after";
        }
        if (handles < handles_ && !g_allowance) {
            ADD_FAILURE() << name << " closed handles it did not open: " << handles_ << " before, "
                          << handles << " after";
        }
        if (handles <= handles_) return;
        unsigned long growth = handles - handles_;
        if (g_allowance && growth <= g_allowance->upTo) {
            std::printf("[ handles  ] %s: %lu more, allowed: %s\n", name.c_str(), growth,
                        g_allowance->reason.c_str());
            return;
        }
        ADD_FAILURE() << name << " left handles open: " << handles_ << " before, " << handles
                      << " after";
    }

    bool warmedUp_ = false;
    intptr_t blocks_ = 0;
    long heap_ = 0;
    long handles_ = 0;
};

}  // namespace

void AllowHandleGrowth(const char* reason, unsigned long upTo) {
    g_allowance = Allowance{reason, upTo};
}

void AddWarmUp(void (*warmUp)()) { WarmUps().push_back(warmUp); }

void CountLibraryHeap() { heap::Installed(); }

void InstallLeakCheck() { ::testing::UnitTest::GetInstance()->listeners().Append(new LeakCheck); }

}  // namespace katest
