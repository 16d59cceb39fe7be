// KaThreadPool: a fixed set of library threads running registered functions
// first in, first out, with ids by which queued work can be cancelled.
#ifndef KA_CONCURRENCY_THREAD_POOL_H
#define KA_CONCURRENCY_THREAD_POOL_H

#include "frame/library_thread.h"
#include "ka/concurrency.h"

namespace ka {

// How a pool starts each of its threads: StartLibraryThread, or a stand-in
// that fails on purpose in the internal tests.
using ThreadStarter = UniqueHandle (*)(LibraryThreadBody body, void* context, size_t stackReserve);

// Root slot 19: a pool of `threadCount` threads (below 1: one, with a
// WARNING line), handed out with one reference. False, and nothing handed
// out, when a thread cannot be started; the threads already running are
// stopped and joined first.
bool MakeThreadPool(int threadCount, KaThreadPool** out,
                    ThreadStarter starter = &StartLibraryThread);

// Whether the calling thread is one of the threads of `pool`, a pool made by
// MakeThreadPool (any other KaThreadPool answers false).
bool IsThreadOfPool(KaThreadPool* pool);

}  // namespace ka

#endif
