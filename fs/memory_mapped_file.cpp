#include "fs/memory_mapped_file.h"

#include "frame/handles.h"
#include "frame/ref_counted.h"
#include "frame/services.h"
#include "frame/win32.h"

#include <cstdint>
#include <cstring>

namespace ka {
namespace {

class MemoryMappedFile final : public RefCounted<MemoryMappedFile, KaMemoryMappedFile> {
public:
    bool Create(const wchar_t* name, size_t size);

    size_t GetSize() override { return size_; }
    bool Clear() override;
    void* GetView() override { return view_.get(); }
    bool WriteData(const void* data, size_t length) override;

private:
    UniqueHandle mapping_;
    UniqueView view_;
    size_t size_ = 0;  // as asked for, not rounded to pages
};

bool MemoryMappedFile::Create(const wchar_t* name, size_t size) {
    if (mapping_) return false;
    // The whole 64-bit size goes to the mapping, so blocks of 4 GiB and more
    // are what they say rather than the low 32 bits of it.
    const uint64_t bytes = size;
    mapping_.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                        static_cast<DWORD>(bytes >> 32), static_cast<DWORD>(bytes),
                                        name));
    if (!mapping_) return false;
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;  // opened, not created
    view_.reset(::MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, size));
    if (!view_) {
        mapping_.reset();
        return false;
    }
    // A block someone else created keeps its contents untouched; a new one
    // is the system's zero-filled memory.
    if (!existed && !::FlushViewOfFile(view_.get(), 0)) return false;
    size_ = size;
    return true;
}

bool MemoryMappedFile::Clear() {
    std::memset(view_.get(), 0, size_);
    return ::FlushViewOfFile(view_.get(), size_) != FALSE;
}

bool MemoryMappedFile::WriteData(const void* data, size_t length) {
    if (data == nullptr || length == 0) return Clear();
    if (length > GetSize()) {
        Log()->Printf(LogCategory::ERROR, 0,
                      "Data is too big for buffer size. Buffer=%Iu, Data=%Iu", GetSize(), length);
        return false;
    }
    std::memcpy(view_.get(), data, length);
    return ::FlushViewOfFile(view_.get(), size_) != FALSE;
}

}  // namespace

bool CreateMemoryMappedFileObject(KaMemoryMappedFile** out, const wchar_t* name, size_t size) {
    if (out == nullptr) return false;
    return HandOut(NewObject<MemoryMappedFile>(), out,
                   [&](MemoryMappedFile& block) { return block.Create(name, size); });
}

}  // namespace ka
