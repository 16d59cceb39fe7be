#include "text/regex.h"

#include "frame/boundary.h"
#include "frame/library_thread.h"
#include "frame/services.h"
#include "frame/win32.h"

#include <algorithm>
#include <cwchar>
#include <utility>
#include <vector>

// The bounds below are derived from libstdc++'s automaton and measured on its
// executor; another standard library would need its own.
#if !defined(__GLIBCXX__)
#error "the regex stack bounds are worked out for libstdc++'s engine"
#endif

namespace ka {
namespace {

// ------------------------------------------------- what a run takes from the stack
//
// libstdc++ runs an ECMAScript pattern depth-first (_Executor<..., true>):
// _M_dfs handles one state of the automaton and calls _M_dfs for the state
// it moves to, so every state on the current path holds one frame until the
// path fails or the match is complete. Measured with libstdc++ 12 at -O2 and
// -O3 for x86-64 (the Release build; -O0 and -Os take less): one _M_dfs frame
// is 176 bytes (eight saved registers, 104 bytes of locals, the return
// address) and every handler is inlined into it, except a repeat's "once
// more" branch (_M_rep_once_more, 64 bytes) and a lookahead (_M_lookahead
// with the sub-executor it builds, 240 or 256 bytes). Per subject unit that
// gives 416 bytes for `.*`, 856 to 944 for `(a|b)*` depending on the branch
// taken, which is what a painted stack shows. The constants carry about a
// quarter more; against a painted stack, some thirty patterns (nested and
// empty-matching loops, lazy ones, lookaheads, back-references) stayed at
// 78% of their bound or less.
constexpr uint64_t kStateFrame = 224;
constexpr uint64_t kRepeatExtra = 96;
constexpr uint64_t kLookaheadExtra = 320;
// From the guard's check to the first state: our trampoline, regex_replace or
// regex_search, the executor object and its entry (under 4 KiB measured).
constexpr uint64_t kRunEntry = 16 * 1024;

// The pattern compiler recurses too: once per term of a sequence and a few
// frames per group level. The worst measured is 592 bytes per "(" of nested
// groups; a pattern of nothing else costs that for every unit.
constexpr uint64_t kCompilePerUnit = 768;
constexpr uint64_t kCompileEntry = 32 * 1024;

// Never used, below the deepest frame a bound allows: the guard pages and the
// room the system keeps for raising a stack overflow, plus what that frame
// may still call (the heap, locale facets, the unwinder for a bad_alloc).
constexpr uint64_t kStackFloor = 128 * 1024;

// The worker's reservation (address space; pages are committed as the stack
// grows and stay committed while the worker lives), and what its own frames
// above the job take.
constexpr size_t kWorkerStack = size_t(1) << 30;
constexpr uint64_t kWorkerCapacity = kWorkerStack - 64 * 1024 - kStackFloor;
constexpr DWORD kWorkerIdleMs = 5000;

uint64_t AddSaturated(uint64_t a, uint64_t b) {
    uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

uint64_t MultiplySaturated(uint64_t a, uint64_t b) {
    uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// ------------------------------------------------------ bounding a pattern
//
// The automaton is the one basic_regex builds (std::__detail::_Compiler):
// states with a `next` and, for alternatives and repeats, an `alt`. The
// stack at any moment holds the states of one path from the start. A bound
// for that path, with n the subject's length:
//  - A state outside every cycle of the graph appears on a path at most once.
//  - A cycle (a loop of *, + or {n,}) is left for good once left, so the
//    states of one cyclic component K form one stretch of the path. Only a
//    match (one unit) or a back-reference (its length) moves the position, so
//    the stretch falls into pieces that each stay at one position and end
//    where a unit is consumed: at most n pieces plus one over all components.
//  - Within one piece no state that consumes is passed, and every cycle of
//    the automaton goes through a repeat's alt, which the executor takes at
//    most twice at the same position (_M_rep_count). So a piece crosses each
//    cyclic part C of its consumption-free graph as at most 2R+1 simple paths
//    (R repeats in C), at most (2R+1) times C's weight, and follows a longest
//    path elsewhere. W(K), the heaviest piece within K, is exact for loops
//    whose body cannot match empty, such as (a|b)*.
// Hence depth <= fixed + n * max W(K), where `fixed` is the heaviest path
// through the component graph with K weighing W(K). A lookahead runs a
// sub-executor that has returned before the path goes on: its own bound,
// worked out the same way from its alt, is added once on top.
namespace nfa = std::__detail;
using Automaton = nfa::_NFA<std::regex_traits<wchar_t>>;
using StateId = nfa::_StateIdT;

uint64_t Weight(const Automaton& automaton, StateId state) {
    switch (automaton[state]._M_opcode()) {
        case nfa::_S_opcode_repeat: return kStateFrame + kRepeatExtra;
        case nfa::_S_opcode_subexpr_lookahead: return kStateFrame + kLookaheadExtra;
        default: return kStateFrame;
    }
}

// Successor `which` (0: next, 1: alt) on the same executor's path, or -1. A
// lookahead's alt is not one: it starts the sub-executor.
StateId Successor(const Automaton& automaton, StateId state, int which) {
    const auto& s = automaton[state];
    StateId to = -1;
    if (which == 0) {
        to = s._M_next;
    } else if (s._M_has_alt() && s._M_opcode() != nfa::_S_opcode_subexpr_lookahead) {
        to = s._M_alt;
    }
    return to >= 0 && size_t(to) < automaton.size() ? to : -1;
}

// Strongly connected components of a graph of `count` nodes with at most two
// successors each (succ(node, 0 or 1), -1 for none), numbered in Tarjan's
// order: every edge between two components leads to a lower number. Without
// recursion: the automaton may have 100 000 states.
template <typename Succ>
std::vector<int> Components(int count, Succ succ, int& componentCount) {
    std::vector<int> order(count, -1), low(count, 0), component(count, -1), open;
    std::vector<std::pair<int, int>> path;  // node, successor to look at next
    int visited = 0;
    componentCount = 0;
    for (int root = 0; root < count; ++root) {
        if (order[root] >= 0) continue;
        order[root] = low[root] = visited++;
        open.push_back(root);
        path.push_back({root, 0});
        while (!path.empty()) {
            int node = path.back().first;
            if (path.back().second < 2) {
                int to = succ(node, path.back().second++);
                if (to < 0) continue;
                if (order[to] < 0) {
                    order[to] = low[to] = visited++;
                    open.push_back(to);
                    path.push_back({to, 0});
                } else if (component[to] < 0) {
                    low[node] = std::min(low[node], order[to]);
                }
                continue;
            }
            path.pop_back();
            if (!path.empty()) {
                int parent = path.back().first;
                low[parent] = std::min(low[parent], low[node]);
            }
            if (low[node] == order[node]) {
                int member;
                do {
                    member = open.back();
                    open.pop_back();
                    component[member] = componentCount;
                } while (member != node);
                ++componentCount;
            }
        }
    }
    return component;
}

// The heaviest path starting in each component, a component weighing
// `weight`, over the component graph (acyclic, in Tarjan's order).
template <typename Succ>
std::vector<uint64_t> HeaviestPaths(const std::vector<int>& component, int componentCount,
                                    Succ succ, const std::vector<uint64_t>& weight) {
    std::vector<int> first(componentCount + 1, 0), members(component.size());
    for (int c : component) ++first[c + 1];
    for (int c = 0; c < componentCount; ++c) first[c + 1] += first[c];
    std::vector<int> fill(first.begin(), first.end() - 1);
    for (int node = 0; node < int(component.size()); ++node) members[fill[component[node]]++] = node;
    std::vector<uint64_t> best(componentCount, 0);
    for (int c = 0; c < componentCount; ++c) {
        uint64_t onward = 0;
        for (int i = first[c]; i < first[c + 1]; ++i) {
            for (int k = 0; k < 2; ++k) {
                int to = succ(members[i], k);
                if (to >= 0 && component[to] != c) onward = std::max(onward, best[component[to]]);
            }
        }
        best[c] = AddSaturated(weight[c], onward);
    }
    return best;
}

struct RegionBound {
    uint64_t fixed = 0;
    uint64_t perUnit = 0;
    std::vector<StateId> lookaheads;  // alt of every lookahead in the region
};

// The bound of one executor started at `start`. `local` maps state ids to
// node numbers: all -1 on entry and again on return.
RegionBound BoundRegion(const Automaton& automaton, StateId start, std::vector<int>& local) {
    RegionBound bound;
    std::vector<StateId> states{start};
    local[start] = 0;
    for (size_t i = 0; i < states.size(); ++i) {
        const auto& state = automaton[states[i]];
        if (state._M_opcode() == nfa::_S_opcode_subexpr_lookahead && state._M_alt >= 0 &&
            size_t(state._M_alt) < automaton.size()) {
            bound.lookaheads.push_back(state._M_alt);
        }
        for (int k = 0; k < 2; ++k) {
            StateId to = Successor(automaton, states[i], k);
            if (to >= 0 && local[to] < 0) {
                local[to] = int(states.size());
                states.push_back(to);
            }
        }
    }
    const int count = int(states.size());
    auto next = [&](int node, int k) {
        StateId to = Successor(automaton, states[node], k);
        return to < 0 ? -1 : local[to];
    };
    auto weight = [&](int node) { return Weight(automaton, states[node]); };

    int loopCount = 0;
    std::vector<int> loop = Components(count, next, loopCount);
    // Within one cyclic component, the moves that keep the position.
    auto still = [&](int node, int k) {
        if (automaton[states[node]]._M_opcode() == nfa::_S_opcode_match) return -1;
        int to = next(node, k);
        return to >= 0 && loop[to] == loop[node] ? to : -1;
    };
    int pieceCount = 0;
    std::vector<int> piece = Components(count, still, pieceCount);

    std::vector<uint64_t> pieceWeight(pieceCount, 0), repeats(pieceCount, 0);
    std::vector<int> pieceSize(pieceCount, 0);
    std::vector<bool> pieceCycles(pieceCount, false);
    std::vector<int> loopSize(loopCount, 0);
    std::vector<bool> loopCycles(loopCount, false);
    for (int node = 0; node < count; ++node) {
        int p = piece[node], l = loop[node];
        pieceWeight[p] = AddSaturated(pieceWeight[p], weight(node));
        ++pieceSize[p];
        ++loopSize[l];
        if (automaton[states[node]]._M_opcode() == nfa::_S_opcode_repeat) ++repeats[p];
        for (int k = 0; k < 2; ++k) {
            if (still(node, k) == node) pieceCycles[p] = true;
            if (next(node, k) == node) loopCycles[l] = true;
        }
    }
    for (int p = 0; p < pieceCount; ++p) {
        if (pieceSize[p] > 1 || pieceCycles[p]) {
            // A cycle without a repeat would have no limit at all; the
            // compiler makes none, and should one appear, nothing runs.
            pieceWeight[p] = repeats[p] == 0
                                 ? UINT64_MAX
                                 : MultiplySaturated(pieceWeight[p], 2 * repeats[p] + 1);
        }
    }
    std::vector<uint64_t> heaviestPiece = HeaviestPaths(piece, pieceCount, still, pieceWeight);

    std::vector<uint64_t> loopWeight(loopCount, 0);
    for (int node = 0; node < count; ++node) {
        int l = loop[node];
        if (loopSize[l] > 1 || loopCycles[l]) {
            loopWeight[l] = std::max(loopWeight[l], heaviestPiece[piece[node]]);
            bound.perUnit = std::max(bound.perUnit, loopWeight[l]);
        } else {
            loopWeight[l] = weight(node);
        }
    }
    bound.fixed = HeaviestPaths(loop, loopCount, next, loopWeight)[loop[0]];
    for (StateId state : states) local[state] = -1;
    return bound;
}

// The bound of a whole run: the main executor's region, plus the heaviest
// lookahead region on top (each lookahead's region, recursively, likewise).
RegexStackBound BoundAutomaton(const Automaton& automaton) {
    RegexStackBound unbounded{UINT64_MAX, UINT64_MAX};
    if (automaton._M_start() < 0 || size_t(automaton._M_start()) >= automaton.size()) {
        return unbounded;
    }
    std::vector<int> local(automaton.size(), -1);
    std::vector<RegionBound> regions;
    std::vector<std::vector<size_t>> inner;  // the lookahead regions of each region
    std::vector<StateId> starts{automaton._M_start()};
    for (size_t i = 0; i < starts.size(); ++i) {
        // Every lookahead of the automaton has one region; more would mean a
        // shape this analysis does not know.
        if (starts.size() > automaton.size()) return unbounded;
        regions.push_back(BoundRegion(automaton, starts[i], local));
        inner.emplace_back();
        for (StateId start : regions[i].lookaheads) {
            inner[i].push_back(starts.size());
            starts.push_back(start);
        }
    }
    // A region's lookaheads come after it, so this runs inner ones first.
    for (size_t i = regions.size(); i-- > 0;) {
        uint64_t fixed = 0, perUnit = 0;
        for (size_t j : inner[i]) {
            fixed = std::max(fixed, regions[j].fixed);
            perUnit = std::max(perUnit, regions[j].perUnit);
        }
        regions[i].fixed = AddSaturated(regions[i].fixed, fixed);
        regions[i].perUnit = AddSaturated(regions[i].perUnit, perUnit);
    }
    return {AddSaturated(kRunEntry, regions[0].fixed), regions[0].perUnit};
}

// ------------------------------------------------------ where a run goes

using GetStackLimits = VOID(WINAPI*)(PULONG_PTR low, PULONG_PTR high);
// NT_TIB leaves out where the reservation starts; the TEB keeps it here on
// x64 (DeallocationStack).
constexpr size_t kTebDeallocationStack = 0x1478;

// The bytes this thread's stack can still grow by below the caller's frame,
// less the floor and the thread's stack guarantee (SetThreadStackGuarantee:
// the system raises the overflow that much earlier). The lowest address is
// where the reservation starts (GetCurrentThreadStackLimits from Windows 8,
// the TEB before), not the TIB's StackLimit, which only says how far the
// stack is committed so far; that one serves only when nothing else is known.
uint64_t StackLeft() {
    static const GetStackLimits getLimits = ResolveExport<GetStackLimits>(
        ::GetModuleHandleW(L"kernel32.dll"), "GetCurrentThreadStackLimits");
    NT_TIB* tib = CurrentThreadTib();
    auto committed = reinterpret_cast<ULONG_PTR>(tib->StackLimit);
    ULONG_PTR low = 0, high = reinterpret_cast<ULONG_PTR>(tib->StackBase);
    if (getLimits != nullptr) {
        getLimits(&low, &high);
    } else {
        low = *reinterpret_cast<ULONG_PTR*>(reinterpret_cast<char*>(tib) + kTebDeallocationStack);
    }
    if (low == 0 || low > committed) low = committed;
    ULONG guarantee = 0;  // 0 asks without changing it
    if (!::SetThreadStackGuarantee(&guarantee)) guarantee = 0;
    uint64_t floor = kStackFloor + guarantee;
    auto here = reinterpret_cast<ULONG_PTR>(__builtin_frame_address(0));
    if (here > high || here < low || here - low <= floor) return 0;  // a stack we do not know
    return here - low - floor;
}

bool RunCaught(void (*work)(void*), void* context) noexcept {
    try {
        work(context);
        return true;
    } catch (...) {
        return false;
    }
}

void ReportRefusal(uint64_t stackBytes, uint64_t available) {
    Log()->PrintfW(LogCategory::WARNING, 0,
                   L"Regular expression not run: it may need %Iu MiB of stack, there are %Iu MiB",
                   size_t(std::min<uint64_t>(stackBytes >> 20, SIZE_MAX)), size_t(available >> 20));
}

// The worker: one thread with a large stack that runs the jobs no caller's
// stack can hold, one after the other. One, not one per caller: each holds
// a 1 GiB reservation and keeps what its stack touched committed, and jobs
// that need it are rare (deep patterns over long subjects) and CPU-bound, so
// a second would mostly double the memory. Concurrent callers queue.
//
// It is started with StartLibraryThread, so it pins the module while it runs
// and the host may unload the library at any time: the unload then happens
// when the worker leaves, after kWorkerIdleMs without a job. Everything it
// shares is plain data with constant initialisers: nothing to construct
// first, nothing to destroy at unload (and at process exit, when the worker
// is gone, the shut-down does not touch it).
struct Job {
    uint64_t stackBytes;
    void (*work)(void*);
    void* context;
    Job* next = nullptr;
    bool done = false;
    bool answered = false;
    uint64_t refusedWith = 0;  // the stack the worker had, when it refused
};

SRWLOCK g_workerLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_jobQueued = CONDITION_VARIABLE_INIT;
CONDITION_VARIABLE g_jobDone = CONDITION_VARIABLE_INIT;
Job* g_firstJob = nullptr;  // the queue, guarded by g_workerLock
Job* g_lastJob = nullptr;
bool g_workerRunning = false;

void WorkerMain(void*) {
    ::AcquireSRWLockExclusive(&g_workerLock);
    ULONGLONG idleSince = ::GetTickCount64();
    for (;;) {
        if (Job* job = g_firstJob) {
            g_firstJob = job->next;
            if (g_firstJob == nullptr) g_lastJob = nullptr;
            ::ReleaseSRWLockExclusive(&g_workerLock);
            // The caller checked against the planned capacity; this checks
            // against the stack the worker really has.
            uint64_t left = StackLeft();
            bool fits = job->stackBytes <= left;
            bool answered = fits && RunCaught(job->work, job->context);
            ::AcquireSRWLockExclusive(&g_workerLock);
            job->refusedWith = fits ? 0 : left;
            job->answered = answered;
            job->done = true;
            ::WakeAllConditionVariable(&g_jobDone);
            idleSince = ::GetTickCount64();
            continue;
        }
        ULONGLONG idle = ::GetTickCount64() - idleSince;
        if (idle >= kWorkerIdleMs) break;
        ::SleepConditionVariableSRW(&g_jobQueued, &g_workerLock, DWORD(kWorkerIdleMs - idle), 0);
    }
    // From here on a caller starts a new worker; this one only unwinds into
    // StartLibraryThread's exit, which drops the pin.
    g_workerRunning = false;
    ::ReleaseSRWLockExclusive(&g_workerLock);
}

bool RunOnWorker(Job& job) {
    ::AcquireSRWLockExclusive(&g_workerLock);
    if (!g_workerRunning) {
        // The handle is not needed: the worker is never waited for.
        if (!StartLibraryThread(&WorkerMain, nullptr, kWorkerStack)) {
            DWORD error = ::GetLastError();
            ::ReleaseSRWLockExclusive(&g_workerLock);
            Log()->PrintfW(LogCategory::WARNING, 0,
                           L"Regular expression not run: no worker thread (error %lu)", error);
            return false;
        }
        g_workerRunning = true;
    }
    (g_lastJob != nullptr ? g_lastJob->next : g_firstJob) = &job;
    g_lastJob = &job;
    ::WakeConditionVariable(&g_jobQueued);
    while (!job.done) ::SleepConditionVariableSRW(&g_jobDone, &g_workerLock, INFINITE, 0);
    ::ReleaseSRWLockExclusive(&g_workerLock);
    if (job.refusedWith != 0) ReportRefusal(job.stackBytes, job.refusedWith);
    return job.answered;
}

template <typename F>
bool RunWithStack(uint64_t stackBytes, F& work) {
    return RunWithStack(stackBytes, [](void* f) { (*static_cast<F*>(f))(); }, &work);
}

}  // namespace

uint64_t RegexStackBound::For(size_t units) const {
    return AddSaturated(fixed, MultiplySaturated(perUnit, units));
}

bool RunWithStack(uint64_t stackBytes, void (*work)(void*), void* context) {
    if (stackBytes <= StackLeft()) return RunCaught(work, context);
    if (stackBytes > kWorkerCapacity) {
        ReportRefusal(stackBytes, kWorkerCapacity);
        return false;
    }
    Job job{stackBytes, work, context};
    return RunOnWorker(job);
}

bool Regex::Compile(const wchar_t* pattern) {
    if (pattern == nullptr) return false;
    size_t length = std::wcslen(pattern);
    auto work = [&] {
        auto flags = std::regex_constants::ECMAScript;
        std::wregex expression(pattern, pattern + length, flags);
        // The same automaton again, where we can read it: basic_regex keeps
        // its own private.
        nfa::_Compiler<std::regex_traits<wchar_t>> compiler(pattern, pattern + length,
                                                            expression.getloc(), flags);
        RegexStackBound bound = BoundAutomaton(*compiler._M_get_nfa());
        expression_ = std::move(expression);
        bound_ = bound;
    };
    uint64_t compileBytes =
        AddSaturated(kCompileEntry, MultiplySaturated(kCompilePerUnit, length));
    return RunWithStack(compileBytes, work);
}

RegexMatch::RegexMatch(const wchar_t* subject, Regex* regex)
    : subject_(subject ? subject : L""), regex_(ObjectRef<Regex>::Share(regex)) {
    cursor_ = results_.size();
}

bool RegexMatch::Search() {
    bool found = false;
    auto work = [&] { found = std::regex_search(subject_, results_, regex_->Expression()); };
    if (!RunRegexGuarded(*regex_.get(), subject_.size(), work)) {
        results_ = std::wsmatch();
        found = false;
    }
    cursor_ = results_.size();
    return found;
}

// Copying the group can run out of memory: the caller then gets null, as if
// there were no group, rather than an exception it cannot catch.
const wchar_t* RegexMatch::GetText() {
    if (!HasCurrent()) return nullptr;
    return Boundary(static_cast<const wchar_t*>(nullptr), [&] {
        groupText_ = results_[cursor_].matched ? results_[cursor_].str() : std::wstring();
        return groupText_.c_str();
    });
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

}  // namespace ka
