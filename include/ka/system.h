// KaSystem: the root interface that KaGetModule returns. Its 30 slots are a
// binary contract with hosts and sibling modules: never reorder them.
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
typedef bool (*IniValueCallback)(const wchar_t* section, const wchar_t* key,
                                 const wchar_t* value, void* context);

// <windows.h> maps CreateMutex to CreateMutexW; the slot keeps its own name.
#pragma push_macro("CreateMutex")
#undef CreateMutex

struct KaSystem {
    // Registers this root as the process-wide system interface.
    virtual bool Initialize() = 0;
    virtual void Uninitialize() = 0;
    virtual int GetVersion() = 0;
    virtual void SetThreadValue(uint32_t value) = 0;
    virtual uint32_t GetThreadValue() = 0;
    virtual void* Allocate(size_t bytes) = 0;
    virtual void* AllocateArray(size_t count, size_t size) = 0;
    // Passes every argument untouched to slot 6 of the KaAllocator sibling.
    virtual intptr_t ForwardAllocatorSlot6(...) = 0;
    virtual void Free(void* block) = 0;
    virtual bool CreateMemoryMappedFile(KaMemoryMappedFile** out, const wchar_t* name,
                                        size_t size) = 0;
    virtual bool CreateUuid(UuidRecord* record) = 0;
    virtual KaStringUtil* GetStringUtil() = 0;
    virtual KaLog* GetLogger() = 0;
    virtual bool CreateLogger(const wchar_t* path, KaLog** out) = 0;
    virtual KaProcessService* GetProcessService() = 0;
    virtual KaSha1* GetHasher() = 0;
    virtual KaFileSystem* GetFileSystem() = 0;
    virtual KaEnvironmentInfo* GetEnvironmentInfo() = 0;
    virtual bool CreateWorkerThread(KaWorkerThread** out) = 0;
    virtual bool CreateThreadPool(int threadCount, KaThreadPool** out) = 0;
    virtual bool CreateTaskRunner(int threadCount, KaTaskRunner** out) = 0;
    virtual KaFileStreamFactory* GetFileStreams() = 0;
    virtual bool Reserved22() = 0;
    virtual bool ReadIniFile(const wchar_t* path, uint32_t codePage, void* context,
                             IniValueCallback callback) = 0;
    virtual bool CreateJsonDocument(KaJson** out) = 0;
    virtual bool SetLastErrorMessage(const wchar_t* message) = 0;
    // The copy comes from AllocateArray; free it with Free.
    virtual bool GetLastErrorMessage(wchar_t** out) = 0;
    virtual KaCpuUsageCounter* GetCpuUsageCounter() = 0;
    // out may be null: the mutex is then created and destroyed again.
    virtual bool CreateMutex(KaMutex** out, const wchar_t* name) = 0;
    virtual void* Reserved29() = 0;
};

#pragma pop_macro("CreateMutex")

// The one export of every module of the family.
typedef KaSystem* (*KaGetModuleFunction)();

#endif
