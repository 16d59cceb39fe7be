// kahost: loads KaSystem.x64.dll exactly as a host of the family does and
// runs one command against it. Doubles as a diagnostic tool on a machine
// where the family misbehaves: plain output, every failure named with what
// was tried and the system's text, and an exit code that says how it went.
//
// A command is one line in kCommands below: a name, a one-line summary for
// `kahost help`, whether it needs the library loaded, and its function.
#include "frame/handles.h"
#include "frame/win32_util.h"
#include "host/ka_library.h"
#include "ka/ka.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

enum ExitCode : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

constexpr const wchar_t* kDefaultLibrary = L"KaSystem.x64.dll";

// Everything kahost prints is UTF-8, whatever the console's code page: the
// output goes to files and pipes far more often than to a console.
std::string Utf8(std::wstring_view text) { return ka::ToUtf8(text); }

// "kahost: <what>" on stderr, followed by the Win32 code and the system's
// text when `error` is not 0. Returns false, so a step can `return Fail(...)`.
bool Fail(const std::string& what, DWORD error = 0) {
    std::string note =
        error != 0 ? Utf8(ka::Win32ErrorNote(error, ka::SystemErrorText(error))) : "";
    std::fprintf(stderr, "kahost: %s%s\n", what.c_str(), note.c_str());
    return false;
}

// A library call about `path` failed: reported with the thread's last Win32
// code, which the library leaves as the call that let it down set it.
bool FailOn(const std::string& what, const std::wstring& path) {
    return Fail(what + " " + Utf8(path), ::GetLastError());
}

// A buffer the library allocated for this host; it goes back through the
// host's own root (ka::SystemBuffer is the library's side: it frees through
// the registered interface, which a host does not have).
template <typename T>
class LibraryBuffer {
public:
    explicit LibraryBuffer(KaSystem* system, T* data = nullptr) : system_(system), data_(data) {}
    LibraryBuffer(const LibraryBuffer&) = delete;
    LibraryBuffer& operator=(const LibraryBuffer&) = delete;
    ~LibraryBuffer() { reset(); }
    // For out parameters: frees what is held and hands out the empty slot.
    T** put() {
        reset();
        return &data_;
    }
    T* get() const { return data_; }
    T& operator[](size_t i) const { return data_[i]; }

private:
    void reset() {
        if (T* old = std::exchange(data_, nullptr)) system_->Free(old);
    }
    KaSystem* system_;
    T* data_;
};

// The temporary folder, with its final backslash.
std::wstring TempPath() {
    std::wstring temp;
    // The size query counts the terminator, the successful call does not.
    ka::QuerySizedString(
        temp, [](wchar_t* buffer, DWORD capacity) { return ::GetTempPathW(capacity, buffer); });
    return temp;
}

// A file of ours in the temporary folder, deleted before and after use.
class ScratchFile {
public:
    explicit ScratchFile(const wchar_t* name) : path_(TempPath() + name) {
        ::DeleteFileW(path_.c_str());  // left over from a run that was killed
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ~ScratchFile() { ::DeleteFileW(path_.c_str()); }
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

// The full path of a loaded module. GetModuleFileNameW truncates instead of
// reporting the size it needs, so the buffer grows until the answer fits.
std::wstring ModulePath(HMODULE module) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) return buffer.substr(0, n);  // n excludes the terminator
        buffer.resize(buffer.size() * 2);
    }
}

// What a command gets: the arguments after its name, the library path from
// --dll, and (when the command asked for it) the loaded, initialised root.
struct Invocation {
    std::vector<std::wstring> args;
    std::wstring libraryPath;
    KaSystem* system = nullptr;
    HMODULE module = nullptr;
};

struct Command {
    const wchar_t* name;
    const char* summary;
    bool needsLibrary;
    int (*run)(const Invocation&);
};

int RunHelp(const Invocation&);
int RunTour(const Invocation&);
int RunRun(const Invocation&);
int RunMem(const Invocation&);
int RunJson(const Invocation&);
int RunCpu(const Invocation&);
int RunGraph(const Invocation&);

// ------------------------------------------------------- latest, version

int UsageError(const std::string& what);

int RunLatest(const Invocation& call) {
    if (call.args.size() != 1) return UsageError("latest takes one path");
    const std::wstring& path = call.args[0];
    LibraryBuffer<wchar_t> latest(call.system);
    KaDirectoryFinder* finder = call.system->GetFileSystem()->GetDirectoryFinder();
    if (!finder->FindLatestVersion(path.c_str(), latest.put())) {
        Fail("neither " + Utf8(path) + " nor a numbered version of it (" + Utf8(path) +
             ".N) exists");
        return kExitFailed;
    }
    std::printf("%s\n", Utf8(latest.get()).c_str());
    return kExitOk;
}

int RunVersion(const Invocation& call) {
    if (call.args.size() != 1) return UsageError("version takes one file");
    const std::wstring& path = call.args[0];
    KaFileSystem* fs = call.system->GetFileSystem();
    if (!fs->FileExists(path.c_str())) {
        Fail("no such file " + Utf8(path));
        return kExitFailed;
    }
    ka::ObjectRef<KaString> version;
    if (!fs->GetFileVersion(path.c_str(), version.put())) {
        Fail(Utf8(path) + " has no file version (no FileVersion text in a version resource)");
        return kExitFailed;
    }
    std::printf("%s\n", Utf8(version->GetText()).c_str());
    return kExitOk;
}

