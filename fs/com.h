// COM for the length of one operation on the calling thread, and an owner
// for what the COM task allocator hands out (shell item identifier lists).
// COM interface pointers are held in ObjectRef (frame/handles.h), which
// releases anything with AddRef/Release. Kept apart from frame/handles.h so
// that only the units that use COM pay for <objbase.h>.
#ifndef KA_FS_COM_H
#define KA_FS_COM_H

#include "frame/handles.h"
#include "frame/win32.h"

#include <objbase.h>

namespace ka {

// Initialises COM on this thread in `model` and balances it with one
// CoUninitialize, only when the initialisation succeeded (S_OK, or S_FALSE
// for a thread already in that model). A thread in the other model gets an
// error, which is not balanced; the operation goes on regardless.
class ComApartment {
public:
    explicit ComApartment(DWORD model) {
        HRESULT result = ::CoInitializeEx(nullptr, model | COINIT_DISABLE_OLE1DDE);
        initialised_ = result == S_OK || result == S_FALSE;
    }
    ~ComApartment() {
        if (initialised_) ::CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool initialised_;
};

namespace detail {
inline void FreeTaskMemory(void* p) { ::CoTaskMemFree(p); }
}  // namespace detail

template <typename T>
using UniqueTaskMemory = UniqueResource<detail::NullEmpty<T*, detail::FreeTaskMemory>>;

}  // namespace ka

#endif
