// Commands on files through the library's file system and streams: `latest`
// finds the newest numbered version of a path, `version` reads a file's
// version text, `path` takes a path apart, `copy`, `move`, `delete` and
// `mkdir` work on files and trees, `slice` prints a window of a file,
// `storage` rewrites compound documents, `reveal` shows items in folders.
#include "frame/handles.h"
#include "host/kahost.h"

#include <cstdio>
#include <string>
#include <vector>

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

namespace {

// The text a KaString-handing path slot gives for `path`, or `fallback`.
std::string PathPart(bool (KaFileSystem::*slot)(const wchar_t*, KaString**), KaFileSystem* fs,
                     const std::wstring& path, const char* fallback) {
    ka::ObjectRef<KaString> part;
    return (fs->*slot)(path.c_str(), part.put()) ? Utf8(part->GetText()) : fallback;
}

// The two-path file commands: the slot, its verb for messages.
int RunTwoPaths(const Invocation& call, bool (KaFileSystem::*slot)(const wchar_t*, const wchar_t*),
                const char* verb) {
    if (call.args.size() != 2) {
        return UsageError(std::string(verb) + " takes a source and a destination");
    }
    const std::wstring &source = call.args[0], &destination = call.args[1];
    if (!(call.system->GetFileSystem()->*slot)(source.c_str(), destination.c_str())) {
        FailOn(std::string(verb) + ": cannot " + verb + " " + Utf8(source) + " to", destination);
        return kExitFailed;
    }
    std::printf("%s: %s -> %s\n", verb, Utf8(source).c_str(), Utf8(destination).c_str());
    return kExitOk;
}

}  // namespace

int RunPath(const Invocation& call) {
    if (call.args.size() != 1) return UsageError("path takes one path");
    const std::wstring& path = call.args[0];
    KaFileSystem* fs = call.system->GetFileSystem();
    std::string name = PathPart(&KaFileSystem::GetFileName, fs, path, "");
    // The extension is the file name's text after its last dot, when that dot
    // does not start the name (".profile" has none).
    size_t dot = name.rfind('.');
    std::string extension = dot != std::string::npos && dot > 0 ? name.substr(dot + 1) : "";
    const char* kind = !fs->PathExists(path.c_str())       ? "no"
                       : fs->DirectoryExists(path.c_str()) ? "directory"
                                                           : "file";
    std::printf("path:      %s\n", Utf8(path).c_str());
    std::printf(
        "short:     %s\n",
        PathPart(&KaFileSystem::GetShortPath, fs, path, "(none: it does not exist)").c_str());
    std::printf("parent:    %s\n", PathPart(&KaFileSystem::GetParentPath, fs, path, "").c_str());
    std::printf("name:      %s\n", name.c_str());
    std::printf("extension: %s\n", extension.c_str());
    std::printf("exists:    %s\n", kind);
    return kExitOk;
}

int RunCopy(const Invocation& call) { return RunTwoPaths(call, &KaFileSystem::Copy, "copy"); }

int RunMove(const Invocation& call) { return RunTwoPaths(call, &KaFileSystem::Move, "move"); }

int RunDelete(const Invocation& call) {
    if (call.args.size() != 1) return UsageError("delete takes one path");
    if (!call.system->GetFileSystem()->Delete(call.args[0].c_str())) {
        FailOn("delete: cannot delete", call.args[0]);
        return kExitFailed;
    }
    std::printf("delete: %s is gone\n", Utf8(call.args[0]).c_str());
    return kExitOk;
}

int RunMkdir(const Invocation& call) {
    if (call.args.size() != 1) return UsageError("mkdir takes one path");
    if (!call.system->GetFileSystem()->CreateDirectories(call.args[0].c_str())) {
        FailOn("mkdir: cannot create", call.args[0]);
        return kExitFailed;
    }
    std::printf("mkdir: %s exists\n", Utf8(call.args[0]).c_str());
    return kExitOk;
}

// The window is the stream factory's limited stream over the file stream,
// placed at OFFSET: what it hands out is what a reader of that slot gets.
int RunSlice(const Invocation& call) {
    uint64_t offset = 0, length = 0;
    if (call.args.size() != 3 || !ParseSize(call.args[1], INT64_MAX, offset) ||
        !ParseSize(call.args[2], SIZE_MAX, length)) {
        return UsageError("slice takes a file, a byte offset and a byte count");
    }
    KaFileStreamFactory* streams = call.system->GetFileStreams();
    ka::ObjectRef<KaStream> file, window;
    if (!streams->OpenFileStream(file.put(), call.args[0].c_str(), L"rb")) {
        FailOn("slice: cannot open", call.args[0]);
        return kExitFailed;
    }
    if (!file->Seek(static_cast<int64_t>(offset), KA_SEEK_BEGIN, nullptr) ||
        !streams->CreateLimitedStream(window.put(), file.get(), static_cast<size_t>(length))) {
        Fail("slice: no window of " + std::to_string(length) + " bytes at " +
             std::to_string(offset) + " in " + Utf8(call.args[0]));
        return kExitFailed;
    }
    char chunk[65536];
    size_t got = 0;
    while (window->Read(chunk, sizeof chunk, &got) && got > 0) WriteOutput({chunk, got});
    return kExitOk;
}

// Compound documents keep their three timestamps through either form.
int RunStorage(const Invocation& call) {
    const auto& args = call.args;
    KaFileSystem* fs = call.system->GetFileSystem();
    if (args.size() == 3 && args[0] == L"copy") {
        if (!fs->CopyStorage(args[1].c_str(), args[2].c_str())) {
            FailOn("storage: cannot rewrite " + Utf8(args[1]) + " into", args[2]);
            return kExitFailed;
        }
        std::printf("storage: %s -> %s\n", Utf8(args[1]).c_str(), Utf8(args[2]).c_str());
        return kExitOk;
    }
    if (args.size() == 2 && args[0] == L"rewrite") {
        if (!fs->RewriteStorage(args[1].c_str())) {
            FailOn("storage: cannot rewrite", args[1]);
            return kExitFailed;
        }
        std::printf("storage: %s rewritten\n", Utf8(args[1]).c_str());
        return kExitOk;
    }
    return UsageError("storage takes copy SOURCE DESTINATION or rewrite FILE");
}

int RunReveal(const Invocation& call) {
    if (call.args.empty()) return UsageError("reveal takes one or more paths");
    std::vector<const wchar_t*> items;
    for (const std::wstring& path : call.args) items.push_back(path.c_str());
    items.push_back(nullptr);
    if (!call.system->GetFileSystem()->OpenFolderAndSelect(items.data())) {
        Fail("reveal: the shell opened no folder (the library's log says why)");
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace kahost
