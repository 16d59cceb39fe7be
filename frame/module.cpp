#include "frame/module.h"

#include "frame/loader.h"
#include "frame/neighbour.h"
#include "frame/services.h"
#include "log/logger.h"
#include "text/regex.h"

#include <rpc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace ka {
namespace {

alignas(ModuleObject) unsigned char g_moduleStorage[sizeof(ModuleObject)];
ModuleObject* g_module = nullptr;

// The embedded interfaces find each other by position; these offsets are
// what hosts and siblings see through the pointers we hand out.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(ModuleObject, root) == 0);
static_assert(offsetof(ModuleObject, stringUtil) == sizeof(void*));
static_assert(offsetof(ModuleObject, directoryFinder) ==
              offsetof(ModuleObject, fileSystem) + sizeof(void*));
// ForwardAllocatorSlot6 reads the allocator at this fixed offset from the root.
static_assert(offsetof(ModuleObject, allocator) == 32);
#pragma GCC diagnostic pop

void ShutDown();

ModuleObject* BuildModule() {
    // The tables of the root and of every embedded interface are set, and the
    // lazily created members are null, as the object is constructed.
    auto* module = new (g_moduleStorage) ModuleObject();
    module->locale = CreateFixedLocale();
    module->advapi = ::LoadLibraryW(L"Advapi32.dll");
    if (module->advapi != nullptr) {
        module->regGetValue =
            reinterpret_cast<void*>(::GetProcAddress(module->advapi, "RegGetValueW"));
    }
    ::InitializeCriticalSection(&module->loggerLock);
    ::InitializeCriticalSection(&module->lastErrorLock);
    module->lastErrors = new std::map<uint32_t, LastErrorEntry>();
    module->threadValueSlot = ::TlsAlloc();
    module->allocator = static_cast<KaAllocator*>(LoadSiblingModule("KaAllocator", false));
    g_module = module;
    std::atexit(ShutDown);
    return module;
}

// Runs when the library is unloaded or the process ends. The allocator
// sibling stays loaded and the registered interface stays set: the logger's
// last line may still need them.
void ShutDown() {
    ModuleObject& m = *g_module;
    if (KaLog* log = std::atomic_ref<KaLog*>(m.logger).exchange(nullptr)) {
        log->Destroy(KA_DESTROY_FREE);  // directly: its Release does nothing
    }
    if (m.lastErrors != nullptr) {
        for (auto& [thread, entry] : *m.lastErrors) {
            if (entry.section != nullptr) entry.section->Release();
        }
        delete m.lastErrors;
        m.lastErrors = nullptr;
    }
    ::DeleteCriticalSection(&m.lastErrorLock);
    ::DeleteCriticalSection(&m.loggerLock);
    if (m.advapi != nullptr) {
        ::FreeLibrary(m.advapi);
        m.advapi = nullptr;
        m.regGetValue = nullptr;
    }
    FreeFixedLocale(m.locale);
    m.locale = nullptr;
    RemoveRegexGuard();
    if (m.threadValueSlot != TLS_OUT_OF_INDEXES) {
        ::TlsFree(m.threadValueSlot);
        m.threadValueSlot = TLS_OUT_OF_INDEXES;
    }
}

}  // namespace

ModuleObject& TheModule() {
    static ModuleObject* const module = BuildModule();  // once, even under racing callers
    return *module;
}

ModuleObject& SystemRoot::Module() { return *reinterpret_cast<ModuleObject*>(this); }

bool SystemRoot::Initialize() {
    RegisterSystem(this);
    return true;
}

void SystemRoot::Uninitialize() { RegisterSystem(nullptr); }

int SystemRoot::GetVersion() { return kSystemVersion; }

void SystemRoot::SetThreadValue(uint32_t value) {
    ::TlsSetValue(Module().threadValueSlot, reinterpret_cast<void*>(static_cast<uintptr_t>(value)));
}

uint32_t SystemRoot::GetThreadValue() {
    return static_cast<uint32_t>(
        reinterpret_cast<uintptr_t>(::TlsGetValue(Module().threadValueSlot)));
}

