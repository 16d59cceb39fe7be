// KaRegex (a compiled pattern) and KaRegexMatch (one search's outcome with a
// cursor over its groups), and the guard every regex run goes through.
//
// The standard library's ECMAScript engine matches depth-first and recurses
// once for every state of the pattern's automaton it passes, so its stack
// grows with the subject: `(a|b)*` takes about 0.9 KiB per UTF-16 unit. An
// overflow cannot be survived safely (the thread may hold the heap's lock),
// so nothing runs that could overflow. When a pattern is compiled, its
// automaton is analysed for an upper bound of the stack one run can take: a
// fixed part plus a part per subject unit (zero for patterns without loops,
// such as `b` or `[xyz]`). A run then goes
//  - on the caller's thread when the stack that thread has left covers the
//    bound: the usual case, at no extra cost;
//  - otherwise on one shared worker thread with 1 GiB of reserved stack,
//    started on demand, leaving after a few idle seconds;
//  - otherwise nowhere: the operation answers false, which then means "not
//    answered", not "no occurrence" (and a WARNING line says so).
// Accepted limit: subject units x the pattern's cost per unit must stay under
// about 1 GiB (a pattern without loops: any subject). With the costs this
// analysis gives, `^(a|b)*$` is answered up to 882 834 units (1216 bytes per
// unit), `.*` up to about 1.9 Mi units, and `(a|b)*` over 1 Mi units is
// refused. Compiling is bounded the same way (the compiler recurses per
// group and per term, at most 768 bytes per pattern unit): patterns over
// about 1.3 Mi units are refused.
#ifndef KA_TEXT_REGEX_H
#define KA_TEXT_REGEX_H

#include "frame/handles.h"
#include "frame/ref_counted.h"
#include "ka/text.h"

#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>

namespace ka {

// An upper bound of the stack one run of the engine takes: `fixed` bytes
// plus `perUnit` bytes for every UTF-16 unit of the subject.
struct RegexStackBound {
    uint64_t fixed = 0;
    uint64_t perUnit = 0;
    // The bound for a subject of `units`, saturating at UINT64_MAX.
    uint64_t For(size_t units) const;
};

class Regex final : public RefCounted<Regex, KaRegex> {
public:
    // Compiles with the standard options (ECMAScript, case-sensitive) and
    // bounds the stack a run takes. False for a pattern that does not
    // compile or is too long to compile safely; no exception escapes.
    bool Compile(const wchar_t* pattern);
    const std::wregex& Expression() const { return expression_; }
    const RegexStackBound& StackBound() const { return bound_; }

private:
    std::wregex expression_;
    RegexStackBound bound_;
};

class RegexMatch final : public RefCounted<RegexMatch, KaRegexMatch> {
public:
    // Copies the subject and takes a reference on the pattern.
    RegexMatch(const wchar_t* subject, Regex* regex);

    // Searches the private copy for the leftmost occurrence. False when the
    // pattern does not occur or the search was not run (see RunRegexGuarded).
    bool Search();
    // Puts the cursor on group 0 (after a successful search).
    void Rewind() { cursor_ = 0; }

    const wchar_t* GetText() override;
    int64_t GetPosition() override;
    int64_t GetLength() override;
    bool Next() override;

private:
    bool HasCurrent() const { return cursor_ < results_.size(); }

    std::wstring subject_;
    std::wstring groupText_;
    std::wsmatch results_;
    size_t cursor_ = 0;  // == results_.size(): no current group
    ObjectRef<Regex> regex_;
};

// Runs work(context) where at least `stackBytes` of stack are left: on this
// thread, on the regex worker, or not at all. True when work ran to its end;
// false when it was refused (logged) or threw. `work` must not itself wait
// for the worker.
bool RunWithStack(uint64_t stackBytes, void (*work)(void*), void* context);

// Runs one search or replacement with `regex` over a subject of
// `subjectLength` units, as RunWithStack places it. False: not answered.
template <typename F>
bool RunRegexGuarded(const Regex& regex, size_t subjectLength, F& work) {
    return RunWithStack(
        regex.StackBound().For(subjectLength), [](void* f) { (*static_cast<F*>(f))(); }, &work);
}

}  // namespace ka

#endif
