// File system: paths of any length, file and tree operations, numbered
// versions, byte streams, shared memory and temporary directories.
// Paths are UTF-16 with backslashes as separators; paths of 260 characters or
// more reach the system in their "\\?\" form.
#ifndef KA_FS_H
#define KA_FS_H

#include "object.h"

struct KaString;
struct KaStream;

// Seek origins.
enum : uint32_t { KA_SEEK_BEGIN = 0, KA_SEEK_CURRENT = 1, KA_SEEK_END = 2 };

// A byte stream over a file, a caller's buffer, growable memory or a window on
// another stream. Streams log nothing and lock nothing: one thread per stream.
struct KaStream : KaObject {
    // Hands out a second stream on the same data and position with one reference; a string
    // stream gives a new EMPTY one with count ZERO (AddRef it), a window gives false.
    virtual bool Duplicate(KaStream** out) = 0;
    // Writes a file stream's buffered data out; true for the in-memory kinds.
    virtual bool Flush() = 0;
    // Reads up to count bytes and writes them to destination (file and memory streams only;
    // only a file stream reports the counts, which may be null).
    virtual bool CopyTo(KaStream* destination, size_t count, size_t* bytesRead,
                        size_t* bytesWritten) = 0;
    // Moves by offset from origin; newPosition may be null. On a memory stream KA_SEEK_END
    // counts a positive offset back; a window answers only (0, KA_SEEK_CURRENT).
    virtual bool Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) = 0;
    // bytesWritten may be null. A memory stream writes what fits (true) and refuses when
    // full; a window refuses.
    virtual bool Write(const void* data, size_t count, size_t* bytesWritten) = 0;
    // bytesRead may be null; at the end: true with 0 bytes.
    virtual bool Read(void* buffer, size_t count, size_t* bytesRead) = 0;
    // Run by the last Release: closes the file or releases the inner stream; a caller's
    // buffer stays the caller's.
    virtual void Destroy(uint32_t flags) = 0;
};

// Embedded in the module object; not reference-counted.
struct KaFileStreamFactory {
    // Hands out a stream over the caller's buffer of size bytes (not copied: keep it alive)
    // with one reference; the caller releases it.
    virtual bool CreateMemoryStream(KaStream** out, void* buffer, size_t size) = 0;
    // Hands out an empty growable stream with one reference; the caller releases it.
    virtual bool CreateStringStream(KaStream** out) = 0;
    // Hands out a read-only window of length bytes from inner's current position with one
    // reference (it holds one on inner); the caller releases it.
    virtual bool CreateLimitedStream(KaStream** out, KaStream* inner, size_t length) = 0;
    // Hands out the file opened with mode (a runtime mode such as L"rb", shared with every
    // other reader and writer) with one reference; the caller releases it.
    virtual bool OpenFileStream(KaStream** out, const wchar_t* path, const wchar_t* mode) = 0;
    // Copies source to destination through buffer until a short read, then flushes
    // destination.
    virtual bool CopyStream(KaStream* source, KaStream* destination, void* buffer,
                            size_t bufferSize) = 0;
};

// Shared memory backed by the paging file, mapped once into this process.
struct KaMemoryMappedFile : KaObject {
    // The size asked for at creation.
    virtual size_t GetSize() = 0;
    // Zeroes the whole block and flushes it.
    virtual bool Clear() = 0;
    // The block's address in this process; valid until the object is destroyed.
    virtual void* GetView() = 0;
    // Copies data to the start of the block and flushes (null or 0: Clear); false, nothing
    // written, when length exceeds the size.
    virtual bool WriteData(const void* data, size_t length) = 0;
    // Run by the last Release: unmaps; a named block lives on while another holder has it.
    virtual void Destroy(uint32_t flags) = 0;
};

