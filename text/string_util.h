// KaStringUtil, embedded in the module object right after the root.
#ifndef KA_TEXT_STRING_UTIL_H
#define KA_TEXT_STRING_UTIL_H

#include "frame/neighbour.h"
#include "ka/text.h"
#include "text/fixed_locale.h"

namespace ka {

class StringUtil final : public KaStringUtil {
public:
    bool CreateStringFromMultiByte(const char* text, uint32_t codePage, KaString** out) override;
    bool CreateString(const wchar_t* text, KaString** out) override;
    bool MultiByteToWideBuffer(const char* text, uint32_t codePage, wchar_t* destination,
                               int capacity) override;
    bool MultiByteToWide(const char* text, uint32_t codePage, wchar_t** out) override;
    bool WideToMultiByteBuffer(const wchar_t* text, uint32_t codePage, char* destination,
                               int capacity) override;
    bool WideToMultiByte(const wchar_t* text, uint32_t codePage, char** out) override;
    bool TranscodeBuffer(const char* text, uint32_t sourceCodePage, uint32_t targetCodePage,
                         char* destination, int capacity) override;
    bool Transcode(const char* text, uint32_t sourceCodePage, uint32_t targetCodePage,
                   char** out) override;
    bool CreateRegex(const wchar_t* pattern, KaRegex** out) override;
    bool SearchRegex(const wchar_t* text, KaRegex* regex, KaRegexMatch** out) override;
    bool SearchPattern(const wchar_t* text, const wchar_t* pattern, KaRegexMatch** out) override;
    bool ReplaceFirstBuffer(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                            wchar_t* destination, size_t* capacity) override;
    bool ReplaceFirstString(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                            KaString** out) override;
    bool ReplaceFirst(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                      wchar_t** out) override;
    bool ReplaceAllBuffer(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                          wchar_t* destination, size_t* capacity) override;
    bool ReplaceAllString(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                          KaString** out) override;
    bool ReplaceAll(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                    wchar_t** out) override;
    wchar_t ToUpper(wchar_t unit) override;
    wchar_t ToLower(wchar_t unit) override;
    int Compare(const wchar_t* a, const wchar_t* b, bool caseSensitive) override;
    int CompareN(const wchar_t* a, const wchar_t* b, size_t count, bool caseSensitive) override;

private:
    // The module keeps the "de-CH" locale right after this interface.
    FixedLocale* Locale() { return *static_cast<FixedLocale**>(NeighbourInterface(this)); }
};

}  // namespace ka

#endif
