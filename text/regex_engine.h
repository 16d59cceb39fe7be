// The matcher behind every regular expression of the library: patterns in
// the ECMAScript grammar, case-sensitive, over UTF-16 text, with a bound on
// the work and the memory of each operation. Free of Win32, so it builds
// natively too.
//
// It runs Boost.Regex's backtracking matcher (header-only, non-recursive:
// its backtracking stack is on the heap), on a pattern first rewritten into
// Boost's Perl syntax with ECMAScript's meaning (see TranslatePattern), and
// replaces with the standard library's ECMAScript format rules.
#ifndef KA_TEXT_REGEX_ENGINE_H
#define KA_TEXT_REGEX_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ka {

// The work one operation (a search, or a whole replacement) may do: this
// many matcher steps plus kRegexStepsPerUnit for every unit of the subject.
// A step is one state of the compiled pattern entered, or one position
// given back by a repeat. Linear patterns take a few steps per unit, so they
// are answered at any length; what backtracks out of bounds gives up after
// at most 10^7 steps more than a linear pass.
constexpr uint64_t kRegexStepBudget = 10'000'000;
constexpr uint64_t kRegexStepsPerUnit = 8;
// The matcher's backtracking stack, on the heap: ^(a|b)*$ keeps about 96
// bytes per unit of its subject there, .* nothing; past this the operation
// gives up as it does past its steps.
constexpr uint64_t kRegexBacktrackBytes = uint64_t(2) << 30;

enum class RegexOutcome { kFound, kNotFound, kGaveUp };

// A back-reference to a group that did not take part: ECMAScript matches the
// empty text; the standard library's std::wregex fails there. The second
// rule exists only so the differential check can show that this is where
// the two differ.
enum class RegexBackReferences { kEcmaScript, kFailUnmatched };

// One group of a match, in units from the subject's start. A group that did
// not take part has matched false and start == end == the subject's length.
struct RegexSpan {
    size_t start = 0;
    size_t end = 0;
    bool matched = false;
};

class RegexProgram {
public:
    RegexProgram();
    ~RegexProgram();
    RegexProgram(const RegexProgram&) = delete;
    RegexProgram& operator=(const RegexProgram&) = delete;

    // False for a pattern outside the ECMAScript grammar or one the matcher
    // cannot compile. Throws only std::bad_alloc.
    bool Compile(const wchar_t* pattern, size_t length,
                 RegexBackReferences backReferences = RegexBackReferences::kEcmaScript);

    // The leftmost occurrence in [begin, end): group 0 and the capture groups
    // in `groups`. kGaveUp when the budget or the backtracking memory ran out.
    RegexOutcome Search(const wchar_t* begin, const wchar_t* end,
                        std::vector<RegexSpan>& groups) const;

    // [begin, end) with the first (firstOnly) or every occurrence replaced by
    // `format` (ECMAScript rules: $&, $n, $nn, $`, $', $$), as the standard
    // library's regex_replace does. kNotFound: nothing was replaced, `out`
    // holds the subject.
    RegexOutcome Replace(const wchar_t* begin, const wchar_t* end, const wchar_t* format,
                         size_t formatLength, bool firstOnly, std::wstring& out) const;

    // Whether capture group `group` lies inside a negative lookahead: such a
    // group never has a value after a match (ECMAScript).
    bool InNegativeLookahead(size_t group) const;

private:
    struct Compiled;
    std::unique_ptr<Compiled> compiled_;
};

}  // namespace ka

#endif
