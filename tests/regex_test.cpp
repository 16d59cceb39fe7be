// Regular expressions through the DLL: groups, ownership, replacement, the
// bounds (long subjects answered, runaway patterns given up with a WARNING),
// and where the answers are ECMAScript's rather than std::wregex's.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

KaStringUtil* Util() { return katest::System()->GetStringUtil(); }
void Free(void* p) { katest::System()->Free(p); }

using katest::ProcessLog;
template <typename T>
using Ref = ka::ObjectRef<T>;

// `units` of a and b, matched in full by ^(a|b)*$.
std::wstring AbText(size_t units) {
    std::wstring text(units, L'a');
    for (size_t i = 0; i < units; i += 3) text[i] = L'b';
    return text;
}

TEST(Regex, GroupsAndCursor) {
    Ref<KaRegexMatch> m;
    ASSERT_TRUE(Util()->SearchPattern(L"x12-y", L"(\\d+)-(\\d+)?", m.put()));
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
    ASSERT_TRUE(Util()->SearchPattern(L"bbb", L"a*", empty.put()));
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

    // The pattern compiler recurses per group level and stops at 400.
    auto nested = [](int levels) {
        return std::wstring(levels, L'(') + L"a" + std::wstring(levels, L')');
    };
    EXPECT_TRUE(Util()->SearchPattern(L"xa", nested(300).c_str(), nullptr));
    EXPECT_FALSE(Util()->SearchPattern(L"xa", nested(5000).c_str(), nullptr));
    EXPECT_FALSE(Util()->CreateRegex(std::wstring(2 << 20, L'(').c_str(), &bad));
    // Perl's groups and quantifiers are not ECMAScript.
    for (const wchar_t* perl : {L"(?<=a)b", L"(?i)a", L"a*+", L"(?>a)", L"(*ACCEPT)"}) {
        EXPECT_FALSE(Util()->CreateRegex(perl, &bad)) << katest::Narrow(perl);
    }
}

TEST(Regex, Replacement) {
    Ref<KaRegex> a;
    ASSERT_TRUE(Util()->CreateRegex(L"a", a.put()));
    wchar_t* out = nullptr;
    ASSERT_TRUE(Util()->ReplaceAll(L"banana", a.get(), L"b", &out));
    EXPECT_STREQ(out, L"bbnbnb");
    Free(out);
    ASSERT_TRUE(Util()->ReplaceFirst(L"banana", a.get(), L"b", &out));
    EXPECT_STREQ(out, L"bbnana");
    Free(out);
    ASSERT_TRUE(Util()->ReplaceAll(L"xyz", a.get(), L"b", &out));
    EXPECT_STREQ(out, L"xyz") << "no occurrence: the input comes back";
    Free(out);
    ASSERT_TRUE(Util()->ReplaceAll(L"aaa", a.get(), L"", &out));
    EXPECT_STREQ(out, L"") << "an empty result still has its terminator";
    Free(out);

    Ref<KaRegex> date;
    ASSERT_TRUE(Util()->CreateRegex(L"(\\d+)/(\\d+)", date.put()));
    Ref<KaString> swapped;
    ASSERT_TRUE(
        Util()->ReplaceAllString(L"on 12/31 and 1/2", date.get(), L"$2.$1 [$&]", swapped.put()));
    EXPECT_STREQ(swapped->GetText(), L"on 31.12 [12/31] and 2.1 [1/2]");
    Ref<KaString> first;
    ASSERT_TRUE(Util()->ReplaceFirstString(L"1/2 3/4", date.get(), L"$2/$1", first.put()));
    EXPECT_STREQ(first->GetText(), L"2/1 3/4");

    wchar_t buffer[16];
    wmemset(buffer, L'#', 16);
    size_t capacity = 6;  // "bbnbnb" needs 7 with the terminator
    EXPECT_FALSE(Util()->ReplaceAllBuffer(L"banana", a.get(), L"b", buffer, &capacity));
    EXPECT_EQ(capacity, 6u);
    EXPECT_EQ(buffer[0], L'#') << "the destination is untouched";
    capacity = 16;
    EXPECT_TRUE(Util()->ReplaceAllBuffer(L"banana", a.get(), L"b", buffer, &capacity));
    EXPECT_EQ(capacity, 7u);
    EXPECT_STREQ(buffer, L"bbnbnb");
    capacity = 7;
    EXPECT_TRUE(Util()->ReplaceFirstBuffer(L"banana", a.get(), L"b", buffer, &capacity));
    EXPECT_STREQ(buffer, L"bbnana");
    EXPECT_FALSE(Util()->ReplaceAll(nullptr, a.get(), L"b", &out));
    EXPECT_FALSE(Util()->ReplaceAll(L"a", a.get(), nullptr, &out));
}

