// Placeholder until the numbered-version finder lands.
#include "fs/directory_finder.h"

namespace ka {

bool DirectoryFinder::FindLatestVersion(const wchar_t*, wchar_t**) { return false; }

}  // namespace ka
