#include "fs/file_system.h"

#include "frame/boundary.h"
#include "frame/handles.h"
#include "frame/neighbour.h"
#include "frame/services.h"
#include "frame/win32.h"
#include "frame/win32_util.h"
#include "fs/path.h"
#include "fs/shell.h"
#include "fs/storage.h"
#include "fs/temp_directory.h"
#include "ka/text.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cstring>

namespace ka {
namespace {

// No progress window, no questions, no error boxes, no recycle bin.
constexpr FILEOP_FLAGS kShellFlags =
    FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;  // 0x614

bool HandOutText(const std::wstring& text, KaString** out) {
    return System()->GetStringUtil()->CreateString(text.c_str(), out);
}

// The short (8.3) form of an existing path, without any long-path prefix.
bool ShortForm(const wchar_t* path, std::wstring& shortForm) {
    std::wstring longForm;
    bool isLong = ToLongPath(path, longForm);
    const wchar_t* query = isLong ? longForm.c_str() : path;
    std::wstring answer;
    if (!QuerySizedString(answer, [query](wchar_t* buffer, DWORD size) {
            return ::GetShortPathNameW(query, buffer, size);  // first answer counts the terminator
        })) {
        return false;
    }
    shortForm = isLong && answer.size() >= 4 ? answer.substr(4) : answer;
    return true;
}

// The short form when there is one, else the path itself (a destination that
// does not exist yet has none).
std::wstring ShortOrSame(const wchar_t* path) {
    std::wstring shortForm;
    return ShortForm(path, shortForm) ? shortForm : std::wstring(path);
}

int ShellOperation(UINT function, const std::wstring& from, const std::wstring* to) {
    // Each path is a list of one name: the string and one extra null.
    std::wstring source = from + L'\0';
    std::wstring target = to ? *to + L'\0' : std::wstring();
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = function;
    operation.pFrom = source.c_str();
    operation.pTo = to ? target.c_str() : nullptr;
    operation.fFlags = kShellFlags;
    return ::SHFileOperationW(&operation);
}

}  // namespace

bool FileSystem::GetShortPath(const wchar_t* path, KaString** out) {
    return Boundary(false, [&] {
        if (path == nullptr || out == nullptr) return false;
        std::wstring shortForm;
        return ShortForm(path, shortForm) && HandOutText(shortForm, out);
    });
}

bool FileSystem::GetParentPath(const wchar_t* path, KaString** out) {
    return Boundary(false, [&] {
        if (path == nullptr || out == nullptr) return false;
        std::wstring trimmed;
        if (!TrimTrailingBackslashes(path, trimmed)) return false;
        size_t last = trimmed.rfind(L'\\');
        return HandOutText(last == std::wstring::npos ? L"." : trimmed.substr(0, last), out);
    });
}

bool FileSystem::GetFileName(const wchar_t* path, KaString** out) {
    return Boundary(false, [&] {
        if (path == nullptr || out == nullptr) return false;
        std::wstring trimmed;
        if (!TrimTrailingBackslashes(path, trimmed)) return false;
        size_t last = trimmed.rfind(L'\\');
        // Without a separator the path comes back as given, trailing ones included.
        return HandOutText(
            last == std::wstring::npos ? std::wstring(path) : trimmed.substr(last + 1), out);
    });
}

bool FileSystem::FileExists(const wchar_t* path) {
    return Boundary(false, [&] {
        bool isDirectory = false;
        return ProbePath(path, &isDirectory) && !isDirectory;
    });
}

bool FileSystem::DirectoryExists(const wchar_t* path) {
    return Boundary(false, [&] {
        bool isDirectory = false;
        return ProbePath(path, &isDirectory) && isDirectory;
    });
}

bool FileSystem::PathExists(const wchar_t* path) {
    return Boundary(false, [&] { return ProbePath(path, nullptr); });
}

bool FileSystem::Move(const wchar_t* source, const wchar_t* destination) {
    return Boundary(false, [&] {
        if (source == nullptr || destination == nullptr) return false;
        KaLog* log = Log();
        if (!FileExists(source)) {
            log->PrintfW(LogCategory::ERROR, 0, L"Source file not found: %s", source);
            return false;
        }
        std::wstring target;
        if (DirectoryExists(destination)) {
            ObjectRef<KaString> name;
            if (!GetFileName(source, name.put())) {
                log->PrintfW(LogCategory::ERROR, 0, L"Failed to get basename: %s", source);
                return false;
            }
            std::wstring joined = std::wstring(destination) + L"\\" + name->GetText();
            target = SystemPath(joined.c_str());
        } else {
            if (FileExists(destination)) {
                if (_wcsicmp(source, destination) == 0) return true;  // the same file
                if (!Delete(destination)) {
                    log->PrintfW(LogCategory::ERROR, 0, L"Could not overwrite existing file: %s",
                                 destination);
                    return false;
                }
            }
            target = SystemPath(destination);
        }
        std::wstring from = SystemPath(source);
        if (!::MoveFileW(from.c_str(), target.c_str())) {
            log->PrintfW(LogCategory::ERROR, 0, L"Failed to move file. %s: %s => %s",
                         SystemErrorText(::GetLastError()).c_str(), from.c_str(), target.c_str());
            return false;
        }
        return true;
    });
}

bool FileSystem::Copy(const wchar_t* source, const wchar_t* destination) {
    return Boundary(false, [&] {
        if (source == nullptr || destination == nullptr) return false;
        bool isDirectory = false;
        if (!ProbePath(source, &isDirectory)) return false;
        if (isDirectory) {
            std::wstring target = ShortOrSame(destination);
            return ShellOperation(FO_COPY, ShortOrSame(source), &target) == 0;
        }
        return ::CopyFileW(SystemPath(source).c_str(), SystemPath(destination).c_str(), FALSE) != 0;
    });
}

bool FileSystem::Delete(const wchar_t* path) {
    return Boundary(false, [&] {
        bool isDirectory = false;
        if (!ProbePath(path, &isDirectory)) return true;  // nothing there (or no path at all)
        if (isDirectory) {
            std::wstring shortForm = ShortOrSame(path);
            if (ShellOperation(FO_DELETE, shortForm, nullptr) == 0) return true;
            if (std::wcslen(path) > kLongPathThreshold) {
                Log()->PrintfW(LogCategory::ERROR, 0,
                               L"Could not remove a directory whose path exceeds MAX_PATH=%d "
                               L"characters: %s",
                               int(kLongPathThreshold), shortForm.c_str());
            }
            return false;
        }
        return ::DeleteFileW(SystemPath(path).c_str()) != 0;
    });
}

bool FileSystem::CreateDirectories(const wchar_t* path) {
    return Boundary(false, [&] {
        std::wstring trimmed;
        if (!TrimTrailingBackslashes(path, trimmed)) return false;
        if (DirectoryExists(trimmed.c_str())) return true;
        size_t bytes = (trimmed.size() + 1) * sizeof(wchar_t);
        SystemBuffer<wchar_t> owner(static_cast<wchar_t*>(System()->AllocateArray(1, bytes)));
        wchar_t* buffer = owner.get();
        if (buffer == nullptr) return false;
        std::memcpy(buffer, trimmed.c_str(), bytes);
        std::vector<wchar_t*> components;
        bool ok = SplitPathComponents(buffer, components);
        // While the separators after the current component are still nulls, the
        // buffer reads as the path up to and including that component.
        for (size_t i = 0; ok && i < components.size(); ++i) {
            bool uncServer = i == 0 && ::PathIsUNCW(buffer);
            if (!uncServer && !::PathFileExistsW(buffer) && !::CreateDirectoryW(buffer, nullptr) &&
                ::GetLastError() != ERROR_ALREADY_EXISTS) {
                ok = false;
            }
            if (i + 1 < components.size()) components[i + 1][-1] = L'\\';
        }
        return ok;
    });
}

KaDirectoryFinder* FileSystem::GetDirectoryFinder() {
    return static_cast<KaDirectoryFinder*>(NeighbourInterface(this));
}

bool FileSystem::CreateTempDirectory(const wchar_t* leafName, const wchar_t* baseDirectory,
                                     KaTempDirectory** out) {
    return Boundary(false, [&] { return CreateTempDirectoryObject(leafName, baseDirectory, out); });
}

bool FileSystem::CopyStorage(const wchar_t* source, const wchar_t* destination) {
    return Boundary(false, [&] { return CopyStorageFile(source, destination); });
}

// The same pointer twice: the copy goes through a temporary directory.
bool FileSystem::RewriteStorage(const wchar_t* path) { return CopyStorage(path, path); }

bool FileSystem::OpenFolderAndSelect(const wchar_t* const* items) {
    return Boundary(false, [&] { return OpenFoldersAndSelect(items); });
}

bool FileSystem::GetFileVersion(const wchar_t* path, KaString** out) {
    return Boundary(false, [&] { return FileVersionText(path, out); });
}

}  // namespace ka
