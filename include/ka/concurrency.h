// Concurrency: named cross-process mutexes, thread pools, task graphs,
// worker threads and the CPU-usage counter.
#ifndef KA_CONCURRENCY_H
#define KA_CONCURRENCY_H

#include "object.h"

// Returns true to go on waiting, false to give up.
typedef bool (*MutexWaitCallback)(uintptr_t context);

// A named mutex in the global namespace, shared by every process of the machine.
// Ownership is the thread's and recursive: each successful lock needs an Unlock.
// seconds: the length of one wait (below 1: no limit); an abandoned mutex is obtained.
struct KaMutex : KaObject {
    // Waits; after each timed-out wait asks callback (null: logs progress and waits on).
    // False, without ownership, when the callback gives up.
    virtual bool LockWithCallback(MutexWaitCallback callback, uintptr_t context,
                                  int32_t seconds) = 0;
    // Waits until owned, logging message (or a default) after each timed-out wait.
    virtual bool Lock(const wchar_t* message, int32_t seconds) = 0;
    // Releases ownership; false (logged) when the calling thread does not own it.
    virtual bool Unlock() = 0;
    // The full kernel name ("Global\..."); owned by the object.
    virtual const wchar_t* GetName() = 0;
    // Run by the last Release: closes the handle without releasing ownership first.
    virtual void Destroy(uint32_t flags) = 0;
};

// A fixed set of threads running registered functions in arrival order.
// Release it from a thread that is not one of its own.
struct KaThreadPool : KaObject {
    // Threads not running a task right now.
    virtual uint32_t GetIdleThreadCount() = 0;
    // The fixed number of threads.
    virtual int32_t GetThreadCount() = 0;
    // Tasks waiting for a thread.
    virtual uint32_t GetQueuedTaskCount() = 0;
    // Queues function(threadData, argument); cleanup(argument) runs after it or when the
    // task is cancelled. taskId (may be null) gets 0, 1, 2, ... Always true.
    virtual bool RegisterTask(TaskFunction function, uintptr_t argument, CleanupFunction cleanup,
                              int32_t* taskId) = 0;
    // Removes a still-queued task, running only its cleanup (under the pool's lock: it must
    // not call the pool); false when the task is not queued.
    virtual bool CancelTask(int32_t taskId) = 0;
    // CancelTask of every queued task; running ones go on. Always true.
    virtual bool CancelAllTasks() = 0;
    // state: 0 queued, 1 running, 2 neither.
    virtual bool GetTaskState(int32_t taskId, uint32_t* state) = 0;
    // The data handed to every task on thread threadIndex; cleanup(data) runs when it is
    // replaced or at teardown. False (logged) once any task has been registered.
    virtual bool SetData(int32_t threadIndex, uintptr_t data, CleanupFunction cleanup) = 0;
    // Nothing queued and nothing running.
    virtual bool IsIdle() = 0;
    // Returns once nothing is queued or running; always true.
    virtual bool WaitForAllTasks() = 0;
    // Run by the last Release: runs all queued work to the end, stops the threads, then
    // cleans up each thread's data.
    virtual void Destroy(uint32_t flags) = 0;
};

struct KaTask;

// Runs a graph of tasks on a pool of its own. Keep it alive while its tasks are in use.
struct KaTaskRunner : KaObject {
    // The runner's pool, without an added reference (set per-thread data before submitting).
    virtual KaThreadPool* GetThreadPool() = 0;
    // Hands out a new task of this runner with one reference; the caller releases it
    // (keep it until the task has finished).
    virtual bool CreateTask(KaTask** out) = 0;
    // Run by the last Release: tasks still waiting never run, and the references that
    // tie them into cycles are dropped (no other dependents); then waits for the pool.
    virtual void Destroy(uint32_t flags) = 0;
};

// state: 0 created, 1 waiting for prerequisites, 2 queued, 3 running, 4 finished. A task
// reads 4 only once the tasks it freed are queued, so one of those may start while it still
// reads 3 (its result is final by then).
struct KaTask : KaObject {
    // Sets the work and its data; cleanup(data) runs when it is replaced or at destruction.
    // False once the task is queued.
    virtual bool SetFunction(TaskFunction function, uintptr_t data, CleanupFunction cleanup) = 0;
    // The runner, without an added reference.
    virtual KaTaskRunner* GetRunner() = 0;
    // This task runs only after prerequisite (of the same runner) has finished. False
    // (logged) once this task is queued. Cycles are not detected: they never run. The
    // prerequisite holds a reference on this task until the prerequisite is destroyed.
    virtual bool AddDependency(KaTask* prerequisite) = 0;
    // Hands the task to the pool as soon as its prerequisites have finished; false when it
    // was submitted before.
    virtual bool Submit() = 0;
    // The data.
    virtual uintptr_t GetData() = 0;
    // The data, now no longer the task's: its cleanup will not run.
    virtual uintptr_t DetachData() = 0;
    // The state (see above).
    virtual uint32_t GetState() = 0;
    // The function's result once finished (0 without a function, -9999 if the pool refused).
    virtual int32_t GetResult() = 0;
    // Run by the last Release: cleans up the data.
    virtual void Destroy(uint32_t flags) = 0;
};

// One long-lived thread that runs one function at a time. Release it from another thread.
struct KaWorkerThread : KaObject {
    // The data handed to every run; cleanup(data) runs when it is replaced (even by the
    // same value) or at teardown. Set it while the worker is idle. Always true.
    virtual bool SetData(uintptr_t data, CleanupFunction cleanup) = 0;
    // Ready for Run.
    virtual bool IsIdle() = 0;
    // Starts function(data, argument) and returns at once; cleanup(argument) runs after it.
    // False while a run is in progress. The function must not call this worker. A request
    // not yet picked up when the last reference goes is neither run nor cleaned up: Wait
    // first when the argument must be cleaned up.
    virtual bool Run(TaskFunction function, uintptr_t argument, CleanupFunction cleanup) = 0;
    // The result of the last completed run (0 before any).
    virtual int32_t GetResult() = 0;
    // Returns once the current run, if any, has finished; always true.
    virtual bool Wait() = 0;
    // Run by the last Release: waits for a run in progress, ends the thread, cleans up data.
    virtual void Destroy(uint32_t flags) = 0;
};

// Module-owned service; not reference-counted.
struct KaCpuUsageCounter {
    // usage: total processor load in percent (0 during the first 2 s), processorCount: the
    // logical processors; either may be null.
    virtual bool GetCpuUsage(double* usage, uint32_t* processorCount) = 0;
    // The module's own teardown; hosts never call it.
    virtual void Destroy(uint32_t flags) = 0;
};

#endif
