// `log`: appends lines to a file through a logger of the library, sharing
// the file with every other process that logs to it.
#include "frame/handles.h"
#include "host/kahost.h"

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

}  // namespace kahost
