#include "concurrency/cpu_usage.h"

#include "frame/boundary.h"
#include "frame/handles.h"
#include "frame/library_thread.h"
#include "frame/ref_counted.h"
#include "frame/services.h"
#include "frame/win32.h"

#include <pdh.h>

#include <atomic>
#include <vector>

namespace ka {
namespace {

constexpr const wchar_t* kCounterPath = L"\\Processor(_Total)\\% Processor Time";
constexpr DWORD kSampleIntervalMs = 2000;

// pdh.dll is loaded at run time, so the library imports nothing beyond the
// DLLs every process has.
using OpenQueryFunction = PDH_STATUS(WINAPI*)(LPCWSTR, DWORD_PTR, PDH_HQUERY*);
using AddCounterFunction = PDH_STATUS(WINAPI*)(PDH_HQUERY, LPCWSTR, DWORD_PTR, PDH_HCOUNTER*);
using CollectFunction = PDH_STATUS(WINAPI*)(PDH_HQUERY);
using FormattedValueFunction = PDH_STATUS(WINAPI*)(PDH_HCOUNTER, DWORD, LPDWORD,
                                                   PDH_FMT_COUNTERVALUE*);
using CloseQueryFunction = PDH_STATUS(WINAPI*)(PDH_HQUERY);

class CpuUsageCounter final : public KaCpuUsageCounter {
public:
    bool Start();
    void StopSampling();
    void ResumeSampling();
    void SetProcessExiting(bool exiting) { processExiting_ = exiting; }

    bool GetCpuUsage(double* usage, uint32_t* processorCount) override;
    void Destroy(uint32_t flags) override;

private:
    static void SamplerMain(void* counter) { static_cast<CpuUsageCounter*>(counter)->Sample(); }
    void Sample();
    void Collect();
    static uint32_t CountLogicalProcessors();

    PDH_HQUERY query_ = nullptr;
    PDH_HCOUNTER counter_ = nullptr;
    UniqueHandle sampler_;  // kept so that a restart can wait for the one told to stop
    uint32_t processorCount_ = 0;
    std::atomic<bool> hasData_{false};
    std::atomic<bool> stop_{false};
    UniqueHandle stopEvent_;  // cuts the sampler's sleep short
    bool processExiting_ = false;
    UniqueLibrary pdh_;
    OpenQueryFunction openQuery_ = nullptr;
    AddCounterFunction addCounter_ = nullptr;
    CollectFunction collect_ = nullptr;
    FormattedValueFunction formattedValue_ = nullptr;
    CloseQueryFunction closeQuery_ = nullptr;
};

bool CpuUsageCounter::Start() {
    if (query_ != nullptr) return true;
    pdh_.reset(LoadSystemLibrary(L"pdh.dll"));
    openQuery_ = ResolveExport<OpenQueryFunction>(pdh_.get(), "PdhOpenQueryW");
    addCounter_ = ResolveExport<AddCounterFunction>(pdh_.get(), "PdhAddCounterW");
    collect_ = ResolveExport<CollectFunction>(pdh_.get(), "PdhCollectQueryData");
    formattedValue_ =
        ResolveExport<FormattedValueFunction>(pdh_.get(), "PdhGetFormattedCounterValue");
    closeQuery_ = ResolveExport<CloseQueryFunction>(pdh_.get(), "PdhCloseQuery");
    PDH_STATUS status;
    if (!openQuery_ || !addCounter_ || !collect_ || !formattedValue_ || !closeQuery_) {
        // Without the library the status is the loader's Win32 code.
        DWORD error = ::GetLastError();
        status = static_cast<PDH_STATUS>(error != 0 ? error : ERROR_PROC_NOT_FOUND);
    } else {
        status = openQuery_(nullptr, reinterpret_cast<DWORD_PTR>(this), &query_);
    }
    if (status != ERROR_SUCCESS) {
        query_ = nullptr;
        Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to open PDH query: PDH_STATUS(%d)",
                       static_cast<int>(status));
        return false;
    }
    status = addCounter_(query_, kCounterPath, reinterpret_cast<DWORD_PTR>(this), &counter_);
    if (status != ERROR_SUCCESS) {
        Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to add a performance counter: %s",
                       kCounterPath);
        counter_ = nullptr;
    }
    stopEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    // Never joined by the teardown (see DestroyCpuUsageCounter).
    if (stopEvent_) sampler_ = StartLibraryThread(&SamplerMain, this);
    processorCount_ = CountLogicalProcessors();
    return static_cast<bool>(sampler_);
}

void CpuUsageCounter::Collect() {
    PDH_STATUS status = collect_(query_);
    if (status != ERROR_SUCCESS) {
        Log()->PrintfW(LogCategory::ERROR, 0,
                       L"PdhCollectQueryData() returned an error status: PDH_STATUS(%d)",
                       static_cast<int>(status));
    }
}

// The processor-time counter is a difference of two samples: the first one
// only sets the base, so there is data from the second on.
void CpuUsageCounter::Sample() {
    Collect();
    while (!stop_.load(std::memory_order_acquire)) {
        ::WaitForSingleObject(stopEvent_.get(), kSampleIntervalMs);
        if (stop_.load(std::memory_order_acquire)) break;
        Collect();
        hasData_.store(true, std::memory_order_release);  // also after a failed collection
    }
}

