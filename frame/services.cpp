#include "frame/services.h"

#include "frame/boundary.h"
#include "frame/handles.h"
#include "frame/silent_log.h"

#include <atomic>
#include <cstring>

extern "C" KaSystem* KaGetModule();

namespace ka {
namespace {

std::atomic<KaSystem*> g_registered{nullptr};

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

// "bool ka::FileSystem::Delete(const wchar_t*)" names the slot as
// "ka::FileSystem::Delete": the word before the parameter list.
void ReportEscapedException(const char* what, const std::source_location& where) noexcept {
    const char* signature = where.function_name();
    const char* end = std::strchr(signature, '(');
    if (end == nullptr) end = signature + std::strlen(signature);
    const char* start = end;
    while (start > signature && start[-1] != ' ') --start;
    // Printf formats into a buffer on the stack: nothing here can throw again.
    Log()->Printf(LogCategory::ERROR, 0, "Operation failed in %.*s: %s", int(end - start), start,
                  what);
}

// The closer of SystemBuffer: the one place buffers go back.
void detail::FreeSystemBuffer(void* p) { System()->Free(p); }  // owner closer

}  // namespace ka
