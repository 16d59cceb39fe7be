// KaPopupMonitor: a library thread that wakes every interval, finds the
// dialog boxes its rules match and posts WM_CLOSE to them.
#ifndef KA_PROCESS_POPUP_MONITOR_H
#define KA_PROCESS_POPUP_MONITOR_H

#include "ka/process.h"

namespace ka {

// Makes a monitor (no rules, interval 10000 ms, modal only), starts its
// worker and hands it out with one reference. False, *out untouched, when
// the worker cannot be started.
bool MakePopupMonitor(KaPopupMonitor** out);

}  // namespace ka

#endif
