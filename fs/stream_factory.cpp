#include "fs/stream_factory.h"

#include "fs/streams.h"

namespace ka {

bool FileStreamFactory::CreateMemoryStream(KaStream** out, void* buffer, size_t size) {
    // A window of `size` bytes over no buffer at all would fault at the first
    // read or write: refused.
    if (out == nullptr || (buffer == nullptr && size > 0)) return false;
    return HandOut(NewObject<MemoryStream>(buffer, size, size, 0), out,
                   [](MemoryStream&) { return true; });
}

bool FileStreamFactory::CreateStringStream(KaStream** out) {
    if (out == nullptr) return false;
    return HandOut(NewObject<StringStream>(), out, [](StringStream&) { return true; });
}

bool FileStreamFactory::CreateLimitedStream(KaStream** out, KaStream* inner, size_t length) {
    if (out == nullptr || inner == nullptr) return false;
    // The window starts wherever the inner stream is now; its position query
    // failing does not stop the window from being made.
    return HandOut(NewObject<LimitedStream>(inner, length), out, [](LimitedStream& stream) {
        stream.Init();
        return true;
    });
}

bool FileStreamFactory::OpenFileStream(KaStream** out, const wchar_t* path, const wchar_t* mode) {
    if (out == nullptr) return false;
    return HandOut(NewObject<FileStream>(), out,
                   [path, mode](FileStream& stream) { return stream.Open(path, mode); });
}

bool FileStreamFactory::CopyStream(KaStream* source, KaStream* destination, void* buffer,
                                   size_t bufferSize) {
    if (source == nullptr || destination == nullptr || buffer == nullptr || bufferSize == 0) {
        return false;
    }
    size_t got = 0;
    if (!source->Read(buffer, bufferSize, &got)) return false;
    for (;;) {
        if (!destination->Write(buffer, got, nullptr)) return false;
        if (got < bufferSize) break;  // a short read is taken as the end
        if (!source->Read(buffer, bufferSize, &got)) return false;
    }
    return destination->Flush();
}

}  // namespace ka
