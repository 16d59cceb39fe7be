#include "text/regex.h"

#include "frame/boundary.h"
#include "frame/services.h"

#include <cwchar>

namespace ka {

void ReportRegexGaveUp(size_t subjectUnits) {
    Log()->PrintfW(LogCategory::WARNING, 0,
                   L"Regular expression not answered: over its budget of work or memory on a "
                   L"subject of %Iu units",
                   subjectUnits);
}

bool Regex::Compile(const wchar_t* pattern) {
    if (pattern == nullptr) return false;
    return Boundary(false, [&] { return program_.Compile(pattern, std::wcslen(pattern)); });
}

RegexMatch::RegexMatch(const wchar_t* subject, Regex* regex)
    : subject_(subject ? subject : L""), regex_(ObjectRef<Regex>::Share(regex)) {}

bool RegexMatch::Search() {
    const wchar_t* begin = subject_.data();
    RegexOutcome outcome = regex_->Program().Search(begin, begin + subject_.size(), groups_);
    if (outcome == RegexOutcome::kGaveUp) ReportRegexGaveUp(subject_.size());
    if (outcome != RegexOutcome::kFound) groups_.clear();
    cursor_ = groups_.size();
    return outcome == RegexOutcome::kFound;
}

// Copying the group can run out of memory: the caller then gets null, as if
// there were no group, rather than an exception it cannot catch.
const wchar_t* RegexMatch::GetText() {
    if (!HasCurrent()) return nullptr;
    return Boundary(static_cast<const wchar_t*>(nullptr), [&] {
        const RegexSpan& group = groups_[cursor_];
        groupText_.assign(subject_, group.start, group.end - group.start);
        return groupText_.c_str();
    });
}

int64_t RegexMatch::GetPosition() { return HasCurrent() ? int64_t(groups_[cursor_].start) : 0; }

int64_t RegexMatch::GetLength() {
    return HasCurrent() ? int64_t(groups_[cursor_].end - groups_[cursor_].start) : 0;
}

bool RegexMatch::Next() {
    if (!HasCurrent()) return false;
    ++cursor_;
    return HasCurrent();
}

}  // namespace ka
