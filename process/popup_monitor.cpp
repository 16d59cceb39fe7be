#include "process/popup_monitor.h"

#include "frame/boundary.h"
#include "frame/critical_section.h"
#include "frame/handles.h"
#include "frame/library_thread.h"
#include "frame/ref_counted.h"
#include "frame/services.h"
#include "frame/win32.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <exception>
#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

// How the worker avoids the deadlock of a watched window's own thread.
//
// Reading a window's text is a message to the thread that owns the window
// when that thread is in this process (GetWindowTextW sends WM_GETTEXT, the
// edit lines are EM_ messages). Were the worker to hold the monitor's lock
// while it waits for such an answer, a thread of the host that owns watched
// windows and calls a rule slot, or releases the monitor, would wait for the
// worker while the worker waits for it. So a scan has two halves:
//
//  - reading, without the lock: the rules are copied under the lock, then
//    the windows are enumerated and their texts read with that copy;
//  - judging and closing, under the lock: the texts are matched against the
//    rules and WM_CLOSE is posted. Nothing here waits for another thread.
//
// Rule slots therefore never wait for a window's thread. Every rule change
// counts a generation; a scan whose rules changed while it was reading is
// read again at once with the new rules, so once a rule slot has returned no
// window is closed by the rules it replaced.
//
// The last release waits until the worker has finished (a scan in progress
// is completed first). A waiting thread that owns windows serves the
// messages sent to it meanwhile, so the worker's reading completes. When the
// release happens inside the very message the worker waits on (a window
// procedure answering WM_GETTEXT releases the monitor), no wait on that
// thread can end: the teardown then moves to a thread of its own.
namespace ka {
namespace {

constexpr DWORD kDefaultIntervalMs = 10000;
// Texts and class names are read up to 511 characters.
constexpr int kTextCapacity = 512;
constexpr WORD kEditLineCapacity = 511;
// An edit control of another process that does not answer within this time
// counts as unreadable (the system marshals these messages, so giving up is
// safe there; in this process the sender's buffer would be written later).
constexpr UINT kForeignReplyMs = 5000;

// The sets compare as _wcsicmp does, so a text that differs from a stored
// one only in letter case is the same rule.
struct NoCaseLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return _wcsicmp(a.c_str(), b.c_str()) < 0;
    }
};
using TextSet = std::set<std::wstring, NoCaseLess>;

std::wstring StripAmpersands(std::wstring text) {
    std::erase(text, L'&');
    return text;
}

// TAB, LF and CR become spaces, then runs of spaces become one; a leading
// or trailing space stays.
std::wstring NormaliseMessage(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (c == L'\t' || c == L'\n' || c == L'\r') c = L' ';
        if (c == L' ' && !out.empty() && out.back() == L' ') continue;
        out.push_back(c);
    }
    return out;
}

// A static text that is empty adds nothing; an empty edit line still adds
// its separating blank.
void AppendPiece(std::wstring& message, const wchar_t* text, size_t length) {
    if (!message.empty()) message.push_back(L' ');
    message.append(text, length);
}

// What one scan works with, copied under the lock.
struct Rules {
    std::unordered_set<uint32_t> processes;
    TextSet captions;
    TextSet messages;
    TextSet buttons;
    bool allProcesses = false;
    bool modalOnly = true;
};

// A window that passed the filter, with what its contents say.
struct Candidate {
    HWND window = nullptr;
    std::wstring message;
    // Button captions without "&", in code-unit order; a later button with
    // the same caption replaces the earlier one.
    std::map<std::wstring, HWND> buttons;
};

class PopupMonitor final : public RefCounted<PopupMonitor, KaPopupMonitor> {
public:
    ~PopupMonitor();
    bool Start();

    bool AddCaption(const wchar_t* text) override { return Change(captions_, text, true, false); }
    bool RemoveCaption(const wchar_t* text) override {
        return Change(captions_, text, false, false);
    }
    bool ClearCaptions() override { return Clear(captions_); }
    bool AddMessage(const wchar_t* text) override { return Change(messages_, text, true, false); }
    bool RemoveMessage(const wchar_t* text) override {
        return Change(messages_, text, false, false);
    }
    bool ClearMessages() override { return Clear(messages_); }
    bool AddButton(const wchar_t* text) override { return Change(buttons_, text, true, true); }
    bool RemoveButton(const wchar_t* text) override { return Change(buttons_, text, false, true); }
    bool ClearButtons() override { return Clear(buttons_); }
    bool AddProcess(int32_t processId) override;
    bool RemoveProcess(uint32_t processId) override;
    bool ClearProcesses() override;
    void SetInterval(int32_t milliseconds) override;
    void SetModalOnly(bool modalOnly) override {
        modalOnly_.store(modalOnly, std::memory_order_relaxed);
    }
    void Destroy(uint32_t flags) override;

private:
    bool Change(TextSet& set, const wchar_t* text, bool add, bool strip);
    bool Clear(TextSet& set);

