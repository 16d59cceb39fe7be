// The library on a bad day: each row fails one system call the DLL imports
// (through its import table, see support/import_fault.h), reaches it through
// the slot a host calls, and checks the result, the log line and what is left
// untouched. A new failure is a new row. The leak check runs around each
// row as around every test: a failure path that leaks fails its row.
#include "frame/win32_util.h"
#include "support/fake_stream.h"
#include "support/import_fault.h"
#include "support/ka_test.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using katest::Fault;
using katest::ProcessLog;
using Lines = std::vector<std::string>;

KaSystem* System() { return katest::System(); }

// Values a row's expected lines name as {key}, set by the row's call; {error}
// is the system's text for the fault's error.
std::map<std::string, std::string> g_values;
void Name(const char* key, const std::wstring& value) { g_values[key] = katest::Narrow(value); }

// `cmd /c exit 0`, with an input stream and a stream for standard error
// when asked; pid and code start as 7 so a run can show it left them.
struct Run {
    bool ok = false;
    uint32_t pid = 7, code = 7;
};
Run RunChild(bool input, bool errors) {
    katest::FakeStream in, out, err;
    in.bytes = "input";
    Run run;
    run.ok = System()->GetProcessService()->RunProcessWithStderr(
        L"cmd /c exit 0", nullptr, 0, false, 10, &run.pid, input ? &in : nullptr, &out,
        errors ? &err : nullptr, &run.code, nullptr, nullptr, 0);
    return run;
}
// A run that fails before the child leaves the out-parameters as they were.
bool FailsBeforeTheChild(bool input, bool errors) {
    Run run = RunChild(input, errors);
    EXPECT_TRUE(KA_ALL(run.pid == 7, run.code == 7)) << "out-parameters untouched";
    return run.ok;
}

// A creation that fails hands out nothing: the out pointer keeps its value.
template <typename T, typename Create>
bool HandsOutNothing(Create create) {
    T* untouched = reinterpret_cast<T*>(1);
    bool ok = create(&untouched);
    EXPECT_EQ(untouched, reinterpret_cast<T*>(1)) << "nothing handed out";
    return ok;
}

// Each returns the slot's result and checks what the row says is untouched.
bool RunCapturingBoth() { return FailsBeforeTheChild(false, true); }
bool RunWithInput() { return FailsBeforeTheChild(true, false); }
bool CreateMutex() {
    return HandsOutNothing<KaMutex>(
        [](KaMutex** out) { return System()->CreateMutex(out, L"katest_fault_mutex"); });
}
bool CreateUuid() {
    UuidRecord record{}, before{};
    std::memset(&record, 0x5a, sizeof record);
    std::memcpy(&before, &record, sizeof record);
    bool ok = System()->CreateUuid(&record);
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0) << "record untouched";
    return ok;
}
bool SetLastErrorMessage() {
    bool ok = System()->SetLastErrorMessage(L"disk on fire");
    wchar_t* message = nullptr;
    EXPECT_FALSE(System()->GetLastErrorMessage(&message)) << "a message was stored";
    System()->Free(message);
    return ok;
}
bool CreateSharedMemory() {
    return HandsOutNothing<KaMemoryMappedFile>([](KaMemoryMappedFile** out) {
        return System()->CreateMemoryMappedFile(out, L"katest_fault_block", 64);
    });
}
bool CreateWorker() {
    return HandsOutNothing<KaWorkerThread>(
        [](KaWorkerThread** out) { return System()->CreateWorkerThread(out); });
}
bool CreatePool() {
    return HandsOutNothing<KaThreadPool>(
        [](KaThreadPool** out) { return System()->CreateThreadPool(3, out); });
}
// A temporary directory is still made when the computer has no name: the
// fallback name takes its place in the directory's name.
bool CreateTempDirectory() {
    katest::TempDir base;
    KaTempDirectory* dir = nullptr;
    if (!System()->GetFileSystem()->CreateTempDirectory(nullptr, base.path().c_str(), &dir)) {
        return false;
    }
    std::wstring path = dir->GetPath();
    dir->Release();
    EXPECT_NE(path.find(L"\\kasxs_"), std::wstring::npos) << katest::Narrow(path);
    return true;
}

