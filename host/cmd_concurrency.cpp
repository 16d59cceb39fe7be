// Commands on the library's concurrency services: `cpu` samples the
// processor load, `graph` runs a random task graph, `pool` times a thread
// pool, `lock` holds a named mutex.
#include "frame/handles.h"
#include "host/kahost.h"

#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace kahost {
namespace {

// A task of a random graph: its result is its number plus the results of its
// prerequisites (modulo a prime), which the host works out beforehand.
struct GraphNode {
    int32_t number = 0;
    std::vector<KaTask*> prerequisites;
    std::atomic<int> runs{0};
};

int32_t ComputeNode(uintptr_t, uintptr_t data) {
    auto& node = *reinterpret_cast<GraphNode*>(data);
    ++node.runs;
    int64_t sum = node.number;
    for (KaTask* prerequisite : node.prerequisites) sum += prerequisite->GetResult();
    return static_cast<int32_t>(sum % 1000003);
}

// A pool task: marks its own tally entry; the host checks every one after.
int32_t CountRun(uintptr_t, uintptr_t tally) {
    reinterpret_cast<std::atomic<uint8_t>*>(tally)->fetch_add(1, std::memory_order_relaxed);
    return 0;
}

bool ReportLockWait(uintptr_t waited) {
    std::printf("lock: still waiting (%u s)\n", ++*reinterpret_cast<unsigned*>(waited));
    std::fflush(stdout);
    return true;
}

}  // namespace

bool RunRandomGraph(KaSystem* system, int count, int threads, const char* label) {
    ka::ObjectRef<KaTaskRunner> runner;
    if (!system->CreateTaskRunner(threads, runner.put())) return Fail("CreateTaskRunner failed");
    std::mt19937 random(::GetTickCount());
    std::vector<GraphNode> nodes(static_cast<size_t>(count));
    std::vector<ka::ObjectRef<KaTask>> tasks(static_cast<size_t>(count));
    std::vector<int64_t> expected(static_cast<size_t>(count));
    size_t edges = 0;
    for (int i = 0; i < count; ++i) {
        if (!runner->CreateTask(tasks[i].put())) return Fail("CreateTask failed");
        nodes[i].number = i;
        int64_t sum = i;
        for (unsigned k = i > 0 ? random() % 4 : 0; k > 0; --k, ++edges) {
            int from = static_cast<int>(random() % static_cast<unsigned>(i));
            if (!tasks[i]->AddDependency(tasks[from].get())) return Fail("AddDependency failed");
            nodes[i].prerequisites.push_back(tasks[from].get());
            sum += expected[from];
        }
        expected[i] = sum % 1000003;
        tasks[i]->SetFunction(ComputeNode, reinterpret_cast<uintptr_t>(&nodes[i]), nullptr);
    }
    // Submitted last first, so most tasks wait for their prerequisites.
    ULONGLONG start = ::GetTickCount64();
    for (int i = count; i-- > 0;) {
        if (!tasks[i]->Submit()) return Fail("Submit failed");
    }
    runner->GetThreadPool()->WaitForAllTasks();
    ULONGLONG elapsed = ::GetTickCount64() - start;
    int wrong = 0;
    for (int i = 0; i < count; ++i) {
        wrong +=
            tasks[i]->GetState() != 4 || tasks[i]->GetResult() != expected[i] || nodes[i].runs != 1;
    }
    std::printf("%s%d tasks, %zu prerequisites, %d threads: %s (%llu ms)\n", label, count, edges,
                threads, wrong == 0 ? "every result checked" : "WRONG RESULTS",
                static_cast<unsigned long long>(elapsed));
    return wrong == 0 || Fail(std::to_string(wrong) + " tasks ran wrongly or not exactly once");
}

