// Creation of loggers for the root slots GetLogger and CreateLogger.
#ifndef KA_LOG_LOGGER_H
#define KA_LOG_LOGGER_H

#include "ka/log.h"

namespace ka {

// The process-wide instance, configured from the KAV_QMT_LOG_... variables.
// Its AddRef/Release do nothing; the module's shut-down destroys it with
// Destroy(KA_DESTROY_FREE).
KaLog* CreateProcessLogger();

// A private logger on `path`, handed out with one reference.
bool CreatePrivateLogger(const wchar_t* path, KaLog** out);

}  // namespace ka

#endif