// ------------------------------------------------------------ sha1, log

int RunSha1(const Invocation& call) {
    if (call.args.empty()) return UsageError("sha1 takes one or more files");
    KaSha1* hasher = call.system->GetHasher();
    if (hasher == nullptr) {
        Fail("the library has no SHA-1 hasher");
        return kExitFailed;
    }
    bool ok = true;
    for (const std::wstring& path : call.args) {
        char text[41];
        if (hasher->HashFileText(path.c_str(), text)) {
            std::printf("%s  %s\n", text, Utf8(path).c_str());  // as sha1sum prints it
        } else {
            ok = FailOn("sha1: cannot read", path);
        }
    }
    return ok ? kExitOk : kExitFailed;
}

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

// ---------------------------------------------------------- dotnet, popups

int RunDotnet(const Invocation& call) {
    if (!call.args.empty()) return UsageError("dotnet takes no arguments");
    wchar_t version[32];
    if (call.system->GetEnvironmentInfo()->GetDotNetVersion(version)) {
        std::printf(".NET Framework %s\n", Utf8(version).c_str());
    } else {
        std::printf("no .NET Framework installed (no version under HKEY_LOCAL_MACHINE\\SOFTWARE\\"
                    "Microsoft\\NET Framework Setup\\NDP)\n");
    }
    return kExitOk;
}

bool ParseCount(const std::wstring& text, long low, long high, long& value);

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
        for (size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1)) {
            size_t length = end > 0 && pending_[end - 1] == '\r' ? end - 1 : end;
            std::printf("  | %.*s\n", static_cast<int>(length), pending_.c_str());
        }
        std::fflush(stdout);
    }

private:
    ka::UniqueFile file_;
    std::string pending_;  // the start of a line not yet complete
};

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
    follower.PrintNewLines();  // also why the monitors could not be made
    if (ownLog) log->Open(nullptr);  // the scratch file goes with this command
    if (!ok) {
        Fail("popups: no monitors from " + Utf8(call.args[0]) +
             " (missing, not well-formed XML, or no KaXml.x64.dll)");
        return kExitFailed;
    }
    return kExitOk;
}

// ------------------------------------------------------------- ini, lock

bool PrintIniValue(const wchar_t* section, const wchar_t* key, const wchar_t* value, void*) {
    std::printf("%s\t%s\t%s\n", Utf8(section).c_str(), Utf8(key).c_str(), Utf8(value).c_str());
    return true;
}

// Lines the reader ignores are logged (ERROR "Ignored unexpected values at
// line N"), so they show in the file KAV_QMT_LOG_FILE names.
int RunIni(const Invocation& call) {
    long codePage = CP_UTF8;
    if (call.args.empty() || call.args.size() > 2 ||
        (call.args.size() == 2 && !ParseCount(call.args[1], 0, 65535, codePage))) {
        return UsageError("ini takes a file and its code page, 0 to 65535 (default 65001: UTF-8)");
    }
    if (!call.system->ReadIniFile(call.args[0].c_str(), static_cast<uint32_t>(codePage), nullptr,
                                  PrintIniValue)) {
        Fail("ini: no such file " + Utf8(call.args[0]));
        return kExitFailed;
    }
    return kExitOk;
}

bool ReportLockWait(uintptr_t waited) {
    std::printf("lock: still waiting (%u s)\n", ++*reinterpret_cast<unsigned*>(waited));
    std::fflush(stdout);
    return true;
}

// Holds the named mutex for a while: handy to make other processes wait.
int RunLock(const Invocation& call) {
    long seconds = 0;
    if (call.args.size() != 2 || call.args[0].empty() ||
        !ParseCount(call.args[1], 0, 86400, seconds)) {
        return UsageError("lock takes a mutex name and whole seconds, 0 to 86400");
    }
    ka::ObjectRef<KaMutex> mutex;
    if (!call.system->CreateMutex(mutex.put(), call.args[0].c_str())) {
        Fail("lock: the system refuses a mutex named " + Utf8(call.args[0]) +
             " (the library's log says why)");
        return kExitFailed;
    }
    std::string name = Utf8(mutex->GetName());
    unsigned waited = 0;
    if (!mutex->LockWithCallback(ReportLockWait, reinterpret_cast<uintptr_t>(&waited), 1)) {
        Fail("lock: cannot obtain " + name);
        return kExitFailed;
    }
    std::printf("lock: holding %s for %ld s\n", name.c_str(), seconds);
    std::fflush(stdout);
    ::Sleep(static_cast<DWORD>(seconds) * 1000);
    if (!mutex->Unlock()) {
        Fail("lock: cannot release " + name);
        return kExitFailed;
    }
    std::printf("lock: released %s\n", name.c_str());
    return kExitOk;
}

