// The logger: categorised, levelled lines appended to a file that several
// processes may share, optionally echoed to a console window. A line is
// written when its level is at most the threshold (0, the most important,
// by default). Wide text is UTF-16, narrow text UTF-8; the file is UTF-8.
// Writing is safe from any thread and process; options, context and line
// values are not guarded: change them while no other thread writes here.
#ifndef KA_LOG_H
#define KA_LOG_H

#include "object.h"

// <windows.h> defines ERROR as a macro; keep it out of the enumerator.
#pragma push_macro("ERROR")
#undef ERROR
enum class LogCategory : uint32_t { STATUS = 0, INFO = 1, WARNING = 2, ERROR = 3, FATAL = 4 };
#pragma pop_macro("ERROR")

// The narrow formatting slots follow the Microsoft runtime's printf (%Iu, ...): GCC and
// clang check their calls against it (the receiver counts as argument 1). Compilers
// have no checker for wide formats, and MSVC none for members: nothing there.
#if defined(__GNUC__) && !defined(__clang__) && defined(__MINGW32__)
#define KA_PRINTF_FORMAT(string, first) __attribute__((format(ms_printf, string, first)))
#elif defined(__GNUC__)
#define KA_PRINTF_FORMAT(string, first) __attribute__((format(printf, string, first)))
#else
#define KA_PRINTF_FORMAT(string, first)
#endif

struct KaLog : KaObject {
    // The tagged line of Write, from wide text (cut at 2048 UTF-8 bytes).
    virtual void WriteW(LogCategory category, int level, const wchar_t* text) = 0;
    // Writes "[TAG] : text" (the tag padded; {TAG} from level 4, unknown categories ERROR),
    // decorated in parentheses when an option, a context or a line value is set.
    virtual void Write(LogCategory category, int level, const char* text) = 0;
    // The line of WriteRaw, from wide text.
    virtual void WriteRawW(int level, const wchar_t* text) = 0;
    // Writes text as a line by itself: no tag, no decoration.
    virtual void WriteRaw(int level, const char* text) = 0;
    // Write of the formatted text (2048 units, cut); wide %s takes wide text, %Iu a size_t.
    virtual void PrintfW(LogCategory category, int level, const wchar_t* format, ...) = 0;
    // Write of the formatted text (2048 bytes, cut); %s takes narrow text.
    virtual void Printf(LogCategory category, int level, const char* format, ...)
        KA_PRINTF_FORMAT(4, 5) = 0;
    // WriteRaw of the formatted text, formatted as PrintfW.
    virtual void PrintfRawW(int level, const wchar_t* format, ...) = 0;
    // WriteRaw of the formatted text, formatted as Printf.
    virtual void PrintfRaw(int level, const char* format, ...) KA_PRINTF_FORMAT(3, 4) = 0;
    // Copies the open file's path into destination (512 units, cut); false when closed.
    virtual bool GetFilePath(wchar_t* destination) = 0;
    // Closes the current file and appends to path, shared with other processes; null only
    // closes (true). False when the file cannot be opened: the logger is then closed.
    virtual bool Open(const wchar_t* path) = 0;
    // Bit value 2: timestamp; bit value 4: memory usage. Other bits are ignored.
    virtual void SetOptions(uint32_t mask) = 0;
    // Echoes the following lines to a console window of this process (or stops).
    virtual void ShowConsole(bool show) = 0;
    // key:value decorates every line until removed (null or empty value). False for a null
    // key, a key over 63 or a value over 255 UTF-8 bytes.
    virtual bool SetContextValue(const wchar_t* key, const wchar_t* value) = 0;
    // As SetContextValue, for the next decorated line only.
    virtual bool SetLineValue(const wchar_t* key, const wchar_t* value) = 0;
    // Columns of the padded tag (default 12, negative: 0); always true.
    virtual bool SetTagWidth(int width) = 0;
    // The threshold.
    virtual int GetLevel() = 0;
    // Sets the threshold (negative: 0).
    virtual void SetLevel(int threshold) = 0;
    // Run by the last Release: writes "Log session terminated." as a STATUS line, closes.
    virtual void Destroy(uint32_t flags) = 0;
};

#endif
