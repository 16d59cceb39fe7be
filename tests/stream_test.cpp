// The four stream kinds and the factory through the DLL, each cell of the
// behaviour table and its deliberate oddities.
#include "support/fake_stream.h"
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

KaFileStreamFactory* Streams() { return katest::System()->GetFileStreams(); }

using Stream = ka::ObjectRef<KaStream>;

// Up to `count` bytes read, or "<false>" when Read failed.
std::string Read(KaStream* s, size_t count) {
    std::string bytes(count, '\0');
    size_t got = 0;
    if (!s->Read(bytes.data(), count, &got)) return "<false>";
    bytes.resize(got);
    return bytes;
}

// The position a seek reports, or -1 when it failed.
int64_t SeekTo(KaStream* s, int64_t offset, uint32_t origin) {
    uint64_t position = 0;
    return s->Seek(offset, origin, &position) ? int64_t(position) : -1;
}

using Recorder = katest::FakeStream;  // records every write and flush

TEST(MemoryStream, BoundsAndOddities) {
    char buffer[10];
    std::memcpy(buffer, "0123456789", 10);
    Stream s;
    ASSERT_TRUE(Streams()->CreateMemoryStream(s.put(), buffer, sizeof buffer));
    EXPECT_FALSE(Streams()->CreateMemoryStream(nullptr, buffer, 10));
    KaStream* bad = nullptr;
    EXPECT_FALSE(Streams()->CreateMemoryStream(&bad, nullptr, 10)) << "no buffer behind it";
    EXPECT_FALSE(s->Read(nullptr, 4, nullptr));
    EXPECT_FALSE(s->Write(nullptr, 4, nullptr));
    EXPECT_EQ(Read(s.get(), 16), "0123456789");
    EXPECT_EQ(Read(s.get(), 4), "") << "at the end: zero bytes, still true";

    EXPECT_EQ(SeekTo(s.get(), 3, KA_SEEK_END), 7) << "origin 2 counts back from the end";
    EXPECT_EQ(SeekTo(s.get(), -1, KA_SEEK_BEGIN), -1);
    EXPECT_EQ(SeekTo(s.get(), 11, KA_SEEK_BEGIN), -1);
    EXPECT_EQ(SeekTo(s.get(), 0, 3), -1);
    EXPECT_EQ(SeekTo(s.get(), 0, KA_SEEK_CURRENT), 7) << "failed seeks leave the position alone";

    ASSERT_EQ(SeekTo(s.get(), 8, KA_SEEK_BEGIN), 8);
    size_t n = 0;
    EXPECT_TRUE(s->Write("abcd", 4, &n));
    EXPECT_EQ(n, 2u) << "a partial write up to the capacity";
    EXPECT_EQ(std::string(buffer, 10), "01234567ab");
    EXPECT_FALSE(s->Write("x", 1, &n)) << "the buffer is full";

    Stream dup;
    ASSERT_EQ(SeekTo(s.get(), 2, KA_SEEK_BEGIN), 2);
    ASSERT_TRUE(s->Duplicate(dup.put()));
    EXPECT_EQ(SeekTo(dup.get(), 0, KA_SEEK_CURRENT), 2);
    dup->Write("ZZ", 2, nullptr);
    EXPECT_EQ(std::string(buffer, 4), "01ZZ") << "both streams write into the same bytes";

    Recorder sink;
    ASSERT_EQ(SeekTo(s.get(), 0, KA_SEEK_BEGIN), 0);
    size_t r = 77, w = 77;
    EXPECT_TRUE(s->CopyTo(&sink, 100, &r, &w));
    EXPECT_EQ(sink.bytes, "01ZZ4567ab");
    EXPECT_EQ(r, 77u) << "the memory stream does not report counts";
    EXPECT_TRUE(s->CopyTo(&sink, 0, nullptr, nullptr));
    EXPECT_FALSE(s->CopyTo(nullptr, 5, nullptr, nullptr));

    std::vector<char> big(5000, 'q');
    Stream large;
    ASSERT_TRUE(Streams()->CreateMemoryStream(large.put(), big.data(), big.size()));
    Recorder chunks;
    EXPECT_TRUE(large->CopyTo(&chunks, 3000, nullptr, nullptr));
    EXPECT_EQ(chunks.writes, (std::vector<size_t>{1024, 1024, 952}));
}

