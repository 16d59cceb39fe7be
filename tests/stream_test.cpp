// The four stream kinds and the factory through the DLL, each cell of the
// behaviour table and its deliberate oddities.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

KaFileStreamFactory* Streams() { return katest::System()->GetFileStreams(); }

using Stream = katest::Ref<KaStream>;

// A destination that records every write and flush (a real KaStream).
class Recorder final : public KaStream {
public:
    std::vector<size_t> writes;
    std::string bytes;
    int flushes = 0;
    void AddRef() override {}
    int32_t Release() override { return 1; }
    int32_t GetRefCount() override { return 1; }
    bool Duplicate(KaStream**) override { return false; }
    bool Flush() override {
        ++flushes;
        return true;
    }
    bool CopyTo(KaStream*, size_t, size_t*, size_t*) override { return false; }
    bool Seek(int64_t, uint32_t, uint64_t*) override { return false; }
    bool Write(const void* data, size_t count, size_t* written) override {
        writes.push_back(count);
        bytes.append(static_cast<const char*>(data), count);
        if (written) *written = count;
        return true;
    }
    bool Read(void*, size_t, size_t*) override { return false; }
    void Destroy(uint32_t) override {}
};

TEST(MemoryStream, BoundsAndOddities) {
    char buffer[10];
    std::memcpy(buffer, "0123456789", 10);
    Stream s;
    ASSERT_TRUE(Streams()->CreateMemoryStream(s.out(), buffer, sizeof buffer));
    EXPECT_FALSE(Streams()->CreateMemoryStream(nullptr, buffer, 10));
    KaStream* bad = nullptr;
    EXPECT_FALSE(Streams()->CreateMemoryStream(&bad, nullptr, 10)) << "no buffer behind it";
    EXPECT_FALSE(s->Read(nullptr, 4, nullptr));
    EXPECT_FALSE(s->Write(nullptr, 4, nullptr));
    char got[16] = {};
    size_t n = 99;
    EXPECT_TRUE(s->Read(got, 16, &n));
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(std::string(got, 10), "0123456789");
    EXPECT_TRUE(s->Read(got, 4, &n));
    EXPECT_EQ(n, 0u) << "at the end: zero bytes, still true";

    uint64_t pos = 0;
    EXPECT_TRUE(s->Seek(3, KA_SEEK_END, &pos));
    EXPECT_EQ(pos, 7u) << "origin 2 counts back from the end";
    EXPECT_FALSE(s->Seek(-1, KA_SEEK_BEGIN, &pos));
    EXPECT_FALSE(s->Seek(11, KA_SEEK_BEGIN, &pos));
    EXPECT_FALSE(s->Seek(0, 3, &pos));
    EXPECT_TRUE(s->Seek(0, KA_SEEK_CURRENT, &pos));
    EXPECT_EQ(pos, 7u) << "failed seeks leave the position alone";

    ASSERT_TRUE(s->Seek(8, KA_SEEK_BEGIN, nullptr));
    EXPECT_TRUE(s->Write("abcd", 4, &n));
    EXPECT_EQ(n, 2u) << "a partial write up to the capacity";
    EXPECT_EQ(std::string(buffer, 10), "01234567ab");
    EXPECT_FALSE(s->Write("x", 1, &n)) << "the buffer is full";

    Stream dup;
    ASSERT_TRUE(s->Seek(2, KA_SEEK_BEGIN, nullptr));
    ASSERT_TRUE(s->Duplicate(dup.out()));
    EXPECT_EQ(dup->GetRefCount(), 1);
    EXPECT_TRUE(dup->Seek(0, KA_SEEK_CURRENT, &pos));
    EXPECT_EQ(pos, 2u);
    dup->Write("ZZ", 2, nullptr);
    EXPECT_EQ(std::string(buffer, 4), "01ZZ") << "both streams write into the same bytes";

    Recorder sink;
    ASSERT_TRUE(s->Seek(0, KA_SEEK_BEGIN, nullptr));
    size_t r = 77, w = 77;
    EXPECT_TRUE(s->CopyTo(&sink, 100, &r, &w));
    EXPECT_EQ(sink.bytes, "01ZZ4567ab");
    EXPECT_EQ(r, 77u) << "the memory stream does not report counts";
    EXPECT_TRUE(s->CopyTo(&sink, 0, nullptr, nullptr));
    EXPECT_FALSE(s->CopyTo(nullptr, 5, nullptr, nullptr));
    EXPECT_TRUE(s->Flush());
}

TEST(MemoryStream, LargeCopyGoesInChunks) {
    std::vector<char> data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7);
    Stream s;
    ASSERT_TRUE(Streams()->CreateMemoryStream(s.out(), data.data(), data.size()));
    Recorder sink;
    EXPECT_TRUE(s->CopyTo(&sink, 3000, nullptr, nullptr));
    EXPECT_EQ(sink.writes, (std::vector<size_t>{1024, 1024, 952}));
    EXPECT_EQ(sink.bytes, std::string(data.data(), 3000));
}

