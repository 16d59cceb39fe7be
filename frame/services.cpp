#include "frame/services.h"

#include "frame/handles.h"
#include "frame/silent_log.h"

#include <atomic>

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

void detail::FreeSystemBuffer(void* p) { System()->Free(p); }

}  // namespace ka