    static void WorkerMain(void* monitor) { static_cast<PopupMonitor*>(monitor)->Work(); }
    void Work();
    void Pause(ScopedLock& hold, bool first, bool idle);
    void YieldToCallers(ScopedLock& hold);
    bool ScanOnce(ScopedLock& hold);
    void Collect(const Rules& rules, std::vector<Candidate>& candidates);
    static BOOL CALLBACK FilterWindow(HWND window, LPARAM context);
    static BOOL CALLBACK CollectContents(HWND window, LPARAM context);
    void Judge(const Rules& rules, const Candidate& candidate);
    void Close(const Candidate& candidate);
    std::wstring ReadText(HWND window);
    bool AskWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& answer);
    void ShutDown();
    void WaitForWorker();

    CriticalSection lock_;
    std::atomic<int> callersWaiting_{0};  // slot callers blocked on lock_ (see CallerLock)
    CONDITION_VARIABLE wakeUp_ = CONDITION_VARIABLE_INIT;
    std::unordered_set<uint32_t> processes_;
    TextSet captions_;
    TextSet messages_;
    TextSet buttons_;
    UniqueHandle worker_;
    UniqueHandle finishedEvent_;  // set by the worker as its very last touch of the monitor
    DWORD interval_ = kDefaultIntervalMs;
    bool stopRequested_ = false;
    bool workerFinished_ = false;
    std::atomic<bool> modalOnly_{true};  // written without the lock
    bool allProcesses_ = false;
    uint64_t generation_ = 0;  // counts rule changes
    // The thread whose window the worker waits on for an answer, 0 if none.
    std::atomic<DWORD> waitingOn_{0};

    friend class CallerLock;
};

// How every caller other than the worker takes the monitor's lock. A
// critical section is not fair: a worker that pauses for 0 ms leaves and
// takes it again at once, and a caller blocked on it may never get in. So
// callers announce themselves while they wait, the worker does not start its
// next round while one is announced, and each caller wakes the worker when
// it leaves. No caller thereby waits for more than the round in progress.
class [[nodiscard]] CallerLock {
public:
    [[nodiscard]] explicit CallerLock(PopupMonitor& monitor)
        : monitor_(Announce(monitor)), hold_(monitor.lock_) {
        monitor_.callersWaiting_.fetch_sub(1);
    }
    // The wake comes after the lock was left (hold_ goes after this body).
    ~CallerLock() { waker_.condition = &monitor_.wakeUp_; }
    CallerLock(const CallerLock&) = delete;
    CallerLock& operator=(const CallerLock&) = delete;

    bool Wait(CONDITION_VARIABLE& condition, DWORD milliseconds) {
        return hold_.Wait(condition, milliseconds);
    }

private:
    static PopupMonitor& Announce(PopupMonitor& monitor) {
        monitor.callersWaiting_.fetch_add(1);
        return monitor;
    }
    struct Waker {
        CONDITION_VARIABLE* condition = nullptr;
        ~Waker() {
            if (condition != nullptr) ::WakeConditionVariable(condition);
        }
    };

    PopupMonitor& monitor_;
    Waker waker_;  // destroyed after hold_, so it wakes once the lock is free
    ScopedLock hold_;
};

// Notes, for the time of one window call, which thread the worker waits on.
class NoteWaitedThread {
public:
    NoteWaitedThread(std::atomic<DWORD>& note, DWORD thread) : note_(note) { note_.store(thread); }
    ~NoteWaitedThread() { note_.store(0); }
    NoteWaitedThread(const NoteWaitedThread&) = delete;
    NoteWaitedThread& operator=(const NoteWaitedThread&) = delete;

private:
    std::atomic<DWORD>& note_;
};

bool PopupMonitor::Start() {
    finishedEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (finishedEvent_) worker_ = StartLibraryThread(&WorkerMain, this);
    if (!worker_) {
        Log()->PrintfW(LogCategory::ERROR, 0,
                       L"Failed to create a worker thread for popup monitor.");
        return false;
    }
    return true;
}

