// KaSha1: SHA-1 digests of buffers and files, as five words or as text. The
// module object owns the one instance; these functions are what the
// composition root calls.
#ifndef KA_DATA_SHA1_H
#define KA_DATA_SHA1_H

#include "ka/data.h"

namespace ka {

// The hasher in `slot`, created there on the first call with the fastest
// compressor this processor runs. Concurrent first calls all get the one
// instance that won the slot. Once DestroyHasher has run, null: nothing
// late in the shut-down re-creates it.
KaSha1* GetOrCreateHasher(KaSha1*& slot);

// Frees the hasher and clears the slot, for good.
void DestroyHasher(KaSha1*& slot);

}  // namespace ka

#endif
