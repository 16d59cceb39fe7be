// The other include order, with UNICODE: <windows.h> has already turned
// CreateMutex into CreateMutexW when the library's header is read.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

#include "ka/ka.h"

bool MakeMutexWindowsFirst(KaSystem* system) {
    KaMutex* mutex = nullptr;
    if (!system->CreateMutex(&mutex, L"ka_example_windows_first")) return false;
    mutex->Release();
    return true;
}
