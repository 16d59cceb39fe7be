// Popup Monitors described by an XML file: the KaXml sibling parses it and
// streams it past a visitor of ours, which makes the monitors and their rules.
#ifndef KA_PROCESS_POPUP_CONFIG_H
#define KA_PROCESS_POPUP_CONFIG_H

#include "ka/process.h"

namespace ka {

// KaEnvironmentInfo::CreatePopupMonitorsFromFile. On success *monitors is an
// array from KaSystem::AllocateArray holding *count running monitors, one
// reference each. On failure nothing is handed out and every monitor made so
// far is stopped again.
bool MakePopupMonitorsFromFile(const wchar_t* path, KaPopupMonitor*** monitors, uint32_t* count);

}  // namespace ka

#endif
