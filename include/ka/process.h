// Processes and desktop: child processes, environment blocks, memory
// counters, the Popup Monitor and environment information.
#ifndef KA_PROCESS_H
#define KA_PROCESS_H

#include "object.h"

struct KaStream;

// Called with the child's process handle (owned by the runner) and the
// caller's context; the result is ignored.
typedef bool (*ProcessCallback)(void* process, uintptr_t context);

// The process's memory counters: the fields of PROCESS_MEMORY_COUNTERS (sizes in
// bytes), all 0 when made, filled by KaProcessService::QueryMemoryCounters. Each
// getter returns its field and each setter stores it; nothing else happens.
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
    // Run by the last Release.
    virtual void Destroy(uint32_t flags) = 0;
};

// An environment block under construction; names are case-sensitive and sorted
// by UTF-16 code unit. One thread at a time.
struct KaEnvironment : KaObject {
    // Sets name=value; a null or empty value removes name. False for an empty name.
    virtual bool SetVariable(const wchar_t* name, const wchar_t* value) = 0;
    // The double-null-terminated block for the run slots; owned by the object, valid until
    // the next SetVariable or GetBlock.
    virtual const wchar_t* GetBlock() = 0;
    // Run by the last Release.
    virtual void Destroy(uint32_t flags) = 0;
};

// Module-owned service; not reference-counted.
//
// The run slots start commandLine (a missing working directory is created; null
// inherits the caller's), feed it input's whole content and, while waiting, drain its
// output into output and errors (null: not captured), pumping the calling thread's
// window messages once a second (at most one message per second is taken, translated and
// dispatched; a WM_QUIT among them is taken like any other and thereby consumed, so a
// host that posts one to a thread that runs a process posts it again afterwards);
// callbacks run on the calling thread.
// timeoutSeconds: 0 starts without waiting, other values up to 1 wait without limit,
// more kills the child after that long (exit code 170000). priority: 1 idle, 2 normal,
// 3 high, else none. environment: a KaEnvironment block, or null to inherit.
// True when the child exited with 0 (or was started without waiting); exitCode gets
// the child's code or the system's error code.
struct KaProcessService {
    // The new record has a reference count of ZERO: the caller takes it with AddRef.
    virtual KaMemoryCounters* CreateMemoryCounters() = 0;
    // Fills counters (a record from CreateMemoryCounters) for the current process in place;
    // false when the system query is unavailable. True whenever the query was made: a
    // failed query leaves in the record whatever the system wrote.
    virtual bool QueryMemoryCounters(KaMemoryCounters* counters) = 0;
    // Hands out an empty environment with one reference; the caller releases it.
    virtual bool CreateEnvironment(KaEnvironment** out) = 0;
    // Hands out a copy of this process's environment (without the hidden "=C:" entries)
    // with one reference; the caller releases it.
    virtual bool CreateEnvironmentFromProcess(KaEnvironment** out) = 0;
    // wait: true waits without limit, false returns once the child is started.
    virtual bool RunProcess(const wchar_t* commandLine, const wchar_t* workingDirectory,
                            uint32_t priority, bool showWindow, bool wait, uint32_t* processId,
                            KaStream* input, KaStream* output, uint32_t* exitCode,
                            const void* environment) = 0;
    // Runs with a time-out; standard error is not captured.
    virtual bool RunProcessWithTimeout(const wchar_t* commandLine, const wchar_t* workingDirectory,
                                       uint32_t priority, bool showWindow, int32_t timeoutSeconds,
                                       uint32_t* processId, KaStream* input, KaStream* output,
                                       uint32_t* exitCode, const void* environment) = 0;
    // Also captures standard error; onTimeout runs before the child is killed.
    virtual bool RunProcessWithStderr(const wchar_t* commandLine, const wchar_t* workingDirectory,
                                      uint32_t priority, bool showWindow, int32_t timeoutSeconds,
                                      uint32_t* processId, KaStream* input, KaStream* output,
                                      KaStream* errors, uint32_t* exitCode, const void* environment,
                                      ProcessCallback onTimeout, uintptr_t timeoutContext) = 0;
    // Also calls onStarted right after the child was created.
    virtual bool RunProcessWithStartCallback(const wchar_t* commandLine,
                                             const wchar_t* workingDirectory, uint32_t priority,
                                             bool showWindow, int32_t timeoutSeconds,
                                             uint32_t* processId, KaStream* input, KaStream* output,
                                             KaStream* errors, uint32_t* exitCode,
                                             const void* environment, ProcessCallback onTimeout,
                                             uintptr_t timeoutContext, ProcessCallback onStarted,
                                             uintptr_t startedContext) = 0;
    // The full form: wait is chosen on its own (timeoutSeconds then only limits it, up to 1:
    // no limit); onFinished runs after the wait, however it ended.
    virtual bool RunProcessEx(const wchar_t* commandLine, const wchar_t* workingDirectory,
                              uint32_t priority, bool showWindow, bool wait, int32_t timeoutSeconds,
                              uint32_t* processId, KaStream* input, KaStream* output,
                              KaStream* errors, uint32_t* exitCode, const void* environment,
                              ProcessCallback onTimeout, uintptr_t timeoutContext,
                              ProcessCallback onStarted, uintptr_t startedContext,
                              ProcessCallback onFinished, uintptr_t finishedContext) = 0;
};