bool PopupMonitor::Change(TextSet& set, const wchar_t* text, bool add, bool strip) {
    // The emptiness test comes before the ampersands go: "&" alone is a rule
    // for buttons whose caption is empty or only ampersands.
    if (text == nullptr || *text == L'\0') return false;
    return Boundary(false, [&] {
        std::wstring value = strip ? StripAmpersands(text) : std::wstring(text);
        CallerLock hold(*this);
        bool changed = add ? set.insert(std::move(value)).second : set.erase(value) != 0;
        if (changed) ++generation_;
        return true;
    });
}

bool PopupMonitor::Clear(TextSet& set) {
    CallerLock hold(*this);
    if (!set.empty()) ++generation_;
    set.clear();
    return true;
}

bool PopupMonitor::AddProcess(int32_t processId) {
    return Boundary(false, [&] {
        CallerLock hold(*this);
        if (processId < 0) {
            processes_.clear();
            allProcesses_ = true;
        } else {
            processes_.insert(static_cast<uint32_t>(processId));
            allProcesses_ = false;
        }
        ++generation_;
        return true;
    });
}

bool PopupMonitor::RemoveProcess(uint32_t processId) {
    CallerLock hold(*this);
    if (processes_.erase(processId) != 0) ++generation_;
    return true;
}

bool PopupMonitor::ClearProcesses() {
    CallerLock hold(*this);
    processes_.clear();
    allProcesses_ = false;
    ++generation_;
    return true;
}

void PopupMonitor::SetInterval(int32_t milliseconds) {
    // The absolute value, also of the most negative number.
    uint32_t magnitude = milliseconds < 0 ? 0u - static_cast<uint32_t>(milliseconds)
                                          : static_cast<uint32_t>(milliseconds);
    CallerLock hold(*this);  // wakes the worker: its first pause follows the new interval
    interval_ = magnitude;
}

// The worker holds the lock except while it sleeps and while it reads
// windows (see the top of this file).
void PopupMonitor::Work() {
    HANDLE finished = finishedEvent_.get();
    {
        ScopedLock hold(lock_);
        Pause(hold, true, false);
        while (!stopRequested_) {
            if (processes_.empty() && !allProcesses_) {
                Pause(hold, false, true);  // nothing to watch
                continue;
            }
            Log()->PrintfW(LogCategory::INFO, 6,
                           L"Popup Monitor is scanning windows on the screen...");
            // A scan that runs out of memory is logged by the boundary and
            // counts as done; the next one may fare better.
            if (!Boundary(true, [&] { return ScanOnce(hold); })) {
                // The rules changed: read again once the changers are through.
                YieldToCallers(hold);
                continue;
            }
            Pause(hold, false, false);
        }
        workerFinished_ = true;
        ::WakeAllConditionVariable(&wakeUp_);
    }
    // From here on the monitor may be gone.
    ::SetEvent(finished);
}

// Sleeps one interval, or less when shutdown wakes it. The first pause
// measures the interval current at each wake-up, so an interval set right
// after the monitor was made (as a configuration does) already applies to
// the first scan; a later pause keeps the length it began with.
//
// A pause of 0 ms still lets waiting callers in before it ends. With nothing
// to watch (`idle`) and an interval of 0 there is no scan to hurry to: the
// worker sleeps until a caller or shutdown wakes it instead of spinning.
void PopupMonitor::Pause(ScopedLock& hold, bool first, bool idle) {
    ULONGLONG start = ::GetTickCount64();
    DWORD length = interval_;
    while (!stopRequested_) {
        if (first) length = interval_;
        ULONGLONG elapsed = ::GetTickCount64() - start;
        if (elapsed < length) {
            hold.Wait(wakeUp_, static_cast<DWORD>(length - elapsed));
            continue;
        }
        if (callersWaiting_.load() > 0) {
            YieldToCallers(hold);
            continue;
        }
        if (idle && length == 0) hold.Wait(wakeUp_);
        return;
    }
}

// Waits, with the lock left, until no caller is blocked on it; each one
// wakes the worker as it leaves.
void PopupMonitor::YieldToCallers(ScopedLock& hold) {
    while (callersWaiting_.load() > 0 && !stopRequested_) hold.Wait(wakeUp_);
}

// One scan; false when the rules changed while the windows were read.
bool PopupMonitor::ScanOnce(ScopedLock& hold) {
    Rules rules;
    rules.processes = processes_;
    rules.captions = captions_;
    rules.messages = messages_;
    rules.buttons = buttons_;
    rules.allProcesses = allProcesses_;
    rules.modalOnly = modalOnly_.load(std::memory_order_relaxed);
    uint64_t generation = generation_;
    std::vector<Candidate> candidates;
    {
        ScopedUnlock reading(hold);
        Collect(rules, candidates);
    }
    if (generation != generation_) return false;
    for (const Candidate& candidate : candidates) Judge(rules, candidate);
    return true;
}

