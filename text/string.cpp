#include "text/string.h"

#include "frame/boundary.h"
#include "frame/services.h"
#include "ka/system.h"

#include <cstdlib>
#include <cwchar>

namespace ka {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Mid with a start past the end yields an empty string instead of the
// out-of-range error the standard substring would raise.
KaString* NewUnowned(const std::wstring& text, int start, size_t count) {
    size_t from = start < 0 ? 0 : static_cast<size_t>(start);
    std::wstring part = from >= text.size() ? std::wstring() : text.substr(from, count);
    return NewObject<String>(std::move(part));  // count 0: the caller AddRefs
}

}  // namespace

bool String::Assign(const wchar_t* text) {
    return Boundary(false, [&] {
        text_.assign(text ? text : L"");
        return true;
    });
}

bool String::Append(const wchar_t* text) {
    return Boundary(false, [&] {
        if (text != nullptr) text_.append(text);
        return true;
    });
}

bool String::Clone(KaString** out) {
    if (out == nullptr) return false;
    return System()->GetStringUtil()->CreateString(text_.c_str(), out);
}

bool String::IsEmpty() { return text_.empty(); }

bool String::ToMultiByte(uint32_t codePage, char** out) {
    return System()->GetStringUtil()->WideToMultiByte(text_.c_str(), codePage, out);
}

int String::ToInt() { return _wtoi(text_.c_str()); }

double String::ToDouble() { return _wtof(text_.c_str()); }

const wchar_t* String::GetText() { return text_.c_str(); }

int String::Compare(KaString* other, bool caseSensitive) {
    if (other == nullptr) return 1;
    if (other == this) return 0;
    return System()->GetStringUtil()->Compare(text_.c_str(), other->GetText(), caseSensitive);
}

KaString* String::Mid(int start, int count) {
    return Boundary(static_cast<KaString*>(nullptr), [&] {
        size_t length = count < 0 ? std::wstring::npos : static_cast<size_t>(count);
        return NewUnowned(text_, start, length);
    });
}

KaString* String::MidToEnd(int start) {
    return Boundary(static_cast<KaString*>(nullptr),
                    [&] { return NewUnowned(text_, start, std::wstring::npos); });
}

uint32_t String::GetLength() { return static_cast<uint32_t>(text_.size()); }

// Case-insensitive prefix and suffix tests use the runtime's current locale,
// unlike the text service's fixed one.
bool String::StartsWith(const wchar_t* prefix, bool caseSensitive) {
    if (prefix == nullptr || *prefix == L'\0') return true;
    size_t n = std::wcslen(prefix);
    return caseSensitive ? std::wcsncmp(text_.c_str(), prefix, n) == 0
                         : _wcsnicmp(text_.c_str(), prefix, n) == 0;
}

bool String::EndsWith(const wchar_t* suffix, bool caseSensitive) {
    if (suffix == nullptr || *suffix == L'\0') return true;
    size_t n = std::wcslen(suffix);
    if (n > text_.size()) return false;
    const wchar_t* tail = text_.c_str() + (text_.size() - n);
    return caseSensitive ? std::wcsncmp(tail, suffix, n) == 0 : _wcsnicmp(tail, suffix, n) == 0;
}

bool String::HandOutCopy(std::wstring text, KaString** out) {
    if (out == nullptr) return false;
    return HandOut(NewObject<String>(std::move(text)), out, [](String&) { return true; });
}

template <typename Map>
bool String::Mapped(KaString** out, Map map) {
    return Boundary(false, [&] {
        if (out == nullptr) return false;
        KaStringUtil* util = System()->GetStringUtil();
        std::wstring mapped = text_;
        for (wchar_t& c : mapped) c = (util->*map)(c);
        return HandOutCopy(std::move(mapped), out);
    });
}

bool String::ToUpper(KaString** out) { return Mapped(out, &KaStringUtil::ToUpper); }

bool String::ToLower(KaString** out) { return Mapped(out, &KaStringUtil::ToLower); }

bool String::Trim(KaString** out) {
    return Boundary(false, [&] {
        size_t last = text_.size();
        while (last > 0 && IsBlank(text_[last - 1])) --last;
        size_t first = 0;
        while (first < last && IsBlank(text_[first])) ++first;
        return HandOutCopy(text_.substr(first, last - first), out);
    });
}

bool String::TrimLeft(KaString** out) {
    return Boundary(false, [&] {
        size_t first = 0;
        while (first < text_.size() && IsBlank(text_[first])) ++first;
        return HandOutCopy(text_.substr(first), out);
    });
}

bool String::TrimRight(KaString** out) {
    return Boundary(false, [&] {
        size_t last = text_.size();
        while (last > 0 && IsBlank(text_[last - 1])) --last;
        return HandOutCopy(text_.substr(0, last), out);
    });
}

}  // namespace ka
