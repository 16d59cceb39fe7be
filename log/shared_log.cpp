// The sharing of one log file by several processes and threads: a named
// mutex derived from the file's identity serialises the lines, and a counter
// in named shared memory gives every writing thread a number of its own. Also
// the memory-usage piece of a decorated line.
#include "frame/handles.h"
#include "frame/services.h"
#include "frame/win32.h"
#include "ka/data.h"
#include "ka/fs.h"
#include "ka/process.h"
#include "ka/system.h"
#include "ka/text.h"
#include "log/logger.h"

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <string>

namespace ka {
namespace {

constexpr DWORD kMutexWaitMs = 50000;
constexpr size_t kCounterSize = 8;  // the first 32-bit word counts the writing threads
constexpr int kCounterNameUnits = 64;

// The file's identity: the SHA-1 text of its short path in upper case,
// hashed as UTF-16, so every spelling of one file (case, short or long form)
// gives the same 40 digits. A path without a short form hashes the empty
// text. False only without a hasher.
bool FileIdentity(const wchar_t* path, char identity[41]) {
    std::wstring text;
    ObjectRef<KaString> shortPath;
    if (System()->GetFileSystem()->GetShortPath(path, shortPath.put())) {
        text = shortPath->GetText();
    }
    for (wchar_t& unit : text) unit = static_cast<wchar_t>(std::towupper(unit));
    KaSha1* hasher = System()->GetHasher();
    return hasher != nullptr &&
           hasher->HashBufferText(text.data(), text.size() * sizeof(wchar_t), identity);
}

// An abandoned mutex (its last owner ended without releasing it) is ours
// now, like one handed over normally: it must be released again.
bool Acquired(DWORD wait) { return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED; }

}  // namespace

void Logger::OpenSharedState(LogFile& opened) {
    // A fresh memory-counters record per Open; none while the process
    // service is gone (the module's shut-down).
    KaProcessService* service = System()->GetProcessService();
    KaMemoryCounters* counters = service ? service->CreateMemoryCounters() : nullptr;
    if (counters != nullptr) counters->AddRef();  // handed out with a count of zero
    opened.memoryCounters.reset(counters);

    char identity[41];
    if (!FileIdentity(opened.path.c_str(), identity)) return;
    char mutexName[64];
    std::snprintf(mutexName, sizeof mutexName, "Mutex_%s", identity);
    opened.mutex.reset(::CreateMutexA(nullptr, FALSE, mutexName));
    if (!opened.mutex) return;  // lines go out without cross-process exclusion or numbers
    if (!Acquired(::WaitForSingleObject(opened.mutex.get(), kMutexWaitMs))) return;
    // Under the mutex: whoever creates the counter creates it zeroed, and no
    // other process increments it in between.
    char counterName[64];
    std::snprintf(counterName, sizeof counterName, "RefCount_%s", identity);
    wchar_t wideName[kCounterNameUnits];
    if (System()->GetStringUtil()->MultiByteToWideBuffer(counterName, CP_ACP, wideName,
                                                         kCounterNameUnits)) {
        System()->CreateMemoryMappedFile(opened.threadCounter.put(), wideName, kCounterSize);
        // Once per logger; writers read it meanwhile. The thread-local
        // numbers stay across later Opens.
        threadSlot_.GetOrAllocate();
    }
    ::ReleaseMutex(opened.mutex.get());
}

bool Logger::WaitForFile() {
    return open_.mutex && Acquired(::WaitForSingleObject(open_.mutex.get(), kMutexWaitMs));
}

// A plain read-modify-write of the shared word: the file's mutex is held
// (or its wait timed out, and the line goes out regardless).
int Logger::ThreadNumber() {
    if (!open_.threadCounter) return 0;
    DWORD slot = threadSlot_.get();
    bool haveSlot = slot != TLS_OUT_OF_INDEXES;
    auto stored = haveSlot ? reinterpret_cast<uintptr_t>(::TlsGetValue(slot)) : 0;
    if (stored != 0) return static_cast<int>(stored);
    auto* count = static_cast<volatile uint32_t*>(open_.threadCounter->GetView());
    uint32_t number = *count + 1;
    *count = number;
    if (haveSlot) ::TlsSetValue(slot, reinterpret_cast<void*>(uintptr_t{number}));
    return static_cast<int>(number);
}

void Logger::ReleaseFile(bool waited) {
    if (waited) ::ReleaseMutex(open_.mutex.get());
}

bool Logger::FormatMemoryPiece(char* piece, size_t size) {
    KaMemoryCounters* counters = open_.memoryCounters.get();
    if (counters == nullptr) return false;
    // Null once the module's shut-down destroyed the service: the last line
    // then goes without figures and nothing re-creates the service.
    KaProcessService* service = System()->GetProcessService();
    if (service == nullptr || !service->QueryMemoryCounters(counters)) return false;
    if (_snprintf(piece, size - 1, "wss:%f\tpfu:%f\t", double(counters->GetWorkingSetSize()) * 1e-6,
                  double(counters->GetPagefileUsage()) * 1e-6) < 0) {
        piece[size - 1] = '\0';
    }
    piece[size - 1] = '\0';
    return true;
}

}  // namespace ka
