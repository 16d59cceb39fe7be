#include "frame/win32_util.h"

#include "frame/handles.h"

namespace ka {

std::wstring SystemErrorText(DWORD code) {
    wchar_t* text = nullptr;
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                    nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0,
                                    nullptr);
    UniqueLocal owner(text);
    if (length == 0 || text == nullptr) return std::wstring();
    return std::wstring(text, length);
}

}  // namespace ka
