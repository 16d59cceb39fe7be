// The one gate to <windows.h>. The build defines the target for every unit
// (_WIN32_WINNT=0x0601, WIN32_LEAN_AND_MEAN, NOMINMAX, UNICODE on the command
// line), so a standard header included first cannot pick another version
// behind our back; this gate only checks that it did. Every mingw-w64 and
// C-runtime workaround lives here, with its reason.
#ifndef KA_FRAME_WIN32_H
#define KA_FRAME_WIN32_H

#if !defined(_WIN32_WINNT) || _WIN32_WINNT != 0x0601
#error "every unit builds for _WIN32_WINNT=0x0601 (Windows 7): set it on the command line"
#endif
#if !defined(WIN32_LEAN_AND_MEAN) || !defined(NOMINMAX) || !defined(UNICODE)
#error "WIN32_LEAN_AND_MEAN, NOMINMAX and UNICODE come from the build for every unit"
#endif

#include <windows.h>

#include <cstdio>

// wingdi.h defines ERROR as 0, which would silently turn LogCategory::ERROR
// into a syntax error (or worse, into STATUS in an unscoped use).
#undef ERROR
// winbase.h maps CreateMutex to CreateMutexW; KaSystem has a slot of that name.
#undef CreateMutex

namespace ka {

// An export of a module loaded at run time, as the function type the caller
// names; null when the module or the export is missing.
template <typename F>
F ResolveExport(HMODULE module, const char* name) {
    if (module == nullptr) return nullptr;
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// A system DLL that we load by name is taken from System32 only, never from
// the application's directory or the current one. Systems without the
// search flags (Windows 7 before KB2533623) refuse them with
// ERROR_INVALID_PARAMETER; there the plain call is all there is.
inline HMODULE LoadSystemLibrary(const wchar_t* name) {
    HMODULE module = ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr && ::GetLastError() == ERROR_INVALID_PARAMETER) {
        module = ::LoadLibraryW(name);
    }
    return module;
}

// The calling thread's information block (stack base and limits). GCC 12
// takes the gs-relative read inside NtCurrentTeb for an access to a
// zero-length array: a false -Warray-bounds, silenced here only.
inline NT_TIB* CurrentThreadTib() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
    return reinterpret_cast<NT_TIB*>(::NtCurrentTeb());
#pragma GCC diagnostic pop
}

// msvcrt's import library lacks _fwrite_nolock although msvcrt.dll exports
// it: resolved once from the loaded runtime. Like every _nolock function it
// is safe only under a lock the caller holds.
using FwriteNolock = size_t(__cdecl*)(const void*, size_t, size_t, FILE*);
inline FwriteNolock ResolveFwriteNolock() {
    static const FwriteNolock function =
        ResolveExport<FwriteNolock>(::GetModuleHandleW(L"msvcrt.dll"), "_fwrite_nolock");
    return function;
}

}  // namespace ka

#endif
