#include "frame/services.h"

#include <atomic>

extern "C" KaSystem* KaGetModule();

namespace ka {
namespace {

std::atomic<KaSystem*> g_registered{nullptr};

// Swallows every line; lives for the whole process.
class SilentLog final : public KaLog {
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
    int GetLevel() override { return -1; }
    void SetLevel(int) override {}
    void Destroy(uint32_t) override {}
};

SilentLog g_silentLog;

}  // namespace

KaSystem* System() {
    // Before Initialize and after Uninitialize (the module's shut-down runs
    // after it, and its logger still writes a last line) the module's own root
    // stands in: it is the only root a registration could ever name.
    KaSystem* registered = g_registered.load(std::memory_order_acquire);
    return registered ? registered : KaGetModule();
}

void RegisterSystem(KaSystem* root) { g_registered.store(root, std::memory_order_release); }

KaLog* Log() {
    KaLog* log = System()->GetLogger();
    return log ? log : &g_silentLog;
}

}  // namespace ka
