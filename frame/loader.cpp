#include "frame/loader.h"

#include "frame/handles.h"

#include <cstdio>
#include <string>

namespace ka {
namespace {

constexpr UINT kBoxStyle = MB_ICONEXCLAMATION | MB_OK;  // 0x30
constexpr DWORD kVariableCapacity = 260;                // values of 1 to 259 characters

// A variable that is unset, empty, or 260 characters or longer is absent.
bool ReadDirectoryVariable(const char* name, std::string& value) {
    char buffer[kVariableCapacity];
    DWORD length = ::GetEnvironmentVariableA(name, buffer, kVariableCapacity);
    if (length == 0 || length >= kVariableCapacity) return false;
    value.assign(buffer, length);
    return true;
}

void AppendBackslashIfMissing(std::string& directory) {
    if (directory.empty() || directory.back() != '\\') directory.push_back('\\');
}

}  // namespace

HMODULE LoadSiblingLibrary(const char* name, bool silent) {
    // Building the path allocates, and nothing may escape to the host. No log
    // line either: this runs while the module object is being built, before
    // there is a logger to reach.
    try {
        std::string path;
        if (ReadDirectoryVariable("KAV_SXS_DIR_FLAT", path)) {
            AppendBackslashIfMissing(path);
        } else if (ReadDirectoryVariable("KAV_SXS_DIR", path)) {
            AppendBackslashIfMissing(path);
            char versionDirectory[16];
            std::snprintf(versionDirectory, sizeof versionDirectory, "v%d", 140);
            path += versionDirectory;
            path.push_back('\\');
        }
        char fileName[260];
        std::snprintf(fileName, sizeof fileName, "%s.x64.dll", name ? name : "");
        path += fileName;

        HMODULE module = ::LoadLibraryA(path.c_str());
        if (module == nullptr && !silent) {
            char hostPath[260] = {};
            ::GetModuleFileNameA(nullptr, hostPath, sizeof hostPath);
            std::string text = "Failed load module: " + path;
            ::MessageBoxA(nullptr, text.c_str(), hostPath, kBoxStyle);
        }
        return module;
    } catch (...) {
        return static_cast<HMODULE>(nullptr);
    }
}

KaModuleRoot* LoadSiblingModule(const char* name, bool silent) {
    // Every early return unloads the library again; only success keeps it.
    UniqueLibrary module(LoadSiblingLibrary(name, silent));
    if (!module) return nullptr;

    auto getModule = reinterpret_cast<KaModuleRoot* (*)()>(
        reinterpret_cast<void*>(::GetProcAddress(module.get(), "KaGetModule")));
    if (getModule == nullptr) return nullptr;
    KaModuleRoot* root = getModule();
    if (root == nullptr) return nullptr;

    int version = root->GetVersion();
    if (version < kMinimumSiblingVersion) {
        // Shown whatever the silent flag says: an outdated sibling is a broken
        // installation that a user must hear about.
        char text[1024];
        std::snprintf(text, sizeof text,
                      "Failed to initialize module. DLL interface version is too old: "
                      "Required>=%d, Actual=%d",
                      kMinimumSiblingVersion, version);
        ::MessageBoxA(nullptr, text, name ? name : "", kBoxStyle);
        return nullptr;
    }
    if (!root->Initialize()) return nullptr;
    (void)module.release();  // stays loaded for the rest of the process
    return root;
}

}  // namespace ka
