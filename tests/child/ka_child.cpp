// ka_child: the child process the process tests, the process benchmark and
// `kahost run` demonstrations start. It runs its arguments as a script, left
// to right, through the raw standard handles (no runtime text mode), and exits
// with 0 at the end, with a failed write's Win32 error, or 250 for a bad script:
//   echo      standard input to standard output until its end
//   out N     N pattern bytes to standard output in one write
//   both N    N bytes each to standard output and standard error (two
//             patterns), from two threads at once
//   text W    W and a line break;   sleep MS;   hang;   exit CODE
//   env, cwd  the environment block (an entry a line), the current directory
//   info      the startup record, which standard handles it has, its priority
#include "tests/child/ka_child.h"
#include "frame/win32.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

void WriteAll(DWORD which, const std::string& bytes) {
    DWORD written = 0;
    if (!::WriteFile(::GetStdHandle(which), bytes.data(), DWORD(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        DWORD error = ::GetLastError();
        ::ExitProcess(error != 0 ? error : 1);
    }
}

std::string Utf8(const std::wstring& text) {
    std::string out(text.size() * 3, '\0');
    out.resize(::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(),
                                     int(out.size()), nullptr, nullptr));
    return out;
}

std::string Info() {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    ::GetStartupInfoW(&startup);
    auto present = [](DWORD which) {
        HANDLE h = ::GetStdHandle(which);
        return h != nullptr && h != INVALID_HANDLE_VALUE ? 1 : 0;
    };
    char line[512];
    std::snprintf(line, sizeof line,
                  "flags=0x%lx show=%u x=%lu y=%lu xsize=%lu ysize=%lu xchars=%lu ychars=%lu "
                  "fill=0x%lx stdin=%d stdout=%d stderr=%d priority=0x%lx\n",
                  startup.dwFlags, startup.wShowWindow, startup.dwX, startup.dwY, startup.dwXSize,
                  startup.dwYSize, startup.dwXCountChars, startup.dwYCountChars,
                  startup.dwFillAttribute, present(STD_INPUT_HANDLE), present(STD_OUTPUT_HANDLE),
                  present(STD_ERROR_HANDLE), ::GetPriorityClass(::GetCurrentProcess()));
    return line;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        std::wstring command = argv[i];
        if (command != L"echo" && command != L"hang" && command != L"env" && command != L"cwd" &&
            command != L"info" && ++i >= argc) {
            return 250;  // the command's argument is missing
        }
        unsigned long n = i < argc ? std::wcstoul(argv[i], nullptr, 10) : 0;
        if (command == L"echo") {
            std::vector<char> buffer(65536);
            DWORD got = 0;
            while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer.data(), DWORD(buffer.size()),
                              &got, nullptr) &&
                   got > 0) {
                WriteAll(STD_OUTPUT_HANDLE, std::string(buffer.data(), got));
            }
        } else if (command == L"out") {
            WriteAll(STD_OUTPUT_HANDLE, kachild::Pattern(n, kachild::kOutSalt));
        } else if (command == L"both") {
            std::thread errors(WriteAll, STD_ERROR_HANDLE, kachild::Pattern(n, kachild::kErrSalt));
            WriteAll(STD_OUTPUT_HANDLE, kachild::Pattern(n, kachild::kOutSalt));
            errors.join();
        } else if (command == L"text") {
            WriteAll(STD_OUTPUT_HANDLE, Utf8(argv[i]) + "\n");
        } else if (command == L"sleep" || command == L"hang") {
            ::Sleep(command == L"hang" ? INFINITE : n);
        } else if (command == L"exit") {
            return static_cast<int>(n);
        } else if (command == L"env") {
            std::string text;
            for (wchar_t** entry = _wenviron; entry != nullptr && *entry != nullptr; ++entry) {
                text += Utf8(*entry) + "\n";
            }
            WriteAll(STD_OUTPUT_HANDLE, text);
        } else if (command == L"cwd") {
            wchar_t folder[32768];
            WriteAll(STD_OUTPUT_HANDLE,
                     Utf8(std::wstring(folder, ::GetCurrentDirectoryW(32768, folder))) + "\n");
        } else if (command == L"info") {
            WriteAll(STD_OUTPUT_HANDLE, Info());
        } else {
            return 250;
        }
    }
    return 0;
}