struct ScanContext {
    PopupMonitor* monitor;
    const Rules* rules;
    std::vector<Candidate>* candidates;
    Candidate* current;
    std::exception_ptr error;  // thrown again once the system's enumeration is over
};

void PopupMonitor::Collect(const Rules& rules, std::vector<Candidate>& candidates) {
    ScanContext context{this, &rules, &candidates, nullptr, nullptr};
    ::EnumWindows(&FilterWindow, reinterpret_cast<LPARAM>(&context));
    if (context.error) std::rethrow_exception(context.error);
    for (Candidate& candidate : candidates) {
        context.current = &candidate;
        ::EnumChildWindows(candidate.window, &CollectContents, reinterpret_cast<LPARAM>(&context));
        if (context.error) std::rethrow_exception(context.error);
    }
}

// Called for each top-level window; the enumeration always goes on (unless
// memory ran out).
BOOL CALLBACK PopupMonitor::FilterWindow(HWND window, LPARAM parameter) {
    auto& context = *reinterpret_cast<ScanContext*>(parameter);
    const Rules& rules = *context.rules;
    try {
        if (!::IsWindowVisible(window)) return TRUE;
        if (rules.modalOnly) {
            // A modal dialog disables its owner while it is shown.
            if (::GetWindowLongW(window, GWL_STYLE) & WS_CHILD) return TRUE;
            HWND owner = ::GetWindow(window, GW_OWNER);
            if (owner == nullptr || ::IsWindowEnabled(owner)) return TRUE;
        }
        if (!rules.allProcesses) {
            DWORD process = 0;
            ::GetWindowThreadProcessId(window, &process);
            if (!rules.processes.contains(process)) return TRUE;
        }
        if (!rules.captions.empty()) {
            std::wstring caption = context.monitor->ReadText(window);
            if (caption.empty() || !rules.captions.contains(caption)) return TRUE;
        }
        context.candidates->push_back(Candidate{window, {}, {}});
        return TRUE;
    } catch (...) {
        context.error = std::current_exception();
        return FALSE;
    }
}

// Called for each descendant of a candidate: buttons, static texts and the
// lines of edit controls make up what the dialog says.
BOOL CALLBACK PopupMonitor::CollectContents(HWND window, LPARAM parameter) {
    auto& context = *reinterpret_cast<ScanContext*>(parameter);
    Candidate& candidate = *context.current;
    try {
        if (!::IsWindowVisible(window)) return TRUE;
        wchar_t className[kTextCapacity];
        if (::GetClassNameW(window, className, kTextCapacity) == 0) return TRUE;
        if (_wcsicmp(className, L"button") == 0) {
            candidate.buttons[StripAmpersands(context.monitor->ReadText(window))] = window;
        } else if (_wcsicmp(className, L"static") == 0) {
            std::wstring text = context.monitor->ReadText(window);
            if (!text.empty()) AppendPiece(candidate.message, text.data(), text.size());
        } else if (_wcsicmp(className, L"edit") == 0) {
            LRESULT lines = 0;
            if (!context.monitor->AskWindow(window, EM_GETLINECOUNT, 0, 0, lines)) return TRUE;
            for (LRESULT line = 0; line < lines; ++line) {
                wchar_t buffer[kEditLineCapacity] = {};
                buffer[0] = kEditLineCapacity;  // EM_GETLINE reads the room from the first word
                LRESULT copied = 0;
                if (!context.monitor->AskWindow(window, EM_GETLINE, static_cast<WPARAM>(line),
                                                reinterpret_cast<LPARAM>(buffer), copied)) {
                    break;
                }
                AppendPiece(candidate.message, buffer,
                            static_cast<size_t>(std::min<LRESULT>(copied, kEditLineCapacity)));
            }
        }
        return TRUE;
    } catch (...) {
        context.error = std::current_exception();
        return FALSE;
    }
}

std::wstring PopupMonitor::ReadText(HWND window) {
    wchar_t text[kTextCapacity];
    // For a window of this process this is a message to its thread.
    NoteWaitedThread noted(waitingOn_, ::GetWindowThreadProcessId(window, nullptr));
    int length = ::GetWindowTextW(window, text, kTextCapacity);
    return std::wstring(text, length > 0 ? static_cast<size_t>(length) : 0);
}

