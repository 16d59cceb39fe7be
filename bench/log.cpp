// Logger costs: a filtered line must cost next to nothing, and a written line
// not much more than writing and flushing the same text by hand.
#include "bench.h"
#include "frame/silent_log.h"

#include <share.h>

#include <cstdio>
#include <string>

namespace {

// Hides the object's type from the optimiser, so every call goes through
// the table.
template <typename T>
T* Opaque(T* p) {
    asm volatile("" : "+r"(p));
    return p;
}

}  // namespace

int main() {
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
    kabench::Compare("filtered Write", [&] { real->Write(LogCategory::INFO, 5, "filtered"); },
                     [&] { none->Write(LogCategory::INFO, 5, "filtered"); }, n, "ns");
    kabench::Compare("filtered Printf",
                     [&] { real->Printf(LogCategory::INFO, 5, "filtered %d", 1); },
                     [&] { none->Printf(LogCategory::INFO, 5, "filtered %d", 1); }, n, "ns");
    kabench::Compare("filtered PrintfW",
                     [&] { real->PrintfW(LogCategory::INFO, 5, L"filtered %d", 1); },
                     [&] { none->PrintfW(LogCategory::INFO, 5, L"filtered %d", 1); }, n / 20,
                     "ns");

    // Written lines: the logger against fputs + fflush of the same composed
    // line to a file opened the same way (append, text mode, shared).
    FILE* file = _wfsopen(theirs.c_str(), L"at", _SH_DENYNO);
    const char* text = "a line of ordinary length, as a module would write it: 12345";
    const std::string composed = std::string("[INFO]      : ") + text;
    kabench::Compare(
        "written line", [&] { real->Write(LogCategory::INFO, 0, text); },
        [&] {
            std::fputs(composed.c_str(), file);
            std::fputc('\n', file);
            std::fflush(file);
        },
        20000, "lines/s");
    std::fclose(file);
    log->Release();
    ::DeleteFileW(ours.c_str());
    ::DeleteFileW(theirs.c_str());
    return 0;
}
