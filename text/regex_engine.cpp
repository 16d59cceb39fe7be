#include "text/regex_engine.h"

#include <algorithm>
#include <limits>
#include <new>

// Boost.Regex, header-only: no Boost library is linked, no Win32 locale is
// used (the character classes come from std::ctype<wchar_t>, as they do for
// std::wregex). Only this file includes it.
#define BOOST_REGEX_STANDALONE
#define BOOST_REGEX_NO_W32
#define BOOST_REGEX_BLOCKSIZE 65536
#define BOOST_REGEX_MAX_BLOCKS (ka::kRegexBacktrackBytes / BOOST_REGEX_BLOCKSIZE)
#include <boost/regex.hpp>
#include <boost/version.hpp>

// The step budget is set through two members of Boost's matcher (below):
// checked against this version.
#if BOOST_VERSION / 100 != 1081
#error "the regex step budget is written for Boost 1.81's perl_matcher"
#endif

namespace ka {
namespace {

using Iterator = const wchar_t*;
using Traits = boost::cpp_regex_traits<wchar_t>;
using Expression = boost::basic_regex<wchar_t, Traits>;

// What is left of one operation's budget, shared by every search it runs.
struct Budget {
    std::ptrdiff_t left;
};

// The allocator of our match results: a plain allocator that also carries
// the operation's budget to the matcher, which can reach nothing else of
// ours.
template <typename T>
struct BudgetAllocator {
    using value_type = T;
    Budget* budget = nullptr;

    BudgetAllocator() = default;
    explicit BudgetAllocator(Budget* b) : budget(b) {}
    template <typename U>
    BudgetAllocator(const BudgetAllocator<U>& other) : budget(other.budget) {}

    T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, size_t n) { std::allocator<T>().deallocate(p, n); }
    template <typename U>
    bool operator==(const BudgetAllocator<U>&) const {
        return true;
    }
};

using SubAllocator = BudgetAllocator<boost::sub_match<Iterator>>;
using Results = boost::match_results<Iterator, SubAllocator>;

}  // namespace
}  // namespace ka

// Boost bounds one search by a count it works out from the subject and the
// pattern (up to N * S^2 steps for N units and a pattern of S characters:
// minutes on long subjects), and starts again at every search of a
// replacement. Ours is one budget per operation: a search starts with what
// is left, and what it used is taken off, also when it gave up.
namespace boost::BOOST_REGEX_DETAIL_NS {

template <>
void perl_matcher<ka::Iterator, ka::SubAllocator, ka::Traits>::estimate_max_state_count(
    std::random_access_iterator_tag*) {
    max_state_count = std::max<std::ptrdiff_t>(m_result.get_allocator().budget->left, 0);
}

template <>
bool perl_matcher<ka::Iterator, ka::SubAllocator, ka::Traits>::find() {
    struct Spend {
        ka::Budget& budget;
        const std::ptrdiff_t& used;
        ~Spend() { budget.left -= used; }
    } spend{*m_result.get_allocator().budget, state_count};
    state_count = 0;
    return find_imp();
}

}  // namespace boost::BOOST_REGEX_DETAIL_NS