TEST(FileStream, ReadWriteSeekDuplicate) {
    katest::TempDir dir;
    std::wstring path = dir.File(L"data.bin");
    Stream w;
    ASSERT_TRUE(Streams()->OpenFileStream(w.out(), path.c_str(), L"wb"));
    size_t n = 0;
    EXPECT_TRUE(w->Write("hello, file stream", 18, &n));
    EXPECT_EQ(n, 18u);
    uint64_t pos = 0;
    EXPECT_TRUE(w->Seek(0, KA_SEEK_CURRENT, &pos));
    EXPECT_EQ(pos, 18u) << "the position is read without flushing";
    EXPECT_EQ(katest::ReadFileBytes(path), "") << "nothing flushed yet";
    EXPECT_TRUE(w->Flush());
    EXPECT_EQ(katest::ReadFileBytes(path), "hello, file stream");
    w.reset();

    Stream r;
    ASSERT_TRUE(Streams()->OpenFileStream(r.out(), path.c_str(), L"rb"));
    EXPECT_TRUE(r->Seek(0, KA_SEEK_END, &pos));
    EXPECT_EQ(pos, 18u) << "the file's length";
    EXPECT_TRUE(r->Seek(-6, KA_SEEK_END, &pos));
    EXPECT_EQ(pos, 12u) << "a negative offset goes back from the end";
    EXPECT_FALSE(r->Seek(0, 7, &pos));
    ASSERT_TRUE(r->Seek(7, KA_SEEK_BEGIN, nullptr));
    n = 12345;
    EXPECT_TRUE(r->Read(nullptr, 0, &n));
    EXPECT_EQ(n, 12345u) << "a read of 0 bytes leaves the count alone";

    Stream dup;
    ASSERT_TRUE(r->Duplicate(dup.out()));
    char a[32] = {}, b[32] = {};
    EXPECT_TRUE(dup->Read(b, 32, &n));
    EXPECT_EQ(std::string(b, n), "file stream") << "the duplicate reads from the same position";
    // Duplicated descriptors share the system's file position, so the
    // original seeks before it reads again.
    ASSERT_TRUE(r->Seek(7, KA_SEEK_BEGIN, nullptr));
    EXPECT_TRUE(r->Read(a, 32, &n));
    EXPECT_EQ(std::string(a, n), "file stream");
    EXPECT_TRUE(r->Read(a, 32, &n));
    EXPECT_EQ(n, 0u) << "end of file: true with 0 bytes";

    Stream none;
    EXPECT_FALSE(Streams()->OpenFileStream(none.out(), dir.File(L"missing").c_str(), L"rb"));
    EXPECT_EQ(none.p, nullptr);
    EXPECT_FALSE(Streams()->OpenFileStream(none.out(), nullptr, L"rb"));
    EXPECT_FALSE(Streams()->OpenFileStream(none.out(), path.c_str(), nullptr));
    EXPECT_FALSE(Streams()->OpenFileStream(nullptr, path.c_str(), L"rb"));
    Stream ro;
    ASSERT_TRUE(Streams()->OpenFileStream(ro.out(), path.c_str(), L"rb"));
    EXPECT_FALSE(ro->Write("x", 1, &n)) << "a read-only stream refuses writes";
}

TEST(FileStream, CopyToInChunksAndLongPaths) {
    katest::TempDir dir;
    std::wstring deep = dir.path() + L"\\" + std::wstring(200, L'd');
    ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr));
    std::wstring path = deep + L"\\" + std::wstring(120, L'f') + L".bin";
    ASSERT_GE(path.size(), 300u);
    std::string payload;
    for (int i = 0; i < 20000; ++i) payload += char('a' + i % 26);
    {
        Stream w;
        ASSERT_TRUE(Streams()->OpenFileStream(w.out(), path.c_str(), L"wb"));
        ASSERT_TRUE(w->Write(payload.data(), payload.size(), nullptr));
    }
    EXPECT_EQ(katest::ReadFileBytes(L"\\\\?\\" + path), payload);
    Stream r;
    ASSERT_TRUE(Streams()->OpenFileStream(r.out(), path.c_str(), L"rb"));
    Recorder sink;
    size_t got = 0, put = 0;
    EXPECT_TRUE(r->CopyTo(&sink, 19000, &got, &put));
    EXPECT_EQ(sink.writes, (std::vector<size_t>{8192, 8192, 2616}));
    EXPECT_EQ(got, 19000u);
    EXPECT_EQ(put, 19000u);
    EXPECT_EQ(sink.bytes, payload.substr(0, 19000));
    sink.writes.clear();
    EXPECT_TRUE(r->CopyTo(&sink, 9000, &got, &put));
    EXPECT_EQ(got, 1000u) << "only what was there";
    EXPECT_FALSE(r->CopyTo(nullptr, 10, &got, &put));
    r.reset();
    EXPECT_TRUE(katest::System()->GetFileSystem()->Delete(path.c_str()));
}

