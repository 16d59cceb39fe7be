// KaSystem: the root interface that KaGetModule returns. Its 30 slots are a
// binary contract with hosts and sibling modules: never reorder them.
// Call Initialize before any other slot except GetVersion; Uninitialize is
// the last call. The root is owned by the module: never release it.
#ifndef KA_SYSTEM_H
#define KA_SYSTEM_H

#include "object.h"

struct KaStringUtil;
struct KaLog;
struct KaProcessService;
struct KaSha1;
struct KaFileSystem;
struct KaEnvironmentInfo;
struct KaWorkerThread;
struct KaThreadPool;
struct KaTaskRunner;
struct KaFileStreamFactory;
struct KaJson;
struct KaCpuUsageCounter;
struct KaMutex;
struct KaMemoryMappedFile;

// Laid out like the platform's UUID structure.
struct UuidRecord {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

// Returns false to stop reading. The texts live only during the call.
typedef bool (*IniValueCallback)(const wchar_t* section, const wchar_t* key, const wchar_t* value,
                                 void* context);

// <windows.h> maps CreateMutex to CreateMutexW (or CreateMutexA); the slot keeps its own
// name, and two inline forwarders below take the call under either spelling, so
// system->CreateMutex(...) compiles whether <windows.h> comes before or after this header.
#pragma push_macro("CreateMutex")
#undef CreateMutex

struct KaSystem {
    // Registers this root as the process-wide system interface; always true.
    virtual bool Initialize() = 0;
    // Clears the registered interface.
    virtual void Uninitialize() = 0;
    // The interface version: 118.
    virtual int GetVersion() = 0;
    // Stores a value that only the calling thread sees.
    virtual void SetThreadValue(uint32_t value) = 0;
    // The calling thread's value; 0 in a thread that never set one.
    virtual uint32_t GetThreadValue() = 0;
    // A block from the KaAllocator sibling; free it with Free. Null without an allocator.
    virtual void* Allocate(size_t bytes) = 0;
    // count x size bytes from the KaAllocator sibling; free them with Free. Null without one.
    virtual void* AllocateArray(size_t count, size_t size) = 0;
    // Passes every argument untouched to slot 6 of the KaAllocator sibling, which gives it
    // its meaning (ours: the number of live blocks).
    virtual intptr_t ForwardAllocatorSlot6(...) = 0;
    // Frees what Allocate, AllocateArray or any service handed out as a buffer.
    virtual void Free(void* block) = 0;
    // Hands out a shared-memory block (null name: unnamed) with one reference; the caller
    // releases it. An existing name is opened, contents kept. out must not be null.
    virtual bool CreateMemoryMappedFile(KaMemoryMappedFile** out, const wchar_t* name,
                                        size_t size) = 0;
    // Fills the record with a new UUID; false, record untouched, if the generator fails.
    virtual bool CreateUuid(UuidRecord* record) = 0;
    // The text service; owned by the module: never release.
    virtual KaStringUtil* GetStringUtil() = 0;
    // The process-wide logger, configured from KAV_QMT_LOG_* on the first call; owned by
    // the module: never release (its AddRef and Release do nothing).
    virtual KaLog* GetLogger() = 0;
    // Hands out a private logger on path with one reference; the caller releases it.
    // True even when the file could not be opened: that logger writes nowhere.
    virtual bool CreateLogger(const wchar_t* path, KaLog** out) = 0;
    // Created on the first call; owned by the module: never release.
    virtual KaProcessService* GetProcessService() = 0;
    // Created on the first call; owned by the module: never release.
    virtual KaSha1* GetHasher() = 0;
    // Owned by the module: never release.
    virtual KaFileSystem* GetFileSystem() = 0;
    // Owned by the module: never release.
    virtual KaEnvironmentInfo* GetEnvironmentInfo() = 0;
    // Hands out a started worker with one reference; the caller releases it.
    virtual bool CreateWorkerThread(KaWorkerThread** out) = 0;
    // Hands out a pool of threadCount threads (at least 1) with one reference; the caller
    // releases it.
    virtual bool CreateThreadPool(int threadCount, KaThreadPool** out) = 0;
    // Hands out a runner with a pool of its own (as CreateThreadPool) with one reference;
    // the caller releases it.
    virtual bool CreateTaskRunner(int threadCount, KaTaskRunner** out) = 0;
    // Owned by the module: never release.
    virtual KaFileStreamFactory* GetFileStreams() = 0;
    // Does nothing; always true.
    virtual bool Reserved22() = 0;
    // Calls back per key=value line, in file order, with its section ("" before the first);
    // codePage is the file's encoding. False for a missing file or a callback's false.
    virtual bool ReadIniFile(const wchar_t* path, uint32_t codePage, void* context,
                             IniValueCallback callback) = 0;
    // Hands out an empty document (null root) with one reference; the caller releases it.
    virtual bool CreateJsonDocument(KaJson** out) = 0;
    // Keeps message for the calling thread (null or empty removes it), in the shared section
    // "KAV_LAST_ERROR_<pid>_<tid>"; a read in the process drops messages older than 10 s.
    virtual bool SetLastErrorMessage(const wchar_t* message) = 0;
    // The calling thread's message, copied with AllocateArray: free it with Free. False,
    // out set to null, when the thread has none.
    virtual bool GetLastErrorMessage(wchar_t** out) = 0;
    // Created on the first call; owned by the module: never release.
    virtual KaCpuUsageCounter* GetCpuUsageCounter() = 0;
    // Hands out the mutex "Global\" + name (its backslashes made '_') with one reference; the
    // caller releases it. A null out creates the mutex and destroys it again.
    virtual bool CreateMutex(KaMutex** out, const wchar_t* name) = 0;
    // Always null.
    virtual void* Reserved29() = 0;

    // Not slots (no table entry): the names <windows.h> turns CreateMutex into.
    bool CreateMutexW(KaMutex** out, const wchar_t* name) { return CreateMutex(out, name); }
    bool CreateMutexA(KaMutex** out, const wchar_t* name) { return CreateMutex(out, name); }
};

#pragma pop_macro("CreateMutex")

// The one export of every module of the family.
typedef KaSystem* (*KaGetModuleFunction)();

#endif
