#include "fs/directory_finder.h"

#include "frame/boundary.h"
#include "frame/handles.h"
#include "frame/services.h"
#include "frame/win32.h"
#include "frame/win32_util.h"
#include "fs/path.h"
#include "fs/path_parts.h"
#include "ka/text.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace ka {
namespace {

constexpr const wchar_t* kDigits = L"0123456789";

// A version file name is a stem, one separator and a run of digits: the
// number those digits read as (_wtoi, so 007 is 7), or 0 without digits, when
// the last non-digit sits right after a stem of `stemLength` characters.
bool VersionNumber(const wchar_t* name, size_t stemLength, int& number) {
    std::wstring_view text(name);
    size_t lastNonDigit = text.find_last_not_of(kDigits);
    if (lastNonDigit == std::wstring_view::npos || lastNonDigit != stemLength) return false;
    number = _wtoi(name + lastNonDigit + 1);
    return true;
}

}  // namespace

bool DirectoryFinder::FindLatestVersion(const wchar_t* path, wchar_t** out) {
    return Boundary(false, [&] {
        if (path == nullptr) return false;
        KaFileSystem* fs = System()->GetFileSystem();
        bool found = fs->FileExists(path);

        // A given "stem.N" starts at N, so only higher numbers replace it.
        std::wstring stem = path;
        int bestNumber = 0;
        size_t lastNonDigit = stem.find_last_not_of(kDigits);
        if (lastNonDigit != std::wstring::npos && lastNonDigit + 1 < stem.size() &&
            stem[lastNonDigit] == L'.') {
            bestNumber = _wtoi(path + lastNonDigit + 1);
            stem.resize(lastNonDigit);
        }
        std::wstring bestName;  // a sibling's, else the given file's own (taken at the end)

        std::wstring stemName;
        if (PathPart(&KaFileSystem::GetFileName, stem.c_str(), stemName)) {
            WIN32_FIND_DATAW data;
            UniqueFind find(::FindFirstFileW(SystemPath((stem + L"*").c_str()).c_str(), &data));
            if (!find) {
                Log()->PrintfW(LogCategory::ERROR, 0, L"%s",
                               SystemErrorText(::GetLastError()).c_str());
            } else {
                do {
                    int number = 0;
                    if (!VersionNumber(data.cFileName, stemName.size(), number)) continue;
                    found = true;
                    if (number > bestNumber) {  // ties keep the first one listed
                        bestNumber = number;
                        bestName = data.cFileName;
                    }
                } while (::FindNextFileW(find.get(), &data));
            }
        }
        if (!found || out == nullptr) return found;

        if (bestName.empty()) PathPart(&KaFileSystem::GetFileName, path, bestName);
        std::wstring parent;
        PathPart(&KaFileSystem::GetParentPath, path, parent);  // "." for a bare name
        std::wstring result = parent + L"\\" + bestName;
        size_t count = result.size() + 1;
        auto* buffer = static_cast<wchar_t*>(System()->AllocateArray(count, sizeof(wchar_t)));
        if (buffer == nullptr) return false;
        std::memcpy(buffer, result.c_str(), count * sizeof(wchar_t));
        *out = buffer;  // the caller frees it with KaSystem::Free
        return true;
    });
}

}  // namespace ka
