// `log`: appends lines to a file through a logger of the library, sharing
// the file with every other process that logs to it; `console` shows the
// log console.
#include "frame/handles.h"
#include "host/kahost.h"

#include <cstdio>

namespace kahost {

// Each text becomes an INFO line, through a logger that shares the file
// with every other process logging to it.
int RunLog(const Invocation& call) {
    if (call.args.size() < 2) return UsageError("log takes a file and one or more texts");
    ka::ObjectRef<KaLog> log;
    wchar_t open[512];
    if (!call.system->CreateLogger(call.args[0].c_str(), log.put()) || !log->GetFilePath(open)) {
        Fail("log: cannot open " + Utf8(call.args[0]) + " for appending");
        return kExitFailed;
    }
    for (size_t i = 1; i < call.args.size(); ++i) {
        log->WriteW(LogCategory::INFO, 0, call.args[i].c_str());
    }
    return kExitOk;
}

// The process-wide logger echoes to its console window from the first line
// on; one line per category shows how each looks there (WARNING and ERROR
// in colour). The window stays while this process waits.
int RunConsole(const Invocation& call) {
    long seconds = 5;
    if (call.args.size() > 1 ||
        (call.args.size() == 1 && !ParseCount(call.args[0], 0, 86400, seconds))) {
        return UsageError("console takes whole seconds, 0 to 86400 (default 5)");
    }
    // A console without a window (what Wine gives a program started from a
    // shell) would take the lines and show nothing: let go of it, so the
    // logger opens a window of its own.
    if (::GetConsoleWindow() == nullptr) ::FreeConsole();
    KaLog* log = call.system->GetLogger();
    log->ShowConsole(true);
    const std::pair<LogCategory, const char*> lines[] = {
        {LogCategory::STATUS, "a STATUS line"},   {LogCategory::INFO, "an INFO line"},
        {LogCategory::WARNING, "a WARNING line"}, {LogCategory::ERROR, "an ERROR line"},
        {LogCategory::FATAL, "a FATAL line"},
    };
    for (const auto& [category, text] : lines) log->Write(category, 0, text);
    if (!::GetConsoleWindow()) {
        Fail("console: the log console did not open", ::GetLastError());
        return kExitFailed;
    }
    std::printf("console: open for %ld s, process %lu\n", seconds, ::GetCurrentProcessId());
    std::fflush(stdout);
    ::Sleep(static_cast<DWORD>(seconds) * 1000);
    log->ShowConsole(false);
    return kExitOk;
}

}  // namespace kahost
