// kahost: loads KaSystem.x64.dll exactly as a host of the family does and
// runs one command against it. Doubles as a diagnostic tool on a machine
// where the family misbehaves: plain output, every failure named with what
// was tried and the system's text, and an exit code that says how it went.
//
// This file reads the command line, finds the command in kCommands (the only
// list of commands; `kahost help` prints it), loads the library when the
// command needs it and runs it. Adding a command: its function in the file of
// its group (or in a new cmd_*.cpp, listed in CMakeLists.txt), its declaration
// below and a row in kCommands.
#include "frame/win32_util.h"
#include "host/ka_library.h"
#include "host/kahost.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <string_view>

namespace kahost {

int RunHelp(const Invocation& call);
int RunTour(const Invocation& call);
int RunLatest(const Invocation& call);
int RunVersion(const Invocation& call);
int RunJson(const Invocation& call);
int RunRun(const Invocation& call);
int RunMem(const Invocation& call);
int RunCpu(const Invocation& call);
int RunGraph(const Invocation& call);
int RunSha1(const Invocation& call);
int RunLog(const Invocation& call);
int RunDotnet(const Invocation& call);
int RunPopups(const Invocation& call);
int RunIni(const Invocation& call);
int RunLock(const Invocation& call);

namespace {

constexpr const wchar_t* kDefaultLibrary = L"KaSystem.x64.dll";

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
    {L"graph", "N: run a random graph of N tasks through a task runner, check every result", true,
     RunGraph},
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

const Command* FindCommand(std::wstring_view name) {
    for (const Command& command : kCommands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

}  // namespace

int UsageError(const std::string& what) {
    std::fprintf(stderr, "kahost: %s\n\n", what.c_str());
    PrintUsage(stderr);
    return kExitUsage;
}

int RunHelp(const Invocation&) {
    PrintUsage(stdout);
    return kExitOk;
}

}  // namespace kahost

int wmain(int argc, wchar_t** argv) {
    using namespace kahost;
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
