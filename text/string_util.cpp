#include "text/string_util.h"

#include "frame/boundary.h"
#include "frame/handles.h"
#include "frame/neighbour.h"
#include "frame/services.h"
#include "frame/win32.h"
#include "text/regex.h"
#include "text/string.h"

#include <cstring>
#include <cwchar>
#include <string>

namespace ka {
namespace {

// Every code page, UTF-8 included, converts with flags 0: malformed input
// (invalid bytes, unpaired surrogates) converts the way the system converts
// it, to U+FFFD, rather than failing.
constexpr DWORD kConversionFlags = 0;

// Hands a wide result to the caller in a buffer from AllocateArray(1, bytes);
// an empty result still gets its terminator.
bool AllocateWideResult(const std::wstring& text, wchar_t** out) {
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto* buffer = static_cast<wchar_t*>(System()->AllocateArray(1, bytes));
    if (buffer == nullptr) return false;
    std::memcpy(buffer, text.c_str(), bytes);
    *out = buffer;
    return true;
}

bool CopyToCallerBuffer(const std::wstring& text, wchar_t* destination, size_t* capacity) {
    if (text.size() + 1 > *capacity) return false;  // the needed size is not reported
    std::memcpy(destination, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    *capacity = text.size() + 1;
    return true;
}

// The replacement under the ECMAScript format rules, bounded like every
// regex run. False: bad arguments, or the run gave up (logged).
bool Replace(const wchar_t* text, KaRegex* regex, const wchar_t* format, bool firstOnly,
             std::wstring& result) {
    if (text == nullptr || regex == nullptr || format == nullptr) return false;
    return Boundary(false, [&] {
        size_t length = std::wcslen(text);
        RegexOutcome outcome = static_cast<Regex*>(regex)->Program().Replace(
            text, text + length, format, std::wcslen(format), firstOnly, result);
        if (outcome == RegexOutcome::kGaveUp) {
            ReportRegexGaveUp(length);
            return false;
        }
        return true;
    });
}

// The three ways a replacement result reaches the caller: copied into the
// caller's buffer, as a KaString, or in a buffer from AllocateArray.
bool ReplaceIntoBuffer(const wchar_t* text, KaRegex* regex, const wchar_t* format, bool firstOnly,
                       wchar_t* destination, size_t* capacity) {
    if (destination == nullptr || capacity == nullptr) return false;
    std::wstring result;
    return Replace(text, regex, format, firstOnly, result) &&
           CopyToCallerBuffer(result, destination, capacity);
}

bool ReplaceIntoString(const wchar_t* text, KaRegex* regex, const wchar_t* format, bool firstOnly,
                       KaString** out) {
    if (out == nullptr) return false;
    std::wstring result;
    return Replace(text, regex, format, firstOnly, result) &&
           System()->GetStringUtil()->CreateString(result.c_str(), out);
}

bool ReplaceIntoAllocation(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                           bool firstOnly, wchar_t** out) {
    if (out == nullptr) return false;
    std::wstring result;
    return Replace(text, regex, format, firstOnly, result) && AllocateWideResult(result, out);
}

}  // namespace

bool StringUtil::CreateStringFromMultiByte(const char* text, uint32_t codePage, KaString** out) {
    if (text == nullptr || out == nullptr) return false;
    KaStringUtil* util = System()->GetStringUtil();
    SystemBuffer<wchar_t> wide;
    return util->MultiByteToWide(text, codePage, wide.put()) && CreateString(wide.get(), out);
}

bool StringUtil::CreateString(const wchar_t* text, KaString** out) {
    if (out == nullptr) return false;
    return HandOut(NewObject<String>(text), out, [](String&) { return true; });
}

bool StringUtil::MultiByteToWideBuffer(const char* text, uint32_t codePage, wchar_t* destination,
                                       int capacity) {
    // A capacity of 0 would turn the call into a size query that "succeeds".
    if (text == nullptr || destination == nullptr || capacity <= 0) return false;
    return ::MultiByteToWideChar(codePage, kConversionFlags, text, -1, destination, capacity) != 0;
}

bool StringUtil::MultiByteToWide(const char* text, uint32_t codePage, wchar_t** out) {
    if (text == nullptr || out == nullptr) return false;
    *out = nullptr;
    // The length query counts the terminator.
    int needed = ::MultiByteToWideChar(codePage, kConversionFlags, text, -1, nullptr, 0);
    if (needed <= 0) return false;
    SystemBuffer<wchar_t> buffer(
        static_cast<wchar_t*>(System()->Allocate(size_t(needed) * sizeof(wchar_t))));
    if (!buffer ||
        ::MultiByteToWideChar(codePage, kConversionFlags, text, -1, buffer.get(), needed) == 0) {
        return false;
    }
    *out = buffer.release();
    return true;
}

bool StringUtil::WideToMultiByteBuffer(const wchar_t* text, uint32_t codePage, char* destination,
                                       int capacity) {
    if (text == nullptr || destination == nullptr || capacity <= 0) return false;
    return ::WideCharToMultiByte(codePage, kConversionFlags, text, -1, destination, capacity,
                                 nullptr, nullptr) != 0;
}

bool StringUtil::WideToMultiByte(const wchar_t* text, uint32_t codePage, char** out) {
    if (text == nullptr || out == nullptr) return false;
    *out = nullptr;
    int needed =
        ::WideCharToMultiByte(codePage, kConversionFlags, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return false;
    SystemBuffer<char> buffer(static_cast<char*>(System()->Allocate(size_t(needed))));
    if (!buffer || ::WideCharToMultiByte(codePage, kConversionFlags, text, -1, buffer.get(), needed,
                                         nullptr, nullptr) == 0) {
        return false;
    }
    *out = buffer.release();
    return true;
}

bool StringUtil::TranscodeBuffer(const char* text, uint32_t sourceCodePage, uint32_t targetCodePage,
                                 char* destination, int capacity) {
    if (text == nullptr || destination == nullptr) return false;
    SystemBuffer<wchar_t> wide;
    return MultiByteToWide(text, sourceCodePage, wide.put()) &&
           WideToMultiByteBuffer(wide.get(), targetCodePage, destination, capacity);
}

bool StringUtil::Transcode(const char* text, uint32_t sourceCodePage, uint32_t targetCodePage,
                           char** out) {
    if (text == nullptr || out == nullptr) return false;
    SystemBuffer<wchar_t> wide;
    if (!MultiByteToWide(text, sourceCodePage, wide.put())) {
        *out = nullptr;
        return false;
    }
    return WideToMultiByte(wide.get(), targetCodePage, out);
}

bool StringUtil::CreateRegex(const wchar_t* pattern, KaRegex** out) {
    if (pattern == nullptr || out == nullptr) return false;
    return HandOut(NewObject<Regex>(), out, [pattern](Regex& r) { return r.Compile(pattern); });
}

bool StringUtil::SearchRegex(const wchar_t* text, KaRegex* regex, KaRegexMatch** out) {
    if (text == nullptr || regex == nullptr) return false;
    // The local reference destroys the match when it is not handed out.
    auto match =
        ObjectRef<RegexMatch>::Share(NewObject<RegexMatch>(text, static_cast<Regex*>(regex)));
    if (!match) return false;
    bool found = Boundary(false, [&] { return match->Search(); });
    if (found && out != nullptr) {
        match->Rewind();
        match->AddRef();
        *out = match.get();
    }
    return found;
}

bool StringUtil::SearchPattern(const wchar_t* text, const wchar_t* pattern, KaRegexMatch** out) {
    if (text == nullptr || pattern == nullptr) return false;
    // Once the local reference goes, the match (if any) is the pattern's only
    // owner.
    auto regex = ObjectRef<Regex>::Share(NewObject<Regex>());
    return regex && regex->Compile(pattern) && SearchRegex(text, regex.get(), out);
}

bool StringUtil::ReplaceFirstBuffer(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                                    wchar_t* destination, size_t* capacity) {
    return ReplaceIntoBuffer(text, regex, format, true, destination, capacity);
}

bool StringUtil::ReplaceFirstString(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                                    KaString** out) {
    return ReplaceIntoString(text, regex, format, true, out);
}

bool StringUtil::ReplaceFirst(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                              wchar_t** out) {
    return ReplaceIntoAllocation(text, regex, format, true, out);
}

bool StringUtil::ReplaceAllBuffer(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                                  wchar_t* destination, size_t* capacity) {
    return ReplaceIntoBuffer(text, regex, format, false, destination, capacity);
}

bool StringUtil::ReplaceAllString(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                                  KaString** out) {
    return ReplaceIntoString(text, regex, format, false, out);
}

bool StringUtil::ReplaceAll(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                            wchar_t** out) {
    return ReplaceIntoAllocation(text, regex, format, false, out);
}

wchar_t StringUtil::ToUpper(wchar_t unit) { return LocaleToUpper(Locale(), unit); }

wchar_t StringUtil::ToLower(wchar_t unit) { return LocaleToLower(Locale(), unit); }

int StringUtil::Compare(const wchar_t* a, const wchar_t* b, bool caseSensitive) {
    if (a == nullptr || b == nullptr) return 0;
    if (!caseSensitive) return LocaleCompareNoCase(Locale(), a, b);
    // Ordinal, unit by unit; a prefix compares lower through its terminator.
    for (;; ++a, ++b) {
        if (*a != *b) return *a < *b ? -1 : 1;
        if (*a == L'\0') return 0;
    }
}

int StringUtil::CompareN(const wchar_t* a, const wchar_t* b, size_t count, bool caseSensitive) {
    if (a == nullptr || b == nullptr) return 0;
    return caseSensitive ? std::wcsncmp(a, b, count) : LocaleCompareNoCaseN(Locale(), a, b, count);
}

}  // namespace ka
