// Owner types for kernel resources: the "empty" value is part of the type,
// so no code closes a handle by hand on a failure branch.
#ifndef KA_FRAME_HANDLES_H
#define KA_FRAME_HANDLES_H

#include "frame/win32.h"

#include <utility>

namespace ka {

// Traits: type, Empty (what reset() stores), Valid(v), Close(v).
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
    Type release() { return std::exchange(value_, Traits::Empty()); }
    void reset(Type value = Traits::Empty()) {
        Type old = std::exchange(value_, value);
        if (Traits::Valid(old)) Traits::Close(old);
    }

private:
    Type value_ = Traits::Empty();
};

namespace detail {
template <typename T, void (*CloseFn)(T)>
struct NullEmpty {
    using Type = T;
    static Type Empty() { return nullptr; }
    static bool Valid(Type v) { return v != nullptr; }
    static void Close(Type v) { CloseFn(v); }
};
// CreateFileW and FindFirstFileW answer INVALID_HANDLE_VALUE on failure.
template <void (*CloseFn)(HANDLE)>
struct InvalidEmpty {
    using Type = HANDLE;
    static Type Empty() { return INVALID_HANDLE_VALUE; }
    static bool Valid(Type v) { return v != INVALID_HANDLE_VALUE && v != nullptr; }
    static void Close(Type v) { CloseFn(v); }
};
inline void CloseKernelHandle(HANDLE h) { ::CloseHandle(h); }
inline void CloseFind(HANDLE h) { ::FindClose(h); }
inline void CloseLibrary(HMODULE h) { ::FreeLibrary(h); }
inline void CloseRegKey(HKEY h) { ::RegCloseKey(h); }
inline void UnmapView(void* p) { ::UnmapViewOfFile(p); }
inline void FreeLocal(void* p) { ::LocalFree(p); }
}  // namespace detail

using UniqueHandle = UniqueResource<detail::NullEmpty<HANDLE, detail::CloseKernelHandle>>;
using UniqueFile = UniqueResource<detail::InvalidEmpty<detail::CloseKernelHandle>>;
using UniqueFind = UniqueResource<detail::InvalidEmpty<detail::CloseFind>>;
using UniqueLibrary = UniqueResource<detail::NullEmpty<HMODULE, detail::CloseLibrary>>;
using UniqueRegKey = UniqueResource<detail::NullEmpty<HKEY, detail::CloseRegKey>>;
using UniqueView = UniqueResource<detail::NullEmpty<void*, detail::UnmapView>>;
using UniqueLocal = UniqueResource<detail::NullEmpty<void*, detail::FreeLocal>>;

}  // namespace ka

#endif
