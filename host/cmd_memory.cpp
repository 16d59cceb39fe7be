// Commands on shared memory: `shm` creates or opens a named block and writes
// or prints it, `lasterror` sets this thread's message in the last-error
// store or reads another process's from its named block.
#include "frame/handles.h"
#include "host/kahost.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace kahost {
namespace {

// Every block kahost makes has this size: a second process opening the name
// must map no more than the first one created.
constexpr size_t kBlockSize = 4096;

// Parses "--hold SECONDS" at args[at]; true when there is none or it is valid.
bool ParseHold(const std::vector<std::wstring>& args, size_t at, long& seconds) {
    return at >= args.size() || (args.size() == at + 2 && args[at] == L"--hold" &&
                                 ParseCount(args[at + 1], 0, 86400, seconds));
}

// Keeps what this process holds alive for a while, saying so first so that
// whoever waits for it can go on.
void Hold(const std::string& what, long seconds) {
    if (seconds <= 0) return;
    std::printf("%s: holding for %ld s\n", what.c_str(), seconds);
    std::fflush(stdout);
    ::Sleep(static_cast<DWORD>(seconds) * 1000);
}

}  // namespace

int RunShm(const Invocation& call) {
    const auto& args = call.args;
    bool write = args.size() >= 3 && args[1] == L"--write";
    long seconds = 0;
    if (args.empty() || args[0].empty() || !ParseHold(args, write ? 3 : 1, seconds)) {
        return UsageError(
            "shm takes a name, optionally --write TEXT, then optionally --hold SECONDS");
    }
    ka::ObjectRef<KaMemoryMappedFile> block;
    if (!call.system->CreateMemoryMappedFile(block.put(), args[0].c_str(), kBlockSize)) {
        FailOn("shm: cannot create or open the block", args[0]);
        return kExitFailed;
    }
    if (write) {
        std::string text = Utf8(args[2]);
        if (!block->WriteData(text.c_str(), text.size() + 1)) {  // the terminator goes too
            Fail("shm: " + std::to_string(text.size()) + " bytes do not fit the block of " +
                 std::to_string(block->GetSize()));
            return kExitFailed;
        }
        std::printf("shm: wrote %zu bytes to %s\n", text.size(), Utf8(args[0]).c_str());
    } else {
        const char* view = static_cast<const char*>(block->GetView());
        std::printf("%.*s\n", static_cast<int>(strnlen(view, block->GetSize())), view);
    }
    std::fflush(stdout);
    Hold("shm", seconds);
    return kExitOk;
}

// The store keeps each thread's message in a block named after the process
// and the thread, as large as the message: a reader does not know the size,
// so it opens one unit of it and reads on to the terminator within the pages
// the system mapped (a block of that name made anew is empty).
int RunLastError(const Invocation& call) {
    const auto& args = call.args;
    long seconds = 0;
    if (args.size() >= 2 && args[0] == L"--set") {
        if (!ParseHold(args, 2, seconds)) {
            return UsageError("lasterror --set takes a text, then optionally --hold SECONDS");
        }
        if (!call.system->SetLastErrorMessage(args[1].c_str())) {
            Fail("lasterror: the store refused the message (the library's log says why)");
            return kExitFailed;
        }
        LibraryBuffer<wchar_t> back(call.system);
        if (!call.system->GetLastErrorMessage(back.put()) || args[1] != back.get()) {
            Fail("lasterror: this thread does not read back its own message");
            return kExitFailed;
        }
        std::printf("lasterror: pid %lu tid %lu\n", ::GetCurrentProcessId(),
                    ::GetCurrentThreadId());
        std::fflush(stdout);
        Hold("lasterror", seconds);
        return kExitOk;
    }
    long pid = 0, tid = 0;
    if (args.size() != 2 || !ParseCount(args[0], 1, LONG_MAX, pid) ||
        !ParseCount(args[1], 1, LONG_MAX, tid)) {
        return UsageError("lasterror takes a process id and a thread id, or --set TEXT");
    }
    std::wstring name = L"KAV_LAST_ERROR_" + std::to_wstring(pid) + L"_" + std::to_wstring(tid);
    ka::ObjectRef<KaMemoryMappedFile> block;
    if (!call.system->CreateMemoryMappedFile(block.put(), name.c_str(), sizeof(wchar_t))) {
        FailOn("lasterror: cannot open", name);
        return kExitFailed;
    }
    const auto* text = static_cast<const wchar_t*>(block->GetView());
    MEMORY_BASIC_INFORMATION mapped = {};
    size_t units = ::VirtualQuery(text, &mapped, sizeof mapped) ? mapped.RegionSize / 2 : 1;
    std::wstring message(text, wcsnlen(text, units));
    if (message.empty()) {
        Fail("lasterror: thread " + std::to_string(tid) + " of process " + std::to_string(pid) +
             " has no message (" + Utf8(name) + " is empty or gone)");
        return kExitFailed;
    }
    std::printf("%s\n", Utf8(message).c_str());
    return kExitOk;
}

}  // namespace kahost
