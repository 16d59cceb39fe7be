#include "process/environment.h"

#include "frame/boundary.h"

#include <cwchar>

namespace ka {

bool Environment::SetVariable(const wchar_t* name, const wchar_t* value) {
    if (name == nullptr || *name == L'\0') return false;
    return Boundary(false, [&] {
        if (value == nullptr || *value == L'\0') {
            variables_.erase(name);
        } else {
            variables_.insert_or_assign(name, value);
        }
        block_.clear();
        return true;
    });
}

const wchar_t* Environment::GetBlock() {
    return Boundary(static_cast<const wchar_t*>(nullptr), [&] {
        block_.clear();
        for (const auto& [name, value] : variables_) {
            block_ += name;
            block_ += L'=';
            block_ += value;
            block_ += L'\0';
        }
        if (variables_.empty()) block_ += L'\0';
        block_ += L'\0';
        return block_.c_str();
    });
}

void Environment::Fill(const wchar_t* block) {
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        const wchar_t* equals = std::wcschr(entry, L'=');
        size_t nameLength = equals ? size_t(equals - entry) : std::wcslen(entry);
        if (nameLength == 0) continue;  // "=C:=C:\dir" and the like
        variables_.insert_or_assign(std::wstring(entry, nameLength),
                                    equals ? std::wstring(equals + 1) : std::wstring());
    }
}

}  // namespace ka