TEST(Regex, LongSubjectsAreAnswered) {
    std::wstring ab = AbText(16 << 20);
    EXPECT_TRUE(Util()->SearchPattern(ab.c_str(), L"^(a|b)*$", nullptr)) << "16 Mi units";
    ab.back() = L'c';
    EXPECT_FALSE(Util()->SearchPattern(ab.c_str(), L"^(a|b)*$", nullptr));
    ab.clear();
    ab.shrink_to_fit();
    std::wstring line(64 << 20, L'x');
    Ref<KaRegexMatch> all;
    ASSERT_TRUE(Util()->SearchPattern(line.c_str(), L".*", all.put())) << "64 Mi units";
    EXPECT_EQ(all->GetLength(), 64 << 20);
    all.reset();
    line.clear();
    line.shrink_to_fit();

    std::wstring subject = AbText(1 << 20);
    Ref<KaRegexMatch> alternatives;
    ASSERT_TRUE(Util()->SearchPattern(subject.c_str(), L"(?:ab|ba|a|b)+$", alternatives.put()));
    EXPECT_EQ(alternatives->GetLength(), 1 << 20);
    Ref<KaRegex> b;
    ASSERT_TRUE(Util()->CreateRegex(L"b", b.put()));
    wchar_t* out = nullptr;
    ASSERT_TRUE(Util()->ReplaceAll(subject.c_str(), b.get(), L"c", &out));
    std::wstring expected = subject;
    for (wchar_t& c : expected) c = c == L'b' ? L'c' : c;
    EXPECT_TRUE(expected == out);
    Free(out);
}

// (a*)*b backtracks exponentially in the run of a: every call gives up with
// one WARNING, whatever the length, instead of running for years.
TEST(Regex, RunawayPatternsGiveUpWithAWarning) {
    Ref<KaRegex> runaway;
    ASSERT_TRUE(Util()->CreateRegex(L"(a*)*b", runaway.put()));
    for (size_t units : {size_t(30), size_t(1000), size_t(1) << 20}) {
        std::wstring subject(units, L'a');
        ProcessLog::NewLines();
        EXPECT_FALSE(Util()->SearchRegex(subject.c_str(), runaway.get(), nullptr)) << units;
        wchar_t* out = nullptr;
        EXPECT_FALSE(Util()->ReplaceAll(subject.c_str(), runaway.get(), L"x", &out)) << units;
        std::vector<std::string> lines = ProcessLog::NewLines();
        ASSERT_EQ(lines.size(), 2u) << units;
        for (const std::string& line : lines) {
            EXPECT_EQ(line.rfind("[WARNING]", 0), 0u) << line;
            EXPECT_NE(line.find("Regular expression not answered"), std::string::npos) << line;
        }
    }
    // The budget is per call: a replacement with many occurrences is not
    // cut short by the work of the ones before.
    std::wstring many;
    for (int i = 0; i < 20000; ++i) many += L"aaaaab ";
    wchar_t* out = nullptr;
    ASSERT_TRUE(Util()->ReplaceAll(many.c_str(), runaway.get(), L"x", &out));
    EXPECT_EQ(std::wstring(out).substr(0, 6), L"x x x ");
    Free(out);
}

// Where std::wregex departs from ECMAScript, the answer is ECMAScript's.
TEST(Regex, EcmaScriptWhereStdWregexDiffers) {
    struct Row {
        const wchar_t* pattern;
        const wchar_t* subject;
        int64_t position;  // -1: no occurrence
        int64_t length;
    };
    const Row rows[] = {
        // A group that did not take part matches empty (std::wregex: fails).
        {L"(a)?b\\1c", L"bc", 0, 2},
        {L"(?:(x)|y)\\1z", L"yz", 0, 2},
        // ^, \b, \B in a lookahead see the whole text (std::wregex: as if it
        // began at the lookahead).
        {L"a(?=^)", L"ab", -1, 0},
        {L"x(?=\\b)", L"ax", 1, 1},
        {L"b(?!\\B)", L"ab-", 1, 1},
        // "." stops at the four line terminators only, not at form feed.
        {L"a.b", L"a\fb", 0, 3},
        {L"a.b", L"a\u2028b", -1, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(katest::Narrow(row.pattern) + " on " + katest::Narrow(row.subject));
        Ref<KaRegexMatch> match;
        bool found = Util()->SearchPattern(row.subject, row.pattern, match.put());
        ASSERT_EQ(found, row.position >= 0);
        if (!found) continue;
        EXPECT_EQ(match->GetPosition(), row.position);
        EXPECT_EQ(match->GetLength(), row.length);
    }
}

// Searches on one pattern from several threads at once.
TEST(Regex, ConcurrentSearchesOnOnePattern) {
    Ref<KaRegex> word;
    ASSERT_TRUE(Util()->CreateRegex(L"(\\w+)@(\\w+)\\.ch", word.put()));
    std::vector<std::thread> threads;
    std::vector<int> hits(6, 0);
    std::wstring longText(4000, L' ');
    longText += L"anna@example.ch";
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                KaRegexMatch* m = nullptr;
                const wchar_t* text = (i % 2) ? longText.c_str() : L"mail to anna@example.ch";
                if (Util()->SearchRegex(text, word.get(), &m)) {
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

static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
