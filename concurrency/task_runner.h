// KaTaskRunner and KaTask: a graph of tasks with prerequisites, run on a pool
// of the runner's own. A task goes to the pool once all its prerequisites
// have finished; the finishing prerequisite queues it from inside its own
// run, so the pool never looks idle between a task and the tasks it frees.
#ifndef KA_CONCURRENCY_TASK_RUNNER_H
#define KA_CONCURRENCY_TASK_RUNNER_H

#include "ka/concurrency.h"

namespace ka {

// The result of a task that the pool refused to queue.
constexpr int32_t kTaskRefused = -9999;

// Root slot 20: a runner whose pool comes from CreateThreadPool of the
// registered system interface with `threadCount`. With `pool` given, the
// runner takes a reference on that one instead (tests hand in pools that
// misbehave on purpose). False, and nothing handed out, for a null `out` or
// when there is no pool.
bool MakeTaskRunner(int threadCount, KaTaskRunner** out, KaThreadPool* pool = nullptr);

}  // namespace ka

#endif