// Closes matching dialog boxes (WM_CLOSE) on a worker thread of its own, every interval.
// Texts compare without regard to case.
struct KaPopupMonitor : KaObject {
    // Adds a caption rule (with rules, only windows of such a caption count); false for a
    // null or empty text.
    virtual bool AddCaption(const wchar_t* text) = 0;
    // Removes a caption rule; false for a null or empty text.
    virtual bool RemoveCaption(const wchar_t* text) = 0;
    // Removes every caption rule; always true.
    virtual bool ClearCaptions() = 0;
    // Adds a message rule (with rules, only dialogs whose static and edit texts, joined by
    // single blanks, equal one count); false for a null or empty text.
    virtual bool AddMessage(const wchar_t* text) = 0;
    // Removes a message rule; false for a null or empty text.
    virtual bool RemoveMessage(const wchar_t* text) = 0;
    // Removes every message rule; always true.
    virtual bool ClearMessages() = 0;
    // Adds a button rule, '&' ignored (with rules, only dialogs with such a button are
    // closed); false for a null or empty text.
    virtual bool AddButton(const wchar_t* text) = 0;
    // Removes a button rule; false for a null or empty text.
    virtual bool RemoveButton(const wchar_t* text) = 0;
    // Removes every button rule; always true.
    virtual bool ClearButtons() = 0;
    // Watches that process's windows; negative: every process. Until then nothing is.
    virtual bool AddProcess(int32_t processId) = 0;
    // Stops watching that process; always true.
    virtual bool RemoveProcess(uint32_t processId) = 0;
    // Watches no process; always true.
    virtual bool ClearProcesses() = 0;
    // Pause between scans (default 10000 ms; the sign is dropped), from the next pause on.
    virtual void SetInterval(int32_t milliseconds) = 0;
    // true (default): only owned windows whose owner is disabled, as modal dialogs are.
    virtual void SetModalOnly(bool modalOnly) = 0;
    // Run by the last Release: waits for a running scan and the worker to end.
    virtual void Destroy(uint32_t flags) = 0;
};

// Implemented by this library, driven by the KaXml sibling; not a KaObject.
struct KaXmlVisitor {
    // attributes: name, value, name, value, ..., then a null name.
    virtual bool StartElement(const wchar_t* name, const wchar_t* const* attributes) = 0;
    // The element opened last ends.
    virtual bool EndElement() = 0;
    // count characters of text, not null-terminated; may come in several pieces.
    virtual bool Characters(const wchar_t* text, int32_t count) = 0;
};

// Embedded in the module object; not reference-counted.
struct KaEnvironmentInfo {
    // The installed .NET Framework version from the registry (release 4's when present);
    // destination holds 32 characters.
    virtual bool GetDotNetVersion(wchar_t* destination) = 0;
    // The version of the module that contains the address; each number may be null.
    virtual bool GetModuleVersion(const void* addressInModule, uint32_t* major, uint32_t* minor,
                                  uint32_t* revision) = 0;
    // As GetModuleVersion, with the build number too.
    virtual bool GetModuleVersionEx(const void* addressInModule, uint32_t* major, uint32_t* minor,
                                    uint32_t* build, uint32_t* revision) = 0;
    // Hands out a running monitor with one reference; the caller releases it.
    virtual bool CreatePopupMonitor(KaPopupMonitor** out) = 0;
    // Creates the running monitors an XML file describes (read by the KaXml sibling). The
    // array comes from KaSystem::AllocateArray, with one entry per Monitor element (none for
    // a document without one: the array may then be null); free it with KaSystem::Free,
    // release each monitor.
    virtual bool CreatePopupMonitorsFromFile(const wchar_t* path, KaPopupMonitor*** monitors,
                                             uint32_t* count) = 0;
    // The module's own teardown; hosts never call it.
    virtual void Destroy(uint32_t flags) = 0;
};

#endif
