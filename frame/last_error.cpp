#include "frame/last_error.h"

#include "frame/boundary.h"
#include "frame/services.h"

#include <cstring>
#include <cwchar>

namespace ka {
namespace {

constexpr uint32_t kExpiryMs = 10000;
// Stale thread ids collected on the stack; a larger store collects into a
// list allocated for the sweep.
constexpr size_t kLocalSweepSlots = 64;

// Removes every entry older than kExpiryMs; tick differences are taken
// unsigned, so the 49-day wrap of the tick count does not matter.
void Sweep(LastErrorMap& errors) {
    const uint32_t now = ::GetTickCount();
    uint32_t local[kLocalSweepSlots];
    uint32_t* stale = local;
    size_t capacity = kLocalSweepSlots;
    SystemBuffer<uint32_t> allocated;
    if (errors.size() > kLocalSweepSlots) {
        allocated.reset(
            static_cast<uint32_t*>(System()->Allocate(sizeof(uint32_t) * errors.size())));
        // Without the list, the first 64 go now and the rest with a later read.
        if (allocated) {
            stale = allocated.get();
            capacity = errors.size();
        }
    }
    size_t count = 0;
    for (const auto& [thread, entry] : errors) {
        if (count < capacity && now - entry.storedTick > kExpiryMs) stale[count++] = thread;
    }
    for (size_t i = 0; i < count; ++i) errors.erase(stale[i]);  // releases the sections
}

}  // namespace

bool StoreLastErrorMessage(KaSystem& root, CriticalSection& lock, LastErrorMap* errors,
                           const wchar_t* message) {
    return Boundary(false, [&] {
        ScopedLock hold(lock);
        if (errors == nullptr) return false;
        const uint32_t thread = ::GetCurrentThreadId();
        const size_t bytes = message != nullptr ? (std::wcslen(message) + 1) * sizeof(wchar_t) : 0;
        wchar_t name[256];
        _snwprintf(name, 256, L"KAV_LAST_ERROR_%d_%d", static_cast<int>(::GetCurrentProcessId()),
                   static_cast<int>(thread));
        if (bytes <= sizeof(wchar_t)) {
            errors->erase(thread);
            return true;
        }
        LastErrorEntry& entry = (*errors)[thread];
        // The earlier section goes first, so the name is free again unless
        // someone else still holds it open.
        entry.section.reset();
        if (!root.CreateMemoryMappedFile(entry.section.put(), name, bytes) ||
            !entry.section->WriteData(message, bytes)) {
            errors->erase(thread);
            return false;
        }
        entry.storedTick = ::GetTickCount();
        return true;
    });
}

bool ReadLastErrorMessage(CriticalSection& lock, LastErrorMap* errors, wchar_t** out) {
    if (out == nullptr) return false;
    return Boundary(false, [&] {
        ScopedLock hold(lock);
        *out = nullptr;
        if (errors == nullptr) return false;
        auto found = errors->find(::GetCurrentThreadId());
        if (found == errors->end()) return false;
        KaMemoryMappedFile& section = *found->second.section.get();
        // The section is named and writable by other processes: never read
        // past its end, whatever has been written into it.
        const auto* text = static_cast<const wchar_t*>(section.GetView());
        const size_t length = ::wcsnlen(text, section.GetSize() / sizeof(wchar_t));
        SystemBuffer<wchar_t> copy(
            static_cast<wchar_t*>(System()->AllocateArray(length + 1, sizeof(wchar_t))));
        if (!copy) return false;
        std::memcpy(copy.get(), text, length * sizeof(wchar_t));
        copy.get()[length] = L'\0';
        *out = copy.release();
        Sweep(*errors);
        return true;
    });
}

}  // namespace ka
