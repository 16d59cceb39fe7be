// The process service through the DLL: real runs of tests/child/ka_child.exe,
// environment blocks, memory counters, and the service's end at shut-down.
#include "host/ka_library.h"
#include "support/fake_stream.h"
#include "support/ka_test.h"
#include "tests/child/ka_child.h"

#include <gtest/gtest.h>

#include <psapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using kachild::Pattern;
using katest::ProcessLog;

KaProcessService* Service() { return katest::System()->GetProcessService(); }

std::wstring Child(const std::wstring& script) {
    return L"\"" + katest::ExecutableDirectory() + L"\\ka_child.exe\" " + script;
}

using TestStream = katest::FakeStream;

// What the callbacks saw, in order, and a handle of the child of our own.
struct Trace {
    std::string order;
    ka::UniqueHandle process;
    bool aliveAtTimeout = false;
};
Trace& TraceOf(uintptr_t context) { return *reinterpret_cast<Trace*>(context); }
HANDLE g_child = nullptr;  // the runner's own handle, valid during the run
bool OnStarted(void* process, uintptr_t context) {
    g_child = process;
    TraceOf(context).order += "started ";
    return ::DuplicateHandle(::GetCurrentProcess(), process, ::GetCurrentProcess(),
                             TraceOf(context).process.put(), 0, FALSE, DUPLICATE_SAME_ACCESS);
}
bool OnTimeout(void* process, uintptr_t context) {
    TraceOf(context).order += "timeout ";
    TraceOf(context).aliveAtTimeout = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    return true;
}
bool OnFinished(void*, uintptr_t context) {
    TraceOf(context).order += "finished";
    return true;
}

struct Options {
    const wchar_t* directory = nullptr;
    bool show = false;
    int32_t timeout = -1;
    KaStream* input = nullptr;
    KaStream* output = nullptr;  // null: the outcome's own
    bool errors = false;
    const void* environment = nullptr;
    Trace* trace = nullptr;
    uint32_t priority = 0;
};
struct Outcome {
    bool ok = false;
    uint32_t code = 12345;  // untouched unless written
    uint32_t pid = 0;
    TestStream out, err;
};

Outcome RunChild(const std::wstring& command, const Options& o = {}) {
    Outcome r;
    auto context = reinterpret_cast<uintptr_t>(o.trace);
    r.ok = Service()->RunProcessEx(
        command.c_str(), o.directory, o.priority, o.show, true, o.timeout, &r.pid, o.input,
        o.output ? o.output : &r.out, o.errors ? &r.err : nullptr, &r.code, o.environment,
        o.trace ? OnTimeout : nullptr, context, o.trace ? OnStarted : nullptr, context,
        o.trace ? OnFinished : nullptr, context);
    return r;
}

// Live as long as the process: the service, a window's message queue, and what Wine
// opens at the first OutputDebugStringA (GoogleTest reports failures there).
void WarmUp() {
    Service();
    ::DestroyWindow(::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      nullptr, nullptr));
    ::OutputDebugStringA("");
}
[[maybe_unused]] const bool kWarmUp = (katest::AddWarmUp(&WarmUp), true);

TEST(ProcessService, OneInstanceAndMemoryCounters) {
    ASSERT_NE(Service(), nullptr);
    EXPECT_EQ(Service(), katest::System()->GetProcessService());
    ka::ObjectRef<KaMemoryCounters> c(Service()->CreateMemoryCounters());
    ASSERT_TRUE(c);
    EXPECT_EQ(c->GetRefCount(), 0) << "the caller takes the first reference";
    c->AddRef();
    EXPECT_FALSE(Service()->QueryMemoryCounters(nullptr));
    ASSERT_TRUE(Service()->QueryMemoryCounters(c.get()));
    EXPECT_GT(c->GetWorkingSetSize(), 1u << 20);
    EXPECT_GE(c->GetPeakWorkingSetSize(), c->GetWorkingSetSize());
    EXPECT_GT(c->GetPagefileUsage(), 0u);  // Wine counts no page faults: that one stays 0
    // The system filled the record in place: its size field (no accessor; the
    // layout hosts rely on puts it after the reference count) reads 72.
    PROCESS_MEMORY_COUNTERS record;
    std::memcpy(&record, reinterpret_cast<const char*>(c.get()) + 16, sizeof record);
    EXPECT_EQ(record.cb, 72u);
    EXPECT_EQ(record.WorkingSetSize, c->GetWorkingSetSize());
}

