// Thread pool and task graph costs, per task.
//   pool: 10^6 empty tasks through a KaThreadPool of 2 threads against the
//         system's pool (TrySubmitThreadpoolCallback) and against the plain
//         design written out here: one critical section, two condition
//         variables, a list, a map index and a set of running ids, waking a
//         worker on every registration and letting idle workers sleep at once.
//   graph: a chain of 10^4 tasks, each waiting for the one before, and a
//         fan-out of 10^4 tasks waiting for one, through KaTaskRunner (tasks
//         made, linked, submitted, run and released), against the same
//         shapes hand-made on the plain pool: each task registers its
//         successors itself.
#include "bench.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <list>
#include <map>
#include <set>
#include <vector>

namespace {

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "bench pool: %s (Win32 error %lu)\n", what, ::GetLastError());
    std::exit(1);
}

// The plain design, as a reader of the pool's description would write it.
class DirectPool {
public:
    explicit DirectPool(int threads) {
        ::InitializeCriticalSection(&lock_);
        for (int i = 0; i < threads; ++i) {
            HANDLE thread = ::CreateThread(nullptr, 0, &Main, this, 0, nullptr);
            if (thread == nullptr) Die("CreateThread");
            threads_.push_back(thread);
        }
    }
    ~DirectPool() {
        WaitForAllTasks();
        ::EnterCriticalSection(&lock_);
        stop_ = true;
        ::WakeAllConditionVariable(&work_);
        ::LeaveCriticalSection(&lock_);
        for (HANDLE thread : threads_) {
            ::WaitForSingleObject(thread, INFINITE);
            ::CloseHandle(thread);  // the benchmark's own baseline, outside the library's rules
        }
        ::DeleteCriticalSection(&lock_);
    }
    void RegisterTask(TaskFunction function, uintptr_t argument) {
        ::EnterCriticalSection(&lock_);
        int32_t id = ++counter_;
        queue_.push_back(Entry{function, argument, id});
        index_.emplace(id, std::prev(queue_.end()));
        ::WakeConditionVariable(&work_);
        ::LeaveCriticalSection(&lock_);
    }
    bool IsIdle() {
        ::EnterCriticalSection(&lock_);
        bool idle = queue_.empty() && running_.empty();
        ::LeaveCriticalSection(&lock_);
        return idle;
    }
    void WaitForAllTasks() {
        while (!IsIdle()) {
            ::EnterCriticalSection(&lock_);
            ::SleepConditionVariableCS(&idle_, &lock_, 1000);
            ::LeaveCriticalSection(&lock_);
        }
    }

private:
    struct Entry {
        TaskFunction function;
        uintptr_t argument;
        int32_t id;
    };
    static DWORD WINAPI Main(void* pool) {
        static_cast<DirectPool*>(pool)->Work();
        return 0;
    }
    void Work() {
        for (;;) {
            ::EnterCriticalSection(&lock_);
            if (stop_) break;
            if (queue_.empty()) {
                ::WakeConditionVariable(&idle_);
                ::SleepConditionVariableCS(&work_, &lock_, INFINITE);
                if (stop_) break;
                ::LeaveCriticalSection(&lock_);
                continue;
            }
            Entry entry = queue_.front();
            queue_.pop_front();
            index_.erase(entry.id);
            running_.insert(entry.id);
            ::LeaveCriticalSection(&lock_);
            entry.function(0, entry.argument);
            ::EnterCriticalSection(&lock_);
            running_.erase(entry.id);
            ::LeaveCriticalSection(&lock_);
        }
        ::LeaveCriticalSection(&lock_);
    }

    CRITICAL_SECTION lock_;
    CONDITION_VARIABLE idle_ = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE work_ = CONDITION_VARIABLE_INIT;
    std::list<Entry> queue_;
    std::map<int32_t, std::list<Entry>::iterator> index_;
    std::set<int32_t> running_;
    int32_t counter_ = -1;
    bool stop_ = false;
    std::vector<HANDLE> threads_;
};

int32_t Empty(uintptr_t, uintptr_t) { return 0; }

// Seconds per task: the median over `repetitions` batches of `tasks`.
template <typename Batch>
double PerTask(Batch batch, int tasks, int repetitions) {
    std::vector<double> times;
    for (int r = 0; r < repetitions; ++r) {
        double start = kabench::Now();
        batch(tasks);
        times.push_back((kabench::Now() - start) / tasks);
    }
    return kabench::Median(times);
}

void Line(const char* name, double ours, double baseline, const char* unit, double scale) {
    std::printf("bench %s: ours %.1f %s, baseline %.1f %s, ratio %.3f\n", name, ours * scale, unit,
                baseline * scale, unit, ours / baseline);
    std::fflush(stdout);
}

// --- the system's pool
struct Countdown {
    std::atomic<long> left{0};
    HANDLE done = nullptr;
};

VOID CALLBACK CountDown(PTP_CALLBACK_INSTANCE, void* context) {
    auto* countdown = static_cast<Countdown*>(context);
    if (countdown->left.fetch_sub(1) == 1) ::SetEvent(countdown->done);
}

