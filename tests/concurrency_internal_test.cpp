// What the DLL cannot be made to do on purpose: a thread that fails to start
// part-way through a pool's start, and a pool that refuses work.
#include "concurrency/task_runner.h"
#include "concurrency/thread_pool.h"
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace {

std::vector<ka::UniqueHandle> g_started;  // a copy of each thread's handle
int g_startsLeft = 0;

ka::UniqueHandle FailingStarter(ka::LibraryThreadBody body, void* context, size_t stack) {
    if (g_startsLeft-- == 0) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return ka::UniqueHandle();
    }
    ka::UniqueHandle thread = ka::StartLibraryThread(body, context, stack);
    ::DuplicateHandle(::GetCurrentProcess(), thread.get(), ::GetCurrentProcess(),
                      g_started.emplace_back().put(), SYNCHRONIZE, FALSE, 0);
    return thread;
}

TEST(ThreadPool, StartFailingPartWayJoinsTheThreadsItStarted) {
    g_startsLeft = 2;
    auto* untouched = reinterpret_cast<KaThreadPool*>(uintptr_t(0x1234));
    KaThreadPool* pool = untouched;
    EXPECT_FALSE(ka::MakeThreadPool(4, &pool, &FailingStarter));
    EXPECT_TRUE(KA_ALL(pool == untouched, ::GetLastError() == ERROR_NOT_ENOUGH_MEMORY));
    ASSERT_EQ(g_started.size(), 2u);
    for (ka::UniqueHandle& thread : g_started) {
        EXPECT_EQ(::WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0) << "outlived the start";
    }
    g_started.clear();
}

// A real pool that refuses RegisterTask while `refuse` is set, and notes the
// state of `watched` at each RegisterTask.
class RefusingPool final : public KaThreadPool {
public:
    explicit RefusingPool(KaThreadPool* pool) : real(pool) {}
    std::atomic<bool> refuse{false};
    KaTask* watched = nullptr;
    std::atomic<uint32_t> watchedState{9};
    void AddRef() override { real->AddRef(); }
    int32_t Release() override { return real->Release(); }
    int32_t GetRefCount() override { return real->GetRefCount(); }
    uint32_t GetIdleThreadCount() override { return real->GetIdleThreadCount(); }
    int32_t GetThreadCount() override { return real->GetThreadCount(); }
    uint32_t GetQueuedTaskCount() override { return real->GetQueuedTaskCount(); }
    bool RegisterTask(TaskFunction f, uintptr_t a, CleanupFunction c, int32_t* id) override {
        if (watched != nullptr) watchedState = watched->GetState();
        return !refuse && real->RegisterTask(f, a, c, id);
    }
    bool CancelTask(int32_t id) override { return real->CancelTask(id); }
    bool CancelAllTasks() override { return real->CancelAllTasks(); }
    bool GetTaskState(int32_t id, uint32_t* s) override { return real->GetTaskState(id, s); }
    bool SetData(int32_t i, uintptr_t d, CleanupFunction c) override {
        return real->SetData(i, d, c);
    }
    bool IsIdle() override { return real->IsIdle(); }
    bool WaitForAllTasks() override { return real->WaitForAllTasks(); }
    void Destroy(uint32_t) override {}

    KaThreadPool* real;
};

// Refused at Submit: back to created, the pool's reference dropped. Refused
// when its prerequisite finishes (which queues it before it reads finished
// itself): finished with -9999, and its own dependent is never counted down.
TEST(TaskGraph, RefusedQueueingUndoesTheSubmitOrFinishesWithMinus9999) {
    ka::ObjectRef<KaThreadPool> real;
    ASSERT_TRUE(ka::MakeThreadPool(1, real.put()));
    RefusingPool pool(real.get());
    ka::ObjectRef<KaTaskRunner> runner;
    ASSERT_TRUE(ka::MakeTaskRunner(1, runner.put(), &pool));
    ka::ObjectRef<KaTask> first, freed, behind, alone;
    for (auto* task : {&first, &freed, &behind, &alone}) {
        ASSERT_TRUE(runner->CreateTask(task->put()));
    }
    pool.refuse = true;
    EXPECT_FALSE(alone->Submit());
    EXPECT_TRUE(KA_ALL(alone->GetState() == 0, alone->GetRefCount() == 1));

    ka::UniqueHandle gate(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    TaskFunction wait = [](uintptr_t, uintptr_t event) -> int32_t {
        return ::WaitForSingleObject(reinterpret_cast<HANDLE>(event), 30000) == WAIT_OBJECT_0;
    };
    first->SetFunction(wait, reinterpret_cast<uintptr_t>(gate.get()), nullptr);
    pool.refuse = false;
    ASSERT_TRUE(freed->AddDependency(first.get()) && behind->AddDependency(freed.get()));
    ASSERT_TRUE(freed->Submit() && behind->Submit() && first->Submit());
    pool.refuse = true;
    pool.watched = first.get();
    ::SetEvent(gate.get());
    for (DWORD start = ::GetTickCount(); freed->GetState() + first->GetState() != 8;) {
        ASSERT_LT(::GetTickCount() - start, 30000u) << "the refused task never finished";
        ::Sleep(1);
    }
    EXPECT_EQ(pool.watchedState, 3u) << "freed tasks go to the pool while their prerequisite "
                                        "still counts as running, not after it finished";
    EXPECT_EQ(freed->GetResult(), ka::kTaskRefused);
    EXPECT_TRUE(KA_ALL(first->GetState() == 4, first->GetResult() == 1));
    EXPECT_EQ(behind->GetState(), 1u);
    real->WaitForAllTasks();
}

}  // namespace
