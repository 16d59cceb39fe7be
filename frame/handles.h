// Owner types for every resource the library holds: kernel handles, modules,
// registry keys, views, CRT files and descriptors, buffers from the
// allocator, and references on KaObjects. The "empty" value is part of the
// type, so no code closes or releases by hand on a failure branch.
#ifndef KA_FRAME_HANDLES_H
#define KA_FRAME_HANDLES_H

#include "frame/win32.h"

#include <io.h>

#include <atomic>
#include <cassert>
#include <cstdio>
#include <utility>

namespace ka {

// Traits: Type, Empty() (what reset() stores), Valid(v), Close(v).
template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() = default;
    explicit UniqueResource(Type value) : value_(value) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueResource() { reset(); }

    Type get() const { return value_; }
    explicit operator bool() const { return Traits::Valid(value_); }
    // Gives up ownership; the caller takes over the close.
    [[nodiscard]] Type release() { return std::exchange(value_, Traits::Empty()); }
    // Closes what is held. The thread's last error survives the close, so a
    // failure path can reset its owners and still report the original error.
    void reset(Type value = Traits::Empty()) {
        Type old = std::exchange(value_, value);
        if (Traits::Valid(old)) {
            DWORD error = ::GetLastError();
            Traits::Close(old);
            ::SetLastError(error);
        }
    }
    // For out-parameters (CreatePipe, DuplicateHandle, RegOpenKeyExW, ...):
    // closes what is held and hands out the empty slot to be filled.
    Type* put() {
        reset();
        return &value_;
    }

private:
    Type value_ = Traits::Empty();
};

namespace detail {
template <typename T, auto CloseFn>
struct NullEmpty {
    using Type = T;
    static Type Empty() { return nullptr; }
    static bool Valid(Type v) { return v != nullptr; }
    static void Close(Type v) { CloseFn(v); }
};
// CreateFileW, FindFirstFileW and CreateToolhelp32Snapshot answer
// INVALID_HANDLE_VALUE on failure; null is never valid either.
template <auto CloseFn>
struct InvalidEmpty {
    using Type = HANDLE;
    static Type Empty() { return INVALID_HANDLE_VALUE; }
    static bool Valid(Type v) { return v != INVALID_HANDLE_VALUE && v != nullptr; }
    static void Close(Type v) { CloseFn(v); }
};
struct Descriptor {
    using Type = int;
    static Type Empty() { return -1; }
    static bool Valid(Type v) { return v >= 0; }
    static void Close(Type v) { ::_close(v); }
};
// A failed close of an owned handle means it was closed twice, or was never
// this owner's to close: a bug, which the debug build stops at.
inline void CloseKernelHandle(HANDLE h) {
    [[maybe_unused]] BOOL closed = ::CloseHandle(h);
    assert(closed && "an owned handle that could not be closed");
}
inline void CloseFind(HANDLE h) { ::FindClose(h); }
inline void CloseLibrary(HMODULE h) { ::FreeLibrary(h); }
inline void CloseRegKey(HKEY h) { ::RegCloseKey(h); }
inline void UnmapView(void* p) { ::UnmapViewOfFile(p); }
inline void FreeLocal(void* p) { ::LocalFree(p); }
inline void CloseCrtFile(FILE* f) { std::fclose(f); }
// Through the registered system interface, the only way buffers that the
// allocator handed out go back (defined in frame/services.cpp).
void FreeSystemBuffer(void* p);
}  // namespace detail

using UniqueHandle = UniqueResource<detail::NullEmpty<HANDLE, detail::CloseKernelHandle>>;
using UniqueFile = UniqueResource<detail::InvalidEmpty<detail::CloseKernelHandle>>;
using UniqueFind = UniqueResource<detail::InvalidEmpty<detail::CloseFind>>;
using UniqueLibrary = UniqueResource<detail::NullEmpty<HMODULE, detail::CloseLibrary>>;
using UniqueRegKey = UniqueResource<detail::NullEmpty<HKEY, detail::CloseRegKey>>;
using UniqueView = UniqueResource<detail::NullEmpty<void*, detail::UnmapView>>;
using UniqueLocal = UniqueResource<detail::NullEmpty<void*, detail::FreeLocal>>;
using UniqueCrtFile = UniqueResource<detail::NullEmpty<FILE*, detail::CloseCrtFile>>;
using UniqueDescriptor = UniqueResource<detail::Descriptor>;

// A buffer from KaSystem::Allocate/AllocateArray, freed with KaSystem::Free.
template <typename T>
using SystemBuffer = UniqueResource<detail::NullEmpty<T*, detail::FreeSystemBuffer>>;

// One reference on a KaObject (or on anything with AddRef/Release), dropped
// at scope end. Adopts the reference it is given; Share() takes a new one.
template <typename T>
class ObjectRef {
public:
    ObjectRef() = default;
    explicit ObjectRef(T* adopted) : object_(adopted) {}
    static ObjectRef Share(T* object) {
        if (object != nullptr) object->AddRef();
        return ObjectRef(object);
    }
    ObjectRef(const ObjectRef&) = delete;
    ObjectRef& operator=(const ObjectRef&) = delete;
    ObjectRef(ObjectRef&& other) noexcept : object_(other.release()) {}
    ObjectRef& operator=(ObjectRef&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~ObjectRef() { reset(); }

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    [[nodiscard]] T* release() { return std::exchange(object_, nullptr); }
    void reset(T* adopted = nullptr) {
        if (T* old = std::exchange(object_, adopted)) old->Release();
    }
    // For creating operations' out parameters: drops what is held first.
    T** put() {
        reset();
        return &object_;
    }

private:
    T* object_ = nullptr;
};

// A thread-local-storage slot, freed with its owner. Allocated at once, or
// on first use by whichever racing caller gets there first.
class TlsSlot {
public:
    TlsSlot() = default;
    TlsSlot(const TlsSlot&) = delete;
    TlsSlot& operator=(const TlsSlot&) = delete;
    ~TlsSlot() { reset(); }

    DWORD get() const { return index_.load(std::memory_order_acquire); }
    explicit operator bool() const { return get() != TLS_OUT_OF_INDEXES; }
    // The slot, allocated now if it was not yet; TLS_OUT_OF_INDEXES when the
    // system has none left.
    DWORD GetOrAllocate() {
        DWORD index = get();
        if (index != TLS_OUT_OF_INDEXES) return index;
        DWORD made = ::TlsAlloc();
        if (made == TLS_OUT_OF_INDEXES) return made;
        if (index_.compare_exchange_strong(index, made, std::memory_order_acq_rel)) return made;
        ::TlsFree(made);  // another caller's slot won
        return index;
    }
    void reset() {
        DWORD index = index_.exchange(TLS_OUT_OF_INDEXES, std::memory_order_acq_rel);
        if (index != TLS_OUT_OF_INDEXES) ::TlsFree(index);
    }

private:
    std::atomic<DWORD> index_{TLS_OUT_OF_INDEXES};
};

}  // namespace ka

#endif