// A scratch directory owned by the object, under <base>\kav_qmt_tmp (hidden).
struct KaTempDirectory : KaObject {
    // The directory's full path; empty before Create and after Detach.
    virtual const wchar_t* GetPath() = 0;
    // Makes <base or the temporary path>\kav_qmt_tmp\<computer>_<leaf or pid_n>; null or
    // empty arguments take those defaults. An existing leaf is taken over. A leaf is used as
    // it is ("a\b" makes a nested directory) but must stay below the root: a leaf that is
    // rooted, holds a colon (drive or stream) or a ".." step (also written "... " and the
    // like) is refused with false, as deleting the directory would reach outside. On an
    // object that owns a directory, renames it there, contents and all; false, the directory
    // kept where it was, when that name exists.
    virtual bool Create(const wchar_t* leafName, const wchar_t* baseDirectory) = 0;
    // Forgets the path, so the directory stays on disk; always true.
    virtual bool Detach() = 0;
    // Run by the last Release: deletes the tree, then entries of its parent (the root)
    // older than 14 days, read-only ones and paths of any length included; meanwhile the
    // process's current directory is that parent.
    virtual void Destroy(uint32_t flags) = 0;
};

// Embedded beside KaFileSystem; not reference-counted.
struct KaDirectoryFinder {
    // True when path or a numbered sibling (path.N) exists; out (may be null) receives the
    // highest-numbered one, from KaSystem::AllocateArray: free it with KaSystem::Free.
    virtual bool FindLatestVersion(const wchar_t* path, wchar_t** out) = 0;
};

// Embedded in the module object; not reference-counted.
struct KaFileSystem {
    // Hands out the short (8.3) form of an existing path with one reference; the caller
    // releases it.
    virtual bool GetShortPath(const wchar_t* path, KaString** out) = 0;
    // Hands out the text before the last backslash (trailing ones ignored), or ".", with
    // one reference; the caller releases it.
    virtual bool GetParentPath(const wchar_t* path, KaString** out) = 0;
    // Hands out the text after the last backslash (trailing ones ignored; none: the path
    // as given) with one reference; the caller releases it.
    virtual bool GetFileName(const wchar_t* path, KaString** out) = 0;
    // The path exists and is not a directory.
    virtual bool FileExists(const wchar_t* path) = 0;
    // The path exists and is a directory (a drive root such as C:\ counts).
    virtual bool DirectoryExists(const wchar_t* path) = 0;
    // Moves a file (never a directory), into destination when that is a directory;
    // an existing destination file is replaced.
    virtual bool Move(const wchar_t* source, const wchar_t* destination) = 0;
    // Copies a file (overwriting) or a whole directory tree.
    virtual bool Copy(const wchar_t* source, const wchar_t* destination) = 0;
    // Deletes a file or a whole tree, permanently; true when nothing is left there.
    virtual bool Delete(const wchar_t* path) = 0;
    // Creates the directory and every missing parent; true when it exists.
    virtual bool CreateDirectories(const wchar_t* path) = 0;
    // Hands out a new KaTempDirectory (arguments as its Create) with one reference; the
    // caller releases it, which deletes the directory.
    virtual bool CreateTempDirectory(const wchar_t* leafName, const wchar_t* baseDirectory,
                                     KaTempDirectory** out) = 0;
    // Rewrites a compound document into destination (which may name the source) and gives
    // it the source's three timestamps.
    virtual bool CopyStorage(const wchar_t* source, const wchar_t* destination) = 0;
    // CopyStorage of path onto itself, through a temporary copy.
    virtual bool RewriteStorage(const wchar_t* path) = 0;
    // items: array of paths ending with a null entry. Opens one shell window per folder
    // with its files selected; false only for an empty list.
    virtual bool OpenFolderAndSelect(const wchar_t* const* items) = 0;
    // Hands out the FileVersion text of the file's version resource with one reference;
    // the caller releases it.
    virtual bool GetFileVersion(const wchar_t* path, KaString** out) = 0;
    // Owned by the module: never release.
    virtual KaDirectoryFinder* GetDirectoryFinder() = 0;
    // The path exists (file or directory).
    virtual bool PathExists(const wchar_t* path) = 0;
};

#endif
