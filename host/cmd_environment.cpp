// Commands on the library's environment information: `dotnet` names the
// installed .NET Framework, `popups` runs Popup Monitors and shows their log.
#include "frame/handles.h"
#include "host/kahost.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace kahost {
namespace {

// Prints the lines a log file gains after this follower opened it.
class LogFollower {
public:
    explicit LogFollower(const wchar_t* path)
        : file_(::CreateFileW(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr)) {
        if (file_) ::SetFilePointer(file_.get(), 0, nullptr, FILE_END);
    }
    void PrintNewLines() {
        char chunk[4096];
        DWORD got = 0;
        while (file_ && ::ReadFile(file_.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
            pending_.append(chunk, got);
        }
        for (size_t end; (end = pending_.find('\n')) != std::string::npos;
             pending_.erase(0, end + 1)) {
            size_t length = end > 0 && pending_[end - 1] == '\r' ? end - 1 : end;
            std::printf("  | %.*s\n", static_cast<int>(length), pending_.c_str());
        }
        std::fflush(stdout);
    }

private:
    ka::UniqueFile file_;
    std::string pending_;  // the start of a line not yet complete
};

}  // namespace

int RunDotnet(const Invocation& call) {
    if (!call.args.empty()) return UsageError("dotnet takes no arguments");
    wchar_t version[32];
    if (call.system->GetEnvironmentInfo()->GetDotNetVersion(version)) {
        std::printf(".NET Framework %s\n", Utf8(version).c_str());
    } else {
        std::printf(
            "no .NET Framework installed (no version under HKEY_LOCAL_MACHINE\\SOFTWARE\\"
            "Microsoft\\NET Framework Setup\\NDP)\n");
    }
    return kExitOk;
}

// Runs the monitors a configuration describes for a while and prints their
// log lines as they come: what they close is in them. The lines go to the
// shared log file when KAV_QMT_LOG_FILE names one, else to a scratch file;
// without KAV_QMT_LOG_LEVEL the level is 6, where the closing is traced.
int RunPopups(const Invocation& call) {
    long seconds = 30;
    if (call.args.empty() || call.args.size() > 2 ||
        (call.args.size() == 2 && !ParseCount(call.args[1], 1, 86400, seconds))) {
        return UsageError("popups takes an XML file and whole seconds, 1 to 86400 (default 30)");
    }
    ScratchFile scratch(L"kahost_popups.log");
    bool ownLog = ::GetEnvironmentVariableW(L"KAV_QMT_LOG_FILE", nullptr, 0) == 0;
    if (ownLog) ::SetEnvironmentVariableW(L"KAV_QMT_LOG_FILE", scratch.path().c_str());
    if (::GetEnvironmentVariableW(L"KAV_QMT_LOG_LEVEL", nullptr, 0) == 0) {
        ::SetEnvironmentVariableW(L"KAV_QMT_LOG_LEVEL", L"6");
    }
    KaLog* log = call.system->GetLogger();
    wchar_t logPath[512];
    if (!log->GetFilePath(logPath)) {
        Fail("popups: the library's log file cannot be opened");
        return kExitFailed;
    }
    LogFollower follower(logPath);
    KaPopupMonitor** made = nullptr;
    uint32_t count = 0;
    bool ok = call.system->GetEnvironmentInfo()->CreatePopupMonitorsFromFile(call.args[0].c_str(),
                                                                             &made, &count);
    if (ok) {
        LibraryBuffer<KaPopupMonitor*> monitors(call.system, made);
        std::printf("popups: %u monitor(s) from %s for %ld s, logging to %s:\n", count,
                    Utf8(call.args[0]).c_str(), seconds, Utf8(logPath).c_str());
        for (ULONGLONG end = ::GetTickCount64() + seconds * 1000ull; ::GetTickCount64() < end;) {
            ::Sleep(static_cast<DWORD>(std::min<ULONGLONG>(250, end - ::GetTickCount64())));
            follower.PrintNewLines();
        }
        for (uint32_t i = 0; i < count; ++i) {
            ka::ObjectRef<KaPopupMonitor> last(monitors[i]);  // its release stops it
        }
    }
    follower.PrintNewLines();        // also why the monitors could not be made
    if (ownLog) log->Open(nullptr);  // the scratch file goes with this command
    if (!ok) {
        Fail("popups: no monitors from " + Utf8(call.args[0]) +
             " (missing, not well-formed XML, or no KaXml.x64.dll)");
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace kahost
