// KaMemoryMappedFile: a block of shared memory backed by the paging file,
// optionally named so that other processes open the same block, mapped once
// into this process.
#ifndef KA_FS_MEMORY_MAPPED_FILE_H
#define KA_FS_MEMORY_MAPPED_FILE_H

#include "ka/fs.h"

#include <cstddef>

namespace ka {

// Root slot 9. Creates the block `name` (null: unnamed) of `size` bytes, or
// opens the existing block of that name with its contents as they are, and
// hands it out with one reference. False, *out untouched, when the mapping or
// its view cannot be made (a size of 0, an existing block smaller than
// `size`, a name that names another kind of object) or out is null.
bool CreateMemoryMappedFileObject(KaMemoryMappedFile** out, const wchar_t* name, size_t size);

}  // namespace ka

#endif
