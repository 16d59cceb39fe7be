// No C++ exception crosses a slot. The library's objects are linked into this
// executable, whose operator new can be told to fail on the calling thread:
// each slot then answers its failure value instead of throwing into the host.
#include "ka/ka.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

extern "C" KaSystem* KaGetModule();

namespace {
thread_local bool t_heapFails = false;

// Fails the C++ heap on this thread while alive.
struct FailingHeap {
    FailingHeap() { t_heapFails = true; }
    ~FailingHeap() { t_heapFails = false; }
};
}  // namespace

void* operator new(size_t size) {
    if (t_heapFails) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

TEST(Boundary, SlotsAnswerFailureWhenTheHeapFails) {
    KaSystem* system = KaGetModule();
    KaStringUtil* text = system->GetStringUtil();
    KaString* parent = nullptr;
    KaString* created = nullptr;
    KaString* string = nullptr;
    KaRegex* regex = nullptr;
    ASSERT_TRUE(text->CreateString(L"abc", &string));
    ASSERT_TRUE(text->CreateRegex(L"b", &regex));
    KaLog* log = nullptr;
    ASSERT_TRUE(system->CreateLogger(L"NUL", &log));
    {
        FailingHeap failing;
        EXPECT_FALSE(system->GetFileSystem()->GetParentPath(L"C:\\some\\where", &parent));
        EXPECT_FALSE(text->CreateString(L"text", &created));
        EXPECT_FALSE(string->Append(L"a text long enough to need the heap, surely"));
        EXPECT_EQ(string->Mid(1, 1), nullptr);
        EXPECT_FALSE(log->SetContextValue(L"key", L"value"));
        wchar_t* replaced = nullptr;
        EXPECT_FALSE(text->ReplaceAll(L"abcabc", regex, L"x", &replaced));
        KaStream* stream = nullptr;
        EXPECT_FALSE(system->GetFileStreams()->OpenFileStream(&stream, L"NUL", L"rb"));
        EXPECT_EQ(stream, nullptr);
    }
    // Out parameters stay untouched, and everything still works afterwards.
    EXPECT_EQ(parent, nullptr);
    EXPECT_EQ(created, nullptr);
    EXPECT_TRUE(string->Append(L"d"));
    EXPECT_STREQ(string->GetText(), L"abcd");
    EXPECT_TRUE(log->SetContextValue(L"key", L"value"));
    log->Release();
    regex->Release();
    string->Release();
}
