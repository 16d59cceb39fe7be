#include "concurrency/mutex.h"

#include "frame/handles.h"
#include "frame/ref_counted.h"
#include "frame/services.h"
#include "frame/win32.h"
#include "ka/text.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>

namespace ka {
namespace {

constexpr wchar_t kGlobalPrefix[] = L"Global\\";
constexpr size_t kGlobalPrefixLength = 7;
// Kernel names are cut to this many characters, the prefix included.
constexpr size_t kMaxNameLength = 260;

// One wait of `seconds`: below 1 second, no limit. Slices beyond what 32-bit
// milliseconds hold (about 49 days) stay just short of INFINITE rather than
// wrapping around to a short wait.
DWORD SliceTimeout(int32_t seconds) {
    if (seconds < 1) return INFINITE;
    return static_cast<DWORD>(std::min<uint64_t>(uint64_t(seconds) * 1000u, INFINITE - 1));
}

class Mutex final : public RefCounted<Mutex, KaMutex> {
public:
    bool Create(const wchar_t* name);

    bool LockWithCallback(MutexWaitCallback callback, uintptr_t context, int32_t seconds) override;
    bool Lock(const wchar_t* message, int32_t seconds) override;
    bool Unlock() override;
    const wchar_t* GetName() override { return name_ ? name_->GetText() : L""; }

private:
    bool HandleMissing();
    // Waits one slice; true when it timed out. Signalled, abandoned (the
    // owner died: ownership passes to us) and a failed wait all end the
    // lock with true.
    bool TimedOut(DWORD timeout) {
        return ::WaitForSingleObject(handle_.get(), timeout) == WAIT_TIMEOUT;
    }
    void LogWaiting(const wchar_t* message, uint32_t elapsed);

    UniqueHandle handle_;
    ObjectRef<KaString> name_;  // the full kernel name
};

// Nothing here allocates in C++: the name fits a fixed buffer, so no
// exception can leave the creation half done.
bool Mutex::Create(const wchar_t* name) {
    if (name == nullptr || *name == L'\0') return false;
    wchar_t full[kMaxNameLength + 1];
    std::wmemcpy(full, kGlobalPrefix, kGlobalPrefixLength);
    // No check whether the caller's name carries a namespace already: its
    // backslash becomes an underscore like any other.
    size_t own = ::wcsnlen(name, kMaxNameLength - kGlobalPrefixLength);
    std::replace_copy(name, name + own, full + kGlobalPrefixLength, L'\\', L'_');
    full[kGlobalPrefixLength + own] = L'\0';

    ObjectRef<KaString> text;
    if (!System()->GetStringUtil()->CreateString(full, text.put())) return false;
    name_ = std::move(text);
    // Not initially owned; an existing mutex of this name is simply opened.
    handle_.reset(::CreateMutexW(nullptr, FALSE, full));
    if (!handle_) {
        Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to create a mutex object: %s", GetName());
        return false;
    }
    return true;
}

bool Mutex::HandleMissing() {
    if (handle_) return false;
    Log()->PrintfW(LogCategory::ERROR, 0, L"Mutex handle is invalid: %s", GetName());
    return true;
}

void Mutex::LogWaiting(const wchar_t* message, uint32_t elapsed) {
    if (message != nullptr && *message != L'\0') {
        Log()->PrintfW(LogCategory::INFO, 0, L"KaMutex: %s %s (%d sec)", GetName(), message,
                       static_cast<int>(elapsed));
    } else {
        Log()->PrintfW(LogCategory::INFO, 0,
                       L"KaMutex: waiting for obtaining ownership of the mutex... %s (%d sec)",
                       GetName(), static_cast<int>(elapsed));
    }
}

bool Mutex::LockWithCallback(MutexWaitCallback callback, uintptr_t context, int32_t seconds) {
    if (HandleMissing()) return false;
    const DWORD timeout = SliceTimeout(seconds);
    uint32_t elapsed = 0;  // wraps rather than overflowing on endless waits
    while (TimedOut(timeout)) {
        if (callback != nullptr) {
            if (!callback(context)) return false;  // given up: nothing owned, nothing logged
        } else {
            elapsed += static_cast<uint32_t>(seconds);
            LogWaiting(nullptr, elapsed);
        }
    }
    return true;
}

bool Mutex::Lock(const wchar_t* message, int32_t seconds) {
    if (HandleMissing()) return false;
    const DWORD timeout = SliceTimeout(seconds);
    uint32_t elapsed = 0;
    while (TimedOut(timeout)) {
        elapsed += static_cast<uint32_t>(seconds);
        LogWaiting(message, elapsed);
    }
    return true;
}

bool Mutex::Unlock() {
    if (!handle_) {
        Log()->PrintfW(LogCategory::ERROR, 0,
                       L"Failed to release mutex. The mutex handle is null.");
        return false;
    }
    if (!::ReleaseMutex(handle_.get())) {  // typically: this thread does not own it
        Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to release mutex.");
        return false;
    }
    return true;
}

}  // namespace

bool MakeMutex(KaMutex** out, const wchar_t* name) {
    ObjectRef<KaMutex> made;
    if (!HandOut(NewObject<Mutex>(), made.put(), [&](Mutex& m) { return m.Create(name); })) {
        return false;
    }
    if (out != nullptr) *out = made.release();  // else closed again right here
    return true;
}

}  // namespace ka
