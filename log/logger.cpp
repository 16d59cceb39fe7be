#include "log/logger.h"

#include "frame/boundary.h"
#include "frame/services.h"
#include "frame/win32.h"
#include "ka/system.h"
#include "ka/text.h"

#include <conio.h>
#include <process.h>
#include <share.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <utility>

namespace ka {
namespace {

constexpr size_t kLineSize = 2048;   // bytes of a composed line, terminator included
constexpr size_t kPieceSize = 256;   // bytes of one decoration piece
constexpr size_t kWideSize = 2048;   // UTF-16 units of a wide format result
constexpr int kKeySize = 64;         // UTF-8 bytes of a value's key, terminator included
constexpr int kValueSize = 256;      // UTF-8 bytes of a value, terminator included
constexpr int kConsoleUnits = 2048;  // UTF-16 units of the console conversion buffer
constexpr uint32_t kTimestampOption = 2;
constexpr uint32_t kMemoryUsageOption = 4;

const char* Tag(LogCategory category, int level) {
    bool braces = level >= 4;
    switch (category) {
        case LogCategory::STATUS:
            return braces ? "{STATUS}" : "[STATUS]";
        case LogCategory::INFO:
            return braces ? "{INFO}" : "[INFO]";
        case LogCategory::WARNING:
            return braces ? "{WARNING}" : "[WARNING]";
        case LogCategory::FATAL:
            return braces ? "{FATAL}" : "[FATAL]";
        default:
            return braces ? "{ERROR}" : "[ERROR]";  // ERROR and every unknown value
    }
}

// The Microsoft runtime's formatting (wide %s in wide formats, %Iu), cut at
// the buffer's end and always terminated.
void FormatNarrow(char* buffer, size_t size, const char* format, va_list args) {
    if (_vsnprintf(buffer, size - 1, format ? format : "", args) < 0) buffer[size - 1] = '\0';
    buffer[size - 1] = '\0';
}

void FormatWide(wchar_t* buffer, size_t size, const wchar_t* format, va_list args) {
    if (_vsnwprintf(buffer, size - 1, format ? format : L"", args) < 0) buffer[size - 1] = L'\0';
    buffer[size - 1] = L'\0';
}

void FormatPiece(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatNarrow(buffer, size, format, args);
    va_end(args);
}

// Wide text to UTF-8 in a 2048-byte buffer, through the text service (so an
// unpaired surrogate arrives as U+FFFD). Text too long for the buffer is cut
// at a character boundary rather than dropped.
void ToUtf8Line(const wchar_t* text, char* out) {
    out[0] = '\0';
    if (text == nullptr) return;
    KaStringUtil* util = System()->GetStringUtil();
    if (util->WideToMultiByteBuffer(text, CP_UTF8, out, kLineSize)) return;
    // Too long: a prefix that fits, never cut inside a surrogate pair. Every
    // unit gives at least one byte, and each retry shrinks the prefix by the
    // measured overshoot, so this ends after a few rounds.
    size_t units = std::wcslen(text);
    size_t take = units < kLineSize - 1 ? units : kLineSize - 1;
    while (take > 0) {
        if (text[take - 1] >= 0xD800 && text[take - 1] <= 0xDBFF) --take;
        int n = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(take), out,
                                      static_cast<int>(kLineSize - 1), nullptr, nullptr);
        if (n > 0) {
            out[n] = '\0';
            return;
        }
        int needed = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(take), nullptr, 0,
                                           nullptr, nullptr);
        if (needed <= 0) return;
        size_t shrunk = take * (kLineSize - 1) / static_cast<size_t>(needed);
        take = shrunk < take ? shrunk : take - 1;
    }
}

// A wide format result (2048 UTF-16 units) as a UTF-8 line.
void FormatWideAsUtf8(char* line, const wchar_t* format, va_list args) {
    wchar_t wide[kWideSize];
    FormatWide(wide, kWideSize, format, args);
    ToUtf8Line(wide, line);
}

// Copies `piece` behind `length` bytes of `line` when it fits completely.
bool AppendWhole(char* line, size_t& length, const char* piece) {
    size_t n = std::strlen(piece);
    if (length + n > kLineSize - 1) return false;
    std::memcpy(line + length, piece, n + 1);
    length += n;
    return true;
}

// Copies as much of `piece` as fits; false when it was cut.
bool AppendCut(char* line, size_t& length, const char* piece) {
    size_t n = std::strlen(piece);
    size_t room = kLineSize - 1 - length;
    size_t take = n < room ? n : room;
    std::memcpy(line + length, piece, take);
    length += take;
    line[length] = '\0';
    return take == n;
}

