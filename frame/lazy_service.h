// A service the module object owns and makes on first use: the process-wide
// logger, the process service, the SHA-1 hasher, the CPU counter.
#ifndef KA_FRAME_LAZY_SERVICE_H
#define KA_FRAME_LAZY_SERVICE_H

#include "frame/critical_section.h"

#include <atomic>

namespace ka {

// The first callers meet at the root's lock (recursive: making the logger
// asks for the process service and the hasher) and agree on one instance.
// Once the shut-down list has taken a service, nothing makes it again, so a
// late caller (the logger's last line) never re-creates one it destroyed;
// services later in the list may still be made (the logger, for the lines
// of the steps before its own).
template <typename Interface>
class LazyService {
public:
    // The instance, made by `make()` (which may answer null) on the first
    // call; null once taken.
    template <typename Make>
    Interface* Get(CriticalSection& rootLock, Make&& make) {
        if (Interface* made = instance_.load(std::memory_order_acquire)) return made;
        ScopedLock hold(rootLock);
        Interface* made = instance_.load(std::memory_order_relaxed);
        if (made == nullptr && !taken_.load(std::memory_order_acquire)) {
            made = make();
            instance_.store(made, std::memory_order_release);
        }
        return made;
    }
    // The instance if one was made, without making it.
    Interface* Peek() const { return instance_.load(std::memory_order_acquire); }
    // For the shut-down list: the instance to destroy, or null, for good.
    // Without the lock: at process exit a thread that held it may be gone.
    Interface* Take() {
        taken_.store(true, std::memory_order_release);
        return instance_.exchange(nullptr, std::memory_order_acq_rel);
    }

private:
    std::atomic<Interface*> instance_{nullptr};
    std::atomic<bool> taken_{false};
};

}  // namespace ka

#endif
