#include "process/process_service.h"

#include "frame/boundary.h"
#include "frame/handles.h"
#include "frame/win32.h"
#include "process/environment.h"
#include "process/memory_counters.h"
#include "process/runner.h"

#include <atomic>
#include <memory>
#include <new>

namespace ka {
namespace {

using GetProcessMemoryInfoFunction = BOOL(WINAPI*)(HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD);

// Not final: the short run forms reach the next form through the table.
class ProcessService final : public KaProcessService {
public:
    ProcessService()
        : psapi_(LoadSystemLibrary(L"PSAPI.DLL")),
          memoryInfo_(
              ResolveExport<GetProcessMemoryInfoFunction>(psapi_.get(), "GetProcessMemoryInfo")) {}

    KaMemoryCounters* CreateMemoryCounters() override { return NewObject<MemoryCounters>(); }
    bool QueryMemoryCounters(KaMemoryCounters* counters) override;
    bool CreateEnvironment(KaEnvironment** out) override;
    bool CreateEnvironmentFromProcess(KaEnvironment** out) override;
    bool RunProcess(const wchar_t* commandLine, const wchar_t* workingDirectory, uint32_t priority,
                    bool showWindow, bool wait, uint32_t* processId, KaStream* input,
                    KaStream* output, uint32_t* exitCode, const void* environment) override;
    bool RunProcessWithTimeout(const wchar_t* commandLine, const wchar_t* workingDirectory,
                               uint32_t priority, bool showWindow, int32_t timeoutSeconds,
                               uint32_t* processId, KaStream* input, KaStream* output,
                               uint32_t* exitCode, const void* environment) override;
    bool RunProcessWithStderr(const wchar_t* commandLine, const wchar_t* workingDirectory,
                              uint32_t priority, bool showWindow, int32_t timeoutSeconds,
                              uint32_t* processId, KaStream* input, KaStream* output,
                              KaStream* errors, uint32_t* exitCode, const void* environment,
                              ProcessCallback onTimeout, uintptr_t timeoutContext) override;
    bool RunProcessWithStartCallback(const wchar_t* commandLine, const wchar_t* workingDirectory,
                                     uint32_t priority, bool showWindow, int32_t timeoutSeconds,
                                     uint32_t* processId, KaStream* input, KaStream* output,
                                     KaStream* errors, uint32_t* exitCode, const void* environment,
                                     ProcessCallback onTimeout, uintptr_t timeoutContext,
                                     ProcessCallback onStarted, uintptr_t startedContext) override;
    bool RunProcessEx(const wchar_t* commandLine, const wchar_t* workingDirectory,
                      uint32_t priority, bool showWindow, bool wait, int32_t timeoutSeconds,
                      uint32_t* processId, KaStream* input, KaStream* output, KaStream* errors,
                      uint32_t* exitCode, const void* environment, ProcessCallback onTimeout,
                      uintptr_t timeoutContext, ProcessCallback onStarted, uintptr_t startedContext,
                      ProcessCallback onFinished, uintptr_t finishedContext) override;

private:
    UniqueLibrary psapi_;                      // null when PSAPI cannot be loaded
    GetProcessMemoryInfoFunction memoryInfo_;  // null without PSAPI or its export
};

// The system writes straight into the record's own counters (records come
// from CreateMemoryCounters only). Its own result is not looked at: the
// answer is true whenever the call was made.
bool ProcessService::QueryMemoryCounters(KaMemoryCounters* counters) {
    if (counters == nullptr || memoryInfo_ == nullptr) return false;
    UniqueHandle self(
        ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ::GetCurrentProcessId()));
    PROCESS_MEMORY_COUNTERS* record = static_cast<MemoryCounters*>(counters)->Record();
    memoryInfo_(self.get(), record, sizeof *record);
    return true;
}

// A pointer already in *out is overwritten, not released: it is the
// caller's to look after.
bool ProcessService::CreateEnvironment(KaEnvironment** out) {
    if (out == nullptr) return false;
    return HandOut(NewObject<Environment>(), out, [](Environment&) { return true; });
}

bool ProcessService::CreateEnvironmentFromProcess(KaEnvironment** out) {
    if (out == nullptr) return false;
    std::unique_ptr<wchar_t, decltype(&::FreeEnvironmentStringsW)> block(
        ::GetEnvironmentStringsW(), &::FreeEnvironmentStringsW);
    if (!block) return false;
    return HandOut(NewObject<Environment>(), out, [&](Environment& environment) {
        return Boundary(false, [&] {
            environment.Fill(block.get());
            return true;
        });
    });
}

// The short forms fill in their defaults and call the next form through the
// table, down to RunProcessEx.
bool ProcessService::RunProcess(const wchar_t* commandLine, const wchar_t* workingDirectory,
                                uint32_t priority, bool showWindow, bool wait, uint32_t* processId,
                                KaStream* input, KaStream* output, uint32_t* exitCode,
                                const void* environment) {
    return RunProcessWithTimeout(commandLine, workingDirectory, priority, showWindow, wait ? -1 : 0,
                                 processId, input, output, exitCode, environment);
}

bool ProcessService::RunProcessWithTimeout(const wchar_t* commandLine,
                                           const wchar_t* workingDirectory, uint32_t priority,
                                           bool showWindow, int32_t timeoutSeconds,
                                           uint32_t* processId, KaStream* input, KaStream* output,
                                           uint32_t* exitCode, const void* environment) {
    return RunProcessWithStderr(commandLine, workingDirectory, priority, showWindow, timeoutSeconds,
                                processId, input, output, nullptr, exitCode, environment, nullptr,
                                0);
}

bool ProcessService::RunProcessWithStderr(const wchar_t* commandLine,
                                          const wchar_t* workingDirectory, uint32_t priority,
                                          bool showWindow, int32_t timeoutSeconds,
                                          uint32_t* processId, KaStream* input, KaStream* output,
                                          KaStream* errors, uint32_t* exitCode,
                                          const void* environment, ProcessCallback onTimeout,
                                          uintptr_t timeoutContext) {
    return RunProcessWithStartCallback(commandLine, workingDirectory, priority, showWindow,
                                       timeoutSeconds, processId, input, output, errors, exitCode,
                                       environment, onTimeout, timeoutContext, nullptr, 0);
}

// A time-out of 0 here means "start, do not wait".
bool ProcessService::RunProcessWithStartCallback(
    const wchar_t* commandLine, const wchar_t* workingDirectory, uint32_t priority, bool showWindow,
    int32_t timeoutSeconds, uint32_t* processId, KaStream* input, KaStream* output,
    KaStream* errors, uint32_t* exitCode, const void* environment, ProcessCallback onTimeout,
    uintptr_t timeoutContext, ProcessCallback onStarted, uintptr_t startedContext) {
    return RunProcessEx(commandLine, workingDirectory, priority, showWindow, timeoutSeconds != 0,
                        timeoutSeconds, processId, input, output, errors, exitCode, environment,
                        onTimeout, timeoutContext, onStarted, startedContext, nullptr, 0);
}

bool ProcessService::RunProcessEx(const wchar_t* commandLine, const wchar_t* workingDirectory,
                                  uint32_t priority, bool showWindow, bool wait,
                                  int32_t timeoutSeconds, uint32_t* processId, KaStream* input,
                                  KaStream* output, KaStream* errors, uint32_t* exitCode,
                                  const void* environment, ProcessCallback onTimeout,
                                  uintptr_t timeoutContext, ProcessCallback onStarted,
                                  uintptr_t startedContext, ProcessCallback onFinished,
                                  uintptr_t finishedContext) {
    RunRequest request;
    request.commandLine = commandLine;
    request.workingDirectory = workingDirectory;
    request.priority = priority;
    request.showWindow = showWindow;
    request.wait = wait;
    request.timeoutSeconds = timeoutSeconds;
    request.processId = processId;
    request.input = input;
    request.output = output;
    request.errors = errors;
    request.exitCode = exitCode;
    request.environment = environment;
    request.onTimeout = onTimeout;
    request.timeoutContext = timeoutContext;
    request.onStarted = onStarted;
    request.startedContext = startedContext;
    request.onFinished = onFinished;
    request.finishedContext = finishedContext;
    return RunChildProcess(request);
}

}  // namespace

KaProcessService* MakeProcessService() { return NewObject<ProcessService>(); }

// The interface has no virtual destructor (it must not): the exact type is
// known, and final, so the delete names it.
void DestroyProcessService(KaProcessService* service) {
    delete static_cast<ProcessService*>(service);
}

}  // namespace ka
