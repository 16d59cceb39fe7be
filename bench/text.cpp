// Text service costs through the DLL against the same work written directly.
#include "bench.h"

#include <regex>
#include <string>

namespace {

// UTF-8 text with non-ASCII letters, `bytes` long (cut at a character edge).
std::string SwissText(size_t bytes) {
    const std::string piece = "Gr\xC3\xBC\xC3\x9F" "e aus Z\xC3\xBCrich, sch\xC3\xB6ne Gr\xC3\xBC\xC3\xA9\xC3\xA4 ";
    std::string text;
    while (text.size() + piece.size() <= bytes) text += piece;
    while (text.size() < bytes) text += 'x';
    return text;
}

std::wstring Widen(const std::string& utf8) {
    int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring wide(n - 1, L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), n);
    return wide;
}

}  // namespace

int main() {
    KaSystem* system = kabench::System();
    KaStringUtil* util = system->GetStringUtil();

    for (size_t size : {size_t(1024), size_t(1) << 20}) {
        std::string narrow = SwissText(size);
        std::wstring wide = Widen(narrow);
        int iterations = size < 4096 ? 20000 : 40;
        const char* label = size < 4096 ? "1KiB" : "1MiB";
        // The baseline uses the same strict UTF-8 flags as the library.
        auto oursToWide = [&] {
            wchar_t* out = nullptr;
            util->MultiByteToWide(narrow.c_str(), CP_UTF8, &out);
            system->Free(out);
        };
        auto directToWide = [&] {
            int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, narrow.c_str(), -1,
                                          nullptr, 0);
            auto* out = static_cast<wchar_t*>(std::malloc(size_t(n) * 2));
            ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, narrow.c_str(), -1, out, n);
            std::free(out);
        };
        auto oursToNarrow = [&] {
            char* out = nullptr;
            util->WideToMultiByte(wide.c_str(), CP_UTF8, &out);
            system->Free(out);
        };
        auto directToNarrow = [&] {
            int n = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.c_str(), -1,
                                          nullptr, 0, nullptr, nullptr);
            auto* out = static_cast<char*>(std::malloc(size_t(n)));
            ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.c_str(), -1, out, n,
                                  nullptr, nullptr);
            std::free(out);
        };
        std::string name = std::string("MultiByteToWide ") + label;
        kabench::Compare(name.c_str(), oursToWide, directToWide, iterations);
        name = std::string("WideToMultiByte ") + label;
        kabench::Compare(name.c_str(), oursToNarrow, directToNarrow, iterations);

        KaRegex* regex = nullptr;
        util->CreateRegex(L"[\u00E4\u00F6\u00FC]", &regex);
        std::wregex expression(L"[\u00E4\u00F6\u00FC]");
        auto oursReplace = [&] {
            wchar_t* out = nullptr;
            util->ReplaceAll(wide.c_str(), regex, L"<$&>", &out);
            system->Free(out);
        };
        auto stdReplace = [&] {
            std::wstring out = std::regex_replace(wide, expression, L"<$&>");
            if (out.empty()) std::abort();
        };
        name = std::string("ReplaceAll ") + label;
        kabench::Compare(name.c_str(), oursReplace, stdReplace, size < 4096 ? 2000 : 3, "us",
                         0, 5);
        regex->Release();
    }
    return 0;
}
