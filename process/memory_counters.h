// KaMemoryCounters: a plain record of the process memory counters, filled by
// KaProcessService::QueryMemoryCounters.
#ifndef KA_PROCESS_MEMORY_COUNTERS_H
#define KA_PROCESS_MEMORY_COUNTERS_H

#include "frame/ref_counted.h"
#include "frame/win32.h"
#include "ka/process.h"

#include <psapi.h>

namespace ka {

// The fields are exactly PROCESS_MEMORY_COUNTERS (72 bytes, cb first), right
// after the reference count: the layout hosts may rely on.
class MemoryCounters final : public RefCounted<MemoryCounters, KaMemoryCounters> {
public:
    uint32_t GetPageFaultCount() override { return record_.PageFaultCount; }
    void SetPageFaultCount(uint32_t value) override { record_.PageFaultCount = value; }
    uint64_t GetPeakWorkingSetSize() override { return record_.PeakWorkingSetSize; }
    void SetPeakWorkingSetSize(uint64_t value) override { record_.PeakWorkingSetSize = value; }
    uint64_t GetWorkingSetSize() override { return record_.WorkingSetSize; }
    void SetWorkingSetSize(uint64_t value) override { record_.WorkingSetSize = value; }
    uint64_t GetQuotaPeakPagedPoolUsage() override { return record_.QuotaPeakPagedPoolUsage; }
    void SetQuotaPeakPagedPoolUsage(uint64_t value) override {
        record_.QuotaPeakPagedPoolUsage = value;
    }
    uint64_t GetQuotaPagedPoolUsage() override { return record_.QuotaPagedPoolUsage; }
    void SetQuotaPagedPoolUsage(uint64_t value) override { record_.QuotaPagedPoolUsage = value; }
    uint64_t GetQuotaPeakNonPagedPoolUsage() override { return record_.QuotaPeakNonPagedPoolUsage; }
    void SetQuotaPeakNonPagedPoolUsage(uint64_t value) override {
        record_.QuotaPeakNonPagedPoolUsage = value;
    }
    uint64_t GetQuotaNonPagedPoolUsage() override { return record_.QuotaNonPagedPoolUsage; }
    void SetQuotaNonPagedPoolUsage(uint64_t value) override {
        record_.QuotaNonPagedPoolUsage = value;
    }
    uint64_t GetPagefileUsage() override { return record_.PagefileUsage; }
    void SetPagefileUsage(uint64_t value) override { record_.PagefileUsage = value; }
    uint64_t GetPeakPagefileUsage() override { return record_.PeakPagefileUsage; }
    void SetPeakPagefileUsage(uint64_t value) override { record_.PeakPagefileUsage = value; }

    // The system writes the counters here in place, size field included.
    PROCESS_MEMORY_COUNTERS* Record() { return &record_; }

private:
    PROCESS_MEMORY_COUNTERS record_{};
};

static_assert(sizeof(PROCESS_MEMORY_COUNTERS) == 72);

}  // namespace ka

#endif
