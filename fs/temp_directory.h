// KaTempDirectory: one scratch directory under the hidden root
// <base>\kav_qmt_tmp, deleted again when the object goes. Its destructor also
// sweeps the root of leftovers older than two weeks, whoever made them.
#ifndef KA_FS_TEMP_DIRECTORY_H
#define KA_FS_TEMP_DIRECTORY_H

#include "frame/ref_counted.h"
#include "ka/fs.h"

#include <string>

namespace ka {

class TempDirectory final : public RefCounted<TempDirectory, KaTempDirectory> {
public:
    TempDirectory() = default;
    ~TempDirectory();

    const wchar_t* GetPath() override { return path_.c_str(); }
    bool Create(const wchar_t* leafName, const wchar_t* baseDirectory) override;
    bool Detach() override;

private:
    void CleanUp();

    std::wstring path_;  // empty: nothing owned
};

// KaFileSystem::CreateTempDirectory: a new object whose Create ran with these
// arguments; a failed Create destroys it at once (its destructor still runs).
bool CreateTempDirectoryObject(const wchar_t* leafName, const wchar_t* baseDirectory,
                               KaTempDirectory** out);

}  // namespace ka

#endif
