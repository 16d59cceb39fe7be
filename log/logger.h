// KaLog: categorised, levelled lines appended to one file, optionally echoed
// to a console window of the logger's own.
#ifndef KA_LOG_LOGGER_H
#define KA_LOG_LOGGER_H

#include "frame/critical_section.h"
#include "frame/handles.h"
#include "frame/ref_counted.h"
#include "ka/fs.h"
#include "ka/log.h"
#include "ka/process.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <string>

namespace ka {

// What one Open sets up and the next Open (or the destructor) takes down.
struct LogFile {
    UniqueCrtFile file;
    std::wstring path;
    // The sharing of the file by several processes (log/shared_log.cpp): its
    // named mutex ("Mutex_" and the file's identity) and 8 shared bytes whose
    // first word counts the threads that ever wrote to the file, read and
    // incremented only under that mutex.
    UniqueHandle mutex;
    ObjectRef<KaMemoryMappedFile> threadCounter;
    ObjectRef<KaMemoryCounters> memoryCounters;  // a fresh record per Open
};

class Logger final : public RefCounted<Logger, KaLog> {
public:
    explicit Logger(bool processWide) : processWide_(processWide) {}
    ~Logger();

    // The process-wide instance is never counted: it lives until shut-down.
    void AddRef() override;
    int32_t Release() override;
    int32_t GetRefCount() override;

    void WriteW(LogCategory category, int level, const wchar_t* text) override;
    void Write(LogCategory category, int level, const char* text) override;
    void WriteRawW(int level, const wchar_t* text) override;
    void WriteRaw(int level, const char* text) override;
    void PrintfW(LogCategory category, int level, const wchar_t* format, ...) override;
    void Printf(LogCategory category, int level, const char* format, ...) override;
    void PrintfRawW(int level, const wchar_t* format, ...) override;
    void PrintfRaw(int level, const char* format, ...) override;
    bool GetFilePath(wchar_t* destination) override;
    bool Open(const wchar_t* path) override;
    void SetOptions(uint32_t mask) override;
    void ShowConsole(bool show) override;
    bool SetContextValue(const wchar_t* key, const wchar_t* value) override;
    bool SetLineValue(const wchar_t* key, const wchar_t* value) override;
    bool SetTagWidth(int width) override;
    int GetLevel() override;
    void SetLevel(int threshold) override;

    // Applies the configuration of a new logger and opens its file, unless a
    // file is already open or the path is empty. The threshold is stored as
    // given, so a negative one silences the logger.
    void ConfigureAndOpen(const wchar_t* path, int threshold, bool timestamp, bool memoryUsage,
                          bool showConsole);

private:
    using ValueMap = std::map<std::string, std::string>;

    // What the entry points do once a line has passed the level test; kept
    // out of line so that a filtered line sets up no buffers.
    [[gnu::noinline]] void WriteLine(LogCategory category, int level, const char* text);
    [[gnu::noinline]] void WriteWideLine(LogCategory category, int level, const wchar_t* text);
    [[gnu::noinline]] void WriteRawLine(const char* text);
    [[gnu::noinline]] void WriteRawWideLine(int level, const wchar_t* text);
    [[gnu::noinline]] void WriteFormatted(LogCategory category, int level, bool raw,
                                          const char* format, va_list args);
    [[gnu::noinline]] void WriteFormatted(LogCategory category, int level, bool raw,
                                          const wchar_t* format, va_list args);

    bool SetValue(ValueMap& map, const wchar_t* key, const wchar_t* value);
    void RebuildContextText();
    // Composes the decorated line into `line` (2048 bytes); false on overflow.
    bool Decorate(char* line, size_t length);
    void Emit(LogCategory category, const char* line);
    bool CopyFilePath(wchar_t* destination);
    void ShowOnConsole(LogCategory category, int threadNumber, const char* line);

    // The sharing of one log file by several processes (log/shared_log.cpp).
    // After the file is open: a fresh memory-counters record, the file's
    // identity, its named mutex, and (under that mutex) the shared thread
    // counter; this logger's thread-local slot once.
    void OpenSharedState(LogFile& opened);
    // Waits for the file's mutex; true when this thread now owns it.
    bool WaitForFile();
    // The calling thread's number for this file (0 without a counter).
    int ThreadNumber();
    void ReleaseFile(bool waited);
    // The memory-usage piece of a decorated line; false (no piece) without a
    // counters record or a process service to fill it.
    bool FormatMemoryPiece(char* piece, size_t size);

    const bool processWide_;
    // Lines are written with openLock_ held shared, so threads that write
    // never wait for each other here; Open swaps open_ with it held
    // exclusively, so no writer is ever left with a closed file, mutex or
    // counter. It costs a line two uncontended atomic operations.
    ReadWriteLock openLock_;
    LogFile open_;
    SystemBuffer<wchar_t> consoleBuffer_;  // 2048 units from KaSystem::Allocate
    ValueMap contextValues_;
    ValueMap lineValues_;
    std::string contextText_;
    // Per thread, its number for this logger (0 until it writes). Allocated
    // at the first Open that reached the counter, kept across later Opens.
    TlsSlot threadSlot_;
    int tagWidth_ = 12;
    int threshold_ = 0;
    bool timestamp_ = false;
    bool memoryUsage_ = false;
    bool showConsole_ = false;
    bool consoleCreated_ = false;
    bool consoleAttempted_ = false;
};

// The process-wide instance, configured from the KAV_QMT_LOG_... variables.
KaLog* CreateProcessLogger();
// Destroys it directly (its Release does nothing); it writes its last line.
// Null is fine.
void DestroyProcessLogger(KaLog* logger);

// A private logger on `path`, handed out with one reference.
bool CreatePrivateLogger(const wchar_t* path, KaLog** out);

}  // namespace ka

#endif
