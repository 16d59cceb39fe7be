// Commands on the library's environment information: `dotnet` names the
// installed .NET Framework, `popups` runs Popup Monitors and shows their log;
// and `load`, which loads a sibling module the way the library does.
#include "frame/handles.h"
#include "host/kahost.h"
#include "ka/siblings.h"

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

namespace {

// A variable the loader takes: set, not empty, under 260 characters.
std::wstring SiblingDirectory(const wchar_t* variable) {
    wchar_t value[260];
    DWORD length = ::GetEnvironmentVariableW(variable, value, 260);
    if (length == 0 || length >= 260) return std::wstring();
    std::wstring directory(value, length);
    return directory.back() == L'\\' ? directory : directory + L'\\';
}

}  // namespace

// The library's loader is internal (no slot reaches it), so this follows its
// rules: KAV_SXS_DIR_FLAT names the folder, else KAV_SXS_DIR's v140
// sub-folder, else the normal DLL search; then KaGetModule, an interface
// version of 100 or more, and Initialize. The module stays loaded, as a
// sibling the library loads does.
int RunLoad(const Invocation& call) {
    if (call.args.size() != 1 || call.args[0].empty()) {
        return UsageError("load takes a module name");
    }
    std::wstring directory = SiblingDirectory(L"KAV_SXS_DIR_FLAT");
    if (directory.empty()) {
        directory = SiblingDirectory(L"KAV_SXS_DIR");
        if (!directory.empty()) directory += L"v140\\";
    }
    std::wstring path = directory + call.args[0] + L".x64.dll";
    ka::UniqueLibrary module(::LoadLibraryW(path.c_str()));
    if (!module) {
        FailOn("load: cannot load", path);
        return kExitFailed;
    }
    auto getModule = ka::ResolveExport<KaModuleRoot* (*)()>(module.get(), "KaGetModule");
    KaModuleRoot* root = getModule != nullptr ? getModule() : nullptr;
    if (root == nullptr) {
        Fail("load: " + Utf8(path) +
             (getModule ? " gave no root interface" : " does not export KaGetModule"));
        return kExitFailed;
    }
    int version = root->GetVersion();
    if (version < 100) {
        Fail("load: " + Utf8(path) + ": DLL interface version is too old: Required>=100, Actual=" +
             std::to_string(version));
        return kExitFailed;
    }
    if (!root->Initialize()) {
        Fail("load: " + Utf8(path) + ": Initialize() returned false");
        return kExitFailed;
    }
    std::printf("load: %s, interface version %d\n", Utf8(ModulePath(module.release())).c_str(),
                version);
    return kExitOk;
}

}  // namespace kahost
