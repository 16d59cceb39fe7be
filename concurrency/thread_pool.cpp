#include "concurrency/thread_pool.h"

#include "frame/boundary.h"
#include "frame/critical_section.h"
#include "frame/handles.h"
#include "frame/ref_counted.h"
#include "frame/services.h"

#include <atomic>
#include <cstring>
#include <vector>

namespace ka {
namespace {

class ThreadPool;

struct QueueEntry {
    TaskFunction function;
    uintptr_t argument;
    CleanupFunction cleanup;
    bool cancelled;
};

// The queue and its index in one: every registration takes the next id and
// goes to the back, so the entries from front to back carry consecutive ids
// and an id's place is its distance from the front's. A cancelled entry stays
// behind as a hole until it reaches the front. Entries live in a ring that
// only grows, so a task costs no allocation once the ring is large enough.
class TaskQueue {
public:
    // The live entry of `id`, or null.
    QueueEntry* Find(int32_t id) {
        uint32_t offset = static_cast<uint32_t>(id) - static_cast<uint32_t>(frontId_);
        if (offset >= size_) return nullptr;
        QueueEntry& entry = ring_[(head_ + offset) & (ring_.size() - 1)];
        return entry.cancelled ? nullptr : &entry;
    }
    // Room for one more entry; may throw.
    void Reserve() {
        if (size_ < ring_.size()) return;
        std::vector<QueueEntry> larger(ring_.empty() ? 64 : ring_.size() * 2);
        for (size_t i = 0; i < size_; ++i) larger[i] = ring_[(head_ + i) & (ring_.size() - 1)];
        ring_.swap(larger);
        head_ = 0;
    }
    // After Reserve.
    void PushBack(int32_t id, const QueueEntry& entry) {
        if (size_ == 0) frontId_ = id;
        ring_[(head_ + size_++) & (ring_.size() - 1)] = entry;
    }
    // The front entry, which is live: holes never stay at the front.
    QueueEntry PopFront(int32_t& id) {
        QueueEntry entry = ring_[head_];
        id = frontId_;
        Advance();
        DropHoles();
        return entry;
    }
    void Cancel(QueueEntry& entry) {
        entry.cancelled = true;
        DropHoles();
    }
    // Front to back, live entries only.
    template <typename Visit>
    void ForEach(Visit visit) const {
        for (size_t i = 0; i < size_; ++i) {
            const QueueEntry& entry = ring_[(head_ + i) & (ring_.size() - 1)];
            if (!entry.cancelled) visit(entry);
        }
    }
    void Clear() { size_ = 0; }

private:
    void Advance() {
        head_ = (head_ + 1) & (ring_.size() - 1);
        frontId_ = static_cast<int32_t>(static_cast<uint32_t>(frontId_) + 1u);
        --size_;
    }
    void DropHoles() {
        while (size_ > 0 && ring_[head_].cancelled) Advance();
    }

    std::vector<QueueEntry> ring_;  // a power of two in size
    size_t head_ = 0;
    size_t size_ = 0;  // entries from the front to the back, holes included
    int32_t frontId_ = 0;
};

struct ThreadRecord {
    ThreadPool* pool = nullptr;
    UniqueHandle thread;
    DWORD threadId = 0;
    uintptr_t data = 0;
    CleanupFunction dataCleanup = nullptr;
    // The task this thread runs, when `running`; guarded by the pool lock.
    // Together the records are the running set.
    int32_t runningId = 0;
    bool running = false;
};

// How long an idle worker watches the queue before it sleeps, in pauses:
// some tens of microseconds.
constexpr int kSpinRounds = 1000;

// The table of every ThreadPool, taken by the first one constructed: an
// object that has it is one of ours (see IsThreadOfPool).
std::atomic<const void*> g_poolTable{nullptr};

const void* TableOf(const void* object) {
    const void* table;
    std::memcpy(&table, object, sizeof table);
    return table;
}

class ThreadPool final : public RefCounted<ThreadPool, KaThreadPool> {
public:
    ThreadPool() { g_poolTable.store(TableOf(this), std::memory_order_relaxed); }
    ~ThreadPool();

    bool Start(int count, ThreadStarter starter);
    bool RunsOnCurrentThread() const;

    uint32_t GetIdleThreadCount() override;
    int32_t GetThreadCount() override { return static_cast<int32_t>(records_.size()); }
    uint32_t GetQueuedTaskCount() override;
    bool RegisterTask(TaskFunction function, uintptr_t argument, CleanupFunction cleanup,
                      int32_t* taskId) override;
    bool CancelTask(int32_t taskId) override;
    bool CancelAllTasks() override;
    bool GetTaskState(int32_t taskId, uint32_t* state) override;
    bool SetData(int32_t threadIndex, uintptr_t data, CleanupFunction cleanup) override;
    bool IsIdle() override;
    bool WaitForAllTasks() override;
    void Destroy(uint32_t flags) override;

private:
    static void ThreadMain(void* record);
    void Work(ThreadRecord& self);
    bool IdleLocked() const { return queuedCount_ == 0 && runningCount_ == 0; }
    void StopAndJoin();
    void DestroyRecords();