// A finished run whose start was refused: the exit code says why.
bool RunRefused() {
    Run run = RunChild(false, false);
    EXPECT_EQ(run.code, uint32_t{ERROR_ACCESS_DENIED}) << "the exit code is the system's error";
    return run.ok;
}
// A run that goes on after its step failed (the child reads what it got).
bool RunGoesOn() { return RunChild(true, false).ok; }
bool MoveOnto(bool destinationExists) {
    katest::TempDir dir;
    std::wstring from = dir.File(L"from.txt"), to = dir.File(L"to.txt");
    Name("from", from);
    Name("to", to);
    EXPECT_TRUE(katest::WriteFileBytes(from, "moved"));
    EXPECT_TRUE(!destinationExists || katest::WriteFileBytes(to, "kept"));
    bool ok = System()->GetFileSystem()->Move(from.c_str(), to.c_str());
    EXPECT_EQ(katest::ReadFileBytes(from), "moved") << "the source is left";
    return ok;
}
bool MoveToNew() { return MoveOnto(false); }
bool MoveOverExisting() { return MoveOnto(true); }
bool UnlockOwned() {
    ka::ObjectRef<KaMutex> mutex;
    EXPECT_TRUE(System()->CreateMutex(mutex.put(), L"katest_fault_unlock"));
    EXPECT_TRUE(mutex->Lock(nullptr, 0));
    bool ok = mutex->Unlock();
    EXPECT_TRUE(mutex->Unlock()) << "still owned: the failed release changed nothing";
    return ok;
}
// A temporary directory made and dropped: its teardown goes on after each
// failure. It moves the working directory, which this process gets back.
bool TempDirectoryTornDown() {
    wchar_t cwd[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, cwd);
    katest::TempDir base;
    KaTempDirectory* dir = nullptr;
    if (!System()->GetFileSystem()->CreateTempDirectory(L"leaf", base.path().c_str(), &dir)) {
        return false;
    }
    std::wstring path = dir->GetPath();
    Name("parent", path.substr(0, path.rfind(L'\\')));
    dir->Release();
    ::SetCurrentDirectoryW(cwd);
    return true;
}
// A directory deeper than MAX_PATH that the shell will not delete: the
// message names it in the short form the shell was given.
bool DeleteLongDirectory() {
    katest::TempDir dir;
    std::wstring deep = dir.path();
    while (deep.size() <= MAX_PATH) deep += L"\\" + std::wstring(40, L'd');
    KaFileSystem* files = System()->GetFileSystem();
    EXPECT_TRUE(files->CreateDirectories(deep.c_str()));
    ka::ObjectRef<KaString> shortForm;
    EXPECT_TRUE(files->GetShortPath(deep.c_str(), shortForm.put()));
    Name("short", shortForm ? shortForm->GetText() : L"");
    bool ok = files->Delete(deep.c_str());
    EXPECT_TRUE(files->DirectoryExists(deep.c_str())) << "removed after all";
    return ok;
}

// No console for the echo: the lines still reach the file, and the row's
// single failed call shows the logger did not try again for the second.
bool EchoWithoutConsole() {
    katest::TempDir dir;
    std::wstring path = dir.File(L"echo.log");
    ka::ObjectRef<KaLog> log;
    if (!System()->CreateLogger(path.c_str(), log.put())) return false;
    log->ShowConsole(true);
    log->Printf(LogCategory::WARNING, 0, "first");
    log->Printf(LogCategory::WARNING, 0, "second");
    log.reset();
    std::string text = katest::ReadFileBytes(path);
    EXPECT_TRUE(
        KA_ALL(text.find("first") != std::string::npos, text.find("second") != std::string::npos))
        << text;
    return true;
}

// No short path for the log file: its identity is the hash of the empty
// text, so every such logger shares one mutex and one counter.
bool LogWithoutShortPath() {
    katest::TempDir dir;
    ka::ObjectRef<KaLog> log;
    if (!System()->CreateLogger(dir.File(L"unnamed.log").c_str(), log.put())) return false;
    const char* empty = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
    std::string mutex = std::string("Mutex_") + empty, counter = std::string("RefCount_") + empty;
    EXPECT_TRUE(
        KA_ALL(bool(ka::UniqueHandle(::OpenMutexA(SYNCHRONIZE, FALSE, mutex.c_str()))),
               bool(ka::UniqueHandle(::OpenFileMappingA(FILE_MAP_READ, FALSE, counter.c_str())))));
    return true;
}

