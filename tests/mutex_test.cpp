// KaMutex: kernel names, ownership, and waits in slices while a child
// process holds the mutex or dies holding it.
#include "support/ka_test.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;
using katest::ProcessLog;

std::wstring Unique(const wchar_t* what) {
    return L"katest_" + std::wstring(what) + std::to_wstring(::GetCurrentProcessId());
}

bool Make(ka::ObjectRef<KaMutex>& mutex, const std::wstring& name) {
    return katest::System()->CreateMutex(mutex.put(), name.c_str());
}

TEST(Mutex, KernelNamesAndOwnership) {
    ka::ObjectRef<KaMutex> mutex;
    ASSERT_TRUE(Make(mutex, L"Global\\a\\b"));  // the caller's part never names a namespace
    EXPECT_STREQ(mutex->GetName(), L"Global\\Global_a_b");
    EXPECT_TRUE(ka::UniqueHandle(::OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\Global_a_b")));
    const std::wstring letters = Unique(L"cut") + std::wstring(10000, L'n');
    for (size_t length : {259u, 260u, 10000u}) {
        ASSERT_TRUE(Make(mutex, letters.substr(0, length)));
        EXPECT_EQ(mutex->GetName(), L"Global\\" + letters.substr(0, 253)) << length;
    }
    KaMutex* untouched = nullptr;
    ProcessLog::NewLines();
    const std::wstring event = Unique(L"event");  // the kernel gives the name another type
    ka::UniqueHandle other(::CreateEventW(nullptr, TRUE, FALSE, (L"Global\\" + event).c_str()));
    for (const wchar_t* bad : {L"", static_cast<const wchar_t*>(nullptr), event.c_str()}) {
        EXPECT_FALSE(KA_ANY(katest::System()->CreateMutex(&untouched, bad), untouched != nullptr));
    }

    ASSERT_TRUE(Make(mutex, Unique(L"own")));
    EXPECT_FALSE(mutex->Unlock());
    EXPECT_EQ(ProcessLog::NewLines(), (Lines{"[ERROR]     : Failed to create a mutex object: "
                                             "Global\\" +
                                                 katest::Narrow(event),
                                             "[ERROR]     : Failed to release mutex."}));
    EXPECT_TRUE(KA_ALL(mutex->Lock(nullptr, 0), mutex->LockWithCallback(nullptr, 0, -5)));
    EXPECT_TRUE(KA_ALL(mutex->Unlock(), mutex->Unlock(), !mutex->Unlock())) << "recursive";
}

// args: mutex name, seconds to hold it (-1: die holding it). Sets the event
// "<name>_ready" once it holds the mutex.
KA_CHILD_MODE(mutex_holder) {
    size_t space = args.find(L' ');
    int seconds = std::stoi(args.substr(space + 1));
    ka::ObjectRef<KaMutex> mutex;
    if (!Make(mutex, args.substr(0, space)) || !mutex->Lock(nullptr, 0)) return 2;
    std::wstring ready = args.substr(0, space) + L"_ready";
    ::SetEvent(ka::UniqueHandle(::OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str())).get());
    if (seconds < 0) ::ExitProcess(katest::kChildOk);
    ::Sleep(seconds * 1000);
    return mutex->Unlock() ? katest::kChildOk : 3;
}

struct Holder {  // a child holding the mutex from construction on
    Holder(const std::wstring& name, int seconds) {
        ka::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, (name + L"_ready").c_str()));
        child = katest::StartChild("mutex_holder", name + L" " + std::to_wstring(seconds),
                                   {{L"KAV_QMT_LOG_FILE", std::nullopt}});
        EXPECT_EQ(::WaitForSingleObject(ready.get(), 30000), WAIT_OBJECT_0);
    }
    ~Holder() { EXPECT_TRUE(child && child->Wait() == katest::kChildOk); }
    std::unique_ptr<katest::Child> child;
};

bool GiveUp(uintptr_t calls) { return ++*reinterpret_cast<int*>(calls), false; }

TEST(Mutex, WaitsInSlicesWhileAnotherProcessHolds) {
    const std::wstring name = Unique(L"shared");
    ka::ObjectRef<KaMutex> mutex;
    ASSERT_TRUE(Make(mutex, name));
    const std::string info = "[INFO]      : KaMutex: ", full = katest::Narrow(mutex->GetName());
    ProcessLog::NewLines();
    {
        Holder holder(name, 5);  // time-outs at 2 and 4 s, obtained at 5 s
        EXPECT_TRUE(KA_ALL(mutex->Lock(L"test", 2), mutex->Unlock()));
    }
    EXPECT_EQ(ProcessLog::NewLines(),
              (Lines{info + full + " test (2 sec)", info + full + " test (4 sec)"}));
    {
        Holder holder(name, 6);
        int calls = 0;
        EXPECT_FALSE(mutex->LockWithCallback(GiveUp, reinterpret_cast<uintptr_t>(&calls), 1));
        EXPECT_EQ(calls, 1) << "asked once, after the first time-out";
        EXPECT_EQ(ProcessLog::NewLines(), Lines{}) << "the callback path logs nothing";
        EXPECT_TRUE(KA_ALL(mutex->LockWithCallback(nullptr, 0, 2), mutex->Unlock()));  // 3, 5, 6 s
    }
    const std::string waiting = info + "waiting for obtaining ownership of the mutex... " + full;
    EXPECT_EQ(ProcessLog::NewLines(), (Lines{waiting + " (2 sec)", waiting + " (4 sec)"}));
    { Holder dies(name, -1); }
    EXPECT_TRUE(KA_ALL(mutex->Lock(nullptr, 0), mutex->Unlock())) << "abandoned by a dead process";
}

}  // namespace

static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
