// How library code reaches other services: through the system interface that
// KaSystem::Initialize registered, never through the module object.
#ifndef KA_FRAME_SERVICES_H
#define KA_FRAME_SERVICES_H

#include "ka/log.h"
#include "ka/system.h"

namespace ka {

// The registered system interface (never null: see services.cpp).
KaSystem* System();
void RegisterSystem(KaSystem* root);

// The process-wide logger of the registered interface. Never null: should
// there be no logger, lines go to a silent stand-in, so library code can
// always write `Log()->PrintfW(LogCategory::ERROR, 0, L"...")`.
KaLog* Log();

}  // namespace ka

#endif
