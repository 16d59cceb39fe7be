// Thread pool and task graph costs, per task.
//   pool: 10^6 empty tasks through a KaThreadPool of 2 threads against the
//         system's pool (TrySubmitThreadpoolCallback) and against the plain
//         design written out here: one critical section, two condition
//         variables, a list, a map index and a set of running ids, waking a
//         worker on every registration and letting idle workers sleep at once.
//   graph: three shapes of 10^4 tasks through KaTaskRunner (tasks made,
//         linked, submitted, run and released): a chain, each task waiting for
//         the one before; a fan-out, all waiting for one; a diamond lattice of
//         100 x 100, each waiting for its neighbours above and to the left
//         (two prerequisites; one on the border, none in the corner). The
//         baseline runs the same shapes hand-made on the plain pool: each task
//         counts its dependents down itself and registers those it frees.
//         Every task of both checks that its prerequisites have finished, and
//         every run is checked for a task left out or run too early.
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

// --- graph shapes, run by both sides
struct Graph;
struct Node {
    Graph* graph = nullptr;
    std::vector<Node*> prerequisites, dependents;
    std::atomic<int> pending{0};  // the hand-made side's count of unfinished prerequisites
    std::atomic<bool> done{false};
};
struct Graph {
    std::vector<Node> nodes;
    DirectPool* pool = nullptr;
    std::atomic<int> early{0};  // tasks that started before a prerequisite had finished

    Graph(int tasks, DirectPool* pool) : nodes(static_cast<size_t>(tasks)), pool(pool) {
        for (Node& node : nodes) node.graph = this;
    }
    void Link(int prerequisite, int dependent) {
        nodes[prerequisite].dependents.push_back(&nodes[dependent]);
        nodes[dependent].prerequisites.push_back(&nodes[prerequisite]);
    }
    void Reset() {
        early = 0;
        for (Node& node : nodes) {
            node.pending = static_cast<int>(node.prerequisites.size());
            node.done = false;
        }
    }
    void Check(const char* side) {
        for (Node& node : nodes) {
            if (!node.done) Die(side);
        }
        if (early != 0) Die(side);
    }
};

enum class ShapeKind { kChain, kFanOut, kLattice };

constexpr int kSide = 100;

void Shape(ShapeKind kind, Graph& graph) {
    const int side = kSide, tasks = static_cast<int>(graph.nodes.size());
    for (int i = 1; i < tasks; ++i) {
        if (kind == ShapeKind::kChain) graph.Link(i - 1, i);
        if (kind == ShapeKind::kFanOut) graph.Link(0, i);
        if (kind == ShapeKind::kLattice) {
            if (i >= side) graph.Link(i - side, i);
            if (i % side != 0) graph.Link(i - 1, i);
        }
    }
}

void RunNode(Node& node) {
    for (Node* prerequisite : node.prerequisites) {
        if (!prerequisite->done.load(std::memory_order_acquire)) ++node.graph->early;
    }
    node.done.store(true, std::memory_order_release);
}

int32_t GraphTask(uintptr_t, uintptr_t node) {
    RunNode(*reinterpret_cast<Node*>(node));
    return 0;
}

int32_t HandMadeTask(uintptr_t, uintptr_t argument) {
    Node& node = *reinterpret_cast<Node*>(argument);
    RunNode(node);
    for (Node* dependent : node.dependents) {
        if (dependent->pending.fetch_sub(1) == 1) {
            node.graph->pool->RegisterTask(HandMadeTask, reinterpret_cast<uintptr_t>(dependent));
        }
    }
    return 0;
}

void RunHandMade(Graph& graph) {
    for (Node& node : graph.nodes) {
        if (node.prerequisites.empty()) {
            graph.pool->RegisterTask(HandMadeTask, reinterpret_cast<uintptr_t>(&node));
        }
    }
    graph.pool->WaitForAllTasks();
}

// Dependents are submitted before their prerequisites, so they wait in the
// runner's list and are freed by the tasks they wait for.
void RunGraph(KaTaskRunner* runner, Graph& graph) {
    std::vector<KaTask*> made(graph.nodes.size(), nullptr);
    for (size_t i = 0; i < made.size(); ++i) {
        if (!runner->CreateTask(&made[i]) ||
            !made[i]->SetFunction(GraphTask, reinterpret_cast<uintptr_t>(&graph.nodes[i]),
                                  nullptr)) {
            Die("CreateTask");
        }
    }
    for (size_t i = 0; i < made.size(); ++i) {
        for (Node* prerequisite : graph.nodes[i].prerequisites) {
            if (!made[i]->AddDependency(made[prerequisite - graph.nodes.data()])) {
                Die("AddDependency");
            }
        }
    }
    for (size_t i = made.size(); i-- > 0;) {
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

    struct {
        ShapeKind kind;
        const char* line;
    } shapes[] = {
        {ShapeKind::kChain, "graph chain of 10^4 tasks vs hand-made on a plain pool"},
        {ShapeKind::kFanOut, "graph fan-out of 10^4 tasks vs hand-made on a plain pool"},
        {ShapeKind::kLattice, "graph lattice of 100 x 100 tasks vs hand-made on a plain pool"},
    };
    for (const auto& shape : shapes) {
        Graph graph(kSide * kSide, &direct);
        Shape(shape.kind, graph);
        const int tasks = static_cast<int>(graph.nodes.size());
        // Each side's run starts from a reset graph and is checked after it.
        auto timed = [&](auto run, const char* failure) {
            graph.Reset();
            double start = kabench::Now();
            run();
            double perTask = (kabench::Now() - start) / tasks;
            graph.Check(failure);
            return perTask;
        };
        auto ours = [&] { RunGraph(runner, graph); };
        auto handMade = [&] { RunHandMade(graph); };
        const char* oursFailed = "the task graph left a task out or ran one too early";
        const char* baseFailed = "the hand-made graph left a task out or ran one too early";
        timed(ours, oursFailed);  // warm up both
        timed(handMade, baseFailed);
        std::vector<double> a, b;
        for (int r = 0; r < 7; ++r) {
            a.push_back(timed(ours, oursFailed));
            b.push_back(timed(handMade, baseFailed));
        }
        Line(shape.line, kabench::Median(a), kabench::Median(b), "ns", 1e9);
    }
    runner->Release();
    pool->Release();
    return 0;
}