TEST(StringStream, GrowsSeeksAndDuplicatesEmpty) {
    Stream s;
    ASSERT_TRUE(Streams()->CreateStringStream(s.out()));
    EXPECT_FALSE(Streams()->CreateStringStream(nullptr));
    size_t n = 0;
    EXPECT_TRUE(s->Write("abcdefgh", 8, &n));
    EXPECT_EQ(n, 8u);
    uint64_t pos = 99;
    EXPECT_TRUE(s->Seek(2, KA_SEEK_BEGIN, &pos));
    EXPECT_EQ(pos, 2u);
    char got[16] = {};
    EXPECT_TRUE(s->Read(got, 3, &n));
    EXPECT_EQ(std::string(got, n), "cde");
    EXPECT_TRUE(s->Read(got, 10, &n)) << "end of data: true with what was there";
    EXPECT_EQ(std::string(got, n), "fgh");
    EXPECT_TRUE(s->Seek(-3, KA_SEEK_END, &pos)) << "the state is cleared before seeking";
    EXPECT_EQ(pos, 5u);
    EXPECT_FALSE(s->Seek(0, 9, &pos));
    EXPECT_FALSE(s->CopyTo(s.p, 1, nullptr, nullptr));
    EXPECT_TRUE(s->Flush());

    KaStream* dup = nullptr;
    ASSERT_TRUE(s->Duplicate(&dup));
    EXPECT_EQ(dup->GetRefCount(), 0) << "handed out without a reference";
    dup->AddRef();
    EXPECT_TRUE(dup->Read(got, 4, &n));
    EXPECT_EQ(n, 0u) << "contents are not copied";
    EXPECT_EQ(dup->Release(), 0);
}

TEST(LimitedStream, AWindowThatNeverSeeksItsInner) {
    std::vector<char> data(200);
    for (int i = 0; i < 200; ++i) data[i] = char(i);
    Stream inner;
    ASSERT_TRUE(Streams()->CreateMemoryStream(inner.out(), data.data(), data.size()));
    ASSERT_TRUE(inner->Seek(100, KA_SEEK_BEGIN, nullptr));
    Stream window;
    ASSERT_TRUE(Streams()->CreateLimitedStream(window.out(), inner.p, 5));
    EXPECT_EQ(inner->GetRefCount(), 2) << "the window holds its inner stream";
    uint64_t pos = 99;
    EXPECT_TRUE(window->Seek(0, KA_SEEK_CURRENT, &pos));
    EXPECT_EQ(pos, 0u);
    char got[16];
    size_t n = 0;
    EXPECT_TRUE(window->Read(got, 16, &n));
    ASSERT_EQ(n, 5u);
    EXPECT_EQ(got[0], char(100));
    EXPECT_EQ(got[4], char(104));
    EXPECT_TRUE(window->Read(got, 16, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(window->Seek(0, KA_SEEK_CURRENT, &pos));
    EXPECT_EQ(pos, 5u);
    EXPECT_FALSE(window->Seek(0, KA_SEEK_BEGIN, &pos));
    EXPECT_FALSE(window->Seek(1, KA_SEEK_CURRENT, &pos));
    EXPECT_FALSE(window->Write("x", 1, &n));
    KaStream* dup = nullptr;
    EXPECT_FALSE(window->Duplicate(&dup));
    EXPECT_TRUE(window->Flush());
    // Moving the inner stream past the window makes reads fail.
    ASSERT_TRUE(inner->Seek(150, KA_SEEK_BEGIN, nullptr));
    EXPECT_FALSE(window->Read(got, 1, &n));
    window.reset();
    EXPECT_EQ(inner->GetRefCount(), 1);
    EXPECT_FALSE(Streams()->CreateLimitedStream(nullptr, inner.p, 5));
}

TEST(CopyStream, ShortReadEndsTheCopy) {
    char data[] = "0123456789";
    Stream source;
    ASSERT_TRUE(Streams()->CreateMemoryStream(source.out(), data, 10));
    Recorder sink;
    char buffer[4];
    EXPECT_TRUE(Streams()->CopyStream(source.p, &sink, buffer, sizeof buffer));
    EXPECT_EQ(sink.writes, (std::vector<size_t>{4, 4, 2}));
    EXPECT_EQ(sink.bytes, "0123456789");
    EXPECT_EQ(sink.flushes, 1);
    EXPECT_FALSE(Streams()->CopyStream(source.p, &sink, buffer, 0));
    EXPECT_FALSE(Streams()->CopyStream(nullptr, &sink, buffer, 4));
    EXPECT_FALSE(Streams()->CopyStream(source.p, nullptr, buffer, 4));
    EXPECT_FALSE(Streams()->CopyStream(source.p, &sink, nullptr, 4));

    // Exactly a multiple of the buffer: one more, empty read ends it.
    ASSERT_TRUE(source->Seek(0, KA_SEEK_BEGIN, nullptr));
    Recorder exact;
    char five[5];
    EXPECT_TRUE(Streams()->CopyStream(source.p, &exact, five, sizeof five));
    EXPECT_EQ(exact.writes, (std::vector<size_t>{5, 5, 0}));
}

}  // namespace
