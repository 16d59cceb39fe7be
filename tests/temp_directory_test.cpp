// Temporary directories through the DLL, under a base of the test's own (TMP too), so the
// real temporary root is never swept. Leftovers are aged a minute either side of two weeks.
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
    ka::UniqueFile entry(::CreateFileW((L"\\\\?\\" + path).c_str(),
                                       FILE_WRITE_ATTRIBUTES | GENERIC_READ, 7, nullptr,
                                       fileAttributes ? CREATE_ALWAYS : OPEN_EXISTING,
                                       fileAttributes | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ULONGLONG ticks = ULONGLONG(::_time64(nullptr) - days * 86400 + 11644473600LL) * 10000000;
    FILETIME when = {DWORD(ticks), DWORD(ticks >> 32)};
    ASSERT_TRUE(::SetFileTime(entry.get(), nullptr, nullptr, &when)) << katest::Win32Error();
}

TEST(TempDirectory, TakeOverRenameReleaseSweepAndDefaultNames) {
    katest::TempDir base;
    std::wstring root = base.path() + L"\\kav_qmt_tmp", prefix = Prefix(base.path());
    std::wstring old = root + L"\\old", young = root + L"\\young", oldFile = root + L"\\old.txt";
    std::wstring oldReadOnly = root + L"\\old-ro.txt",
                 oldLong = root + L"\\" + std::wstring(220, L'l');
    Ref dir;
    EXPECT_FALSE(Fs()->CreateTempDirectory(nullptr, nullptr, nullptr));
    ASSERT_TRUE(Fs()->CreateTempDirectory(L"first", base.path().c_str(), dir.put()));
    EXPECT_TRUE(::GetFileAttributesW(root.c_str()) & FILE_ATTRIBUTE_HIDDEN) << "a hidden root";
    dir.reset();
    ASSERT_TRUE(Fs()->CreateDirectories((prefix + L"mine\\sub").c_str()));
    ASSERT_TRUE(::CreateDirectoryW((prefix + L"taken").c_str(), nullptr));
    Make(prefix + L"mine\\sub\\kept.txt", 0, FILE_ATTRIBUTE_READONLY);
    Make(old, 14 + 1 / 1440.0);  // a minute older than two weeks
    Make(oldFile, 14 + 1 / 1440.0, FILE_ATTRIBUTE_NORMAL);
    Make(young, 14 - 1 / 1440.0);
    Make(oldReadOnly, 15, FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + oldLong).c_str(), nullptr));
    Make(oldLong + L"\\in.txt", 15, FILE_ATTRIBUTE_READONLY);
    Make(oldLong, 15);

    ASSERT_TRUE(Fs()->CreateTempDirectory(L"mine", (base.path() + L"\\\\").c_str(), dir.put()));
    EXPECT_EQ(dir->GetPath(), prefix + L"mine") << "taken over; trailing backslashes do not count";
    // A second Create renames what the object owns, contents and all, but
    // never into another directory or out of the root.
    ASSERT_TRUE(dir->Create(L"moved", base.path().c_str()));
    EXPECT_TRUE(Fs()->FileExists((prefix + L"moved\\sub\\kept.txt").c_str()));
    EXPECT_FALSE(dir->Create(L"taken", base.path().c_str()));
    for (const wchar_t* outside :
         {L"..\\..\\x", L"a\\..\\..\\x", L"a/... /x", L"\\x", L"C:\\x", L"C:x"}) {
        Ref refused;
        EXPECT_FALSE(Fs()->CreateTempDirectory(outside, base.path().c_str(), refused.put()) ||
                     dir->Create(outside, base.path().c_str()))
            << katest::Narrow(outside) << " leads out of the root";
    }
    EXPECT_EQ(dir->GetPath(), prefix + L"moved");
    Ref nested;
    ASSERT_TRUE(Fs()->CreateTempDirectory(L"a\\b", base.path().c_str(), nested.put()));
    EXPECT_TRUE(Fs()->DirectoryExists((prefix + L"a\\b").c_str())) << "a leaf used unchanged";
    nested.reset();
    EXPECT_FALSE(Fs()->PathExists((prefix + L"a\\b").c_str()));
    ProcessLog::NewLines();

    std::wstring before = CurrentDirectory();
    ASSERT_TRUE(::SetCurrentDirectoryW((prefix + L"moved\\sub").c_str()));  // still deleted
    dir.reset();
    EXPECT_FALSE(Fs()->PathExists((prefix + L"moved").c_str())) << "read-only contents and all";
    EXPECT_EQ(CurrentDirectory(), root) << "what was current is gone";
    for (const std::wstring& gone : {old, oldFile, oldReadOnly, oldLong})
        EXPECT_FALSE(Fs()->PathExists(gone.c_str())) << "stale: " << katest::Narrow(gone);
    EXPECT_TRUE(Fs()->PathExists(young.c_str()));
    std::string sweep =
        "[STATUS]    : Removing old leftover temp directories whose last "
        "modified date are older than 2 weeks ago: ";
    std::vector<std::string> lines = ProcessLog::NewLines();
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> swept;
    for (const std::wstring& gone : {old, oldFile, oldReadOnly, oldLong})
        swept.push_back(sweep + katest::Narrow(gone));
    std::sort(swept.begin(), swept.end());
    EXPECT_EQ(lines, swept);

    // Default names under the default base: <computer>_<pid>_<n>, from a
    // process-wide counter that skips leaves an earlier process left.
    ASSERT_TRUE(::SetCurrentDirectoryW(before.c_str()));
    katest::ScopedEnv tmp(L"TMP", base.path() + L"\\");
    std::wstring leaf = prefix + std::to_wstring(::GetCurrentProcessId()) + L"_";
    ASSERT_TRUE(Fs()->CreateTempDirectory(nullptr, nullptr, dir.put()));
    std::wstring detached = dir->GetPath();
    ASSERT_EQ(detached.rfind(leaf, 0), 0u) << katest::Narrow(detached);
    std::wstring skipped = leaf + std::to_wstring(std::stoi(detached.substr(leaf.size())) + 1);
    ASSERT_TRUE(::CreateDirectoryW(skipped.c_str(), nullptr));
    EXPECT_TRUE(KA_ALL(dir->Detach(), *dir->GetPath() == L'\0'));
    dir.reset();
    EXPECT_TRUE(Fs()->DirectoryExists(detached.c_str())) << "detached: the directory stays";
    ASSERT_TRUE(Fs()->CreateTempDirectory(L"", L"", dir.put()));
    EXPECT_EQ(dir->GetPath(), leaf + std::to_wstring(std::stoi(skipped.substr(leaf.size())) + 1));
    dir.reset();
    EXPECT_EQ(CurrentDirectory(), before) << "the current directory comes back";
}

}  // namespace

int main(int argc, char** argv);  // from the test support
static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
