// kahost: loads KaSystem.x64.dll exactly as a host of the family does and
// takes a short tour of what the library offers. Also a diagnostic tool:
// plain output, a clear message for every failure, and a non-zero exit code.
//
//   kahost [path-to-KaSystem.x64.dll]
#include "ka/ka.h"

#include <windows.h>

#include <share.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "kahost: %s (Win32 error %lu)\n", what, ::GetLastError());
    return 1;
}

bool TourMemory(KaSystem* system) {
    intptr_t before = system->ForwardAllocatorSlot6();
    void* block = system->Allocate(4096);
    auto* numbers = static_cast<uint32_t*>(system->AllocateArray(16, sizeof(uint32_t)));
    if (block == nullptr || numbers == nullptr) {
        std::fprintf(stderr, "kahost: the allocator handed out no memory (is KaAllocator.x64.dll"
                             " beside the library?)\n");
        system->Free(block);
        system->Free(numbers);
        return false;
    }
    for (uint32_t i = 0; i < 16; ++i) numbers[i] = i * i;
    uint32_t last = numbers[15];
    intptr_t during = system->ForwardAllocatorSlot6();
    system->Free(block);
    system->Free(numbers);
    intptr_t after = system->ForwardAllocatorSlot6();
    std::printf("memory:   4096 bytes and 16 numbers (last %u) through KaAllocator; live blocks "
                "%lld -> %lld -> %lld\n",
                last, static_cast<long long>(before),
                static_cast<long long>(during), static_cast<long long>(after));
    return after == before;
}

bool TourText(KaSystem* system) {
    KaStringUtil* text = system->GetStringUtil();
    const char* utf8 = "Gr\xC3\xBC\xC3\x9F" "e aus Z\xC3\xBCrich";
    wchar_t* wide = nullptr;
    if (!text->MultiByteToWide(utf8, CP_UTF8, &wide)) {
        std::fprintf(stderr, "kahost: UTF-8 conversion failed\n");
        return false;
    }
    std::printf("text:     %zu UTF-8 bytes -> %zu UTF-16 units\n", std::strlen(utf8),
                std::wcslen(wide));
    KaString* original = nullptr;
    KaString* upper = nullptr;
    bool ok = text->CreateString(wide, &original) && original->ToUpper(&upper);
    system->Free(wide);
    char* shown = nullptr;
    if (ok && upper->ToMultiByte(CP_UTF8, &shown)) {
        std::printf("case:     upper case under de-CH: %s (U+%04X for \xC3\xBC)\n", shown,
                    unsigned(text->ToUpper(L'\u00FC')));
        system->Free(shown);
    } else {
        std::fprintf(stderr, "kahost: case mapping failed\n");
        ok = false;
    }
    if (upper) upper->Release();
    if (original) original->Release();

    KaRegex* date = nullptr;
    wchar_t* replaced = nullptr;
    if (text->CreateRegex(L"(\\d{4})-(\\d{2})-(\\d{2})", &date) &&
        text->ReplaceAll(L"due 2026-12-05, paid 2026-12-24", date, L"$3.$2.$1", &replaced)) {
        std::printf("regex:    %ls\n", replaced);
        system->Free(replaced);
    } else {
        std::fprintf(stderr, "kahost: regular-expression replacement failed\n");
        ok = false;
    }
    if (date) date->Release();
    return ok;
}

void ShowFile(const wchar_t* path) {
    FILE* file = _wfsopen(path, L"rt", _SH_DENYNO);
    if (file == nullptr) return;
    char line[4096];
    while (std::fgets(line, sizeof line, file)) std::printf("  | %s", line);
    std::fclose(file);
}

bool TourLog(KaSystem* system) {
    wchar_t shared[1024];
    DWORD n = ::GetEnvironmentVariableW(L"KAV_QMT_LOG_FILE", shared, 1024);
    if (n > 0 && n < 1024) {
        KaLog* log = system->GetLogger();
        log->PrintfW(LogCategory::INFO, 0, L"kahost %s: tour of KaSystem %d", L"demo",
                     system->GetVersion());
        std::printf("log:      written to %ls (KAV_QMT_LOG_FILE):\n", shared);
        ShowFile(shared);
        return true;
    }
    wchar_t path[MAX_PATH];
    ::GetTempPathW(MAX_PATH, path);
    std::wcscat(path, L"kahost_tour.log");
    ::DeleteFileW(path);
    KaLog* log = nullptr;
    if (!system->CreateLogger(path, &log)) {
        std::fprintf(stderr, "kahost: CreateLogger failed\n");
        return false;
    }
    log->PrintfW(LogCategory::INFO, 0, L"kahost %s: tour of KaSystem %d", L"demo",
                 system->GetVersion());
    log->SetContextValue(L"step", L"log");
    log->Write(LogCategory::WARNING, 0, "a warning with a context value");
    log->SetContextValue(L"step", nullptr);
    log->Write(LogCategory::INFO, 6, "a verbose trace, filtered at threshold 0");
    log->SetOptions(2);
    log->Write(LogCategory::STATUS, 0, "a line with the timestamp option");
    log->Release();
    std::printf("log:      private logger on %ls (set KAV_QMT_LOG_FILE for the shared one):\n",
                path);
    ShowFile(path);
    ::DeleteFileW(path);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* path = argc > 1 ? argv[1] : L"KaSystem.x64.dll";
    HMODULE library = ::LoadLibraryW(path);
    if (library == nullptr) return Fail("cannot load KaSystem.x64.dll");
    auto getModule = reinterpret_cast<KaGetModuleFunction>(
        reinterpret_cast<void*>(::GetProcAddress(library, "KaGetModule")));
    if (getModule == nullptr) return Fail("KaSystem.x64.dll does not export KaGetModule");
    KaSystem* system = getModule();
    if (system == nullptr) return Fail("KaGetModule returned no root interface");
    if (!system->Initialize()) return Fail("Initialize failed");

    int status = 0;
    wchar_t modulePath[MAX_PATH] = {};
    ::GetModuleFileNameW(library, modulePath, MAX_PATH);
    std::printf("library:  %ls\n", modulePath);
    std::printf("version:  interface %d\n", system->GetVersion());

    UuidRecord uuid;
    if (system->CreateUuid(&uuid)) {
        std::printf("uuid:     %08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x\n", uuid.Data1,
                    uuid.Data2, uuid.Data3, uuid.Data4[0], uuid.Data4[1], uuid.Data4[2],
                    uuid.Data4[3], uuid.Data4[4], uuid.Data4[5], uuid.Data4[6], uuid.Data4[7]);
    } else {
        std::fprintf(stderr, "kahost: CreateUuid failed\n");
        status = 1;
    }

    system->SetThreadValue(42);
    std::printf("thread:   value %u stored in this thread's slot\n", system->GetThreadValue());

    if (!TourMemory(system)) status = 1;
    if (!TourText(system)) status = 1;
    if (!TourLog(system)) status = 1;

    system->Uninitialize();
    std::printf(status == 0 ? "tour complete\n" : "tour FAILED\n");
    return status;
}