// The shell refuses every folder: each is named, and the call still
// succeeds (it asked for all of them).
bool RevealRefused() {
    katest::TempDir dir;
    std::wstring a = dir.File(L"a"), b = dir.File(L"b");
    ::CreateDirectoryW(a.c_str(), nullptr);
    ::CreateDirectoryW(b.c_str(), nullptr);
    std::wstring first = a + L"\\one.txt", second = b + L"\\two.txt";
    EXPECT_TRUE(KA_ALL(katest::WriteFileBytes(first, ""), katest::WriteFileBytes(second, "")));
    Name("a", a);
    Name("b", b);
    const wchar_t* items[] = {second.c_str(), first.c_str(), nullptr};
    return System()->GetFileSystem()->OpenFolderAndSelect(items);
}

// A compound document copied to a new file.
bool CopyStorage() {
    katest::TempDir dir;
    std::wstring source = dir.File(L"source.doc"), target = dir.File(L"target.doc");
    Name("source", source);
    Name("target", target);
    IStorage* made = nullptr;
    EXPECT_EQ(::StgCreateDocfile(source.c_str(),
                                 STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &made),
              S_OK);
    if (made != nullptr) made->Release();
    return System()->GetFileSystem()->CopyStorage(source.c_str(), target.c_str());
}

bool FindLatest() {
    katest::TempDir dir;
    std::wstring model = dir.File(L"app.cfg");
    EXPECT_TRUE(katest::WriteFileBytes(model, ""));
    wchar_t* latest = nullptr;
    bool ok =
        System()->GetFileSystem()->GetDirectoryFinder()->FindLatestVersion(model.c_str(), &latest);
    System()->Free(latest);
    return ok;
}
bool StartPopupMonitor() {
    KaPopupMonitor* monitor = nullptr;  // what it holds is released first
    bool ok = System()->GetEnvironmentInfo()->CreatePopupMonitor(&monitor);
    EXPECT_EQ(monitor, nullptr) << "a monitor without its worker was handed out";
    return ok;
}
bool OpenLogger() {
    katest::TempDir dir;
    ka::ObjectRef<KaLog> log;
    if (!System()->CreateLogger(dir.File(L"first.log").c_str(), log.put())) return true;
    bool ok = log->Open(dir.File(L"refused.log").c_str());
    wchar_t path[512] = L"untouched";
    EXPECT_FALSE(log->GetFilePath(path)) << "the logger is closed";
    return ok;
}

struct Row {
    const char* failure;  // what goes wrong, in the system's words where it logs
    const char* dll;
    const char* function;
    Fault fault;
    std::function<bool()> call;
    bool result;
    Lines log;  // exactly the lines the failure writes
};

const Fault kFalse{FALSE, ERROR_NOT_ENOUGH_MEMORY};
const Fault kNull{0, ERROR_NOT_ENOUGH_MEMORY};
const Fault kComFailure{uintptr_t(STG_E_ACCESSDENIED), ERROR_ACCESS_DENIED};
const Fault kInvalid{uintptr_t(INVALID_HANDLE_VALUE), ERROR_ACCESS_DENIED};
Fault Nth(Fault fault, unsigned call) {
    fault.fromCall = call;
    return fault;
}
Fault Times(Fault fault, unsigned failures) {
    fault.failures = failures;
    return fault;
}
Fault Once(Fault fault) { return Times(fault, 1); }

