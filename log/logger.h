// KaLog: categorised, levelled lines appended to one file, optionally echoed
// to a console window of the logger's own.
#ifndef KA_LOG_LOGGER_H
#define KA_LOG_LOGGER_H

#include "frame/handles.h"
#include "frame/ref_counted.h"
#include "ka/fs.h"
#include "ka/log.h"
#include "ka/process.h"

#include <cstdio>
#include <map>
#include <string>


namespace ka {

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

    bool SetValue(ValueMap& map, const wchar_t* key, const wchar_t* value);
    void RebuildContextText();
    // Composes the decorated line into `line` (2048 bytes); false on overflow.
    bool Decorate(char* line, size_t length);
    void Emit(LogCategory category, const char* line);
    void ShowOnConsole(LogCategory category, int threadNumber, const char* line);

    // Hook points of the cross-process sharing of a log file (a named mutex
    // and a shared thread counter). Without them a logger holds no mutex and
    // no counter: lines carry no number and take no cross-process lock.
    void OpenSharedState() {}
    bool WaitForFile() { return false; }
    int ThreadNumber() { return 0; }
    void ReleaseFile(bool /*waited*/) {}
    // The memory-usage piece of a decorated line; empty without a counters
    // record.
    bool FormatMemoryPiece(char* /*piece*/, size_t /*size*/) { return false; }

    const bool processWide_;
    UniqueCrtFile file_;
    ObjectRef<KaMemoryCounters> memoryCounters_;
    ObjectRef<KaMemoryMappedFile> threadCounter_;
    SystemBuffer<wchar_t> consoleBuffer_;  // 2048 units from KaSystem::Allocate
    ValueMap contextValues_;
    ValueMap lineValues_;
    std::string contextText_;
    std::wstring path_;
    UniqueHandle fileMutex_;
    DWORD threadSlot_ = TLS_OUT_OF_INDEXES;
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