namespace ka {
namespace {

// A unit in Boost's \x{...} form, which stands for that unit whatever it is.
void AppendUnit(std::wstring& out, uint32_t unit) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    out += L"\\x{";
    for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(unit >> shift) & 0xF];
    out += L'}';
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Reads `digits` hex digits at p[i]; -1 when they are not there.
long ReadHex(const wchar_t* p, size_t length, size_t i, int digits) {
    if (length - i < size_t(digits)) return -1;
    long value = 0;
    for (int k = 0; k < digits; ++k) {
        int v = HexValue(p[i + k]);
        if (v < 0) return -1;
        value = value * 16 + v;
    }
    return value;
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// The escapes whose unit is fixed: \f \n \r \t \v \0, \cX, \xHH, \uHHHH.
// Consumes them from p[i] (the letter after the backslash) and appends the
// unit in Boost's \x{...} form. False: not one of them (or malformed,
// `bad` then set).
bool TranslateUnitEscape(const wchar_t* p, size_t length, size_t& i, std::wstring& out, bool& bad) {
    wchar_t c = p[i];
    static const wchar_t kNamed[] = L"f\fn\nr\rt\tv\v";
    for (const wchar_t* n = kNamed; *n; n += 2) {
        if (c == n[0]) {
            AppendUnit(out, n[1]);
            ++i;
            return true;
        }
    }
    if (c == L'0') {
        AppendUnit(out, 0);
        ++i;
        return true;
    }
    if (c == L'c') {
        if (i + 1 < length &&
            ((p[i + 1] >= L'a' && p[i + 1] <= L'z') || (p[i + 1] >= L'A' && p[i + 1] <= L'Z'))) {
            AppendUnit(out, p[i + 1] % 32);
            i += 2;
            return true;
        }
        bad = true;
        return false;
    }
    if (c == L'x' || c == L'u') {
        int digits = c == L'x' ? 2 : 4;
        long value = ReadHex(p, length, i + 1, digits);
        if (value < 0) {
            bad = true;
            return false;
        }
        AppendUnit(out, uint32_t(value));
        i += 1 + digits;
        return true;
    }
    return false;
}

// A class [...] from p[i] (on the "["), into Boost's class syntax.
bool TranslateClass(const wchar_t* p, size_t length, size_t& i, std::wstring& out) {
    size_t j = i + 1;
    bool negated = j < length && p[j] == L'^';
    if (negated) ++j;
    // ECMAScript closes a class at its first "]": [] matches nothing and
    // [^] any unit. Boost would take that "]" as a member.
    if (j < length && p[j] == L']') {
        out += negated ? L"[\\s\\S]" : L"(?!)";
        i = j + 1;
        return true;
    }
    out += negated ? L"[^" : L"[";
    while (j < length && p[j] != L']') {
        wchar_t c = p[j];
        if (c == L'[' && j + 1 < length &&
            (p[j + 1] == L':' || p[j + 1] == L'.' || p[j + 1] == L'=')) {
            // [:name:], [.x.], [=x=]: the same syntax on both sides.
            wchar_t kind = p[j + 1];
            size_t close = j + 2;
            while (close + 1 < length && !(p[close] == kind && p[close + 1] == L']')) ++close;
            if (close + 1 >= length) return false;
            out.append(p + j, close + 2 - j);
            j = close + 2;
            continue;
        }
        if (c != L'\\') {
            out += c;
            ++j;
            continue;
        }
        if (++j == length) return false;
        c = p[j];
        bool bad = false;
        if (c == L'd' || c == L'D' || c == L's' || c == L'S' || c == L'w' || c == L'W') {
            out += L'\\';
            out += c;
            ++j;
        } else if (c == L'b') {  // backspace inside a class
            AppendUnit(out, 8);
            ++j;
        } else if (TranslateUnitEscape(p, length, j, out, bad)) {
        } else if (bad || IsDigit(c)) {
            return false;
        } else {
            AppendUnit(out, c);  // an identity escape: the unit itself
            ++j;
        }
    }
    if (j == length) return false;
    out += L']';
    i = j + 1;
    return true;
}

// {n}, {n,}, {n,m} at p[i]; its length, or 0 when it is not one.
size_t BraceQuantifier(const wchar_t* p, size_t length, size_t i) {
    size_t j = i + 1;
    size_t digits = 0;
    while (j < length && IsDigit(p[j])) ++j, ++digits;
    if (digits == 0) return 0;
    if (j < length && p[j] == L',') {
        ++j;
        while (j < length && IsDigit(p[j])) ++j;
    }
    return j < length && p[j] == L'}' ? j + 1 - i : 0;
}

// The capture groups of a pattern: its "(" outside classes and escapes,
// other than "(?".
size_t CountGroups(const wchar_t* p, size_t length) {
    size_t groups = 0;
    bool inClass = false;
    for (size_t i = 0; i < length; ++i) {
        if (p[i] == L'\\') {
            ++i;
        } else if (inClass) {
            inClass = p[i] != L']';
        } else if (p[i] == L'[') {
            size_t j = i + 1;
            if (j < length && p[j] == L'^') ++j;
            inClass = !(j < length && p[j] == L']');  // [] and [^] close at once
            i = inClass ? j - 1 : j;
        } else if (p[i] == L'(' && (i + 1 == length || p[i + 1] != L'?')) {
            ++groups;
        }
    }
    return groups;
}

// The pattern in Boost's Perl syntax with ECMAScript's meaning; false when
// it is not ECMAScript (an unknown "(?" group, a possessive quantifier, a
// bad escape, a back-reference past the last group). `groups`: its capture
// groups; `negated[n]`: group n lies inside a negative lookahead.
bool TranslatePattern(const wchar_t* p, size_t length, std::wstring& out,
                      RegexBackReferences backReferences, size_t& groups,
                      std::vector<bool>& negated) {
    out.clear();
    out.reserve(length + 16);
    groups = CountGroups(p, length);
    negated.assign(groups + 1, false);
    std::vector<bool> open;   // per open parenthesis: a negative lookahead
    size_t negativeOpen = 0;  // how many of them are
    size_t opened = 0;
    bool lazy = false;
    size_t i = 0;
    while (i < length) {
        wchar_t c = p[i];
        if (c == L'\\') {
            if (++i == length) return false;
            c = p[i];
            bool bad = false;
            if (c >= L'1' && c <= L'9') {
                // A back-reference: ECMAScript reads the whole number (the
                // standard library up to three digits), and a group that did
                // not take part matches empty. Boost's Perl rules would fail
                // there, so it becomes "if the group took part, its text".
                size_t start = i;
                size_t group = 0;
                while (i < length && IsDigit(p[i]) && i - start < 3) {
                    group = group * 10 + size_t(p[i++] - L'0');
                }
                if (group > groups) return false;
                std::wstring number(p + start, i - start);
                if (backReferences == RegexBackReferences::kEcmaScript) {
                    out.append(L"(?(").append(number).append(L")\\g{").append(number).append(
                        L"}|)");
                } else {
                    out += L"\\g{" + number + L"}";
                }
            } else if (c == L'd' || c == L'D' || c == L's' || c == L'S' || c == L'w' || c == L'W' ||
                       c == L'b' || c == L'B') {
                out += L'\\';
                out += c;
                ++i;
            } else if (TranslateUnitEscape(p, length, i, out, bad)) {
            } else if (bad) {
                return false;
            } else {
                // An identity escape. Boost gives meanings to many more
                // (\A, \z, \Q, \<, \` ...): the unit itself, in hex.
                AppendUnit(out, c);
                ++i;
            }
            continue;
        }
        if (c == L'[') {
            if (!TranslateClass(p, length, i, out)) return false;
            continue;
        }
        if (c == L'.') {
            // Any unit but a line terminator. Boost's own "." also stops at
            // form feed and U+0085.
            out += L"[^\\n\\r\\x{2028}\\x{2029}]";
            ++i;
            continue;
        }
        if (c == L'(' && i + 1 < length) {
            wchar_t next = p[i + 1];
            if (next == L'?') {
                // (?: (?= (?! only; Boost's other groups (lookbehind, named,
                // atomic, options, conditionals) are not ECMAScript.
                if (i + 2 >= length || (p[i + 2] != L':' && p[i + 2] != L'=' && p[i + 2] != L'!')) {
                    return false;
                }
                open.push_back(p[i + 2] == L'!');
                negativeOpen += open.back();
                out.append(p + i, 3);
                i += 3;
                continue;
            }
            if (next == L'*') return false;  // a Boost verb, (*ACCEPT) and so on
        }
        if (c == L'(') {
            if (++opened <= groups) negated[opened] = negativeOpen != 0;
            open.push_back(false);
        } else if (c == L')' && !open.empty()) {
            negativeOpen -= open.back();
            open.pop_back();
        }
        size_t quantifier = 0;
        if (c == L'*' || c == L'+' || c == L'?') {
            quantifier = 1;
        } else if (c == L'{') {
            quantifier = BraceQuantifier(p, length, i);
        }
        if (quantifier != 0) {
            out.append(p + i, quantifier);
            i += quantifier;
            if (i < length && p[i] == L'?') {
                out += p[i++];
                lazy = true;
            }
            if (i < length && p[i] == L'+') return false;  // possessive in Boost
            continue;
        }
        out += c;
        ++i;
    }
    if (lazy) {
        // Boost restarts a failed search after the units a leading repeat
        // took, which skips start positions when that repeat is lazy and
        // bounded (\S{0,2}?\W misses "1A\n" in "cx_1A\n"). It does not do so
        // in a pattern with a back-reference: one is added that never runs,
        // to a group of its own after the pattern's.
        out = L"(?:" + out + L")(?:(?!)()\\g{" + std::to_wstring(groups + 1) + L"})?";
    }
    return true;
}

}  // namespace

struct RegexProgram::Compiled {
    Expression expression;
    size_t groups = 0;  // with group 0
    // Groups inside a negative lookahead. ECMAScript leaves them undefined
    // after it (the lookahead holds only when they did not match); Boost
    // lets a lookahead nested in it leak what it captured.
    std::vector<bool> negated;
};

RegexProgram::RegexProgram() = default;
RegexProgram::~RegexProgram() = default;

bool RegexProgram::Compile(const wchar_t* pattern, size_t length,
                           RegexBackReferences backReferences) {
    std::wstring translated;
    size_t groups = 0;
    std::vector<bool> negated;
    if (!TranslatePattern(pattern, length, translated, backReferences, groups, negated)) {
        return false;
    }
    auto compiled = std::make_unique<Compiled>();
    // ^ and $ at the ends of the subject only (ECMAScript without the
    // multiline flag).
    auto flags = boost::regex_constants::ECMAScript | boost::regex_constants::no_mod_m;
    try {
        compiled->expression.assign(translated.data(), translated.data() + translated.size(),
                                    flags);
    } catch (const boost::regex_error&) {
        return false;
    }
    compiled->groups = groups + 1;
    compiled->negated = std::move(negated);
    compiled_ = std::move(compiled);
    return true;
}

bool RegexProgram::InNegativeLookahead(size_t group) const {
    return compiled_ && group < compiled_->negated.size() && compiled_->negated[group];
}

namespace {

// The outcome of one search from `from` (see the standard's regex_iterator
// for why `base` may be later than the subject's start).
bool SearchFrom(const Expression& expression, Iterator from, Iterator end, Iterator base,
                boost::match_flag_type flags, Results& results) {
    return boost::regex_search(from, end, results, expression, flags, base);
}

void CopyGroups(const Results& results, const std::vector<bool>& negated, Iterator begin,
                Iterator end, std::vector<RegexSpan>& groups) {
    groups.assign(negated.size(), RegexSpan{});
    for (size_t g = 0; g < negated.size(); ++g) {
        const auto& sub = results[g];
        if (sub.matched && !negated[g]) {
            groups[g] = {size_t(sub.first - begin), size_t(sub.second - begin), true};
        } else {
            groups[g] = {size_t(end - begin), size_t(end - begin), false};
        }
    }
}

// ECMAScript replacement format, as the standard library's match_results::
// format reads it: $$, $&, $` (from the end of the previous occurrence),
// $' (to the end of the subject), $n and $nn (a group number under the
// group count; otherwise nothing), and "$" before anything else as itself.
void AppendFormatted(const wchar_t* format, size_t length, const Results& results,
                     const std::vector<bool>& negated, Iterator prefixFrom, Iterator end,
                     std::wstring& out) {
    auto group = [&](size_t g) {
        if (g < negated.size() && !negated[g] && results[g].matched) {
            out.append(results[g].first, results[g].second);
        }
    };
    size_t i = 0;
    while (i < length) {
        const wchar_t* dollar = std::find(format + i, format + length, L'$');
        out.append(format + i, dollar);
        i = size_t(dollar - format);
        if (i == length) break;
        if (++i == length) {
            out += L'$';
            break;
        }
        wchar_t c = format[i];
        if (c == L'$') {
            out += L'$';
            ++i;
        } else if (c == L'&') {
            group(0);
            ++i;
        } else if (c == L'`') {
            out.append(prefixFrom, results[0].first);
            ++i;
        } else if (c == L'\'') {
            out.append(results[0].second, end);
            ++i;
        } else if (IsDigit(c)) {
            size_t number = size_t(c - L'0');
            if (++i < length && IsDigit(format[i])) {
                number = number * 10 + size_t(format[i++] - L'0');
            }
            group(number);
        } else {
            out += L'$';
        }
    }
}

RegexOutcome Caught(const boost::regex_error& error) {
    if (error.code() == boost::regex_constants::error_complexity ||
        error.code() == boost::regex_constants::error_stack) {
        return RegexOutcome::kGaveUp;
    }
    throw;
}

std::ptrdiff_t BudgetFor(size_t units) {
    uint64_t limit = uint64_t(std::numeric_limits<std::ptrdiff_t>::max()) / 2;
    uint64_t perUnit = units > limit / kRegexStepsPerUnit ? limit : units * kRegexStepsPerUnit;
    return std::ptrdiff_t(std::min(limit, kRegexStepBudget + perUnit));
}

}  // namespace

RegexOutcome RegexProgram::Search(const wchar_t* begin, const wchar_t* end,
                                  std::vector<RegexSpan>& groups) const {
    groups.clear();
    if (!compiled_) return RegexOutcome::kNotFound;
    Budget budget{BudgetFor(size_t(end - begin))};
    Results results{SubAllocator(&budget)};
    try {
        if (!SearchFrom(compiled_->expression, begin, end, begin, boost::match_default, results)) {
            return RegexOutcome::kNotFound;
        }
    } catch (const boost::regex_error& error) {
        return Caught(error);
    }
    CopyGroups(results, compiled_->negated, begin, end, groups);
    return RegexOutcome::kFound;
}

// The standard library's regex_replace over its regex_iterator, step by
// step: after an empty occurrence the next one is first looked for at the
// same place, not empty and anchored there, and only then from one unit on;
// every search after the first sees the unit before it.
RegexOutcome RegexProgram::Replace(const wchar_t* begin, const wchar_t* end, const wchar_t* format,
                                   size_t formatLength, bool firstOnly, std::wstring& out) const {
    out.clear();
    if (!compiled_) {
        out.assign(begin, end);
        return RegexOutcome::kNotFound;
    }
    const Expression& expression = compiled_->expression;
    Budget budget{BudgetFor(size_t(end - begin))};
    Results results{SubAllocator(&budget)};
    auto flags = boost::match_default;
    bool any = false;
    try {
        if (!SearchFrom(expression, begin, end, begin, flags, results)) {
            out.assign(begin, end);
            return RegexOutcome::kNotFound;
        }
        Iterator prefixFrom = begin;
        for (;;) {
            any = true;
            out.append(prefixFrom, results[0].first);
            AppendFormatted(format, formatLength, results, compiled_->negated, prefixFrom, end,
                            out);
            Iterator start = results[0].second;
            prefixFrom = start;
            if (firstOnly) break;
            bool found = false;
            if (results[0].first == results[0].second) {
                if (start == end) break;
                // Without the unit before: the standard iterator only adds
                // that flag after this retry.
                Iterator base = (flags & boost::match_prev_avail) ? begin : start;
                found =
                    SearchFrom(expression, start, end, base,
                               flags | boost::match_not_null | boost::match_continuous, results);
                if (!found) ++start;
            }
            if (!found) {
                flags |= boost::match_prev_avail;
                found = SearchFrom(expression, start, end, begin, flags, results);
            }
            if (!found) break;
        }
        out.append(prefixFrom, end);
    } catch (const boost::regex_error& error) {
        out.clear();
        return Caught(error);
    }
    return any ? RegexOutcome::kFound : RegexOutcome::kNotFound;
}

}  // namespace ka