TEST(FileStream, ReadWriteSeekDuplicate) {
    katest::TempDir dir;
    std::wstring path = dir.File(L"data.bin");
    Stream w;
    ASSERT_TRUE(Streams()->OpenFileStream(w.put(), path.c_str(), L"wb"));
    size_t n = 0;
    EXPECT_TRUE(w->Write("hello, file stream", 18, &n));
    EXPECT_EQ(n, 18u);
    EXPECT_EQ(SeekTo(w.get(), 0, KA_SEEK_CURRENT), 18) << "the position is read without flushing";
    EXPECT_EQ(katest::ReadFileBytes(path), "") << "nothing flushed yet";
    EXPECT_TRUE(w->Flush());
    EXPECT_EQ(katest::ReadFileBytes(path), "hello, file stream");
    w.reset();

    Stream r;
    ASSERT_TRUE(Streams()->OpenFileStream(r.put(), path.c_str(), L"rb"));
    EXPECT_EQ(SeekTo(r.get(), 0, KA_SEEK_END), 18) << "the file's length";
    EXPECT_EQ(SeekTo(r.get(), -6, KA_SEEK_END), 12) << "a negative offset goes back from the end";
    EXPECT_EQ(SeekTo(r.get(), 0, 7), -1);
    ASSERT_EQ(SeekTo(r.get(), 7, KA_SEEK_BEGIN), 7);
    n = 12345;
    EXPECT_TRUE(r->Read(nullptr, 0, &n));
    EXPECT_EQ(n, 12345u) << "a read of 0 bytes leaves the count alone";

    Stream dup;
    ASSERT_TRUE(r->Duplicate(dup.put()));
    EXPECT_EQ(Read(dup.get(), 32), "file stream") << "the duplicate reads from the same position";
    // Duplicated descriptors share the system's file position, so the
    // original seeks before it reads again.
    ASSERT_EQ(SeekTo(r.get(), 7, KA_SEEK_BEGIN), 7);
    EXPECT_EQ(Read(r.get(), 32), "file stream");
    EXPECT_EQ(Read(r.get(), 32), "") << "end of file: true with 0 bytes";
    EXPECT_FALSE(r->Write("x", 1, &n)) << "a read-only stream refuses writes";

    Stream none;
    EXPECT_FALSE(Streams()->OpenFileStream(none.put(), dir.File(L"missing").c_str(), L"rb"));
    EXPECT_EQ(none.get(), nullptr);
    EXPECT_FALSE(Streams()->OpenFileStream(none.put(), nullptr, L"rb"));
    EXPECT_FALSE(Streams()->OpenFileStream(none.put(), path.c_str(), nullptr));
    EXPECT_FALSE(Streams()->OpenFileStream(nullptr, path.c_str(), L"rb"));
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
        ASSERT_TRUE(Streams()->OpenFileStream(w.put(), path.c_str(), L"wb"));
        ASSERT_TRUE(w->Write(payload.data(), payload.size(), nullptr));
    }
    EXPECT_EQ(katest::ReadFileBytes(L"\\\\?\\" + path), payload);
    Stream r;
    ASSERT_TRUE(Streams()->OpenFileStream(r.put(), path.c_str(), L"rb"));
    Recorder sink;
    size_t got = 0, put = 0;
    EXPECT_TRUE(r->CopyTo(&sink, 19000, &got, &put));
    EXPECT_EQ(sink.writes, (std::vector<size_t>{8192, 8192, 2616}));
    EXPECT_EQ(got, 19000u);
    EXPECT_EQ(put, 19000u);
    EXPECT_EQ(sink.bytes, payload.substr(0, 19000));
    EXPECT_TRUE(r->CopyTo(&sink, 9000, &got, &put));
    EXPECT_EQ(got, 1000u) << "only what was there";
    EXPECT_FALSE(r->CopyTo(nullptr, 10, &got, &put));
    r.reset();
    EXPECT_TRUE(katest::System()->GetFileSystem()->Delete(path.c_str()));
}

