// The one gate to <windows.h>: every file of the library includes this
// instead, so the target version, the lean/no-min-max settings and every
// mingw-w64 workaround live in one place.
#ifndef KA_FRAME_WIN32_H
#define KA_FRAME_WIN32_H

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // Windows 7: the oldest system the family supports
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef UNICODE
#define UNICODE  // the W functions are called by their explicit names anyway
#endif

#include <windows.h>

// wingdi.h defines ERROR as 0, which would silently turn LogCategory::ERROR
// into a syntax error (or worse, into STATUS in an unscoped use).
#undef ERROR
// winbase.h maps CreateMutex to CreateMutexW; KaSystem has a slot of that name.
#undef CreateMutex

#endif
