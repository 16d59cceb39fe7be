// The parts of the support code that load the library. Kept apart from the
// rest on purpose: an executable links this object only when it calls
// System() (or uses ProcessLog), so suites that link the library's objects
// instead never load the DLL, and only the others register the warm-up.
#include "frame/win32_util.h"
#include "host/ka_library.h"
#include "support/ka_test.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace katest {

KaSystem* System() {
    static KaSystem* root = [] {
        ka::LibraryLoad load = ka::LoadKaSystem();
        if (!load) {
            std::fprintf(stderr, "katest: %ls\n",
                         ka::DescribeLoadFailure(load, ka::SystemErrorText(load.error)).c_str());
            std::fflush(stderr);
            std::exit(3);
        }
        CountLibraryHeap();  // from its first object on
        return load.system;
    }();
    return root;
}

intptr_t LiveBlocks() { return System()->ForwardAllocatorSlot6(); }

namespace {

void WarmUpLibrary() {
    // The process-wide logger keeps its file, named mutex and shared counter
    // until the process ends.
    System()->GetLogger();
    // The library's own copy of the unwinder makes its locks on the first
    // exception it throws (a pattern that does not compile is caught inside).
    KaRegex* regex = nullptr;
    if (System()->GetStringUtil()->CreateRegex(L"(", &regex)) regex->Release();
    // The matcher keeps up to 16 blocks of its backtracking stack for the
    // next search; a long subject fills that cache now.
    KaRegexMatch* match = nullptr;
    std::wstring subject(200000, L'a');
    if (System()->GetStringUtil()->SearchPattern(subject.c_str(), L"^(a|b)*$", &match)) {
        match->Release();
    }
    // Services made on first use and kept until the module goes (the
    // logger's shared state asks for the last two).
    System()->GetHasher();
    System()->GetProcessService();
}

[[maybe_unused]] const bool kWarmUpRegistered = (AddWarmUp(&WarmUpLibrary), true);

}  // namespace

std::wstring ProcessLog::path_;
size_t ProcessLog::seen_ = 0;

void ProcessLog::SetUp() {
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    path_ = std::wstring(base) + L"katest_process_" + std::to_wstring(::GetCurrentProcessId()) +
            L".log";
    ::DeleteFileW(path_.c_str());
    ::SetEnvironmentVariableW(L"KAV_QMT_LOG_FILE", path_.c_str());
    wchar_t open[512];
    ASSERT_TRUE(System()->GetLogger()->GetFilePath(open))
        << "the process-wide logger was created before the test environment";
}

void ProcessLog::TearDown() {
    System()->GetLogger()->Open(nullptr);
    ::DeleteFileW(path_.c_str());
    ::SetEnvironmentVariableW(L"KAV_QMT_LOG_FILE", nullptr);
}

std::vector<std::string> ProcessLog::NewLines() {
    std::vector<std::string> all = ReadLines(path_);
    std::vector<std::string> fresh(all.begin() + std::min(seen_, all.size()), all.end());
    seen_ = all.size();
    return fresh;
}

}  // namespace katest
