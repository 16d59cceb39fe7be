// The text service through the DLL: conversions, the fixed locale, strings,
// regular expressions. Every caller buffer is counted by the allocator
// stand-in, so leaks on success and failure paths show up as live blocks.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <cwctype>
#include <string>
#include <thread>
#include <vector>

namespace {

KaStringUtil* Util() { return katest::System()->GetStringUtil(); }
void Free(void* p) { katest::System()->Free(p); }

using katest::Ref;

const char kUtf8[] = "Gr\xC3\xBC\xC3\x9F" "e aus Z\xC3\xBCrich \xE2\x82\xAC";  // Grüße aus Zürich €
const wchar_t kWide[] = L"Gr\u00FC\u00DFe aus Z\u00FCrich \u20AC";

TEST(Conversion, RoundTripsAndBuffers) {
    intptr_t live = katest::LiveBlocks();
    wchar_t* wide = nullptr;
    ASSERT_TRUE(Util()->MultiByteToWide(kUtf8, CP_UTF8, &wide));
    EXPECT_STREQ(wide, kWide);
    char* narrow = nullptr;
    ASSERT_TRUE(Util()->WideToMultiByte(wide, CP_UTF8, &narrow));
    EXPECT_STREQ(narrow, kUtf8);
    EXPECT_EQ(katest::LiveBlocks(), live + 2);
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

    // The empty text still gets a buffer holding the terminator.
    ASSERT_TRUE(Util()->MultiByteToWide("", CP_UTF8, &wide));
    EXPECT_EQ(wide[0], L'\0');
    Free(wide);

    // Transcoding UTF-8 to Windows-1252 and back.
    char* latin = nullptr;
    ASSERT_TRUE(Util()->Transcode("\xC3\xA4\xC3\xB6", CP_UTF8, 1252, &latin));
    EXPECT_STREQ(latin, "\xE4\xF6");
    char back[16];
    EXPECT_TRUE(Util()->TranscodeBuffer(latin, 1252, CP_UTF8, back, sizeof back));
    EXPECT_STREQ(back, "\xC3\xA4\xC3\xB6");
    EXPECT_FALSE(Util()->TranscodeBuffer(latin, 1252, CP_UTF8, back, 4));
    Free(latin);
    EXPECT_EQ(katest::LiveBlocks(), live);
}

TEST(Conversion, MalformedInputFailsWithoutLeaks) {
    intptr_t live = katest::LiveBlocks();
    wchar_t* wide = reinterpret_cast<wchar_t*>(1);
    EXPECT_FALSE(Util()->MultiByteToWide("ab\xC3(", CP_UTF8, &wide)) << "truncated sequence";
    EXPECT_EQ(wide, nullptr);
    EXPECT_FALSE(Util()->MultiByteToWide("\xFF\xFE", CP_UTF8, &wide));
    const wchar_t lone[] = {L'a', 0xD800, L'b', 0};
    char* narrow = reinterpret_cast<char*>(1);
    EXPECT_FALSE(Util()->WideToMultiByte(lone, CP_UTF8, &narrow)) << "unpaired surrogate";
    EXPECT_EQ(narrow, nullptr);
    char nbuf[16];
    EXPECT_FALSE(Util()->WideToMultiByteBuffer(lone, CP_UTF8, nbuf, sizeof nbuf));
    EXPECT_FALSE(Util()->Transcode("\xC3", CP_UTF8, 1252, &narrow));
    KaString* s = nullptr;
    EXPECT_FALSE(Util()->CreateStringFromMultiByte("\xC3", CP_UTF8, &s));
    EXPECT_EQ(s, nullptr);
    // Null pointers.
    EXPECT_FALSE(Util()->MultiByteToWide(nullptr, CP_UTF8, &wide));
    EXPECT_FALSE(Util()->MultiByteToWide("x", CP_UTF8, nullptr));
    EXPECT_FALSE(Util()->WideToMultiByteBuffer(L"x", CP_UTF8, nullptr, 4));
    EXPECT_FALSE(Util()->CreateString(L"x", nullptr));
    EXPECT_EQ(katest::LiveBlocks(), live);
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
        KaString* s = nullptr;
        ASSERT_TRUE(Util()->CreateString(lower, &s));
        KaString* up = nullptr;
        ASSERT_TRUE(s->ToUpper(&up));
        EXPECT_STREQ(up->GetText(), upper);
        up->Release();
        s->Release();
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
    Ref<KaString> s;
    ASSERT_TRUE(Util()->CreateString(nullptr, s.out()));
    EXPECT_EQ(s->GetRefCount(), 1);
    EXPECT_TRUE(s->IsEmpty());
    ASSERT_NE(s->GetText(), nullptr);
    EXPECT_TRUE(s->Assign(L"abcdef"));
    EXPECT_TRUE(s->Append(nullptr));
    EXPECT_TRUE(s->Append(L"gh"));
    EXPECT_EQ(s->GetLength(), 8u);
    EXPECT_TRUE(s->Assign(nullptr));
    EXPECT_TRUE(s->IsEmpty());
    EXPECT_STREQ(s->GetText(), L"");
    s->Assign(L"abcdef");

    struct MidCase { int start, count; const wchar_t* expected; };
    for (MidCase c : {MidCase{-5, 3, L"abc"}, {2, -1, L"cdef"}, {4, 10, L"ef"}, {6, 1, L""},
                      {99, 2, L""}}) {
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

    Ref<KaString> copy;
    ASSERT_TRUE(s->Clone(copy.out()));
    copy->Append(L"!");
    EXPECT_STREQ(s->GetText(), L"abcdef") << "a clone is independent";
    EXPECT_EQ(s->Compare(copy.p, true), -1);
    EXPECT_EQ(s->Compare(nullptr, true), 1);
    EXPECT_EQ(s->Compare(s.p, false), 0);
    EXPECT_FALSE(s->Clone(nullptr));

    s->Assign(L"  -42.5x");
    EXPECT_EQ(s->ToInt(), -42);
    EXPECT_DOUBLE_EQ(s->ToDouble(), -42.5);
    s->Assign(L"none");
    EXPECT_EQ(s->ToInt(), 0);

    intptr_t live = katest::LiveBlocks();
    s->Assign(kWide);
    char* narrow = nullptr;
    ASSERT_TRUE(s->ToMultiByte(CP_UTF8, &narrow));
    EXPECT_STREQ(narrow, kUtf8);
    Free(narrow);
    EXPECT_EQ(katest::LiveBlocks(), live);
}

TEST(String, TrimsAndAffixes) {
    Ref<KaString> s;
    ASSERT_TRUE(Util()->CreateString(L" \t x y \t\r\n", s.out()));
    auto text = [](bool (KaString::*op)(KaString**), KaString* from) {
        KaString* out = nullptr;
        EXPECT_TRUE((from->*op)(&out));
        std::wstring t = out ? out->GetText() : L"<null>";
        if (out) out->Release();
        return t;
    };
    EXPECT_EQ(text(&KaString::Trim, s.p), L"x y \t\r\n") << "line breaks are not blanks";
    EXPECT_EQ(text(&KaString::TrimLeft, s.p), L"x y \t\r\n");
    s->Assign(L" \t x y \t ");
    EXPECT_EQ(text(&KaString::Trim, s.p), L"x y");
    EXPECT_EQ(text(&KaString::TrimRight, s.p), L" \t x y");
    s->Assign(L" \t\t ");
    EXPECT_EQ(text(&KaString::Trim, s.p), L"");
    EXPECT_EQ(text(&KaString::TrimLeft, s.p), L"");
    EXPECT_EQ(text(&KaString::TrimRight, s.p), L"");
    EXPECT_FALSE(s->Trim(nullptr));

    s->Assign(L"Report.TXT");
    EXPECT_TRUE(s->StartsWith(nullptr, true));
    EXPECT_TRUE(s->EndsWith(L"", true));
    EXPECT_TRUE(s->StartsWith(L"Rep", true));
    EXPECT_FALSE(s->StartsWith(L"rep", true));
    EXPECT_TRUE(s->StartsWith(L"rep", false));
    EXPECT_FALSE(s->StartsWith(L"Report.TXT!", true));
    EXPECT_TRUE(s->EndsWith(L".txt", false));
    EXPECT_FALSE(s->EndsWith(L".txt", true));
    EXPECT_FALSE(s->EndsWith(L"xReport.TXT", false)) << "longer than the text";
}

TEST(Regex, GroupsAndCursor) {
    Ref<KaRegexMatch> m;
    ASSERT_TRUE(Util()->SearchPattern(L"x12-y", L"(\\d+)-(\\d+)?", m.out()));
    EXPECT_STREQ(m->GetText(), L"12-");
    EXPECT_EQ(m->GetPosition(), 1);
    EXPECT_EQ(m->GetLength(), 3);
    ASSERT_TRUE(m->Next());
    EXPECT_STREQ(m->GetText(), L"12");
    ASSERT_TRUE(m->Next());
    EXPECT_STREQ(m->GetText(), L"") << "group 2 did not take part";
    EXPECT_EQ(m->GetLength(), 0);
    EXPECT_FALSE(m->Next());
    EXPECT_EQ(m->GetText(), nullptr);
    EXPECT_EQ(m->GetPosition(), 0);
    EXPECT_FALSE(m->Next());

    Ref<KaRegexMatch> empty;
    ASSERT_TRUE(Util()->SearchPattern(L"bbb", L"a*", empty.out()));
    EXPECT_EQ(empty->GetPosition(), 0);
    EXPECT_EQ(empty->GetLength(), 0);
    ASSERT_NE(empty->GetText(), nullptr);
    EXPECT_STREQ(empty->GetText(), L"");
}

TEST(Regex, OwnershipAndBadPatterns) {
    KaRegex* regex = nullptr;
    ASSERT_TRUE(Util()->CreateRegex(L"[0-9]+", &regex));
    EXPECT_EQ(regex->GetRefCount(), 1);
    EXPECT_TRUE(Util()->SearchRegex(L"abc 123", regex, nullptr));
    EXPECT_EQ(regex->GetRefCount(), 1) << "the unreturned match released its reference";
    EXPECT_FALSE(Util()->SearchRegex(L"abc", regex, nullptr));
    KaRegexMatch* match = nullptr;
    ASSERT_TRUE(Util()->SearchRegex(L"abc 123", regex, &match));
    EXPECT_EQ(regex->GetRefCount(), 2);
    EXPECT_EQ(regex->Release(), 1);  // the match keeps the pattern alive
    EXPECT_STREQ(match->GetText(), L"123");
    EXPECT_EQ(match->Release(), 0);

    KaRegex* bad = reinterpret_cast<KaRegex*>(1);
    EXPECT_FALSE(Util()->CreateRegex(L"(unclosed", &bad));
    EXPECT_EQ(bad, reinterpret_cast<KaRegex*>(1));
    EXPECT_FALSE(Util()->SearchPattern(L"text", L"[z-a]", nullptr));
    EXPECT_TRUE(Util()->SearchPattern(L"text", L"ex", nullptr));
    EXPECT_FALSE(Util()->SearchRegex(L"x", nullptr, nullptr));
}

TEST(Regex, Replacement) {
    Ref<KaRegex> a;
    ASSERT_TRUE(Util()->CreateRegex(L"a", a.out()));
    intptr_t live = katest::LiveBlocks();
    wchar_t* out = nullptr;
    ASSERT_TRUE(Util()->ReplaceAll(L"banana", a.p, L"b", &out));
    EXPECT_STREQ(out, L"bbnbnb");
    Free(out);
    ASSERT_TRUE(Util()->ReplaceFirst(L"banana", a.p, L"b", &out));
    EXPECT_STREQ(out, L"bbnana");
    Free(out);
    ASSERT_TRUE(Util()->ReplaceAll(L"xyz", a.p, L"b", &out));
    EXPECT_STREQ(out, L"xyz") << "no occurrence: the input comes back";
    Free(out);
    ASSERT_TRUE(Util()->ReplaceAll(L"aaa", a.p, L"", &out));
    EXPECT_STREQ(out, L"") << "an empty result still has its terminator";
    Free(out);
    EXPECT_EQ(katest::LiveBlocks(), live);

    Ref<KaRegex> date;
    ASSERT_TRUE(Util()->CreateRegex(L"(\\d+)/(\\d+)", date.out()));
    Ref<KaString> swapped;
    ASSERT_TRUE(Util()->ReplaceAllString(L"on 12/31 and 1/2", date.p, L"$2.$1 [$&]", swapped.out()));
    EXPECT_STREQ(swapped->GetText(), L"on 31.12 [12/31] and 2.1 [1/2]");
    Ref<KaString> first;
    ASSERT_TRUE(Util()->ReplaceFirstString(L"1/2 3/4", date.p, L"$2/$1", first.out()));
    EXPECT_STREQ(first->GetText(), L"2/1 3/4");

    wchar_t buffer[16];
    wmemset(buffer, L'#', 16);
    size_t capacity = 6;  // "bbnbnb" needs 7 with the terminator
    EXPECT_FALSE(Util()->ReplaceAllBuffer(L"banana", a.p, L"b", buffer, &capacity));
    EXPECT_EQ(capacity, 6u);
    EXPECT_EQ(buffer[0], L'#') << "the destination is untouched";
    capacity = 16;
    EXPECT_TRUE(Util()->ReplaceAllBuffer(L"banana", a.p, L"b", buffer, &capacity));
    EXPECT_EQ(capacity, 7u);
    EXPECT_STREQ(buffer, L"bbnbnb");
    capacity = 7;
    EXPECT_TRUE(Util()->ReplaceFirstBuffer(L"banana", a.p, L"b", buffer, &capacity));
    EXPECT_STREQ(buffer, L"bbnana");
    EXPECT_FALSE(Util()->ReplaceAll(nullptr, a.p, L"b", &out));
    EXPECT_FALSE(Util()->ReplaceAll(L"a", a.p, nullptr, &out));
    EXPECT_EQ(katest::LiveBlocks(), live);
}

TEST(Regex, LongSubjectsNeverTakeTheHostDown) {
    std::wstring subject(1 << 20, L'a');  // 1 MiB of text
    for (size_t i = 0; i < subject.size(); i += 3) subject[i] = L'b';
    intptr_t live = katest::LiveBlocks();
    for (const wchar_t* pattern : {L"(a|b)*", L".*", L"(?:ab|ba|a|b)+$"}) {
        SCOPED_TRACE(katest::Narrow(pattern));
        Ref<KaRegex> regex;
        ASSERT_TRUE(Util()->CreateRegex(pattern, regex.out()));
        KaRegexMatch* match = nullptr;
        if (Util()->SearchRegex(subject.c_str(), regex.p, &match)) {
            EXPECT_GT(match->GetLength(), 0);
            match->Release();
        }
        wchar_t* out = nullptr;
        if (Util()->ReplaceAll(subject.c_str(), regex.p, L"<$&>", &out)) Free(out);
    }
    // The engine is still sound afterwards, and a long subject with short
    // occurrences is replaced in full.
    Ref<KaRegex> b;
    ASSERT_TRUE(Util()->CreateRegex(L"b", b.out()));
    wchar_t* out = nullptr;
    ASSERT_TRUE(Util()->ReplaceAll(subject.c_str(), b.p, L"c", &out));
    std::wstring expected = subject;
    for (wchar_t& c : expected) c = c == L'b' ? L'c' : c;
    EXPECT_TRUE(expected == out);
    Free(out);
    EXPECT_EQ(katest::LiveBlocks(), live);
}

TEST(Regex, ConcurrentSearchesOnOnePattern) {
    Ref<KaRegex> word;
    ASSERT_TRUE(Util()->CreateRegex(L"(\\w+)@(\\w+)\\.ch", word.out()));
    std::vector<std::thread> threads;
    std::vector<int> hits(6, 0);
    std::wstring longText(4000, L' ');
    longText += L"anna@example.ch";
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                KaRegexMatch* m = nullptr;
                const wchar_t* text = (i % 2) ? longText.c_str() : L"mail to anna@example.ch";
                if (Util()->SearchRegex(text, word.p, &m)) {
                    if (m->Next() && std::wstring(m->GetText()) == L"anna") ++hits[t];
                    m->Release();
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int h : hits) EXPECT_EQ(h, 40);
    EXPECT_EQ(word->GetRefCount(), 1);
}

}  // namespace
