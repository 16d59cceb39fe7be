// The KaObject reference count shared by every object class, and the
// creating-operation "dance" that hands a new object out with one reference.
#ifndef KA_FRAME_REF_COUNTED_H
#define KA_FRAME_REF_COUNTED_H

#include "frame/library_thread.h"
#include "frame/services.h"
#include "ka/object.h"

#include <atomic>
#include <cassert>
#include <new>

namespace ka {

// Derived: the concrete class (CRTP), so the destroying slot can run its
// destructor. Interface: the KaObject-derived table it implements. The count
// sits right after the table pointer, as the object model requires.
template <typename Derived, typename Interface>
class RefCounted : public Interface {
public:
    void AddRef() override { count_.fetch_add(1, std::memory_order_relaxed); }
    int32_t Release() override {
        int32_t now = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        assert(now >= 0 && "released more often than referenced");
        if (now <= 0) this->Destroy(KA_DESTROY_FREE);
        return now;
    }
    int32_t GetRefCount() override { return count_.load(std::memory_order_acquire); }
    void Destroy(uint32_t flags) override {
        Derived* self = static_cast<Derived*>(this);
        self->~Derived();
        if (flags & KA_DESTROY_FREE) ::operator delete(self);
    }

protected:
    RefCounted() = default;
    ~RefCounted() = default;

    // The destroying operation of an object whose last reference can go on a
    // thread that its own teardown waits for (a thread cannot join itself):
    // when `onOwnThread`, the ordinary teardown runs on a new library thread,
    // which nobody waits for. When no thread can be started, the object is
    // left as it is, "A <what> released on its own thread is left running"
    // is logged, and false comes back, so the caller may still stop what it
    // can; otherwise true.
    bool DestroyOffOwnThread(uint32_t flags, bool onOwnThread, const wchar_t* what) {
        if (!onOwnThread) {
            RefCounted::Destroy(flags);
            return true;
        }
        if (DestroyOnLibraryThread(flags)) return true;
        Log()->PrintfW(LogCategory::ERROR, 0,
                       L"A %s released on its own thread is left running: no thread for its "
                       L"teardown (error %lu)",
                       what, ::GetLastError());
        return false;
    }

private:
    bool DestroyOnLibraryThread(uint32_t flags) {
        struct Job {
            RefCounted* self;
            uint32_t flags;
        };
        auto* job = new (std::nothrow) Job{this, flags};
        if (job == nullptr) return false;
        auto run = [](void* parameter) {
            Job done = *static_cast<Job*>(parameter);
            delete static_cast<Job*>(parameter);
            done.self->RefCounted::Destroy(done.flags);
        };
        if (StartLibraryThread(run, job)) return true;
        delete job;
        return false;
    }

    std::atomic<int32_t> count_{0};
};

// Construct (count 0), AddRef, init; on success AddRef again and store into
// *out; then drop the working reference. A failed init destroys the object
// and leaves *out untouched. init is called with the object.
template <typename T, typename Out, typename Init>
bool HandOut(T* object, Out** out, Init&& init) {
    if (object == nullptr) return false;
    object->AddRef();
    bool ok = init(*object);
    if (ok) {
        object->AddRef();
        *out = object;
    }
    object->Release();  // the working reference of the dance, not an owner's
    return ok;
}

// Allocates and constructs without throwing: no exception may cross an
// interface. A constructor that throws (it copies a text that does not fit)
// gives null too.
template <typename T, typename... Args>
T* NewObject(Args&&... args) noexcept {
    try {
        return new T(std::forward<Args>(args)...);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace ka

#endif
