// KaRegex (a compiled pattern) and KaRegexMatch (one search's outcome with a
// cursor over its groups), and the guard every regex run goes through.
#ifndef KA_TEXT_REGEX_H
#define KA_TEXT_REGEX_H

#include "frame/ref_counted.h"
#include "ka/text.h"

#include <regex>
#include <string>

namespace ka {

class Regex final : public RefCounted<Regex, KaRegex> {
public:
    // Compiles with the standard options (ECMAScript, case-sensitive). A
    // pattern that does not compile gives false; no exception escapes.
    bool Compile(const wchar_t* pattern);
    const std::wregex& Expression() const { return expression_; }

private:
    std::wregex expression_;
};

class RegexMatch final : public RefCounted<RegexMatch, KaRegexMatch> {
public:
    // Copies the subject and takes a reference on the pattern.
    RegexMatch(const wchar_t* subject, Regex* regex);
    ~RegexMatch();

    // Searches the private copy for the leftmost occurrence. False when the
    // pattern does not occur or the engine gave up (see RunRegexGuarded).
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
    Regex* regex_;
};

// Runs `work` so that the recursive standard regex engine cannot take the
// host down: exceptions become false, and long subjects run on a thread of
// their own with a large stack whose overflow ends that thread (false)
// instead of the process. `work` must not hold locks it cannot abandon.
bool RunRegexGuarded(size_t subjectLength, void (*work)(void*), void* context);

// Removes the stack-overflow handler again; the module's shut-down calls it,
// since a handler left registered would point into an unloaded library.
void RemoveRegexGuard();

template <typename F>
bool RunRegexGuarded(size_t subjectLength, F& work) {
    return RunRegexGuarded(
        subjectLength, [](void* f) { (*static_cast<F*>(f))(); }, &work);
}

}  // namespace ka

#endif
