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
int RunRegex(const Invocation& call);
int RunConvert(const Invocation& call);
int RunCase(const Invocation& call);
int RunPath(const Invocation& call);
int RunCopy(const Invocation& call);
int RunMove(const Invocation& call);
int RunDelete(const Invocation& call);
int RunMkdir(const Invocation& call);
int RunSlice(const Invocation& call);
int RunShm(const Invocation& call);
int RunLastError(const Invocation& call);
int RunTemp(const Invocation& call);
int RunStorage(const Invocation& call);
int RunReveal(const Invocation& call);
int RunConsole(const Invocation& call);
int RunLoad(const Invocation& call);
int RunPool(const Invocation& call);

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
    {L"regex", "PATTERN [--replace TEXT] FILE|-: first match per line with groups, or all replaced",
     true, RunRegex},
    {L"convert", "--from CP --to CP FILE|-: the bytes converted between code pages", true,
     RunConvert},
    {L"case", "upper|lower TEXT: the text's case mapped unit by unit under de-CH", true, RunCase},
    {L"path", "PATH: short form, parent, file name, extension and kind of a path of any length",
     true, RunPath},
    {L"copy", "SOURCE DESTINATION: copy a file (overwriting) or a whole tree", true, RunCopy},
    {L"move", "SOURCE DESTINATION: move a file, into DESTINATION when it is a folder", true,
     RunMove},
    {L"delete", "PATH: delete a file or a whole tree", true, RunDelete},
    {L"mkdir", "PATH: create a folder and every missing parent", true, RunMkdir},
    {L"slice", "FILE OFFSET LENGTH: the bytes of a window of FILE", true, RunSlice},
    {L"shm", "NAME [--write TEXT] [--hold S]: write or print a named shared-memory block", true,
     RunShm},
    {L"lasterror", "PID TID | --set TEXT [--hold S]: read a thread's last error, or set one", true,
     RunLastError},
    {L"temp", "[--leaf NAME] -- COMMAND...: run it in a self-deleting temporary folder", true,
     RunTemp},
    {L"storage", "copy SOURCE DESTINATION | rewrite FILE: rewrite compound files, times kept", true,
     RunStorage},
    {L"reveal", "PATH...: open the folders with the items selected", true, RunReveal},
    {L"console", "[SECONDS]: show the log console with a line of each category (5 s)", true,
     RunConsole},
    {L"load", "NAME: load the sibling NAME.x64.dll as the library does, print where from", true,
     RunLoad},
    {L"pool", "N [THREADS]: run N tasks on a thread pool, print tasks per second", true, RunPool},
};

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "usage: kahost [--dll PATH] [COMMAND [ARGS]]\n\nLoads KaSystem.x64.dll as a host "
                 "does (LoadLibraryW, KaGetModule, Initialize)\nand runs one command against "
                 "it.\n\noptions:\n  --dll PATH  the library to load (default %s, found by the\n   "
                 "           normal DLL search: the executable's folder first)\n\ncommands:\n",
                 Utf8(kDefaultLibrary).c_str());
    for (const Command& command : kCommands) {
        std::fprintf(out, "  %-10s  %s\n", Utf8(command.name).c_str(), command.summary);
    }
    std::fprintf(out,
                 "\nexit codes: 0 success, 1 a failure (named on stderr), 2 a bad command line\n");
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