void CpuUsageCounter::StopSampling() {
    stop_.store(true, std::memory_order_release);
    if (stopEvent_) ::SetEvent(stopEvent_.get());
}

// After a stop, a new sampler starts over as the first one did: no data
// until its second sample. The stopped one is out of its sleep already and
// leaves after at most the collection it is in; it must be gone before the
// flags are reset, or it would sample on beside the new one.
void CpuUsageCounter::ResumeSampling() {
    if (query_ == nullptr || !stop_.load(std::memory_order_acquire)) return;
    if (sampler_) ::WaitForSingleObject(sampler_.get(), INFINITE);
    hasData_.store(false, std::memory_order_release);
    stop_.store(false, std::memory_order_release);
    ::ResetEvent(stopEvent_.get());
    sampler_ = StartLibraryThread(&SamplerMain, this);
}

uint32_t CpuUsageCounter::CountLogicalProcessors() {
    uint32_t count = Boundary(0u, [] {
        DWORD bytes = 0;
        if (::GetLogicalProcessorInformation(nullptr, &bytes) ||
            ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return 0u;
        }
        using Record = SYSTEM_LOGICAL_PROCESSOR_INFORMATION;
        static_assert(sizeof(Record) == 32);
        std::vector<Record> records(bytes / sizeof(Record) + 1, Record{});
        if (!::GetLogicalProcessorInformation(records.data(), &bytes)) return 0u;
        uint32_t sum = 0;
        for (size_t i = 0; i < bytes / sizeof(Record); ++i) {
            if (records[i].Relationship == RelationProcessorCore) {
                sum += static_cast<uint32_t>(__builtin_popcountll(records[i].ProcessorMask));
            }
        }
        return sum;
    });
    if (count > 0) return count;
    Log()->PrintfW(LogCategory::ERROR, 0,
                   L"Failed to detected logical processor count. Parallel process count is "
                   L"assumed to be 1.");
    return 1;
}

bool CpuUsageCounter::GetCpuUsage(double* usage, uint32_t* processorCount) {
    if (processorCount != nullptr) *processorCount = processorCount_;
    if (usage == nullptr) return true;
    if (counter_ == nullptr || !hasData_.load(std::memory_order_acquire)) {
        *usage = 0.0;
        return true;
    }
    PDH_FMT_COUNTERVALUE value{};
    PDH_STATUS status = formattedValue_(counter_, PDH_FMT_DOUBLE, nullptr, &value);
    if (status != ERROR_SUCCESS) {
        Log()->PrintfW(LogCategory::ERROR, 0,
                       L"PdhGetFormattedCounterValue() returned an error status: PDH_STATUS(%d)",
                       static_cast<int>(status));
        return false;
    }
    *usage = value.doubleValue;
    return true;
}

// Run by the module's shut-down, under the loader lock.
void CpuUsageCounter::Destroy(uint32_t flags) {
    StopSampling();
    Log()->PrintfW(LogCategory::INFO, 0,
                   L"Waiting for the performance counter thread shutting down...");
    DWORD start = ::GetTickCount();
    // Nothing to wait for, and no waiting allowed here: the sampler holds the
    // module, so when FreeLibrary brings us here it has left already; at
    // process exit the system has ended it.
    Log()->PrintfW(LogCategory::INFO, 0, L"Performance counter thread was shut down: %.1f [sec]",
                   (::GetTickCount() - start) * 0.001);
    if (processExiting_) {
        // The sampler may have been ended inside a collection, holding the
        // query's lock: the query and pdh.dll go with the process.
        (void)pdh_.release();
    } else if (query_ != nullptr) {
        // A query is closed through the library loaded at run time, which no
        // owner type covers; the library itself is freed after it, below.
        PDH_STATUS status = closeQuery_(query_);
        if (status != ERROR_SUCCESS) {
            Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to close PDH query: PDH_STATUS(%d)",
                           static_cast<int>(status));
        }
    }
    query_ = nullptr;
    this->~CpuUsageCounter();
    if (flags & KA_DESTROY_FREE) ::operator delete(this);
}

}  // namespace

KaCpuUsageCounter* MakeCpuUsageCounter() {
    CpuUsageCounter* made = NewObject<CpuUsageCounter>();
    if (made != nullptr && !Boundary(false, [&] { return made->Start(); })) {
        Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to initialize the performance counter.");
    }
    return made;
}

void StopCpuUsageSampling(KaCpuUsageCounter* counter) {
    if (counter != nullptr) static_cast<CpuUsageCounter*>(counter)->StopSampling();
}

void ResumeCpuUsageSampling(KaCpuUsageCounter* counter) {
    if (counter != nullptr) static_cast<CpuUsageCounter*>(counter)->ResumeSampling();
}

void DestroyCpuUsageCounter(KaCpuUsageCounter* counter, bool processExiting) {
    if (counter == nullptr) return;
    static_cast<CpuUsageCounter*>(counter)->SetProcessExiting(processExiting);
    counter->Destroy(KA_DESTROY_FREE);
}

}  // namespace ka
