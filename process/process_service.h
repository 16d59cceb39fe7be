// KaProcessService: memory counters, environment blocks and child processes.
// The module object owns the one instance; these functions are what the
// composition root calls.
#ifndef KA_PROCESS_PROCESS_SERVICE_H
#define KA_PROCESS_PROCESS_SERVICE_H

#include "ka/process.h"

namespace ka {

// A new service (PSAPI is loaded then); null without memory. The module
// makes one on first use and owns it.
KaProcessService* MakeProcessService();
// Destroys what MakeProcessService made, freeing PSAPI (null is fine).
void DestroyProcessService(KaProcessService* service);

}  // namespace ka

#endif
