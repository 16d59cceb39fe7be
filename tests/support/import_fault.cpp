#include "support/import_fault.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <utility>

namespace katest {

namespace {

// The import address table entry of `function` from `fromDll`, found
// through the image's import descriptors by name.
void** FindImport(HMODULE module, const char* fromDll, const char* function) {
    auto* base = reinterpret_cast<BYTE*>(module);
    if (base == nullptr) return nullptr;
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return nullptr;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         d->Name != 0; ++d) {
        if (_stricmp(reinterpret_cast<char*>(base + d->Name), fromDll) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA64*>(
            base + (d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk));
        auto* entries = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++entries) {
            if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<char*>(byName->Name), function) == 0) {
                return reinterpret_cast<void**>(&entries->u1.Function);
            }
        }
    }
    return nullptr;
}

void* Swap(void** entry, void* replacement) {
    DWORD old = 0;
    if (!::VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &old)) return nullptr;
    void* previous = ::InterlockedExchangePointer(entry, replacement);
    ::VirtualProtect(entry, sizeof *entry, old, &old);
    ::FlushInstructionCache(::GetCurrentProcess(), entry, sizeof *entry);
    return previous;
}

struct Slot {
    std::atomic<bool> used{false};
    void* original = nullptr;
    Fault fault;
    std::atomic<unsigned> calls{0}, failed{0};
};
constexpr int kSlots = 16;
std::array<Slot, kSlots> g_slots;

using Forward = uintptr_t (*)(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                              uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t);

// One stub per slot. On x64 the caller owns the argument area, so a stub
// that reads more arguments than were passed reads the caller's frame and
// harms nothing.
template <int N>
uintptr_t Stub(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d, uintptr_t e, uintptr_t f,
               uintptr_t g, uintptr_t h, uintptr_t i, uintptr_t j, uintptr_t k, uintptr_t l) {
    Slot& slot = g_slots[N];
    const Fault& fault = slot.fault;
    unsigned call = ++slot.calls;
    bool mine = fault.thread == 0 || fault.thread == ::GetCurrentThreadId();
    if (mine && call >= fault.fromCall && call - fault.fromCall < fault.failures) {
        ++slot.failed;
        ::SetLastError(fault.error);
        return fault.result;
    }
    if (!mine) --slot.calls;  // another thread's calls do not count towards the Nth
    return reinterpret_cast<Forward>(slot.original)(a, b, c, d, e, f, g, h, i, j, k, l);
}

template <int... N>
constexpr std::array<void*, sizeof...(N)> MakeStubs(std::integer_sequence<int, N...>) {
    return {reinterpret_cast<void*>(&Stub<N>)...};
}
const std::array<void*, kSlots> g_stubs = MakeStubs(std::make_integer_sequence<int, kSlots>());

}  // namespace

void* ReplaceImport(HMODULE module, const char* fromDll, const char* function, void* replacement) {
    void** entry = FindImport(module, fromDll, function);
    return entry == nullptr ? nullptr : Swap(entry, replacement);
}

HMODULE LibraryModule() { return ::GetModuleHandleW(L"KaSystem.x64.dll"); }

ImportFault::ImportFault(HMODULE module, const char* fromDll, const char* function,
                         const Fault& fault)
    : name_(function) {
    void** entry = FindImport(module, fromDll, function);
    if (entry == nullptr) return;
    for (int i = 0; i < kSlots; ++i) {
        if (g_slots[i].used.exchange(true)) continue;
        Slot& slot = g_slots[i];
        slot.fault = fault;
        slot.calls = 0;
        slot.failed = 0;
        slot.original = *entry;
        slot_ = i;
        entry_ = entry;
        Swap(entry, g_stubs[i]);
        return;
    }
    ADD_FAILURE() << "more than " << kSlots << " import faults at once";
}

ImportFault::~ImportFault() {
    if (entry_ == nullptr) return;
    Swap(entry_, g_slots[slot_].original);
    g_slots[slot_].used = false;
}

unsigned ImportFault::Failed() const { return slot_ < 0 ? 0 : g_slots[slot_].failed.load(); }

}  // namespace katest
