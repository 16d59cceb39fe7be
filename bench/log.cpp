// Logger costs: a filtered line must cost next to nothing, and a written line
// not much more than writing and flushing the same text by hand under a named
// mutex, as every line to a file takes the file's named mutex. The same line
// against a bare fputs + fflush shows what that mutex costs. A line to a
// shared file costs one mutex round trip, like a hand-written fprintf under a
// named mutex, with one process writing and with two.
#include "bench.h"
#include "frame/silent_log.h"

#include <share.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Hides the object's type from the optimiser, so every call goes through
// the table.
template <typename T>
T* Opaque(T* p) {
    asm volatile("" : "+r"(p));
    return p;
}

constexpr const char* kSharedText = "a line of ordinary length, as a module would write it: 12345";
constexpr int kSharedLines = 3000;

// A line of the shared case. "ours": through a logger opened on the shared
// file (its named mutex, its counter). The baseline: fprintf + fflush of the
// composed line under a named mutex of our own, on a file opened the same way.
struct SharedWriter {
    bool ours;
    KaLog* log = nullptr;
    FILE* file = nullptr;
    ka::UniqueHandle mutex;

    SharedWriter(bool ours, const std::wstring& path) : ours(ours) {
        if (ours) {
            kabench::System()->CreateLogger(path.c_str(), &log);
        } else {
            file = _wfsopen(path.c_str(), L"at", _SH_DENYNO);
            mutex.reset(::CreateMutexW(nullptr, FALSE, L"kabench_log_shared_baseline"));
        }
    }
    ~SharedWriter() {
        if (log != nullptr) log->Release();  // the benchmark's own reference
        if (file != nullptr) std::fclose(file);
    }
    bool ready() const { return ours ? log != nullptr : file != nullptr && mutex; }
    void Line() {
        if (ours) {
            log->Write(LogCategory::INFO, 0, kSharedText);
            return;
        }
        ::WaitForSingleObject(mutex.get(), INFINITE);
        std::fprintf(file, "[INFO]      : %s\n", kSharedText);
        std::fflush(file);
        ::ReleaseMutex(mutex.get());
    }
};

std::wstring SharedPath(bool ours) {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) +
           (ours ? L"kabench_log_shared_ours.log" : L"kabench_log_shared_base.log");
}

// The second process: "--shared-child ours|baseline <event prefix>". Opens
// its writer, says it is ready, writes when told to go.
int SharedChild(bool ours, const std::wstring& events) {
    SharedWriter writer(ours, SharedPath(ours));
    ka::UniqueHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (events + L"_ready").c_str()));
    ka::UniqueHandle go(::OpenEventW(SYNCHRONIZE, FALSE, (events + L"_go").c_str()));
    if (!writer.ready() || !ready || !go) return 2;
    ::SetEvent(ready.get());
    if (::WaitForSingleObject(go.get(), 60000) != WAIT_OBJECT_0) return 3;
    for (int i = 0; i < kSharedLines; ++i) writer.Line();
    return 0;
}

// Seconds per line in this process while a second process writes the same
// kind of lines to the same file; the median of `repetitions` runs. Negative
// when the second process failed. A second process that cannot be started
// (Wine's CreateProcessW fails with error 1359 now and then on a loaded
// machine) is started again, up to 20 times.
double TimeAgainstSecondProcess(SharedWriter& writer, int repetitions) {
    std::wstring events = L"kabench_log_" + std::to_wstring(::GetCurrentProcessId());
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::vector<double> times;
    for (int r = 0; r < repetitions; ++r) {
        ka::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, (events + L"_ready").c_str()));
        ka::UniqueHandle go(::CreateEventW(nullptr, TRUE, FALSE, (events + L"_go").c_str()));
        std::wstring command = L"\"" + std::wstring(self) + L"\" --shared-child " +
                               (writer.ours ? L"ours " : L"baseline ") + events;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        for (int attempt = 0; !::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                                nullptr, nullptr, &startup, &info);
             ++attempt) {
            if (attempt == 20) return -1;
            ::Sleep(50);
        }
        ka::UniqueHandle process(info.hProcess), thread(info.hThread);
        HANDLE either[2] = {ready.get(), process.get()};
        if (::WaitForMultipleObjects(2, either, FALSE, 60000) != WAIT_OBJECT_0) return -1;
        ::SetEvent(go.get());
        double start = kabench::Now();
        for (int i = 0; i < kSharedLines; ++i) writer.Line();
        times.push_back((kabench::Now() - start) / kSharedLines);
        DWORD code = 1;
        ::WaitForSingleObject(process.get(), 60000);
        if (!::GetExitCodeProcess(process.get(), &code) || code != 0) return -1;
    }
    return kabench::Median(times);
}

