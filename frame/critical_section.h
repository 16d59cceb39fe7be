// The lock of the library's objects (pools, runners, workers, the Popup
// Monitor): a Win32 critical section that its owner initialises and deletes,
// a scope that holds it, and one that leaves it for a while.
#ifndef KA_FRAME_CRITICAL_SECTION_H
#define KA_FRAME_CRITICAL_SECTION_H

#include "frame/win32.h"

#include <cassert>

namespace ka {

class CriticalSection {
public:
    CriticalSection() { ::InitializeCriticalSection(&section_); }
    ~CriticalSection() { ::DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    // For the debug build's assertions: the section records its owner.
    bool HeldByThisThread() const {
        return section_.OwningThread == ULongToHandle(::GetCurrentThreadId());
    }

private:
    // Entered and left only through ScopedLock and ScopedUnlock: this pair is
    // the one place a critical section is taken and given back.
    friend class ScopedLock;
    friend class ScopedUnlock;
    void Enter() { ::EnterCriticalSection(&section_); }
    void Leave() {
        assert(HeldByThisThread() && "leaving a lock this thread does not hold");
        ::LeaveCriticalSection(&section_);  // the guards' release: Enter's pair
    }
    // For ScopedLock::Wait: SleepConditionVariableCS leaves and re-enters it.
    CRITICAL_SECTION* get() { return &section_; }

    CRITICAL_SECTION section_;
};

// Holds the lock for its scope. Waits on a condition variable go through it,
// so holding the lock they need is proven by the type.
class [[nodiscard]] ScopedLock {
public:
    [[nodiscard]] explicit ScopedLock(CriticalSection& lock) : lock_(lock) { lock_.Enter(); }
    ~ScopedLock() { lock_.Leave(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

    // Sleeps on `condition`, leaving the lock meanwhile and holding it again
    // on return; false when the time ran out (or the wait failed).
    bool Wait(CONDITION_VARIABLE& condition, DWORD milliseconds = INFINITE) {
        assert(lock_.HeldByThisThread());
        return ::SleepConditionVariableCS(&condition, lock_.get(), milliseconds) != FALSE;
    }

private:
    friend class ScopedUnlock;
    CriticalSection& lock_;
};

// The opposite scope, inside a ScopedLock: the lock is left for a stretch of
// work that must not hold it, and taken again however that stretch ends.
class [[nodiscard]] ScopedUnlock {
public:
    [[nodiscard]] explicit ScopedUnlock(ScopedLock& held) : lock_(held.lock_) { lock_.Leave(); }
    ~ScopedUnlock() { lock_.Enter(); }
    ScopedUnlock(const ScopedUnlock&) = delete;
    ScopedUnlock& operator=(const ScopedUnlock&) = delete;

private:
    CriticalSection& lock_;
};

// A slim reader/writer lock (SRWLOCK: no initialisation, no deletion), held
// through the two scopes below. Not recursive in either mode.
class ReadWriteLock {
public:
    ReadWriteLock() = default;
    ReadWriteLock(const ReadWriteLock&) = delete;
    ReadWriteLock& operator=(const ReadWriteLock&) = delete;
    SRWLOCK* get() { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class SharedHold {
public:
    explicit SharedHold(ReadWriteLock& lock) : lock_(lock) { ::AcquireSRWLockShared(lock_.get()); }
    ~SharedHold() { ::ReleaseSRWLockShared(lock_.get()); }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;

private:
    ReadWriteLock& lock_;
};

class ExclusiveHold {
public:
    explicit ExclusiveHold(ReadWriteLock& lock) : lock_(lock) {
        ::AcquireSRWLockExclusive(lock_.get());
    }
    ~ExclusiveHold() { ::ReleaseSRWLockExclusive(lock_.get()); }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;

private:
    ReadWriteLock& lock_;
};

}  // namespace ka

#endif
