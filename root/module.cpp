#include "root/module.h"

#include "concurrency/cpu_usage.h"
#include "concurrency/mutex.h"
#include "concurrency/task_runner.h"
#include "concurrency/thread_pool.h"
#include "concurrency/worker_thread.h"
#include "data/json.h"
#include "data/sha1.h"
#include "frame/ini_reader.h"
#include "frame/loader.h"
#include "frame/neighbour.h"
#include "frame/services.h"
#include "fs/memory_mapped_file.h"
#include "log/logger.h"
#include "process/process_service.h"

#include <rpc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
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
// StringUtil reads the locale as its neighbour.
static_assert(offsetof(ModuleObject, locale) == 2 * sizeof(void*));
static_assert(offsetof(ModuleObject, directoryFinder) ==
              offsetof(ModuleObject, fileSystem) + sizeof(void*));
// ForwardAllocatorSlot6 reads the allocator at this fixed offset from the root.
static_assert(offsetof(ModuleObject, allocator) == 32);
// EnvironmentInfo reads the RegGetValueW address as its neighbour.
static_assert(offsetof(ModuleObject, regGetValue) ==
              offsetof(ModuleObject, environmentInfo) + EnvironmentInfo::kRegistryReaderOffset);
#pragma GCC diagnostic pop

ModuleObject* BuildModule() {
    // The tables of the root and of every embedded interface are set, and the
    // lazily created members are null, as the object is constructed.
    auto* module = new (g_moduleStorage) ModuleObject();
    module->locale = CreateFixedLocale();
    module->advapi.reset(LoadSystemLibrary(L"Advapi32.dll"));
    module->regGetValue = ResolveExport<void*>(module->advapi.get(), "RegGetValueW");
    module->lastErrors = new (std::nothrow) std::map<uint32_t, LastErrorEntry>();
    module->threadValueSlot.GetOrAllocate();
    module->allocator = static_cast<KaAllocator*>(LoadSiblingModule("KaAllocator", false));
    g_module = module;
    return module;
}

}  // namespace

// The shut-down: DllMain runs it (root/dll_main.cpp) when the library is
// unloaded (FreeLibrary of the last reference) or the process ends; in both
// cases the system holds its loader lock. The rule every step follows:
//
//  - Never wait for a thread, join one, or start one: a thread cannot finish
//    exiting while the loader lock is held, so any such wait can deadlock.
//    Signalling (SetEvent, a flag) is fine.
//  - Every thread the library starts pins the module (StartLibraryThread) and
//    leaves through FreeLibraryAndExitThread. So on FreeLibrary this runs only
//    when no thread of ours can still execute library code: a host that
//    unloads with a pool or worker alive only drops its own reference, and the
//    unload happens when the last such thread leaves (on that thread, which
//    then waits for nothing). A service the module owns whose thread would
//    otherwise pin it forever (the CPU counter's sampler) is told to stop by
//    Uninitialize, the host's last call, without waiting (a later Initialize
//    starts it again).
//  - At process exit (processExiting) every other thread is already gone,
//    possibly in the middle of a call: a step must not wait for, or hand work
//    to, a thread, and must not assume a service's worker finished its job.
//
// Steps, in this order (a service taken here is never made again):
//  1. the process service (process/), 2. the SHA-1 service (data/),
//  3. the CPU counter (concurrency/), 4. the process-wide logger, which writes
//  its last line and must not re-create any service destroyed above,
//  5. the last-error store, 6. the two critical sections, 7. Advapi32,
//  8. the "de-CH" locale, 9. the thread-value slot. The allocator stays
//  loaded and the registered interface stays set: the logger's last line may
//  still need them.
void ShutDownModule(bool processExiting) {
    if (g_module == nullptr) return;
    ModuleObject& module = *g_module;
    DestroyProcessService(module.processService.Take());
    DestroyHasher(module.hasher.Take());
    DestroyCpuUsageCounter(module.cpuUsage.Take(), processExiting);
    DestroyProcessLogger(module.logger.Take());
    if (module.lastErrors != nullptr) {
        for (auto& [thread, entry] : *module.lastErrors) entry.section.reset();
        delete module.lastErrors;
        module.lastErrors = nullptr;
    }
    // The module object is never destroyed as a whole; its locks end here.
    std::destroy_at(&module.lastErrorLock);
    std::destroy_at(&module.rootLock);
    module.regGetValue = nullptr;
    module.advapi.reset();
    FreeFixedLocale(std::exchange(module.locale, nullptr));
    module.threadValueSlot.reset();
}

ModuleObject& TheModule() {
    static ModuleObject* const module = BuildModule();  // once, even under racing callers
    return *module;
}

ModuleObject& SystemRoot::Module() { return *reinterpret_cast<ModuleObject*>(this); }

bool SystemRoot::Initialize() {
    RegisterSystem(this);
    ScopedLock hold(Module().rootLock);
    ResumeCpuUsageSampling(Module().cpuUsage.Peek());  // stopped by an earlier Uninitialize
    return true;
}