// Commands, in the order `help` lists them.
constexpr Command kCommands[] = {
    {L"help", "list the commands and options", false, RunHelp},
    {L"tour", "take a short tour of what the library offers (the default command)", true, RunTour},
    {L"latest", "PATH: the newest numbered version beside PATH (PATH.N with the highest N)", true,
     RunLatest},
    {L"version", "FILE: the FileVersion text of FILE's version resource", true, RunVersion},
    {L"json", "FILE [PATH]: print the value at PATH (a.b[2].c) of a JSON file, compact", true,
     RunJson},
    {L"run", "[--timeout S] [--cwd DIR] [--stdin FILE] -- COMMAND...: run it, exit with its code",
     true, RunRun},
    {L"mem", "print the memory counters of this process", true, RunMem},
    {L"cpu", "[SECONDS]: the logical processors, then the processor load every 2 s (10 s)", true,
     RunCpu},
    {L"graph", "N: run a random graph of N tasks through a task runner, check every result",
     true, RunGraph},
    {L"sha1", "FILE...: the SHA-1 digest of each file, as sha1sum prints it", true, RunSha1},
    {L"log", "FILE TEXT...: append each TEXT as a line, sharing FILE with other processes", true,
     RunLog},
    {L"dotnet", "the installed .NET Framework version (from the registry)", true, RunDotnet},
    {L"popups", "CONFIG.xml [SECONDS]: run the Popup Monitors it describes (30 s), print their log",
     true, RunPopups},
    {L"ini", "FILE [CODEPAGE]: section, key and value of every setting, tab-separated (65001)",
     true, RunIni},
    {L"lock", "NAME SECONDS: obtain the named mutex Global\\NAME and hold it that long", true,
     RunLock},
};

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "usage: kahost [--dll PATH] [COMMAND [ARGS]]\n"
                 "\n"
                 "Loads KaSystem.x64.dll as a host does (LoadLibraryW, KaGetModule, Initialize)\n"
                 "and runs one command against it.\n"
                 "\n"
                 "options:\n"
                 "  --dll PATH  the library to load (default %s, found by the\n"
                 "              normal DLL search: the executable's folder first)\n"
                 "\n"
                 "commands:\n",
                 Utf8(kDefaultLibrary).c_str());
    for (const Command& command : kCommands) {
        std::fprintf(out, "  %-10s  %s\n", Utf8(command.name).c_str(), command.summary);
    }
    std::fprintf(out,
                 "\n"
                 "exit codes: 0 success, 1 a failure (named on stderr), 2 a bad command line\n");
}

int UsageError(const std::string& what) {
    std::fprintf(stderr, "kahost: %s\n\n", what.c_str());
    PrintUsage(stderr);
    return kExitUsage;
}

int RunHelp(const Invocation&) {
    PrintUsage(stdout);
    return kExitOk;
}

// ------------------------------------------------------------------ tour

bool TourUuid(KaSystem* system) {
    UuidRecord uuid;
    if (!system->CreateUuid(&uuid)) return Fail("CreateUuid failed");
    std::printf("uuid:     %08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x\n", uuid.Data1,
                uuid.Data2, uuid.Data3, uuid.Data4[0], uuid.Data4[1], uuid.Data4[2], uuid.Data4[3],
                uuid.Data4[4], uuid.Data4[5], uuid.Data4[6], uuid.Data4[7]);
    return true;
}

bool TourMemory(KaSystem* system) {
    intptr_t before = system->ForwardAllocatorSlot6();
    intptr_t during = 0;
    uint32_t last = 0;
    {
        LibraryBuffer<char> block(system, static_cast<char*>(system->Allocate(4096)));
        LibraryBuffer<uint32_t> numbers(
            system, static_cast<uint32_t*>(system->AllocateArray(16, sizeof(uint32_t))));
        if (block.get() == nullptr || numbers.get() == nullptr) {
            return Fail(
                "the allocator handed out no memory (is KaAllocator.x64.dll beside "
                "kahost.exe, or in %KAV_SXS_DIR_FLAT% or %KAV_SXS_DIR%\\v140?)");
        }
        for (uint32_t i = 0; i < 16; ++i) numbers[i] = i * i;
        last = numbers[15];
        during = system->ForwardAllocatorSlot6();
    }
    intptr_t after = system->ForwardAllocatorSlot6();
    std::printf(
        "memory:   4096 bytes and 16 numbers (last %u) through KaAllocator; live blocks "
        "%lld -> %lld -> %lld\n",
        last, static_cast<long long>(before), static_cast<long long>(during),
        static_cast<long long>(after));
    return after == before ||
           Fail("the allocator's live-block count did not return to where it was");
}

