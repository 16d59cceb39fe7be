#include "fs/streams.h"

#include "frame/boundary.h"
#include "frame/handles.h"
#include "fs/path.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>

#include <algorithm>
#include <cstring>

namespace ka {
namespace {

constexpr size_t kFileCopyChunk = 8192;
constexpr size_t kMemoryCopyChunk = 1024;

void Report(size_t* out, size_t value) {
    if (out != nullptr) *out = value;
}

size_t WriteNoLock(const void* data, size_t count, FILE* file) {
    FwriteNolock noLock = ResolveFwriteNolock();
    return noLock ? noLock(data, 1, count, file) : std::fwrite(data, 1, count, file);
}

}  // namespace

// ------------------------------------------------------------- file stream

bool FileStream::Open(const wchar_t* path, const wchar_t* mode) {
    return Boundary(false, [&] {
        file_.reset();
        if (path == nullptr || mode == nullptr) return false;
        file_.reset(_wfsopen(SystemPath(path).c_str(), mode, _SH_DENYNO));
        if (!file_) return false;
        mode_ = mode;
        return true;
    });
}

bool FileStream::Duplicate(KaStream** out) {
    return Boundary(false, [&] {
        if (out == nullptr || !file_) return false;
        // The new stream owns whatever it was given, so every failure below is
        // cleaned up by its destructor.
        return HandOut(NewObject<FileStream>(), out, [this](FileStream& copy) {
            UniqueDescriptor descriptor(_dup(_fileno(file_.get())));
            if (!descriptor) return false;
            uint64_t position = 0;
            if (!Seek(0, KA_SEEK_CURRENT, &position)) return false;
            copy.file_.reset(_wfdopen(descriptor.get(), mode_.c_str()));
            if (!copy.file_) return false;
            (void)descriptor.release();  // the CRT file closes it from now on
            copy.mode_ = mode_;
            return copy.Seek(int64_t(position), KA_SEEK_BEGIN, nullptr);
        });
    });
}

bool FileStream::Flush() { return file_ && std::fflush(file_.get()) == 0; }

bool FileStream::CopyTo(KaStream* destination, size_t count, size_t* bytesRead,
                        size_t* bytesWritten) {
    if (destination == nullptr) return false;
    unsigned char chunk[kFileCopyChunk];
    size_t totalRead = 0, totalWritten = 0;
    size_t remaining = count;
    // Whatever a read returns, the remaining count drops by a whole chunk.
    while (remaining > kFileCopyChunk) {
        size_t got = 0, put = 0;
        if (!Read(chunk, kFileCopyChunk, &got)) return false;
        if (!destination->Write(chunk, got, &put)) return false;
        totalRead += got;
        totalWritten += put;
        remaining -= kFileCopyChunk;
    }
    size_t got = 0, put = 0;
    if (!Read(chunk, remaining, &got)) return false;
    if (!destination->Write(chunk, got, &put)) return false;
    Report(bytesRead, totalRead + got);
    Report(bytesWritten, totalWritten + put);
    return true;
}

bool FileStream::Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) {
    if (!file_ || origin > KA_SEEK_END) return false;
    if (!(origin == KA_SEEK_CURRENT && offset == 0)) {  // a plain position query does not seek
        static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
        if (_fseeki64(file_.get(), offset, kWhence[origin]) != 0) return false;
    }
    int64_t position = _ftelli64(file_.get());
    if (position < 0) return false;
    if (newPosition != nullptr) *newPosition = uint64_t(position);
    return true;
}

bool FileStream::Write(const void* data, size_t count, size_t* bytesWritten) {
    if (!file_ || (data == nullptr && count > 0)) return false;
    size_t written = WriteNoLock(data, count, file_.get());
    Report(bytesWritten, written);
    return written == count;
}

bool FileStream::Read(void* buffer, size_t count, size_t* bytesRead) {
    if (!file_) return false;
    if (count == 0) return true;  // the out count is not written
    if (buffer == nullptr) return false;
    size_t got = std::fread(buffer, 1, count, file_.get());
    Report(bytesRead, got);
    return got != 0 || std::feof(file_.get());
}

// ----------------------------------------------------------- memory stream

bool MemoryStream::Duplicate(KaStream** out) {
    if (out == nullptr) return false;
    return HandOut(NewObject<MemoryStream>(buffer_, capacity_, size_, position_), out,
                   [](MemoryStream&) { return true; });
}

