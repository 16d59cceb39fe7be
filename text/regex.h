// KaRegex (a compiled pattern) and KaRegexMatch (one search's outcome with a
// cursor over its groups), on the library's own bounded matcher
// (text/regex_engine.h): every run stays within a fixed budget of work and
// keeps its backtracking on the heap, so nothing a pattern does can take the
// caller's stack or time without limit.
#ifndef KA_TEXT_REGEX_H
#define KA_TEXT_REGEX_H

#include "frame/handles.h"
#include "frame/ref_counted.h"
#include "ka/text.h"
#include "text/regex_engine.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ka {

class Regex final : public RefCounted<Regex, KaRegex> {
public:
    // Compiles with the standard options (ECMAScript, case-sensitive). False
    // for a pattern that does not compile; no exception escapes.
    bool Compile(const wchar_t* pattern);
    const RegexProgram& Program() const { return program_; }

private:
    RegexProgram program_;
};

// Logs the WARNING line of an operation that gave up (false then means "not
// answered").
void ReportRegexGaveUp(size_t subjectUnits);

class RegexMatch final : public RefCounted<RegexMatch, KaRegexMatch> {
public:
    // Copies the subject and takes a reference on the pattern.
    RegexMatch(const wchar_t* subject, Regex* regex);

    // Searches the private copy for the leftmost occurrence. False when the
    // pattern does not occur or the search gave up (logged).
    bool Search();
    // Puts the cursor on group 0 (after a successful search).
    void Rewind() { cursor_ = 0; }

    const wchar_t* GetText() override;
    int64_t GetPosition() override;
    int64_t GetLength() override;
    bool Next() override;

private:
    bool HasCurrent() const { return cursor_ < groups_.size(); }

    std::wstring subject_;
    std::wstring groupText_;
    std::vector<RegexSpan> groups_;
    size_t cursor_ = 0;  // == groups_.size(): no current group
    ObjectRef<Regex> regex_;
};

}  // namespace ka

#endif