bool TourText(KaSystem* system) {
    KaStringUtil* text = system->GetStringUtil();
    const char* utf8 =
        "Gr\xC3\xBC\xC3\x9F"
        "e aus Z\xC3\xBCrich";
    LibraryBuffer<wchar_t> wide(system);
    if (!text->MultiByteToWide(utf8, CP_UTF8, wide.put())) return Fail("UTF-8 conversion failed");
    std::printf("text:     %zu UTF-8 bytes -> %zu UTF-16 units\n", std::strlen(utf8),
                std::wcslen(wide.get()));

    bool ok = true;
    ka::ObjectRef<KaString> original;
    ka::ObjectRef<KaString> upper;
    LibraryBuffer<char> shown(system);
    if (text->CreateString(wide.get(), original.put()) && original->ToUpper(upper.put()) &&
        upper->ToMultiByte(CP_UTF8, shown.put())) {
        std::printf("case:     upper case under de-CH: %s (U+%04X for \xC3\xBC)\n", shown.get(),
                    unsigned(text->ToUpper(L'\u00FC')));
    } else {
        ok = Fail("case mapping under de-CH failed");
    }

    ka::ObjectRef<KaRegex> date;
    LibraryBuffer<wchar_t> replaced(system);
    if (text->CreateRegex(L"(\\d{4})-(\\d{2})-(\\d{2})", date.put()) &&
        text->ReplaceAll(L"due 2026-12-05, paid 2026-12-24", date.get(), L"$3.$2.$1",
                         replaced.put())) {
        std::printf("regex:    %s\n", Utf8(replaced.get()).c_str());
    } else {
        ok = Fail("regular-expression replacement failed");
    }
    return ok;
}

bool ShowFile(const std::wstring& path) {
    // Shared for writing: other processes may be logging to the same file.
    ka::UniqueCrtFile file(_wfsopen(path.c_str(), L"rt", _SH_DENYNO));
    if (!file) return FailOn("cannot read back", path);
    char line[4096];
    while (std::fgets(line, sizeof line, file.get())) std::printf("  | %s", line);
    return true;
}

bool TourLog(KaSystem* system) {
    wchar_t shared[1024];
    DWORD n = ::GetEnvironmentVariableW(L"KAV_QMT_LOG_FILE", shared, 1024);
    if (n > 0 && n < 1024) {
        KaLog* log = system->GetLogger();
        log->PrintfW(LogCategory::INFO, 0, L"kahost %s: tour of KaSystem %d", L"demo",
                     system->GetVersion());
        std::printf("log:      written to %s (KAV_QMT_LOG_FILE):\n", Utf8(shared).c_str());
        return ShowFile(shared);
    }
    ScratchFile file(L"kahost_tour.log");
    {
        ka::ObjectRef<KaLog> log;
        if (!system->CreateLogger(file.path().c_str(), log.put())) {
            return FailOn("CreateLogger failed for", file.path());
        }
        log->PrintfW(LogCategory::INFO, 0, L"kahost %s: tour of KaSystem %d", L"demo",
                     system->GetVersion());
        log->SetContextValue(L"step", L"log");
        log->Write(LogCategory::WARNING, 0, "a warning with a context value");
        log->SetContextValue(L"step", nullptr);
        log->Write(LogCategory::INFO, 6, "a verbose trace, filtered at threshold 0");
        log->SetOptions(2);
        log->Write(LogCategory::STATUS, 0, "a line with the timestamp option");
    }  // released: the logger closes its file
    std::printf("log:      private logger on %s (set KAV_QMT_LOG_FILE for the shared one):\n",
                Utf8(file.path()).c_str());
    return ShowFile(file.path());
}

bool WriteText(KaFileStreamFactory* streams, const std::wstring& path, const std::string& text) {
    ka::ObjectRef<KaStream> out;
    if (!streams->OpenFileStream(out.put(), path.c_str(), L"wb")) {
        return FailOn("cannot open for writing", path);
    }
    return (out->Write(text.data(), text.size(), nullptr) && out->Flush()) ||
           FailOn("cannot write", path);
}

bool ReadText(KaFileStreamFactory* streams, const std::wstring& path, std::string& text) {
    ka::ObjectRef<KaStream> in;
    if (!streams->OpenFileStream(in.put(), path.c_str(), L"rb")) {
        return FailOn("cannot open for reading", path);
    }
    char buffer[256];
    size_t got = 0;
    if (!in->Read(buffer, sizeof buffer, &got)) return FailOn("cannot read", path);
    text.assign(buffer, got);
    return true;
}

