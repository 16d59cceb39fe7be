// Generated patterns, subjects and replacement formats, and std::wregex's
// answers for them (ECMAScript, default flags): the oracle the library's
// matcher is checked against, in the regex suite and by `make fuzz`. Free of
// Win32; our side is the library's matcher itself (text/regex_engine.h).
#ifndef KA_TESTS_SUPPORT_REGEX_DIFFERENTIAL_H
#define KA_TESTS_SUPPORT_REGEX_DIFFERENTIAL_H

#include "text/regex_engine.h"

#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace katest::regexdiff {

struct Case {
    std::wstring pattern;
    std::wstring subject;
    std::wstring format;
};

enum class Search { kNoPattern, kFound, kNotFound, kGaveUp };

struct Group {
    bool matched;
    int64_t position;
    int64_t length;
    bool operator==(const Group&) const = default;
};

struct Answer {
    Search search = Search::kNoPattern;
    std::vector<Group> groups;  // when found
    bool replaced = false;      // false: the replacements were not answered
    std::wstring all, first;
};

// Short subjects over a small alphabet, so the oracle's recursion stays
// shallow and its backtracking short; patterns of every construct the
// grammar has, nested at most three deep.
class Generator {
public:
    explicit Generator(uint64_t seed) : state_(seed * 0xD1B54A32D192ED03ull) { Random(); }

    Case Next() {
        Case c;
        groups_ = 0;
        c.pattern = Alternation(0);
        size_t length = Below(13);
        static const wchar_t kAlphabet[] = L"aabbc1 _-x\nA.";
        for (size_t i = 0; i < length; ++i) c.subject += kAlphabet[Below(13)];
        static const wchar_t* const kPieces[] = {L"$&", L"$1", L"$2", L"$$", L"$`",  L"$'",
                                                 L"<",  L">",  L"$",  L"$0", L"$12", L"$x"};
        for (size_t n = Below(4); n > 0; --n) c.format += kPieces[Below(12)];
        return c;
    }

private:
    uint64_t Random() {  // splitmix64
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t Below(size_t n) { return size_t(Random() % n); }

    std::wstring Alternation(int depth) {
        std::wstring s = Sequence(depth);
        while (Below(5) == 0) s += L"|" + Sequence(depth);
        return s;
    }

    std::wstring Sequence(int depth) {
        std::wstring s;
        for (size_t n = 1 + Below(3); n > 0; --n) s += Term(depth);
        return s;
    }

    std::wstring Term(int depth) {
        static const wchar_t* const kAssertions[] = {L"^", L"$", L"\\b", L"\\B"};
        // Inside a lookahead only $: the standard library reads ^, \b and \B
        // there as if the text began where the lookahead starts (see
        // ka/text.h); its own rows in the regex suite show that difference.
        if (Below(10) == 0) return lookaheads_ > 0 ? L"$" : kAssertions[Below(4)];
        // At most two quantifiers nested: three make std::wregex's
        // backtracking exponential even on these subjects.
        bool quantified = Below(3) == 0 && quantifiers_ < 2;
        quantifiers_ += quantified;
        std::wstring atom = Atom(depth);
        quantifiers_ -= quantified;
        static const wchar_t* const kQuantifiers[] = {L"*",    L"+",     L"?",    L"{2}",
                                                      L"{1,}", L"{0,2}", L"{1,3}"};
        if (quantified) {
            atom += kQuantifiers[Below(7)];
            if (Below(3) == 0) atom += L"?";  // lazy
        }
        return atom;
    }

    std::wstring Atom(int depth) {
        static const wchar_t* const kSingles[] = {L"a",
                                                  L"b",
                                                  L"c",
                                                  L"1",
                                                  L"x",
                                                  L"\\.",
                                                  L"-",
                                                  L".",
                                                  L"\\d",
                                                  L"\\w",
                                                  L"\\s",
                                                  L"\\D",
                                                  L"\\W",
                                                  L"\\S",
                                                  L"[ab]",
                                                  L"[^a]",
                                                  L"[a-c]",
                                                  L"[[:alpha:]]",
                                                  L"[^\\w]",
                                                  L"[\\d_]",
                                                  L"[[:digit:]x]",
                                                  L"[^[:space:]]",
                                                  L"\\n",
                                                  L"A",
                                                  L"\\x41",
                                                  L"[-a]",
                                                  L" "};
        size_t kind = depth >= 3 ? 0 : Below(8);
        switch (kind) {
            case 1:
            case 2: {
                std::wstring inner = Alternation(depth + 1);
                ++groups_;
                return L"(" + inner + L")";
            }
            case 3:
                return L"(?:" + Alternation(depth + 1) + L")";
            case 4: {
                ++lookaheads_;
                std::wstring inner = Alternation(depth + 1);
                --lookaheads_;
                return (Below(2) ? L"(?=" : L"(?!") + inner + L")";
            }
            case 5:
                if (groups_ > 0) return L"\\" + std::to_wstring(1 + Below(groups_));
                [[fallthrough]];
            default:
                return kSingles[Below(sizeof kSingles / sizeof *kSingles)];
        }
    }

    uint64_t state_;
    size_t groups_ = 0;    // groups closed so far: what a back-reference may name
    int lookaheads_ = 0;   // open lookaheads
    int quantifiers_ = 0;  // quantified atoms open
};

inline Answer StdAnswer(const Case& c) {
    Answer a;
    std::wregex expression;
    try {
        expression.assign(c.pattern);
    } catch (const std::regex_error&) {
        return a;
    }
    std::wsmatch match;
    if (std::regex_search(c.subject, match, expression)) {
        a.search = Search::kFound;
        for (size_t g = 0; g < match.size(); ++g) {
            a.groups.push_back(
                {match[g].matched, match.position(g), match[g].matched ? match.length(g) : 0});
        }
    } else {
        a.search = Search::kNotFound;
    }
    a.all = std::regex_replace(c.subject, expression, c.format);
    a.first = std::regex_replace(c.subject, expression, c.format,
                                 std::regex_constants::format_first_only);
    a.replaced = true;
    return a;
}

inline std::string Narrow(const std::wstring& text) {
    std::string s;
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            s += char(c);
        } else {
            char hex[12];
            std::snprintf(hex, sizeof hex, "\\x%02X", unsigned(c));
            s += hex;
        }
    }
    return s;
}

