// What the file-system service asks of the shell and of version resources:
// folder windows with items selected, and a file's FileVersion text.
#ifndef KA_FS_SHELL_H
#define KA_FS_SHELL_H

struct KaString;

namespace ka {

// KaFileSystem::OpenFolderAndSelect: one folder window per distinct parent
// (the parents' texts compared code unit by code unit), with that folder's
// existing files selected together. False only for a null or empty list.
bool OpenFoldersAndSelect(const wchar_t* const* items);

// KaFileSystem::GetFileVersion: the FileVersion text of the first
// translation listed that has a non-empty one, whole.
bool FileVersionText(const wchar_t* path, KaString** out);

}  // namespace ka

#endif
