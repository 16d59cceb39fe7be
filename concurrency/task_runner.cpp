#include "concurrency/task_runner.h"

#include "concurrency/thread_pool.h"
#include "frame/boundary.h"
#include "frame/critical_section.h"
#include "frame/handles.h"
#include "frame/ref_counted.h"
#include "frame/services.h"

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

namespace ka {
namespace {

enum TaskState : uint32_t { kCreated = 0, kWaiting = 1, kQueued = 2, kRunning = 3, kFinished = 4 };

class TaskRunner;
class Task;

// A waiting task's place in the order a stable sort of the waiting list by
// pending count gives. Within one pending count that order is the one the
// tasks had before their counts last changed, which a per-task ordinal
// reproduces without sorting: a task whose count goes down (or that is
// submitted) lands behind every task that already had the new count, so it
// takes a new highest ordinal; a task whose count goes up lands before every
// task that already had it, so it takes a new lowest one. The list itself
// then needs no order: the only place where the order shows is among the
// tasks that one finishing prerequisite frees, and those are its dependents.
struct WaitKey {
    int32_t pending;
    int64_t ordinal;
    bool operator<(const WaitKey& other) const {
        return pending != other.pending ? pending < other.pending : ordinal < other.ordinal;
    }
};

// A task's dependents, each element holding a reference, in the order in
// which they were added. The first two live in the task itself: most tasks
// of a graph free one or two others, and a heap block per task would cost
// more than all the rest of linking and releasing it.
class DependentList {
public:
    size_t size() const { return count_; }
    // An element may be moved out and left null for a while.
    ObjectRef<Task>& operator[](size_t i) { return i < kInline ? inline_[i] : more_[i - kInline]; }
    // When it throws, nothing has changed (and `task` lets its reference go).
    void push_back(ObjectRef<Task> task) {
        if (count_ < kInline) {
            inline_[count_] = std::move(task);
        } else {
            more_.push_back(std::move(task));
        }
        ++count_;
    }
    // Keeps the first `count`; the others let their references go.
    void Truncate(size_t count) {
        if (count >= count_) return;
        if (count <= kInline) {
            more_.clear();
            for (size_t i = count; i < kInline; ++i) inline_[i].reset();
        } else {
            more_.erase(more_.begin() + static_cast<ptrdiff_t>(count - kInline), more_.end());
        }
        count_ = count;
    }

private:
    static constexpr size_t kInline = 2;
    size_t count_ = 0;
    ObjectRef<Task> inline_[kInline];
    std::vector<ObjectRef<Task>> more_;
};

class Task final : public RefCounted<Task, KaTask> {
public:
    explicit Task(TaskRunner* runner) : runner_(runner) {}
    ~Task();

    bool SetFunction(TaskFunction function, uintptr_t data, CleanupFunction cleanup) override;
    KaTaskRunner* GetRunner() override;
    bool AddDependency(KaTask* prerequisite) override;
    bool Submit() override;
    uintptr_t GetData() override { return data_; }
    uintptr_t DetachData() override;
    uint32_t GetState() override { return state_.load(std::memory_order_acquire); }
    int32_t GetResult() override { return result_.load(std::memory_order_acquire); }

private:
    friend class TaskRunner;
    WaitKey Key() const { return WaitKey{pending_, ordinal_}; }
    static void HandOver(DependentList& list, std::vector<ObjectRef<Task>>& drop);

    TaskRunner* runner_;  // not counted: the runner outlives the use of its tasks
    // Tasks that named this one as a prerequisite, each with a reference;
    // guarded by the runner lock.
    DependentList dependents_;
    TaskFunction function_ = nullptr;
    uintptr_t data_ = 0;
    CleanupFunction dataCleanup_ = nullptr;
    std::atomic<int32_t> result_{0};
    int32_t poolTaskId_ = -1;
    // Guarded by the runner lock.
    int32_t pending_ = 0;
    int64_t ordinal_ = 0;  // see WaitKey
    bool listed_ = false;  // in the waiting list, which then holds a reference
    Task* waitPrev_ = nullptr;
    Task* waitNext_ = nullptr;
    bool moving_ = false;  // picked up once while a prerequisite finishes
    // The runner teardown's search for cycles (see CutCycles): order of
    // discovery, lowest order reachable, component, and still open.
    int32_t scanIndex_ = -1, scanLow_ = 0, scanComponent_ = -1;
    bool scanOpen_ = false;
    std::atomic<uint32_t> state_{kCreated};
};

class TaskRunner final : public RefCounted<TaskRunner, KaTaskRunner> {
public:
    ~TaskRunner();

