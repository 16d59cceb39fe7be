// Placeholder until the streams land: nothing is handed out.
#include "fs/stream_factory.h"

namespace ka {

bool FileStreamFactory::CreateMemoryStream(KaStream**, void*, size_t) { return false; }
bool FileStreamFactory::CreateStringStream(KaStream**) { return false; }
bool FileStreamFactory::CreateLimitedStream(KaStream**, KaStream*, size_t) { return false; }
bool FileStreamFactory::OpenFileStream(KaStream**, const wchar_t*, const wchar_t*) {
    return false;
}
bool FileStreamFactory::CopyStream(KaStream*, KaStream*, void*, size_t) { return false; }

}  // namespace ka
