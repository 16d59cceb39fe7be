// Compound documents (OLE structured storage) rewritten into a fresh file
// with the source's three timestamps; a file rewritten onto itself goes
// through a temporary directory.
#ifndef KA_FS_STORAGE_H
#define KA_FS_STORAGE_H

namespace ka {

// KaFileSystem::CopyStorage. `destination` may name the source itself: the
// same pointer, or the same file in another letter case or as its short name.
bool CopyStorageFile(const wchar_t* source, const wchar_t* destination);

}  // namespace ka

#endif
