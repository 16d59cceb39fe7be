// KaObject: the reference-counted base of every object handed across the
// module interfaces. Hosts compiled with MSVC, clang or GCC call through these
// tables, so the headers use only C types and declare no virtual destructor
// (MSVC gives one slot to it, the Itanium ABI two). The last slot of every
// object interface is an ordinary "destroy" operation instead.
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
    virtual int32_t GetRefCount() = 0;
};

// The destroying slot of every object interface takes this flag: the
// destructor always runs, the memory is freed only when the low bit is set.
enum : uint32_t { KA_DESTROY_FREE = 1u };

// Plain callback types shared by pools, tasks and worker threads.
// "Pointer-sized" values travel as uintptr_t.
typedef int32_t (*TaskFunction)(uintptr_t threadData, uintptr_t argument);
typedef void (*CleanupFunction)(uintptr_t value);

#endif