// A small tree is copied whole (the shell works on short names), one of its
// files is copied on to a path beyond MAX_PATH (plain file calls take the
// long form), read back through a stream, and everything is deleted: the
// deletion runs whatever happened before it.
bool TourFiles(KaSystem* system) {
    KaFileSystem* fs = system->GetFileSystem();
    KaFileStreamFactory* streams = system->GetFileStreams();
    std::wstring root = TempPath() + L"kahost_tour_" + std::to_wstring(::GetCurrentProcessId());
    std::wstring tree = root + L"\\tree";
    std::wstring copy = root + L"\\copy";
    const std::string text = "read back through a KaStream from beyond MAX_PATH";

    bool copied =
        (fs->CreateDirectories((tree + L"\\sub").c_str()) ||
         FailOn("cannot create", tree + L"\\sub")) &&
        WriteText(streams, tree + L"\\sub\\note.txt", text) &&
        WriteText(streams, tree + L"\\top.txt", "top") &&
        (fs->Copy(tree.c_str(), copy.c_str()) || FailOn("cannot copy the tree to", copy)) &&
        (fs->FileExists((copy + L"\\sub\\note.txt").c_str()) ||
         FailOn("the copy lacks", copy + L"\\sub\\note.txt"));
    std::printf("files:    tree copied with the shell: %s\n", copied ? "yes" : "NO");

    std::wstring deep = root + L"\\" + std::wstring(150, L'd');
    std::wstring distant = deep + L"\\" + std::wstring(100, L'f') + L".txt";
    std::string back;
    bool distantOk = copied &&
                     (fs->CreateDirectories(deep.c_str()) || FailOn("cannot create", deep)) &&
                     (fs->Copy((copy + L"\\sub\\note.txt").c_str(), distant.c_str()) ||
                      FailOn("cannot copy a file to", distant)) &&
                     ReadText(streams, distant, back);
    if (distantOk) {
        std::printf("files:    a file of %zu path characters reads \"%s\"\n", distant.size(),
                    back.c_str());
        if (back != text) distantOk = Fail("the long-path file reads back different text");
    }

    // The shell cannot delete a tree with inner paths beyond MAX_PATH: the
    // distant file goes first.
    bool removed =
        (!fs->FileExists(distant.c_str()) || fs->Delete(distant.c_str()) ||
         FailOn("cannot delete", distant)) &&
        (!fs->PathExists(root.c_str()) || fs->Delete(root.c_str()) ||
         FailOn("cannot delete", root)) &&
        (!fs->PathExists(root.c_str()) || Fail("still there after deletion: " + Utf8(root)));
    std::printf("files:    temporary tree %s\n", removed ? "deleted" : "NOT deleted");
    return copied && distantOk && removed;
}

// ------------------------------------------------------------ cpu, graph

// A task of a random graph: its result is its number plus the results of its
// prerequisites (modulo a prime), which the host works out beforehand.
struct GraphNode {
    int32_t number = 0;
    std::vector<KaTask*> prerequisites;
    std::atomic<int> runs{0};
};

int32_t ComputeNode(uintptr_t, uintptr_t data) {
    auto& node = *reinterpret_cast<GraphNode*>(data);
    ++node.runs;
    int64_t sum = node.number;
    for (KaTask* prerequisite : node.prerequisites) sum += prerequisite->GetResult();
    return static_cast<int32_t>(sum % 1000003);
}

// Runs a random graph of `count` tasks on `threads` threads and checks that
// every task ran once with the right result; prints one line after `label`.
bool RunRandomGraph(KaSystem* system, int count, int threads, const char* label) {
    ka::ObjectRef<KaTaskRunner> runner;
    if (!system->CreateTaskRunner(threads, runner.put())) return Fail("CreateTaskRunner failed");
    std::mt19937 random(::GetTickCount());
    std::vector<GraphNode> nodes(static_cast<size_t>(count));
    std::vector<ka::ObjectRef<KaTask>> tasks(static_cast<size_t>(count));
    std::vector<int64_t> expected(static_cast<size_t>(count));
    size_t edges = 0;
    for (int i = 0; i < count; ++i) {
        if (!runner->CreateTask(tasks[i].put())) return Fail("CreateTask failed");
        nodes[i].number = i;
        int64_t sum = i;
        for (unsigned k = i > 0 ? random() % 4 : 0; k > 0; --k, ++edges) {
            int from = static_cast<int>(random() % static_cast<unsigned>(i));
            if (!tasks[i]->AddDependency(tasks[from].get())) return Fail("AddDependency failed");
            nodes[i].prerequisites.push_back(tasks[from].get());
            sum += expected[from];
        }
        expected[i] = sum % 1000003;
        tasks[i]->SetFunction(ComputeNode, reinterpret_cast<uintptr_t>(&nodes[i]), nullptr);
    }
    // Submitted last first, so most tasks wait for their prerequisites.
    ULONGLONG start = ::GetTickCount64();
    for (int i = count; i-- > 0;) {
        if (!tasks[i]->Submit()) return Fail("Submit failed");
    }
    runner->GetThreadPool()->WaitForAllTasks();
    ULONGLONG elapsed = ::GetTickCount64() - start;
    int wrong = 0;
    for (int i = 0; i < count; ++i) {
        wrong += tasks[i]->GetState() != 4 || tasks[i]->GetResult() != expected[i] ||
                 nodes[i].runs != 1;
    }
    std::printf("%s%d tasks, %zu prerequisites, %d threads: %s (%llu ms)\n", label, count, edges,
                threads, wrong == 0 ? "every result checked" : "WRONG RESULTS",
                static_cast<unsigned long long>(elapsed));
    return wrong == 0 || Fail(std::to_string(wrong) + " tasks ran wrongly or not exactly once");
}

bool TourGraph(KaSystem* system) { return RunRandomGraph(system, 12, 2, "graph:    "); }

// A whole number from `text` within [low, high]; false when it is not one.
bool ParseCount(const std::wstring& text, long low, long high, long& value) {
    wchar_t* end = nullptr;
    value = std::wcstol(text.c_str(), &end, 10);
    return end != text.c_str() && *end == L'\0' && value >= low && value <= high;
}

