#include "process/runner.h"

#include "frame/boundary.h"
#include "frame/handles.h"
#include "frame/services.h"
#include "frame/win32.h"
#include "frame/win32_util.h"
#include "ka/fs.h"
#include "ka/system.h"

#include <string>
#include <utility>
#include <vector>

namespace ka {
namespace {

constexpr DWORD kWaitStepMs = 1000;
constexpr size_t kInputBlock = 8192;

struct Pipe {
    UniqueHandle read;
    UniqueHandle write;
};

// What the wait takes over from the run: it closes all of it.
struct StartedChild {
    UniqueHandle process;
    UniqueHandle thread;
    Pipe output;
    Pipe errors;
};

// Both ends inheritable at first; the parent's own end loses the flag right
// after, so only the child's end travels into the child.
SECURITY_ATTRIBUTES InheritableAttributes() {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.bInheritHandle = TRUE;
    return attributes;
}
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24 && sizeof(STARTUPINFOW) == 104);

// `name` completes the messages: "stdout" or "stderr".
bool CreateOutputPipe(Pipe& pipe, const wchar_t* name) {
    SECURITY_ATTRIBUTES attributes = InheritableAttributes();
    if (!::CreatePipe(pipe.read.put(), pipe.write.put(), &attributes, 0)) {
        Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to create pipe for %s.", name);
        return false;
    }
    if (!::SetHandleInformation(pipe.read.get(), HANDLE_FLAG_INHERIT, 0)) {
        Log()->PrintfW(LogCategory::WARNING, 0,
                       L"Failed to set handle information to ensure the read handle to the pipe "
                       L"for %s is not inherited.",
                       name);
    }
    return true;
}

// The source's whole content, read in blocks of 8192 bytes until a read
// fails or comes back short. A failed read adds nothing: its count is not
// to be trusted, and neither is a count beyond what was asked for.
std::vector<char> ReadWholeSource(KaStream* source) {
    std::vector<char> data(kInputBlock);
    size_t received = 0;
    for (;;) {
        size_t got = 0;
        if (!source->Read(data.data() + received, kInputBlock, &got)) break;
        received += got < kInputBlock ? got : kInputBlock;
        if (got < kInputBlock) break;
        data.resize(received + kInputBlock);
    }
    data.resize(received);
    return data;
}

DWORD PriorityClass(uint32_t priority) {
    switch (priority) {
        case 1:
            return IDLE_PRIORITY_CLASS;
        case 2:
            return NORMAL_PRIORITY_CLASS;
        case 3:
            return HIGH_PRIORITY_CLASS;
        default:
            return 0;
    }
}

// Moves what the pipe holds right now into the sink, never blocking: only
// the bytes the pipe reports are read. `buffer` is shared by both pipes of a
// run and only grows.
//
// A pass ends when the pipe is empty. It also ends after one wait step's
// time: a child that writes without pause would otherwise keep the pass
// (and the caller) here for good, and the time-out and the message pump
// would never get their turn. Whatever is left waits for the next pass.
void DrainPipe(HANDLE pipe, KaStream* sink, std::vector<char>& buffer) {
    if (pipe == nullptr || pipe == INVALID_HANDLE_VALUE) return;
    const ULONGLONG start = ::GetTickCount64();
    DWORD available = 0;
    while (::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available != 0) {
        if (buffer.size() <= available) buffer.resize(available);
        DWORD read = 0;
        if (!::ReadFile(pipe, buffer.data(), available, &read, nullptr)) {
            // A failure that lasts would repeat for as long as the pipe
            // reports bytes; the next pass tries again.
            Log()->PrintfW(LogCategory::INFO, 6, L"Reading from pipe ... ERROR");
            return;
        }
        Log()->PrintfW(LogCategory::INFO, 6, L"Reading from pipe ... %d bytes", int(read));
        sink->Write(buffer.data(), read, nullptr);  // a sink that refuses loses the bytes
        if (::GetTickCount64() - start >= kWaitStepMs) return;
    }
}

// At most one message of the calling thread per wait step, whatever it is:
// a WM_QUIT is dispatched (to no window) like the rest, as the header says.
void PumpOneMessage() {
    MSG message;
    if (!::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) return;
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
}

// Waits in one-second steps: a time-out T of 2 or more gives the child T + 1
// waits; up to 1 waits for good. Owns and closes everything in `child`.
DWORD WaitForProcess(StartedChild child, const RunRequest& request) {
    std::vector<char> buffer;
    HANDLE process = child.process.get();
    DWORD stepsLeft =
        request.timeoutSeconds >= 2 ? static_cast<DWORD>(request.timeoutSeconds) : 0xFFFFFFFF;
    DWORD result = 0;
    for (;; --stepsLeft) {
        DWORD wait = ::WaitForSingleObject(process, kWaitStepMs);
        if (wait == WAIT_FAILED) {
            result = ::GetLastError();
            break;
        }
        if (wait == WAIT_OBJECT_0) {
            DWORD code = 0;
            result = ::GetExitCodeProcess(process, &code) ? code : ::GetLastError();
            break;
        }
        if (wait == WAIT_ABANDONED) {
            result = 0;
            break;
        }
        if (wait != WAIT_TIMEOUT) {
            result = ::GetLastError();
            break;
        }
        if (stepsLeft == 0) {
            int id = static_cast<int>(::GetProcessId(process));
            Log()->PrintfW(
                LogCategory::ERROR, 0,
                L"The timeout period (%ds) elapsed prior to completion of the process %d",
                request.timeoutSeconds, id);
            if (request.onTimeout) request.onTimeout(process, request.timeoutContext);
            if (!::TerminateProcess(process, kTerminationExitCode)) {
                Log()->PrintfW(LogCategory::ERROR, 0, L"%s: ProcID=%d",
                               SystemErrorText(::GetLastError()).c_str(), id);
            }
            result = kTerminationExitCode;
            break;
        }
        if (request.output) DrainPipe(child.output.read.get(), request.output, buffer);
        if (request.errors) DrainPipe(child.errors.read.get(), request.errors, buffer);
        PumpOneMessage();
    }
    // What the child wrote in its last moments.
    if (request.output) DrainPipe(child.output.read.get(), request.output, buffer);
    if (request.errors) DrainPipe(child.errors.read.get(), request.errors, buffer);
    if (request.onFinished) request.onFinished(process, request.finishedContext);

    std::vector<char>().swap(buffer);
    child.errors.write.reset();
    child.errors.read.reset();
    child.output.write.reset();
    child.output.read.reset();
    child.process.reset();
    child.thread.reset();
    return result;
}

// The input's whole content, and a pipe that holds all of it (none for an
// empty input). False, after its message, when the pipe cannot be made.
bool CreateInputPipe(KaStream* source, std::vector<char>& data, Pipe& input) {
    data = ReadWholeSource(source);
    if (data.empty()) return true;
    source->Seek(0, KA_SEEK_END, nullptr);
    source->Seek(0, KA_SEEK_BEGIN, nullptr);
    // The pipe holds the whole input, so it is written before the child
    // exists without blocking. A pipe buffer is sized in 32 bits: more input
    // than that cannot be made to fit.
    SECURITY_ATTRIBUTES attributes = InheritableAttributes();
    if (data.size() > MAXDWORD || !::CreatePipe(input.read.put(), input.write.put(), &attributes,
                                                static_cast<DWORD>(data.size()))) {
        Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to create pipe for stdin.");
        return false;
    }
    if (!::SetHandleInformation(input.write.get(), HANDLE_FLAG_INHERIT, 0)) {
        Log()->PrintfW(LogCategory::WARNING, 0,
                       L"Failed to set handle information to ensure the write handle to the "
                       L"pipe for STDIN is not inherited.");
    }
    return true;
}

// Position, size and the window's flags take no effect without their flags;
// the character counts and colours shape a console child's window. With any
// pipe, all three standard handles come from here: a stream without a pipe
// is null for the child, not the caller's handle.
STARTUPINFOW StartupRecord(bool showWindow, const Pipe& input, const Pipe& output,
                           const Pipe& errors) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwX = 50;
    startup.dwY = 50;
    startup.dwXSize = 1024;
    startup.dwYSize = 768;
    startup.dwXCountChars = 120;
    startup.dwYCountChars = 50;
    startup.dwFillAttribute = 0xA0;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USECOUNTCHARS | STARTF_USEFILLATTRIBUTE;
    if (input.read || output.write || errors.write) startup.dwFlags |= STARTF_USESTDHANDLES;
    startup.wShowWindow = showWindow ? SW_SHOW : SW_HIDE;
    startup.hStdInput = input.read.get();
    startup.hStdOutput = output.write.get();
    startup.hStdError = errors.write.get();
    return startup;
}