    CriticalSection lock_;  // first in, last out: the records' clean-ups run before it goes
    CONDITION_VARIABLE idleSignal_ = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE workSignal_ = CONDITION_VARIABLE_INIT;
    std::vector<ThreadRecord> records_;  // sized once, before the first thread starts
    TaskQueue queue_;
    uint32_t queuedCount_ = 0;             // live entries of the queue
    std::atomic<uint32_t> queuedHint_{0};  // queuedCount_, for a spinning worker to watch
    uint32_t runningCount_ = 0;            // records that run a task
    int32_t taskCounter_ = -1;             // the last id handed out
    bool anyRegistered_ = false;           // stays true when the counter wraps past INT32_MAX
    bool stop_ = false;
    // Workers asleep on the work signal and not yet woken: a registration
    // wakes one only when there is one, so a busy pool makes no wake calls.
    int sleepingWorkers_ = 0;
    int idleWaiters_ = 0;  // asleep in WaitForAllTasks
    bool spinning_ = false;
    int spinRounds_ = 0;  // none on a single processor, where spinning only delays the producer
};

bool ThreadPool::Start(int count, ThreadStarter starter) {
    if (count < 1) {
        Log()->PrintfW(LogCategory::WARNING, 0,
                       L"The number of threads must be 1 or greater. Initialized with 1: N=%d",
                       count);
        count = 1;
    }
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    spinRounds_ = system.dwNumberOfProcessors > 1 ? kSpinRounds : 0;
    // Everything a thread uses is made before the first one starts; from here
    // on only starting a thread can fail.
    records_.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) records_.emplace_back().pool = this;
    for (ThreadRecord& record : records_) {
        record.thread = starter(&ThreadMain, &record, 0);
        if (!record.thread) {
            // The threads already running read the pool through their
            // records: they are stopped and joined before the records go.
            DWORD error = ::GetLastError();
            StopAndJoin();
            DestroyRecords();
            ::SetLastError(error);
            return false;
        }
        record.threadId = ::GetThreadId(record.thread.get());
    }
    return true;
}

void ThreadPool::ThreadMain(void* record) {
    auto& self = *static_cast<ThreadRecord*>(record);
    self.pool->Work(self);
}

void ThreadPool::Work(ThreadRecord& self) {
    bool spun = false;
    ScopedLock hold(lock_);
    for (;;) {
        if (stop_) break;
        if (queuedCount_ == 0) {
            if (idleWaiters_ > 0 && runningCount_ == 0) ::WakeAllConditionVariable(&idleSignal_);
            // Before it sleeps, one worker at a time watches the queue for a
            // moment with the lock released: while tasks keep coming, workers
            // then rarely sleep, and registering rarely has to wake one (a
            // wake-up costs several times a task).
            if (!spun && !spinning_ && spinRounds_ > 0) {
                spun = spinning_ = true;
                {
                    ScopedUnlock watching(hold);
                    for (int i = 0;
                         i < spinRounds_ && queuedHint_.load(std::memory_order_relaxed) == 0; ++i) {
                        ::YieldProcessor();
                    }
                }
                spinning_ = false;
                continue;
            }
            spun = false;
            ++sleepingWorkers_;  // the waker counts it down
            hold.Wait(workSignal_);
            continue;
        }
        spun = false;
        QueueEntry task = queue_.PopFront(self.runningId);
        queuedHint_.store(--queuedCount_, std::memory_order_relaxed);
        self.running = true;
        ++runningCount_;
        {
            ScopedUnlock running(hold);
            task.function(self.data, task.argument);
            if (task.cleanup != nullptr) task.cleanup(task.argument);
        }
        self.running = false;
        --runningCount_;
    }
}

bool ThreadPool::RunsOnCurrentThread() const {
    DWORD me = ::GetCurrentThreadId();
    for (const ThreadRecord& record : records_) {
        if (record.threadId == me) return true;
    }
    return false;
}

uint32_t ThreadPool::GetIdleThreadCount() {
    ScopedLock hold(lock_);
    return static_cast<uint32_t>(records_.size() - runningCount_);
}

uint32_t ThreadPool::GetQueuedTaskCount() {
    ScopedLock hold(lock_);
    return queuedCount_;
}

bool ThreadPool::RegisterTask(TaskFunction function, uintptr_t argument, CleanupFunction cleanup,
                              int32_t* taskId) {
    return Boundary(false, [&] {
        ScopedLock hold(lock_);
        queue_.Reserve();  // the one step that can fail, before anything changes
        // Ids wrap after 2^31 tasks instead of overflowing.
        int32_t id = static_cast<int32_t>(static_cast<uint32_t>(taskCounter_) + 1u);
        taskCounter_ = id;
        anyRegistered_ = true;
        if (taskId != nullptr) *taskId = id;
        queue_.PushBack(id, QueueEntry{function, argument, cleanup, false});
        queuedHint_.store(++queuedCount_, std::memory_order_relaxed);
        if (sleepingWorkers_ > 0) {
            --sleepingWorkers_;
            ::WakeConditionVariable(&workSignal_);
        }
        return true;
    });
}

bool ThreadPool::CancelTask(int32_t taskId) {
    ScopedLock hold(lock_);
    QueueEntry* entry = queue_.Find(taskId);
    if (entry == nullptr) return false;
    // Under the lock, so the task cannot be taken between the clean-up and
    // the removal; the clean-up must not call the pool.
    if (entry->cleanup != nullptr) entry->cleanup(entry->argument);
    queue_.Cancel(*entry);
    queuedHint_.store(--queuedCount_, std::memory_order_relaxed);
    return true;
}

bool ThreadPool::CancelAllTasks() {
    ScopedLock hold(lock_);
    queue_.ForEach([](const QueueEntry& entry) {
        if (entry.cleanup != nullptr) entry.cleanup(entry.argument);
    });
    queue_.Clear();
    queuedCount_ = 0;
    queuedHint_.store(0, std::memory_order_relaxed);
    return true;
}

bool ThreadPool::GetTaskState(int32_t taskId, uint32_t* state) {
    if (state == nullptr) return false;
    ScopedLock hold(lock_);
    *state = 2;
    if (queue_.Find(taskId) != nullptr) {
        *state = 0;
    } else {
        for (const ThreadRecord& record : records_) {
            if (record.running && record.runningId == taskId) *state = 1;
        }
    }
    return true;
}

bool ThreadPool::SetData(int32_t threadIndex, uintptr_t data, CleanupFunction cleanup) {
    if (threadIndex < 0 || static_cast<size_t>(threadIndex) >= records_.size()) return false;
    int32_t counter;
    bool registered;
    {
        // Only the counter is read under the lock; the data itself belongs to
        // the caller until the first task is registered.
        ScopedLock hold(lock_);
        counter = taskCounter_;
        registered = anyRegistered_;
    }
    if (registered) {
        Log()->PrintfW(LogCategory::ERROR, 0,
                       L"SetData() was skipped. It must have been called before any of "
                       L"RegisterTask() calls. TaskCounter=%d",
                       counter);
        return false;
    }
    ThreadRecord& record = records_[static_cast<size_t>(threadIndex)];
    if (record.data == data) return true;  // the clean-up stays as it was
    if (record.dataCleanup != nullptr) record.dataCleanup(record.data);
    record.data = data;
    record.dataCleanup = cleanup;
    return true;
}

bool ThreadPool::IsIdle() {
    ScopedLock hold(lock_);
    return IdleLocked();
}

bool ThreadPool::WaitForAllTasks() {
    ScopedLock hold(lock_);
    while (!IdleLocked()) {
        // The time-out catches a wake-up that went to another waiter.
        ++idleWaiters_;
        hold.Wait(idleSignal_, 1000);
        --idleWaiters_;
    }
    return true;
}

void ThreadPool::StopAndJoin() {
    {
        ScopedLock hold(lock_);
        stop_ = true;
        sleepingWorkers_ = 0;
        ::WakeAllConditionVariable(&workSignal_);
    }
    for (ThreadRecord& record : records_) {
        if (record.thread) ::WaitForSingleObject(record.thread.get(), INFINITE);
    }
}

void ThreadPool::DestroyRecords() {
    for (ThreadRecord& record : records_) {
        record.thread.reset();
        if (record.dataCleanup != nullptr) record.dataCleanup(record.data);
        record.dataCleanup = nullptr;
        record.data = 0;
    }
    records_.clear();
}

ThreadPool::~ThreadPool() {
    WaitForAllTasks();
    StopAndJoin();
    // Entries registered after the wait (against the rules) are dropped
    // without their clean-ups: nothing may run any more.
    runningCount_ = 0;
    queue_.Clear();
    queuedCount_ = 0;
    DestroyRecords();
}

// The last reference went on one of our own threads (a task released it):
// the teardown waits for that very task and joins that thread, so it runs on
// a thread of its own once the task has returned.
void ThreadPool::Destroy(uint32_t flags) {
    DestroyOffOwnThread(flags, RunsOnCurrentThread(), L"thread pool");
}

}  // namespace

bool MakeThreadPool(int threadCount, KaThreadPool** out, ThreadStarter starter) {
    if (out == nullptr) return false;
    return HandOut(NewObject<ThreadPool>(), out, [&](ThreadPool& pool) {
        return Boundary(false, [&] { return pool.Start(threadCount, starter); });
    });
}

bool IsThreadOfPool(KaThreadPool* pool) {
    if (pool == nullptr) return false;
    const void* ours = g_poolTable.load(std::memory_order_relaxed);
    return ours != nullptr && TableOf(pool) == ours &&
           static_cast<ThreadPool*>(pool)->RunsOnCurrentThread();
}

}  // namespace ka
