// The process service through the DLL: real runs of tests/child/ka_child.exe,
// environment blocks, memory counters, and the service's end at shut-down.
#include "host/ka_library.h"
#include "support/ka_test.h"
#include "tests/child/ka_child.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using katest::ProcessLog;

KaProcessService* Service() { return katest::System()->GetProcessService(); }

std::wstring Child(const std::wstring& script) {
    return L"\"" + katest::ExecutableDirectory() + L"\\ka_child.exe\" " + script;
}

// A sink or source of our own that records what it gets and fails on demand.
struct TestStream final : KaStream {
    std::string bytes;
    bool refuseWrites = false;
    int readsBeforeFailure = -1;  // -1: never
    size_t position = 0;
    std::vector<std::pair<int64_t, uint32_t>> seeks;
    void AddRef() override {}
    int32_t Release() override { return 1; }
    int32_t GetRefCount() override { return 1; }
    bool Duplicate(KaStream**) override { return false; }
    bool Flush() override { return true; }
    bool CopyTo(KaStream*, size_t, size_t*, size_t*) override { return false; }
    bool Seek(int64_t offset, uint32_t origin, uint64_t*) override {
        seeks.emplace_back(offset, origin);
        return true;
    }
    bool Write(const void* data, size_t count, size_t*) override {
        if (!refuseWrites) bytes.append(static_cast<const char*>(data), count);
        return !refuseWrites;
    }
    bool Read(void* buffer, size_t count, size_t* got) override {
        if (readsBeforeFailure >= 0 && readsBeforeFailure-- == 0) return false;
        *got = std::min(count, bytes.size() - position);
        std::memcpy(buffer, bytes.data() + position, *got);
        position += *got;
        return true;
    }
    void Destroy(uint32_t) override {}
};

// What the callbacks saw, in order, and a handle of the child of our own.
struct Trace {
    std::string order;
    ka::UniqueHandle process;
    bool aliveAtTimeout = false;
};
HANDLE g_child = nullptr;  // the runner's own handle, valid during the run
bool OnStarted(void* process, uintptr_t context) {
    g_child = process;
    auto* trace = reinterpret_cast<Trace*>(context);
    trace->order += "started ";
    return ::DuplicateHandle(::GetCurrentProcess(), process, ::GetCurrentProcess(),
                             trace->process.put(), 0, FALSE, DUPLICATE_SAME_ACCESS);
}
bool OnTimeout(void* process, uintptr_t context) {
    auto* trace = reinterpret_cast<Trace*>(context);
    trace->order += "timeout ";
    trace->aliveAtTimeout = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    return true;
}
bool OnFinished(void*, uintptr_t context) {
    reinterpret_cast<Trace*>(context)->order += "finished";
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
    r.ok = Service()->RunProcessEx(command.c_str(), o.directory, o.priority, o.show, true,
                                   o.timeout, &r.pid, o.input, o.output ? o.output : &r.out,
                                   o.errors ? &r.err : nullptr, &r.code, o.environment,
                                   o.trace ? OnTimeout : nullptr, context,
                                   o.trace ? OnStarted : nullptr, context,
                                   o.trace ? OnFinished : nullptr, context);
    return r;
}

// Live as long as the process: the service, a window's message queue, and
// what Wine opens at GoogleTest's first OutputDebugStringA (every failure
// and skip is reported there).
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
    KaMemoryCounters* fresh = Service()->CreateMemoryCounters();
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->GetRefCount(), 0) << "the caller takes the first reference";
    fresh->AddRef();
    ka::ObjectRef<KaMemoryCounters> c(fresh);
    EXPECT_EQ(c->GetWorkingSetSize() + c->GetPagefileUsage() + c->GetPageFaultCount(), 0u);
    EXPECT_FALSE(Service()->QueryMemoryCounters(nullptr));
    ASSERT_TRUE(Service()->QueryMemoryCounters(c.get()));
    EXPECT_GT(c->GetWorkingSetSize(), 1u << 20);
    EXPECT_GE(c->GetPeakWorkingSetSize(), c->GetWorkingSetSize());
    EXPECT_GT(c->GetPagefileUsage(), 0u);  // Wine counts no page faults: that one stays 0
}