int RunCpu(const Invocation& call) {
    long seconds = 10;
    if (call.args.size() > 1 ||
        (call.args.size() == 1 && !ParseCount(call.args[0], 0, 86400, seconds))) {
        return UsageError("cpu takes whole seconds, 0 to 86400 (default 10)");
    }
    KaCpuUsageCounter* counter = call.system->GetCpuUsageCounter();
    uint32_t processors = 0;
    if (counter == nullptr || !counter->GetCpuUsage(nullptr, &processors)) {
        Fail("the library has no CPU usage counter");
        return kExitFailed;
    }
    std::printf("processors: %u logical\n", processors);
    std::fflush(stdout);
    // The counter samples every 2 s from its creation and has a value from
    // the second sample on; reading half a second after each sample misses none.
    ::Sleep(500);
    for (long at = 2; at <= seconds; at += 2) {
        ::Sleep(2000);
        double usage = 0;
        if (!counter->GetCpuUsage(&usage, nullptr)) {
            Fail("the performance counter gave no value (the library's log says why)");
            return kExitFailed;
        }
        std::printf("%5ld s  %5.1f %%\n", at, usage);
        std::fflush(stdout);
    }
    return kExitOk;
}

int RunGraph(const Invocation& call) {
    long count = 0;
    if (call.args.size() != 1 || !ParseCount(call.args[0], 1, 1000000, count)) {
        return UsageError("graph takes the number of tasks, 1 to 1000000");
    }
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    int threads = static_cast<int>(info.dwNumberOfProcessors > 1 ? info.dwNumberOfProcessors : 2);
    return RunRandomGraph(call.system, static_cast<int>(count), threads, "graph: ") ? kExitOk
                                                                                    : kExitFailed;
}

// Two kahost processes append to the file this one logs to: one mutex and
// one counter per file, so their lines stay whole and carry their own thread
// numbers (the first writer has none).
bool TourSharedLog(const Invocation& call) {
    ScratchFile file(L"kahost_tour_shared.log");
    ka::ObjectRef<KaLog> log;
    if (!call.system->CreateLogger(file.path().c_str(), log.put())) {
        return FailOn("CreateLogger failed for", file.path());
    }
    log->Write(LogCategory::INFO, 0, "the tour's own line: the first writer has no number");
    KaProcessService* service = call.system->GetProcessService();
    if (service == nullptr) return Fail("the library has no process service");
    std::wstring command = L"\"" + ModulePath(nullptr) + L"\" --dll \"" +
                           ModulePath(call.module) + L"\" log \"" + file.path() + L"\"";
    uint32_t ids[2] = {};
    for (int child = 0; child < 2; ++child) {
        std::wstring lines;
        for (int i = 1; i <= 3; ++i) {
            lines += L" \"child " + std::to_wstring(child + 1) + L", line " + std::to_wstring(i) +
                     L"\"";
        }
        if (!service->RunProcess((command + lines).c_str(), nullptr, 0, false, false, &ids[child],
                                 nullptr, nullptr, nullptr, nullptr)) {
            return Fail("cannot start " + Utf8(command));
        }
    }
    bool ok = true;
    for (uint32_t id : ids) {
        ka::UniqueHandle child(
            ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
        DWORD code = 0;
        if (child && (::WaitForSingleObject(child.get(), 30000) != WAIT_OBJECT_0 ||
                      !::GetExitCodeProcess(child.get(), &code) || code != 0)) {
            ok = Fail("a kahost log child failed (exit code " + std::to_string(code) + ")");
        }
    }
    log->Write(LogCategory::INFO, 0, "the tour's line after both children ended");
    std::printf("shared:   this process and two kahost log children, one file:\n");
    return ShowFile(file.path()) && ok;
}

int RunTour(const Invocation& call) {
    if (!call.args.empty()) return UsageError("tour takes no arguments");
    KaSystem* system = call.system;
    std::printf("library:  %s\n", Utf8(ModulePath(call.module)).c_str());
    std::printf("version:  interface %d\n", system->GetVersion());
    system->SetThreadValue(42);
    std::printf("thread:   value %u stored in this thread's slot\n", system->GetThreadValue());

    bool ok = TourUuid(system);
    ok = TourMemory(system) && ok;
    ok = TourText(system) && ok;
    ok = TourLog(system) && ok;
    ok = TourSharedLog(call) && ok;
    ok = TourFiles(system) && ok;
    ok = TourGraph(system) && ok;
    std::printf(ok ? "tour complete\n" : "tour FAILED\n");
    return ok ? kExitOk : kExitFailed;
}

// ------------------------------------------------------------------ json

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    ka::UniqueCrtFile file(_wfsopen(path.c_str(), L"rb", _SH_DENYWR));
    if (!file) return FailOn("cannot open", path);
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) bytes.append(chunk, got);
    return !std::ferror(file.get()) || FailOn("cannot read", path);
}

// Text that does not parse leaves a null root, and so does the text "null":
// only that one is the word between blanks, after the byte-order mark that
// Parse skips byte by byte (and before a null byte, where reading stops).
bool IsNullText(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    for (char mark : {'\xEF', '\xBB', '\xBF'}) {
        if (!text.empty() && text.front() == mark) text.remove_prefix(1);
    }
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return false;
    return text.substr(first, text.find_last_not_of(" \t\r\n") + 1 - first) == "null";
}

