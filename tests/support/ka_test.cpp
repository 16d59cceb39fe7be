#include "support/ka_test.h"

#include "frame/win32_util.h"

#include <gtest/gtest.h>

#include <memory>

namespace katest {

std::wstring ExecutablePath() {
    wchar_t buffer[MAX_PATH * 4];
    DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
    return std::wstring(buffer, n);
}

std::wstring ExecutableDirectory() {
    std::wstring path = ExecutablePath();
    return path.substr(0, path.find_last_of(L'\\'));
}

std::string Narrow(const std::wstring& text) { return ka::ToUtf8(text); }

namespace {

// The facts whose value is `wanted`, by their text, "; "-separated.
std::string FactsThatAre(bool wanted, const char* facts, std::initializer_list<bool> values) {
    // The facts' text split at the commas outside brackets and quotes.
    std::vector<std::string> names(1);
    int depth = 0;
    char quote = 0;
    for (const char* c = facts; *c != 0; ++c) {
        if (quote != 0) {
            if (*c == '\\' && c[1] != 0)
                names.back() += *c++;
            else if (*c == quote)
                quote = 0;
        } else if (*c == '"' || *c == '\'') {
            quote = *c;
        } else if (*c == '(' || *c == '[' || *c == '{') {
            ++depth;
        } else if (*c == ')' || *c == ']' || *c == '}') {
            --depth;
        } else if (*c == ',' && depth == 0) {
            names.emplace_back();
            while (c[1] == ' ') ++c;
            continue;
        }
        names.back() += *c;
    }
    std::string found;
    size_t i = 0;
    for (bool value : values) {
        if (value == wanted)
            found += (found.empty() ? "" : "; ") + (i < names.size() ? names[i] : "?");
        ++i;
    }
    return found;
}

}  // namespace

::testing::AssertionResult AllTrue(const char* facts, std::initializer_list<bool> values) {
    std::string broken = FactsThatAre(false, facts, values);
    if (broken.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "false: " << broken;
}

::testing::AssertionResult AnyTrue(const char* facts, std::initializer_list<bool> values) {
    std::string found = FactsThatAre(true, facts, values);
    if (found.empty()) return ::testing::AssertionFailure() << "none is true";
    return ::testing::AssertionSuccess() << "true: " << found;
}

std::string Win32Error(DWORD code) {
    return "code " + std::to_string(code) + ": " + Narrow(ka::SystemErrorText(code));
}

std::map<std::string, ChildMain>& ChildModes() {
    static std::map<std::string, ChildMain> modes;
    return modes;
}

DWORD Child::Wait(DWORD timeoutMs) {
    if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 0xFFFFFFFF);
        ::WaitForSingleObject(process.get(), 5000);
        return ~0u;
    }
    DWORD code = ~0u;
    ::GetExitCodeProcess(process.get(), &code);
    return code;
}

namespace {

// The current environment with the changes applied, as a sorted block.
std::wstring BuildEnvironment(const EnvChanges& changes) {
    std::map<std::wstring, std::wstring, std::less<>> vars;
    wchar_t* block = ::GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
        std::wstring entry(p);
        size_t eq = entry.find(L'=', 1);  // "=C:=C:\..." entries start with '='
        if (eq == std::wstring::npos) continue;
        vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    ::FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : changes) {
        for (auto it = vars.begin(); it != vars.end();) {
            it = (_wcsicmp(it->first.c_str(), name.c_str()) == 0) ? vars.erase(it) : std::next(it);
        }
        if (value) vars[name] = *value;
    }
    std::wstring out;
    for (const auto& [name, value] : vars) out += name + L"=" + value + L'\0';
    out += L'\0';
    return out;
}

}  // namespace

std::unique_ptr<Child> StartChild(const std::string& mode, const std::wstring& args,
                                  const EnvChanges& env, DWORD creationFlags) {
    std::wstring command =
        L"\"" + ExecutablePath() + L"\" --ka-child=" + std::wstring(mode.begin(), mode.end());
    if (!args.empty()) command += L" " + args;
    std::wstring environment = BuildEnvironment(env);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                          CREATE_UNICODE_ENVIRONMENT | creationFlags, environment.data(), nullptr,
                          &startup, &info)) {
        ADD_FAILURE() << "CreateProcessW failed, " << Win32Error();
        return nullptr;
    }
    ka::UniqueHandle thread(info.hThread);
    auto child = std::make_unique<Child>();
    child->process.reset(info.hProcess);
    child->id = info.dwProcessId;
    return child;
}

DWORD RunChild(const std::string& mode, const std::wstring& args, const EnvChanges& env,
               DWORD timeoutMs, DWORD creationFlags) {
    auto child = StartChild(mode, args, env, creationFlags);
    return child ? child->Wait(timeoutMs) : ~0u;
}

HWND WaitForWindow(DWORD pid, const std::wstring& title, DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    do {
        HWND window = nullptr;
        while ((window = ::FindWindowExW(nullptr, window, nullptr, title.c_str())) != nullptr) {
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            if ((pid == 0 || owner == pid) && ::IsWindowVisible(window)) return window;
        }
        ::Sleep(50);
    } while (::GetTickCount() - start < timeoutMs);
    return nullptr;
}

std::wstring MessageBoxText(HWND box) {
    // A message box's text is the static control with id 0xFFFF.
    wchar_t text[2048] = {};
    ::GetDlgItemTextW(box, 0xFFFF, text, 2048);
    return text;
}

bool HasControl(HWND dialog, int id) { return ::GetDlgItem(dialog, id) != nullptr; }

bool CloseMessageBox(HWND box, DWORD timeoutMs) {
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    DWORD start = ::GetTickCount();
    while (::IsWindow(box)) {
        if (::GetTickCount() - start > timeoutMs) return false;
        ::Sleep(20);
    }
    return true;
}

ScopedEnv::ScopedEnv(const wchar_t* name, std::optional<std::wstring> value) : name_(name) {
    wchar_t buffer[32768];
    DWORD n = ::GetEnvironmentVariableW(name, buffer, 32768);
    if (n > 0 && n < 32768) old_ = std::wstring(buffer, n);
    ::SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
}

ScopedEnv::~ScopedEnv() {
    ::SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr);
}

TempDir::TempDir() {
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    path_ = std::wstring(base) + L"katest_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
            std::to_wstring(::InterlockedIncrement(&counter));
    ::CreateDirectoryW(path_.c_str(), nullptr);
}

namespace {
void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW data;
    ka::UniqueFind find(::FindFirstFileW((dir + L"\\*").c_str(), &data));
    if (find) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = dir + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full);
            } else {
                ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(full.c_str());
            }
        } while (::FindNextFileW(find.get(), &data));
    }
    ::RemoveDirectoryW(dir.c_str());
}
}  // namespace

TempDir::~TempDir() { RemoveTree(path_); }

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    std::wstring full = path.size() >= MAX_PATH && path[0] != L'\\' ? L"\\\\?\\" + path : path;
    ka::UniqueFile file(
        ::CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), bytes.data(), DWORD(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::string ReadFileBytes(const std::wstring& path) {
    ka::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return std::string();
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    return bytes;
}

std::vector<std::string> ReadLines(const std::wstring& path) {
    std::string bytes = ReadFileBytes(path);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(bytes.substr(start) + "<no CR LF>");
            break;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

}  // namespace katest
