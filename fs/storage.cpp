#include "fs/storage.h"

#include "frame/handles.h"
#include "frame/services.h"
#include "frame/win32.h"
#include "fs/com.h"
#include "fs/path.h"
#include "fs/path_parts.h"
#include "ka/fs.h"
#include "ka/text.h"

#include <cwctype>
#include <string>

namespace ka {
namespace {

struct FileTimes {
    FILETIME created, accessed, written;
};

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// Whether writing to `destination` would overwrite the source: the same
// pointer, or an existing file whose short form matches the source's in any
// letter case. Should either short form be unobtainable, the texts as given
// are compared instead (ignoring case), never two empty texts.
bool IsSameFile(const wchar_t* source, const wchar_t* destination) {
    if (source == destination) return true;
    if (!System()->GetFileSystem()->FileExists(destination)) return false;
    std::wstring sourceShort, destinationShort;
    if (!PathPart(&KaFileSystem::GetShortPath, source, sourceShort) ||
        !PathPart(&KaFileSystem::GetShortPath, destination, destinationShort)) {
        return _wcsicmp(source, destination) == 0;
    }
    return Upper(sourceShort) == Upper(destinationShort);
}

// Copies the whole storage tree of `source` into a new compound file at
// `target` (replacing a file there). Both storages are released on return.
bool CopyStorageTree(const wchar_t* source, const std::wstring& target) {
    KaLog* log = Log();
    STGOPTIONS options = {};
    options.usVersion = 2;
    options.ulSectorSize = 512;
    ObjectRef<IStorage> from;
    if (FAILED(::StgOpenStorageEx(SystemPath(source).c_str(), STGM_READ | STGM_SHARE_DENY_WRITE,
                                  STGFMT_DOCFILE, 0, &options, nullptr, __uuidof(IStorage),
                                  reinterpret_cast<void**>(from.put())))) {
        log->PrintfW(LogCategory::ERROR, 0, L"Failed to open a structured storage to read: %s",
                     source);
        return false;
    }
    // Direct mode: what CopyTo writes is in the file without a commit.
    ObjectRef<IStorage> to;
    if (FAILED(::StgCreateDocfile(SystemPath(target.c_str()).c_str(),
                                  STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                  to.put()))) {
        log->PrintfW(LogCategory::ERROR, 0, L"Failed to open a structured storage to write: %s",
                     target.c_str());
        return false;
    }
    if (FAILED(from->CopyTo(0, nullptr, nullptr, to.get()))) {
        log->PrintfW(LogCategory::ERROR, 0,
                     L"Error occurred in copying contents of structured storage.");
        return false;
    }
    return true;
}

bool ReadTimes(const wchar_t* path, FileTimes& times) {
    UniqueFile file(::CreateFileW(SystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to open a file to read: %s", path);
        return false;
    }
    if (!::GetFileTime(file.get(), &times.created, &times.accessed, &times.written)) {
        Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to get file timestamp: %s", path);
        return false;
    }
    return true;
}

bool WriteTimes(const wchar_t* path, const FileTimes& times) {
    UniqueFile file(::CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        // The same text as for reading: the message names the file, not the direction.
        Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to open a file to read: %s", path);
        return false;
    }
    if (!::SetFileTime(file.get(), &times.created, &times.accessed, &times.written)) {
        Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to set file timestamp: %s", path);
        return false;
    }
    return true;
}

}  // namespace

bool CopyStorageFile(const wchar_t* source, const wchar_t* destination) {
    KaLog* log = Log();
    if (source == nullptr) {
        log->PrintfW(LogCategory::ERROR, 0, L"The 1st argument is null.");
        return false;
    }
    if (destination == nullptr) {
        log->PrintfW(LogCategory::ERROR, 0, L"The 2nd argument is null.");
        return false;
    }
    KaFileSystem* fs = System()->GetFileSystem();
    if (!fs->FileExists(source)) {
        log->PrintfW(LogCategory::ERROR, 0, L"Source file not found: %s", source);
        return false;
    }
    FileTimes times;
    if (!ReadTimes(source, times)) return false;

    // Onto itself: the copy is made beside, in a temporary directory, and
    // then replaces the source. The directory goes when `scratch` does.
    ObjectRef<KaTempDirectory> scratch;
    bool sameFile = IsSameFile(source, destination);
    std::wstring target = destination;
    if (sameFile) {
        std::wstring name;
        if (!fs->CreateTempDirectory(nullptr, nullptr, scratch.put()) ||
            !PathPart(&KaFileSystem::GetFileName, source, name)) {
            log->PrintfW(LogCategory::ERROR, 0, L"Failed to create a temporary directory.");
            return false;
        }
        target = std::wstring(scratch->GetPath()) + L"\\" + name;
    }

    // Released before the scratch directory, after the storages.
    ComApartment com(COINIT_MULTITHREADED);
    if (!CopyStorageTree(source, target)) return false;
    if (sameFile && !fs->Move(target.c_str(), source)) {
        log->PrintfW(LogCategory::ERROR, 0, L"Error occurred in moving file to the destination: %s",
                     source);
        return false;
    }
    return WriteTimes(sameFile ? source : destination, times);
}

}  // namespace ka
