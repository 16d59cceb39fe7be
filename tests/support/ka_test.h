// Shared helpers of the test suites: loading the DLL as a host does, running
// the test executable again as a child in a named mode, finding real windows.
#ifndef KA_TESTS_SUPPORT_KA_TEST_H
#define KA_TESTS_SUPPORT_KA_TEST_H

#include "frame/win32.h"
#include "ka/ka.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace katest {

// Holds one reference on a KaObject and releases it at scope end.
template <typename T>
struct Ref {
    T* p = nullptr;
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }
    T** out() { return &p; }
    T* operator->() const { return p; }
    void reset() {
        if (p) p->Release();
        p = nullptr;
    }
};

// LoadLibrary("KaSystem.x64.dll") + KaGetModule + Initialize, once per process.
KaSystem* System();
// The live-block count of the KaAllocator stand-in (root slot 7).
intptr_t LiveBlocks();

std::wstring ExecutablePath();
std::wstring ExecutableDirectory();

// "code N: <system text>" for assertion messages.
std::string Win32Error(DWORD code = ::GetLastError());
std::string Narrow(const std::wstring& text);

// Environment changes for a child: a value sets the variable, nullopt
// removes it.
using EnvChanges = std::vector<std::pair<std::wstring, std::optional<std::wstring>>>;

// Starts this executable as "--ka-child=<mode> <args>" and returns the
// process handle and id without waiting.
struct Child {
    HANDLE process = nullptr;
    DWORD id = 0;
    ~Child();
    // Waits and returns the exit code; ~0u on time-out (the child is killed).
    DWORD Wait(DWORD timeoutMs = 60000);
};
// creationFlags go to CreateProcessW (DETACHED_PROCESS, CREATE_NEW_CONSOLE).
std::unique_ptr<Child> StartChild(const std::string& mode, const std::wstring& args = L"",
                                  const EnvChanges& env = {}, DWORD creationFlags = 0);
// Starts, waits, returns the exit code.
DWORD RunChild(const std::string& mode, const std::wstring& args = L"",
               const EnvChanges& env = {}, DWORD timeoutMs = 60000, DWORD creationFlags = 0);

// What a child mode returns when all went well. Not 0: under Wine a child
// that crashed can end with exit code 0.
constexpr DWORD kChildOk = 100;

// Child modes: KA_CHILD_MODE(name) { ... return exit code; } in a test file.
using ChildMain = std::function<int(const std::wstring& args)>;
std::map<std::string, ChildMain>& ChildModes();
struct ChildModeRegistrar {
    ChildModeRegistrar(const char* name, ChildMain main) { ChildModes()[name] = std::move(main); }
};
#define KA_CHILD_MODE(name)                                                                  \
    static int KaChild_##name(const std::wstring& args);                                     \
    static ::katest::ChildModeRegistrar kaChildRegistrar_##name(#name, KaChild_##name);      \
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

}  // namespace katest

#endif

namespace katest {

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

// The whole file as bytes ("" when it cannot be read).
std::string ReadFileBytes(const std::wstring& path);
// The file's lines without their CR LF ends (the library writes text mode).
std::vector<std::string> ReadLines(const std::wstring& path);

}  // namespace katest

namespace katest {

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
