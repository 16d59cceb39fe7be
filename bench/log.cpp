// Logger costs: a filtered line must cost next to nothing, and a written line
// not much more than writing and flushing the same text by hand.
#include "bench.h"

#include <share.h>

#include <cstdio>
#include <string>

namespace {

// The baseline for filtered lines: the same interface slots, doing nothing.
class EmptyLog final : public KaLog {
public:
    void AddRef() override {}
    int32_t Release() override { return 1; }
    int32_t GetRefCount() override { return 1; }
    void WriteW(LogCategory, int, const wchar_t*) override {}
    void Write(LogCategory, int, const char*) override {}
    void WriteRawW(int, const wchar_t*) override {}
    void WriteRaw(int, const char*) override {}
    void PrintfW(LogCategory, int, const wchar_t*, ...) override {}
    void Printf(LogCategory, int, const char*, ...) override {}
    void PrintfRawW(int, const wchar_t*, ...) override {}
    void PrintfRaw(int, const char*, ...) override {}
    bool GetFilePath(wchar_t*) override { return false; }
    bool Open(const wchar_t*) override { return false; }
    void SetOptions(uint32_t) override {}
    void ShowConsole(bool) override {}
    bool SetContextValue(const wchar_t*, const wchar_t*) override { return false; }
    bool SetLineValue(const wchar_t*, const wchar_t*) override { return false; }
    bool SetTagWidth(int) override { return true; }
    int GetLevel() override { return 0; }
    void SetLevel(int) override {}
    void Destroy(uint32_t) override {}
};

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
    EmptyLog empty;
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