std::string Where(const std::string& walked) {
    return walked.empty() ? "the root" : "\"" + walked + "\"";
}

// Moves the cursor along `path`: member names between dots, indexes in
// brackets ("a.b[2].c", "[0].name"). Names cannot hold '.' or '['.
// Returns kExitOk or the exit code, having said what went wrong.
int WalkPath(KaJson* json, const std::string& path) {
    auto bad = [&] {
        return UsageError("bad path " + path + " (expected names and [index]: a.b[2].c)");
    };
    auto missing = [](const std::string& what) {
        Fail(what);
        return kExitFailed;
    };
    std::string walked;
    size_t at = 0;
    while (at < path.size()) {
        if (path[at] == '[') {
            size_t close = path.find(']', at);
            if (close == std::string::npos || close == at + 1 || close - at > 10) return bad();
            std::string digits = path.substr(at + 1, close - at - 1);
            if (digits.find_first_not_of("0123456789") != std::string::npos) return bad();
            unsigned long long index = std::stoull(digits);
            if (!json->IsArray()) return missing(Where(walked) + " is not an array");
            if (index >= json->Size()) {
                return missing(Where(walked) + " has " + std::to_string(json->Size()) +
                               " elements, no [" + digits + "]");
            }
            json->VisitAt(static_cast<uint32_t>(index));
            walked += path.substr(at, close + 1 - at);
            at = close + 1;
            if (at < path.size() && path[at] != '.' && path[at] != '[') return bad();
            continue;
        }
        if (path[at] == '.') {
            if (at == 0) return bad();
            ++at;
        }
        size_t end = path.find_first_of(".[", at);
        if (end == std::string::npos) end = path.size();
        std::string name = path.substr(at, end - at);
        if (name.empty()) return bad();
        if (!json->IsObject()) return missing(Where(walked) + " is not an object");
        if (json->VisitMember(name.c_str()) == nullptr) {
            return missing(Where(walked) + " has no member \"" + name + "\"");
        }
        walked += (walked.empty() ? "" : ".") + name;
        at = end;
    }
    return kExitOk;
}

int RunJson(const Invocation& call) {
    if (call.args.empty() || call.args.size() > 2) {
        return UsageError("json takes a file and an optional path");
    }
    std::string text;
    if (!ReadWholeFile(call.args[0], text)) return kExitFailed;
    ka::ObjectRef<KaJson> json;
    if (!call.system->CreateJsonDocument(json.put()) || !json->Parse(text.data(), text.size())) {
        Fail("cannot make a JSON document");
        return kExitFailed;
    }
    if (json->IsNull() && !IsNullText(text)) {
        Fail(Utf8(call.args[0]) + " is not valid JSON");
        return kExitFailed;
    }
    if (int status = WalkPath(json.get(), call.args.size() > 1 ? Utf8(call.args[1]) : "")) {
        return status;
    }
    const char* value = json->Write();
    if (*value == '\0') {
        Fail("the value cannot be written as JSON");
        return kExitFailed;
    }
    std::printf("%s\n", value);
    return kExitOk;
}

// ------------------------------------------------------------- run, mem

// A stream of the host's own: the child's output goes straight on to ours,
// byte for byte, as each drain brings it.
class PassOn final : public KaStream {
public:
    explicit PassOn(FILE* out) : out_(out) {}
    void AddRef() override {}
    int32_t Release() override { return 1; }
    int32_t GetRefCount() override { return 1; }
    bool Duplicate(KaStream**) override { return false; }
    bool Flush() override { return std::fflush(out_) == 0; }
    bool CopyTo(KaStream*, size_t, size_t*, size_t*) override { return false; }
    bool Seek(int64_t, uint32_t, uint64_t*) override { return false; }
    bool Write(const void* data, size_t count, size_t* written) override {
        size_t n = std::fwrite(data, 1, count, out_);
        std::fflush(out_);
        if (written) *written = n;
        return n == count;
    }
    bool Read(void*, size_t, size_t*) override { return false; }
    void Destroy(uint32_t) override {}

private:
    FILE* out_;
};

// One argument as the child's CommandLineToArgvW will split it again.
std::wstring QuoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only before a quote, which is escaped itself.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(backslashes * 2, L'\\');  // before the closing quote
    return quoted + L"\"";
}

bool NoteStarted(void*, uintptr_t started) {
    *reinterpret_cast<bool*>(started) = true;
    return true;
}

