// KaEnvironmentInfo, embedded in the module object: the .NET Framework
// version in the registry, module versions, and the Popup Monitor factory.
#ifndef KA_PROCESS_ENVIRONMENT_INFO_H
#define KA_PROCESS_ENVIRONMENT_INFO_H

#include <cstddef>

#include "ka/process.h"

namespace ka {

class EnvironmentInfo final : public KaEnvironmentInfo {
public:
    // The module object keeps the Advapi32 handle and then the address of
    // RegGetValueW right after this interface (root/module.cpp asserts it):
    // the registry reader is that many pointers from `this`.
    static constexpr size_t kRegistryReaderOffset = 2 * sizeof(void*);

    bool GetDotNetVersion(wchar_t* destination) override;
    bool GetModuleVersion(const void* addressInModule, uint32_t* major, uint32_t* minor,
                          uint32_t* revision) override;
    bool GetModuleVersionEx(const void* addressInModule, uint32_t* major, uint32_t* minor,
                            uint32_t* build, uint32_t* revision) override;
    bool CreatePopupMonitor(KaPopupMonitor** out) override;
    bool CreatePopupMonitorsFromFile(const wchar_t* path, KaPopupMonitor*** monitors,
                                     uint32_t* count) override;
    // Embedded: the module's shut-down frees the Advapi32 handle it holds
    // beside this interface; never called to free memory.
    void Destroy(uint32_t flags) override;

private:
    void* RegistryReader();
};

}  // namespace ka

#endif