bool MemoryStream::CopyTo(KaStream* destination, size_t count, size_t*, size_t*) {
    if (destination == nullptr) return false;
    unsigned char chunk[kMemoryCopyChunk];
    size_t remaining = count;
    while (remaining > 0) {
        size_t got = 0;
        if (!Read(chunk, std::min(remaining, kMemoryCopyChunk), &got)) return false;
        if (got == 0) return true;
        remaining -= got;
        if (!destination->Write(chunk, got, nullptr)) return false;
    }
    return true;
}

bool MemoryStream::Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) {
    int64_t target;
    switch (origin) {
        case KA_SEEK_BEGIN:
            target = offset;
            break;
        case KA_SEEK_CURRENT:
            target = int64_t(position_) + offset;
            break;
        case KA_SEEK_END:
            target = int64_t(size_) - offset;
            break;  // counts back from the end
        default:
            return false;
    }
    if (target < 0 || uint64_t(target) > size_) return false;
    position_ = size_t(target);
    if (newPosition != nullptr) *newPosition = position_;
    return true;
}

bool MemoryStream::Write(const void* data, size_t count, size_t* bytesWritten) {
    if (position_ == capacity_) return false;  // full
    if (data == nullptr && count > 0) return false;
    size_t n = std::min(count, capacity_ - position_);
    if (n > 0) std::memcpy(buffer_ + position_, data, n);
    position_ += n;
    size_ = std::max(size_, position_);
    Report(bytesWritten, n);
    return true;
}

bool MemoryStream::Read(void* buffer, size_t count, size_t* bytesRead) {
    if (buffer == nullptr && count > 0) return false;
    size_t n = std::min(count, size_ - position_);
    if (n > 0) std::memcpy(buffer, buffer_ + position_, n);
    position_ += n;
    Report(bytesRead, n);
    return true;
}

// ----------------------------------------------------------- string stream

bool StringStream::Duplicate(KaStream** out) {
    return Boundary(false, [&] {
        if (out == nullptr) return false;
        StringStream* copy = NewObject<StringStream>();  // empty, and with no reference
        if (copy == nullptr) return false;
        *out = copy;
        return true;
    });
}

bool StringStream::Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) {
    stream_.clear();
    static const std::ios::seekdir kDirection[] = {std::ios::beg, std::ios::cur, std::ios::end};
    if (origin > KA_SEEK_END) return false;
    stream_.seekg(offset, kDirection[origin]);
    stream_.seekp(offset, kDirection[origin]);
    std::streamoff position = stream_.tellg();
    if (newPosition != nullptr) *newPosition = uint64_t(position);
    return stream_.good();
}

bool StringStream::Write(const void* data, size_t count, size_t* bytesWritten) {
    return Boundary(false, [&] {
        if (data == nullptr && count > 0) return false;
        stream_.write(static_cast<const char*>(data), std::streamsize(count));
        Report(bytesWritten, count);
        return stream_.good();
    });
}

bool StringStream::Read(void* buffer, size_t count, size_t* bytesRead) {
    if (buffer == nullptr && count > 0) return false;
    stream_.read(static_cast<char*>(buffer), std::streamsize(count));
    if (stream_.good()) {
        Report(bytesRead, count);
        return true;
    }
    if (stream_.eof()) {
        Report(bytesRead, size_t(stream_.gcount()));
        return true;
    }
    return false;
}

// ---------------------------------------------------------- limited stream

LimitedStream::LimitedStream(KaStream* inner, size_t length)
    : inner_(ObjectRef<KaStream>::Share(inner)), length_(length) {}

bool LimitedStream::Init() { return inner_->Seek(0, KA_SEEK_CURRENT, &start_); }

bool LimitedStream::Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) {
    // Only the position query: the window never moves its inner stream.
    if (offset != 0 || origin != KA_SEEK_CURRENT) return false;
    uint64_t position = 0;
    if (!inner_->Seek(0, KA_SEEK_CURRENT, &position)) return false;
    if (newPosition != nullptr) *newPosition = position - start_;
    return true;
}

bool LimitedStream::Read(void* buffer, size_t count, size_t* bytesRead) {
    if (buffer == nullptr && count > 0) return false;
    uint64_t position = 0;
    if (!inner_->Seek(0, KA_SEEK_CURRENT, &position)) return false;
    uint64_t end = start_ + length_;
    if (position > end) return false;
    size_t n = size_t(std::min<uint64_t>(count, end - position));
    if (n == 0) {
        Report(bytesRead, 0);
        return true;
    }
    return inner_->Read(buffer, n, bytesRead);
}

}  // namespace ka
