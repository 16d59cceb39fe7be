// The four KaStream kinds: a runtime file stream, a stream over a caller's
// fixed buffer, a growable in-memory stream and a read-only window over
// another stream. Streams log nothing: every failure is a false result.
#ifndef KA_FS_STREAMS_H
#define KA_FS_STREAMS_H

#include "frame/handles.h"
#include "frame/ref_counted.h"
#include "ka/fs.h"

#include <cstdio>
#include <sstream>
#include <string>

namespace ka {

// Shared answers of the slots a stream kind does not support.
template <typename Derived>
class StreamBase : public RefCounted<Derived, KaStream> {
public:
    bool Duplicate(KaStream**) override { return false; }
    bool Flush() override { return true; }
    bool CopyTo(KaStream*, size_t, size_t*, size_t*) override { return false; }
    bool Write(const void*, size_t, size_t*) override { return false; }
};

class FileStream final : public StreamBase<FileStream> {
public:
    // Opens with sharing for every other reader and writer; the path goes to
    // the system in its long form when it has one.
    bool Open(const wchar_t* path, const wchar_t* mode);

    bool Duplicate(KaStream** out) override;
    bool Flush() override;
    bool CopyTo(KaStream* destination, size_t count, size_t* bytesRead,
                size_t* bytesWritten) override;
    bool Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) override;
    bool Write(const void* data, size_t count, size_t* bytesWritten) override;
    bool Read(void* buffer, size_t count, size_t* bytesRead) override;

private:
    UniqueCrtFile file_;
    std::wstring mode_;
};

class MemoryStream final : public StreamBase<MemoryStream> {
public:
    // The buffer stays the caller's: never freed, never reallocated.
    MemoryStream(void* buffer, size_t capacity, size_t size, size_t position)
        : buffer_(static_cast<unsigned char*>(buffer)),
          capacity_(capacity),
          size_(size),
          position_(position) {}

    bool Duplicate(KaStream** out) override;
    bool CopyTo(KaStream* destination, size_t count, size_t* bytesRead,
                size_t* bytesWritten) override;
    bool Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) override;
    bool Write(const void* data, size_t count, size_t* bytesWritten) override;
    bool Read(void* buffer, size_t count, size_t* bytesRead) override;

private:
    unsigned char* buffer_;
    size_t capacity_;
    size_t size_;
    size_t position_;
};

class StringStream final : public StreamBase<StringStream> {
public:
    StringStream() : stream_(std::ios::in | std::ios::out | std::ios::binary) {}

    bool Duplicate(KaStream** out) override;
    bool Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) override;
    bool Write(const void* data, size_t count, size_t* bytesWritten) override;
    bool Read(void* buffer, size_t count, size_t* bytesRead) override;

private:
    std::stringstream stream_;
};

class LimitedStream final : public StreamBase<LimitedStream> {
public:
    // Takes a reference on `inner`; `start` is its position now.
    LimitedStream(KaStream* inner, size_t length);
    // Reads the inner stream's current position as the window's start.
    bool Init();

    bool Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) override;
    bool Read(void* buffer, size_t count, size_t* bytesRead) override;

private:
    ObjectRef<KaStream> inner_;
    uint64_t start_ = 0;
    uint64_t length_;
};

}  // namespace ka

#endif