int RunCpu(const Invocation& call) {
    long seconds = 10;
    if (call.args.size() > 1 ||
        (call.args.size() == 1 && !ParseCount(call.args[0], 0, 86400, seconds))) {
        return UsageError("cpu takes whole seconds, 0 to 86400 (default 10)");
    }
    KaCpuUsageCounter* counter = call.system->GetCpuUsageCounter();
    uint32_t processors = 0;
    if (counter == nullptr || !counter->GetCpuUsage(nullptr, &processors)) {
        Fail("the library has no CPU usage counter");
        return kExitFailed;
    }
    std::printf("processors: %u logical\n", processors);
    std::fflush(stdout);
    // The counter samples every 2 s from its creation and has a value from
    // the second sample on; reading half a second after each sample misses none.
    ::Sleep(500);
    for (long at = 2; at <= seconds; at += 2) {
        ::Sleep(2000);
        double usage = 0;
        if (!counter->GetCpuUsage(&usage, nullptr)) {
            Fail("the performance counter gave no value (the library's log says why)");
            return kExitFailed;
        }
        std::printf("%5ld s  %5.1f %%\n", at, usage);
        std::fflush(stdout);
    }
    return kExitOk;
}

int RunGraph(const Invocation& call) {
    long count = 0;
    if (call.args.size() != 1 || !ParseCount(call.args[0], 1, 1000000, count)) {
        return UsageError("graph takes the number of tasks, 1 to 1000000");
    }
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    int threads = static_cast<int>(info.dwNumberOfProcessors > 1 ? info.dwNumberOfProcessors : 2);
    return RunRandomGraph(call.system, static_cast<int>(count), threads, "graph: ") ? kExitOk
                                                                                    : kExitFailed;
}

// N trivial tasks through one pool, timed from the first registration to
// the pool being idle: the cost of the pool's own queue and hand-over.
int RunPool(const Invocation& call) {
    long count = 0, threads = 0;
    if (call.args.empty() || call.args.size() > 2 ||
        !ParseCount(call.args[0], 1, 10000000, count) ||
        (call.args.size() == 2 && !ParseCount(call.args[1], 1, 256, threads))) {
        return UsageError(
            "pool takes a number of tasks, 1 to 10000000, and optionally threads, 1 to 256");
    }
    if (threads == 0) {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        threads = static_cast<long>(info.dwNumberOfProcessors);
    }
    ka::ObjectRef<KaThreadPool> pool;
    if (!call.system->CreateThreadPool(static_cast<int>(threads), pool.put())) {
        Fail("pool: CreateThreadPool failed");
        return kExitFailed;
    }
    std::vector<std::atomic<uint8_t>> tally(static_cast<size_t>(count));
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    for (auto& entry : tally) {
        pool->RegisterTask(CountRun, reinterpret_cast<uintptr_t>(&entry), nullptr, nullptr);
    }
    pool->WaitForAllTasks();
    ::QueryPerformanceCounter(&end);
    long wrong = 0;
    for (auto& entry : tally) wrong += entry.load() != 1;
    if (wrong != 0) {
        Fail("pool: " + std::to_string(wrong) + " of " + std::to_string(count) +
             " tasks did not run exactly once");
        return kExitFailed;
    }
    double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
    std::printf("pool: %ld tasks on %d threads, each ran once: %.0f tasks/s (%.1f ms)\n", count,
                pool->GetThreadCount(), seconds > 0 ? count / seconds : 0.0, seconds * 1000);
    return kExitOk;
}

// Holds the named mutex for a while: handy to make other processes wait.
int RunLock(const Invocation& call) {
    long seconds = 0;
    if (call.args.size() != 2 || call.args[0].empty() ||
        !ParseCount(call.args[1], 0, 86400, seconds)) {
        return UsageError("lock takes a mutex name and whole seconds, 0 to 86400");
    }
    ka::ObjectRef<KaMutex> mutex;
    if (!call.system->CreateMutex(mutex.put(), call.args[0].c_str())) {
        Fail("lock: the system refuses a mutex named " + Utf8(call.args[0]) +
             " (the library's log says why)");
        return kExitFailed;
    }
    std::string name = Utf8(mutex->GetName());
    unsigned waited = 0;
    if (!mutex->LockWithCallback(ReportLockWait, reinterpret_cast<uintptr_t>(&waited), 1)) {
        Fail("lock: cannot obtain " + name);
        return kExitFailed;
    }
    std::printf("lock: holding %s for %ld s\n", name.c_str(), seconds);
    std::fflush(stdout);
    ::Sleep(static_cast<DWORD>(seconds) * 1000);
    if (!mutex->Unlock()) {
        Fail("lock: cannot release " + name);
        return kExitFailed;
    }
    std::printf("lock: released %s\n", name.c_str());
    return kExitOk;
}

}  // namespace kahost
