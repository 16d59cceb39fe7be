// Stand-in for the family's KaAllocator module: blocks from the process heap,
// plus a count of live blocks behind slot 6 so tests can prove that every
// buffer handed to a caller was given back.
#include "frame/win32.h"
#include "ka/siblings.h"

#include <atomic>

namespace {

class HeapAllocator final : public KaAllocator {
public:
    bool Initialize() override { return true; }
    void SlotReserved1() override {}
    int GetVersion() override { return 118; }
    void* Allocate(size_t bytes) override {
        return Counted(::HeapAlloc(::GetProcessHeap(), 0, bytes));
    }
    void Free(void* block) override {
        if (block == nullptr) return;
        if (::HeapFree(::GetProcessHeap(), 0, block)) live_.fetch_sub(1, std::memory_order_relaxed);
    }
    void* AllocateArray(size_t count, size_t size) override {
        if (size != 0 && count > SIZE_MAX / size) return nullptr;
        return Allocate(count * size);
    }
    // Slot 6: the number of blocks allocated and not yet freed.
    intptr_t Extension(...) override { return live_.load(std::memory_order_relaxed); }

private:
    void* Counted(void* block) {
        if (block != nullptr) live_.fetch_add(1, std::memory_order_relaxed);
        return block;
    }
    std::atomic<intptr_t> live_{0};
};

HeapAllocator g_allocator;

}  // namespace

extern "C" __declspec(dllexport) KaModuleRoot* KaGetModule() { return &g_allocator; }