TEST(Environment, BlockRules) {
    EXPECT_FALSE(Service()->CreateEnvironment(nullptr));
    EXPECT_FALSE(Service()->CreateEnvironmentFromProcess(nullptr));
    ka::ObjectRef<KaEnvironment> env;
    ASSERT_TRUE(Service()->CreateEnvironment(env.put()));
    EXPECT_EQ(env->GetRefCount(), 1);
    EXPECT_EQ(std::wstring(env->GetBlock(), 2), std::wstring(L"\0\0", 2));
    EXPECT_FALSE(env->SetVariable(nullptr, L"x"));
    EXPECT_FALSE(env->SetVariable(L"", L"x"));
    for (const wchar_t* name : {L"a", L"Path", L"B", L"PATH", L"gone"}) {
        EXPECT_TRUE(env->SetVariable(name, name));
    }
    EXPECT_TRUE(env->SetVariable(L"a", L"x=y"));
    EXPECT_TRUE(env->SetVariable(L"gone", L""));
    EXPECT_TRUE(env->SetVariable(L"absent", nullptr));
    std::wstring expected(L"B=B\0PATH=PATH\0Path=Path\0a=x=y\0\0", 30);
    EXPECT_EQ(std::wstring(env->GetBlock(), expected.size()), expected)
        << "code-unit order, names case-sensitive, removals gone";

    katest::ScopedEnv equals(L"KA_EQUALS", L"x=y=z");
    katest::ScopedEnv drive(L"=K:", L"K:\\hidden");  // as the runtime keeps a drive's folder
    ka::ObjectRef<KaEnvironment> copy;
    ASSERT_TRUE(Service()->CreateEnvironmentFromProcess(copy.put()));
    bool sawEquals = false;
    for (const wchar_t* entry = copy->GetBlock(); *entry; entry += wcslen(entry) + 1) {
        EXPECT_NE(entry[0], L'=') << katest::Narrow(entry);
        sawEquals = sawEquals || std::wstring(entry) == L"KA_EQUALS=x=y=z";
    }
    EXPECT_TRUE(sawEquals) << "a value keeps every '=' after the first";
}

TEST(ProcessRunner, InputOutputExitCodesAndLog) {
    ka::ObjectRef<KaStream> source;
    ASSERT_TRUE(katest::System()->GetFileStreams()->CreateStringStream(source.put()));
    std::string input = kachild::Pattern(3 * 8192, 5);  // whole blocks: one more, empty read
    source->Write(input.data(), input.size(), nullptr);
    source->Seek(0, KA_SEEK_BEGIN, nullptr);
    Outcome echo = RunChild(Child(L"echo"), {.input = source.get()});
    EXPECT_TRUE(echo.ok && echo.code == 0) << echo.code;
    EXPECT_TRUE(echo.out.bytes == input) << "echoed " << echo.out.bytes.size() << " bytes";

    katest::System()->GetLogger()->SetLevel(6);
    ProcessLog::NewLines();
    TestStream five;
    five.bytes.assign("12\0\x1a\n", 5);
    Outcome last = RunChild(Child(L"echo text last-words exit 7"), {.input = &five});
    katest::System()->GetLogger()->SetLevel(0);
    EXPECT_FALSE(last.ok);
    EXPECT_EQ(last.code, 7u);
    EXPECT_EQ(last.out.bytes, five.bytes + "last-words\n") << "written just before the exit";
    EXPECT_EQ(five.seeks, (std::vector<std::pair<int64_t, uint32_t>>{{0, 2}, {0, 0}}));
    auto lines = ProcessLog::NewLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "{INFO}      : Writing into STDIN ... 5 bytes");
    EXPECT_EQ(lines[1], "{INFO}      : Writing into STDIN ... 5 bytes written");
    EXPECT_EQ(lines[2].substr(0, 36), "{INFO}      : Reading from pipe ... ");
}

