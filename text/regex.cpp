#include "text/regex.h"

#include "frame/handles.h"
#include "frame/win32.h"

#include <atomic>
#include <mutex>

namespace ka {

bool Regex::Compile(const wchar_t* pattern) {
    if (pattern == nullptr) return false;
    try {
        expression_.assign(pattern, std::regex_constants::ECMAScript);
        return true;
    } catch (...) {
        return false;
    }
}

RegexMatch::RegexMatch(const wchar_t* subject, Regex* regex)
    : subject_(subject ? subject : L""), regex_(regex) {
    regex_->AddRef();
    cursor_ = results_.size();
}

RegexMatch::~RegexMatch() { regex_->Release(); }

bool RegexMatch::Search() {
    bool found = false;
    auto work = [&] { found = std::regex_search(subject_, results_, regex_->Expression()); };
    if (!RunRegexGuarded(subject_.size(), work)) {
        results_ = std::wsmatch();
        found = false;
    }
    cursor_ = results_.size();
    return found;
}

const wchar_t* RegexMatch::GetText() {
    if (!HasCurrent()) return nullptr;
    groupText_ = results_[cursor_].matched ? results_[cursor_].str() : std::wstring();
    return groupText_.c_str();
}

int64_t RegexMatch::GetPosition() { return HasCurrent() ? results_.position(cursor_) : 0; }

int64_t RegexMatch::GetLength() {
    return HasCurrent() && results_[cursor_].matched ? results_.length(cursor_) : 0;
}

bool RegexMatch::Next() {
    if (!HasCurrent()) return false;
    ++cursor_;
    return HasCurrent();
}

// ----------------------------------------------------------------- the guard
//
// libstdc++'s ECMAScript engine matches depth-first and recurses a few frames
// per subject character (several hundred bytes each): a 100 000-character
// match of (a|b)* needs more than 64 MiB of stack. Short subjects run on the
// caller's thread; longer ones on a fresh thread with a large reserved stack.
// Should even that overflow, a vectored handler moves the thread to a point
// near the top of its own stack where it ends itself; the engine holds no
// locks while it recurses, so abandoning its frames leaks only the engine's
// scratch vectors.
namespace {

constexpr size_t kInlineSubjectLimit = 512;         // at most a few hundred KiB of stack
constexpr SIZE_T kGuardedStackReserve = 256u << 20;  // address space only, committed on use
constexpr ULONG kHandlerStackGuarantee = 64 * 1024;

struct GuardedRun {
    void (*work)(void*);
    void* context;
    bool completed = false;
    DWORD64 bailoutRsp = 0;
};

DWORD g_guardSlot = TLS_OUT_OF_INDEXES;  // the GuardedRun of a guarded thread
std::mutex g_guardLock;
void* g_guardHandler = nullptr;

[[noreturn]] void BailOut() { ::ExitThread(1); }

LONG CALLBACK StackOverflowHandler(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    // Win32 TLS, not thread_local: reading it allocates nothing, which matters
    // on a thread that has just run out of stack.
    auto* run = static_cast<GuardedRun*>(::TlsGetValue(g_guardSlot));
    if (run == nullptr) return EXCEPTION_CONTINUE_SEARCH;  // not one of ours
    info->ContextRecord->Rsp = run->bailoutRsp;
    info->ContextRecord->Rip = reinterpret_cast<DWORD64>(&BailOut);
    return EXCEPTION_CONTINUE_EXECUTION;
}

bool InstallGuard() {
    std::lock_guard<std::mutex> lock(g_guardLock);
    if (g_guardHandler != nullptr) return true;
    if (g_guardSlot == TLS_OUT_OF_INDEXES) g_guardSlot = ::TlsAlloc();
    if (g_guardSlot == TLS_OUT_OF_INDEXES) return false;
    g_guardHandler = ::AddVectoredExceptionHandler(1, StackOverflowHandler);
    return g_guardHandler != nullptr;
}

DWORD WINAPI GuardedThread(void* parameter) {
    auto* run = static_cast<GuardedRun*>(parameter);
    ULONG guarantee = kHandlerStackGuarantee;
    ::SetThreadStackGuarantee(&guarantee);
    // Where BailOut will run: a little below this frame, 16-byte aligned and
    // then one slot lower, as if it had been called.
    volatile char anchor = 0;
    run->bailoutRsp = ((reinterpret_cast<DWORD64>(&anchor) - 1024) & ~DWORD64(15)) - 8;
    ::TlsSetValue(g_guardSlot, run);
    try {
        run->work(run->context);
        run->completed = true;
    } catch (...) {
    }
    ::TlsSetValue(g_guardSlot, nullptr);
    return 0;
}

}  // namespace

void RemoveRegexGuard() {
    std::lock_guard<std::mutex> lock(g_guardLock);
    if (g_guardHandler != nullptr) ::RemoveVectoredExceptionHandler(g_guardHandler);
    g_guardHandler = nullptr;
    if (g_guardSlot != TLS_OUT_OF_INDEXES) ::TlsFree(g_guardSlot);
    g_guardSlot = TLS_OUT_OF_INDEXES;
}

bool RunRegexGuarded(size_t subjectLength, void (*work)(void*), void* context) {
    if (subjectLength <= kInlineSubjectLimit || !InstallGuard()) {
        try {
            work(context);
            return true;
        } catch (...) {
            return false;
        }
    }
    GuardedRun run{work, context};
    UniqueHandle thread(::CreateThread(nullptr, kGuardedStackReserve, GuardedThread, &run,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread) return false;
    ::WaitForSingleObject(thread.get(), INFINITE);
    return run.completed;
}

}  // namespace ka