// The memory slots only swap the interface pointer for the allocator's root.
// Without an allocator (it failed to load and the user was told so) they
// allocate nothing rather than crash.
void* SystemRoot::Allocate(size_t bytes) {
    KaAllocator* allocator = Module().allocator;
    return allocator ? allocator->Allocate(bytes) : nullptr;
}

void* SystemRoot::AllocateArray(size_t count, size_t size) {
    KaAllocator* allocator = Module().allocator;
    return allocator ? allocator->AllocateArray(count, size) : nullptr;
}

void SystemRoot::Free(void* block) {
    if (KaAllocator* allocator = Module().allocator) allocator->Free(block);
}

// A true pass-through: rcx (this = the module object) becomes the allocator's
// root and control jumps to its slot 6 with every other register and stack
// argument untouched, so the allocator's own signature decides what they are.
__attribute__((naked)) intptr_t SystemRoot::ForwardAllocatorSlot6(...) {
    asm volatile(
        "movq 32(%rcx), %rcx\n\t"  // ModuleObject::allocator
        "testq %rcx, %rcx\n\t"
        "jz 1f\n\t"
        "movq (%rcx), %rax\n\t"
        "jmp *48(%rax)\n"  // slot 6
        "1:\n\t"
        "xorl %eax, %eax\n\t"
        "ret");
}

bool SystemRoot::CreateMemoryMappedFile(KaMemoryMappedFile**, const wchar_t*, size_t) {
    return false;  // shared memory comes with its own service
}

bool SystemRoot::CreateUuid(UuidRecord* record) {
    if (record == nullptr) return false;
    UUID uuid;
    if (::UuidCreate(&uuid) != RPC_S_OK) return false;  // "local only" is not success either
    static_assert(sizeof(UUID) == sizeof(UuidRecord));
    std::memcpy(record, &uuid, sizeof uuid);
    return true;
}

KaStringUtil* SystemRoot::GetStringUtil() {
    return static_cast<KaStringUtil*>(NeighbourInterface(this));
}

KaLog* SystemRoot::GetLogger() {
    ModuleObject& m = Module();
    std::atomic_ref<KaLog*> logger(m.logger);
    if (KaLog* existing = logger.load(std::memory_order_acquire)) return existing;
    ::EnterCriticalSection(&m.loggerLock);
    if (logger.load(std::memory_order_relaxed) == nullptr) {
        logger.store(CreateProcessLogger(), std::memory_order_release);
    }
    ::LeaveCriticalSection(&m.loggerLock);
    return logger.load(std::memory_order_acquire);
}

bool SystemRoot::CreateLogger(const wchar_t* path, KaLog** out) {
    if (path == nullptr || out == nullptr) return false;
    return CreatePrivateLogger(path, out);
}

// Services that arrive with later parts of the library answer "none" until
// then instead of pretending.
KaProcessService* SystemRoot::GetProcessService() { return Module().processService; }
KaSha1* SystemRoot::GetHasher() { return Module().hasher; }
KaFileSystem* SystemRoot::GetFileSystem() { return &Module().fileSystem; }
KaEnvironmentInfo* SystemRoot::GetEnvironmentInfo() { return &Module().environmentInfo; }
bool SystemRoot::CreateWorkerThread(KaWorkerThread**) { return false; }
bool SystemRoot::CreateThreadPool(int, KaThreadPool**) { return false; }
bool SystemRoot::CreateTaskRunner(int, KaTaskRunner**) { return false; }
KaFileStreamFactory* SystemRoot::GetFileStreams() { return &Module().fileStreams; }
bool SystemRoot::Reserved22() { return true; }
bool SystemRoot::ReadIniFile(const wchar_t*, uint32_t, void*, IniValueCallback) { return false; }
bool SystemRoot::CreateJsonDocument(KaJson**) { return false; }
bool SystemRoot::SetLastErrorMessage(const wchar_t*) { return false; }
bool SystemRoot::GetLastErrorMessage(wchar_t**) { return false; }
KaCpuUsageCounter* SystemRoot::GetCpuUsageCounter() { return Module().cpuUsage; }
bool SystemRoot::CreateMutex(KaMutex**, const wchar_t*) { return false; }
void* SystemRoot::Reserved29() { return nullptr; }

}  // namespace ka

extern "C" __declspec(dllexport) KaSystem* KaGetModule() { return &ka::TheModule().root; }