// An environment variable read as a decimal integer from its leading part
// (blanks, sign, digits); unset, empty or longer than 1023 characters is 0.
int ReadNumberVariable(const char* name) {
    char value[1024];
    DWORD n = ::GetEnvironmentVariableA(name, value, sizeof value);
    if (n == 0 || n >= sizeof value) return 0;
    return std::atoi(value);
}

}  // namespace

Logger::~Logger() {
    Write(LogCategory::STATUS, 0, "Log session terminated.");
    if (consoleCreated_) ::FreeConsole();
}

void Logger::AddRef() {
    if (!processWide_) RefCounted::AddRef();
}

int32_t Logger::Release() { return processWide_ ? 1 : RefCounted::Release(); }

int32_t Logger::GetRefCount() { return processWide_ ? 1 : RefCounted::GetRefCount(); }

// Every entry point tests the level and then hands over to a function out
// of line: a filtered line costs no formatting, no conversion, no lock and
// not even the stack frame of the line buffers (over a page for the wide
// ones, which the compiler probes page by page on entry).
void Logger::WriteW(LogCategory category, int level, const wchar_t* text) {
    if (level > threshold_) return;
    WriteWideLine(category, level, text);
}

void Logger::Write(LogCategory category, int level, const char* text) {
    if (level > threshold_) return;
    WriteLine(category, level, text);
}

void Logger::WriteWideLine(LogCategory category, int level, const wchar_t* text) {
    char line[kLineSize];
    ToUtf8Line(text, line);
    Write(category, level, line);
}

void Logger::WriteLine(LogCategory category, int level, const char* text) {
    SharedHold hold(openLock_);  // the memory piece and the line use the open file's state
    const char* tag = Tag(category, level);
    if (text == nullptr) text = "";
    char line[kLineSize];
    std::snprintf(line, kLineSize, "%*s : %s", 1 - tagWidth_, tag, text);
    bool decorated = timestamp_ || memoryUsage_ || !contextText_.empty() || !lineValues_.empty();
    if (decorated && !Decorate(line, std::strlen(line))) {
        // The decoration does not fit: the plain line, with the tag padded to
        // the full width; the line values wait for the next line.
        std::snprintf(line, kLineSize, "%*s: %s", -tagWidth_, tag, text);
    }
    Emit(category, line);
}

bool Logger::Decorate(char* line, size_t length) {
    if (!AppendWhole(line, length, "\t(")) return false;
    char piece[kPieceSize];
    if (timestamp_) {
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        FormatPiece(piece, sizeof piece, "time:%04d/%02d/%02d %02d:%02d:%02d\ttick:%llu\t",
                    now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                    static_cast<unsigned long long>(::GetTickCount64()));
        if (!AppendWhole(line, length, piece)) return false;
    }
    if (memoryUsage_ && FormatMemoryPiece(piece, sizeof piece)) {
        if (!AppendWhole(line, length, piece)) return false;
    }
    if (!AppendWhole(line, length, contextText_.c_str())) return false;
    for (const auto& [key, value] : lineValues_) {
        FormatPiece(piece, sizeof piece, "%s:%s\t", key.c_str(), value.c_str());
        if (!AppendCut(line, length, piece)) break;
    }
    lineValues_.clear();
    line[length - 1] = ')';  // the last tab, or the opening parenthesis
    return true;
}

void Logger::WriteRawW(int level, const wchar_t* text) {
    if (level > threshold_) return;
    WriteRawWideLine(level, text);
}

void Logger::WriteRaw(int level, const char* text) {
    if (level > threshold_) return;
    WriteRawLine(text);
}

void Logger::WriteRawWideLine(int level, const wchar_t* text) {
    char line[kLineSize];
    ToUtf8Line(text, line);
    WriteRaw(level, line);
}

void Logger::WriteRawLine(const char* text) {
    SharedHold hold(openLock_);
    Emit(LogCategory::INFO, text ? text : "");
}

void Logger::PrintfW(LogCategory category, int level, const wchar_t* format, ...) {
    if (level > threshold_) return;
    va_list args;
    va_start(args, format);
    WriteFormatted(category, level, false, format, args);
    va_end(args);
}

void Logger::Printf(LogCategory category, int level, const char* format, ...) {
    if (level > threshold_) return;
    va_list args;
    va_start(args, format);
    WriteFormatted(category, level, false, format, args);
    va_end(args);
}

