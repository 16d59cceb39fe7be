// Shared helpers of the test suites: loading the DLL as a host does, running
// the test executable again as a child in a named mode, finding real windows,
// and the leak check that runs around every test.
#ifndef KA_TESTS_SUPPORT_KA_TEST_H
#define KA_TESTS_SUPPORT_KA_TEST_H

#include "frame/handles.h"
#include "frame/win32.h"
#include "ka/ka.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace katest {

// Loads KaSystem.x64.dll through the hosts' loader (host/ka_library.h) and
// initialises it, once per process. A load that fails ends the process with
// the failed step, the path and the system's text for the error.
KaSystem* System();
// The live-block count of the KaAllocator stand-in, through root slot 7.
intptr_t LiveBlocks();

// The leak check (test_main installs it) fails a test after which the
// allocator has more live blocks, the library more heap blocks (objects) or
// the process more handles than before, or fewer handles. A test that makes
// what lives as long as the process (or grows handles for a reason outside
// the library) calls this with that reason; `upTo` limits the handle growth
// it accepts.
void AllowHandleGrowth(const char* reason, unsigned long upTo = ~0ul);
void InstallLeakCheck();
// Starts counting the library's heap blocks; System() calls it at the load.
void CountLibraryHeap();
// Lazily created objects that live as long as the process, made once after
// the global environments are set up and before the first test, so the
// check sees only what a test leaves behind. The support code that loads the
// library registers its own (the process-wide logger, ...).
void AddWarmUp(void (*warmUp)());

// Several facts in one assertion that still says which of them broke:
//   EXPECT_TRUE(KA_ALL(pool->IsIdle(), pool->GetIdleThreadCount() == 1));
// fails with "false: pool->GetIdleThreadCount() == 1". Every fact is
// evaluated, left to right: keep && where a later fact needs an earlier one.
// EXPECT_FALSE(KA_ANY(...)) names the facts that were true.
#define KA_ALL(...) ::katest::AllTrue(#__VA_ARGS__, {__VA_ARGS__})
#define KA_ANY(...) ::katest::AnyTrue(#__VA_ARGS__, {__VA_ARGS__})
::testing::AssertionResult AllTrue(const char* facts, std::initializer_list<bool> values);
::testing::AssertionResult AnyTrue(const char* facts, std::initializer_list<bool> values);

// Polls `condition` every millisecond until it holds (true) or `ms` have
// passed (false): a wait for an event that has no handle to wait on.
template <typename Condition>
bool Eventually(Condition condition, DWORD ms = 30000) {
    for (DWORD start = ::GetTickCount(); !condition(); ::Sleep(1)) {
        if (::GetTickCount() - start > ms) return false;
    }
    return true;
}

std::wstring ExecutablePath();
std::wstring ExecutableDirectory();

// "code N: <system text>" for assertion messages.
std::string Win32Error(DWORD code = ::GetLastError());
std::string Narrow(const std::wstring& text);

// Environment changes for a child: a value sets the variable, nullopt
// removes it.
using EnvChanges = std::vector<std::pair<std::wstring, std::optional<std::wstring>>>;

// This executable started as "--ka-child=<mode> <args>", not waited for.
struct Child {
    ka::UniqueHandle process;
    DWORD id = 0;
    // Waits and returns the exit code; ~0u on time-out (the child is killed).
    DWORD Wait(DWORD timeoutMs = 60000);
};
// creationFlags go to CreateProcessW (DETACHED_PROCESS, CREATE_NEW_CONSOLE).
std::unique_ptr<Child> StartChild(const std::string& mode, const std::wstring& args = L"",
                                  const EnvChanges& env = {}, DWORD creationFlags = 0);
// Starts, waits, returns the exit code.
DWORD RunChild(const std::string& mode, const std::wstring& args = L"", const EnvChanges& env = {},
               DWORD timeoutMs = 60000, DWORD creationFlags = 0);

// What a child mode returns when all went well. Not 0: under Wine a child
// that crashed can end with exit code 0.
constexpr DWORD kChildOk = 100;

// Child modes: KA_CHILD_MODE(name) { ... return exit code; } in a test file.
using ChildMain = std::function<int(const std::wstring& args)>;
std::map<std::string, ChildMain>& ChildModes();
struct ChildModeRegistrar {
    ChildModeRegistrar(const char* name, ChildMain main) { ChildModes()[name] = std::move(main); }
};
#define KA_CHILD_MODE(name)                                                             \
    static int KaChild_##name(const std::wstring& args);                                \
    static ::katest::ChildModeRegistrar kaChildRegistrar_##name(#name, KaChild_##name); \
    static int KaChild_##name([[maybe_unused]] const std::wstring& args)

// A visible top-level window of process `pid` (0: any process) whose title is
// exactly `title`; null when none appears within the time-out.
HWND WaitForWindow(DWORD pid, const std::wstring& title, DWORD timeoutMs = 15000);
// The message text of a message box (its static text control).
std::wstring MessageBoxText(HWND box);
// Whether the dialog has a control with this id (IDOK, IDCANCEL, ...).
bool HasControl(HWND dialog, int id);
// Presses the box's OK button and waits until the window is gone.
bool CloseMessageBox(HWND box, DWORD timeoutMs = 15000);

// Sets or removes an environment variable for this process until destroyed.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, std::optional<std::wstring> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::wstring name_;
    std::optional<std::wstring> old_;
};

// A fresh directory under the temporary path, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::wstring& path() const { return path_; }
    std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Creates or replaces the file with these bytes (a path of any length).
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// The whole file as bytes ("" when it cannot be read).
std::string ReadFileBytes(const std::wstring& path);
// The file's lines without their CR LF ends (the library writes text mode).
std::vector<std::string> ReadLines(const std::wstring& path);

// Points the process-wide logger of this test process at a fresh file under
// the temporary path (before the library creates it) and reads back the
// lines written since the last call. Install with
//   ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
class ProcessLog : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
    // The log lines written since the previous call.
    static std::vector<std::string> NewLines();

private:
    static std::wstring path_;
    static size_t seen_;
};

}  // namespace katest

#endif
