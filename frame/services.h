// How library code reaches other services: through the system interface that
// KaSystem::Initialize registered, never through the module object.
#ifndef KA_FRAME_SERVICES_H
#define KA_FRAME_SERVICES_H

#include "ka/log.h"
#include "ka/system.h"

namespace ka {

// The registered system interface; null before Initialize and after
// Uninitialize.
KaSystem* System();
void RegisterSystem(KaSystem* root);

// The process-wide logger of the registered interface. Never null: before a
// system is registered (or when it has no logger) lines go to a silent
// stand-in, so library code can always write `Log()->PrintfW(...)`.
KaLog* Log();

}  // namespace ka

#endif