void Logger::PrintfRawW(int level, const wchar_t* format, ...) {
    if (level > threshold_) return;
    va_list args;
    va_start(args, format);
    WriteFormatted(LogCategory::INFO, level, true, format, args);
    va_end(args);
}

void Logger::PrintfRaw(int level, const char* format, ...) {
    if (level > threshold_) return;
    va_list args;
    va_start(args, format);
    WriteFormatted(LogCategory::INFO, level, true, format, args);
    va_end(args);
}

void Logger::WriteFormatted(LogCategory category, int level, bool raw, const wchar_t* format,
                            va_list args) {
    char line[kLineSize];
    FormatWideAsUtf8(line, format, args);
    raw ? WriteRaw(level, line) : Write(category, level, line);
}

void Logger::WriteFormatted(LogCategory category, int level, bool raw, const char* format,
                            va_list args) {
    char line[kLineSize];
    FormatNarrow(line, kLineSize, format, args);
    raw ? WriteRaw(level, line) : Write(category, level, line);
}

// With openLock_ held shared.
void Logger::Emit(LogCategory category, const char* line) {
    bool waited = WaitForFile();
    int number = ThreadNumber();
    if (showConsole_) ShowOnConsole(category, number, line);
    if (FILE* file = open_.file.get()) {
        // The line goes out under the stream's own lock as one piece, so
        // threads of this process that share the logger never tear or
        // interleave lines, even without the file's mutex (it could not be
        // made, or a wait for it timed out).
        _lock_file(file);
        if (number > 1) std::fprintf(file, "%d> ", number);
        std::fputs(line, file);
        std::fputc('\n', file);
        std::fflush(file);
        _unlock_file(file);
    }
    ReleaseFile(waited);
}

bool Logger::GetFilePath(wchar_t* destination) {
    SharedHold hold(openLock_);
    return CopyFilePath(destination);
}

// With openLock_ held (the console title asks while a line is written).
bool Logger::CopyFilePath(wchar_t* destination) {
    const std::wstring& path = open_.path;
    if (!open_.file || path.empty() || destination == nullptr) return false;
    size_t n = path.size() < 511 ? path.size() : 511;
    std::wmemcpy(destination, path.c_str(), n);
    destination[n] = L'\0';
    return true;
}

// The old file is taken away, and the new one put in place, each in one step
// under openLock_; the work in between (which may log, even to this very
// logger) is done without it. Lines written meanwhile find the logger closed.
bool Logger::Open(const wchar_t* path) {
    return Boundary(false, [&] {
        LogFile file;
        {
            ExclusiveHold hold(openLock_);
            std::swap(file, open_);
        }
        file = LogFile();  // closed once no writer uses it
        if (path == nullptr) return true;
        // Appended in text mode, and shared: other processes read and write the
        // same file while this one has it open. Not inherited ("N"): a child
        // process (the console host included) must not keep the log file open.
        file.file.reset(_wfsopen(path, L"atN", _SH_DENYNO));
        if (!file.file) return false;
        file.path = path;
        OpenSharedState(file);
        {
            ExclusiveHold hold(openLock_);
            std::swap(file, open_);
        }
        return true;  // what a concurrent Open put in place meanwhile goes with `file`
    });
}

void Logger::SetOptions(uint32_t mask) {
    timestamp_ = (mask & kTimestampOption) != 0;
    memoryUsage_ = (mask & kMemoryUsageOption) != 0;
}

void Logger::ShowConsole(bool show) { showConsole_ = show; }

bool Logger::SetValue(ValueMap& map, const wchar_t* key, const wchar_t* value) {
    if (key == nullptr) return false;
    KaStringUtil* text = System()->GetStringUtil();
    char narrowKey[kKeySize];
    if (!text->WideToMultiByteBuffer(key, CP_UTF8, narrowKey, kKeySize)) return false;
    if (value != nullptr && *value != L'\0') {
        char narrowValue[kValueSize];
        if (!text->WideToMultiByteBuffer(value, CP_UTF8, narrowValue, kValueSize)) return false;
        map[narrowKey] = narrowValue;
    } else {
        map.erase(narrowKey);
    }
    return true;
}

bool Logger::SetContextValue(const wchar_t* key, const wchar_t* value) {
    return Boundary(false, [&] {
        if (!SetValue(contextValues_, key, value)) return false;
        RebuildContextText();
        return true;
    });
}

bool Logger::SetLineValue(const wchar_t* key, const wchar_t* value) {
    return Boundary(false, [&] { return SetValue(lineValues_, key, value); });
}

