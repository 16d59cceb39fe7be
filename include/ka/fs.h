// File system: paths of any length, file and tree operations, numbered
// versions, byte streams, shared memory and temporary directories.
#ifndef KA_FS_H
#define KA_FS_H

#include "object.h"

struct KaString;
struct KaStream;

// Seek origins.
enum : uint32_t { KA_SEEK_BEGIN = 0, KA_SEEK_CURRENT = 1, KA_SEEK_END = 2 };

struct KaStream : KaObject {
    virtual bool Duplicate(KaStream** out) = 0;
    virtual bool Flush() = 0;
    virtual bool CopyTo(KaStream* destination, size_t count, size_t* bytesRead,
                        size_t* bytesWritten) = 0;
    virtual bool Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) = 0;
    virtual bool Write(const void* data, size_t count, size_t* bytesWritten) = 0;
    virtual bool Read(void* buffer, size_t count, size_t* bytesRead) = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

// Embedded in the module object; not reference-counted.
struct KaFileStreamFactory {
    virtual bool CreateMemoryStream(KaStream** out, void* buffer, size_t size) = 0;
    virtual bool CreateStringStream(KaStream** out) = 0;
    virtual bool CreateLimitedStream(KaStream** out, KaStream* inner, size_t length) = 0;
    virtual bool OpenFileStream(KaStream** out, const wchar_t* path, const wchar_t* mode) = 0;
    virtual bool CopyStream(KaStream* source, KaStream* destination, void* buffer,
                            size_t bufferSize) = 0;
};

struct KaMemoryMappedFile : KaObject {
    virtual size_t GetSize() = 0;
    virtual bool Clear() = 0;
    virtual void* GetView() = 0;
    virtual bool WriteData(const void* data, size_t length) = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

struct KaTempDirectory : KaObject {
    virtual const wchar_t* GetPath() = 0;
    virtual bool Create(const wchar_t* leafName, const wchar_t* baseDirectory) = 0;
    virtual bool Detach() = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

// Embedded beside KaFileSystem; not reference-counted.
struct KaDirectoryFinder {
    // out (may be null) receives an allocated path; free it with KaSystem::Free.
    virtual bool FindLatestVersion(const wchar_t* path, wchar_t** out) = 0;
};

// Embedded in the module object; not reference-counted.
struct KaFileSystem {
    virtual bool GetShortPath(const wchar_t* path, KaString** out) = 0;
    virtual bool GetParentPath(const wchar_t* path, KaString** out) = 0;
    virtual bool GetFileName(const wchar_t* path, KaString** out) = 0;
    virtual bool FileExists(const wchar_t* path) = 0;
    virtual bool DirectoryExists(const wchar_t* path) = 0;
    virtual bool Move(const wchar_t* source, const wchar_t* destination) = 0;
    virtual bool Copy(const wchar_t* source, const wchar_t* destination) = 0;
    virtual bool Delete(const wchar_t* path) = 0;
    virtual bool CreateDirectories(const wchar_t* path) = 0;
    virtual bool CreateTempDirectory(const wchar_t* leafName, const wchar_t* baseDirectory,
                                     KaTempDirectory** out) = 0;
    virtual bool CopyStorage(const wchar_t* source, const wchar_t* destination) = 0;
    virtual bool RewriteStorage(const wchar_t* path) = 0;
    // items: array of paths ending with a null entry.
    virtual bool OpenFolderAndSelect(const wchar_t* const* items) = 0;
    virtual bool GetFileVersion(const wchar_t* path, KaString** out) = 0;
    virtual KaDirectoryFinder* GetDirectoryFinder() = 0;
    virtual bool PathExists(const wchar_t* path) = 0;
};

#endif
