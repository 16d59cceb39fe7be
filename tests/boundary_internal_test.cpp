// No C++ exception crosses a slot. The library's objects are linked into this
// executable, whose operator new can be told to fail on the calling thread:
// every slot that allocates from the C++ heap then answers its failure value
// instead of throwing into the host, leaves its out-parameters alone, and
// works again once the heap is back. The failing heap is this thread's only:
// the library's own threads (pools, workers, the popup monitor's scan) keep
// theirs, so a row meets only what runs on the caller.
#include "frame/boundary.h"
#include "ka/ka.h"
#include "support/ka_test.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <list>
#include <new>
#include <string>

extern "C" KaSystem* KaGetModule();

namespace {
thread_local bool t_heapFails = false;
thread_local int t_refused = 0;  // allocations refused since the heap began to fail
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

// The object `expr` hands out through `out`, with the reference it came with; or none.
#define MADE(T, expr)          \
    [&] {                      \
        ka::ObjectRef<T> made; \
        T** out = made.put();  \
        (expr);                \
        return made;           \
    }()

// What a slot hands back goes back the way its interface says.
void Drop(KaObject* object) { object->Release(); }
void Drop(void* buffer) { KaGetModule()->Free(buffer); }
// Takes and drops the first reference of an object handed out with a count of zero.
bool Taken(KaObject* object) {
    return object != nullptr && (object->AddRef(), object->Release(), true);
}

// A string stream's copy comes with a count of zero: taken, then dropped.
bool TakenCopy(KaStream* stream) {
    KaStream* copy = nullptr;
    return stream->Duplicate(&copy) && Taken(copy);
}

// Room a slot may write through its out-parameters, each word marked.
struct Outs {
    uint32_t u[5] = {7, 7, 7, 7, 7};
    int32_t id = 7;
    size_t capacity = 64;  // of w
    wchar_t w[64] = L"?";
    char c[48] = "?";
    KaPopupMonitor** monitors = reinterpret_cast<KaPopupMonitor**>(uintptr_t{7});
    bool operator==(const Outs&) const = default;
};

// An object handed out through `out`: refused and `out` left as it was (a
// marker, or null) while the heap fails; made (and dropped again) once it works.
template <typename T, typename Call>
bool Makes(bool failing, Call call, bool marked = true) {
    T* const before = failing && marked ? reinterpret_cast<T*>(uintptr_t{0x5A5A}) : nullptr;
    T* out = before;
    bool made = call(&out);
    if (out != nullptr && out != before) Drop(out);
    return failing ? !made && out == before : made && out != nullptr;
}

// A row names itself by its call, which answers whether the slot's answer is
// the right one for the heap's state.
struct Row {
    const char* name;
    std::function<bool(bool failing)> call;
    std::function<void()> setup = {};  // outside the failing heap
};
Row With(std::function<void()> setup, Row row) { return row.setup = std::move(setup), row; }
// False while the heap fails (the out-words untouched), true once it works.
// A pointer answers null, then not null.
#define ANSWERS(expr)                                                             \
    Row {                                                                         \
#expr, [&](bool failing) {                                                      \
            Outs o;                                                                     \
            bool ok = (expr);                                                           \
            return ok != failing && (ok || o == Outs());                                \
        } \
    }
#define MAKES(T, expr)                                                                          \
    Row {                                                                                       \
#expr, [&](bool failing) { return Makes<T>(failing, [&](T** out) { return (expr); }); } \
    }

// A document whose cursor is `depth` levels deep (1: the root), on an object
// {"m":1} or on an array [1]. At kCursorRoom levels one more allocates.
constexpr uint32_t kCursorRoom = 32;
ka::ObjectRef<KaJson> Json(KaSystem* sys, uint32_t depth, bool array) {
    ka::ObjectRef<KaJson> doc;
    sys->CreateJsonDocument(doc.put());
    doc->SetObject();
    while (doc->GetDepth() < depth) doc->VisitObjectMember("a");
    array ? doc->SetArray() && doc->PushBackInt(1) : doc->SetMemberInt("m", 1);
    return doc;
}

