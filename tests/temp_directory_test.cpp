// Temporary directories through the DLL, always under a base of the test's
// own (TMP points there for the default base), so the real temporary root is
// never swept. Leftovers are aged a minute either side of two weeks.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>

namespace {

using katest::ProcessLog;
using Ref = ka::ObjectRef<KaTempDirectory>;

KaFileSystem* Fs() { return katest::System()->GetFileSystem(); }

std::wstring Prefix(const std::wstring& base) {  // <base>\kav_qmt_tmp\<computer>_
    wchar_t name[16];
    DWORD size = 16;
    ::GetComputerNameW(name, &size);
    return base + L"\\kav_qmt_tmp\\" + std::wstring(name, size) + L"_";
}

std::wstring CurrentDirectory() { return std::filesystem::current_path().wstring(); }

// A file (with these attributes) or a directory (none), modified `days` ago.
void Make(const std::wstring& path, double days, DWORD fileAttributes = 0) {
    if (!fileAttributes) ::CreateDirectoryW(path.c_str(), nullptr);  // or ages it again
    ka::UniqueFile entry(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES | GENERIC_READ, 7,
                                       nullptr, fileAttributes ? CREATE_ALWAYS : OPEN_EXISTING,
                                       fileAttributes | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ULONGLONG ticks = ULONGLONG(::_time64(nullptr) - days * 86400 + 11644473600LL) * 10000000;
    FILETIME when = {DWORD(ticks), DWORD(ticks >> 32)};
    ASSERT_TRUE(::SetFileTime(entry.get(), nullptr, nullptr, &when)) << katest::Win32Error();
}

TEST(TempDirectory, NamesCounterAndHiddenRoot) {
    katest::TempDir base;
    katest::ScopedEnv tmp(L"TMP", base.path() + L"\\");  // the default base
    std::wstring leaf = Prefix(base.path()) + std::to_wstring(::GetCurrentProcessId()) + L"_";
    Ref a, b, c, one;
    ASSERT_TRUE(Fs()->CreateTempDirectory(nullptr, nullptr, a.put()));
    ASSERT_EQ(std::wstring(a->GetPath()).rfind(leaf, 0), 0u) << katest::Narrow(a->GetPath());
    int n = std::stoi(a->GetPath() + leaf.size());
    std::wstring earlier = leaf + std::to_wstring(n + 2);  // as left by an earlier process
    ASSERT_TRUE(::CreateDirectoryW(earlier.c_str(), nullptr));
    ASSERT_TRUE(Fs()->CreateTempDirectory(L"", L"", b.put()) &&
                Fs()->CreateTempDirectory(nullptr, nullptr, c.put()));
    EXPECT_EQ(b->GetPath(), leaf + std::to_wstring(n + 1));
    EXPECT_EQ(c->GetPath(), leaf + std::to_wstring(n + 3)) << "an existing leaf is skipped";
    EXPECT_TRUE(::GetFileAttributesW((base.path() + L"\\kav_qmt_tmp").c_str()) &
                FILE_ATTRIBUTE_HIDDEN);
    ::RemoveDirectoryW(earlier.c_str());
    ASSERT_TRUE(Fs()->CreateTempDirectory(L"x", (base.path() + L"\\\\\\").c_str(), one.put()));
    EXPECT_EQ(one->GetPath(), Prefix(base.path()) + L"x") << "trailing backslashes do not count";
    EXPECT_FALSE(Fs()->CreateTempDirectory(nullptr, nullptr, nullptr));
}

TEST(TempDirectory, TakeOverRenameReleaseAndSweep) {
    katest::TempDir base;
    std::wstring root = base.path() + L"\\kav_qmt_tmp", prefix = Prefix(base.path());
    std::wstring old = root + L"\\old", young = root + L"\\young", oldFile = root + L"\\old.txt";
    ASSERT_TRUE(Fs()->CreateDirectories((prefix + L"mine\\sub").c_str()));
    ASSERT_TRUE(::CreateDirectoryW((prefix + L"taken").c_str(), nullptr));
    Make(prefix + L"mine\\sub\\kept.txt", 0, FILE_ATTRIBUTE_READONLY);
    Make(old, 0);
    Make(old + L"\\kept.txt", 0, FILE_ATTRIBUTE_READONLY);
    Make(old, 14 + 1 / 1440.0);  // a minute older than two weeks
    Make(oldFile, 14 + 1 / 1440.0, FILE_ATTRIBUTE_NORMAL);
    Make(young, 14 - 1 / 1440.0);

    Ref dir;
    ASSERT_TRUE(Fs()->CreateTempDirectory(L"mine", base.path().c_str(), dir.put()));
    EXPECT_EQ(dir->GetPath(), prefix + L"mine") << "an existing leaf is taken over";
    // A second Create renames what the object owns, contents and all, but
    // never into another directory or out of the root.
    ASSERT_TRUE(dir->Create(L"moved", base.path().c_str()));
    EXPECT_TRUE(Fs()->FileExists((prefix + L"moved\\sub\\kept.txt").c_str()));
    EXPECT_FALSE(dir->Create(L"taken", base.path().c_str()) ||
                 dir->Create(L"..\\..\\x", base.path().c_str()));
    EXPECT_EQ(dir->GetPath(), prefix + L"moved");
    ProcessLog::NewLines();

    std::wstring before = CurrentDirectory();
    ASSERT_TRUE(::SetCurrentDirectoryW((prefix + L"moved\\sub").c_str()));  // still deleted
    dir.reset();
    EXPECT_FALSE(Fs()->PathExists((prefix + L"moved").c_str())) << "read-only contents and all";
    EXPECT_EQ(CurrentDirectory(), root) << "what was current is gone";
    EXPECT_FALSE(Fs()->PathExists(old.c_str()) || Fs()->PathExists(oldFile.c_str()));
    EXPECT_TRUE(Fs()->PathExists(young.c_str()));
    std::string sweep =
        "[STATUS]    : Removing old leftover temp directories whose last "
        "modified date are older than 2 weeks ago: ";
    std::vector<std::string> lines = ProcessLog::NewLines();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{sweep + katest::Narrow(old),
                                               sweep + katest::Narrow(oldFile)}));

    ASSERT_TRUE(::SetCurrentDirectoryW(before.c_str()));
    Make(young, 15);
    ASSERT_TRUE(Fs()->CreateTempDirectory(nullptr, base.path().c_str(), dir.put()));
    std::wstring detached = dir->GetPath();
    EXPECT_TRUE(dir->Detach() && *dir->GetPath() == L'\0');
    dir.reset();
    EXPECT_TRUE(Fs()->DirectoryExists(detached.c_str()) && Fs()->PathExists(young.c_str()))
        << "detached: the directory stays, nothing is swept";
    ASSERT_TRUE(Fs()->CreateTempDirectory(nullptr, base.path().c_str(), dir.put()));
    dir.reset();
    EXPECT_FALSE(Fs()->PathExists(young.c_str()));
    EXPECT_EQ(CurrentDirectory(), before) << "the current directory comes back";
}

}  // namespace

int main(int argc, char** argv);  // from the test support
static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
