// Path handling shared by every file-system operation: trailing separators,
// the long-path form, existence probes, splitting into components. Only the
// backslash is a separator.
#ifndef KA_FS_PATH_H
#define KA_FS_PATH_H

#include <string>
#include <vector>

namespace ka {

// Paths of this many characters or more go to the system in long form.
constexpr size_t kLongPathThreshold = 260;

// The path without its trailing run of backslashes. A null or empty path
// logs "Input path is empty." and gives false; backslashes only give "".
bool TrimTrailingBackslashes(const wchar_t* path, std::wstring& trimmed);

// "X:" with X a letter whose drive is present.
bool HasPresentDrive(const wchar_t* path);

// The "\\?\" or "\\?\UNC" form of a path of 260 characters or more; false
// (and `longForm` untouched) when the path is to be used as it is.
bool ToLongPath(const wchar_t* path, std::wstring& longForm);

// The long form when one is made, else the path itself.
std::wstring SystemPath(const wchar_t* path);

// Whether the path exists; *isDirectory (when given) says whether it is a
// directory.
bool ProbePath(const wchar_t* path, bool* isDirectory);

// Turns a writable path into its components in place (separators become
// null characters). Leading backslashes stay in the first component.
// A doubled separator logs "Detected empty path component." and gives
// false; the components before it stay in the list.
bool SplitPathComponents(wchar_t* buffer, std::vector<wchar_t*>& components);

}  // namespace ka

#endif