// clang-format off
const Row kRows[] = {
    {"output pipe", "KERNEL32.dll", "CreatePipe", kFalse, RunCapturingBoth, false,
     {"[ERROR]     : Failed to create pipe for stdout."}},
    {"error pipe", "KERNEL32.dll", "CreatePipe", Nth(kFalse, 2), RunCapturingBoth, false,
     {"[ERROR]     : Failed to create pipe for stderr."}},
    {"input pipe", "KERNEL32.dll", "CreatePipe", Nth(kFalse, 2), RunWithInput, false,
     {"[ERROR]     : Failed to create pipe for stdin."}},
    {"inherit flag", "KERNEL32.dll", "SetHandleInformation", Once(kFalse), RunGoesOn, true,
     {"[WARNING]   : Failed to set handle information to ensure the read handle to the pipe "
      "for stdout is not inherited."}},
    {"input write", "KERNEL32.dll", "WriteFile", Once(kFalse), RunGoesOn, true,
     {"[ERROR]     : Failed to write into stdin handle: {error}"}},
    {"process start", "KERNEL32.dll", "CreateProcessW", Fault{FALSE, ERROR_ACCESS_DENIED},
     RunRefused, false, {}},
    {"named mutex", "KERNEL32.dll", "CreateMutexW", kNull, CreateMutex, false,
     {"[ERROR]     : Failed to create a mutex object: Global\\katest_fault_mutex"}},
    {"mutex release", "KERNEL32.dll", "ReleaseMutex", Once(kFalse), UnlockOwned, false,
     {"[ERROR]     : Failed to release mutex."}},
    {"UUID generator", "RPCRT4.dll", "UuidCreate", Fault{RPC_S_UUID_NO_ADDRESS, 0}, CreateUuid,
     false, {}},
    {"UUID only unique locally", "RPCRT4.dll", "UuidCreate", Fault{RPC_S_UUID_LOCAL_ONLY, 0},
     CreateUuid, false, {}},
    {"last-error section", "KERNEL32.dll", "CreateFileMappingW", kNull, SetLastErrorMessage,
     false, {}},
    {"shared memory section", "KERNEL32.dll", "CreateFileMappingW", kNull, CreateSharedMemory,
     false, {}},
    {"shared memory view", "KERNEL32.dll", "MapViewOfFile", kNull, CreateSharedMemory, false, {}},
    {"worker thread", "KERNEL32.dll", "CreateThread", kNull, CreateWorker, false, {}},
    {"a pool's third thread", "KERNEL32.dll", "CreateThread", Nth(kNull, 3), CreatePool, false,
     {}},
    {"popup monitor worker", "KERNEL32.dll", "CreateThread", kNull, StartPopupMonitor, false,
     {"[ERROR]     : Failed to create a worker thread for popup monitor."}},
    {"computer name", "KERNEL32.dll", "GetComputerNameW", kFalse, CreateTempDirectory, true,
     {"[ERROR]     : Failed to get computer name."}},
    {"working directory read", "KERNEL32.dll", "GetCurrentDirectoryW", Once(kNull),
     TempDirectoryTornDown, true,
     {"[WARNING]   : Failed to get current working directory: {error}"}},
    {"working directory change", "KERNEL32.dll", "SetCurrentDirectoryW", Once(kFalse),
     TempDirectoryTornDown, true,
     {"[WARNING]   : Failed to set current working directory: {parent}"}},
    {"move", "KERNEL32.dll", "MoveFileW", kFalse, MoveToNew, false,
     {"[ERROR]     : Failed to move file. {error}: {from} => {to}"}},
    {"overwrite", "KERNEL32.dll", "DeleteFileW", kFalse, MoveOverExisting, false,
     {"[ERROR]     : Could not overwrite existing file: {to}"}},
    {"storage source times", "KERNEL32.dll", "CreateFileW", Once(kInvalid), CopyStorage, false,
     {"[ERROR]     : Failed to open a file to read: {source}"}},
    {"storage source timestamp", "KERNEL32.dll", "GetFileTime", kFalse, CopyStorage, false,
     {"[ERROR]     : Failed to get file timestamp: {source}"}},
    {"storage read", "ole32.dll", "StgOpenStorageEx", kComFailure, CopyStorage, false,
     {"[ERROR]     : Failed to open a structured storage to read: {source}"}},
    {"storage write", "ole32.dll", "StgCreateDocfile", kComFailure, CopyStorage, false,
     {"[ERROR]     : Failed to open a structured storage to write: {target}"}},
    {"storage target times", "KERNEL32.dll", "CreateFileW", Once(Nth(kInvalid, 2)), CopyStorage,
     false, {"[ERROR]     : Failed to open a file to read: {target}"}},
    {"storage target timestamp", "KERNEL32.dll", "SetFileTime", kFalse, CopyStorage, false,
     {"[ERROR]     : Failed to set file timestamp: {target}"}},
    {"folder window", "SHELL32.dll", "SHOpenFolderAndSelectItems", Times(kComFailure, 2),
     RevealRefused, true,
     {"[ERROR]     : Failed to open and select an item: {a}",
      "[ERROR]     : Failed to open and select an item: {b}"}},
    {"long directory delete", "SHELL32.dll", "SHFileOperationW", Fault{ERROR_ACCESS_DENIED, 0},
     DeleteLongDirectory, false,
     {"[ERROR]     : Could not remove a directory whose path exceeds MAX_PATH=260 characters: "
      "{short}"}},
    {"version search", "KERNEL32.dll", "FindFirstFileW", Once(kInvalid), FindLatest, true,
     {"[ERROR]     : {error}"}},
    {"log console", "KERNEL32.dll", "AllocConsole", kFalse, EchoWithoutConsole, true, {}},
    {"log identity", "KERNEL32.dll", "GetShortPathNameW", kNull, LogWithoutShortPath, true, {}},
    {"log file", "msvcrt.dll", "_wfsopen", Once(Nth(kNull, 2)), OpenLogger, false, {}},
};
// clang-format on

