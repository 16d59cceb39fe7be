// `tour`, the default command: a short walk through what the library offers,
// one step per service, each printing a line or two and naming what failed.
// The steps go on after a failure, so one run shows everything that works.
#include "frame/handles.h"
#include "host/kahost.h"

#include <share.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace kahost {
namespace {

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

// The worker adds its data to the argument on its own thread and says which.
int32_t WorkerSum(uintptr_t data, uintptr_t argument) {
    *reinterpret_cast<DWORD*>(argument) = ::GetCurrentThreadId();
    return static_cast<int32_t>(data + 40);
}

bool TourWorker(KaSystem* system) {
    ka::ObjectRef<KaWorkerThread> worker;
    if (!system->CreateWorkerThread(worker.put())) return Fail("CreateWorkerThread failed");
    DWORD ranOn = 0;
    worker->SetData(2, nullptr);
    if (!worker->Run(WorkerSum, reinterpret_cast<uintptr_t>(&ranOn), nullptr) || !worker->Wait()) {
        return Fail("the worker thread refused a run");
    }
    std::printf("worker:   result %d on thread %lu (this is %lu)\n", worker->GetResult(), ranOn,
                ::GetCurrentThreadId());
    return (worker->GetResult() == 42 && ranOn != ::GetCurrentThreadId()) ||
           Fail("the worker gave the wrong result or ran on the calling thread");
}

bool TourGraph(KaSystem* system) { return RunRandomGraph(system, 12, 2, "graph:    "); }

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
    std::wstring command = L"\"" + ModulePath(nullptr) + L"\" --dll \"" + ModulePath(call.module) +
                           L"\" log \"" + file.path() + L"\"";
    uint32_t ids[2] = {};
    for (int child = 0; child < 2; ++child) {
        std::wstring lines;
        for (int i = 1; i <= 3; ++i) {
            lines +=
                L" \"child " + std::to_wstring(child + 1) + L", line " + std::to_wstring(i) + L"\"";
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

}  // namespace

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
    ok = TourWorker(system) && ok;
    ok = TourGraph(system) && ok;
    std::printf(ok ? "tour complete\n" : "tour FAILED\n");
    return ok ? kExitOk : kExitFailed;
}

}  // namespace kahost
