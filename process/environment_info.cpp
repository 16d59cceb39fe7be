// Placeholder until environment information and the Popup Monitor land.
#include "process/environment_info.h"

namespace ka {

bool EnvironmentInfo::GetDotNetVersion(wchar_t*) { return false; }
bool EnvironmentInfo::GetModuleVersion(const void*, uint32_t*, uint32_t*, uint32_t*) {
    return false;
}
bool EnvironmentInfo::GetModuleVersionEx(const void*, uint32_t*, uint32_t*, uint32_t*,
                                         uint32_t*) {
    return false;
}
bool EnvironmentInfo::CreatePopupMonitor(KaPopupMonitor**) { return false; }
bool EnvironmentInfo::CreatePopupMonitorsFromFile(const wchar_t*, KaPopupMonitor***, uint32_t*) {
    return false;
}
void EnvironmentInfo::Destroy(uint32_t) {}

}  // namespace ka
