#include "frame/win32_util.h"

#include "frame/handles.h"

namespace ka {

std::wstring SystemErrorText(DWORD code) {
    wchar_t* text = nullptr;
    // Without IGNORE_INSERTS a message that has inserts ("%1 is not a valid
    // application", error 193) fails for want of arguments and gives no text.
    DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    UniqueLocal owner(text);
    if (length == 0 || text == nullptr) return std::wstring();
    return std::wstring(text, length);
}

std::string ToUtf8(std::wstring_view text) {
    if (text.empty()) return std::string();
    int length = static_cast<int>(text.size());
    int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), n, nullptr, nullptr);
    }
    return out;
}

}  // namespace ka
