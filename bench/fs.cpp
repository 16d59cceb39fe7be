// File-system costs through the DLL against the plain calls that do the
// same work. Every setup step and every call timed is checked: a failure
// ends the program with a message and exit code 1, never with a crash.
#include "bench.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t kFileSize = size_t(32) << 20;  // enough to time copies; no disk churn
constexpr size_t kBufferSize = 64 * 1024;

// The scratch directory and the long one inside it, removed on every way
// out: the long one first, since the shell's tree delete cannot reach it.
std::wstring g_dir, g_deep;

void RemoveScratch() {
    KaFileSystem* fs = kabench::System()->GetFileSystem();
    if (!g_deep.empty()) fs->Delete(g_deep.c_str());
    if (!g_dir.empty()) fs->Delete(g_dir.c_str());
}

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "bench fs: %s failed (Win32 error %lu)\n", what, ::GetLastError());
    RemoveScratch();
    std::exit(1);
}

void MakeFile(const std::wstring& path) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    Check(f != nullptr, "creating the source file");
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 31 + 7);
    size_t written = 0;
    for (size_t done = 0; done < kFileSize; done += block.size()) {
        written += std::fwrite(block.data(), 1, block.size(), f);
    }
    Check(std::fclose(f) == 0 && written == kFileSize, "writing the source file");
}

}  // namespace

int main() {
    KaSystem* system = kabench::System();
    KaFileSystem* fs = system->GetFileSystem();
    KaFileStreamFactory* streams = system->GetFileStreams();
    wchar_t temp[MAX_PATH];
    Check(::GetTempPathW(MAX_PATH, temp) != 0, "GetTempPathW");
    g_dir = std::wstring(temp) + L"kabench_fs";
    g_deep = g_dir + L"\\" + std::wstring(200, L'd');
    RemoveScratch();  // what a run that was killed left behind
    Check(fs->CreateDirectories(g_dir.c_str()), "creating the scratch directory");
    std::wstring source = g_dir + L"\\source.bin";
    std::wstring ours = g_dir + L"\\ours.bin", theirs = g_dir + L"\\theirs.bin";
    MakeFile(source);
    std::vector<char> buffer(kBufferSize);

    kabench::Compare(
        "fs CopyStream 32MiB (64KiB buffer)",
        [&] {
            ka::ObjectRef<KaStream> in, out;
            Check(streams->OpenFileStream(in.put(), source.c_str(), L"rb") &&
                      streams->OpenFileStream(out.put(), ours.c_str(), L"wb"),
                  "OpenFileStream");
            Check(streams->CopyStream(in.get(), out.get(), buffer.data(), buffer.size()),
                  "CopyStream");
        },
        [&] {
            FILE* in = _wfopen(source.c_str(), L"rb");
            FILE* out = _wfopen(theirs.c_str(), L"wb");
            Check(in != nullptr && out != nullptr, "_wfopen");
            size_t got;
            while ((got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
                std::fwrite(buffer.data(), 1, got, out);
            }
            std::fclose(in);
            Check(std::fclose(out) == 0, "writing the baseline copy");
        },
        1, "MB/s", double(kFileSize), 3);

    kabench::Compare(
        "fs Copy 32MiB", [&] { Check(fs->Copy(source.c_str(), ours.c_str()), "Copy"); },
        [&] { Check(::CopyFileW(source.c_str(), theirs.c_str(), FALSE), "CopyFileW"); }, 1, "MB/s",
        double(kFileSize), 3);

    Check(::CreateDirectoryW((L"\\\\?\\" + g_deep).c_str(), nullptr),
          "creating a directory with a long path");
    std::wstring longFile = g_deep + L"\\" + std::wstring(100, L'f') + L".txt";
    std::wstring prefixed = L"\\\\?\\" + longFile;
    FILE* f = _wfopen(prefixed.c_str(), L"wb");
    Check(f != nullptr && std::fclose(f) == 0, "creating a file with a long path");
    kabench::Compare(
        "fs FileExists short path", [&] { fs->FileExists(source.c_str()); },
        [&] { ::GetFileAttributesW(source.c_str()); }, 2000, "us");
    std::string name = "fs FileExists " + std::to_string(longFile.size()) + "-character path";
    Check(fs->FileExists(longFile.c_str()), "FileExists on the long path");
    kabench::Compare(
        name.c_str(), [&] { fs->FileExists(longFile.c_str()); },
        [&] { ::GetFileAttributesW(prefixed.c_str()); }, 2000, "us");

    RemoveScratch();
    return 0;
}