void PrintTo(const Row& row, std::ostream* out) { *out << row.failure; }

class Faults : public ::testing::TestWithParam<Row> {};

TEST_P(Faults, FailAsDocumented) {
    const Row& row = GetParam();
    ProcessLog::NewLines();
    g_values = {{"error", katest::Narrow(ka::SystemErrorText(row.fault.error))}};
    katest::ImportFault fault(katest::LibraryModule(), row.dll, row.function, [&] {
        Fault f = row.fault;
        f.thread = ::GetCurrentThreadId();
        return f;
    }());
    ASSERT_TRUE(fault.Patched()) << "the library does not import " << row.function;
    EXPECT_EQ(row.call(), row.result);
    // Every call fails unless the row limits them; then it says how many.
    unsigned failures = row.fault.failures == ~0u ? 1u : row.fault.failures;
    EXPECT_EQ(fault.Failed(), failures) << "calls failed";
    Lines log = ProcessLog::NewLines();
    // Lines the created objects log on their own (a temporary directory's
    // "Created temp directory") are not the failure's.
    std::erase_if(log, [](const std::string& line) { return line.find("[INFO]") == 0; });
    // The system's text keeps its CR LF, so a message that embeds it reads
    // back as two lines, the first ending in the CR.
    Lines expected;
    for (std::string line : row.log) {
        for (const auto& [key, value] : g_values) {
            std::string mark = "{" + key + "}";
            for (size_t at; (at = line.find(mark)) != std::string::npos;) {
                line.replace(at, mark.size(), value);
            }
        }
        size_t from = 0;
        for (size_t at; (at = line.find('\n', from)) != std::string::npos; from = at + 1) {
            expected.push_back(line.substr(from, at - from));
        }
        expected.push_back(line.substr(from));
    }
    EXPECT_EQ(log, expected);
}

INSTANTIATE_TEST_SUITE_P(Library, Faults, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             std::string name = info.param.failure;
                             for (char& c : name) c = std::isalnum(c) ? c : '_';
                             return name;
                         });

}  // namespace

static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);

namespace {

// The leak check itself, run in a child: a test that keeps a string the
// library made fails, the same test that releases it passes.
bool g_keepString = false;

TEST(DISABLED_LeakCheck, KeepsAStringOrNot) {
    KaString* kept = nullptr;
    ASSERT_TRUE(System()->GetFileSystem()->GetFileName(L"C:\\folder\\kept.txt", &kept));
    if (!g_keepString) kept->Release();
}

KA_CHILD_MODE(leak_check) {
    g_keepString = args == L"keep";
    char name[] = "fault_test", filter[] = "--gtest_filter=DISABLED_LeakCheck.*",
         disabled[] = "--gtest_also_run_disabled_tests";
    char* argv[] = {name, filter, disabled, nullptr};
    int argc = 3;
    ::testing::InitGoogleTest(&argc, argv);
    katest::InstallLeakCheck();
    return RUN_ALL_TESTS() == 0 ? katest::kChildOk : katest::kChildOk + 1;
}

TEST(LeakCheck, FailsATestThatKeepsALibraryObject) {
    EXPECT_EQ(katest::RunChild("leak_check", L"release"), katest::kChildOk)
        << "a clean test failed";
    EXPECT_EQ(katest::RunChild("leak_check", L"keep"), katest::kChildOk + 1)
        << "a kept string went unnoticed";
}

}  // namespace
