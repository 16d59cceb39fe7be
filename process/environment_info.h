// KaEnvironmentInfo, embedded in the module object.
#ifndef KA_PROCESS_ENVIRONMENT_INFO_H
#define KA_PROCESS_ENVIRONMENT_INFO_H

#include "ka/process.h"

namespace ka {

class EnvironmentInfo final : public KaEnvironmentInfo {
public:
    bool GetDotNetVersion(wchar_t* destination) override;
    bool GetModuleVersion(const void* addressInModule, uint32_t* major, uint32_t* minor,
                          uint32_t* revision) override;
    bool GetModuleVersionEx(const void* addressInModule, uint32_t* major, uint32_t* minor,
                            uint32_t* build, uint32_t* revision) override;
    bool CreatePopupMonitor(KaPopupMonitor** out) override;
    bool CreatePopupMonitorsFromFile(const wchar_t* path, KaPopupMonitor*** monitors,
                                     uint32_t* count) override;
    // Embedded: the module's shut-down frees what it holds; never called to
    // free memory.
    void Destroy(uint32_t flags) override;
};

}  // namespace ka

#endif
