// The parts of the sibling modules' root interfaces that this library calls.
// Every module of the family exports KaGetModule; slot 0 of its root is
// Initialize and slot 2 GetVersion. Slots this library never calls are
// declared as placeholders only to keep the table positions. A loaded
// sibling stays loaded and its root is never released.
#ifndef KA_SIBLINGS_H
#define KA_SIBLINGS_H

#include "object.h"

struct KaStream;
struct KaXmlVisitor;

// The minimum sibling interface the loader relies on.
struct KaModuleRoot {
    // Prepares the module; false makes the loader unload it.
    virtual bool Initialize() = 0;
    // Not called by this library.
    virtual void SlotReserved1() = 0;
    // The interface version; below 100 the loader refuses the module.
    virtual int GetVersion() = 0;
};

// Backs the memory slots of KaSystem.
struct KaAllocator : KaModuleRoot {
    // A block of bytes, or null.
    virtual void* Allocate(size_t bytes) = 0;
    // Frees what Allocate or AllocateArray returned.
    virtual void Free(void* block) = 0;
    // count x size bytes, or null.
    virtual void* AllocateArray(size_t count, size_t size) = 0;
    // The family leaves slot 6 to each allocator. Ours answers the number of
    // live blocks (used by tests to catch leaked caller buffers).
    virtual intptr_t Extension(...) = 0;
};

// Parses the Popup Monitor configuration.
struct KaXml : KaModuleRoot {
    // Not called by this library.
    virtual void SlotReserved3() = 0;
    // Not called by this library.
    virtual void SlotReserved4() = 0;
    // Reads the whole document from stream, reporting it to visitor in document order;
    // true when it was parsed to its end.
    virtual bool ParseStream(KaStream* stream, KaXmlVisitor* visitor) = 0;
};

#endif