bool PopupMonitor::AskWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                             LRESULT& answer) {
    DWORD process = 0;
    DWORD thread = ::GetWindowThreadProcessId(window, &process);
    if (thread == 0) return false;
    if (process == ::GetCurrentProcessId()) {
        NoteWaitedThread noted(waitingOn_, thread);
        answer = ::SendMessageW(window, message, wParam, lParam);
        return true;
    }
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kForeignReplyMs,
                               &result)) {
        return false;
    }
    answer = static_cast<LRESULT>(result);
    return true;
}

// Under the lock; nothing here waits for another thread.
void PopupMonitor::Judge(const Rules& rules, const Candidate& candidate) {
    if (!rules.messages.empty() && !rules.messages.contains(NormaliseMessage(candidate.message))) {
        return;
    }
    if (rules.buttons.empty()) {
        Close(candidate);
        return;
    }
    for (const auto& [caption, button] : candidate.buttons) {
        if (rules.buttons.contains(caption)) {
            Log()->PrintfW(LogCategory::INFO, 6,
                           L"Popup Monitor found a target button to push: Button=%s",
                           caption.c_str());
            Close(candidate);  // by WM_CLOSE: the button itself is not pressed
            return;
        }
        Log()->PrintfW(LogCategory::INFO, 6,
                       L"Popup Monitor found a button on popup window but ignored: Button=%s",
                       caption.c_str());
    }
}

void PopupMonitor::Close(const Candidate& candidate) {
    // The caption as it stands now, read from the window manager: under the
    // lock no message may go to a window's thread (see the top of this file).
    wchar_t caption[kTextCapacity];
    int length = ::InternalGetWindowText(candidate.window, caption, kTextCapacity);
    if (length > 0) {
        Log()->PrintfW(LogCategory::INFO, 6,
                       L"Popup Monitor is going to post WM_CLOSE to a window: Title=%s", caption);
    }
    if (::PostMessageW(candidate.window, WM_CLOSE, 0, 0)) {
        Log()->PrintfW(LogCategory::INFO, 6, L"Popup Monitor posted WM_CLOSE to a popup window.");
    } else {
        Log()->PrintfW(LogCategory::ERROR, 0,
                       L"Pupup Monitor failed to post WM_CLOSE to a popup window: ErrorCode=%d",
                       static_cast<int>(::GetLastError()));
    }
}

void PopupMonitor::Destroy(uint32_t flags) {
    // Released by a window procedure of this thread while it answers the
    // worker's own message: the worker cannot go on before this call
    // returns, so its end is awaited elsewhere.
    bool insideScan = worker_ && ::InSendMessage() && waitingOn_.load() == ::GetCurrentThreadId();
    if (DestroyOffOwnThread(flags, insideScan, L"popup monitor")) return;
    CallerLock hold(*this);  // the worker does not hold it while it reads windows
    stopRequested_ = true;
}

PopupMonitor::~PopupMonitor() { ShutDown(); }

void PopupMonitor::ShutDown() {
    if (!worker_) return;
    Log()->PrintfW(LogCategory::INFO, 0, L"Shutting down a popup monitor...");
    {
        CallerLock hold(*this);
        stopRequested_ = true;
        ::WakeConditionVariable(&wakeUp_);  // only the worker sleeps on it
    }
    WaitForWorker();
    Log()->PrintfW(LogCategory::INFO, 0, L"Shutting down a popup monitor... DONE");
}

// Until the worker has finished, without a time limit. Monitors belong to
// their callers, never to the module, so the library's shut-down (DllMain)
// never runs this wait. The thread's own handle ends the wait too: at
// process exit the worker is gone without having finished. A thread with
// windows serves the messages sent to it meanwhile: the worker may be reading
// one of its windows.
void PopupMonitor::WaitForWorker() {
    HANDLE handles[] = {finishedEvent_.get(), worker_.get()};
    bool serve = ::IsGUIThread(FALSE);
    for (;;) {
        DWORD result;
        if (serve) {
            MSG message;
            ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            result = ::MsgWaitForMultipleObjectsEx(2, handles, INFINITE, QS_SENDMESSAGE,
                                                   MWMO_INPUTAVAILABLE);
        } else {
            result = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        }
        if (result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1) return;
        if (result == WAIT_OBJECT_0 + 2) continue;  // a sent message: served at the top
        break;
    }
    // The waits failed: the flag under the lock is the last resort.
    CallerLock hold(*this);
    while (!workerFinished_) hold.Wait(wakeUp_, 1000);
}

}  // namespace

bool MakePopupMonitor(KaPopupMonitor** out) {
    if (out == nullptr) return false;
    return HandOut(NewObject<PopupMonitor>(), out,
                   [](PopupMonitor& monitor) { return monitor.Start(); });
}

}  // namespace ka
