// The helpers every kahost command group may use: failure reports, numbers
// from the command line, the temporary folder and scratch files in it.
#include "host/kahost.h"

#include "frame/win32_util.h"
#include "host/ka_library.h"

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
