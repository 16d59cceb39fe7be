// Placeholder until the file-system service lands: every operation reports
// failure. GetDirectoryFinder already answers its embedded neighbour.
#include "fs/file_system.h"

#include "frame/neighbour.h"

namespace ka {

bool FileSystem::GetShortPath(const wchar_t*, KaString**) { return false; }
bool FileSystem::GetParentPath(const wchar_t*, KaString**) { return false; }
bool FileSystem::GetFileName(const wchar_t*, KaString**) { return false; }
bool FileSystem::FileExists(const wchar_t*) { return false; }
bool FileSystem::DirectoryExists(const wchar_t*) { return false; }
bool FileSystem::Move(const wchar_t*, const wchar_t*) { return false; }
bool FileSystem::Copy(const wchar_t*, const wchar_t*) { return false; }
bool FileSystem::Delete(const wchar_t*) { return false; }
bool FileSystem::CreateDirectories(const wchar_t*) { return false; }
bool FileSystem::CreateTempDirectory(const wchar_t*, const wchar_t*, KaTempDirectory**) {
    return false;
}
bool FileSystem::CopyStorage(const wchar_t*, const wchar_t*) { return false; }
bool FileSystem::RewriteStorage(const wchar_t*) { return false; }
bool FileSystem::OpenFolderAndSelect(const wchar_t* const*) { return false; }
bool FileSystem::GetFileVersion(const wchar_t*, KaString**) { return false; }
KaDirectoryFinder* FileSystem::GetDirectoryFinder() {
    return static_cast<KaDirectoryFinder*>(NeighbourInterface(this));
}
bool FileSystem::PathExists(const wchar_t*) { return false; }

}  // namespace ka