TEST(StringStream, GrowsSeeksAndDuplicatesEmpty) {
    Stream s;
    ASSERT_TRUE(Streams()->CreateStringStream(s.put()));
    EXPECT_FALSE(Streams()->CreateStringStream(nullptr));
    size_t n = 0;
    EXPECT_TRUE(s->Write("abcdefgh", 8, &n));
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(SeekTo(s.get(), 2, KA_SEEK_BEGIN), 2);
    EXPECT_EQ(Read(s.get(), 3), "cde");
    EXPECT_EQ(Read(s.get(), 10), "fgh") << "end of data: true with what was there";
    EXPECT_EQ(SeekTo(s.get(), -3, KA_SEEK_END), 5) << "the state is cleared before seeking";
    EXPECT_EQ(SeekTo(s.get(), 0, 9), -1);

    KaStream* dup = nullptr;
    ASSERT_TRUE(s->Duplicate(&dup));
    EXPECT_EQ(dup->GetRefCount(), 0) << "handed out without a reference";
    dup->AddRef();
    EXPECT_EQ(Read(dup, 4), "") << "contents are not copied";
    EXPECT_EQ(dup->Release(), 0);
}

TEST(LimitedStream, AWindowThatNeverSeeksItsInner) {
    std::string data;
    for (int i = 0; i < 200; ++i) data += char('A' + i % 50);
    Stream inner;
    ASSERT_TRUE(Streams()->CreateMemoryStream(inner.put(), data.data(), data.size()));
    ASSERT_EQ(SeekTo(inner.get(), 100, KA_SEEK_BEGIN), 100);
    Stream window;
    ASSERT_TRUE(Streams()->CreateLimitedStream(window.put(), inner.get(), 5));
    EXPECT_EQ(inner->GetRefCount(), 2) << "the window holds its inner stream";
    EXPECT_EQ(SeekTo(window.get(), 0, KA_SEEK_CURRENT), 0);
    EXPECT_EQ(Read(window.get(), 16), data.substr(100, 5));
    EXPECT_EQ(Read(window.get(), 16), "");
    EXPECT_EQ(SeekTo(window.get(), 0, KA_SEEK_CURRENT), 5);
    EXPECT_EQ(SeekTo(window.get(), 0, KA_SEEK_BEGIN), -1);
    EXPECT_EQ(SeekTo(window.get(), 1, KA_SEEK_CURRENT), -1);
    ASSERT_EQ(SeekTo(inner.get(), 150, KA_SEEK_BEGIN), 150);
    EXPECT_EQ(Read(window.get(), 1), "<false>") << "the inner stream is past the window";
    window.reset();
    EXPECT_EQ(inner->GetRefCount(), 1);
    EXPECT_FALSE(Streams()->CreateLimitedStream(nullptr, inner.get(), 5));
}

TEST(CopyStream, ShortReadEndsTheCopy) {
    char data[] = "0123456789";
    Stream source;
    ASSERT_TRUE(Streams()->CreateMemoryStream(source.put(), data, 10));
    Recorder sink;
    char buffer[5];
    EXPECT_TRUE(Streams()->CopyStream(source.get(), &sink, buffer, 4));
    EXPECT_EQ(sink.writes, (std::vector<size_t>{4, 4, 2}));
    EXPECT_EQ(sink.bytes, "0123456789");
    EXPECT_EQ(sink.flushes, 1);
    EXPECT_FALSE(Streams()->CopyStream(source.get(), &sink, buffer, 0));
    EXPECT_FALSE(Streams()->CopyStream(nullptr, &sink, buffer, 4));
    EXPECT_FALSE(Streams()->CopyStream(source.get(), nullptr, buffer, 4));
    EXPECT_FALSE(Streams()->CopyStream(source.get(), &sink, nullptr, 4));

    // Exactly a multiple of the buffer: one more, empty read ends it.
    ASSERT_EQ(SeekTo(source.get(), 0, KA_SEEK_BEGIN), 0);
    Recorder exact;
    EXPECT_TRUE(Streams()->CopyStream(source.get(), &exact, buffer, 5));
    EXPECT_EQ(exact.writes, (std::vector<size_t>{5, 5, 0}));
}

}  // namespace
