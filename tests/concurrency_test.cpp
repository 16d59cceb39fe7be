// Thread pools, task graphs, worker threads and the CPU counter through the
// DLL, and the library unloaded or the process ended with them alive (in
// children). Every wait is bounded: a stuck pool fails instead of hanging.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <numeric>
#include <random>
#include <regex>
#include <thread>
#include <vector>

namespace {

using katest::ProcessLog;
using Lines = std::vector<std::string>;
template <typename T>
using Ref = ka::ObjectRef<T>;

constexpr DWORD kBound = 30000;  // ms that any one wait may take

std::atomic<int> g_order{0};  // orders events across threads

using katest::Eventually;  // its default bound, 30 s, is kBound

// Work on another thread; Finish leaves it running after the bound: a hang
// fails. Started() is true once the thread runs; ReturnedAt() is the work's
// place in g_order's sequence when it returned.
class Async {
public:
    explicit Async(std::function<void()> work)
        : thread_([work = std::move(work), done = done_, started = started_, at = returnedAt_] {
              started->store(true);
              work();
              at->store(g_order++);
              done->store(true);
          }) {}
    ~Async() { Finish(); }
    bool Done() const { return done_->load(); }
    bool Started() const { return started_->load(); }
    int ReturnedAt() const { return returnedAt_->load(); }
    bool Finish() {
        if (!thread_.joinable()) return Done();
        bool done = Eventually([&] { return Done(); });
        done ? thread_.join() : thread_.detach();
        return done;
    }

private:
    std::shared_ptr<std::atomic<bool>> done_ = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<bool>> started_ = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<int>> returnedAt_ = std::make_shared<std::atomic<int>>(-1);
    std::thread thread_;
};

bool WaitIdle(KaThreadPool* pool) {
    return Async([pool] { pool->WaitForAllTasks(); }).Finish();
}

struct Gate {
    ka::UniqueHandle event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    void Open() { ::SetEvent(event.get()); }
};

// What a callback saw. Work returns base plus the prerequisites' results.
struct Probe {
    Probe(Gate* gate = nullptr, int32_t base = 0) : gate(gate), base(base) {}
    Gate* gate;
    int32_t base;
    std::vector<KaTask*> prerequisites;
    std::atomic<int> runs{0}, cleanups{0};
    std::atomic<bool> early{false};
    std::atomic<uintptr_t> threadData{0};
    int order = -1;
    std::atomic<int> leftGate{-1};  // g_order when a gated run went on
};
uintptr_t Arg(Probe& probe) { return reinterpret_cast<uintptr_t>(&probe); }

int32_t Work(uintptr_t threadData, uintptr_t argument) {
    Probe& probe = *reinterpret_cast<Probe*>(argument);
    probe.threadData = threadData;
    probe.order = g_order++;
    ++probe.runs;
    if (probe.gate != nullptr) {
        ::WaitForSingleObject(probe.gate->event.get(), kBound);
        probe.leftGate = g_order++;
    }
    int64_t sum = probe.base;
    for (KaTask* prerequisite : probe.prerequisites) {
        // A prerequisite queues what it frees before it reads finished.
        probe.early = probe.early || prerequisite->GetState() < 3;
        sum += prerequisite->GetResult();
    }
    return static_cast<int32_t>(sum % 1000003);
}

void Clean(uintptr_t argument) { ++reinterpret_cast<Probe*>(argument)->cleanups; }

std::vector<Ref<KaTask>> MakeTasks(KaTaskRunner* runner, Probe* probes, int count) {
    std::vector<Ref<KaTask>> tasks(count);
    for (int i = 0; i < count; ++i) {
        EXPECT_TRUE(runner->CreateTask(tasks[i].put()) &&
                    tasks[i]->SetFunction(Work, Arg(probes[i]), Clean));
    }
    return tasks;
}

TEST(ThreadPool, IdsStatesCancelAndWait) {
    KaSystem* system = katest::System();
    ProcessLog::NewLines();
    for (int asked : {0, -3}) {
        Ref<KaThreadPool> pool;
        ASSERT_TRUE(system->CreateThreadPool(asked, pool.put()));
        EXPECT_EQ(pool->GetThreadCount(), 1);
        EXPECT_EQ(ProcessLog::NewLines(), Lines{"[WARNING]   : The number of threads must be 1 or "
                                                "greater. Initialized with 1: N=" +
                                                std::to_string(asked)});
    }
    Ref<KaThreadPool> pool;
    ASSERT_TRUE(system->CreateThreadPool(1, pool.put()));
    uint32_t s = 9;
    auto state = [&](int32_t id) { return pool->GetTaskState(id, &s) ? s : 9; };
    EXPECT_TRUE(KA_ALL(pool->IsIdle(), pool->WaitForAllTasks()));
    Gate gate;
    Probe probes[4] = {Probe(&gate)};  // blocker, cancelled, second, third
    int32_t ids[4] = {-1, -1, -1, -1};
    for (int i = 0; i < 3; ++i) pool->RegisterTask(Work, Arg(probes[i]), Clean, &ids[i]);
    ASSERT_TRUE(pool->RegisterTask(Work, Arg(probes[3]), nullptr, nullptr));
    EXPECT_EQ(std::vector<int32_t>(ids, ids + 4), (std::vector<int32_t>{0, 1, 2, -1}));
    ASSERT_TRUE(Eventually([&] { return probes[0].runs == 1; }));
    EXPECT_EQ(state(0), 1u) << "running";
    EXPECT_EQ(state(1), 0u) << "queued";
    EXPECT_EQ(state(99), 2u) << "never issued";
    EXPECT_FALSE(KA_ANY(pool->GetTaskState(0, nullptr), pool->IsIdle()));
    EXPECT_TRUE(KA_ALL(pool->GetQueuedTaskCount() == 3, pool->GetIdleThreadCount() == 0));
    EXPECT_TRUE(KA_ALL(!pool->CancelTask(0), pool->CancelTask(1), !pool->CancelTask(1)));
    EXPECT_TRUE(KA_ALL(probes[1].cleanups == 1, state(1) == 2));

    // The waiter is let go before the blocker: its wait must end after the
    // blocker went on.
    Async waiter([&] { pool->WaitForAllTasks(); });
    ASSERT_TRUE(Eventually([&] { return waiter.Started(); }));
    gate.Open();
    EXPECT_TRUE(waiter.Finish());
    EXPECT_GT(waiter.ReturnedAt(), probes[0].leftGate.load()) << "returned while a task ran";
    EXPECT_TRUE(KA_ALL(pool->IsIdle(), pool->GetIdleThreadCount() == 1));
    EXPECT_EQ(probes[1].runs + probes[2].runs + probes[2].cleanups + probes[3].runs, 3);
    EXPECT_TRUE(KA_ALL(probes[0].order < probes[2].order, probes[2].order < probes[3].order))
        << "one thread runs tasks in registration order";
}

TEST(ThreadPool, DataBeforeTheFirstTaskOnlyAndTeardownRunsQueuedWork) {
    Ref<KaThreadPool> pool;
    ASSERT_TRUE(katest::System()->CreateThreadPool(2, pool.put()));
    Probe data[3];
    EXPECT_FALSE(
        KA_ANY(pool->SetData(-1, Arg(data[0]), Clean), pool->SetData(2, Arg(data[0]), Clean)));
    EXPECT_TRUE(
        KA_ALL(pool->SetData(0, Arg(data[0]), Clean), pool->SetData(0, Arg(data[0]), nullptr)));
    EXPECT_EQ(data[0].cleanups.load(), 0) << "the same data keeps its clean-up";
    EXPECT_TRUE(
        KA_ALL(pool->SetData(0, Arg(data[1]), Clean), pool->SetData(1, Arg(data[2]), Clean)));
    EXPECT_EQ(data[0].cleanups.load(), 1);

    Gate gate;
    Probe busy[2] = {Probe(&gate), Probe(&gate)}, queued[20];
    for (Probe& probe : busy) pool->RegisterTask(Work, Arg(probe), Clean, nullptr);
    ASSERT_TRUE(Eventually([&] { return busy[0].runs + busy[1].runs == 2; }));
    EXPECT_EQ(busy[0].threadData + busy[1].threadData, Arg(data[1]) + Arg(data[2]));
    for (Probe& probe : queued) pool->RegisterTask(Work, Arg(probe), Clean, nullptr);
    ProcessLog::NewLines();
    EXPECT_FALSE(pool->SetData(0, Arg(data[0]), Clean));
    EXPECT_EQ(ProcessLog::NewLines(), Lines{"[ERROR]     : SetData() was skipped. It must have "
                                            "been called before any of RegisterTask() calls. "
                                            "TaskCounter=21"});

    // The last release runs the queued work, stops the threads, then cleans
    // up each thread's data once.
    Async teardown([raw = pool.release()] { raw->Release(); });
    ASSERT_TRUE(Eventually([&] { return teardown.Started(); }));
    gate.Open();
    ASSERT_TRUE(teardown.Finish());
    EXPECT_GT(teardown.ReturnedAt(), std::max(busy[0].leftGate.load(), busy[1].leftGate.load()))
        << "did not wait for running work";
    for (Probe& probe : queued) EXPECT_EQ(probe.runs + probe.cleanups, 2);
    EXPECT_EQ(data[0].cleanups + data[1].cleanups + data[2].cleanups, 3);
}

// Another thread cancels recently registered tasks: every clean-up runs
// once, and a task whose cancel succeeded never runs.
TEST(ThreadPool, ConcurrentCancelCleansEveryTaskUpOnce) {
    constexpr int kTasks = 100000;
    Ref<KaThreadPool> pool;
    ASSERT_TRUE(katest::System()->CreateThreadPool(2, pool.put()));
    // The first two hold both threads until half the tasks are in and the
    // canceller has started on them; from then on it meets a queue that the
    // threads are taking from.
    Gate gate;
    std::vector<Probe> probes(kTasks);
    probes[0].gate = probes[1].gate = &gate;
    std::unique_ptr<std::atomic<bool>[]> cancelled(new std::atomic<bool>[kTasks] {});
    std::atomic<int> last{-1}, cancelling{0};
    Async canceller([&] {
        std::mt19937 random(11);
        while (last < kTasks - 1) {
            int id = last - static_cast<int>(random() % 64);
            if (id >= 0 && pool->CancelTask(id)) {
                cancelled[id] = true;
                ++cancelling;
            }
        }
    });
    int wrong = 0, cancels = 0;
    for (int i = 0; i < kTasks; ++i) {
        int32_t id = -1;
        pool->RegisterTask(Work, Arg(probes[i]), Clean, &id);
        wrong += id != i;
        last = i;
        if (i == kTasks / 2 && Eventually([&] { return cancelling > 0; })) gate.Open();
    }
    ASSERT_TRUE(canceller.Finish() && WaitIdle(pool.get()));
    for (int i = 0; i < kTasks; ++i) {
        wrong += probes[i].cleanups != 1 || probes[i].runs != (cancelled[i] ? 0 : 1);
        cancels += cancelled[i];
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(cancels, 0) << "the race was not run";
}

TEST(TaskGraph, PrerequisitesStatesAndRules) {
    KaSystem* system = katest::System();
    Ref<KaTaskRunner> runner, other;
    Ref<KaTask> foreign;
    ASSERT_TRUE(system->CreateTaskRunner(2, runner.put()) &&
                system->CreateTaskRunner(1, other.put()) && other->CreateTask(foreign.put()));
    EXPECT_FALSE(runner->CreateTask(nullptr));
    Gate gate;
    Probe probes[5] = {Probe(&gate, 20), Probe(nullptr, 1)};  // first, second, plain, late, after
    std::vector<Ref<KaTask>> tasks = MakeTasks(runner.get(), probes, 5);
    KaTask *first = tasks[0].get(), *second = tasks[1].get(), *plain = tasks[2].get();
    KaTask *late = tasks[3].get(), *after = tasks[4].get();
    EXPECT_TRUE(KA_ALL(first->GetRunner() == runner.get(), first->GetRefCount() == 1));
    EXPECT_TRUE(plain->SetFunction(nullptr, Arg(probes[2]), nullptr));
    EXPECT_EQ(probes[2].cleanups.load(), 1) << "replacing cleans up, even the same data";
    probes[1].prerequisites = {first, late};

    EXPECT_FALSE(second->AddDependency(nullptr));
    EXPECT_FALSE(second->AddDependency(foreign.get())) << "another runner's task";
    EXPECT_TRUE(KA_ALL(second->AddDependency(first), second->Submit()));
    EXPECT_TRUE(KA_ALL(second->GetState() == 1, !second->Submit())) << "waiting, submitted once";
    EXPECT_TRUE(KA_ALL(plain->AddDependency(second), plain->Submit()));
    EXPECT_TRUE(KA_ALL(first->Submit(), first->GetState() >= 2));
    ProcessLog::NewLines();
    EXPECT_FALSE(first->AddDependency(plain));
    EXPECT_EQ(ProcessLog::NewLines(), Lines{"[ERROR]     : Could not modify task dependencies "
                                            "since it had been queued."});
    EXPECT_FALSE(first->SetFunction(Work, 0, nullptr));
    EXPECT_TRUE(second->AddDependency(late)) << "a waiting task takes more prerequisites";
    gate.Open();
    ASSERT_TRUE(Eventually([&] { return first->GetState() == 4; }));
    // Had it run now, its probe would have seen `late` unfinished (early).
    EXPECT_EQ(second->GetState(), 1u) << "still waiting for the late prerequisite";
    EXPECT_TRUE(late->Submit());
    ASSERT_TRUE(Eventually([&] { return plain->GetState() == 4; }));
    EXPECT_TRUE(
        KA_ALL(first->GetResult() == 20, second->GetResult() == 21, plain->GetResult() == 0));
    EXPECT_FALSE(probes[1].early);
    // A prerequisite that finished already does not count.
    EXPECT_TRUE(KA_ALL(after->AddDependency(first), after->Submit(), after->GetState() != 1));

    Probe kept;
    Ref<KaTask> detached;
    ASSERT_TRUE(runner->CreateTask(detached.put()) &&
                detached->SetFunction(Work, Arg(kept), Clean));
    EXPECT_TRUE(KA_ALL(detached->DetachData() == Arg(kept), detached->GetData() == 0));
    detached.reset();
    EXPECT_EQ(kept.cleanups.load(), 0);
    ASSERT_TRUE(WaitIdle(runner->GetThreadPool()));
    EXPECT_EQ(probes[4].runs.load(), 1);
}

// Freed tasks queue in waiting-list order, a stable sort by pending count: D1,
// D2 wait for P, D3 for P and Q; D1 then takes Q too: behind D2, before D3.
TEST(TaskGraph, FreedTasksQueueInWaitingListOrder) {
    Ref<KaTaskRunner> runner;
    ASSERT_TRUE(katest::System()->CreateTaskRunner(1, runner.put()));
    Gate gate;
    Probe hold(&gate), probes[5];                                              // P, Q, D1, D2, D3
    runner->GetThreadPool()->RegisterTask(Work, Arg(hold), nullptr, nullptr);  // holds the thread
    std::vector<Ref<KaTask>> tasks = MakeTasks(runner.get(), probes, 5);
    ASSERT_TRUE(tasks[4]->AddDependency(tasks[1].get()));
    for (int d = 2; d < 5; ++d) {
        ASSERT_TRUE(tasks[d]->AddDependency(tasks[0].get()) && tasks[d]->Submit());
    }
    ASSERT_TRUE(tasks[2]->AddDependency(tasks[1].get()) && tasks[1]->Submit() &&
                tasks[0]->Submit());
    gate.Open();
    ASSERT_TRUE(WaitIdle(runner->GetThreadPool()));
    EXPECT_TRUE(KA_ALL(probes[1].order < probes[0].order, probes[0].order < probes[3].order,
                       probes[3].order < probes[2].order, probes[2].order < probes[4].order))
        << "not Q, P, D2, D1, D3";
}

// A cycle, a lone task, and W waiting for P (never submitted) with dependent D;
// X and Y (never submitted) wait for the first task of the cycle, named around
// its cycle edge, so cutting that edge closes the gap in the middle of a list.
TEST(TaskGraph, CyclesNeverRunAndTeardownCutsOnlyTheirReferences) {
    Probe probes[8];  // cycle, cycle, lone, W, P, D, X, Y
    Ref<KaTask> p;
    {
        Ref<KaTaskRunner> runner;
        ASSERT_TRUE(katest::System()->CreateTaskRunner(2, runner.put()));
        std::vector<Ref<KaTask>> tasks = MakeTasks(runner.get(), probes, 8);
        ASSERT_TRUE(
            tasks[0]->AddDependency(tasks[1].get()) && tasks[6]->AddDependency(tasks[0].get()) &&
            tasks[1]->AddDependency(tasks[0].get()) && tasks[7]->AddDependency(tasks[0].get()) &&
            tasks[3]->AddDependency(tasks[4].get()) && tasks[5]->AddDependency(tasks[3].get()));
        for (int i : {0, 1, 2, 3}) ASSERT_TRUE(tasks[i]->Submit());
        ASSERT_TRUE(WaitIdle(runner->GetThreadPool()));
        EXPECT_TRUE(KA_ALL(probes[2].runs == 1, tasks[0]->GetState() + tasks[1]->GetState() == 2));
        p = std::move(tasks[4]);
    }
    EXPECT_EQ(probes[0].runs + probes[1].runs + probes[3].runs, 0);
    EXPECT_EQ(probes[0].cleanups + probes[1].cleanups, 2)
        << "the runner's teardown frees the cycle";
    EXPECT_TRUE(KA_ALL(probes[6].cleanups == 1, probes[7].cleanups == 1))
        << "the cycle's first task let X and Y go, each once";
    EXPECT_EQ(probes[5].cleanups.load(), 0) << "W dropped D before W itself went";
    p.reset();
    EXPECT_EQ(probes[3].cleanups + probes[5].cleanups, 2) << "P holds W, W holds D";
}

// Each task combines its prerequisites' results: a wrong one, a task run
// twice or before a prerequisite finished shows.
TEST(TaskGraph, RandomGraphsRunEveryTaskOnceInOrder) {
    constexpr int kTasks = 1000;
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 random(seed);
        std::vector<Probe> probes(kTasks);
        std::vector<int64_t> expected(kTasks);
        int wrong = 0;
        {
            Ref<KaTaskRunner> runner;
            ASSERT_TRUE(katest::System()->CreateTaskRunner(4, runner.put()));
            std::vector<Ref<KaTask>> tasks = MakeTasks(runner.get(), probes.data(), kTasks);
            for (int i = 0; i < kTasks; ++i) {
                expected[i] = probes[i].base = i;
                for (unsigned edges = i > 0 ? random() % 5 : 0; edges > 0; --edges) {
                    int from = static_cast<int>(random() % i);
                    ASSERT_TRUE(tasks[i]->AddDependency(tasks[from].get()));
                    probes[i].prerequisites.push_back(tasks[from].get());
                    expected[i] += expected[from];
                }
                expected[i] %= 1000003;
            }
            std::vector<int> submitOrder(kTasks);
            std::iota(submitOrder.begin(), submitOrder.end(), 0);
            std::shuffle(submitOrder.begin(), submitOrder.end(), random);
            for (int i : submitOrder) ASSERT_TRUE(tasks[i]->Submit());
            ASSERT_TRUE(WaitIdle(runner->GetThreadPool()));
            for (int i = 0; i < kTasks; ++i) {
                wrong += tasks[i]->GetState() != 4 || tasks[i]->GetResult() != expected[i] ||
                         probes[i].runs != 1 || probes[i].early;
            }
        }
        for (Probe& probe : probes) wrong += probe.cleanups != 1;
        EXPECT_EQ(wrong, 0) << "seed " << seed;
    }
}

// Released right after Run, a worker may not have picked the request up yet:
// it is then neither run nor cleaned up.
TEST(WorkerThread, RunWaitResultCleanupsAndTeardown) {
    EXPECT_FALSE(katest::System()->CreateWorkerThread(nullptr));
    Gate gate;
    Probe first, second, job(&gate, 42);
    {
        Ref<KaWorkerThread> worker;
        ASSERT_TRUE(katest::System()->CreateWorkerThread(worker.put()));
        EXPECT_TRUE(KA_ALL(worker->IsIdle(), worker->GetResult() == 0));
        EXPECT_TRUE(Async([&] { worker->Wait(); }).Finish()) << "nothing posted";
        EXPECT_TRUE(KA_ALL(worker->SetData(Arg(first), Clean), worker->SetData(Arg(first), Clean),
                           worker->SetData(Arg(second), Clean)));
        EXPECT_EQ(first.cleanups.load(), 2) << "each replacement cleans up, even the same data";
        ASSERT_TRUE(worker->Run(Work, Arg(job), Clean));
        EXPECT_FALSE(KA_ANY(worker->IsIdle(), worker->Run(Work, Arg(job), Clean))) << "busy";
        gate.Open();
        EXPECT_TRUE(Async([&] { worker->Wait(); }).Finish());
        EXPECT_TRUE(KA_ALL(worker->GetResult() == 42, worker->IsIdle()));
        EXPECT_TRUE(KA_ALL(job.runs == 1, job.cleanups == 1, job.threadData == Arg(second)));
    }
    EXPECT_EQ(second.cleanups.load(), 1);

    // A loaded machine lets most workers pick their request up before the
    // release: batches of 100 go on until one was dropped unpicked.
    std::vector<Probe> probes(1000);
    int wrong = 0, unrun = 0;
    for (size_t i = 0; i < probes.size() && (i % 100 != 0 || unrun == 0); ++i) {
        {
            Ref<KaWorkerThread> worker;
            ASSERT_TRUE(katest::System()->CreateWorkerThread(worker.put()) &&
                        worker->Run(Work, Arg(probes[i]), Clean));
        }
        wrong += probes[i].cleanups != probes[i].runs || probes[i].runs > 1;
        unrun += probes[i].runs == 0;
    }
    EXPECT_EQ(wrong, 0) << "cleaned up without a run, or run twice";
    EXPECT_GT(unrun, 0) << "the race was not run";
}

// Released inside their own work, they cannot join the thread they run on:
// the teardown happens on another one once that work has returned.
TEST(Concurrency, LastReleaseOnAnOwnThreadTearsDownElsewhere) {
    KaSystem* system = katest::System();
    TaskFunction release = [](uintptr_t, uintptr_t object) -> int32_t {
        reinterpret_cast<KaObject*>(object)->Release();
        return 5;
    };
    Probe data[3];
    KaThreadPool* pool = nullptr;
    KaTaskRunner* runner = nullptr;
    KaWorkerThread* worker = nullptr;
    Ref<KaTask> task;
    ASSERT_TRUE(system->CreateThreadPool(2, &pool) && system->CreateTaskRunner(1, &runner) &&
                system->CreateWorkerThread(&worker) && runner->CreateTask(task.put()));
    pool->SetData(0, Arg(data[0]), Clean);
    runner->GetThreadPool()->SetData(0, Arg(data[1]), Clean);
    worker->SetData(Arg(data[2]), Clean);
    pool->RegisterTask(release, reinterpret_cast<uintptr_t>(pool), nullptr, nullptr);
    task->SetFunction(release, reinterpret_cast<uintptr_t>(runner), nullptr);
    ASSERT_TRUE(task->Submit());
    ASSERT_TRUE(worker->Run(release, reinterpret_cast<uintptr_t>(worker), nullptr));
    for (Probe& probe : data) EXPECT_TRUE(Eventually([&] { return probe.cleanups == 1; }));
    EXPECT_TRUE(KA_ALL(task->GetState() == 4, task->GetResult() == 5));
}

TEST(CpuUsage, CountsProcessorsAndMeasuresFromTheSecondSample) {
    katest::AllowHandleGrowth("the CPU counter lives as long as the module", 8);
    KaCpuUsageCounter* counter = katest::System()->GetCpuUsageCounter();
    ASSERT_TRUE(counter != nullptr && katest::System()->GetCpuUsageCounter() == counter);
    double usage = -1;
    uint32_t processors = 0, again = 0;
    EXPECT_TRUE(KA_ALL(counter->GetCpuUsage(nullptr, nullptr),
                       counter->GetCpuUsage(&usage, &processors),
                       counter->GetCpuUsage(nullptr, &again)));
    EXPECT_EQ(usage, 0.0) << "no data before the second sample";
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    EXPECT_TRUE(KA_ALL(processors == info.dwNumberOfProcessors, again == processors)) << processors;
    // A processor kept busy, so a measured value is above 0. (Wine's counter
    // is a stub: its value comes out as about 2.5e-323 %.)
    std::atomic<bool> measured{false};
    Async load([&] {
        while (!measured) ::YieldProcessor();
    });
    EXPECT_TRUE(Eventually([&] { return counter->GetCpuUsage(&usage, nullptr) && usage > 0; }));
    // Uninitialize stops the sampler; the next Initialize starts it over.
    katest::System()->Uninitialize();
    katest::System()->Initialize();
    EXPECT_TRUE(KA_ALL(counter->GetCpuUsage(&usage, nullptr), usage == 0.0))
        << "not started over: " << usage;
    EXPECT_TRUE(Eventually([&] { return counter->GetCpuUsage(&usage, nullptr) && usage > 0; }))
        << "no sampling since Initialize";
    measured = true;
    EXPECT_TRUE(KA_ALL(usage >= 0.0, usage <= 100.0)) << usage;
}

int32_t SleepLong(uintptr_t, uintptr_t) {
    ::Sleep(INFINITE);
    return 0;
}

// "exit", "unload": the CPU counter sampling, a pool and a worker busy with
// work queued; "unload" unloads the library, which the busy threads keep;
// the process ends with them alive. "cpu": a pool and worker used and
// released; after FreeLibrary the sampler leaves and the library unloads.
KA_CHILD_MODE(shut_down) {
    HMODULE dll = ::LoadLibraryW(L"KaSystem.x64.dll");
    auto get = ka::ResolveExport<KaGetModuleFunction>(dll, "KaGetModule");
    KaSystem* system = get != nullptr ? get() : nullptr;
    KaThreadPool* pool = nullptr;
    KaWorkerThread* worker = nullptr;
    if (system == nullptr || !system->Initialize() || system->GetCpuUsageCounter() == nullptr ||
        !system->CreateThreadPool(2, &pool) || !system->CreateWorkerThread(&worker)) {
        return 2;
    }
    Probe probe;
    bool alive = args != L"cpu";
    TaskFunction function = alive ? SleepLong : Work;
    for (int i = 0; i < 5; ++i) pool->RegisterTask(function, Arg(probe), nullptr, nullptr);
    worker->Run(function, Arg(probe), nullptr);
    if (!alive) {
        worker->Release();
        pool->Release();
    }
    ::Sleep(100);
    if (args == L"exit") return katest::kChildOk;
    system->Uninitialize();
    if (!::FreeLibrary(dll)) return 3;
    auto unloaded = [] { return ::GetModuleHandleW(L"KaSystem.x64.dll") == nullptr; };
    if (alive) return unloaded() ? 4 : katest::kChildOk;  // the busy threads hold it
    return Eventually(unloaded, 10000) ? katest::kChildOk : 5;
}

TEST(ConcurrencyShutDown, NeitherUnloadNorExitWaitsForLiveThreads) {
    katest::TempDir dir;
    const std::wstring file = dir.File(L"cpu.log");
    for (const wchar_t* how : {L"exit", L"unload", L"cpu"}) {
        EXPECT_EQ(katest::RunChild("shut_down", how, {{L"KAV_QMT_LOG_FILE", file}}, kBound),
                  katest::kChildOk)
            << katest::Narrow(how);
    }
    // The last run's unload ends the file: the counter's lines, the logger's last.
    std::string log = katest::ReadFileBytes(file);
    EXPECT_TRUE(std::regex_search(
        log,
        std::regex(R"(\[INFO\] +: Waiting for the performance counter thread shutting down)"
                   R"(\.\.\.\r\n\[INFO\] +: Performance counter thread was shut down: \d+\.\d )"
                   R"(\[sec\]\r\n\[STATUS\] +: Log session terminated\.\r\n$)")))
        << log;
}

}  // namespace

static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
