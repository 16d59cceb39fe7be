// KaFileStreamFactory, embedded in the module object.
#ifndef KA_FS_STREAM_FACTORY_H
#define KA_FS_STREAM_FACTORY_H

#include "ka/fs.h"

namespace ka {

class FileStreamFactory final : public KaFileStreamFactory {
public:
    bool CreateMemoryStream(KaStream** out, void* buffer, size_t size) override;
    bool CreateStringStream(KaStream** out) override;
    bool CreateLimitedStream(KaStream** out, KaStream* inner, size_t length) override;
    bool OpenFileStream(KaStream** out, const wchar_t* path, const wchar_t* mode) override;
    bool CopyStream(KaStream* source, KaStream* destination, void* buffer,
                    size_t bufferSize) override;
};

}  // namespace ka

#endif
