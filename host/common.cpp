// The helpers every kahost command group may use: failure reports, numbers
// from the command line, the temporary folder and scratch files in it.
#include "host/kahost.h"

#include "frame/win32_util.h"
#include "host/ka_library.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>

namespace kahost {

std::string Utf8(std::wstring_view text) { return ka::ToUtf8(text); }

bool Fail(const std::string& what, DWORD error) {
    std::string note =
        error != 0 ? Utf8(ka::Win32ErrorNote(error, ka::SystemErrorText(error))) : "";
    std::fprintf(stderr, "kahost: %s%s\n", what.c_str(), note.c_str());
    return false;
}

bool FailOn(const std::string& what, const std::wstring& path) {
    return Fail(what + " " + Utf8(path), ::GetLastError());
}

bool ParseCount(const std::wstring& text, long low, long high, long& value) {
    wchar_t* end = nullptr;
    value = std::wcstol(text.c_str(), &end, 10);
    return end != text.c_str() && *end == L'\0' && value >= low && value <= high;
}

bool ParseSize(const std::wstring& text, uint64_t high, uint64_t& value) {
    wchar_t* end = nullptr;
    value = std::wcstoull(text.c_str(), &end, 10);
    return end != text.c_str() && *end == L'\0' && text[0] != L'-' && value <= high;
}

bool ReadInput(KaSystem* system, const std::wstring& path, std::string& bytes) {
    char chunk[65536];
    if (path == L"-") {
        _setmode(_fileno(stdin), _O_BINARY);
        for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, stdin)) > 0;) {
            bytes.append(chunk, got);
        }
        return !std::ferror(stdin) || Fail("cannot read standard input");
    }
    ka::ObjectRef<KaStream> file;
    if (!system->GetFileStreams()->OpenFileStream(file.put(), path.c_str(), L"rb")) {
        return FailOn("cannot open", path);
    }
    size_t got = 0;
    while (file->Read(chunk, sizeof chunk, &got) && got > 0) bytes.append(chunk, got);
    return true;
}

void WriteOutput(std::string_view bytes) {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

std::wstring QuoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only before a quote, which is escaped itself.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(backslashes * 2, L'\\');  // before the closing quote
    return quoted + L"\"";
}

// GetModuleFileNameW truncates instead of reporting the size it needs, so
// the buffer grows until the answer fits.
std::wstring ModulePath(HMODULE module) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) return buffer.substr(0, n);  // n excludes the terminator
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring TempPath() {
    std::wstring temp;
    // The size query counts the terminator, the successful call does not.
    ka::QuerySizedString(
        temp, [](wchar_t* buffer, DWORD capacity) { return ::GetTempPathW(capacity, buffer); });
    return temp;
}

ScratchFile::ScratchFile(const wchar_t* name) : path_(TempPath() + name) {
    ::DeleteFileW(path_.c_str());  // left over from a run that was killed
}

ScratchFile::~ScratchFile() { ::DeleteFileW(path_.c_str()); }

}  // namespace kahost
