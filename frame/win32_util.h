// Small Win32 helpers shared by every subsystem.
#ifndef KA_FRAME_WIN32_UTIL_H
#define KA_FRAME_WIN32_UTIL_H

#include "frame/win32.h"

#include <string>
#include <string_view>

namespace ka {

// The system's message text for a Win32 error code, exactly as FormatMessageW
// gives it (trailing line break included), or an empty text when the system
// has none. The only place that turns an error code into text.
std::wstring SystemErrorText(DWORD code);

// UTF-16 text as UTF-8 (unpaired surrogates become U+FFFD), for programs
// that print or compare what the library hands back.
std::string ToUtf8(std::wstring_view text);

// Runs a size-query API twice: first with no buffer to learn the size, then
// with a buffer of that size. `query(buffer, capacity)` must return what the
// API returns. For the APIs this serves (GetCurrentDirectoryW,
// GetShortPathNameW, GetTempPathW) the first answer counts the terminator and
// a successful second answer does not. Returns false when either call answers
// 0 or the second asks for more room again (the value changed in between).
template <typename Query>
bool QuerySizedString(std::wstring& out, Query&& query) {
    DWORD needed = query(nullptr, 0);
    if (needed == 0) return false;
    std::wstring buffer(needed, L'\0');
    DWORD got = query(buffer.data(), needed);
    if (got == 0 || got >= needed) return false;  // success answers length without terminator
    buffer.resize(got);
    out = std::move(buffer);
    return true;
}

}  // namespace ka

#endif