TEST(ProcessRunner, OutputBeyondThePipeBufferOnBothStreams) {
    Outcome big = RunChild(Child(L"both 1048576"), {.errors = true});
    EXPECT_TRUE(big.ok);
    for (auto [name, got, salt] : {std::tuple{"stdout", &big.out, kachild::kOutSalt},
                                   std::tuple{"stderr", &big.err, kachild::kErrSalt}}) {
        EXPECT_TRUE(got->bytes == kachild::Pattern(1 << 20, salt)) << got->bytes.size() << name;
    }
}

TEST(ProcessRunner, PriorityClassReachesTheChild) {
    std::string expected, reported;  // none, 1 idle, 2 normal, 3 high, other: none
    for (uint32_t priority : {0u, 1u, 2u, 3u, 9u}) {
        Outcome r = RunChild(Child(L"info"), {.priority = priority});
        const char* cls = priority == 1 ? "0x40" : priority == 3 ? "0x80" : "0x20";
        expected += std::string(" priority=") + cls + "\n";
        size_t at = std::min(r.out.bytes.find(" priority="), r.out.bytes.size());
        reported += r.out.bytes.substr(at);
    }
    if (reported.find("0x40") == std::string::npos &&
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
        GTEST_SKIP() << "Wine ignores the priority class given to CreateProcessW (it honours "
                        "SetPriorityClass); every child reported:" << reported;
    }
    EXPECT_EQ(reported, expected);
}

TEST(ProcessRunner, StartupRecordDirectoryAndEnvironment) {
    for (bool show : {false, true}) {
        Outcome info = RunChild(Child(L"info"), {.show = show});
        EXPECT_EQ(info.out.bytes, std::string("flags=0x119 show=") + (show ? "5" : "0") +
                                      " x=50 y=50 xsize=1024 ysize=768 xchars=120 ychars=50 "
                                      "fill=0xa0 stdin=0 stdout=1 stderr=0 priority=0x20\n")
            << "a stream without a pipe is null for the child";
    }
    katest::TempDir dir;
    std::wstring missing = dir.File(L"a\\b\\c");
    Outcome cwd = RunChild(Child(L"cwd"), {.directory = missing.c_str()});
    EXPECT_EQ(cwd.out.bytes, katest::Narrow(missing) + "\n") << "created with its parents";
    Outcome inherited = RunChild(Child(L"cwd"), {.directory = L""});
    wchar_t own[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, own);
    EXPECT_EQ(inherited.out.bytes, katest::Narrow(own) + "\n") << "empty: the caller's";

    katest::ScopedEnv parentOnly(L"KA_PARENT_ONLY", L"1");
    ka::ObjectRef<KaEnvironment> env;
    ASSERT_TRUE(Service()->CreateEnvironment(env.put()));
    env->SetVariable(L"KA_ONE", L"1");
    env->SetVariable(L"ka_two", L"x=y \u00e9");
    Outcome seen = RunChild(Child(L"env"), {.environment = env->GetBlock()});
    ASSERT_TRUE(seen.ok) << seen.code;
    std::string block = "\n" + seen.out.bytes;
    EXPECT_NE(block.find("\nKA_ONE=1\n"), std::string::npos) << block;
    EXPECT_NE(block.find("\nka_two=x=y \xC3\xA9\n"), std::string::npos) << block;
    EXPECT_EQ(block.find("\nKA_PARENT_ONLY="), std::string::npos) << "inherited, not given";
}

// A message-only window that counts the WM_APP messages reaching it and
// notes whether the child (g_child) was running at that moment.
int g_dispatched = 0;
bool g_childRunning = false;
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message != WM_APP) return ::DefWindowProcW(window, message, w, l);
    DWORD code = 0;
    g_dispatched++;
    g_childRunning = ::GetExitCodeProcess(g_child, &code) && code == STILL_ACTIVE;
    return 0;
}
struct CountingWindow {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    nullptr, nullptr);
    CountingWindow() {
        ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingProc));
        g_dispatched = 0;
    }
    ~CountingWindow() {
        for (MSG left; ::PeekMessageW(&left, nullptr, 0, 0, PM_REMOVE);) {
        }
        ::DestroyWindow(window);
    }
};

