// Loads KaSystem.x64.dll exactly as a host of the family does (LoadLibraryW,
// the KaGetModule export, Initialize) and says which step failed, for which
// path and with which Win32 code. kahost, the test suites and the benchmarks
// all load the library through this one header.
//
// Header-only on purpose: the benchmarks compile nothing but their own file.
// Turning the code into text is left to the caller (ka::SystemErrorText in
// frame/win32_util.cpp is the one place that does it), so this header pulls
// in no FormatMessageW of its own.
#ifndef KA_HOST_KA_LIBRARY_H
#define KA_HOST_KA_LIBRARY_H

#include "frame/handles.h"
#include "frame/win32.h"
#include "ka/system.h"

#include <string>
#include <utility>

namespace ka {

// The steps, in the order a host takes them.
enum class LoadStep { kLoadLibrary, kFindEntryPoint, kGetModule, kInitialize, kDone };

inline const wchar_t* LoadStepName(LoadStep step) {
    switch (step) {
        case LoadStep::kLoadLibrary:
            return L"LoadLibraryW";
        case LoadStep::kFindEntryPoint:
            return L"GetProcAddress(\"KaGetModule\")";
        case LoadStep::kGetModule:
            return L"KaGetModule() returned no root interface";
        case LoadStep::kInitialize:
            return L"Initialize() returned false";
        case LoadStep::kDone:
            return L"loaded";
    }
    return L"?";
}

struct LibraryLoad {
    // The initialised root on success, null otherwise.
    KaSystem* system = nullptr;
    // The loaded module on success. It stays loaded for the rest of the
    // process: the library's objects and its shut-down live in it.
    HMODULE module = nullptr;
    // The first step that failed (kDone on success).
    LoadStep step = LoadStep::kLoadLibrary;
    // The path handed to LoadLibraryW, as given.
    std::wstring path;
    // GetLastError() right after the failed step; 0 for the two steps that
    // are calls into the library (they set no Win32 code).
    DWORD error = 0;

    explicit operator bool() const { return system != nullptr; }
};

// `path` is anything LoadLibraryW accepts: a bare name takes the normal DLL
// search (the executable's directory first). A module that loaded but failed
// a later step is unloaded again.
inline LibraryLoad LoadKaSystem(const wchar_t* path = L"KaSystem.x64.dll") {
    LibraryLoad load;
    load.path = path;
    UniqueLibrary module(::LoadLibraryW(path));
    if (!module) {
        load.error = ::GetLastError();
        return load;
    }
    auto getModule = ResolveExport<KaGetModuleFunction>(module.get(), "KaGetModule");
    if (getModule == nullptr) {
        load.step = LoadStep::kFindEntryPoint;
        load.error = ::GetLastError();
        return load;
    }
    KaSystem* system = getModule();
    if (system == nullptr) {
        load.step = LoadStep::kGetModule;
        return load;
    }
    if (!system->Initialize()) {
        load.step = LoadStep::kInitialize;
        return load;
    }
    load.system = system;
    load.module = module.release();
    load.step = LoadStep::kDone;
    return load;
}

// " (Win32 error <code>: <text>)" to end a failure message, or "" for code 0.
// `systemText` is what ka::SystemErrorText gives for the code (its line break
// is dropped); leave it empty where that function is not linked in.
inline std::wstring Win32ErrorNote(DWORD code, std::wstring systemText = std::wstring()) {
    if (code == 0) return std::wstring();
    while (!systemText.empty() && (systemText.back() == L'\n' || systemText.back() == L'\r' ||
                                   systemText.back() == L' ')) {
        systemText.pop_back();
    }
    std::wstring note = L" (Win32 error " + std::to_wstring(code);
    if (!systemText.empty()) note += L": " + systemText;
    return note + L")";
}

// One line for a failed load, e.g.
//   cannot load C:\x\KaSystem.x64.dll: LoadLibraryW failed (Win32 error 126: <text>)
// `systemText` as for Win32ErrorNote.
inline std::wstring DescribeLoadFailure(const LibraryLoad& load,
                                        std::wstring systemText = std::wstring()) {
    std::wstring line = L"cannot load " + load.path + L": " + LoadStepName(load.step);
    if (load.step == LoadStep::kLoadLibrary || load.step == LoadStep::kFindEntryPoint) {
        line += L" failed";
    }
    return line + Win32ErrorNote(load.error, std::move(systemText));
}

}  // namespace ka

#endif