constexpr wchar_t kText[] = L"  a text longer than a small-string buffer  ";
constexpr wchar_t kPattern[] = L"(longer) than";
constexpr wchar_t kRule[] = L"&A rule longer than a small-string buffer";
constexpr wchar_t kCommand[] = L"cmd.exe /c exit 0";
constexpr wchar_t kSetup[] = L"SOFTWARE\\Microsoft\\NET Framework Setup";
constexpr wchar_t kRelease[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full";
const TaskFunction kNothing = [](uintptr_t, uintptr_t) -> int32_t { return 0; };
const IniValueCallback kEveryValue = [](auto, auto, auto, auto) { return true; };
const MemberVisitor kEveryMember = [](auto, auto, auto) { return false; };

TEST(Boundary, EverySlotThatAllocatesAnswersFailureWhenTheHeapFails) {
    KaSystem* sys = KaGetModule();
    sys->GetLogger();  // the module's lazily made services exist before the heap fails
    KaStringUtil* util = sys->GetStringUtil();
    KaFileSystem* fs = sys->GetFileSystem();
    KaFileStreamFactory* streams = sys->GetFileStreams();
    KaProcessService* ps = sys->GetProcessService();
    KaEnvironmentInfo* info = sys->GetEnvironmentInfo();
    KaSha1* hasher = sys->GetHasher();

    katest::TempDir dir;
    katest::ScopedEnv tmp(L"TMP", dir.path());  // where RewriteStorage makes its scratch copy
    std::list<std::wstring> paths;  // every text a call needs is made before the heap fails
    auto at = [&](const wchar_t* name) { return paths.emplace_back(dir.File(name)).c_str(); };
    const wchar_t *file = at(L"a.ini"), *moved = at(L"m.txt"), *doomed = at(L"d.txt");
    const wchar_t *target = at(L"moved.txt"), *copy = at(L"copy.txt"), *tree = at(L"x\\y\\z");
    const wchar_t *doc = at(L"doc.stg"), *docCopy = at(L"copy.stg"), *xml = at(L"popups.xml");
    const wchar_t* logFile = at(L"log.txt");
    const wchar_t *base = dir.path().c_str(), *missing[] = {at(L"missing.txt"), nullptr};
    const std::wstring longText(300, L'x');
    for (const wchar_t* f : {file, moved, doomed}) katest::WriteFileBytes(f, "[s]\nkey=value\n");
    katest::WriteFileBytes(xml, "<Monitors/>");
    IStorage* storage = nullptr;
    ASSERT_EQ(
        ::StgCreateDocfile(doc, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &storage),
        S_OK);
    storage->Release();
    const void* inKernel32 = ::GetModuleHandleW(L"kernel32.dll");
    unsigned char bytes[64] = {};

    auto str = MADE(KaString, util->CreateString(kText, out));
    auto regex = MADE(KaRegex, util->CreateRegex(kPattern, out));
    auto match = MADE(KaRegexMatch, util->SearchRegex(kText, regex.get(), out));
    auto log = MADE(KaLog, sys->CreateLogger(L"NUL", out));  // a short path: Open must grow it
    auto scratch = MADE(KaTempDirectory, fs->CreateTempDirectory(L"leaf", base, out));
    auto fileStream = MADE(KaStream, streams->OpenFileStream(out, file, L"rb"));
    auto memoryStream = MADE(KaStream, streams->CreateMemoryStream(out, bytes, 16));
    auto stringStream = MADE(KaStream, streams->CreateStringStream(out));
    auto env = MADE(KaEnvironment, ps->CreateEnvironment(out));
    auto monitor = MADE(KaPopupMonitor, info->CreatePopupMonitor(out));
    auto pool = MADE(KaThreadPool, sys->CreateThreadPool(1, out));
    auto runner = MADE(KaTaskRunner, sys->CreateTaskRunner(1, out));
    ASSERT_TRUE(str && regex && match && log && scratch && fileStream && memoryStream &&
                stringStream && env && monitor && pool && runner && ps && hasher);
    ASSERT_TRUE(env->SetVariable(L"KA_BOUNDARY", L"set"));
    ka::ObjectRef<KaTask> first, second;
    auto tasks = [&] { runner->CreateTask(first.put()), runner->CreateTask(second.put()); };
    ka::ObjectRef<KaJson> json;
    auto deepObject = [&] { json = Json(sys, kCursorRoom, false); };
    auto deepArray = [&] { json = Json(sys, kCursorRoom, true); };
    auto shallow = [&] { json = Json(sys, 1, false); };
    bool ownSetup = false;  // a .NET release registered here for its row, and removed again
    auto dotNet = [&] {
        ka::UniqueRegKey key;
        ownSetup = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSetup, 0, KEY_READ, key.put()) != 0;
        if (ownSetup) ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRelease, L"Version", REG_SZ, L"4", 4);
    };
    ka::ObjectRef<KaTempDirectory> dying;
    std::wstring dyingPath;
    auto mortal = [&] {
        fs->CreateTempDirectory(L"dying", base, dying.put());
        dyingPath = dying->GetPath();
    };

    const Row rows[] = {
        MAKES(KaMemoryMappedFile, sys->CreateMemoryMappedFile(out, nullptr, 64)),
        MAKES(KaLog, sys->CreateLogger(L"NUL", out)),
        MAKES(KaWorkerThread, sys->CreateWorkerThread(out)),
        MAKES(KaThreadPool, sys->CreateThreadPool(1, out)),
        MAKES(KaTaskRunner, sys->CreateTaskRunner(1, out)),
        ANSWERS(sys->ReadIniFile(file, CP_UTF8, nullptr, kEveryValue)),
        MAKES(KaJson, sys->CreateJsonDocument(out)),
        ANSWERS(sys->SetLastErrorMessage(kText) && sys->SetLastErrorMessage(nullptr)),
        MAKES(KaMutex, sys->CreateMutex(out, L"KaBoundarySuite")),
        ANSWERS(log->Open(logFile)),
        ANSWERS(log->SetContextValue(L"key", kText) && log->SetContextValue(L"key", nullptr)),
        ANSWERS(log->SetLineValue(L"key", kText)),
        MAKES(KaString, util->CreateStringFromMultiByte("a narrow text", CP_UTF8, out)),
        MAKES(KaString, util->CreateString(kText, out)),
        MAKES(KaRegex, util->CreateRegex(kPattern, out)),
        MAKES(KaRegexMatch, util->SearchRegex(kText, regex.get(), out)),
        MAKES(KaRegexMatch, util->SearchPattern(kText, kPattern, out)),
        ANSWERS(util->ReplaceFirstBuffer(kText, regex.get(), L"$1", o.w, &o.capacity)),
        MAKES(KaString, util->ReplaceFirstString(kText, regex.get(), L"$1", out)),
        MAKES(wchar_t, util->ReplaceFirst(kText, regex.get(), L"$1", out)),
        ANSWERS(util->ReplaceAllBuffer(kText, regex.get(), L"$1", o.w, &o.capacity)),
        MAKES(KaString, util->ReplaceAllString(kText, regex.get(), L"$1", out)),
        MAKES(wchar_t, util->ReplaceAll(kText, regex.get(), L"$1", out)),
        ANSWERS(str->Append(kText)),  // beyond the room it has, as Assign below
        ANSWERS(str->Assign(longText.c_str())),
        MAKES(KaString, str->Clone(out)),
        ANSWERS(Taken(str->Mid(2, 20))),
        ANSWERS(Taken(str->MidToEnd(2))),
        MAKES(KaString, str->ToUpper(out)),
        MAKES(KaString, str->ToLower(out)),
        MAKES(KaString, str->Trim(out)),
        MAKES(KaString, str->TrimLeft(out)),
        MAKES(KaString, str->TrimRight(out)),
        ANSWERS(match->GetText() != nullptr),
        MAKES(KaString, fs->GetShortPath(file, out)),
        MAKES(KaString, fs->GetParentPath(file, out)),
        MAKES(KaString, fs->GetFileName(file, out)),
        ANSWERS(fs->FileExists(file)),
        ANSWERS(fs->DirectoryExists(base)),
        ANSWERS(fs->PathExists(file)),
        ANSWERS(fs->Move(moved, target)),
        ANSWERS(fs->Copy(file, copy)),
        ANSWERS(fs->Delete(doomed) && !fs->PathExists(doomed)),
        ANSWERS(fs->CreateDirectories(tree)),
        MAKES(KaTempDirectory, fs->CreateTempDirectory(L"made", base, out)),
        ANSWERS(fs->CopyStorage(doc, docCopy)),
        ANSWERS(fs->RewriteStorage(doc)),
        // True either way: an item that cannot be looked at is skipped.
        ANSWERS(fs->OpenFolderAndSelect(missing) != failing),
        MAKES(KaString, fs->GetFileVersion(L"C:\\windows\\system32\\kernel32.dll", out)),
        MAKES(wchar_t, fs->GetDirectoryFinder()->FindLatestVersion(file, out)),
        ANSWERS(scratch->Create(L"renamed", base)),
        // The last release cannot delete the tree then; what it leaves is removed after.
        With(mortal,
             ANSWERS(failing ? dying.release()->Release() != 0 : fs->Delete(dyingPath.c_str()))),
        MAKES(KaStream, fileStream->Duplicate(out)),
        MAKES(KaStream, memoryStream->Duplicate(out)),
        ANSWERS(TakenCopy(stringStream.get())),
        // A failed write leaves the stream's error state set until the next Seek.
        ANSWERS(stringStream->Seek(0, KA_SEEK_END, nullptr) &&
                stringStream->Write(bytes, sizeof bytes, nullptr)),
        MAKES(KaStream, streams->CreateMemoryStream(out, bytes, 16)),
        MAKES(KaStream, streams->CreateStringStream(out)),
        MAKES(KaStream, streams->CreateLimitedStream(out, memoryStream.get(), 4)),
        MAKES(KaStream, streams->OpenFileStream(out, file, L"rb")),
        ANSWERS(Taken(ps->CreateMemoryCounters())),
        MAKES(KaEnvironment, ps->CreateEnvironment(out)),
        MAKES(KaEnvironment, ps->CreateEnvironmentFromProcess(out)),
        ANSWERS(ps->RunProcess(kCommand, nullptr, 0, false, true, o.u, nullptr, nullptr, o.u + 1,
                               nullptr)),
        ANSWERS(ps->RunProcessWithTimeout(kCommand, nullptr, 0, false, 60, o.u, nullptr, nullptr,
                                          o.u + 1, nullptr)),
        ANSWERS(ps->RunProcessWithStderr(kCommand, nullptr, 0, false, 60, o.u, nullptr, nullptr,
                                         nullptr, o.u + 1, nullptr, nullptr, 0)),
        ANSWERS(ps->RunProcessWithStartCallback(kCommand, nullptr, 0, false, 60, o.u, nullptr,
                                                nullptr, nullptr, o.u + 1, nullptr, nullptr, 0,
                                                nullptr, 0)),
        ANSWERS(ps->RunProcessEx(kCommand, nullptr, 0, false, true, 60, o.u, nullptr, nullptr,
                                 nullptr, o.u + 1, nullptr, nullptr, 0, nullptr, 0, nullptr, 0)),
        ANSWERS(env->SetVariable(L"KA_BOUNDARY", kText)),
        ANSWERS(env->GetBlock() != nullptr),
        ANSWERS(monitor->AddCaption(kRule)),
        ANSWERS(monitor->RemoveCaption(kRule)),
        ANSWERS(monitor->AddMessage(kRule)),
        ANSWERS(monitor->RemoveMessage(kRule)),
        ANSWERS(monitor->AddButton(kRule)),
        ANSWERS(monitor->RemoveButton(kRule)),
        ANSWERS(monitor->AddProcess(4)),
        With(dotNet, ANSWERS(info->GetDotNetVersion(o.w) &&
                             (!ownSetup || ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSetup) == 0))),
        ANSWERS(info->GetModuleVersion(inKernel32, o.u, o.u + 1, o.u + 2)),
        ANSWERS(info->GetModuleVersionEx(inKernel32, o.u, o.u + 1, o.u + 2, o.u + 3)),
        // It releases what `out` holds first, so `out` starts (and, refused, stays) null.
        ANSWERS(Makes<KaPopupMonitor>(
                    failing, [&](auto out) { return info->CreatePopupMonitor(out); }, false) !=
                failing),
        ANSWERS(info->CreatePopupMonitorsFromFile(xml, &o.monitors, o.u) &&
                (sys->Free(o.monitors), true)),
        ANSWERS(pool->RegisterTask(kNothing, 0, nullptr, &o.id)),
        MAKES(KaTask, runner->CreateTask(out)),
        With(tasks, ANSWERS(first->AddDependency(second.get()))),
        With(tasks, ANSWERS(first->Submit())),
        With(shallow, ANSWERS(*json->Write() != '\0')),
        With(shallow, ANSWERS(*json->WriteWithMaxDecimalPlaces(3) != '\0')),
        With(deepObject, ANSWERS(json->VisitMember("m") != nullptr)),
        With(deepObject, ANSWERS(json->ForEachMember(kEveryMember, 0, false))),
        With(deepObject, ANSWERS(json->VisitObjectMember("n"))),
        With(deepObject, ANSWERS(json->VisitArrayMember("n"))),
        With(deepArray, ANSWERS(json->VisitAt(0) != nullptr)),
        With(deepArray, ANSWERS(json->PushBackObject())),
        With(deepArray, ANSWERS(json->PushBackArray())),
        ANSWERS(hasher->HashFile(file, o.u)),
        ANSWERS(hasher->HashFileText(file, o.c)),
    };
    for (const Row& row : rows) {
        if (row.setup) row.setup();
        bool answered = false, escaped = false;
        try {
            t_heapFails = true;
            t_refused = 0;
            answered = row.call(true);
        } catch (...) {
            escaped = true;
        }
        t_heapFails = false;
        EXPECT_FALSE(escaped) << row.name << ": an exception crossed the slot";
        EXPECT_TRUE(escaped || answered)
            << row.name << ": not its failure answer, or an out-parameter was written";
        EXPECT_GT(t_refused, 0) << row.name << ": never asked the heap, so it tests nothing";
        EXPECT_TRUE(row.call(false)) << row.name << ": does not work again once the heap does";
    }
}

// The line a refused slot leaves names the slot, as the function that ran the boundary.
TEST(Boundary, TheLineNamesTheSlot) {
    katest::TempDir dir;
    KaLog* log = KaGetModule()->GetLogger();  // of the library linked into this executable
    ASSERT_TRUE(log->Open(dir.File(L"boundary.log").c_str()));
    EXPECT_FALSE(ka::Boundary(false, []() -> bool { throw std::bad_alloc(); }));
    log->Open(nullptr);
    EXPECT_EQ(
        katest::ReadLines(dir.File(L"boundary.log")),
        std::vector<std::string>{"[ERROR]     : Operation failed in {anonymous}::"
                                 "Boundary_TheLineNamesTheSlot_Test::TestBody: out of memory"});
}

}  // namespace
