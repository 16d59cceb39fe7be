#include "fs/temp_directory.h"

#include "frame/boundary.h"
#include "frame/handles.h"
#include "frame/services.h"
#include "frame/win32.h"
#include "frame/win32_util.h"
#include "fs/path.h"
#include "fs/path_parts.h"

#include <sys/stat.h>

#include <atomic>
#include <cwchar>
#include <ctime>
#include <string>
#include <vector>

namespace ka {
namespace {

constexpr const wchar_t* kRootName = L"\\kav_qmt_tmp";
constexpr const wchar_t* kFallbackComputerName = L"kasxs";
// Entries of the root older than this (strictly) are leftovers.
constexpr __time64_t kLeftoverAgeSeconds = 14 * 24 * 60 * 60;

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

// The object's path is removed, and a sweep lists the root: either must stay
// inside it, so a caller's leaf is one path component.
bool IsOneComponent(const wchar_t* leaf) { return std::wcspbrk(leaf, L"\\/:") == nullptr; }

// Moves the directory an object owns to its new place, contents and all.
// The same place (in any letter case) is kept as it is.
bool MoveOwnedDirectory(const std::wstring& from, const std::wstring& to) {
    if (_wcsicmp(from.c_str(), to.c_str()) == 0) return true;
    return ::MoveFileW(SystemPath(from.c_str()).c_str(), SystemPath(to.c_str()).c_str()) != 0;
}

// Every entry of the directory except "." and "..", as full paths, in the
// order the system lists them. The directories-only hint may be ignored, so
// files come too.
std::vector<std::wstring> ListEntries(const std::wstring& directory) {
    std::vector<std::wstring> entries;
    WIN32_FIND_DATAW data;
    UniqueFind find(::FindFirstFileExW(SystemPath((directory + L"\\*").c_str()).c_str(),
                                       FindExInfoStandard, &data, FindExSearchLimitToDirectories,
                                       nullptr, 0));
    if (!find) return entries;
    do {
        std::wstring name = data.cFileName;
        if (name.empty() || name == L"." || name == L"..") continue;
        entries.push_back(directory + L"\\" + name);
    } while (::FindNextFileW(find.get(), &data));
    return entries;
}

// Removes what earlier processes left in the root and forgot: every entry
// last modified more than two weeks before now.
void SweepLeftovers(KaFileSystem* fs, const std::wstring& root) {
    std::vector<std::wstring> entries = ListEntries(root);
    __time64_t now = ::_time64(nullptr);
    for (const std::wstring& entry : entries) {
        struct _stat64 status;
        if (::_wstat64(entry.c_str(), &status) != 0) continue;
        if (now - status.st_mtime <= kLeftoverAgeSeconds) continue;
        Log()->PrintfW(LogCategory::STATUS, 0,
                       L"Removing old leftover temp directories whose last modified date are "
                       L"older than 2 weeks ago: %s",
                       entry.c_str());
        fs->Delete(entry.c_str());
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
            if (!IsOneComponent(leafName)) {
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
