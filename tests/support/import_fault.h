// Faults on purpose, through the DLL a host loads: for the length of a scope
// one entry of a loaded module's import address table points at a stub that
// fails the way the system does on a bad day (a chosen result and last error),
// on every call or only from the Nth, on any thread or only on one. Nothing in
// the library changes for it: the stub sits where the loader put the system's
// function, so the library's own failure path runs.
//
// The stub passes calls that are not to fail on with up to twelve integer or
// pointer arguments; an import that takes floating-point arguments cannot be
// passed through (none of those the library imports does).
#ifndef KA_TESTS_SUPPORT_IMPORT_FAULT_H
#define KA_TESTS_SUPPORT_IMPORT_FAULT_H

#include "frame/win32.h"

#include <cstdint>
#include <string>

namespace katest {

struct Fault {
    uintptr_t result = 0;                   // the function's failure value
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;  // the last error it leaves
    unsigned fromCall = 1;                  // the first call that fails; earlier ones pass
    unsigned failures = ~0u;                // how many calls fail from there on
    DWORD thread = 0;                       // only this thread's calls fail (0: any)
};

// Replaces `function` as imported by `module` from `fromDll` (its name as the
// import table spells it, compared without case). Patched() says whether
// the module imports it: a fault that is not in place proves nothing.
class ImportFault {
public:
    ImportFault(HMODULE module, const char* fromDll, const char* function, const Fault& fault);
    ~ImportFault();
    ImportFault(const ImportFault&) = delete;
    ImportFault& operator=(const ImportFault&) = delete;

    bool Patched() const { return entry_ != nullptr; }
    unsigned Failed() const;  // calls the stub failed so far
    const std::string& Name() const { return name_; }

private:
    int slot_ = -1;
    void** entry_ = nullptr;
    std::string name_;
};

// Another function in place of an import, for a counter or a clock; returns
// the one it replaced (null when the module does not import it). Restore by
// replacing again with what it returned.
void* ReplaceImport(HMODULE module, const char* fromDll, const char* function, void* replacement);

// The library as loaded by katest::System().
HMODULE LibraryModule();

}  // namespace katest

#endif
