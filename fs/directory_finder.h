// KaDirectoryFinder, embedded right after KaFileSystem.
#ifndef KA_FS_DIRECTORY_FINDER_H
#define KA_FS_DIRECTORY_FINDER_H

#include "ka/fs.h"

namespace ka {

class DirectoryFinder final : public KaDirectoryFinder {
public:
    bool FindLatestVersion(const wchar_t* path, wchar_t** out) override;
};

}  // namespace ka

#endif
