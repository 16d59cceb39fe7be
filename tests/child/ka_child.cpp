// ka_child: the child process the process tests, the process benchmark and
// `kahost run` demonstrations start. It runs its arguments as a script, left
// to right, writing through the raw standard handles (no runtime text mode),
// and exits with 0 at the end:
//
//   echo          copy standard input to standard output until its end
//   out N         write N pattern bytes to standard output in one call
//   both N        N bytes to each of standard output and standard error (two
//                 patterns), from two threads at once
//   text WORD     write WORD and a line break to standard output
//   sleep MS      sleep
//   hang          sleep for good
//   exit CODE     end here with CODE
//   env           print the environment block, one entry per line
//   cwd           print the current directory
//   info          print how it was started: the startup record, which
//                 standard handles it has and its priority class
//
// A write that fails ends the child with that write's Win32 error code; a
// bad script ends it with 250.
#include "frame/handles.h"
#include "frame/win32.h"
#include "tests/child/ka_child.h"

#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kBadScript = 250;

void WriteAll(DWORD which, const void* data, size_t size) {
    HANDLE handle = ::GetStdHandle(which);
    DWORD written = 0;
    if (!::WriteFile(handle, data, static_cast<DWORD>(size), &written, nullptr) ||
        written != size) {
        DWORD error = ::GetLastError();
        ::ExitProcess(error != 0 ? error : 1);
    }
}

void WriteText(const std::string& text) { WriteAll(STD_OUTPUT_HANDLE, text.data(), text.size()); }

std::string Utf8(const wchar_t* text, int length = -1) {
    int n = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
    if (length == -1 && !out.empty()) out.pop_back();  // the terminator
    return out;
}

struct Block {
    DWORD which;
    std::string bytes;
};

DWORD WINAPI WriteBlock(void* context) {
    auto* block = static_cast<Block*>(context);
    WriteAll(block->which, block->bytes.data(), block->bytes.size());
    return 0;
}

void Echo() {
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    std::vector<char> buffer(65536);
    DWORD got = 0;
    while (::ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
           got > 0) {
        WriteAll(STD_OUTPUT_HANDLE, buffer.data(), got);
    }
}

void Info() {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    ::GetStartupInfoW(&startup);
    auto present = [](DWORD which) {
        HANDLE h = ::GetStdHandle(which);
        return h != nullptr && h != INVALID_HANDLE_VALUE ? "1" : "0";
    };
    char line[512];
    std::snprintf(line, sizeof line,
                  "flags=0x%lx show=%u x=%lu y=%lu xsize=%lu ysize=%lu xchars=%lu ychars=%lu "
                  "fill=0x%lx stdin=%s stdout=%s stderr=%s priority=0x%lx\n",
                  startup.dwFlags, startup.wShowWindow, startup.dwX, startup.dwY,
                  startup.dwXSize, startup.dwYSize, startup.dwXCountChars,
                  startup.dwYCountChars, startup.dwFillAttribute, present(STD_INPUT_HANDLE),
                  present(STD_OUTPUT_HANDLE), present(STD_ERROR_HANDLE),
                  ::GetPriorityClass(::GetCurrentProcess()));
    WriteText(line);
}

void Environment() {
    std::unique_ptr<wchar_t, decltype(&::FreeEnvironmentStringsW)> block(
        ::GetEnvironmentStringsW(), &::FreeEnvironmentStringsW);
    std::string text;
    for (const wchar_t* entry = block.get(); entry && *entry; entry += std::wcslen(entry) + 1) {
        text += Utf8(entry) + "\n";
    }
    WriteText(text);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        std::wstring command = argv[i];
        auto number = [&]() -> unsigned long {
            if (i + 1 >= argc) ::ExitProcess(kBadScript);
            return std::wcstoul(argv[++i], nullptr, 10);
        };
        if (command == L"echo") {
            Echo();
        } else if (command == L"out") {
            WriteText(kachild::Pattern(number(), kachild::kOutSalt));
        } else if (command == L"both") {
            unsigned long n = number();
            Block out{STD_OUTPUT_HANDLE, kachild::Pattern(n, kachild::kOutSalt)};
            Block err{STD_ERROR_HANDLE, kachild::Pattern(n, kachild::kErrSalt)};
            ka::UniqueHandle first(::CreateThread(nullptr, 0, WriteBlock, &out, 0, nullptr));
            ka::UniqueHandle second(::CreateThread(nullptr, 0, WriteBlock, &err, 0, nullptr));
            if (!first || !second) return kBadScript;
            HANDLE threads[2] = {first.get(), second.get()};
            ::WaitForMultipleObjects(2, threads, TRUE, INFINITE);
        } else if (command == L"text") {
            if (i + 1 >= argc) return kBadScript;
            WriteText(Utf8(argv[++i]) + "\n");
        } else if (command == L"sleep") {
            ::Sleep(number());
        } else if (command == L"hang") {
            ::Sleep(INFINITE);
        } else if (command == L"exit") {
            return static_cast<int>(number());
        } else if (command == L"env") {
            Environment();
        } else if (command == L"cwd") {
            wchar_t directory[32768];
            DWORD n = ::GetCurrentDirectoryW(32768, directory);
            WriteText(Utf8(directory, static_cast<int>(n)) + "\n");
        } else if (command == L"info") {
            Info();
        } else {
            return kBadScript;
        }
    }
    return 0;
}