TEST(Environment, BlockRulesWhatTheChildSeesAndTheProcessCopy) {
    EXPECT_FALSE(KA_ANY(Service()->CreateEnvironment(nullptr),
                        Service()->CreateEnvironmentFromProcess(nullptr)));
    ka::ObjectRef<KaEnvironment> env;
    ASSERT_TRUE(Service()->CreateEnvironment(env.put()));
    EXPECT_TRUE(
        KA_ALL(env->GetRefCount() == 1, std::wstring(env->GetBlock(), 2) == std::wstring(2, 0)));
    EXPECT_FALSE(KA_ANY(env->SetVariable(nullptr, L"x"), env->SetVariable(L"", L"x")));
    for (const wchar_t* name : {L"a", L"Path", L"B", L"PATH", L"gone"}) {
        EXPECT_TRUE(env->SetVariable(name, name));
    }
    EXPECT_TRUE(KA_ALL(env->SetVariable(L"a", L"x=y \u00e9"), env->SetVariable(L"gone", L""),
                       env->SetVariable(L"absent", nullptr)));
    std::wstring expected(L"B=B\0PATH=PATH\0Path=Path\0a=x=y \u00e9\0\0", 32);
    EXPECT_EQ(std::wstring(env->GetBlock(), expected.size()), expected)
        << "code-unit order, names case-sensitive, removals gone";

    katest::ScopedEnv parentOnly(L"KA_PARENT_ONLY", L"x=y=z");
    katest::ScopedEnv drive(L"=K:", L"K:\\hidden");  // as the runtime keeps a drive's folder
    Outcome seen = RunChild(Child(L"env"), {.environment = env->GetBlock()});
    ASSERT_TRUE(seen.ok) << seen.code;
    std::string block = "\n" + seen.out.bytes;
    EXPECT_NE(block.find("\na=x=y \xC3\xA9\n"), std::string::npos) << block;
    EXPECT_EQ(block.find("\nKA_PARENT_ONLY="), std::string::npos) << "inherited, not given";

    ka::ObjectRef<KaEnvironment> copy;
    ASSERT_TRUE(Service()->CreateEnvironmentFromProcess(copy.put()));
    std::wstring entries;
    for (const wchar_t* entry = copy->GetBlock(); *entry; entry += wcslen(entry) + 1) {
        entries += L"\n" + std::wstring(entry);
    }
    EXPECT_NE(entries.find(L"\nKA_PARENT_ONLY=x=y=z"), std::wstring::npos) << "every '=' kept";
    EXPECT_EQ(entries.find(L"\n="), std::wstring::npos) << "the drive folders left out";
}

TEST(ProcessRunner, InputOutputExitCodesAndLog) {
    TestStream input;  // every byte value, whole blocks: one more, empty read ends the input
    input.bytes = Pattern(3 * 8192, 5);
    katest::System()->GetLogger()->SetLevel(6);
    ProcessLog::NewLines();
    Outcome last = RunChild(Child(L"echo text last-words exit 7"), {.input = &input});
    katest::System()->GetLogger()->SetLevel(0);
    EXPECT_TRUE(KA_ALL(!last.ok, last.code == 7u)) << last.code;
    EXPECT_TRUE(last.out.bytes == input.bytes + "last-words\n") << "written just before the exit";
    EXPECT_EQ(input.seeks, (std::vector<std::pair<int64_t, uint32_t>>{{0, 2}, {0, 0}}));
    auto lines = ProcessLog::NewLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "{INFO}      : Writing into STDIN ... 24576 bytes");
    EXPECT_EQ(lines[1], "{INFO}      : Writing into STDIN ... 24576 bytes written");
    EXPECT_EQ(lines[2].substr(0, 36), "{INFO}      : Reading from pipe ... ");
}

TEST(ProcessRunner, OutputBeyondThePipeBufferOnBothStreams) {
    Outcome big = RunChild(Child(L"both 1048576"), {.errors = true});
    EXPECT_TRUE(big.ok);
    EXPECT_TRUE(big.out.bytes == Pattern(1 << 20, kachild::kOutSalt)) << big.out.bytes.size();
    EXPECT_TRUE(big.err.bytes == Pattern(1 << 20, kachild::kErrSalt)) << big.err.bytes.size();
}

