// KaSha1: SHA-1 digests of buffers and files, as five words or as text. The
// module object owns the one instance; these functions are what the
// composition root calls.
#ifndef KA_DATA_SHA1_H
#define KA_DATA_SHA1_H

#include "ka/data.h"

namespace ka {

// A new hasher with the fastest compressor this processor runs; null without
// memory. The module makes one on first use and owns it.
KaSha1* MakeHasher();
// Frees what MakeHasher made (null is fine).
void DestroyHasher(KaSha1* hasher);

}  // namespace ka

#endif
