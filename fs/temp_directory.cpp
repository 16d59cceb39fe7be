#include "fs/temp_directory.h"

#include "frame/boundary.h"
#include "frame/handles.h"
#include "frame/services.h"
#include "frame/win32.h"
#include "frame/win32_util.h"
#include "fs/path.h"
#include "fs/path_parts.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <cwchar>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ka {
namespace {

constexpr const wchar_t* kRootName = L"\\kav_qmt_tmp";
constexpr const wchar_t* kFallbackComputerName = L"kasxs";
// Entries of the root older than this (strictly) are leftovers.
constexpr __time64_t kLeftoverAgeSeconds = __time64_t{14} * 24 * 60 * 60;

// Zero at load; incremented before each use, so a process's first leaf is 1.
std::atomic<int32_t> g_leafCounter{0};

DWORD ProcessId() {
    static const DWORD id = ::GetCurrentProcessId();  // thread-safe one-time initialisation
    return id;
}

// The caller's base, else the system's temporary path; without its trailing
// backslashes, followed by the root's name.
bool RootDirectory(const wchar_t* baseDirectory, std::wstring& root) {
    if (baseDirectory != nullptr && *baseDirectory != L'\0') {
        root = baseDirectory;
    } else if (!QuerySizedString(root, [](wchar_t* buffer, DWORD size) {
                   return ::GetTempPathW(size, buffer);  // first answer counts the terminator
               })) {
        return false;
    }
    root.erase(root.find_last_not_of(L'\\') + 1);  // npos + 1 erases all: backslashes only
    root += kRootName;
    return true;
}

std::wstring ComputerName() {
    wchar_t name[16];
    DWORD size = 16;
    if (::GetComputerNameW(name, &size)) return std::wstring(name, size);
    Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to get computer name.");
    return kFallbackComputerName;
}

// A caller's leaf is used as it is, so "a\b" makes a nested directory. But
// the object's directory is deleted when the object goes, and its parent
// swept: a leaf must not lead out of the root. No rooted or drive path (nor
// a stream, which also takes a colon), and no ".." step, in any of the
// spellings Win32 reads as one (it drops a component's trailing dots and
// blanks, so "... " climbs too).
bool StaysBelowRoot(const wchar_t* leaf) {
    if (*leaf == L'\\' || *leaf == L'/' || std::wcschr(leaf, L':') != nullptr) return false;
    for (const wchar_t* part = leaf;; ++part) {
        size_t length = std::wcscspn(part, L"\\/");
        std::wstring_view component(part, length);
        bool climbs = component.find_first_not_of(L". ") == component.npos &&
                      std::count(component.begin(), component.end(), L'.') >= 2;
        if (climbs) return false;
        part += length;
        if (*part == L'\0') return true;
    }
}

// Moves the directory an object owns to its new place, contents and all.
// The same place (in any letter case) is kept as it is.
bool MoveOwnedDirectory(const std::wstring& from, const std::wstring& to) {
    if (_wcsicmp(from.c_str(), to.c_str()) == 0) return true;
    return ::MoveFileW(SystemPath(from.c_str()).c_str(), SystemPath(to.c_str()).c_str()) != 0;
}

// Every entry of the directory except "." and "..", as full paths, in the
// order the system lists them. The directories-only hint may be ignored, so
// files come too.
std::vector<std::wstring> ListEntries(const std::wstring& directory,
                                      FINDEX_SEARCH_OPS hint = FindExSearchLimitToDirectories) {
    std::vector<std::wstring> entries;
    WIN32_FIND_DATAW data;
    UniqueFind find(::FindFirstFileExW(SystemPath((directory + L"\\*").c_str()).c_str(),
                                       FindExInfoStandard, &data, hint, nullptr, 0));
    if (!find) return entries;
    do {
        std::wstring name = data.cFileName;
        if (name.empty() || name == L"." || name == L"..") continue;
        entries.push_back(directory + L"\\" + name);
    } while (::FindNextFileW(find.get(), &data));
    return entries;
}

// The last modification, in seconds since 1970 as _wstat64 gives it, of a
// path of any length (_wstat64 itself fails from 260 characters on).
bool LastModified(const std::wstring& path, __time64_t& when) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(SystemPath(path.c_str()).c_str(), GetFileExInfoStandard, &data)) {
        return false;
    }
    const FILETIME& time = data.ftLastWriteTime;
    ULONGLONG ticks = (ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime;  // 100 ns
    when = static_cast<__time64_t>(ticks / 10000000) - 11644473600LL;               // from 1601
    return true;
}

// What the file system's Delete leaves of a leftover: read-only files (which
// DeleteFileW refuses) and trees with paths of 260 characters or more (which
// the shell cannot reach). Depth-first with a stack of its own, on long-path
// forms; a link to a directory is removed, never followed.
void RemoveTree(const std::wstring& top) {
    std::vector<std::pair<std::wstring, bool>> stack{{top, false}};  // path, contents listed
    while (!stack.empty()) {
        std::wstring path = stack.back().first;
        std::wstring system = SystemPath(path.c_str());
        if (stack.back().second) {
            stack.pop_back();
            ::RemoveDirectoryW(system.c_str());
            continue;
        }
        DWORD attributes = ::GetFileAttributesW(system.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            stack.pop_back();
            continue;
        }
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            ::SetFileAttributesW(system.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
        }
        bool directory = attributes & FILE_ATTRIBUTE_DIRECTORY;
        if (!directory || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            stack.pop_back();
            directory ? ::RemoveDirectoryW(system.c_str()) : ::DeleteFileW(system.c_str());
            continue;
        }
        stack.back().second = true;
        for (std::wstring& entry : ListEntries(path, FindExSearchNameMatch)) {
            stack.emplace_back(std::move(entry), false);
        }
    }
}

