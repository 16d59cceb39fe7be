// Regular expressions through the DLL: groups, ownership, replacement, and
// the stack guard (deep runs on the worker, refusals, unload and exit with
// the worker alive).
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

    // The compiler recurses per group level: 5000 levels (3 MiB of stack)
    // compile on the worker; two million open groups are refused unparsed.
    std::wstring nested;
    for (int i = 0; i < 5000; ++i) nested += L"(?:";
    nested += L"a" + std::wstring(5000, L')');
    EXPECT_TRUE(Util()->SearchPattern(L"xa", nested.c_str(), nullptr));
    EXPECT_FALSE(Util()->CreateRegex(std::wstring(2 << 20, L'(').c_str(), &bad));
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

TEST(Regex, LongSubjectsNeverTakeTheHostDown) {
    std::wstring subject = AbText(1 << 20);  // 1 MiB of text
    for (const wchar_t* pattern : {L"(a|b)*", L".*", L"(?:ab|ba|a|b)+$"}) {
        SCOPED_TRACE(katest::Narrow(pattern));
        Ref<KaRegex> regex;
        ASSERT_TRUE(Util()->CreateRegex(pattern, regex.put()));
        Ref<KaRegexMatch> match;
        if (Util()->SearchRegex(subject.c_str(), regex.get(), match.put())) {
            EXPECT_GT(match->GetLength(), 0);
        }
        wchar_t* out = nullptr;
        if (Util()->ReplaceAll(subject.c_str(), regex.get(), L"<$&>", &out)) Free(out);
    }
    // A pattern without loops takes the same stack for any subject: a long
    // subject with short occurrences is replaced in full, on this thread.
    Ref<KaRegex> b;
    ASSERT_TRUE(Util()->CreateRegex(L"b", b.put()));
    wchar_t* out = nullptr;
    ASSERT_TRUE(Util()->ReplaceAll(subject.c_str(), b.get(), L"c", &out));
    std::wstring expected = subject;
    for (wchar_t& c : expected) c = c == L'b' ? L'c' : c;
    EXPECT_TRUE(expected == out);
    Free(out);
}

TEST(Regex, DeepRunsUseTheWorkerAndWhatCannotFitIsRefused) {
    EXPECT_TRUE(Util()->SearchPattern(AbText(256 * 1024).c_str(), L"^(a|b)*$", nullptr));

    ProcessLog::NewLines();
    EXPECT_FALSE(Util()->SearchPattern(AbText(1 << 20).c_str(), L"^(a|b)*$", nullptr))
        << "1 Mi units of (a|b)* may take more than the worker's 1 GiB: not answered";
    std::vector<std::string> lines = ProcessLog::NewLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("[WARNING]", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("Regular expression not run"), std::string::npos) << lines[0];

    // Nothing was left half-done: other threads still allocate and log.
    std::vector<std::thread> threads;
    std::vector<int> allocated(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            void* block = katest::System()->Allocate(4096);
            allocated[t] = block != nullptr;
            katest::System()->Free(block);
            katest::System()->GetLogger()->Write(LogCategory::INFO, 0, "after the refusal");
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(allocated, std::vector<int>(4, 1));
    EXPECT_EQ(ProcessLog::NewLines().size(), 4u);
}

// 4000 units of a pattern with loops may take 2.2 MiB of stack, more than
// these threads have: the long searches queue for the worker.
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

// Leaves the worker alive: a search no caller's stack could hold.
bool SearchOnTheWorker() {
    return Util()->SearchPattern(AbText(64 * 1024).c_str(), L"^(a|b)*$", nullptr);
}

KA_CHILD_MODE(RegexWorkerThenFreeLibrary) {
    if (!SearchOnTheWorker()) return 1;
    HMODULE dll = ::GetModuleHandleW(L"KaSystem.x64.dll");
    if (dll == nullptr || !::FreeLibrary(dll)) return 2;
    // The worker pins the library, and unloads it as it leaves once idle.
    if (::GetModuleHandleW(L"KaSystem.x64.dll") == nullptr) return 3;
    for (int i = 0; i < 300 && ::GetModuleHandleW(L"KaSystem.x64.dll") != nullptr; ++i) {
        ::Sleep(100);
    }
    return ::GetModuleHandleW(L"KaSystem.x64.dll") == nullptr ? katest::kChildOk : 4;
}

KA_CHILD_MODE(RegexWorkerAtExit) { return SearchOnTheWorker() ? katest::kChildOk : 1; }

TEST(Regex, WorkerNeverHoldsUpUnloadOrExit) {
    EXPECT_EQ(katest::RunChild("RegexWorkerThenFreeLibrary"), katest::kChildOk);
    EXPECT_EQ(katest::RunChild("RegexWorkerAtExit"), katest::kChildOk);
}

}  // namespace

static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
