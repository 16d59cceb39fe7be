#include "fs/shell.h"

#include "frame/handles.h"
#include "frame/services.h"
#include "frame/win32.h"
#include "fs/com.h"
#include "fs/path_parts.h"
#include "ka/fs.h"
#include "ka/text.h"

#include <shlobj.h>
#include <winver.h>

#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace ka {
namespace {

using ItemId = UniqueTaskMemory<ITEMIDLIST>;

// The shell's identifier list for a path, parsed by the desktop folder.
bool ParseItem(const std::wstring& path, ItemId& id) {
    ObjectRef<IShellFolder> desktop;
    if (FAILED(::SHGetDesktopFolder(desktop.put()))) return false;
    std::wstring writable = path;  // the parser takes a non-const text
    return SUCCEEDED(
        desktop->ParseDisplayName(nullptr, nullptr, writable.data(), nullptr, id.put(), nullptr));
}

}  // namespace

bool OpenFoldersAndSelect(const wchar_t* const* items) {
    if (items == nullptr || items[0] == nullptr) return false;
    // Declared first: every identifier list below is freed before COM goes.
    ComApartment com(COINIT_APARTMENTTHREADED);
    KaFileSystem* fs = System()->GetFileSystem();
    std::map<std::wstring, std::vector<ItemId>> folders;  // ordinal order of the parents
    for (const wchar_t* const* item = items; *item != nullptr; ++item) {
        std::wstring parent;
        if (!fs->FileExists(*item)) continue;  // directories cannot be selected this way
        if (!PathPart(&KaFileSystem::GetParentPath, *item, parent)) continue;
        if (!fs->DirectoryExists(parent.c_str())) continue;
        ItemId id;
        if (!ParseItem(*item, id)) continue;  // silently skipped
        folders[parent].push_back(std::move(id));
    }
    for (const auto& [folder, ids] : folders) {
        ItemId folderId;
        if (!ParseItem(folder, folderId)) continue;
        std::vector<LPCITEMIDLIST> selection;
        for (const ItemId& id : ids) selection.push_back(id.get());
        if (FAILED(::SHOpenFolderAndSelectItems(folderId.get(), UINT(selection.size()),
                                                selection.data(), 0))) {
            Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to open and select an item: %s",
                           folder.c_str());
        }
    }
    return true;
}

bool FileVersionText(const wchar_t* path, KaString** out) {
    if (path == nullptr || out == nullptr) return false;
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return false;
    std::vector<unsigned char> block(size);
    if (!::GetFileVersionInfoW(path, 0, size, block.data())) return false;

    struct Translation {
        WORD language, codePage;
    };
    Translation* translations = nullptr;
    UINT bytes = 0;
    if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                          reinterpret_cast<void**>(&translations), &bytes)) {
        return false;
    }
    for (UINT i = 0; i < bytes / sizeof(Translation); ++i) {
        wchar_t query[64];
        _snwprintf(query, 64, L"\\StringFileInfo\\%04x%04x\\FileVersion", translations[i].language,
                   translations[i].codePage);
        wchar_t* value = nullptr;
        UINT length = 0;  // in characters, with or without the terminator
        if (!::VerQueryValueW(block.data(), query, reinterpret_cast<void**>(&value), &length)) {
            continue;
        }
        // The whole text, however long; an empty one is no version at all.
        std::wstring text(value, length != 0 ? wcsnlen(value, length) : 0);
        if (text.empty()) continue;
        return System()->GetStringUtil()->CreateString(text.c_str(), out);
    }
    return false;
}

}  // namespace ka