    KaThreadPool** PoolSlot() { return pool_.put(); }
    KaThreadPool* GetThreadPool() override { return pool_.get(); }
    bool CreateTask(KaTask** out) override;
    void Destroy(uint32_t flags) override;

    bool AddDependency(Task& dependent, Task& prerequisite);
    bool Submit(Task& task);

private:
    static int32_t Execute(uintptr_t threadData, uintptr_t task);
    // The pool's clean-up: a queued task's reference travels as a number.
    static void ReleaseTask(uintptr_t task) { reinterpret_cast<Task*>(task)->Release(); }  // owned

    void Finish(Task& done);
    static void CutCycles(Task* waiting, std::vector<ObjectRef<Task>>& cut);
    void List(Task& task);
    void Unlist(Task& task);

    // Declared first, destroyed last: tasks still finishing while the pool
    // winds down take it.
    CriticalSection lock_;
    ObjectRef<KaThreadPool> pool_;
    Task* waiting_ = nullptr;  // the first task of the waiting list, linked through the tasks
    int64_t lowestOrdinal_ = 0;
    int64_t highestOrdinal_ = 0;
    // Room to move the waiting dependents of a finishing task without
    // allocating: a pool thread has no one to report a failure to. Sized for
    // the longest dependents list whenever one grows.
    std::vector<Task*> moving_;
};

// ------------------------------------------------------------------ Task

Task::~Task() {
    if (dataCleanup_ != nullptr) dataCleanup_(data_);
    // A long chain released from its far end would otherwise be destroyed by
    // recursion, one stack frame per task: a dependent that only we still
    // hold hands its own dependents over to this loop before it goes.
    std::vector<ObjectRef<Task>> drop;
    HandOver(dependents_, drop);
    while (!drop.empty()) {
        ObjectRef<Task> next = std::move(drop.back());
        drop.pop_back();
        if (next->GetRefCount() == 1) HandOver(next->dependents_, drop);
    }
}

// Empties `list`: the dependents that only it holds move to `drop`, the
// others (still held elsewhere, the usual case) are released at once.
void Task::HandOver(DependentList& list, std::vector<ObjectRef<Task>>& drop) {
    for (size_t i = 0, count = list.size(); i < count; ++i) {
        if (list[i]->GetRefCount() != 1) continue;
        try {
            drop.push_back(std::move(list[i]));
        } catch (...) {
            // No room: that one goes below and drops its dependents itself.
        }
    }
    list.Truncate(0);
}

bool Task::SetFunction(TaskFunction function, uintptr_t data, CleanupFunction cleanup) {
    if (GetState() >= kQueued) return false;
    if (dataCleanup_ != nullptr) dataCleanup_(data_);
    function_ = function;
    data_ = data;
    dataCleanup_ = cleanup;
    return true;
}

KaTaskRunner* Task::GetRunner() { return runner_; }

bool Task::AddDependency(KaTask* prerequisite) {
    if (prerequisite == nullptr) return false;
    // The prerequisite's dependents list is ours to change only when it is a
    // task of this runner (then it is one of these objects, under this lock).
    if (prerequisite->GetRunner() != runner_) {
        Log()->PrintfW(LogCategory::ERROR, 0,
                       L"Could not add a task dependency: the prerequisite belongs to another "
                       L"task runner.");
        return false;
    }
    return runner_->AddDependency(*this, *static_cast<Task*>(prerequisite));
}

bool Task::Submit() { return runner_->Submit(*this); }

uintptr_t Task::DetachData() {
    uintptr_t data = data_;
    data_ = 0;
    dataCleanup_ = nullptr;
    return data;
}

// ------------------------------------------------------------ TaskRunner

bool TaskRunner::CreateTask(KaTask** out) {
    if (out == nullptr) return false;
    return HandOut(NewObject<Task>(this), out, [](Task&) { return true; });
}

bool TaskRunner::AddDependency(Task& dependent, Task& prerequisite) {
    bool queued = false;
    bool added = Boundary(false, [&] {
        ScopedLock hold(lock_);
        if (dependent.GetState() >= kQueued) {
            queued = true;
            return false;
        }
        // Room first, so nothing has changed when an allocation fails.
        size_t length = prerequisite.dependents_.size() + 1;
        if (moving_.size() < length) moving_.resize(std::max(length, moving_.size() * 2));
        prerequisite.dependents_.push_back(ObjectRef<Task>::Share(&dependent));
        if (prerequisite.GetState() != kFinished) {
            ++dependent.pending_;
            if (dependent.listed_) dependent.ordinal_ = --lowestOrdinal_;
        }
        return true;
    });
    if (queued) {
        Log()->PrintfW(LogCategory::ERROR, 0,
                       L"Could not modify task dependencies since it had been queued.");
    }
    return added;
}

// The list's reference comes with the task; Unlist hands it back to the caller.
void TaskRunner::List(Task& task) {
    task.waitPrev_ = nullptr;
    task.waitNext_ = waiting_;
    if (waiting_ != nullptr) waiting_->waitPrev_ = &task;
    waiting_ = &task;
    task.listed_ = true;
}

void TaskRunner::Unlist(Task& task) {
    (task.waitPrev_ != nullptr ? task.waitPrev_->waitNext_ : waiting_) = task.waitNext_;
    if (task.waitNext_ != nullptr) task.waitNext_->waitPrev_ = task.waitPrev_;
    task.waitPrev_ = task.waitNext_ = nullptr;
    task.listed_ = false;
}

bool TaskRunner::Submit(Task& task) {
    return Boundary(false, [&] {
        ScopedLock hold(lock_);
        if (task.GetState() != kCreated) return false;
        if (task.pending_ > 0) {
            task.ordinal_ = ++highestOrdinal_;
            task.AddRef();  // the list's
            List(task);
            task.state_.store(kWaiting, std::memory_order_release);
            return true;
        }
        // The pool's entry holds a reference until the pool has run it (or
        // cancelled it): its clean-up drops it.
        task.state_.store(kQueued, std::memory_order_release);
        task.AddRef();
        if (!pool_->RegisterTask(&Execute, reinterpret_cast<uintptr_t>(&task), &ReleaseTask,
                                 &task.poolTaskId_)) {
            task.state_.store(kCreated, std::memory_order_release);
            task.Release();  // the pool's, never the last: the caller holds one
            return false;
        }
        return true;
    });
}

int32_t TaskRunner::Execute(uintptr_t threadData, uintptr_t argument) {
    Task& task = *reinterpret_cast<Task*>(argument);
    if (task.GetState() >= kRunning) return 0;  // a task runs at most once
    task.state_.store(kRunning, std::memory_order_release);
    int32_t result = task.function_ != nullptr ? task.function_(threadData, task.data_) : 0;
    task.result_.store(result, std::memory_order_release);
    task.runner_->Finish(task);
    return 0;
}

// Runs on a pool thread while the pool still counts `done` as running, so the
// tasks it frees are queued before the pool can look idle. Allocates nothing.
void TaskRunner::Finish(Task& done) {
    ScopedLock hold(lock_);
    // The dependents that wait in the list, in list order: they come back
    // behind the tasks that already have their new count, and those whose
    // count reaches 0 are the front of the list, in that order.
    size_t moving = 0;
    DependentList& dependents = done.dependents_;
    for (size_t i = 0; i < dependents.size(); ++i) {
        Task* dependent = dependents[i].get();
        if (dependent->listed_ && !dependent->moving_) {
            dependent->moving_ = true;
            moving_[moving++] = dependent;
        }
    }
    if (moving > 1) {
        std::sort(moving_.begin(), moving_.begin() + moving,
                  [](const Task* a, const Task* b) { return a->Key() < b->Key(); });
    }
    for (size_t i = 0; i < dependents.size(); ++i) --dependents[i]->pending_;
    for (size_t i = 0; i < moving; ++i) {
        Task& task = *moving_[i];
        task.moving_ = false;
        task.ordinal_ = ++highestOrdinal_;
        if (task.pending_ > 0) continue;
        // Ready: it takes the list's reference with it into the pool, whose
        // clean-up drops it after the run, so it stays alive while queued
        // even when no caller holds it any more.
        Unlist(task);
        task.state_.store(kQueued, std::memory_order_release);
        if (!pool_->RegisterTask(&Execute, reinterpret_cast<uintptr_t>(&task), &ReleaseTask,
                                 &task.poolTaskId_)) {
            // Refused: finished without running; its dependents never count down.
            task.result_.store(kTaskRefused, std::memory_order_release);
            task.state_.store(kFinished, std::memory_order_release);
            task.Release();  // the reference meant for the pool
        }
    }
    // Finished only now, under the lock: whoever sees a task finished finds
    // every task it freed queued already. A freed task that starts at once on
    // another thread may still see this one running; its result is final.
    done.state_.store(kFinished, std::memory_order_release);
}

// Tasks still waiting at the runner's teardown never run, so the references
// their dependents lists hold would stay until the tasks go; on a cycle that
// is never. So every reference that lies on a cycle reachable from them is
// taken out of its list (into `cut`), and no other: an edge lies on a cycle
// exactly when both its ends are in one strongly connected component.
// Tarjan's search, walked without recursion since graphs run deep.
void TaskRunner::CutCycles(Task* waiting, std::vector<ObjectRef<Task>>& cut) {
    std::vector<Task*> open;
    std::vector<std::pair<Task*, size_t>> path;  // a task and the next dependent to follow
    int32_t discovered = 0, components = 0;
    auto enter = [&](Task* task) {
        task->scanIndex_ = task->scanLow_ = discovered++;
        task->scanOpen_ = true;
        open.push_back(task);
        path.emplace_back(task, 0);
    };
    for (Task* root = waiting; root != nullptr; root = root->waitNext_) {
        if (root->scanIndex_ < 0) enter(root);
        while (!path.empty()) {
            Task* task = path.back().first;
            size_t next = path.back().second++;
            if (next < task->dependents_.size()) {
                Task* to = task->dependents_[next].get();
                if (to->scanIndex_ < 0) {
                    enter(to);
                } else if (to->scanOpen_) {
                    task->scanLow_ = std::min(task->scanLow_, to->scanIndex_);
                }
                continue;
            }
            path.pop_back();
            if (!path.empty()) {
                Task* parent = path.back().first;
                parent->scanLow_ = std::min(parent->scanLow_, task->scanLow_);
            }
            if (task->scanLow_ != task->scanIndex_) continue;
            // `task` closes a component: the open tasks from it on. Every
            // dependent of theirs has its component by now.
            size_t from = open.size();
            do {
                open[--from]->scanComponent_ = components;
            } while (open[from] != task);
            for (size_t i = from; i < open.size(); ++i) {
                // Those on the cycle move to `cut`, the others close up in
                // their order; room first, so nothing moves when it fails.
                DependentList& list = open[i]->dependents_;
                cut.reserve(cut.size() + list.size());
                size_t kept = 0;
                for (size_t d = 0, count = list.size(); d < count; ++d) {
                    if (list[d]->scanComponent_ == components) {
                        cut.push_back(std::move(list[d]));
                    } else if (kept++ != d) {
                        list[kept - 1] = std::move(list[d]);
                    }
                }
                list.Truncate(kept);
                open[i]->scanOpen_ = false;
            }
            open.resize(from);
            ++components;
        }
    }
}

TaskRunner::~TaskRunner() {
    Task* dropped = nullptr;
    std::vector<ObjectRef<Task>> cut;
    bool searched = false;
    {
        ScopedLock hold(lock_);
        for (Task* task = waiting_; task != nullptr; task = task->waitNext_) task->listed_ = false;
        std::swap(dropped, waiting_);
        searched = Boundary(false, [&] {
            CutCycles(dropped, cut);
            return true;
        });
    }
    if (!searched) {
        // No room to search: the waiting tasks let go of all their
        // dependents, which breaks every cycle through them.
        for (Task* task = dropped; task != nullptr; task = task->waitNext_) {
            task->dependents_.Truncate(0);
        }
    }
    cut.clear();
    // The list's references go last: until then every task it holds is alive,
    // whatever the releases before it free.
    while (dropped != nullptr) {
        Task* task = dropped;
        dropped = task->waitNext_;
        task->waitPrev_ = task->waitNext_ = nullptr;
        task->Release();  // the list's
    }
    // Tasks still queued or running finish into this runner (its lock, its
    // list, its room to move), so they are waited for while all of it is
    // alive, also when someone else still holds the pool. Then the pool goes,
    // and the lock last of all.
    if (pool_) pool_->WaitForAllTasks();
    pool_.reset();
}

// Released by one of its own tasks: that task still takes the runner's lock
// when its function returns, and the pool's teardown waits for it.
void TaskRunner::Destroy(uint32_t flags) {
    DestroyOffOwnThread(flags, IsThreadOfPool(pool_.get()), L"task runner");
}

}  // namespace

bool MakeTaskRunner(int threadCount, KaTaskRunner** out, KaThreadPool* pool) {
    if (out == nullptr) return false;
    return HandOut(NewObject<TaskRunner>(), out, [&](TaskRunner& runner) {
        if (pool != nullptr) {
            pool->AddRef();
            *runner.PoolSlot() = pool;
            return true;
        }
        return System()->CreateThreadPool(threadCount, runner.PoolSlot());
    });
}

}  // namespace ka
