// The text service through the DLL: conversions, the fixed locale, strings
// (regular expressions: regex_test.cpp). Every caller buffer is counted by
// the allocator stand-in, so leaks on success and failure paths show up as
// live blocks.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <cwctype>
#include <string>

namespace {

KaStringUtil* Util() { return katest::System()->GetStringUtil(); }
void Free(void* p) { katest::System()->Free(p); }

const char kUtf8[] =
    "Gr\xC3\xBC\xC3\x9F"
    "e aus Z\xC3\xBCrich \xE2\x82\xAC";  // Grüße aus Zürich €
const wchar_t kWide[] = L"Gr\u00FC\u00DFe aus Z\u00FCrich \u20AC";

// A converted text, its buffer given back; "<false>" when the call failed.
std::wstring Wide(const char* text, uint32_t codePage = CP_UTF8) {
    wchar_t* wide = nullptr;
    if (!Util()->MultiByteToWide(text, codePage, &wide)) return L"<false>";
    std::wstring copy = wide;
    Free(wide);
    return copy;
}

std::string Narrow(const wchar_t* text, uint32_t codePage = CP_UTF8) {
    char* narrow = nullptr;
    if (!Util()->WideToMultiByte(text, codePage, &narrow)) return "<false>";
    std::string copy = narrow;
    Free(narrow);
    return copy;
}

TEST(Conversion, RoundTripsAndBuffers) {
    intptr_t live = katest::LiveBlocks();
    wchar_t* wide = nullptr;
    ASSERT_TRUE(Util()->MultiByteToWide(kUtf8, CP_UTF8, &wide));
    EXPECT_STREQ(wide, kWide);
    char* narrow = nullptr;
    ASSERT_TRUE(Util()->WideToMultiByte(wide, CP_UTF8, &narrow));
    EXPECT_STREQ(narrow, kUtf8);
    EXPECT_EQ(katest::LiveBlocks(), live + 2) << "caller buffers come from the allocator";
    Free(wide);
    Free(narrow);

    wchar_t wbuf[64];
    EXPECT_TRUE(Util()->MultiByteToWideBuffer(kUtf8, CP_UTF8, wbuf, 64));
    EXPECT_STREQ(wbuf, kWide);
    int exact = static_cast<int>(wcslen(kWide) + 1);
    EXPECT_TRUE(Util()->MultiByteToWideBuffer(kUtf8, CP_UTF8, wbuf, exact));
    EXPECT_FALSE(Util()->MultiByteToWideBuffer(kUtf8, CP_UTF8, wbuf, exact - 1))
        << "no room for the terminator";
    EXPECT_FALSE(Util()->MultiByteToWideBuffer(kUtf8, CP_UTF8, wbuf, 0));
    char nbuf[64];
    EXPECT_TRUE(Util()->WideToMultiByteBuffer(kWide, CP_UTF8, nbuf, sizeof nbuf));
    EXPECT_STREQ(nbuf, kUtf8);
    EXPECT_FALSE(Util()->WideToMultiByteBuffer(kWide, CP_UTF8, nbuf, int(strlen(kUtf8))));
    EXPECT_EQ(Wide(""), L"") << "the empty text still gets a buffer with its terminator";

    // Transcoding UTF-8 to Windows-1252 and back.
    char* latin = nullptr;
    ASSERT_TRUE(Util()->Transcode("\xC3\xA4\xC3\xB6", CP_UTF8, 1252, &latin));
    EXPECT_STREQ(latin, "\xE4\xF6");
    char back[16];
    EXPECT_TRUE(Util()->TranscodeBuffer(latin, 1252, CP_UTF8, back, sizeof back));
    EXPECT_STREQ(back, "\xC3\xA4\xC3\xB6");
    EXPECT_FALSE(Util()->TranscodeBuffer(latin, 1252, CP_UTF8, back, 4));
    Free(latin);
}

// Every code page, UTF-8 included, converts without flags: what cannot be
// decoded arrives as U+FFFD (or the code page's default character) instead
// of failing the call.
TEST(Conversion, MalformedInputIsReplacedNotRefused) {
    EXPECT_EQ(Wide("ab\xC3("), L"ab\uFFFD(") << "a truncated sequence";
    EXPECT_EQ(Wide("\xFF"
                   "a"),
              L"\uFFFD"
              L"a")
        << "a byte never used in UTF-8";
    const wchar_t lone[] = {L'a', 0xD800, L'b', 0xDC00, 0};
    EXPECT_EQ(Narrow(lone),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD")
        << "unpaired surrogates";
    char nbuf[16];
    ASSERT_TRUE(Util()->WideToMultiByteBuffer(lone, CP_UTF8, nbuf, sizeof nbuf));
    EXPECT_STREQ(nbuf,
                 "a\xEF\xBF\xBD"
                 "b\xEF\xBF\xBD");
    EXPECT_FALSE(Util()->WideToMultiByteBuffer(lone, CP_UTF8, nbuf, 8)) << "one byte short";
    EXPECT_EQ(Narrow(L"\u20AC\u0416", 1252), "\x80?") << "no such character in Windows-1252";
    char* latin = nullptr;
    ASSERT_TRUE(Util()->Transcode("x\xC3", CP_UTF8, 1252, &latin));
    EXPECT_STREQ(latin, "x?");
    Free(latin);
    ka::ObjectRef<KaString> s;
    ASSERT_TRUE(Util()->CreateStringFromMultiByte("\xC3", CP_UTF8, s.put()));
    EXPECT_STREQ(s->GetText(), L"\uFFFD");

    wchar_t* wide = reinterpret_cast<wchar_t*>(1);
    EXPECT_FALSE(Util()->MultiByteToWide(nullptr, CP_UTF8, &wide));
    EXPECT_FALSE(Util()->MultiByteToWide("x", CP_UTF8, nullptr));
    EXPECT_FALSE(Util()->WideToMultiByteBuffer(L"x", CP_UTF8, nullptr, 4));
    EXPECT_FALSE(Util()->CreateString(L"x", nullptr));
    EXPECT_EQ(Wide("x", 12345), L"<false>") << "a code page the system does not know";
}

TEST(Locale, SwissGermanCaseMappingIgnoresTheProcessLocale) {
    const wchar_t lower[] = L"\u00E4\u00F6\u00FC\u00E9";  // äöüé
    const wchar_t upper[] = L"\u00C4\u00D6\u00DC\u00C9";  // ÄÖÜÉ
    for (const char* processLocale : {"C", "German_Germany.1252", "Turkish_Turkey.1254"}) {
        const char* set = std::setlocale(LC_ALL, processLocale);
        if (set == nullptr) continue;  // a locale this runtime lacks
        SCOPED_TRACE(set);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(Util()->ToUpper(lower[i]), upper[i]);
            EXPECT_EQ(Util()->ToLower(upper[i]), lower[i]);
        }
        EXPECT_EQ(Util()->ToUpper(L'i'), L'I') << "no Turkish dotted capital under de-CH";
        EXPECT_EQ(Util()->Compare(lower, upper, false), 0);
        EXPECT_EQ(Util()->CompareN(L"\u00E4x", L"\u00C4y", 1, false), 0);
        EXPECT_NE(Util()->Compare(lower, upper, true), 0);
    }
    std::setlocale(LC_ALL, "C");
    // The "C" locale of the runtime itself does not map ä, so the results
    // above really come from the fixed locale.
    if (std::towupper(L'\u00E4') == L'\u00E4') {
        ka::ObjectRef<KaString> s, up;
        ASSERT_TRUE(Util()->CreateString(lower, s.put()));
        ASSERT_TRUE(s->ToUpper(up.put()));
        EXPECT_STREQ(up->GetText(), upper);
    }
}

TEST(Compare, OrdinalIsExactlyMinusOneZeroOne) {
    EXPECT_EQ(Util()->Compare(L"abc", L"ABC", true), 1);
    EXPECT_EQ(Util()->Compare(L"abc", L"ABC", false), 0);
    EXPECT_EQ(Util()->Compare(L"ab", L"abc", true), -1);
    EXPECT_EQ(Util()->Compare(L"b", L"abcdef", true), 1);
    EXPECT_EQ(Util()->Compare(L"", L"", true), 0);
    EXPECT_EQ(Util()->Compare(nullptr, L"a", true), 0);
    EXPECT_EQ(Util()->CompareN(L"abcX", L"abcY", 3, true), 0);
    EXPECT_LT(Util()->CompareN(L"abcX", L"abcY", 4, true), 0);
    EXPECT_LT(Util()->Compare(L"apple", L"BANANA", false), 0);
}

TEST(String, ValueOperations) {
    ka::ObjectRef<KaString> s;
    ASSERT_TRUE(Util()->CreateString(nullptr, s.put()));
    EXPECT_TRUE(s->IsEmpty());
    EXPECT_TRUE(s->Assign(L"abcdef"));
    EXPECT_TRUE(s->Append(nullptr));
    EXPECT_TRUE(s->Append(L"gh"));
    EXPECT_EQ(s->GetLength(), 8u);
    EXPECT_TRUE(s->Assign(nullptr));
    EXPECT_TRUE(s->IsEmpty());
    EXPECT_STREQ(s->GetText(), L"");
    s->Assign(L"abcdef");

    struct MidCase {
        int start, count;
        const wchar_t* expected;
    };
    for (MidCase c :
         {MidCase{-5, 3, L"abc"}, {2, -1, L"cdef"}, {4, 10, L"ef"}, {6, 1, L""}, {99, 2, L""}}) {
        KaString* part = s->Mid(c.start, c.count);
        ASSERT_NE(part, nullptr);
        EXPECT_EQ(part->GetRefCount(), 0) << "Mid hands out an unowned string";
        part->AddRef();
        EXPECT_STREQ(part->GetText(), c.expected) << c.start << "," << c.count;
        EXPECT_EQ(part->Release(), 0);
    }
    KaString* tail = s->MidToEnd(-1);
    tail->AddRef();
    EXPECT_STREQ(tail->GetText(), L"abcdef");
    tail->Release();

    ka::ObjectRef<KaString> copy;
    ASSERT_TRUE(s->Clone(copy.put()));
    copy->Append(L"!");
    EXPECT_STREQ(s->GetText(), L"abcdef") << "a clone is independent";
    EXPECT_EQ(s->Compare(copy.get(), true), -1);
    EXPECT_EQ(s->Compare(nullptr, true), 1);
    EXPECT_EQ(s->Compare(s.get(), false), 0);
    EXPECT_FALSE(s->Clone(nullptr));

    s->Assign(L"  -42.5x");
    EXPECT_EQ(s->ToInt(), -42);
    EXPECT_DOUBLE_EQ(s->ToDouble(), -42.5);
    s->Assign(L"none");
    EXPECT_EQ(s->ToInt(), 0);

    s->Assign(kWide);
    char* narrow = nullptr;
    ASSERT_TRUE(s->ToMultiByte(CP_UTF8, &narrow));
    EXPECT_STREQ(narrow, kUtf8);
    Free(narrow);
}

TEST(String, TrimsAndAffixes) {
    ka::ObjectRef<KaString> s;
    ASSERT_TRUE(Util()->CreateString(L" \t x y \t\r\n", s.put()));
    auto text = [](bool (KaString::*op)(KaString**), KaString* from) {
        ka::ObjectRef<KaString> out;
        EXPECT_TRUE((from->*op)(out.put()));
        return std::wstring(out ? out->GetText() : L"<null>");
    };
    EXPECT_EQ(text(&KaString::Trim, s.get()), L"x y \t\r\n") << "line breaks are not blanks";
    EXPECT_EQ(text(&KaString::TrimLeft, s.get()), L"x y \t\r\n");
    s->Assign(L" \t x y \t ");
    EXPECT_EQ(text(&KaString::Trim, s.get()), L"x y");
    EXPECT_EQ(text(&KaString::TrimRight, s.get()), L" \t x y");
    s->Assign(L" \t\t ");
    EXPECT_EQ(text(&KaString::Trim, s.get()), L"");
    EXPECT_EQ(text(&KaString::TrimLeft, s.get()), L"");
    EXPECT_EQ(text(&KaString::TrimRight, s.get()), L"");
    EXPECT_FALSE(s->Trim(nullptr));

    s->Assign(L"Report.TXT");
    EXPECT_TRUE(KA_ALL(s->StartsWith(nullptr, true), s->EndsWith(L"", true)));
    EXPECT_TRUE(KA_ALL(s->StartsWith(L"rep", false), !s->StartsWith(L"rep", true)));
    EXPECT_TRUE(KA_ALL(s->EndsWith(L".txt", false), !s->EndsWith(L".txt", true)));
    EXPECT_FALSE(s->StartsWith(L"Report.TXT!", true)) << "longer than the text";
    EXPECT_FALSE(s->EndsWith(L"xReport.TXT", false)) << "longer than the text";
}

}  // namespace
