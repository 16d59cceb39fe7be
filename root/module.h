// The one static module object: the root interface at its head, the embedded
// interfaces beside it, and the members the root's own operations use.
#ifndef KA_ROOT_MODULE_H
#define KA_ROOT_MODULE_H

#include "frame/critical_section.h"
#include "frame/handles.h"
#include "frame/last_error.h"
#include "frame/lazy_service.h"
#include "fs/directory_finder.h"
#include "fs/file_system.h"
#include "fs/stream_factory.h"
#include "ka/ka.h"
#include "process/environment_info.h"
#include "text/string_util.h"

#include <atomic>
#include <cstdint>
#include <map>

namespace ka {

// Interface version of this library's root.
constexpr int kSystemVersion = 118;

class SystemRoot final : public KaSystem {
public:
    bool Initialize() override;
    void Uninitialize() override;
    int GetVersion() override;
    void SetThreadValue(uint32_t value) override;
    uint32_t GetThreadValue() override;
    void* Allocate(size_t bytes) override;
    void* AllocateArray(size_t count, size_t size) override;
    intptr_t ForwardAllocatorSlot6(...) override;
    void Free(void* block) override;
    bool CreateMemoryMappedFile(KaMemoryMappedFile** out, const wchar_t* name,
                                size_t size) override;
    bool CreateUuid(UuidRecord* record) override;
    KaStringUtil* GetStringUtil() override;
    KaLog* GetLogger() override;
    bool CreateLogger(const wchar_t* path, KaLog** out) override;
    KaProcessService* GetProcessService() override;
    KaSha1* GetHasher() override;
    KaFileSystem* GetFileSystem() override;
    KaEnvironmentInfo* GetEnvironmentInfo() override;
    bool CreateWorkerThread(KaWorkerThread** out) override;
    bool CreateThreadPool(int threadCount, KaThreadPool** out) override;
    bool CreateTaskRunner(int threadCount, KaTaskRunner** out) override;
    KaFileStreamFactory* GetFileStreams() override;
    bool Reserved22() override;
    bool ReadIniFile(const wchar_t* path, uint32_t codePage, void* context,
                     IniValueCallback callback) override;
    bool CreateJsonDocument(KaJson** out) override;
    bool SetLastErrorMessage(const wchar_t* message) override;
    bool GetLastErrorMessage(wchar_t** out) override;
    KaCpuUsageCounter* GetCpuUsageCounter() override;
    bool CreateMutex(KaMutex** out, const wchar_t* name) override;
    void* Reserved29() override;

private:
    struct ModuleObject& Module();
};

// Field order is part of the design: the embedded interfaces find their
// neighbours by position (see frame/neighbour.h).
struct ModuleObject {
    SystemRoot root;                // what KaGetModule returns
    StringUtil stringUtil;          // right after the root
    FixedLocale* locale = nullptr;  // "de-CH"; null when unavailable
    LastErrorMap* lastErrors = nullptr;
    KaAllocator* allocator = nullptr;  // the KaAllocator sibling's root
    LazyService<KaLog> logger;         // process-wide
    LazyService<KaProcessService> processService;
    LazyService<KaCpuUsageCounter> cpuUsage;
    LazyService<KaSha1> hasher;
    FileSystem fileSystem;
    DirectoryFinder directoryFinder;  // right after the file system
    FileStreamFactory fileStreams;
    EnvironmentInfo environmentInfo;
    UniqueLibrary advapi;
    void* regGetValue = nullptr;  // RegGetValueW, looked up at run time
    // Taken to make the lazy services and to stop or restart the CPU
    // counter's sampling; recursive, as making the logger makes others.
    CriticalSection rootLock;
    CriticalSection lastErrorLock;
    TlsSlot threadValueSlot;  // thread-local slot of Set/GetThreadValue
};

// The built module object (built on the first call).
ModuleObject& TheModule();

// Destroys the lazily created services and the module's own resources; run
// once, from DllMain, under the loader lock (the rule is beside it in
// module.cpp).
void ShutDownModule(bool processExiting);

}  // namespace ka

#endif