TEST(ProcessRunner, StartupRecordAndPriorityClass) {
    std::string priorities;  // none, 1 idle, 2 normal, 3 high, other: none
    for (uint32_t priority : {0u, 1u, 2u, 3u, 9u}) {
        bool show = priority % 2 == 1;
        std::string line = RunChild(Child(L"info"), {.show = show, .priority = priority}).out.bytes;
        size_t at = std::min(line.find(" priority="), line.size());
        EXPECT_EQ(line.substr(0, at), std::string("flags=0x119 show=") + (show ? "5" : "0") +
                                          " x=50 y=50 xsize=1024 ysize=768 xchars=120 ychars=50 "
                                          "fill=0xa0 stdin=0 stdout=1 stderr=0")
            << "a stream without a pipe is null for the child";
        priorities += line.substr(at);
    }
    if (priorities.find("0x40") == std::string::npos &&
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
        GTEST_SKIP() << "Wine ignores the priority class given to CreateProcessW (it honours "
                        "SetPriorityClass); every child reported:"
                     << priorities;
    }
    EXPECT_EQ(priorities,
              " priority=0x20\n priority=0x40\n priority=0x20\n priority=0x80\n"
              " priority=0x20\n");
}

TEST(ProcessRunner, WorkingDirectoryMadeWithItsParents) {
    katest::TempDir dir;
    std::wstring missing = dir.File(L"a\\b\\c");
    Outcome cwd = RunChild(Child(L"cwd"), {.directory = missing.c_str()});
    EXPECT_EQ(cwd.out.bytes, katest::Narrow(missing) + "\n");
    std::wstring file = dir.File(L"file");
    ASSERT_TRUE(katest::WriteFileBytes(file, ""));
    Outcome blocked = RunChild(Child(L"exit 0"), {.directory = (file + L"\\sub").c_str()});
    EXPECT_TRUE(KA_ALL(!blocked.ok, blocked.code == 12345u)) << "a folder that cannot be made";
}

// Counts the WM_APP messages reaching a message-only window and notes
// whether the child (g_child) was running at that moment.
int g_dispatched = 0;
bool g_childRunning = false;
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    DWORD code = 0;
    if (message != WM_APP) return ::DefWindowProcW(window, message, w, l);
    g_childRunning = ++g_dispatched && ::GetExitCodeProcess(g_child, &code) && code == STILL_ACTIVE;
    return 0;
}