// Removes what earlier processes left in the root and forgot: every entry
// last modified more than two weeks before now, whatever its length or
// attributes, so that none stays to be logged again at every sweep.
void SweepLeftovers(KaFileSystem* fs, const std::wstring& root) {
    std::vector<std::wstring> entries = ListEntries(root);
    __time64_t now = ::_time64(nullptr);
    for (const std::wstring& entry : entries) {
        __time64_t modified = 0;
        if (!LastModified(entry, modified) || now - modified <= kLeftoverAgeSeconds) continue;
        Log()->PrintfW(LogCategory::STATUS, 0,
                       L"Removing old leftover temp directories whose last modified date are "
                       L"older than 2 weeks ago: %s",
                       entry.c_str());
        // The shell cannot reach a path of MAX_PATH or more at all: such a
        // leftover goes to RemoveTree without a failed attempt first.
        if (entry.size() >= MAX_PATH || !fs->Delete(entry.c_str())) RemoveTree(entry);
    }
}

}  // namespace

TempDirectory::~TempDirectory() {
    Boundary([this] { CleanUp(); });
}

bool TempDirectory::Detach() {
    path_.clear();
    return true;
}

bool TempDirectory::Create(const wchar_t* leafName, const wchar_t* baseDirectory) {
    return Boundary(false, [&] {
        KaFileSystem* fs = System()->GetFileSystem();
        KaLog* log = Log();
        bool owned = !path_.empty() && fs->DirectoryExists(path_.c_str());

        std::wstring root;
        if (!RootDirectory(baseDirectory, root)) {
            log->PrintfW(LogCategory::ERROR, 0, L"Failed to create a temp directory: %s",
                         kRootName);
            return false;
        }
        // The root is made with its parents, so it is hidden even when the
        // caller's base did not exist yet.
        if (!fs->DirectoryExists(root.c_str()) && fs->CreateDirectories(root.c_str())) {
            ::SetFileAttributesW(SystemPath(root.c_str()).c_str(), FILE_ATTRIBUTE_HIDDEN);
            log->PrintfW(LogCategory::INFO, 6, L"Created temp directory %s", root.c_str());
        }

        std::wstring prefix = root + L"\\" + ComputerName() + L"_";
        std::wstring path;
        if (leafName != nullptr && *leafName != L'\0') {
            path = prefix + leafName;  // taken over when it exists already
            if (!StaysBelowRoot(leafName)) {
                log->PrintfW(LogCategory::ERROR, 0, L"Failed to create a temp directory: %s",
                             path.c_str());
                return false;
            }
        } else {
            // A name left by an earlier process with the same id (or a file
            // of that name) moves the counter on.
            do {
                wchar_t leaf[64];
                _snwprintf(leaf, 64, L"%d_%d", int(ProcessId()), int(++g_leafCounter));
                path = prefix + leaf;
            } while (fs->PathExists(path.c_str()));
        }

        bool ok;
        if (owned) {
            // A second Create renames what the object owns, contents and all;
            // when that cannot be done (the new name exists, another volume)
            // the object keeps its directory where it was.
            ok = MoveOwnedDirectory(path_, path);
            if (ok) path_ = path;
        } else {
            path_ = path;
            ok = fs->CreateDirectories(path_.c_str());  // an existing one counts as made
        }
        if (ok) {
            log->PrintfW(LogCategory::INFO, 6, L"Created temp directory %s", path.c_str());
        } else {
            log->PrintfW(LogCategory::ERROR, 0, L"Failed to create a temp directory: %s",
                         path.c_str());
        }
        return ok;
    });
}

// Never fails: each step goes on after its message.
void TempDirectory::CleanUp() {
    if (path_.empty()) return;  // never created, or detached
    KaFileSystem* fs = System()->GetFileSystem();
    KaLog* log = Log();
    std::wstring parent;  // stays empty when there is none
    PathPart(&KaFileSystem::GetParentPath, path_.c_str(), parent);

    // The directory cannot be deleted while it (or anything below it) is the
    // process's current directory: the parent stands in meanwhile.
    std::wstring saved;
    if (!QuerySizedString(saved, [](wchar_t* buffer, DWORD size) {
            return ::GetCurrentDirectoryW(size, buffer);  // first answer counts the terminator
        })) {
        log->PrintfW(LogCategory::WARNING, 0, L"Failed to get current working directory: %s",
                     SystemErrorText(::GetLastError()).c_str());
    }
    if (!::SetCurrentDirectoryW(parent.c_str())) {
        log->PrintfW(LogCategory::WARNING, 0, L"Failed to set current working directory: %s",
                     parent.c_str());
    }

    if (fs->DirectoryExists(path_.c_str()) && !fs->Delete(path_.c_str())) {
        log->PrintfW(LogCategory::ERROR, 0, L"Failed to remove a temporary directory: %s",
                     path_.c_str());
    }
    // An empty parent would list the current drive's root: never swept.
    if (!parent.empty()) SweepLeftovers(fs, parent);

    if (!saved.empty() && fs->DirectoryExists(saved.c_str()) &&
        !::SetCurrentDirectoryW(saved.c_str())) {
        log->PrintfW(LogCategory::WARNING, 0,
                     L"Failed to switch working directory back to \"%s\": %s", saved.c_str(),
                     SystemErrorText(::GetLastError()).c_str());
    }
    path_.clear();
}

bool CreateTempDirectoryObject(const wchar_t* leafName, const wchar_t* baseDirectory,
                               KaTempDirectory** out) {
    if (out == nullptr) return false;
    return HandOut(NewObject<TempDirectory>(), out, [&](TempDirectory& directory) {
        return directory.Create(leafName, baseDirectory);
    });
}

}  // namespace ka