void SystemPoolBatch(int tasks) {
    static Countdown countdown;
    if (countdown.done == nullptr) countdown.done = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    countdown.left = tasks;
    for (int i = 0; i < tasks; ++i) {
        if (!::TrySubmitThreadpoolCallback(&CountDown, &countdown, nullptr)) {
            Die("TrySubmitThreadpoolCallback");
        }
    }
    if (::WaitForSingleObject(countdown.done, 600000) != WAIT_OBJECT_0) Die("system pool stuck");
}

// --- graphs hand-made on the plain pool: each task registers what follows it
struct Shape {
    DirectPool* pool;
    std::atomic<int> left;
};

int32_t ChainStep(uintptr_t, uintptr_t shape) {
    auto* chain = reinterpret_cast<Shape*>(shape);
    if (chain->left.fetch_sub(1) > 1) chain->pool->RegisterTask(ChainStep, shape);
    return 0;
}

int32_t FanOutRoot(uintptr_t, uintptr_t shape) {
    auto* fan = reinterpret_cast<Shape*>(shape);
    for (int i = fan->left.exchange(0); i > 0; --i) fan->pool->RegisterTask(Empty, 0);
    return 0;
}

// --- graphs through KaTaskRunner
void RunGraph(KaTaskRunner* runner, int tasks, bool chain) {
    std::vector<KaTask*> made(static_cast<size_t>(tasks) + 1, nullptr);
    for (KaTask*& task : made) {
        if (!runner->CreateTask(&task) || !task->SetFunction(Empty, 0, nullptr)) Die("CreateTask");
    }
    // chain: each waits for the one before; fan-out: all wait for made[0].
    for (int i = 1; i <= tasks; ++i) {
        if (!made[i]->AddDependency(made[chain ? i - 1 : 0])) Die("AddDependency");
    }
    for (int i = tasks; i >= 0; --i) {
        if (!made[i]->Submit()) Die("Submit");
    }
    runner->GetThreadPool()->WaitForAllTasks();
    for (KaTask* task : made) {
        if (task->GetState() != 4) Die("a task did not finish");
        task->Release();
    }
}

}  // namespace

int main() {
    KaSystem* system = kabench::System();
    KaThreadPool* pool = nullptr;
    KaTaskRunner* runner = nullptr;
    if (!system->CreateThreadPool(2, &pool) || !system->CreateTaskRunner(2, &runner)) {
        Die("cannot create a pool or a runner");
    }
    auto ours = [&](int tasks) {
        for (int i = 0; i < tasks; ++i) pool->RegisterTask(Empty, 0, nullptr, nullptr);
        pool->WaitForAllTasks();
    };
    DirectPool direct(2);
    auto plain = [&](int tasks) {
        for (int i = 0; i < tasks; ++i) direct.RegisterTask(Empty, 0);
        direct.WaitForAllTasks();
    };
    // 10^6 tasks each, in ten batches that alternate with the baseline's, so
    // both see the same machine (it is shared); the median batch counts.
    const int kTasks = 1000000;
    const int kBatch = kTasks / 10;
    ours(kBatch);  // warm up both
    plain(kBatch);
    std::vector<double> mine, theirs;
    for (int done = 0; done < kTasks; done += kBatch) {
        mine.push_back(PerTask(ours, kBatch, 1));
        theirs.push_back(PerTask(plain, kBatch, 1));
    }
    double oursPerTask = kabench::Median(mine);
    Line("pool 10^6 empty tasks vs a plain pool", oursPerTask, kabench::Median(theirs), "ns", 1e9);
    // The system's pool manages some 30 000 tasks a second under Wine: a
    // tenth of the tasks is enough for its per-task time.
    SystemPoolBatch(1000);
    Line("pool 10^6 empty tasks vs TrySubmitThreadpoolCallback", oursPerTask,
         PerTask(SystemPoolBatch, kTasks / 10, 3), "ns", 1e9);

    const int kGraph = 10000;
    for (bool chain : {true, false}) {
        auto graph = [&](int tasks) { RunGraph(runner, tasks, chain); };
        auto handMade = [&](int tasks) {
            Shape shape{&direct, tasks};
            direct.RegisterTask(chain ? ChainStep : FanOutRoot,
                                reinterpret_cast<uintptr_t>(&shape));
            direct.WaitForAllTasks();
        };
        graph(kGraph);
        handMade(kGraph);
        std::vector<double> a, b;
        for (int r = 0; r < 5; ++r) {
            a.push_back(PerTask(graph, kGraph, 1));
            b.push_back(PerTask(handMade, kGraph, 1));
        }
        Line(chain ? "graph chain of 10^4 tasks vs hand-made on a plain pool"
                   : "graph fan-out of 10^4 tasks vs hand-made on a plain pool",
             kabench::Median(a), kabench::Median(b), "ns", 1e9);
    }
    runner->Release();
    pool->Release();
    return 0;
}