TEST(ProcessRunner, TimeOutsAndMessagesWhileTheChildRuns) {
    std::unique_ptr<HWND__, decltype(&::DestroyWindow)> window(
        ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                          nullptr),
        &::DestroyWindow);
    ::SetWindowLongPtrW(window.get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingProc));
    for (int i = 0; i < 5; ++i) ::PostMessageW(window.get(), WM_APP, 0, 0);
    ProcessLog::NewLines();
    Trace trace;
    Outcome hung = RunChild(Child(L"hang"), {.timeout = 2, .trace = &trace});
    EXPECT_TRUE(KA_ALL(!hung.ok, hung.code == 170000u)) << hung.code;
    EXPECT_EQ(g_dispatched, 2) << "one message per wait but the last of the 3";
    EXPECT_EQ(trace.order, "started timeout finished");
    EXPECT_TRUE(trace.aliveAtTimeout) << "the callback runs before the child is terminated";
    DWORD code = 0;
    ASSERT_EQ(::WaitForSingleObject(trace.process.get(), 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(KA_ALL(::GetExitCodeProcess(trace.process.get(), &code) != 0, code == 170000))
        << code;
    EXPECT_EQ(
        ProcessLog::NewLines(),
        std::vector<std::string>{
            "[ERROR]     : The timeout period (2s) elapsed prior to completion of the process " +
            std::to_string(hung.pid)});

    for (MSG left; ::PeekMessageW(&left, nullptr, 0, 0, PM_REMOVE);) {
    }
    g_dispatched = 0;
    trace.order.clear();
    ::PostMessageW(window.get(), WM_APP, 0, 0);
    ::PostQuitMessage(9);
    Outcome slow = RunChild(Child(L"sleep 2500 exit 3"), {.timeout = 1, .trace = &trace});
    EXPECT_TRUE(KA_ALL(!slow.ok, slow.code == 3u)) << "a time-out of 1 waits without limit";
    EXPECT_EQ(trace.order, "started finished");
    EXPECT_TRUE(KA_ALL(g_dispatched == 1, g_childRunning)) << g_dispatched;
    MSG left;
    EXPECT_FALSE(::PeekMessageW(&left, nullptr, 0, 0, PM_REMOVE))
        << "the second wait takes WM_QUIT like any other message; left: " << left.message;
}

TEST(ProcessRunner, NotWaitingLeavesTheChildRunning) {
    Trace trace;
    Outcome r;
    r.ok = Service()->RunProcessWithStartCallback(
        Child(L"sleep 300 out 10").c_str(), nullptr, 0, false, 0, &r.pid, nullptr, &r.out, nullptr,
        &r.code, nullptr, nullptr, 0, OnStarted, uintptr_t(&trace));
    EXPECT_TRUE(KA_ALL(r.ok, r.code == 0)) << r.code;
    EXPECT_EQ(r.pid, ::GetProcessId(trace.process.get()));
    DWORD code = 0;
    ASSERT_EQ(::WaitForSingleObject(trace.process.get(), 10000), WAIT_OBJECT_0);
    ::GetExitCodeProcess(trace.process.get(), &code);
    EXPECT_TRUE(code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA) << "its late write: " << code;
    EXPECT_EQ(r.out.bytes, "");
}

TEST(ProcessRunner, BadInput) {
    ProcessLog::NewLines();
    Outcome none = RunChild(L"");
    EXPECT_TRUE(KA_ALL(!none.ok, none.code == 12345u, none.pid == 0)) << "out-parameters untouched";
    EXPECT_FALSE(Service()->RunProcessEx(nullptr, nullptr, 0, false, true, -1, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, 0,
                                         nullptr, 0));
    EXPECT_TRUE(ProcessLog::NewLines().empty());

    katest::TempDir dir;
    Trace trace;
    Outcome missing = RunChild(L"\"" + dir.File(L"missing.exe") + L"\" arg", {.trace = &trace});
    EXPECT_TRUE(KA_ALL(!missing.ok, missing.code == ERROR_FILE_NOT_FOUND)) << missing.code;
    EXPECT_EQ(trace.order, "") << "no callback without a child";

    TestStream refusing;
    refusing.refuseWrites = true;
    Outcome lost = RunChild(Child(L"out 100000"), {.output = &refusing});
    EXPECT_TRUE(lost.ok) << "a refusing sink loses the bytes; the child is still drained";

    TestStream partial;
    partial.bytes = Pattern(3 * 8192, 1);
    partial.readsBeforeFailure = 1;
    Outcome firstBlock = RunChild(Child(L"echo"), {.input = &partial});
    EXPECT_TRUE(KA_ALL(firstBlock.ok, firstBlock.out.bytes == partial.bytes.substr(0, 8192)))
        << firstBlock.out.bytes.size() << " bytes: what came before the failed read";
}

// The logger writes its last line after the service is gone: with the
// memory figures on, that line must neither re-create the service nor use
// the destroyed one. Once at process exit, once at FreeLibrary (after which
// PSAPI must be gone).
KA_CHILD_MODE(service_at_shutdown) {
    ka::LibraryLoad load = ka::LoadKaSystem();
    KaProcessService* service = load ? load.system->GetProcessService() : nullptr;
    uint32_t code = 1;
    if (service == nullptr ||
        !service->RunProcess(Child(L"exit 0").c_str(), nullptr, 0, false, true, nullptr, nullptr,
                             nullptr, &code, nullptr) ||
        code != 0 || ::GetModuleHandleW(L"psapi.dll") == nullptr) {
        return 2;
    }
    load.system->GetLogger()->Write(LogCategory::INFO, 0, "used the service");
    if (args != L"unload") return katest::kChildOk;
    ::FreeLibrary(load.module);  // the unload under test, by hand on purpose
    return ::GetModuleHandleW(L"psapi.dll") == nullptr ? katest::kChildOk : 3;
}

TEST(ProcessService, EndsBeforeTheLoggersLastLine) {
    katest::TempDir dir;
    for (const wchar_t* how : {L"exit", L"unload"}) {
        std::wstring log = dir.File(std::wstring(how) + L".log");
        EXPECT_EQ(
            katest::RunChild("service_at_shutdown", how,
                             {{L"KAV_QMT_LOG_FILE", log}, {L"KAV_QMT_LOG_MEMORY_USAGE", L"1"}}),
            katest::kChildOk)
            << katest::Narrow(how) << " (3: PSAPI still loaded after the unload)";
        auto lines = katest::ReadLines(log);
        ASSERT_EQ(lines.size(), 2u) << katest::Narrow(how);
        EXPECT_EQ(lines[1].rfind("[STATUS]    : Log session terminated.", 0), 0u) << lines[1];
    }
}

}  // namespace

static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
