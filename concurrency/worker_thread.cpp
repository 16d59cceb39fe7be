#include "concurrency/worker_thread.h"

#include "concurrency/thread_pool.h"
#include "frame/critical_section.h"
#include "frame/handles.h"
#include "frame/library_thread.h"
#include "frame/ref_counted.h"
#include "frame/services.h"

#include <atomic>

namespace ka {
namespace {

enum WorkerState : uint32_t { kStarting = 0, kIdle = 1, kBusy = 2, kStopping = 3 };

// How long one wait for the new thread's "ready" may take before the start
// is given up.
constexpr DWORD kReadyWaitMs = 60000;

class WorkerThread final : public RefCounted<WorkerThread, KaWorkerThread> {
public:
    ~WorkerThread();
    bool Start();

    bool SetData(uintptr_t data, CleanupFunction cleanup) override;
    bool IsIdle() override { return state_.load(std::memory_order_acquire) == kIdle; }
    bool Run(TaskFunction function, uintptr_t argument, CleanupFunction cleanup) override;
    int32_t GetResult() override { return result_.load(std::memory_order_acquire); }
    bool Wait() override;
    void Destroy(uint32_t flags) override;

private:
    static void ThreadMain(void* worker) { static_cast<WorkerThread*>(worker)->Loop(); }
    void Loop();
    bool OnOwnThread() const { return threadId_ != 0 && threadId_ == ::GetCurrentThreadId(); }

    UniqueHandle thread_;
    DWORD threadId_ = 0;
    CriticalSection lock_;
    CONDITION_VARIABLE signal_ = CONDITION_VARIABLE_INIT;  // every state change wakes all
    TaskFunction function_ = nullptr;
    uintptr_t argument_ = 0;
    CleanupFunction argumentCleanup_ = nullptr;
    uintptr_t data_ = 0;
    CleanupFunction dataCleanup_ = nullptr;
    std::atomic<int32_t> result_{0};
    std::atomic<uint32_t> state_{kStarting};
};

bool WorkerThread::Start() {
    if (thread_) return false;
    ScopedLock hold(lock_);
    state_.store(kStarting, std::memory_order_release);
    thread_ = StartLibraryThread(&ThreadMain, this);
    if (!thread_) return false;
    threadId_ = ::GetThreadId(thread_.get());
    while (state_.load(std::memory_order_acquire) == kStarting) {
        // A thread that does not come up within the wait is given up; the
        // teardown that follows still stops and joins it.
        if (!hold.Wait(signal_, kReadyWaitMs)) return false;
    }
    return true;
}

// The lock is held throughout, except while asleep: a caller that takes it
// (Wait, the teardown) thereby waits for a run in progress.
void WorkerThread::Loop() {
    ScopedLock hold(lock_);
    for (;;) {
        uint32_t state = state_.load(std::memory_order_acquire);
        if (state == kStopping) break;
        if (state == kBusy) {
            int32_t result = function_ != nullptr ? function_(data_, argument_) : 0;
            result_.store(result, std::memory_order_release);
            if (argumentCleanup_ != nullptr) argumentCleanup_(argument_);
        }
        state_.store(kIdle, std::memory_order_release);
        ::WakeAllConditionVariable(&signal_);
        while (state_.load(std::memory_order_acquire) == kIdle) {
            hold.Wait(signal_);
        }
    }
}

bool WorkerThread::SetData(uintptr_t data, CleanupFunction cleanup) {
    if (dataCleanup_ != nullptr) dataCleanup_(data_);  // also when data is the same pointer
    data_ = data;
    dataCleanup_ = cleanup;
    return true;
}

bool WorkerThread::Run(TaskFunction function, uintptr_t argument, CleanupFunction cleanup) {
    if (!thread_ || !IsIdle()) return false;
    ScopedLock hold(lock_);
    if (!IsIdle()) return false;  // another caller's request got in first
    function_ = function;
    argument_ = argument;
    argumentCleanup_ = cleanup;
    state_.store(kBusy, std::memory_order_release);
    ::WakeAllConditionVariable(&signal_);
    return true;
}

bool WorkerThread::Wait() {
    // The posted function itself cannot wait for its own end.
    if (OnOwnThread()) return true;
    ScopedLock hold(lock_);
    while (state_.load(std::memory_order_acquire) == kBusy) {
        hold.Wait(signal_);
    }
    return true;
}

WorkerThread::~WorkerThread() {
    if (thread_) {
        DWORD code = 0;
        if (::GetExitCodeThread(thread_.get(), &code) && code == STILL_ACTIVE) {
            // Taking the lock waits for a run in progress. A request posted
            // but not picked up yet is dropped here: the thread sees the stop
            // first and leaves without running it or cleaning its argument
            // up, which stays with whoever posted it.
            ScopedLock hold(lock_);
            state_.store(kStopping, std::memory_order_release);
            ::WakeAllConditionVariable(&signal_);
        }
        ::WaitForSingleObject(thread_.get(), INFINITE);
        thread_.reset();
    }
    if (dataCleanup_ != nullptr) dataCleanup_(data_);
    data_ = 0;
    dataCleanup_ = nullptr;
}

// Released from inside its own run: the teardown waits for that run and
// joins this thread, so it goes to a thread of its own.
void WorkerThread::Destroy(uint32_t flags) {
    DestroyOffOwnThread(flags, OnOwnThread(), L"worker thread");
}

}  // namespace

bool MakeWorkerThread(KaWorkerThread** out) {
    if (out == nullptr) return false;
    return HandOut(NewObject<WorkerThread>(), out,
                   [](WorkerThread& worker) { return worker.Start(); });
}

}  // namespace ka
