// KaMutex: a named mutex in the global kernel namespace, so that processes of
// every session on the machine meet at the same object. Waits go in slices;
// each slice that ends without ownership is logged or handed to a callback.
#ifndef KA_CONCURRENCY_MUTEX_H
#define KA_CONCURRENCY_MUTEX_H

#include "ka/concurrency.h"

namespace ka {

// Root slot 28. Opens (or creates) the mutex "Global\" + name, the caller's
// backslashes made underscores and the whole cut to 260 characters, and hands
// it out with one reference when `out` is given; with a null `out` the mutex
// is made and closed again, and the result still says whether that worked.
// False, nothing handed out, for a null or empty name (silently) or when the
// system refuses the name (logged).
bool MakeMutex(KaMutex** out, const wchar_t* name);

}  // namespace ka

#endif
