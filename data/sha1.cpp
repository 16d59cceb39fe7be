#include "data/sha1.h"

#include "data/sha1_core.h"
#include "frame/handles.h"
#include "frame/ref_counted.h"
#include "frame/services.h"
#include "ka/fs.h"

#include <atomic>

namespace ka {
namespace {

// Holds nothing but the compressor chosen at creation: every operation is
// re-entrant.
class Sha1 final : public KaSha1 {
public:
    Sha1() : compress_(sha1::BestCompressor()) {}

    bool HashBuffer(const void* data, size_t count, uint32_t* digest) override {
        if (digest == nullptr || (data == nullptr && count != 0)) return false;
        sha1::Digest(compress_, data, count, digest);
        return true;
    }

    bool HashBufferText(const void* data, size_t count, char* text) override {
        uint32_t digest[5];
        if (text == nullptr || !HashBuffer(data, count, digest)) return false;
        sha1::ToText(digest, text);
        return true;
    }

    // Read through a file stream of the registered interface (binary mode,
    // long paths) in large pieces; a short read ends the message, as the
    // end of the file does.
    bool HashFile(const wchar_t* path, uint32_t* digest) override {
        if (path == nullptr || digest == nullptr) return false;
        ObjectRef<KaStream> file;
        if (!System()->GetFileStreams()->OpenFileStream(file.put(), path, L"rb")) return false;
        sha1::Hasher hasher(compress_);
        unsigned char piece[16384];
        size_t got = 0;
        do {
            got = 0;
            if (!file->Read(piece, sizeof piece, &got)) break;
            hasher.Update(piece, got);
        } while (got == sizeof piece);
        hasher.Finish(digest);
        return true;
    }

    bool HashFileText(const wchar_t* path, char* text) override {
        uint32_t digest[5];
        if (text == nullptr || !HashFile(path, digest)) return false;
        sha1::ToText(digest, text);
        return true;
    }

private:
    const sha1::Compressor compress_;
};

}  // namespace

KaSha1* MakeHasher() { return NewObject<Sha1>(); }

void DestroyHasher(KaSha1* hasher) { delete static_cast<Sha1*>(hasher); }

}  // namespace ka
