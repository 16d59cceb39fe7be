// The logger: categorised, levelled lines appended to a file that several
// processes may share, optionally echoed to a console window.
#ifndef KA_LOG_H
#define KA_LOG_H

#include "object.h"

// <windows.h> defines ERROR as a macro; keep it out of the enumerator.
#pragma push_macro("ERROR")
#undef ERROR
enum class LogCategory : uint32_t { STATUS = 0, INFO = 1, WARNING = 2, ERROR = 3, FATAL = 4 };
#pragma pop_macro("ERROR")

struct KaLog : KaObject {
    virtual void WriteW(LogCategory category, int level, const wchar_t* text) = 0;
    virtual void Write(LogCategory category, int level, const char* text) = 0;
    virtual void WriteRawW(int level, const wchar_t* text) = 0;
    virtual void WriteRaw(int level, const char* text) = 0;
    // Wide formats read %s as wide text; %Iu is understood.
    virtual void PrintfW(LogCategory category, int level, const wchar_t* format, ...) = 0;
    virtual void Printf(LogCategory category, int level, const char* format, ...) = 0;
    virtual void PrintfRawW(int level, const wchar_t* format, ...) = 0;
    virtual void PrintfRaw(int level, const char* format, ...) = 0;
    // destination holds 512 UTF-16 units.
    virtual bool GetFilePath(wchar_t* destination) = 0;
    virtual bool Open(const wchar_t* path) = 0;
    // Bit value 2: timestamp; bit value 4: memory usage.
    virtual void SetOptions(uint32_t mask) = 0;
    virtual void ShowConsole(bool show) = 0;
    virtual bool SetContextValue(const wchar_t* key, const wchar_t* value) = 0;
    virtual bool SetLineValue(const wchar_t* key, const wchar_t* value) = 0;
    virtual bool SetTagWidth(int width) = 0;
    virtual int GetLevel() = 0;
    virtual void SetLevel(int threshold) = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

#endif
