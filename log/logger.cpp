// Placeholder until the logger lands: no logger exists, so library code
// writes to the silent stand-in of Log().
#include "log/logger.h"

namespace ka {

KaLog* CreateProcessLogger() { return nullptr; }
bool CreatePrivateLogger(const wchar_t*, KaLog**) { return false; }

}  // namespace ka
