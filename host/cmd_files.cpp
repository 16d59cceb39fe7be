// Commands on files through the library's file system: `latest` finds the
// newest numbered version of a path, `version` reads a file's version text.
#include "frame/handles.h"
#include "host/kahost.h"

#include <cstdio>

namespace kahost {

int RunLatest(const Invocation& call) {
    if (call.args.size() != 1) return UsageError("latest takes one path");
    const std::wstring& path = call.args[0];
    LibraryBuffer<wchar_t> latest(call.system);
    KaDirectoryFinder* finder = call.system->GetFileSystem()->GetDirectoryFinder();
    if (!finder->FindLatestVersion(path.c_str(), latest.put())) {
        Fail("neither " + Utf8(path) + " nor a numbered version of it (" + Utf8(path) +
             ".N) exists");
        return kExitFailed;
    }
    std::printf("%s\n", Utf8(latest.get()).c_str());
    return kExitOk;
}

int RunVersion(const Invocation& call) {
    if (call.args.size() != 1) return UsageError("version takes one file");
    const std::wstring& path = call.args[0];
    KaFileSystem* fs = call.system->GetFileSystem();
    if (!fs->FileExists(path.c_str())) {
        Fail("no such file " + Utf8(path));
        return kExitFailed;
    }
    ka::ObjectRef<KaString> version;
    if (!fs->GetFileVersion(path.c_str(), version.put())) {
        Fail(Utf8(path) + " has no file version (no FileVersion text in a version resource)");
        return kExitFailed;
    }
    std::printf("%s\n", Utf8(version->GetText()).c_str());
    return kExitOk;
}

}  // namespace kahost
