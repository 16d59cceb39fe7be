// KaFileSystem, embedded in the module object.
#ifndef KA_FS_FILE_SYSTEM_H
#define KA_FS_FILE_SYSTEM_H

#include "ka/fs.h"

namespace ka {

class FileSystem final : public KaFileSystem {
public:
    bool GetShortPath(const wchar_t* path, KaString** out) override;
    bool GetParentPath(const wchar_t* path, KaString** out) override;
    bool GetFileName(const wchar_t* path, KaString** out) override;
    bool FileExists(const wchar_t* path) override;
    bool DirectoryExists(const wchar_t* path) override;
    bool Move(const wchar_t* source, const wchar_t* destination) override;
    bool Copy(const wchar_t* source, const wchar_t* destination) override;
    bool Delete(const wchar_t* path) override;
    bool CreateDirectories(const wchar_t* path) override;
    bool CreateTempDirectory(const wchar_t* leafName, const wchar_t* baseDirectory,
                             KaTempDirectory** out) override;
    bool CopyStorage(const wchar_t* source, const wchar_t* destination) override;
    bool RewriteStorage(const wchar_t* path) override;
    bool OpenFolderAndSelect(const wchar_t* const* items) override;
    bool GetFileVersion(const wchar_t* path, KaString** out) override;
    KaDirectoryFinder* GetDirectoryFinder() override;
    bool PathExists(const wchar_t* path) override;
};

}  // namespace ka

#endif
