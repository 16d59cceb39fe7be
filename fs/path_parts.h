// The text answers of KaFileSystem (parent, file name, short form) as plain
// strings, for the file-system units that reach the service through the
// registered interface.
#ifndef KA_FS_PATH_PARTS_H
#define KA_FS_PATH_PARTS_H

#include "frame/handles.h"
#include "frame/services.h"
#include "ka/fs.h"
#include "ka/text.h"

#include <string>

namespace ka {

// What `op` (&KaFileSystem::GetParentPath, GetFileName, GetShortPath) answers
// for `path`; false, `part` untouched, when it answers nothing.
inline bool PathPart(bool (KaFileSystem::*op)(const wchar_t*, KaString**), const wchar_t* path,
                     std::wstring& part) {
    ObjectRef<KaString> text;
    if (!(System()->GetFileSystem()->*op)(path, text.put())) return false;
    part = text->GetText();
    return true;
}

}  // namespace ka

#endif