void Logger::RebuildContextText() {
    contextText_.clear();
    for (const auto& [key, value] : contextValues_) {
        contextText_ += key;
        contextText_ += ':';
        contextText_ += value;
        contextText_ += '\t';
    }
}

bool Logger::SetTagWidth(int width) {
    tagWidth_ = width < 0 ? 0 : width;
    return true;
}

int Logger::GetLevel() { return threshold_; }

void Logger::SetLevel(int threshold) { threshold_ = threshold < 0 ? 0 : threshold; }

void Logger::ConfigureAndOpen(const wchar_t* path, int threshold, bool timestamp, bool memoryUsage,
                              bool showConsole) {
    if (open_.file || path == nullptr || *path == L'\0') return;
    threshold_ = threshold;
    timestamp_ = timestamp;
    memoryUsage_ = memoryUsage;
    ShowConsole(showConsole);
    Open(path);
}

// The console echo: a window of the logger's own, created at the first line,
// with WARNING and ERROR lines in colour.
void Logger::ShowOnConsole(LogCategory category, int threadNumber, const char* line) {
    if (!consoleAttempted_) {
        consoleAttempted_ = true;
        consoleCreated_ = ::AllocConsole() != FALSE;  // fails when the process has one
        if (consoleCreated_) {
            wchar_t path[512] = L"";
            CopyFilePath(path);
            wchar_t title[512];
            _snwprintf(title, 511, L"QMT Log Console - pid = %d - %s", _getpid(), path);
            title[511] = L'\0';
            ::SetConsoleTitleW(title);
        }
    }
    if (!consoleBuffer_) {
        consoleBuffer_.reset(
            static_cast<wchar_t*>(System()->Allocate(kConsoleUnits * sizeof(wchar_t))));
        if (!consoleBuffer_) return;
    }
    if (!System()->GetStringUtil()->MultiByteToWideBuffer(line, CP_UTF8, consoleBuffer_.get(),
                                                          kConsoleUnits)) {
        return;  // too long or not UTF-8: the file still gets the line
    }
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    bool haveAttributes =
        out != nullptr && out != INVALID_HANDLE_VALUE && ::GetConsoleScreenBufferInfo(out, &info);
    if (haveAttributes) {
        WORD attributes = info.wAttributes;
        if (category == LogCategory::WARNING) {
            ::SetConsoleTextAttribute(out, (attributes & ~WORD(0x7)) | 0x60);  // dark on yellow
        } else if (category == LogCategory::ERROR) {
            ::SetConsoleTextAttribute(out, attributes | 0x40);  // red background
        }
    }
    if (threadNumber > 1) {
        _cwprintf(L"%d> %s", threadNumber, consoleBuffer_.get());
    } else {
        _cwprintf(L"%s", consoleBuffer_.get());
    }
    if (haveAttributes) ::SetConsoleTextAttribute(out, info.wAttributes);
    _cwprintf(L"\r\n");
}

KaLog* CreateProcessLogger() {
    auto* logger = NewObject<Logger>(true);
    if (logger == nullptr) return nullptr;
    wchar_t path[1024];
    DWORD n = ::GetEnvironmentVariableW(L"KAV_QMT_LOG_FILE", path, 1024);
    if (n > 0 && n < 1024) {
        logger->ConfigureAndOpen(path, ReadNumberVariable("KAV_QMT_LOG_LEVEL"),
                                 ReadNumberVariable("KAV_QMT_LOG_TIMESTAMP") != 0,
                                 ReadNumberVariable("KAV_QMT_LOG_MEMORY_USAGE") != 0,
                                 ReadNumberVariable("KAV_QMT_LOG_SHOW_CONSOLE") != 0);
    }
    return logger;
}

void DestroyProcessLogger(KaLog* logger) {
    if (logger != nullptr) logger->Destroy(KA_DESTROY_FREE);
}

bool CreatePrivateLogger(const wchar_t* path, KaLog** out) {
    if (path == nullptr || out == nullptr) return false;
    return HandOut(NewObject<Logger>(false), out, [path](Logger& logger) {
        // Opening may fail: the logger is still handed out and writes nowhere.
        logger.ConfigureAndOpen(path, ReadNumberVariable("KAV_QMT_LOG_LEVEL"),
                                ReadNumberVariable("KAV_QMT_LOG_TIMESTAMP") != 0,
                                ReadNumberVariable("KAV_QMT_LOG_MEMORY_USAGE") != 0, false);
        return true;
    });
}

}  // namespace ka
