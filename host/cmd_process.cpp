// Commands on the library's process service: `run` starts a command and
// passes its output and exit code on, `temp` runs one in a temporary
// directory of the library's, `mem` prints this process's counters.
#include "frame/handles.h"
#include "host/kahost.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kahost {
namespace {

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

bool NoteStarted(void*, uintptr_t started) {
    *reinterpret_cast<bool*>(started) = true;
    return true;
}

// What `run` was asked to do. The pointers point into the invocation's
// arguments; null when the option was not given.
struct RunRequest {
    int32_t timeout = -1;  // no limit
    const wchar_t* directory = nullptr;
    const wchar_t* inputPath = nullptr;
    std::wstring commandLine;
};

// Reads the options and the command after them; returns kExitOk or, having
// printed the usage, kExitUsage.
int ParseRunArguments(const std::vector<std::wstring>& args, RunRequest& request) {
    size_t next = 0;
    for (; next < args.size() && args[next].starts_with(L"--"); ++next) {
        const std::wstring& option = args[next];
        if (option == L"--") {
            ++next;
            break;
        }
        if (next + 1 >= args.size()) return UsageError(Utf8(option) + " needs a value");
        const wchar_t* value = args[++next].c_str();
        if (option == L"--timeout") {
            wchar_t* end = nullptr;
            long seconds = std::wcstol(value, &end, 10);
            // The runner takes 0 and 1 as "no limit": refused rather than surprising.
            if (end == value || *end != L'\0' || seconds < 2 || seconds > 0x7FFFFFFF) {
                return UsageError("--timeout takes whole seconds, 2 or more");
            }
            request.timeout = static_cast<int32_t>(seconds);
        } else if (option == L"--cwd") {
            request.directory = value;
        } else if (option == L"--stdin") {
            request.inputPath = value;
        } else {
            return UsageError("unknown run option " + Utf8(option));
        }
    }
    if (next >= args.size()) return UsageError("run needs a command after --");
    for (; next < args.size(); ++next) {
        request.commandLine +=
            (request.commandLine.empty() ? L"" : L" ") + QuoteArgument(args[next]);
    }
    return kExitOk;
}

// The names in a directory, "." and ".." left out.
std::set<std::wstring> ListNames(const std::wstring& directory) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW entry;
    ka::UniqueFind find(::FindFirstFileW((directory + L"\\*").c_str(), &entry));
    for (bool more = bool(find); more; more = ::FindNextFileW(find.get(), &entry)) {
        std::wstring_view name = entry.cFileName;
        if (name != L"." && name != L"..") names.emplace(name);
    }
    return names;
}

}  // namespace

int RunRun(const Invocation& call) {
    RunRequest request;
    if (int status = ParseRunArguments(call.args, request)) return status;

    ka::ObjectRef<KaStream> input;
    if (request.inputPath != nullptr &&
        !call.system->GetFileStreams()->OpenFileStream(input.put(), request.inputPath, L"rb")) {
        FailOn("cannot open the input", request.inputPath);
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
    service->RunProcessEx(request.commandLine.c_str(), request.directory, 0, true, true,
                          request.timeout, nullptr, input.get(), &output, &errors, &code, nullptr,
                          nullptr, 0, NoteStarted, reinterpret_cast<uintptr_t>(&started), nullptr,
                          0);
    if (!started) {
        Fail("cannot start " + Utf8(request.commandLine), code);
        return kExitFailed;
    }
    if (code == 170000 && request.timeout >= 2) {
        Fail("the child was still running after " + std::to_string(request.timeout) +
             " s and was ended (exit code 170000)");
    }
    return static_cast<int>(code);
}

// The command runs inside a fresh temporary directory; releasing it deletes
// the directory and sweeps the root of leftovers older than two weeks. What
// the root lost in between is what the release removed.
int RunTemp(const Invocation& call) {
    const auto& args = call.args;
    const wchar_t* leaf = nullptr;
    size_t next = 0;
    if (args.size() >= 2 && args[0] == L"--leaf") {
        leaf = args[1].c_str();
        next = 2;
    }
    if (next + 1 >= args.size() || args[next] != L"--") {
        return UsageError("temp takes optionally --leaf NAME, then -- and a command");
    }
    std::wstring commandLine;
    for (++next; next < args.size(); ++next) {
        commandLine += (commandLine.empty() ? L"" : L" ") + QuoteArgument(args[next]);
    }
    KaFileSystem* fs = call.system->GetFileSystem();
    ka::ObjectRef<KaTempDirectory> directory;
    if (!fs->CreateTempDirectory(leaf, nullptr, directory.put())) {
        Fail("temp: the library refused the temporary directory" +
             (leaf ? " with the leaf " + Utf8(leaf) : std::string()) +
             " (a leaf must stay below the root; the library's log says more)");
        return kExitFailed;
    }
    std::wstring path = directory->GetPath();
    ka::ObjectRef<KaString> root;
    if (!fs->GetParentPath(path.c_str(), root.put())) {
        Fail("temp: no parent for " + Utf8(path));
        return kExitFailed;
    }
    std::printf("temp: running in %s\n", Utf8(path).c_str());
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    PassOn output(stdout);
    bool started = false;
    uint32_t code = 0;
    call.system->GetProcessService()->RunProcessEx(
        commandLine.c_str(), path.c_str(), 0, false, true, -1, nullptr, nullptr, &output, nullptr,
        &code, nullptr, nullptr, 0, NoteStarted, reinterpret_cast<uintptr_t>(&started), nullptr, 0);
    std::set<std::wstring> before = ListNames(root->GetText());
    directory.reset();  // deletes it and sweeps the root
    std::set<std::wstring> after = ListNames(root->GetText());
    for (const std::wstring& name : before) {
        if (!after.contains(name)) {
            std::printf("temp: removed %s\\%s\n", Utf8(root->GetText()).c_str(),
                        Utf8(name).c_str());
        }
    }
    if (fs->PathExists(path.c_str())) {
        Fail("temp: " + Utf8(path) + " is still there after its release");
        return kExitFailed;
    }
    if (!started) {
        Fail("temp: cannot start " + Utf8(commandLine), code);
        return kExitFailed;
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

}  // namespace kahost
