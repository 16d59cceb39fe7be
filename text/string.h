// KaString: the reference-counted UTF-16 string in which callees hand text
// back to callers.
#ifndef KA_TEXT_STRING_H
#define KA_TEXT_STRING_H

#include "frame/ref_counted.h"
#include "ka/text.h"

#include <string>

namespace ka {

class String final : public RefCounted<String, KaString> {
public:
    explicit String(const wchar_t* text) : text_(text ? text : L"") {}
    explicit String(std::wstring text) : text_(std::move(text)) {}

    bool Assign(const wchar_t* text) override;
    bool Append(const wchar_t* text) override;
    bool Clone(KaString** out) override;
    bool IsEmpty() override;
    bool ToMultiByte(uint32_t codePage, char** out) override;
    int ToInt() override;
    double ToDouble() override;
    const wchar_t* GetText() override;
    int Compare(KaString* other, bool caseSensitive) override;
    KaString* Mid(int start, int count) override;
    KaString* MidToEnd(int start) override;
    uint32_t GetLength() override;
    bool StartsWith(const wchar_t* prefix, bool caseSensitive) override;
    bool EndsWith(const wchar_t* suffix, bool caseSensitive) override;
    bool ToUpper(KaString** out) override;
    bool ToLower(KaString** out) override;
    bool Trim(KaString** out) override;
    bool TrimLeft(KaString** out) override;
    bool TrimRight(KaString** out) override;

private:
    template <typename Map>
    bool Mapped(KaString** out, Map map);
    bool HandOutCopy(std::wstring text, KaString** out);

    std::wstring text_;
};

}  // namespace ka

#endif
