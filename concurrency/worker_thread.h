// KaWorkerThread: one long-lived library thread that runs one posted
// function at a time, with the worker's lock held while it runs.
#ifndef KA_CONCURRENCY_WORKER_THREAD_H
#define KA_CONCURRENCY_WORKER_THREAD_H

#include "ka/concurrency.h"

namespace ka {

// Root slot 18: starts the thread, waits until it reports ready and hands the
// worker out with one reference. False, and nothing handed out, for a null
// `out`, or when the thread cannot be started or does not report ready.
bool MakeWorkerThread(KaWorkerThread** out);

}  // namespace ka

#endif
