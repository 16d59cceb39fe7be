// KaCpuUsageCounter: the machine's total processor load, sampled through the
// performance-counter library on a library thread every 2 seconds, and the
// number of logical processors. The module owns the one instance; these
// functions are what the composition root calls.
#ifndef KA_CONCURRENCY_CPU_USAGE_H
#define KA_CONCURRENCY_CPU_USAGE_H

#include "ka/concurrency.h"

namespace ka {

// A new counter, started; null without memory. A counter whose start failed
// is kept (and reports a usage of 0) after "Failed to initialize the
// performance counter." is logged. The module makes one on first use, under
// its root's lock, and owns it.
KaCpuUsageCounter* MakeCpuUsageCounter();

// Tells the sampling thread to leave, without waiting: the host's last call
// (Uninitialize) does this, so the thread's hold on the module ends and
// FreeLibrary can unload it. The usage stays at its last value afterwards,
// until a new Initialize resumes the sampling. Null is fine. The caller holds
// the root's lock, so two calls never stop or restart the sampler at once.
void StopCpuUsageSampling(KaCpuUsageCounter* counter);

// Initialize after Uninitialize: waits for the stopped sampling thread to
// leave and starts a new one, which reports no data until its second sample.
// Does nothing while sampling, or for a counter whose start failed. Under the
// root's lock, as StopCpuUsageSampling.
void ResumeCpuUsageSampling(KaCpuUsageCounter* counter);

// Shut-down step: destroys the counter (null is fine). Runs under the loader
// lock, so it never waits for the sampling thread: on FreeLibrary that thread
// has left already (it pins the module), and at process exit it is gone,
// possibly in the middle of a collection.
void DestroyCpuUsageCounter(KaCpuUsageCounter* counter, bool processExiting);

}  // namespace ka

#endif
