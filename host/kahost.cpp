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
#include <string>

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

bool WriteText(KaFileStreamFactory* streams, const std::wstring& path, const std::string& text) {
    KaStream* out = nullptr;
    if (!streams->OpenFileStream(&out, path.c_str(), L"wb")) return false;
    bool ok = out->Write(text.data(), text.size(), nullptr) && out->Flush();
    out->Release();
    return ok;
}

std::string ReadText(KaFileStreamFactory* streams, const std::wstring& path) {
    KaStream* in = nullptr;
    if (!streams->OpenFileStream(&in, path.c_str(), L"rb")) return "<cannot open>";
    char buffer[256];
    size_t got = 0;
    std::string text = in->Read(buffer, sizeof buffer, &got) ? std::string(buffer, got) : "";
    in->Release();
    return text;
}

// A small tree is copied whole (the shell works on short names), one of its
// files is copied on to a path beyond MAX_PATH (plain file calls take the
// long form), read back through a stream, and everything is deleted.
bool TourFiles(KaSystem* system) {
    KaFileSystem* fs = system->GetFileSystem();
    KaFileStreamFactory* streams = system->GetFileStreams();
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring root =
        std::wstring(temp) + L"kahost_tour_" + std::to_wstring(::GetCurrentProcessId());
    std::wstring tree = root + L"\\tree";
    const std::string text = "read back through a KaStream from beyond MAX_PATH";
    bool ok = fs->CreateDirectories((tree + L"\\sub").c_str()) &&
              WriteText(streams, tree + L"\\sub\\note.txt", text) &&
              WriteText(streams, tree + L"\\top.txt", "top");
    std::wstring copy = root + L"\\copy";
    ok = ok && fs->Copy(tree.c_str(), copy.c_str()) &&
         fs->FileExists((copy + L"\\sub\\note.txt").c_str());
    std::printf("files:    tree copied with the shell: %s\n", ok ? "yes" : "NO");

    std::wstring deep = root + L"\\" + std::wstring(150, L'd');
    std::wstring distant = deep + L"\\" + std::wstring(100, L'f') + L".txt";
    bool farOk = ok && fs->CreateDirectories(deep.c_str()) &&
                 fs->Copy((copy + L"\\sub\\note.txt").c_str(), distant.c_str());
    std::string back = farOk ? ReadText(streams, distant) : std::string();
    std::printf("files:    a file of %zu path characters reads \"%s\"\n", distant.size(), back.c_str());
    bool removed = fs->Delete(distant.c_str()) && fs->Delete(root.c_str()) &&
                   !fs->PathExists(root.c_str());
    std::printf("files:    temporary tree %s\n", removed ? "deleted" : "NOT deleted");
    if (!(ok && farOk && back == text)) std::fprintf(stderr, "kahost: the file tour failed\n");
    return ok && farOk && back == text && removed;
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
    if (!TourFiles(system)) status = 1;

    system->Uninitialize();
    std::printf(status == 0 ? "tour complete\n" : "tour FAILED\n");
    return status;
}
