#include "frame/library_thread.h"

#include <new>

namespace ka {
namespace {

struct ThreadStart {
    LibraryThreadBody body;
    void* context;
    HMODULE pin;
};

DWORD WINAPI LibraryThreadMain(void* parameter) {
    auto* start = static_cast<ThreadStart*>(parameter);
    HMODULE pin = start->pin;
    start->body(start->context);
    delete start;
    // Drops the pin and ends the thread without returning into code that the
    // drop may just have unmapped.
    ::FreeLibraryAndExitThread(pin, 0);
}

}  // namespace

UniqueHandle StartLibraryThread(LibraryThreadBody body, void* context, size_t stackReserve) {
    HMODULE self = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(&LibraryThreadMain), &self)) {
        return UniqueHandle();
    }
    UniqueLibrary pin(self);
    auto* start = new (std::nothrow) ThreadStart{body, context, self};
    if (start == nullptr) return UniqueHandle();
    UniqueHandle thread(::CreateThread(nullptr, stackReserve, LibraryThreadMain, start,
                                       stackReserve ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0,
                                       nullptr));
    if (!thread) {
        delete start;
        return thread;
    }
    (void)pin.release();  // the thread drops it as it leaves
    return thread;
}

}  // namespace ka
