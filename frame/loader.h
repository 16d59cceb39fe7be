// Loading sibling modules of the family ("<name>.x64.dll") by name, from the
// side-by-side directory the environment names or by the platform's search.
#ifndef KA_FRAME_LOADER_H
#define KA_FRAME_LOADER_H

#include "frame/win32.h"
#include "ka/siblings.h"

namespace ka {

// The interface version a sibling must report at least.
constexpr int kMinimumSiblingVersion = 100;

// Loads the module file; on failure shows "Failed load module: <path>"
// unless silent. Returns null on failure.
HMODULE LoadSiblingLibrary(const char* name, bool silent);

// Loads the module, gets its root, checks its version and initialises it.
// On success the library stays loaded for the life of the process and the
// root is never released; on any failure after loading it is unloaded again.
KaModuleRoot* LoadSiblingModule(const char* name, bool silent);

}  // namespace ka

#endif
