#include "fs/path.h"

#include "frame/services.h"
#include "frame/win32.h"
#include "frame/win32_util.h"

#include <atomic>
#include <cwchar>
#include <cwctype>

namespace ka {
namespace {

bool StartsWithLongPrefix(const wchar_t* path) { return std::wcsncmp(path, L"\\\\?\\", 4) == 0; }

// Steps 3 and 4 of the long form: a UNC path or one on a present drive.
bool PrefixedForm(const wchar_t* path, std::wstring& out) {
    if (path[0] == L'\\' && path[1] == L'\\') {
        out = std::wstring(L"\\\\?\\UNC") + (path + 1);
        return true;
    }
    if (HasPresentDrive(path)) {
        out = std::wstring(L"\\\\?\\") + path;
        return true;
    }
    return false;
}

}  // namespace

bool TrimTrailingBackslashes(const wchar_t* path, std::wstring& trimmed) {
    if (path == nullptr || *path == L'\0') {
        Log()->Printf(LogCategory::ERROR, 0, "Input path is empty.");
        return false;
    }
    trimmed.assign(path);
    size_t end = trimmed.find_last_not_of(L'\\');
    trimmed.resize(end == std::wstring::npos ? 0 : end + 1);
    return true;
}

// GetLogicalDrives is costly (under Wine about a millisecond: it asks the
// mount manager), and every long path asks it. Drives seen present are
// remembered; a letter not in the remembered mask asks the system again. A
// drive that disappeared meanwhile still gets the "\\?\" form, and the call
// that uses it then fails just as it would have failed without it.
bool HasPresentDrive(const wchar_t* path) {
    if (path == nullptr || path[0] == L'\0' || path[1] != L':') return false;
    wint_t letter = std::towupper(path[0]);
    if (!std::iswalpha(letter)) return false;
    static std::atomic<DWORD> knownDrives{0};
    DWORD bit = DWORD(1) << ((letter - L'A') % 32);
    if (knownDrives.load(std::memory_order_relaxed) & bit) return true;
    DWORD drives = ::GetLogicalDrives();
    knownDrives.store(drives, std::memory_order_relaxed);
    return (drives & bit) != 0;
}

bool ToLongPath(const wchar_t* path, std::wstring& longForm) {
    if (path == nullptr || std::wcslen(path) < kLongPathThreshold) return false;
    if (StartsWithLongPrefix(path)) return false;  // already long
    if (PrefixedForm(path, longForm)) return true;
    // Relative, rooted without a drive, or on a drive that is not present:
    // joined to the current directory, once. Should the joined path still
    // have no present drive (the current directory's drive is missing from
    // the drive mask), it is not joined again: the path is used as it is.
    std::wstring current;
    if (!QuerySizedString(current, [](wchar_t* buffer, DWORD size) {
            return ::GetCurrentDirectoryW(size, buffer);  // first answer counts the terminator
        })) {
        return false;
    }
    if (current.empty() || current.back() != L'\\') current.push_back(L'\\');
    current += path;
    return PrefixedForm(current.c_str(), longForm);
}

std::wstring SystemPath(const wchar_t* path) {
    std::wstring longForm;
    return ToLongPath(path, longForm) ? longForm : std::wstring(path ? path : L"");
}

bool ProbePath(const wchar_t* path, bool* isDirectory) {
    if (path == nullptr || *path == L'\0') return false;
    std::wstring trimmed;
    if (!TrimTrailingBackslashes(path, trimmed)) return false;
    // A drive root probes as "C:", which the system reads as that drive's
    // current directory; a path of backslashes only probes as "" and fails.
    DWORD attributes = ::GetFileAttributesW(SystemPath(trimmed.c_str()).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (isDirectory != nullptr) *isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

bool SplitPathComponents(wchar_t* buffer, std::vector<wchar_t*>& components) {
    if (buffer == nullptr || *buffer == L'\0') return true;
    bool onlyBackslashes = true;
    wchar_t* start = buffer;
    for (wchar_t* p = buffer; *p != L'\0'; ++p) {
        if (*p != L'\\') {
            onlyBackslashes = false;
            continue;
        }
        if (onlyBackslashes) continue;  // leading backslashes belong to the first component
        if (p == start) {
            Log()->Printf(LogCategory::ERROR, 0, "Detected empty path component.");
            return false;
        }
        *p = L'\0';
        components.push_back(start);
        start = p + 1;
    }
    if (*start != L'\0') components.push_back(start);
    return true;
}

}  // namespace ka
