// What kahost's commands share: what a command gets and gives back, the way
// every command reports a failure, and the small helpers more than one
// command group uses. main.cpp holds the one table of commands.
#ifndef KA_HOST_KAHOST_H
#define KA_HOST_KAHOST_H

#include "frame/win32.h"
#include "ka/ka.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kahost {

enum ExitCode : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

// What a command gets: the arguments after its name, the library path from
// --dll, and (when the command asked for it) the loaded, initialised root.
struct Invocation {
    std::vector<std::wstring> args;
    std::wstring libraryPath;
    KaSystem* system = nullptr;
    HMODULE module = nullptr;
};

// One row of the command table: a name, a one-line summary for `kahost help`,
// whether it needs the library loaded, and its function, which returns the
// exit code.
struct Command {
    const wchar_t* name;
    const char* summary;
    bool needsLibrary;
    int (*run)(const Invocation&);
};

// Everything kahost prints is UTF-8, whatever the console's code page: the
// output goes to files and pipes far more often than to a console.
std::string Utf8(std::wstring_view text);

// "kahost: <what>" on stderr, followed by the Win32 code and the system's
// text when `error` is not 0. Returns false, so a step can `return Fail(...)`.
bool Fail(const std::string& what, DWORD error = 0);

// A library call about `path` failed: reported with the thread's last Win32
// code, which the library leaves as the call that let it down set it.
bool FailOn(const std::string& what, const std::wstring& path);

// "kahost: <what>", a blank line and the usage on stderr; returns kExitUsage.
int UsageError(const std::string& what);

// A whole number from `text` within [low, high]; false when it is not one.
bool ParseCount(const std::wstring& text, long low, long high, long& value);

// A whole number from `text` within [0, high], 64 bits wide (long has 32 on
// Windows); false when it is not one.
bool ParseSize(const std::wstring& text, uint64_t high, uint64_t& value);

// The bytes of `path` read through the library's file streams, or of
// standard input for "-". False, the failure named, when it cannot be read.
bool ReadInput(KaSystem* system, const std::wstring& path, std::string& bytes);

// Bytes to standard output exactly as they are (no line-end translation).
void WriteOutput(std::string_view bytes);

// One argument as the child's CommandLineToArgvW will split it again.
std::wstring QuoteArgument(const std::wstring& arg);

// The full path of a loaded module (null: this program).
std::wstring ModulePath(HMODULE module);

// The temporary folder, with its final backslash.
std::wstring TempPath();

// A buffer the library allocated for this host; it goes back through the
// host's own root (ka::SystemBuffer is the library's side: it frees through
// the registered interface, which a host does not have).
template <typename T>
class LibraryBuffer {
public:
    explicit LibraryBuffer(KaSystem* system, T* data = nullptr) : system_(system), data_(data) {}
    LibraryBuffer(const LibraryBuffer&) = delete;
    LibraryBuffer& operator=(const LibraryBuffer&) = delete;
    ~LibraryBuffer() { reset(); }
    // For out parameters: frees what is held and hands out the empty slot.
    T** put() {
        reset();
        return &data_;
    }
    T* get() const { return data_; }
    T& operator[](size_t i) const { return data_[i]; }

private:
    void reset() {
        if (T* old = std::exchange(data_, nullptr)) system_->Free(old);
    }
    KaSystem* system_;
    T* data_;
};

// A file of ours in the temporary folder, deleted before and after use.
class ScratchFile {
public:
    explicit ScratchFile(const wchar_t* name);
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ~ScratchFile();
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

// Runs a random graph of `count` tasks on `threads` threads and checks that
// every task ran once with the right result; prints one line after `label`.
// The graph command runs one, and so does the tour.
bool RunRandomGraph(KaSystem* system, int count, int threads, const char* label);

}  // namespace kahost

#endif
