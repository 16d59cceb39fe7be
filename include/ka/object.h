// KaObject: the reference-counted base of every object handed across the
// module interfaces. Hosts compiled with MSVC, clang or GCC call through these
// tables, so the headers use only C types and declare no virtual destructor
// (MSVC gives one slot to it, the Itanium ABI two). The last slot of every
// object interface is an ordinary "destroy" operation instead.
//
// Ownership, everywhere unless a slot says otherwise:
// - an operation that creates an object hands it out through its out
//   parameter with one reference, which the caller releases; the out
//   parameter is written only on success;
// - a few operations return a new object with a count of ZERO instead, and
//   the caller takes the first reference with AddRef (each says so);
// - services and embedded interfaces (no KaObject base) are owned by the
//   module: never release them;
// - a buffer that a service allocates for the caller comes from
//   KaSystem::Allocate or AllocateArray; free it with KaSystem::Free;
// - a null required pointer gives false (or 0, or null) at once.
#ifndef KA_OBJECT_H
#define KA_OBJECT_H

#include <stddef.h>
#include <stdint.h>

struct KaObject {
    // Atomically adds a reference.
    virtual void AddRef() = 0;
    // Atomically drops a reference and returns the count after the drop; at
    // zero or below the object destroys itself (do not touch it afterwards).
    virtual int32_t Release() = 0;
    // The current count; another thread may change it at any moment.
    virtual int32_t GetRefCount() = 0;
};

// The destroying slot of every object interface takes this flag: the
// destructor always runs, the memory is freed only when the low bit is set.
// Release calls it at zero; hosts never call it themselves.
enum : uint32_t { KA_DESTROY_FREE = 1u };

// Plain callback types shared by pools, tasks and worker threads.
// "Pointer-sized" values travel as uintptr_t. Every value stored together
// with a CleanupFunction is cleaned up exactly once.
typedef int32_t (*TaskFunction)(uintptr_t threadData, uintptr_t argument);
typedef void (*CleanupFunction)(uintptr_t value);

#endif