// Empty when ours agrees with the oracle; otherwise what differs. Giving up
// is not a difference (the caller counts it), nor is a pattern the oracle
// rejects (ours may take it).
inline std::string Difference(const Case& c, const Answer& ours, const Answer& oracle) {
    // Appended piece by piece: GCC 12 warns (wrongly) on a literal + string.
    std::string where = "pattern \"";
    where += Narrow(c.pattern);
    where += "\" subject \"";
    where += Narrow(c.subject);
    where += "\" format \"";
    where += Narrow(c.format);
    where += "\": ";
    if (oracle.search == Search::kNoPattern) return "";
    if (ours.search == Search::kNoPattern) return where + "ours rejects the pattern";
    if (ours.search != Search::kGaveUp) {
        if (ours.search != oracle.search) {
            return where + (oracle.search == Search::kFound ? "ours finds nothing"
                                                            : "ours finds an occurrence");
        }
        if (ours.groups != oracle.groups) {
            std::string text = where + "groups differ:";
            for (size_t g = 0; g < ours.groups.size() || g < oracle.groups.size(); ++g) {
                auto show = [](const std::vector<Group>& v, size_t i) {
                    if (i >= v.size()) return std::string("-");
                    if (!v[i].matched) return std::string("unmatched");
                    return std::to_string(v[i].position) + "+" + std::to_string(v[i].length);
                };
                text += ' ';
                text += std::to_string(g) + ": ours " + show(ours.groups, g) + " std " +
                        show(oracle.groups, g) + ";";
            }
            return text;
        }
    }
    if (ours.replaced && ours.all != oracle.all) {
        return where + "ReplaceAll gives \"" + Narrow(ours.all) + "\", std \"" +
               Narrow(oracle.all) + "\"";
    }
    if (ours.replaced && ours.first != oracle.first) {
        return where + "ReplaceFirst gives \"" + Narrow(ours.first) + "\", std \"" +
               Narrow(oracle.first) + "\"";
    }
    return "";
}

