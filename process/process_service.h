// KaProcessService: memory counters, environment blocks and child processes.
// The module object owns the one instance; these functions are what the
// composition root calls.
#ifndef KA_PROCESS_PROCESS_SERVICE_H
#define KA_PROCESS_PROCESS_SERVICE_H

#include "ka/process.h"

namespace ka {

// The service in `slot`, created there on the first call (PSAPI is loaded
// then). Concurrent first calls all get the one instance that won the slot.
// Once DestroyProcessService has run, null: a late caller (the logger's last
// line at shut-down) neither re-creates the service nor reaches the
// destroyed one.
KaProcessService* GetOrCreateProcessService(KaProcessService*& slot);

// Destroys the service (freeing PSAPI) and clears the slot, for good.
void DestroyProcessService(KaProcessService*& slot);

}  // namespace ka

#endif