int RunRun(const Invocation& call) {
    int32_t timeout = -1;  // no limit
    const wchar_t* directory = nullptr;
    const wchar_t* inputPath = nullptr;
    size_t next = 0;
    for (; next < call.args.size() && call.args[next].starts_with(L"--"); ++next) {
        const std::wstring& option = call.args[next];
        if (option == L"--") {
            ++next;
            break;
        }
        if (next + 1 >= call.args.size()) return UsageError(Utf8(option) + " needs a value");
        const wchar_t* value = call.args[++next].c_str();
        if (option == L"--timeout") {
            wchar_t* end = nullptr;
            long seconds = std::wcstol(value, &end, 10);
            // The runner takes 0 and 1 as "no limit": refused rather than surprising.
            if (end == value || *end != L'\0' || seconds < 2 || seconds > 0x7FFFFFFF) {
                return UsageError("--timeout takes whole seconds, 2 or more");
            }
            timeout = static_cast<int32_t>(seconds);
        } else if (option == L"--cwd") {
            directory = value;
        } else if (option == L"--stdin") {
            inputPath = value;
        } else {
            return UsageError("unknown run option " + Utf8(option));
        }
    }
    if (next >= call.args.size()) return UsageError("run needs a command after --");
    std::wstring commandLine;
    for (; next < call.args.size(); ++next) {
        commandLine += (commandLine.empty() ? L"" : L" ") + QuoteArgument(call.args[next]);
    }

    ka::ObjectRef<KaStream> input;
    if (inputPath != nullptr &&
        !call.system->GetFileStreams()->OpenFileStream(input.put(), inputPath, L"rb")) {
        FailOn("cannot open the input", inputPath);
        return kExitFailed;
    }
    KaProcessService* service = call.system->GetProcessService();
    if (service == nullptr) {
        Fail("the library has no process service");
        return kExitFailed;
    }
    // The child's bytes as they are: no line-end translation on the way out.
    std::fflush(stdout);
    std::fflush(stderr);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    PassOn output(stdout), errors(stderr);
    bool started = false;
    uint32_t code = 0;
    service->RunProcessEx(commandLine.c_str(), directory, 0, true, true, timeout, nullptr,
                          input.get(), &output, &errors, &code, nullptr, nullptr, 0, NoteStarted,
                          reinterpret_cast<uintptr_t>(&started), nullptr, 0);
    if (!started) {
        Fail("cannot start " + Utf8(commandLine), code);
        return kExitFailed;
    }
    if (code == 170000 && timeout >= 2) {
        Fail("the child was still running after " + std::to_string(timeout) +
             " s and was ended (exit code 170000)");
    }
    return static_cast<int>(code);
}

int RunMem(const Invocation& call) {
    if (!call.args.empty()) return UsageError("mem takes no arguments");
    KaProcessService* service = call.system->GetProcessService();
    KaMemoryCounters* made = service ? service->CreateMemoryCounters() : nullptr;
    if (made == nullptr) {
        Fail("the library has no process service");
        return kExitFailed;
    }
    made->AddRef();  // handed out with a count of zero
    ka::ObjectRef<KaMemoryCounters> counters(made);
    if (!service->QueryMemoryCounters(counters.get())) {
        Fail("no memory counters: PSAPI.DLL or its GetProcessMemoryInfo is missing");
        return kExitFailed;
    }
    std::printf("process %lu\n", ::GetCurrentProcessId());
    std::printf("  %-26s %12u\n", "page faults", counters->GetPageFaultCount());
    const std::pair<const char*, uint64_t> sizes[] = {
        {"working set", counters->GetWorkingSetSize()},
        {"peak working set", counters->GetPeakWorkingSetSize()},
        {"page file", counters->GetPagefileUsage()},
        {"peak page file", counters->GetPeakPagefileUsage()},
        {"paged pool quota", counters->GetQuotaPagedPoolUsage()},
        {"peak paged pool quota", counters->GetQuotaPeakPagedPoolUsage()},
        {"non-paged pool quota", counters->GetQuotaNonPagedPoolUsage()},
        {"peak non-paged pool quota", counters->GetQuotaPeakNonPagedPoolUsage()},
    };
    for (const auto& [name, bytes] : sizes) {
        std::printf("  %-26s %12llu bytes (%.1f MiB)\n", name,
                    static_cast<unsigned long long>(bytes), double(bytes) / (1 << 20));
    }
    return kExitOk;
}

const Command* FindCommand(std::wstring_view name) {
    for (const Command& command : kCommands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Invocation call;
    call.libraryPath = kDefaultLibrary;
    int next = 1;
    for (; next < argc && std::wcsncmp(argv[next], L"--", 2) == 0; ++next) {
        std::wstring_view option = argv[next];
        if (option == L"--dll") {
            if (next + 1 >= argc) return UsageError("--dll needs a path");
            call.libraryPath = argv[++next];
        } else if (option == L"--help") {
            return RunHelp(call);
        } else {
            return UsageError("unknown option " + Utf8(option));
        }
    }
    std::wstring_view name = next < argc ? argv[next++] : L"tour";
    const Command* command = FindCommand(name);
    if (command == nullptr) return UsageError("unknown command " + Utf8(name));
    call.args.assign(argv + next, argv + argc);

    if (!command->needsLibrary) return command->run(call);
    ka::LibraryLoad load = ka::LoadKaSystem(call.libraryPath.c_str());
    if (!load) {
        Fail(Utf8(ka::DescribeLoadFailure(load, ka::SystemErrorText(load.error))));
        return kExitFailed;
    }
    call.system = load.system;
    call.module = load.module;
    int status = command->run(call);
    call.system->Uninitialize();  // the last call a host makes
    return status;
}
