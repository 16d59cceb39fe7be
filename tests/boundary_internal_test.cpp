// No C++ exception crosses a slot. The library's objects are linked into this
// executable, whose operator new can be told to fail on the calling thread:
// every slot that allocates from the C++ heap then answers its failure value
// instead of throwing into the host, leaves its out-parameters alone, and
// works again once the heap is back. The failing heap is this thread's only:
// the library's own threads (pools, workers, the popup monitor's scan, the
// regex worker) keep theirs, so a row meets only what runs on the caller.
#include "ka/ka.h"
#include "support/ka_test.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <new>
#include <string>

extern "C" KaSystem* KaGetModule();

namespace {
thread_local bool t_heapFails = false;
thread_local int t_refused = 0;  // allocations refused since the heap began to fail

// Fails the C++ heap on this thread while alive.
struct FailingHeap {
    FailingHeap() {
        t_heapFails = true;
        t_refused = 0;
    }
    ~FailingHeap() { t_heapFails = false; }
};
}  // namespace

void* operator new(size_t size) {
    if (t_heapFails) {
        ++t_refused;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// Not inlined: GCC would take the free() for a mismatch with its own operator new.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

struct Releaser {
    void operator()(KaObject* object) const { object->Release(); }
};
template <typename T>
using Ref = std::unique_ptr<T, Releaser>;

template <typename T, typename Create>
Ref<T> Make(Create create) {
    T* out = nullptr;
    return create(&out) ? Ref<T>(out) : nullptr;
}

// What a slot hands back is dropped the way its interface says.
void Drop(KaObject* object) { object->Release(); }
void Drop(void* buffer) { KaGetModule()->Free(buffer); }

// Takes and drops the first reference of an object handed out with a count of zero.
bool Taken(KaObject* object) {
    if (object != nullptr) object->AddRef(), object->Release();
    return object != nullptr;
}

// Words a slot may write through its out-parameters, marked before each call.
struct Outs {
    uint32_t u[5];
    int32_t id;
    size_t capacity;  // of w
    wchar_t w[64];
    char c[48];
    KaPopupMonitor** monitors;
};
Outs Marked() {
    Outs o;
    std::memset(&o, 0x5A, sizeof o);
    o.capacity = 64;
    return o;
}
bool Same(const Outs& o) {
    Outs marked = Marked();
    return std::memcmp(&o, &marked, sizeof o) == 0;
}

// An object handed out through `out`: refused, `out` as it was, while the heap
// fails; made (and dropped again) once it works.
template <typename T, typename Call>
bool Makes(bool failing, Call call, bool marked = true) {
    T* const before = failing && marked ? reinterpret_cast<T*>(uintptr_t{0x5A5A}) : nullptr;
    T* out = before;
    bool made = call(&out);
    if (out != nullptr && out != before) Drop(out);
    return failing ? !made && out == before : made && out != nullptr;
}

// A row's call: true when the answer is the right one for the heap's state.
// ANSWERS: the expression is false while the heap fails (the words in `o`
// untouched) and true once it works; a pointer answers null, then not null.
#define ANSWERS(expr)                                        \
    [&](bool failing) {                                      \
        Outs o = Marked();                                   \
        bool ok = (expr);                                    \
        return ok != failing && (ok || Same(o));             \
    }
#define MAKES(T, expr) \
    [&](bool failing) { return Makes<T>(failing, [&](T** out) { return (expr); }); }

struct Row {
    const char* name;
    std::function<void()> setup;  // outside the failing heap
    std::function<bool(bool failing)> call;
};

// A document whose cursor is `depth` levels deep (1: the root), on an object
// {"m":1} or on an array [1].
Ref<KaJson> Json(KaSystem* system, uint32_t depth, bool array) {
    Ref<KaJson> doc = Make<KaJson>([&](auto out) { return system->CreateJsonDocument(out); });
    doc->SetObject();
    while (doc->GetDepth() < depth) doc->VisitObjectMember("a");
    if (array) {
        doc->SetArray();
        doc->PushBackInt(1);
    } else {
        doc->SetMemberInt("m", 1);
    }
    return doc;
}
// A cursor this deep has used the room it starts with: one level more allocates.
constexpr uint32_t kCursorRoom = 32;

constexpr wchar_t kText[] = L"  a text longer than a small-string buffer  ";
constexpr wchar_t kPattern[] = L"(longer) than";
constexpr wchar_t kRule[] = L"&A rule longer than a small-string buffer";
constexpr wchar_t kCommand[] = L"cmd.exe /c exit 0";
constexpr wchar_t kSetup[] = L"SOFTWARE\\Microsoft\\NET Framework Setup";
constexpr wchar_t kRelease[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full";
const TaskFunction kNothing = [](uintptr_t, uintptr_t) -> int32_t { return 0; };
const IniValueCallback kEveryValue = [](const wchar_t*, const wchar_t*, const wchar_t*, void*) {
    return true;
};
const MemberVisitor kEveryMember = [](const char*, KaJson*, uintptr_t) { return false; };

TEST(Boundary, EverySlotThatAllocatesAnswersFailureWhenTheHeapFails) {
    KaSystem* sys = KaGetModule();
    sys->GetLogger();  // the module's lazily made services exist before the heap fails
    KaStringUtil* util = sys->GetStringUtil();
    KaFileSystem* fs = sys->GetFileSystem();
    KaFileStreamFactory* streams = sys->GetFileStreams();
    KaProcessService* ps = sys->GetProcessService();
    KaEnvironmentInfo* info = sys->GetEnvironmentInfo();
    KaSha1* hasher = sys->GetHasher();
    ASSERT_TRUE(ps && hasher);

    katest::TempDir dir;
    katest::ScopedEnv tmp(L"TMP", dir.path());  // where RewriteStorage makes its scratch copy
    std::list<std::wstring> paths;  // every text a call needs is made before the heap fails
    auto at = [&](const wchar_t* name) { return paths.emplace_back(dir.File(name)).c_str(); };
    const wchar_t *file = at(L"a.ini"), *moved = at(L"m.txt"), *doomed = at(L"d.txt");
    const wchar_t *doc = at(L"doc.stg"), *xml = at(L"monitors.xml"), *logFile = at(L"log.txt");
    const wchar_t *target = at(L"moved.txt"), *copy = at(L"copy.txt"), *tree = at(L"x\\y\\z");
    const wchar_t* copyDoc = at(L"copy.stg");
    const std::wstring longText(300, L'x');
    for (const wchar_t* f : {file, moved, doomed}) katest::WriteFileBytes(f, "[s]\nkey=value\n");
    katest::WriteFileBytes(xml, "<Monitors/>");
    IStorage* storage = nullptr;
    ASSERT_EQ(::StgCreateDocfile(doc, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                 &storage), S_OK);
    storage->Release();
    const wchar_t* missing[] = {at(L"missing.txt"), nullptr};
    const wchar_t* kernel32 = L"C:\\windows\\system32\\kernel32.dll";
    const void* inKernel32 = ::GetModuleHandleW(L"kernel32.dll");
    unsigned char bytes[64] = {};

    auto str = Make<KaString>([&](auto out) { return util->CreateString(kText, out); });
    auto regex = Make<KaRegex>([&](auto out) { return util->CreateRegex(kPattern, out); });
    auto match =
        Make<KaRegexMatch>([&](auto out) { return util->SearchRegex(kText, regex.get(), out); });
    auto log = Make<KaLog>([&](auto out) { return sys->CreateLogger(L"NUL", out); });
    auto scratch = Make<KaTempDirectory>(
        [&](auto out) { return fs->CreateTempDirectory(L"leaf", dir.path().c_str(), out); });
    auto fileStream =
        Make<KaStream>([&](auto out) { return streams->OpenFileStream(out, file, L"rb"); });
    auto memoryStream =
        Make<KaStream>([&](auto out) { return streams->CreateMemoryStream(out, bytes, 16); });
    auto stringStream = Make<KaStream>([&](auto out) { return streams->CreateStringStream(out); });
    auto env = Make<KaEnvironment>([&](auto out) { return ps->CreateEnvironment(out); });
    auto monitor = Make<KaPopupMonitor>([&](auto out) { return info->CreatePopupMonitor(out); });
    auto pool = Make<KaThreadPool>([&](auto out) { return sys->CreateThreadPool(1, out); });
    auto runner = Make<KaTaskRunner>([&](auto out) { return sys->CreateTaskRunner(1, out); });
    ASSERT_TRUE(str && regex && match && log && scratch && fileStream && memoryStream &&
                stringStream && env && monitor && pool && runner);
    ASSERT_TRUE(env->SetVariable(L"KA_BOUNDARY", L"set"));
    Ref<KaTask> first, second;
    auto tasks = [&] {
        first = Make<KaTask>([&](auto out) { return runner->CreateTask(out); });
        second = Make<KaTask>([&](auto out) { return runner->CreateTask(out); });
    };
    Ref<KaJson> json;
    auto deepObject = [&] { json = Json(sys, kCursorRoom, false); };
    auto deepArray = [&] { json = Json(sys, kCursorRoom, true); };
    auto shallow = [&] { json = Json(sys, 1, false); };
    bool ownSetup = false;  // a .NET release registered here for its row, and removed again
    auto dotNet = [&] {
        ka::UniqueRegKey key;
        ownSetup = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSetup, 0, KEY_READ, key.put()) != 0;
        if (ownSetup) ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRelease, L"Version", REG_SZ, L"4", 4);
    };
    Ref<KaTempDirectory> dying;
    std::wstring dyingPath;
    auto mortal = [&] {
        dying = Make<KaTempDirectory>(
            [&](auto out) { return fs->CreateTempDirectory(L"dying", dir.path().c_str(), out); });
        dyingPath = dying->GetPath();
    };

    const Row rows[] = {
        {"System.CreateMemoryMappedFile", {},
         MAKES(KaMemoryMappedFile, sys->CreateMemoryMappedFile(out, nullptr, 64))},
        {"System.CreateLogger", {}, MAKES(KaLog, sys->CreateLogger(L"NUL", out))},
        {"System.CreateWorkerThread", {}, MAKES(KaWorkerThread, sys->CreateWorkerThread(out))},
        {"System.CreateThreadPool", {}, MAKES(KaThreadPool, sys->CreateThreadPool(1, out))},
        {"System.CreateTaskRunner", {}, MAKES(KaTaskRunner, sys->CreateTaskRunner(1, out))},
        {"System.ReadIniFile", {}, ANSWERS(sys->ReadIniFile(file, CP_UTF8, nullptr, kEveryValue))},
        {"System.CreateJsonDocument", {}, MAKES(KaJson, sys->CreateJsonDocument(out))},
        {"System.SetLastErrorMessage", {},
         ANSWERS(sys->SetLastErrorMessage(kText) && sys->SetLastErrorMessage(nullptr))},
        {"System.CreateMutex", {}, MAKES(KaMutex, sys->CreateMutex(out, L"KaBoundarySuite"))},
        {"Log.Open", {}, ANSWERS(log->Open(logFile))},
        {"Log.SetContextValue", {},
         ANSWERS(log->SetContextValue(L"key", kText) && log->SetContextValue(L"key", nullptr))},
        {"Log.SetLineValue", {}, ANSWERS(log->SetLineValue(L"key", kText))},
        {"StringUtil.CreateStringFromMultiByte", {},
         MAKES(KaString, util->CreateStringFromMultiByte("a narrow text", CP_UTF8, out))},
        {"StringUtil.CreateString", {}, MAKES(KaString, util->CreateString(kText, out))},
        {"StringUtil.CreateRegex", {}, MAKES(KaRegex, util->CreateRegex(kPattern, out))},
        {"StringUtil.SearchRegex", {},
         MAKES(KaRegexMatch, util->SearchRegex(kText, regex.get(), out))},
        {"StringUtil.SearchPattern", {},
         MAKES(KaRegexMatch, util->SearchPattern(kText, kPattern, out))},
        {"StringUtil.ReplaceFirstBuffer", {},
         ANSWERS(util->ReplaceFirstBuffer(kText, regex.get(), L"$1", o.w, &o.capacity))},
        {"StringUtil.ReplaceFirstString", {},
         MAKES(KaString, util->ReplaceFirstString(kText, regex.get(), L"$1", out))},
        {"StringUtil.ReplaceFirst", {},
         MAKES(wchar_t, util->ReplaceFirst(kText, regex.get(), L"$1", out))},
        {"StringUtil.ReplaceAllBuffer", {},
         ANSWERS(util->ReplaceAllBuffer(kText, regex.get(), L"$1", o.w, &o.capacity))},
        {"StringUtil.ReplaceAllString", {},
         MAKES(KaString, util->ReplaceAllString(kText, regex.get(), L"$1", out))},
        {"StringUtil.ReplaceAll", {},
         MAKES(wchar_t, util->ReplaceAll(kText, regex.get(), L"$1", out))},
        {"String.Append", {}, ANSWERS(str->Append(kText))},  // beyond the room it has
        {"String.Assign", {}, ANSWERS(str->Assign(longText.c_str()))},
        {"String.Clone", {}, MAKES(KaString, str->Clone(out))},
        {"String.Mid", {}, ANSWERS(Taken(str->Mid(2, 20)))},
        {"String.MidToEnd", {}, ANSWERS(Taken(str->MidToEnd(2)))},
        {"String.ToUpper", {}, MAKES(KaString, str->ToUpper(out))},
        {"String.ToLower", {}, MAKES(KaString, str->ToLower(out))},
        {"String.Trim", {}, MAKES(KaString, str->Trim(out))},
        {"String.TrimLeft", {}, MAKES(KaString, str->TrimLeft(out))},
        {"String.TrimRight", {}, MAKES(KaString, str->TrimRight(out))},
        {"RegexMatch.GetText", {}, ANSWERS(match->GetText() != nullptr)},
        {"FileSystem.GetShortPath", {}, MAKES(KaString, fs->GetShortPath(file, out))},
        {"FileSystem.GetParentPath", {}, MAKES(KaString, fs->GetParentPath(file, out))},
        {"FileSystem.GetFileName", {}, MAKES(KaString, fs->GetFileName(file, out))},
        {"FileSystem.FileExists", {}, ANSWERS(fs->FileExists(file))},
        {"FileSystem.DirectoryExists", {}, ANSWERS(fs->DirectoryExists(dir.path().c_str()))},
        {"FileSystem.PathExists", {}, ANSWERS(fs->PathExists(file))},
        {"FileSystem.Move", {}, ANSWERS(fs->Move(moved, target))},
        {"FileSystem.Copy", {}, ANSWERS(fs->Copy(file, copy))},
        {"FileSystem.Delete", {}, ANSWERS(fs->Delete(doomed) && !fs->PathExists(doomed))},
        {"FileSystem.CreateDirectories", {}, ANSWERS(fs->CreateDirectories(tree))},
        {"FileSystem.CreateTempDirectory", {},
         MAKES(KaTempDirectory, fs->CreateTempDirectory(L"made", dir.path().c_str(), out))},
        {"FileSystem.CopyStorage", {}, ANSWERS(fs->CopyStorage(doc, copyDoc))},
        {"FileSystem.RewriteStorage", {}, ANSWERS(fs->RewriteStorage(doc))},
        // True either way: an item that cannot be looked at is skipped.
        {"FileSystem.OpenFolderAndSelect", {},
         [&](bool) { return fs->OpenFolderAndSelect(missing); }},
        {"FileSystem.GetFileVersion", {}, MAKES(KaString, fs->GetFileVersion(kernel32, out))},
        {"DirectoryFinder.FindLatestVersion", {},
         MAKES(wchar_t, fs->GetDirectoryFinder()->FindLatestVersion(file, out))},
        {"TempDirectory.Create", {}, ANSWERS(scratch->Create(L"renamed", dir.path().c_str()))},
        // The last release cannot delete the tree then; what it leaves is removed after.
        {"TempDirectory.Release", mortal,
         [&](bool failing) {
             return failing ? dying.release()->Release() == 0 : fs->Delete(dyingPath.c_str());
         }},
        {"FileStream.Duplicate", {}, MAKES(KaStream, fileStream->Duplicate(out))},
        {"MemoryStream.Duplicate", {}, MAKES(KaStream, memoryStream->Duplicate(out))},
        {"StringStream.Duplicate", {}, MAKES(KaStream, stringStream->Duplicate(out))},
        // A failed write leaves the stream's error state set until the next Seek.
        {"StringStream.Write", {},
         ANSWERS(stringStream->Seek(0, KA_SEEK_END, nullptr) &&
                 stringStream->Write(bytes, sizeof bytes, nullptr))},
        {"FileStreamFactory.CreateMemoryStream", {},
         MAKES(KaStream, streams->CreateMemoryStream(out, bytes, 16))},
        {"FileStreamFactory.CreateStringStream", {},
         MAKES(KaStream, streams->CreateStringStream(out))},
        {"FileStreamFactory.CreateLimitedStream", {},
         MAKES(KaStream, streams->CreateLimitedStream(out, memoryStream.get(), 4))},
        {"FileStreamFactory.OpenFileStream", {},
         MAKES(KaStream, streams->OpenFileStream(out, file, L"rb"))},
        {"ProcessService.CreateMemoryCounters", {}, ANSWERS(Taken(ps->CreateMemoryCounters()))},
        {"ProcessService.CreateEnvironment", {}, MAKES(KaEnvironment, ps->CreateEnvironment(out))},
        {"ProcessService.CreateEnvironmentFromProcess", {},
         MAKES(KaEnvironment, ps->CreateEnvironmentFromProcess(out))},
        {"ProcessService.RunProcess", {},
         ANSWERS(ps->RunProcess(kCommand, nullptr, 0, false, true, &o.u[0], nullptr, nullptr,
                                &o.u[1], nullptr))},
        {"ProcessService.RunProcessWithTimeout", {},
         ANSWERS(ps->RunProcessWithTimeout(kCommand, nullptr, 0, false, 60, &o.u[0], nullptr,
                                           nullptr, &o.u[1], nullptr))},
        {"ProcessService.RunProcessWithStderr", {},
         ANSWERS(ps->RunProcessWithStderr(kCommand, nullptr, 0, false, 60, &o.u[0], nullptr,
                                          nullptr, nullptr, &o.u[1], nullptr, nullptr, 0))},
        {"ProcessService.RunProcessWithStartCallback", {},
         ANSWERS(ps->RunProcessWithStartCallback(kCommand, nullptr, 0, false, 60, &o.u[0],
                                                 nullptr, nullptr, nullptr, &o.u[1], nullptr,
                                                 nullptr, 0, nullptr, 0))},
        {"ProcessService.RunProcessEx", {},
         ANSWERS(ps->RunProcessEx(kCommand, nullptr, 0, false, true, 60, &o.u[0], nullptr,
                                  nullptr, nullptr, &o.u[1], nullptr, nullptr, 0, nullptr, 0,
                                  nullptr, 0))},
        {"Environment.SetVariable", {}, ANSWERS(env->SetVariable(L"KA_BOUNDARY", kText))},
        {"Environment.GetBlock", {}, ANSWERS(env->GetBlock() != nullptr)},
        {"PopupMonitor.AddCaption", {}, ANSWERS(monitor->AddCaption(kRule))},
        {"PopupMonitor.RemoveCaption", {}, ANSWERS(monitor->RemoveCaption(kRule))},
        {"PopupMonitor.AddMessage", {}, ANSWERS(monitor->AddMessage(kRule))},
        {"PopupMonitor.RemoveMessage", {}, ANSWERS(monitor->RemoveMessage(kRule))},
        {"PopupMonitor.AddButton", {}, ANSWERS(monitor->AddButton(kRule))},
        {"PopupMonitor.RemoveButton", {}, ANSWERS(monitor->RemoveButton(kRule))},
        {"PopupMonitor.AddProcess", {}, ANSWERS(monitor->AddProcess(4))},
        {"EnvironmentInfo.GetDotNetVersion", dotNet,
         ANSWERS(info->GetDotNetVersion(o.w) &&
                 (!ownSetup || ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSetup) == 0))},
        {"EnvironmentInfo.GetModuleVersion", {},
         ANSWERS(info->GetModuleVersion(inKernel32, &o.u[0], &o.u[1], &o.u[2]))},
        {"EnvironmentInfo.GetModuleVersionEx", {},
         ANSWERS(info->GetModuleVersionEx(inKernel32, &o.u[0], &o.u[1], &o.u[2], &o.u[3]))},
        // A monitor already in `out` is released and `out` cleared: it starts out null.
        {"EnvironmentInfo.CreatePopupMonitor", {},
         [&](bool failing) {
             auto create = [&](KaPopupMonitor** out) { return info->CreatePopupMonitor(out); };
             return Makes<KaPopupMonitor>(failing, create, false);
         }},
        {"EnvironmentInfo.CreatePopupMonitorsFromFile", {},
         ANSWERS(info->CreatePopupMonitorsFromFile(xml, &o.monitors, &o.u[0]) &&
                 (sys->Free(o.monitors), true))},
        {"ThreadPool.RegisterTask", {}, ANSWERS(pool->RegisterTask(kNothing, 0, nullptr, &o.id))},
        {"TaskRunner.CreateTask", {}, MAKES(KaTask, runner->CreateTask(out))},
        {"Task.AddDependency", tasks, ANSWERS(first->AddDependency(second.get()))},
        {"Task.Submit", tasks, ANSWERS(first->Submit())},
        {"Json.Write", shallow, ANSWERS(*json->Write() != '\0')},
        {"Json.WriteWithMaxDecimalPlaces", shallow,
         ANSWERS(*json->WriteWithMaxDecimalPlaces(3) != '\0')},
        {"Json.VisitMember", deepObject, ANSWERS(json->VisitMember("m") != nullptr)},
        {"Json.ForEachMember", deepObject, ANSWERS(json->ForEachMember(kEveryMember, 0, false))},
        {"Json.VisitObjectMember", deepObject, ANSWERS(json->VisitObjectMember("n"))},
        {"Json.VisitArrayMember", deepObject, ANSWERS(json->VisitArrayMember("n"))},
        {"Json.VisitAt", deepArray, ANSWERS(json->VisitAt(0) != nullptr)},
        {"Json.PushBackObject", deepArray, ANSWERS(json->PushBackObject())},
        {"Json.PushBackArray", deepArray, ANSWERS(json->PushBackArray())},
        {"Sha1.HashFile", {}, ANSWERS(hasher->HashFile(file, o.u))},
        {"Sha1.HashFileText", {}, ANSWERS(hasher->HashFileText(file, o.c))},
    };
    for (const Row& row : rows) {
        if (row.setup) row.setup();
        bool answered = false, escaped = false;
        try {
            FailingHeap failing;
            answered = row.call(true);
        } catch (...) {
            escaped = true;
        }
        EXPECT_FALSE(escaped) << row.name << ": an exception crossed the slot";
        EXPECT_TRUE(escaped || answered)
            << row.name << ": not its failure answer, or an out-parameter was written";
        EXPECT_GT(t_refused, 0) << row.name << ": never asked the heap, so it tests nothing";
        EXPECT_TRUE(row.call(false)) << row.name << ": does not work again once the heap does";
    }
}

}  // namespace
