// The lock of every concurrency object: a Win32 critical section that its
// owner initialises and deletes, and a scope that holds it.
#ifndef KA_CONCURRENCY_CRITICAL_SECTION_H
#define KA_CONCURRENCY_CRITICAL_SECTION_H

#include "frame/win32.h"

namespace ka {

class CriticalSection {
public:
    CriticalSection() { ::InitializeCriticalSection(&section_); }
    ~CriticalSection() { ::DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() { ::EnterCriticalSection(&section_); }
    void Leave() { ::LeaveCriticalSection(&section_); }
    // For SleepConditionVariableCS, which leaves and re-enters it.
    CRITICAL_SECTION* get() { return &section_; }

private:
    CRITICAL_SECTION section_;
};

class ScopedLock {
public:
    explicit ScopedLock(CriticalSection& lock) : lock_(lock) { lock_.Enter(); }
    ~ScopedLock() { lock_.Leave(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CriticalSection& lock_;
};

}  // namespace ka

#endif
