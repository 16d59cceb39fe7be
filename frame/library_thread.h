// Threads the library starts for itself: the pools' threads, worker
// threads, the CPU counter's sampler, the Popup Monitor's scanner, deferred
// releases. Each one pins this library's module for as
// long as it runs and leaves through FreeLibraryAndExitThread, so the code it
// runs can never be unmapped under it, whatever the host does with
// FreeLibrary. See the shut-down rule in root/module.cpp.
#ifndef KA_FRAME_LIBRARY_THREAD_H
#define KA_FRAME_LIBRARY_THREAD_H

#include "frame/handles.h"

#include <cstddef>

namespace ka {

using LibraryThreadBody = void (*)(void* context);

// Starts `body(context)` on a new thread with `stackReserve` bytes of reserved
// (not committed) stack, 0 for the default. The returned handle may be
// dropped at once: the thread does not need it. Empty on failure, in which
// case body never runs.
UniqueHandle StartLibraryThread(LibraryThreadBody body, void* context, size_t stackReserve = 0);

}  // namespace ka

#endif
