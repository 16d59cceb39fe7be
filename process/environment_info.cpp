#include "process/environment_info.h"

#include "frame/boundary.h"
#include "frame/handles.h"
#include "frame/win32.h"
#include "process/popup_config.h"
#include "process/popup_monitor.h"

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

namespace ka {
namespace {

using RegGetValueFunction = LSTATUS(WINAPI*)(HKEY, const wchar_t*, const wchar_t*, DWORD, DWORD*,
                                             void*, DWORD*);

constexpr wchar_t kNdpKey[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP";
constexpr DWORD kVersionBytes = 16383;
constexpr size_t kDotNetCapacity = 32;  // the caller's buffer, terminator included

}  // namespace

void* EnvironmentInfo::RegistryReader() {
    return *reinterpret_cast<void**>(reinterpret_cast<char*>(this) + kRegistryReaderOffset);
}

// Every sub-key "v<release>" of NDP is a framework release. Releases 2 and 3
// keep "Version" in their own key, release 4 in its "Full" sub-key (the key
// named for 4.0 has none and drops out). The last one in enumeration order
// with a positive number wins, which with the usual alphabetical order is
// release 4 when present. The library only reads the registry.
bool EnvironmentInfo::GetDotNetVersion(wchar_t* destination) {
    auto read = reinterpret_cast<RegGetValueFunction>(RegistryReader());
    if (destination == nullptr || read == nullptr) return false;
    return Boundary(false, [&] {
        UniqueRegKey ndp;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kNdpKey, 0, KEY_READ, ndp.put()) != ERROR_SUCCESS) {
            return false;
        }
        wchar_t className[MAX_PATH];
        DWORD classLength = MAX_PATH;
        DWORD subKeys = 0;
        if (::RegQueryInfoKeyW(ndp.get(), className, &classLength, nullptr, &subKeys, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr) != ERROR_SUCCESS) {
            return false;
        }
        std::wstring best;
        std::vector<wchar_t> value(kVersionBytes / sizeof(wchar_t) + 1);
        for (DWORD index = 0; index < subKeys; ++index) {
            wchar_t name[255];
            DWORD nameLength = 255;
            if (::RegEnumKeyExW(ndp.get(), index, name, &nameLength, nullptr, nullptr, nullptr,
                                nullptr) != ERROR_SUCCESS ||
                name[0] != L'v') {
                continue;
            }
            std::wstring path = std::wstring(kNdpKey) + L"\\" + name;
            if (name[1] == L'4') {
                path += L"\\Full";
            } else if (name[1] != L'2' && name[1] != L'3') {
                continue;
            }
            DWORD bytes = kVersionBytes;
            if (read(HKEY_LOCAL_MACHINE, path.c_str(), L"Version", RRF_RT_REG_SZ, nullptr,
                     value.data(), &bytes) == ERROR_SUCCESS &&
                _wtof(value.data()) > 0.0) {
                best = value.data();
            }
        }
        if (best.empty()) return false;
        // Cut to what the caller's 32 characters hold.
        size_t length = std::min(best.size(), kDotNetCapacity - 1);
        std::wmemcpy(destination, best.data(), length);
        destination[length] = L'\0';
        return true;
    });
}

bool EnvironmentInfo::GetModuleVersion(const void* addressInModule, uint32_t* major,
                                       uint32_t* minor, uint32_t* revision) {
    return GetModuleVersionEx(addressInModule, major, minor, nullptr, revision);
}

// All four numbers come from the file version, so they always belong
// together (the product version may name a release, not this file).
bool EnvironmentInfo::GetModuleVersionEx(const void* addressInModule, uint32_t* major,
                                         uint32_t* minor, uint32_t* build, uint32_t* revision) {
    return Boundary(false, [&] {
        // The reference keeps the module mapped while its file is read.
        UniqueLibrary module;
        if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                  static_cast<const wchar_t*>(addressInModule), module.put())) {
            return false;
        }
        wchar_t path[1024];
        if (::GetModuleFileNameW(module.get(), path, 1024) == 0) return false;
        DWORD ignored = 0;
        DWORD size = ::GetFileVersionInfoSizeExW(FILE_VER_GET_NEUTRAL, path, &ignored);
        if (size == 0) return false;
        std::vector<unsigned char> block(size);
        if (!::GetFileVersionInfoExW(FILE_VER_GET_NEUTRAL, path, 0, size, block.data())) {
            return false;
        }
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        if (!::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
            fixed == nullptr) {
            return false;
        }
        if (major != nullptr) *major = HIWORD(fixed->dwFileVersionMS);
        if (minor != nullptr) *minor = LOWORD(fixed->dwFileVersionMS);
        if (build != nullptr) *build = HIWORD(fixed->dwFileVersionLS);
        if (revision != nullptr) *revision = LOWORD(fixed->dwFileVersionLS);
        return true;
    });
}

// A monitor already in `out` is released first, and `out` is cleared then,
// so a failed start never leaves the caller a pointer to a released monitor.
bool EnvironmentInfo::CreatePopupMonitor(KaPopupMonitor** out) {
    if (out == nullptr) return false;
    ObjectRef<KaPopupMonitor>(std::exchange(*out, nullptr)).reset();
    return MakePopupMonitor(out);
}

bool EnvironmentInfo::CreatePopupMonitorsFromFile(const wchar_t* path, KaPopupMonitor*** monitors,
                                                  uint32_t* count) {
    return MakePopupMonitorsFromFile(path, monitors, count);
}

void EnvironmentInfo::Destroy(uint32_t) {}

}  // namespace ka
