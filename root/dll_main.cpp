// The library's entry point: only the shut-down happens here. Built into the
// DLL alone, so test executables that link the library's objects keep their
// own process life.
#include "root/module.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void* reserved) {
    // A non-null `reserved` on detach means the process is ending: its other
    // threads are gone already.
    if (reason == DLL_PROCESS_DETACH) ka::ShutDownModule(reserved != nullptr);
    return TRUE;
}
