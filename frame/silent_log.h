// A KaLog that swallows every line and is never counted: the stand-in that
// Log() hands out when there is no logger, and a baseline for benchmarks.
#ifndef KA_FRAME_SILENT_LOG_H
#define KA_FRAME_SILENT_LOG_H

#include "ka/log.h"

namespace ka {

class SilentLog final : public KaLog {
public:
    void AddRef() override {}
    int32_t Release() override { return 1; }
    int32_t GetRefCount() override { return 1; }
    void WriteW(LogCategory, int, const wchar_t*) override {}
    void Write(LogCategory, int, const char*) override {}
    void WriteRawW(int, const wchar_t*) override {}
    void WriteRaw(int, const char*) override {}
    void PrintfW(LogCategory, int, const wchar_t*, ...) override {}
    void Printf(LogCategory, int, const char*, ...) override {}
    void PrintfRawW(int, const wchar_t*, ...) override {}
    void PrintfRaw(int, const char*, ...) override {}
    bool GetFilePath(wchar_t*) override { return false; }
    bool Open(const wchar_t*) override { return false; }
    void SetOptions(uint32_t) override {}
    void ShowConsole(bool) override {}
    bool SetContextValue(const wchar_t*, const wchar_t*) override { return false; }
    bool SetLineValue(const wchar_t*, const wchar_t*) override { return false; }
    bool SetTagWidth(int) override { return true; }
    int GetLevel() override { return -1; }
    void SetLevel(int) override {}
    void Destroy(uint32_t) override {}
};

}  // namespace ka

#endif
