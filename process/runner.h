// The process runner: starts a child with optional redirected standard
// streams and waits for it in one-second steps, draining its output and
// pumping the calling thread's messages. Keeps nothing between calls.
#ifndef KA_PROCESS_RUNNER_H
#define KA_PROCESS_RUNNER_H

#include "ka/process.h"

#include <cstdint>

namespace ka {

// The exit code a child killed at its time-out ends with.
constexpr uint32_t kTerminationExitCode = 170000;

// The arguments of KaProcessService::RunProcessEx, in its order.
struct RunRequest {
    const wchar_t* commandLine = nullptr;
    const wchar_t* workingDirectory = nullptr;
    uint32_t priority = 0;
    bool showWindow = false;
    bool wait = false;
    int32_t timeoutSeconds = 0;
    uint32_t* processId = nullptr;
    KaStream* input = nullptr;
    KaStream* output = nullptr;
    KaStream* errors = nullptr;
    uint32_t* exitCode = nullptr;
    const void* environment = nullptr;
    ProcessCallback onTimeout = nullptr;
    uintptr_t timeoutContext = 0;
    ProcessCallback onStarted = nullptr;
    uintptr_t startedContext = 0;
    ProcessCallback onFinished = nullptr;
    uintptr_t finishedContext = 0;
};

// True exactly when the result code is 0: the child exited with 0, or was
// started without waiting. The result code (the child's exit code, the
// system's error code, or kTerminationExitCode) goes to request.exitCode.
bool RunChildProcess(const RunRequest& request);

}  // namespace ka

#endif