// Writes the whole input into its pipe and closes the writing end, so the
// child reads the data, then the end of the file.
void WriteInput(Pipe& input, const std::vector<char>& data) {
    Log()->PrintfW(LogCategory::INFO, 6, L"Writing into STDIN ... %Iu bytes", data.size());
    DWORD written = 0;
    if (!::WriteFile(input.write.get(), data.data(), static_cast<DWORD>(data.size()), &written,
                     nullptr)) {
        Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to write into stdin handle: %s",
                       SystemErrorText(::GetLastError()).c_str());
        written = 0;
    }
    Log()->PrintfW(LogCategory::INFO, 6, L"Writing into STDIN ... %d bytes written", int(written));
    input.write.reset();
}

bool Run(const RunRequest& request) {
    const wchar_t* directory = request.workingDirectory;
    if (directory != nullptr && *directory == L'\0') directory = nullptr;
    if (directory != nullptr) {
        KaFileSystem* files = System()->GetFileSystem();
        if (!files->DirectoryExists(directory) && !files->CreateDirectories(directory)) {
            return false;
        }
    }

    Pipe output, errors, input;
    if (request.output && !CreateOutputPipe(output, L"stdout")) return false;
    if (request.errors && !CreateOutputPipe(errors, L"stderr")) return false;
    std::vector<char> data;
    if (request.input && !CreateInputPipe(request.input, data, input)) return false;
    STARTUPINFOW startup = StartupRecord(request.showWindow, input, output, errors);
    DWORD priorityClass = PriorityClass(request.priority);
    if (input.write) WriteInput(input, data);

    std::wstring commandLine(request.commandLine);  // CreateProcessW may write into it
    PROCESS_INFORMATION info{};
    DWORD result = 0;
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                          priorityClass | CREATE_UNICODE_ENVIRONMENT,
                          const_cast<void*>(request.environment), directory, &startup, &info)) {
        result = ::GetLastError();
    } else {
        StartedChild child;
        child.process.reset(info.hProcess);
        child.thread.reset(info.hThread);
        if (request.onStarted) request.onStarted(info.hProcess, request.startedContext);
        if (request.processId) *request.processId = info.dwProcessId;
        if (request.wait) {
            child.output = std::move(output);
            child.errors = std::move(errors);
            result = WaitForProcess(std::move(child), request);
        }
        // Not waiting: the child runs on; its pipes close below, so a late
        // write of the child meets a broken pipe.
    }
    if (request.exitCode) *request.exitCode = result;
    return result == 0;
}

}  // namespace

bool RunChildProcess(const RunRequest& request) {
    if (request.commandLine == nullptr || *request.commandLine == L'\0') return false;
    return Boundary(false, [&] { return Run(request); });
}

}  // namespace ka
