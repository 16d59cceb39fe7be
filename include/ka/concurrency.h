// Concurrency: named cross-process mutexes, thread pools, task graphs,
// worker threads and the CPU-usage counter.
#ifndef KA_CONCURRENCY_H
#define KA_CONCURRENCY_H

#include "object.h"

// Returns true to go on waiting, false to give up.
typedef bool (*MutexWaitCallback)(uintptr_t context);

struct KaMutex : KaObject {
    virtual bool LockWithCallback(MutexWaitCallback callback, uintptr_t context,
                                  int32_t seconds) = 0;
    virtual bool Lock(const wchar_t* message, int32_t seconds) = 0;
    virtual bool Unlock() = 0;
    virtual const wchar_t* GetName() = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

struct KaThreadPool : KaObject {
    virtual uint32_t GetIdleThreadCount() = 0;
    virtual int32_t GetThreadCount() = 0;
    virtual uint32_t GetQueuedTaskCount() = 0;
    virtual bool RegisterTask(TaskFunction function, uintptr_t argument, CleanupFunction cleanup,
                              int32_t* taskId) = 0;
    virtual bool CancelTask(int32_t taskId) = 0;
    virtual bool CancelAllTasks() = 0;
    // state: 0 queued, 1 running, 2 neither.
    virtual bool GetTaskState(int32_t taskId, uint32_t* state) = 0;
    virtual bool SetData(int32_t threadIndex, uintptr_t data, CleanupFunction cleanup) = 0;
    virtual bool IsIdle() = 0;
    virtual bool WaitForAllTasks() = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

struct KaTask;

struct KaTaskRunner : KaObject {
    virtual KaThreadPool* GetThreadPool() = 0;
    virtual bool CreateTask(KaTask** out) = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

struct KaTask : KaObject {
    virtual bool SetFunction(TaskFunction function, uintptr_t data, CleanupFunction cleanup) = 0;
    virtual KaTaskRunner* GetRunner() = 0;
    virtual bool AddDependency(KaTask* prerequisite) = 0;
    virtual bool Submit() = 0;
    virtual uintptr_t GetData() = 0;
    virtual uintptr_t DetachData() = 0;
    virtual uint32_t GetState() = 0;
    virtual int32_t GetResult() = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

struct KaWorkerThread : KaObject {
    virtual bool SetData(uintptr_t data, CleanupFunction cleanup) = 0;
    virtual bool IsIdle() = 0;
    virtual bool Run(TaskFunction function, uintptr_t argument, CleanupFunction cleanup) = 0;
    virtual int32_t GetResult() = 0;
    virtual bool Wait() = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

// Module-owned service; not reference-counted.
struct KaCpuUsageCounter {
    virtual bool GetCpuUsage(double* usage, uint32_t* processorCount) = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

#endif
