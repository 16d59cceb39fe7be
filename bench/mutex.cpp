// Named mutex: an uncontended Lock/Unlock pair through KaMutex against
// WaitForSingleObject/ReleaseMutex on a second handle to the same kernel
// mutex. Both are one wineserver round trip each way; what KaMutex adds on
// top is a slot call and a branch or two.
#include "bench.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "bench mutex: %s (Win32 error %lu)\n", what, ::GetLastError());
    std::exit(1);
}

}  // namespace

int main() {
    KaSystem* system = kabench::System();
    const std::wstring name = L"kabench_mutex_" + std::to_wstring(::GetCurrentProcessId());
    KaMutex* mutex = nullptr;
    if (!system->CreateMutex(&mutex, name.c_str())) Die("CreateMutex");
    HANDLE raw = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mutex->GetName());
    if (raw == nullptr) Die("OpenMutexW of the KaMutex's own name");

    bool ok = true;
    auto ours = [&] { ok &= mutex->Lock(nullptr, 0) && mutex->Unlock(); };
    auto baseline = [&] {
        ok &= ::WaitForSingleObject(raw, INFINITE) == WAIT_OBJECT_0 && ::ReleaseMutex(raw);
    };
    kabench::Compare("mutex lock-unlock", ours, baseline, 2000, "us");
    ::CloseHandle(raw);  // the baseline's own handle
    mutex->Release();
    if (!ok) Die("a lock or unlock failed");
    return 0;
}
