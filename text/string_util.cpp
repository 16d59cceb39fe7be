// Placeholder until the text service lands: every operation reports failure
// rather than pretending to work.
#include "text/string_util.h"

namespace ka {

bool StringUtil::CreateStringFromMultiByte(const char*, uint32_t, KaString**) { return false; }
bool StringUtil::CreateString(const wchar_t*, KaString**) { return false; }
bool StringUtil::MultiByteToWideBuffer(const char*, uint32_t, wchar_t*, int) { return false; }
bool StringUtil::MultiByteToWide(const char*, uint32_t, wchar_t**) { return false; }
bool StringUtil::WideToMultiByteBuffer(const wchar_t*, uint32_t, char*, int) { return false; }
bool StringUtil::WideToMultiByte(const wchar_t*, uint32_t, char**) { return false; }
bool StringUtil::TranscodeBuffer(const char*, uint32_t, uint32_t, char*, int) { return false; }
bool StringUtil::Transcode(const char*, uint32_t, uint32_t, char**) { return false; }
bool StringUtil::CreateRegex(const wchar_t*, KaRegex**) { return false; }
bool StringUtil::SearchRegex(const wchar_t*, KaRegex*, KaRegexMatch**) { return false; }
bool StringUtil::SearchPattern(const wchar_t*, const wchar_t*, KaRegexMatch**) { return false; }
bool StringUtil::ReplaceFirstBuffer(const wchar_t*, KaRegex*, const wchar_t*, wchar_t*, size_t*) {
    return false;
}
bool StringUtil::ReplaceFirstString(const wchar_t*, KaRegex*, const wchar_t*, KaString**) {
    return false;
}
bool StringUtil::ReplaceFirst(const wchar_t*, KaRegex*, const wchar_t*, wchar_t**) { return false; }
bool StringUtil::ReplaceAllBuffer(const wchar_t*, KaRegex*, const wchar_t*, wchar_t*, size_t*) {
    return false;
}
bool StringUtil::ReplaceAllString(const wchar_t*, KaRegex*, const wchar_t*, KaString**) {
    return false;
}
bool StringUtil::ReplaceAll(const wchar_t*, KaRegex*, const wchar_t*, wchar_t**) { return false; }
wchar_t StringUtil::ToUpper(wchar_t unit) { return unit; }
wchar_t StringUtil::ToLower(wchar_t unit) { return unit; }
int StringUtil::Compare(const wchar_t*, const wchar_t*, bool) { return 0; }
int StringUtil::CompareN(const wchar_t*, const wchar_t*, size_t, bool) { return 0; }

FixedLocale* CreateFixedLocale() { return nullptr; }
void FreeFixedLocale(FixedLocale*) {}

}  // namespace ka