void SystemRoot::Uninitialize() {
    {
        ScopedLock hold(Module().rootLock);
        StopCpuUsageSampling(Module().cpuUsage.Peek());  // the sampler's hold on the module ends
    }
    RegisterSystem(nullptr);
}

int SystemRoot::GetVersion() { return kSystemVersion; }

void SystemRoot::SetThreadValue(uint32_t value) {
    ::TlsSetValue(Module().threadValueSlot.get(),
                  reinterpret_cast<void*>(static_cast<uintptr_t>(value)));
}

uint32_t SystemRoot::GetThreadValue() {
    return static_cast<uint32_t>(
        reinterpret_cast<uintptr_t>(::TlsGetValue(Module().threadValueSlot.get())));
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
    if (KaAllocator* allocator = Module().allocator) allocator->Free(block);  // the slot itself
}

// A true pass-through: rcx (this = the module object) becomes the allocator's
// root and control jumps to its slot 6 with every other register and stack
// argument untouched, so the allocator's own signature decides what they are.
// Written as a whole function in assembly rather than a naked C++ one: for a
// variadic naked function GCC still spills rdx/r8/r9, and without
// optimisation it spills them through rbp, i.e. into the caller's frame.
asm(".text\n"
    ".globl _ZN2ka10SystemRoot21ForwardAllocatorSlot6Ez\n"
    ".def _ZN2ka10SystemRoot21ForwardAllocatorSlot6Ez; .scl 2; .type 32; .endef\n"
    "_ZN2ka10SystemRoot21ForwardAllocatorSlot6Ez:\n\t"
    "movq 32(%rcx), %rcx\n\t"  // ModuleObject::allocator
    "testq %rcx, %rcx\n\t"
    "jz 1f\n\t"
    "movq (%rcx), %rax\n\t"
    "jmp *48(%rax)\n"  // slot 6
    "1:\n\t"
    "xorl %eax, %eax\n\t"
    "ret\n");

bool SystemRoot::CreateMemoryMappedFile(KaMemoryMappedFile** out, const wchar_t* name,
                                        size_t size) {
    return CreateMemoryMappedFileObject(out, name, size);
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
    ModuleObject& module = Module();
    return module.logger.Get(module.rootLock, &CreateProcessLogger);
}

bool SystemRoot::CreateLogger(const wchar_t* path, KaLog** out) {
    if (path == nullptr || out == nullptr) return false;
    return CreatePrivateLogger(path, out);
}

KaProcessService* SystemRoot::GetProcessService() {
    ModuleObject& module = Module();
    return module.processService.Get(module.rootLock, &MakeProcessService);
}

KaSha1* SystemRoot::GetHasher() {
    ModuleObject& module = Module();
    return module.hasher.Get(module.rootLock, &MakeHasher);
}

KaFileSystem* SystemRoot::GetFileSystem() { return &Module().fileSystem; }
KaEnvironmentInfo* SystemRoot::GetEnvironmentInfo() { return &Module().environmentInfo; }
bool SystemRoot::CreateWorkerThread(KaWorkerThread** out) { return MakeWorkerThread(out); }
bool SystemRoot::CreateThreadPool(int n, KaThreadPool** out) { return MakeThreadPool(n, out); }
bool SystemRoot::CreateTaskRunner(int n, KaTaskRunner** out) { return MakeTaskRunner(n, out); }
KaFileStreamFactory* SystemRoot::GetFileStreams() { return &Module().fileStreams; }
bool SystemRoot::Reserved22() { return true; }
bool SystemRoot::ReadIniFile(const wchar_t* path, uint32_t codePage, void* context,
                             IniValueCallback callback) {
    ModuleObject& module = Module();
    return ReadIni(module.fileSystem, module.fileStreams, module.stringUtil, path, codePage,
                   context, callback);
}
bool SystemRoot::CreateJsonDocument(KaJson** out) { return CreateJson(out); }
bool SystemRoot::SetLastErrorMessage(const wchar_t* message) {
    return StoreLastErrorMessage(*this, Module().lastErrorLock, Module().lastErrors, message);
}
bool SystemRoot::GetLastErrorMessage(wchar_t** out) {
    return ReadLastErrorMessage(Module().lastErrorLock, Module().lastErrors, out);
}
KaCpuUsageCounter* SystemRoot::GetCpuUsageCounter() {
    ModuleObject& module = Module();
    return module.cpuUsage.Get(module.rootLock, &MakeCpuUsageCounter);
}
bool SystemRoot::CreateMutex(KaMutex** out, const wchar_t* name) { return MakeMutex(out, name); }
void* SystemRoot::Reserved29() { return nullptr; }

}  // namespace ka

extern "C" __declspec(dllexport) KaSystem* KaGetModule() { return &ka::TheModule().root; }
