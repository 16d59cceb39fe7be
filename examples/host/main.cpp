// The smallest host: load the library, take its root, use a few services, leave.
// The library's header comes before <windows.h> here and after it in
// windows_first.cpp: CreateMutex compiles under both orders.
#include "ka/ka.h"

#include <windows.h>

#include <cstdio>

bool MakeMutexWindowsFirst(KaSystem* system);

int main() {
    HMODULE dll = LoadLibraryW(L"KaSystem.x64.dll");
    auto getModule = dll ? reinterpret_cast<KaGetModuleFunction>(
                               reinterpret_cast<void*>(GetProcAddress(dll, "KaGetModule")))
                         : nullptr;
    KaSystem* system = getModule ? getModule() : nullptr;
    if (system == nullptr || !system->Initialize()) {
        std::fprintf(stderr, "cannot load KaSystem.x64.dll (Win32 error %lu)\n", GetLastError());
        return 1;
    }
    UuidRecord id = {};
    void* buffer = system->Allocate(256);  // memory comes from KaAllocator.x64.dll
    bool ok = system->CreateUuid(&id) && buffer != nullptr;
    KaMutex* mutex = nullptr;
    bool mutexes = system->CreateMutex(&mutex, L"ka_example") && MakeMutexWindowsFirst(system);
    if (mutex != nullptr) mutex->Release();
    std::printf("KaSystem interface %d, uuid %08lx-%04x-%04x, 256 bytes %s, mutexes %s\n",
                system->GetVersion(), static_cast<unsigned long>(id.Data1), id.Data2, id.Data3,
                buffer ? "allocated and freed" : "NOT allocated",
                mutexes ? "made in both include orders" : "NOT made");
    system->Free(buffer);
    system->Uninitialize();  // the last call a host makes
    return ok && mutexes ? 0 : 1;
}
