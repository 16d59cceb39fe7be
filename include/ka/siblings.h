// The parts of the sibling modules' root interfaces that this library calls.
// Every module of the family exports KaGetModule; slot 0 of its root is
// Initialize and slot 2 GetVersion. Slots this library never calls are
// declared as placeholders only to keep the table positions.
#ifndef KA_SIBLINGS_H
#define KA_SIBLINGS_H

#include "object.h"

struct KaStream;
struct KaXmlVisitor;

// The minimum sibling interface the loader relies on.
struct KaModuleRoot {
    virtual bool Initialize() = 0;
    virtual void SlotReserved1() = 0;
    virtual int GetVersion() = 0;
};

// Backs the memory slots of KaSystem.
struct KaAllocator : KaModuleRoot {
    virtual void* Allocate(size_t bytes) = 0;
    virtual void Free(void* block) = 0;
    virtual void* AllocateArray(size_t count, size_t size) = 0;
    // The family leaves slot 6 to each allocator. Ours answers the number of
    // live blocks (used by tests to catch leaked caller buffers).
    virtual intptr_t Extension(...) = 0;
};

// Parses the Popup Monitor configuration.
struct KaXml : KaModuleRoot {
    virtual void SlotReserved3() = 0;
    virtual void SlotReserved4() = 0;
    virtual bool ParseStream(KaStream* stream, KaXmlVisitor* visitor) = 0;
};

#endif