int BenchShared() {
    ::DeleteFileW(SharedPath(true).c_str());
    ::DeleteFileW(SharedPath(false).c_str());
    int status = 0;
    {
        SharedWriter ours(true, SharedPath(true)), baseline(false, SharedPath(false));
        if (!ours.ready() || !baseline.ready()) {
            std::fprintf(stderr, "bench log shared: cannot open the shared files\n");
            return 1;
        }
        kabench::Compare(
            "log shared 1 process", [&] { ours.Line(); }, [&] { baseline.Line(); }, kSharedLines,
            "lines/s", 0, 5);
        double mine = TimeAgainstSecondProcess(ours, 5);
        double theirs = TimeAgainstSecondProcess(baseline, 5);
        if (mine < 0) {
            std::fprintf(stderr, "bench log shared: our second process failed\n");
            status = 1;
        } else if (theirs < 0) {
            std::fprintf(stderr,
                         "bench log shared: the baseline's second process failed; no "
                         "figure\n");
        } else {
            std::printf(
                "bench log shared 2 processes: ours %.3f lines/s, baseline %.3f lines/s, "
                "ratio %.3f\n",
                1 / mine, 1 / theirs, mine / theirs);
        }
    }
    ::DeleteFileW(SharedPath(true).c_str());
    ::DeleteFileW(SharedPath(false).c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--shared-child") == 0) {
        std::string events = argv[3];
        return SharedChild(std::strcmp(argv[2], "ours") == 0,
                           std::wstring(events.begin(), events.end()));
    }
    KaSystem* system = kabench::System();
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring ours = std::wstring(temp) + L"kabench_log_ours.log";
    std::wstring theirs = std::wstring(temp) + L"kabench_log_fputs.log";
    ::DeleteFileW(ours.c_str());
    ::DeleteFileW(theirs.c_str());

    KaLog* log = nullptr;
    if (!system->CreateLogger(ours.c_str(), &log)) return 1;
    ka::SilentLog empty;  // the baseline: the same slots, doing nothing
    KaLog* real = Opaque(log);
    KaLog* none = Opaque(static_cast<KaLog*>(&empty));
    const int n = 2000000;
    kabench::Compare(
        "log filtered Write", [&] { real->Write(LogCategory::INFO, 5, "filtered"); },
        [&] { none->Write(LogCategory::INFO, 5, "filtered"); }, n, "ns");
    kabench::Compare(
        "log filtered Printf", [&] { real->Printf(LogCategory::INFO, 5, "filtered %d", 1); },
        [&] { none->Printf(LogCategory::INFO, 5, "filtered %d", 1); }, n, "ns");
    kabench::Compare(
        "log filtered PrintfW", [&] { real->PrintfW(LogCategory::INFO, 5, L"filtered %d", 1); },
        [&] { none->PrintfW(LogCategory::INFO, 5, L"filtered %d", 1); }, n, "ns");

    // Written lines: the logger against fputs + fflush of the same composed
    // line to a file opened the same way (append, text mode, shared), once
    // under a named mutex of the baseline's own (what the logger does for
    // every line) and once bare.
    FILE* file = _wfsopen(theirs.c_str(), L"at", _SH_DENYNO);
    ka::UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, L"kabench_log_written_baseline"));
    if (file == nullptr || !mutex) return 1;
    const char* text = "a line of ordinary length, as a module would write it: 12345";
    const std::string composed = std::string("[INFO]      : ") + text;
    auto fputsLine = [&] {
        std::fputs(composed.c_str(), file);
        std::fputc('\n', file);
        std::fflush(file);
    };
    kabench::Compare(
        "log written line vs fputs+fflush under a named mutex",
        [&] { real->Write(LogCategory::INFO, 0, text); },
        [&] {
            ::WaitForSingleObject(mutex.get(), INFINITE);
            fputsLine();
            ::ReleaseMutex(mutex.get());
        },
        20000, "lines/s");
    kabench::Compare(
        "log written line vs bare fputs+fflush (ours takes a named mutex)",
        [&] { real->Write(LogCategory::INFO, 0, text); }, fputsLine, 20000, "lines/s");
    std::fclose(file);
    log->Release();
    ::DeleteFileW(ours.c_str());
    ::DeleteFileW(theirs.c_str());
    return BenchShared();
}
