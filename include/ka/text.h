// Text service: code-page conversion, case mapping under a fixed locale,
// reference-counted strings and regular expressions (UTF-16 throughout).
#ifndef KA_TEXT_H
#define KA_TEXT_H

#include "object.h"

struct KaString : KaObject {
    virtual bool Assign(const wchar_t* text) = 0;
    virtual bool Append(const wchar_t* text) = 0;
    virtual bool Clone(KaString** out) = 0;
    virtual bool IsEmpty() = 0;
    // Allocated narrow copy; free it with KaSystem::Free.
    virtual bool ToMultiByte(uint32_t codePage, char** out) = 0;
    virtual int ToInt() = 0;
    virtual double ToDouble() = 0;
    virtual const wchar_t* GetText() = 0;
    // caseSensitive == true compares ordinally.
    virtual int Compare(KaString* other, bool caseSensitive) = 0;
    // Mid and MidToEnd return a NEW string with a reference count of ZERO:
    // the caller takes ownership with AddRef.
    virtual KaString* Mid(int start, int count) = 0;
    virtual KaString* MidToEnd(int start) = 0;
    virtual uint32_t GetLength() = 0;
    virtual bool StartsWith(const wchar_t* prefix, bool caseSensitive) = 0;
    virtual bool EndsWith(const wchar_t* suffix, bool caseSensitive) = 0;
    virtual bool ToUpper(KaString** out) = 0;
    virtual bool ToLower(KaString** out) = 0;
    virtual bool Trim(KaString** out) = 0;
    virtual bool TrimLeft(KaString** out) = 0;
    virtual bool TrimRight(KaString** out) = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

// A compiled pattern (ECMAScript grammar, case-sensitive).
struct KaRegex : KaObject {
    virtual void Destroy(uint32_t flags) = 0;
};

// The outcome of one search, with a cursor over its groups (group 0 first).
struct KaRegexMatch : KaObject {
    // Current group's text; empty when the group did not take part, null when
    // the cursor has passed the last group.
    virtual const wchar_t* GetText() = 0;
    virtual int64_t GetPosition() = 0;
    virtual int64_t GetLength() = 0;
    virtual bool Next() = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

// Embedded in the module object; not reference-counted, never released.
struct KaStringUtil {
    virtual bool CreateStringFromMultiByte(const char* text, uint32_t codePage, KaString** out) = 0;
    virtual bool CreateString(const wchar_t* text, KaString** out) = 0;
    virtual bool MultiByteToWideBuffer(const char* text, uint32_t codePage, wchar_t* destination,
                                       int capacity) = 0;
    virtual bool MultiByteToWide(const char* text, uint32_t codePage, wchar_t** out) = 0;
    virtual bool WideToMultiByteBuffer(const wchar_t* text, uint32_t codePage, char* destination,
                                       int capacity) = 0;
    virtual bool WideToMultiByte(const wchar_t* text, uint32_t codePage, char** out) = 0;
    virtual bool TranscodeBuffer(const char* text, uint32_t sourceCodePage, uint32_t targetCodePage,
                                 char* destination, int capacity) = 0;
    virtual bool Transcode(const char* text, uint32_t sourceCodePage, uint32_t targetCodePage,
                           char** out) = 0;
    virtual bool CreateRegex(const wchar_t* pattern, KaRegex** out) = 0;
    virtual bool SearchRegex(const wchar_t* text, KaRegex* regex, KaRegexMatch** out) = 0;
    virtual bool SearchPattern(const wchar_t* text, const wchar_t* pattern, KaRegexMatch** out) = 0;
    // capacity: in/out, in UTF-16 units including the terminator.
    virtual bool ReplaceFirstBuffer(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                                    wchar_t* destination, size_t* capacity) = 0;
    virtual bool ReplaceFirstString(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                                    KaString** out) = 0;
    virtual bool ReplaceFirst(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                              wchar_t** out) = 0;
    virtual bool ReplaceAllBuffer(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                                  wchar_t* destination, size_t* capacity) = 0;
    virtual bool ReplaceAllString(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                                  KaString** out) = 0;
    virtual bool ReplaceAll(const wchar_t* text, KaRegex* regex, const wchar_t* format,
                            wchar_t** out) = 0;
    virtual wchar_t ToUpper(wchar_t unit) = 0;
    virtual wchar_t ToLower(wchar_t unit) = 0;
    // caseSensitive == true: ordinal, exactly -1, 0 or 1.
    virtual int Compare(const wchar_t* a, const wchar_t* b, bool caseSensitive) = 0;
    virtual int CompareN(const wchar_t* a, const wchar_t* b, size_t count, bool caseSensitive) = 0;
};

#endif
