// Processes and desktop: child processes, environment blocks, memory
// counters, the Popup Monitor and environment information.
#ifndef KA_PROCESS_H
#define KA_PROCESS_H

#include "object.h"

struct KaStream;

// Called with the child's process handle (owned by the runner) and the
// caller's context; the result is ignored.
typedef bool (*ProcessCallback)(void* process, uintptr_t context);

struct KaMemoryCounters : KaObject {
    virtual uint32_t GetPageFaultCount() = 0;
    virtual void SetPageFaultCount(uint32_t value) = 0;
    virtual uint64_t GetPeakWorkingSetSize() = 0;
    virtual void SetPeakWorkingSetSize(uint64_t value) = 0;
    virtual uint64_t GetWorkingSetSize() = 0;
    virtual void SetWorkingSetSize(uint64_t value) = 0;
    virtual uint64_t GetQuotaPeakPagedPoolUsage() = 0;
    virtual void SetQuotaPeakPagedPoolUsage(uint64_t value) = 0;
    virtual uint64_t GetQuotaPagedPoolUsage() = 0;
    virtual void SetQuotaPagedPoolUsage(uint64_t value) = 0;
    virtual uint64_t GetQuotaPeakNonPagedPoolUsage() = 0;
    virtual void SetQuotaPeakNonPagedPoolUsage(uint64_t value) = 0;
    virtual uint64_t GetQuotaNonPagedPoolUsage() = 0;
    virtual void SetQuotaNonPagedPoolUsage(uint64_t value) = 0;
    virtual uint64_t GetPagefileUsage() = 0;
    virtual void SetPagefileUsage(uint64_t value) = 0;
    virtual uint64_t GetPeakPagefileUsage() = 0;
    virtual void SetPeakPagefileUsage(uint64_t value) = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

struct KaEnvironment : KaObject {
    virtual bool SetVariable(const wchar_t* name, const wchar_t* value) = 0;
    virtual const wchar_t* GetBlock() = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

// Module-owned service; not reference-counted.
struct KaProcessService {
    // The new record has a reference count of ZERO: the caller AddRefs it.
    virtual KaMemoryCounters* CreateMemoryCounters() = 0;
    virtual bool QueryMemoryCounters(KaMemoryCounters* counters) = 0;
    virtual bool CreateEnvironment(KaEnvironment** out) = 0;
    virtual bool CreateEnvironmentFromProcess(KaEnvironment** out) = 0;
    virtual bool RunProcess(const wchar_t* commandLine, const wchar_t* workingDirectory,
                            uint32_t priority, bool showWindow, bool wait, uint32_t* processId,
                            KaStream* input, KaStream* output, uint32_t* exitCode,
                            const void* environment) = 0;
    virtual bool RunProcessWithTimeout(const wchar_t* commandLine, const wchar_t* workingDirectory,
                                       uint32_t priority, bool showWindow, int32_t timeoutSeconds,
                                       uint32_t* processId, KaStream* input, KaStream* output,
                                       uint32_t* exitCode, const void* environment) = 0;
    virtual bool RunProcessWithStderr(const wchar_t* commandLine, const wchar_t* workingDirectory,
                                      uint32_t priority, bool showWindow, int32_t timeoutSeconds,
                                      uint32_t* processId, KaStream* input, KaStream* output,
                                      KaStream* errors, uint32_t* exitCode,
                                      const void* environment, ProcessCallback onTimeout,
                                      uintptr_t timeoutContext) = 0;
    virtual bool RunProcessWithStartCallback(
        const wchar_t* commandLine, const wchar_t* workingDirectory, uint32_t priority,
        bool showWindow, int32_t timeoutSeconds, uint32_t* processId, KaStream* input,
        KaStream* output, KaStream* errors, uint32_t* exitCode, const void* environment,
        ProcessCallback onTimeout, uintptr_t timeoutContext, ProcessCallback onStarted,
        uintptr_t startedContext) = 0;
    virtual bool RunProcessEx(const wchar_t* commandLine, const wchar_t* workingDirectory,
                              uint32_t priority, bool showWindow, bool wait,
                              int32_t timeoutSeconds, uint32_t* processId, KaStream* input,
                              KaStream* output, KaStream* errors, uint32_t* exitCode,
                              const void* environment, ProcessCallback onTimeout,
                              uintptr_t timeoutContext, ProcessCallback onStarted,
                              uintptr_t startedContext, ProcessCallback onFinished,
                              uintptr_t finishedContext) = 0;
};

struct KaPopupMonitor : KaObject {
    virtual bool AddCaption(const wchar_t* text) = 0;
    virtual bool RemoveCaption(const wchar_t* text) = 0;
    virtual bool ClearCaptions() = 0;
    virtual bool AddMessage(const wchar_t* text) = 0;
    virtual bool RemoveMessage(const wchar_t* text) = 0;
    virtual bool ClearMessages() = 0;
    virtual bool AddButton(const wchar_t* text) = 0;
    virtual bool RemoveButton(const wchar_t* text) = 0;
    virtual bool ClearButtons() = 0;
    virtual bool AddProcess(int32_t processId) = 0;
    virtual bool RemoveProcess(uint32_t processId) = 0;
    virtual bool ClearProcesses() = 0;
    virtual void SetInterval(int32_t milliseconds) = 0;
    virtual void SetModalOnly(bool modalOnly) = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

// Implemented by this library, driven by the KaXml sibling; not a KaObject.
struct KaXmlVisitor {
    // attributes: name, value, name, value, ..., then a null name.
    virtual bool StartElement(const wchar_t* name, const wchar_t* const* attributes) = 0;
    virtual bool EndElement() = 0;
    virtual bool Characters(const wchar_t* text, int32_t count) = 0;
};

// Embedded in the module object; not reference-counted.
struct KaEnvironmentInfo {
    // destination holds 32 characters.
    virtual bool GetDotNetVersion(wchar_t* destination) = 0;
    virtual bool GetModuleVersion(const void* addressInModule, uint32_t* major, uint32_t* minor,
                                  uint32_t* revision) = 0;
    virtual bool GetModuleVersionEx(const void* addressInModule, uint32_t* major,
                                    uint32_t* minor, uint32_t* build, uint32_t* revision) = 0;
    virtual bool CreatePopupMonitor(KaPopupMonitor** out) = 0;
    // The array comes from KaSystem::AllocateArray; free it with KaSystem::Free
    // and release each monitor.
    virtual bool CreatePopupMonitorsFromFile(const wchar_t* path, KaPopupMonitor*** monitors,
                                             uint32_t* count) = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

#endif