TEST(ProcessRunner, TimeoutKillsAfterTPlusOneWaits) {
    CountingWindow window;
    for (int i = 0; i < 5; ++i) ::PostMessageW(window.window, WM_APP, 0, 0);
    ProcessLog::NewLines();
    Trace trace;
    Outcome hung = RunChild(Child(L"hang"), {.timeout = 2, .trace = &trace});
    EXPECT_FALSE(hung.ok);
    EXPECT_EQ(hung.code, 170000u);
    EXPECT_EQ(g_dispatched, 2) << "one message per wait but the last of the 3";
    EXPECT_EQ(trace.order, "started timeout finished");
    EXPECT_TRUE(trace.aliveAtTimeout) << "the callback runs before the child is terminated";
    DWORD code = 0;
    ASSERT_EQ(::WaitForSingleObject(trace.process.get(), 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(::GetExitCodeProcess(trace.process.get(), &code) && code == 170000) << code;
    EXPECT_EQ(ProcessLog::NewLines(), std::vector<std::string>{
        "[ERROR]     : The timeout period (2s) elapsed prior to completion of the process " +
        std::to_string(hung.pid)});
}

TEST(ProcessRunner, NoLimitUpToOneAndMessagesWhileTheChildRuns) {
    CountingWindow window;
    ::PostMessageW(window.window, WM_APP, 0, 0);
    ::PostQuitMessage(9);
    Trace trace;
    Outcome slow = RunChild(Child(L"sleep 2500 exit 3"), {.timeout = 1, .trace = &trace});
    EXPECT_FALSE(slow.ok);
    EXPECT_EQ(slow.code, 3u) << "a time-out of 1 waits without limit";
    EXPECT_EQ(trace.order, "started finished");
    EXPECT_EQ(g_dispatched, 1);
    EXPECT_TRUE(g_childRunning);
    MSG quit;
    ASSERT_TRUE(::PeekMessageW(&quit, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(quit.message == WM_QUIT && quit.wParam == 9) << "WM_QUIT is the caller's";
}

TEST(ProcessRunner, NotWaitingLeavesTheChildRunning) {
    Trace trace;
    Outcome r;
    r.ok = Service()->RunProcessWithStartCallback(
        Child(L"sleep 300 out 10").c_str(), nullptr, 0, false, 0, &r.pid, nullptr, &r.out,
        nullptr, &r.code, nullptr, nullptr, 0, OnStarted, uintptr_t(&trace));
    EXPECT_TRUE(r.ok && r.code == 0) << r.code;
    EXPECT_EQ(r.pid, ::GetProcessId(trace.process.get()));
    DWORD code = 0;
    ASSERT_EQ(::WaitForSingleObject(trace.process.get(), 10000), WAIT_OBJECT_0);
    ::GetExitCodeProcess(trace.process.get(), &code);
    EXPECT_TRUE(code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA) << "its late write: " << code;
    EXPECT_EQ(r.out.bytes, "");

    Outcome plain;
    plain.ok = Service()->RunProcess(Child(L"exit 4").c_str(), nullptr, 0, false, false,
                                     &plain.pid, nullptr, nullptr, &plain.code, nullptr);
    EXPECT_TRUE(plain.ok && plain.code == 0) << plain.code;
    ka::UniqueHandle child(::OpenProcess(SYNCHRONIZE, FALSE, plain.pid));
    if (child) ::WaitForSingleObject(child.get(), 10000);  // gone before the leak check
}

TEST(ProcessRunner, BadInput) {
    ProcessLog::NewLines();
    for (const wchar_t* empty : {static_cast<const wchar_t*>(nullptr), L""}) {
        Outcome none;
        none.ok = Service()->RunProcessEx(empty, nullptr, 0, false, true, -1, &none.pid, nullptr,
                                          nullptr, nullptr, &none.code, nullptr, nullptr, 0,
                                          nullptr, 0, nullptr, 0);
        EXPECT_TRUE(!none.ok && none.code == 12345u) << "false, out-parameters untouched";
    }
    EXPECT_TRUE(ProcessLog::NewLines().empty());

    katest::TempDir dir;
    Trace trace;
    Outcome missing = RunChild(L"\"" + dir.File(L"missing.exe") + L"\" arg", {.trace = &trace});
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.code, DWORD(ERROR_FILE_NOT_FOUND)) << katest::Win32Error(missing.code);
    EXPECT_EQ(trace.order, "") << "no callback without a child";

    std::wstring file = dir.File(L"file");
    ka::UniqueFile(::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    Outcome blocked = RunChild(Child(L"exit 0"), {.directory = (file + L"\\sub").c_str()});
    EXPECT_TRUE(!blocked.ok && blocked.code == 12345u) << "a folder that cannot be made";

    TestStream refusing;
    refusing.refuseWrites = true;
    Outcome lost = RunChild(Child(L"out 100000"), {.output = &refusing});
    EXPECT_TRUE(lost.ok) << "a refusing sink loses the bytes; the child is still drained";

    TestStream failing, partial;
    failing.bytes = "never read";
    failing.readsBeforeFailure = 0;
    Outcome noInput = RunChild(Child(L"echo"), {.input = &failing});
    EXPECT_TRUE(noInput.ok && noInput.out.bytes.empty()) << "no input pipe: a null input";
    partial.bytes = kachild::Pattern(3 * 8192, 1);
    partial.readsBeforeFailure = 1;
    Outcome firstBlock = RunChild(Child(L"echo"), {.input = &partial});
    EXPECT_TRUE(firstBlock.out.bytes == partial.bytes.substr(0, 8192))
        << firstBlock.out.bytes.size() << " bytes: what came before the failed read";
}

// The logger writes its last line after the service is gone: with the
// memory figures on, that line must neither re-create the service nor use
// the destroyed one. Once at process exit, once at FreeLibrary (after which
// PSAPI must be gone).
KA_CHILD_MODE(service_at_shutdown) {
    ka::LibraryLoad load = ka::LoadKaSystem();
    KaProcessService* service = load ? load.system->GetProcessService() : nullptr;
    if (service == nullptr) return 1;
    ka::ObjectRef<KaMemoryCounters> counters(service->CreateMemoryCounters());
    counters->AddRef();
    uint32_t code = 1;
    if (!service->QueryMemoryCounters(counters.get()) ||
        !service->RunProcess(Child(L"exit 0").c_str(), nullptr, 0, false, true, nullptr, nullptr,
                             nullptr, &code, nullptr) ||
        ::GetModuleHandleW(L"psapi.dll") == nullptr) {
        return 2;
    }
    load.system->GetLogger()->Write(LogCategory::INFO, 0, "used the service");
    counters.reset();
    if (args != L"unload") return katest::kChildOk;
    ::FreeLibrary(load.module);  // the unload under test, by hand on purpose
    return ::GetModuleHandleW(L"psapi.dll") == nullptr ? katest::kChildOk : 3;
}

TEST(ProcessService, EndsBeforeTheLoggersLastLine) {
    katest::TempDir dir;
    for (const wchar_t* how : {L"exit", L"unload"}) {
        std::wstring log = dir.File(std::wstring(how) + L".log");
        EXPECT_EQ(katest::RunChild("service_at_shutdown", how,
                                   {{L"KAV_QMT_LOG_FILE", log},
                                    {L"KAV_QMT_LOG_MEMORY_USAGE", L"1"}}),
                  katest::kChildOk)
            << katest::Narrow(how) << " (3: PSAPI still loaded after the unload)";
        auto lines = katest::ReadLines(log);
        ASSERT_EQ(lines.size(), 2u) << katest::Narrow(how);
        EXPECT_EQ(lines[1].rfind("[STATUS]    : Log session terminated.", 0), 0u) << lines[1];
    }
}

}  // namespace

static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