inline Answer OurAnswer(const Case& c, ka::RegexBackReferences backReferences) {
    Answer a;
    ka::RegexProgram program;
    if (!program.Compile(c.pattern.data(), c.pattern.size(), backReferences)) return a;
    std::vector<ka::RegexSpan> groups;
    const wchar_t* begin = c.subject.data();
    const wchar_t* end = begin + c.subject.size();
    switch (program.Search(begin, end, groups)) {
        case ka::RegexOutcome::kFound:
            a.search = Search::kFound;
            break;
        case ka::RegexOutcome::kNotFound:
            a.search = Search::kNotFound;
            break;
        case ka::RegexOutcome::kGaveUp:
            a.search = Search::kGaveUp;
            break;
    }
    for (const ka::RegexSpan& g : groups) {
        a.groups.push_back({g.matched, int64_t(g.start), int64_t(g.end - g.start)});
    }
    const wchar_t* format = c.format.c_str();
    a.replaced = program.Replace(begin, end, format, c.format.size(), false, a.all) !=
                     ka::RegexOutcome::kGaveUp &&
                 program.Replace(begin, end, format, c.format.size(), true, a.first) !=
                     ka::RegexOutcome::kGaveUp;
    return a;
}

struct Tally {
    long pairs = 0;
    long oracleRejects = 0;     // patterns std::wregex does not compile
    long gaveUp = 0;            // ours did not answer
    long backReferences = 0;    // the documented back-reference rule, and only it
    long lookaheadRetries = 0;  // std's documented retry after an empty occurrence
    long negatedGroups = 0;     // std's documented captures out of a negative lookahead
    std::vector<std::string> differences;
};

// After an empty occurrence the standard iterator looks again at the same
// place for one that is not empty; libstdc++ hands that "not empty" down to
// every lookahead, so a lookahead whose body matches empty fails there. A
// difference is put down to that when the searches agree, only replacements
// differ, the pattern has a lookahead and std's occurrences include an empty
// one.
inline bool LookaheadRetry(const Case& c, const Answer& ours, const Answer& oracle) {
    if (ours.search != oracle.search || ours.groups != oracle.groups) return false;
    if (c.pattern.find(L"(?=") == std::wstring::npos &&
        c.pattern.find(L"(?!") == std::wstring::npos) {
        return false;
    }
    std::wregex expression(c.pattern);
    for (std::wsregex_iterator it(c.subject.begin(), c.subject.end(), expression), end; it != end;
         ++it) {
        if (it->length(0) == 0) return true;
    }
    return false;
}

// libstdc++ keeps what a negative lookahead's body captured when that body
// matched (and the lookahead failed), and later alternatives see it;
// ECMAScript leaves such groups undefined. A difference is put down to that
// when the occurrences agree and every differing group is inside a negative
// lookahead and unmatched in ours.
inline bool NegatedGroupsOnly(const Case& c, const Answer& ours, const Answer& oracle) {
    if (ours.search != Search::kFound || oracle.search != Search::kFound ||
        ours.groups.size() != oracle.groups.size() || ours.groups[0] != oracle.groups[0]) {
        return false;
    }
    ka::RegexProgram program;
    if (!program.Compile(c.pattern.data(), c.pattern.size())) return false;
    for (size_t g = 1; g < ours.groups.size(); ++g) {
        if (ours.groups[g] != oracle.groups[g] &&
            (!program.InNegativeLookahead(g) || ours.groups[g].matched)) {
            return false;
        }
    }
    return true;
}

// One pair: compared under ECMAScript's back-reference rule, and when that
// differs, again under the standard library's to show whether that rule is
// the whole difference.
inline void Check(const Case& c, Tally& tally) {
    ++tally.pairs;
    Answer oracle = StdAnswer(c);
    if (oracle.search == Search::kNoPattern) {
        ++tally.oracleRejects;
        return;
    }
    Answer ours = OurAnswer(c, ka::RegexBackReferences::kEcmaScript);
    if (ours.search == Search::kGaveUp || !ours.replaced) ++tally.gaveUp;
    std::string difference = Difference(c, ours, oracle);
    if (difference.empty()) return;
    if (Difference(c, OurAnswer(c, ka::RegexBackReferences::kFailUnmatched), oracle).empty()) {
        ++tally.backReferences;
    } else if (LookaheadRetry(c, ours, oracle)) {
        ++tally.lookaheadRetries;
    } else if (NegatedGroupsOnly(c, ours, oracle)) {
        ++tally.negatedGroups;
    } else {
        tally.differences.push_back(difference);
    }
}

}  // namespace katest::regexdiff

#endif
