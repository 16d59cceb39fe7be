// The root's per-thread last-error store. Each thread's message lives in a
// named shared-memory section, "KAV_LAST_ERROR_<pid>_<tid>", so another
// process that knows both ids can open it and read the text while it lives.
// The map and its lock are members of the module object; the root's slots
// hand them in.
#ifndef KA_FRAME_LAST_ERROR_H
#define KA_FRAME_LAST_ERROR_H

#include "frame/critical_section.h"
#include "frame/handles.h"
#include "frame/win32.h"
#include "ka/fs.h"
#include "ka/system.h"

#include <cstdint>
#include <map>

namespace ka {

struct LastErrorEntry {
    ObjectRef<KaMemoryMappedFile> section;  // the message with its terminator
    uint32_t storedTick = 0;                // GetTickCount when it was stored
};
// Thread id -> that thread's message.
using LastErrorMap = std::map<uint32_t, LastErrorEntry>;

// Root slot 25. Keeps `message` for the calling thread in a section made by
// `root`'s own CreateMemoryMappedFile; a null or empty message removes the
// thread's entry (true). False, and no message kept for the thread, when the
// section cannot be made or written (for example: someone still holds the
// previous, smaller section of this thread open) or `errors` is null.
bool StoreLastErrorMessage(KaSystem& root, CriticalSection& lock, LastErrorMap* errors,
                           const wchar_t* message);

// Root slot 26. A copy of the calling thread's message from AllocateArray of
// the registered interface; then drops every entry older than ten seconds.
// False with *out null when the thread has no message or the copy cannot be
// allocated (the message then stays, and nothing is swept).
bool ReadLastErrorMessage(CriticalSection& lock, LastErrorMap* errors, wchar_t** out);

}  // namespace ka

#endif
