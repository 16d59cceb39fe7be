// File-system costs through the DLL against the plain calls that do the
// same work.
#include "bench.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr size_t kFileSize = size_t(256) << 20;
constexpr size_t kBufferSize = 64 * 1024;

void MakeFile(const std::wstring& path) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 31 + 7);
    for (size_t done = 0; done < kFileSize; done += block.size()) {
        std::fwrite(block.data(), 1, block.size(), f);
    }
    std::fclose(f);
}

}  // namespace

int main() {
    KaSystem* system = kabench::System();
    KaFileSystem* fs = system->GetFileSystem();
    KaFileStreamFactory* streams = system->GetFileStreams();
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring dir = std::wstring(temp) + L"kabench_fs";
    ::CreateDirectoryW(dir.c_str(), nullptr);
    std::wstring source = dir + L"\\source.bin";
    std::wstring ours = dir + L"\\ours.bin", theirs = dir + L"\\theirs.bin";
    MakeFile(source);
    std::vector<char> buffer(kBufferSize);

    kabench::Compare(
        "CopyStream 256MiB (64KiB buffer)",
        [&] {
            KaStream* in = nullptr;
            KaStream* out = nullptr;
            streams->OpenFileStream(&in, source.c_str(), L"rb");
            streams->OpenFileStream(&out, ours.c_str(), L"wb");
            streams->CopyStream(in, out, buffer.data(), buffer.size());
            in->Release();
            out->Release();
        },
        [&] {
            FILE* in = _wfopen(source.c_str(), L"rb");
            FILE* out = _wfopen(theirs.c_str(), L"wb");
            size_t got;
            while ((got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
                std::fwrite(buffer.data(), 1, got, out);
            }
            std::fclose(in);
            std::fclose(out);
        },
        1, "MB/s", double(kFileSize), 3);

    kabench::Compare(
        "Copy 256MiB", [&] { fs->Copy(source.c_str(), ours.c_str()); },
        [&] { ::CopyFileW(source.c_str(), theirs.c_str(), FALSE); }, 1, "MB/s", double(kFileSize),
        3);

    std::wstring deep = dir + L"\\" + std::wstring(200, L'd');
    ::CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr);
    std::wstring longFile = deep + L"\\" + std::wstring(100, L'f') + L".txt";
    FILE* f = _wfopen((L"\\\\?\\" + longFile).c_str(), L"wb");
    if (f) std::fclose(f);
    std::wstring prefixed = L"\\\\?\\" + longFile;
    kabench::Compare(
        "FileExists short path", [&] { fs->FileExists(source.c_str()); },
        [&] { ::GetFileAttributesW(source.c_str()); }, 2000, "us");
    std::string name = "FileExists " + std::to_string(longFile.size()) + "-character path";
    kabench::Compare(
        name.c_str(), [&] { fs->FileExists(longFile.c_str()); },
        [&] { ::GetFileAttributesW(prefixed.c_str()); }, 2000, "us");

    fs->Delete(longFile.c_str());
    fs->Delete(dir.c_str());
    return 0;
}
