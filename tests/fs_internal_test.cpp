// Path internals that no slot exposes on their own, linked in directly.
#include "fs/path.h"
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::wstring CurrentDirectory() {
    wchar_t buffer[MAX_PATH];
    DWORD n = ::GetCurrentDirectoryW(MAX_PATH, buffer);
    return std::wstring(buffer, n);
}

TEST(LongPath, PrefixRules) {
    std::wstring out = L"untouched";
    std::wstring p259 = L"C:\\" + std::wstring(256, L'a');
    ASSERT_EQ(p259.size(), 259u);
    EXPECT_FALSE(ka::ToLongPath(p259.c_str(), out));
    EXPECT_EQ(out, L"untouched") << "259 characters go to the system unchanged";
    std::wstring p260 = p259 + L"b";
    ASSERT_TRUE(ka::ToLongPath(p260.c_str(), out));
    EXPECT_EQ(out, L"\\\\?\\" + p260);

    std::wstring unc = L"\\\\srv\\share\\" + std::wstring(300, L'u');
    ASSERT_TRUE(ka::ToLongPath(unc.c_str(), out));
    EXPECT_EQ(out, L"\\\\?\\UNC\\srv\\share\\" + std::wstring(300, L'u'));

    std::wstring already = L"\\\\?\\C:\\" + std::wstring(300, L'x');
    EXPECT_FALSE(ka::ToLongPath(already.c_str(), out));
    EXPECT_FALSE(ka::ToLongPath(nullptr, out));

    // Relative paths are joined to the current directory, not normalised.
    std::wstring relative = L"..\\.\\" + std::wstring(300, L'r');
    ASSERT_TRUE(ka::ToLongPath(relative.c_str(), out));
    std::wstring cwd = CurrentDirectory();
    if (cwd.back() != L'\\') cwd += L'\\';
    EXPECT_EQ(out, L"\\\\?\\" + cwd + relative);
    // Rooted without a drive: joined as well (the result is then odd, but
    // it is what the system would be given).
    std::wstring rooted = L"\\" + std::wstring(300, L'q');
    ASSERT_TRUE(ka::ToLongPath(rooted.c_str(), out));
    EXPECT_EQ(out, L"\\\\?\\" + cwd + rooted);

    EXPECT_EQ(ka::SystemPath(L"C:\\short"), L"C:\\short");
}

TEST(LongPath, PresentDrives) {
    EXPECT_FALSE(ka::HasPresentDrive(nullptr));
    EXPECT_FALSE(ka::HasPresentDrive(L"C"));
    EXPECT_FALSE(ka::HasPresentDrive(L"1:\\"));
    EXPECT_FALSE(ka::HasPresentDrive(L"C\\:"));
    EXPECT_TRUE(ka::HasPresentDrive(L"C:"));
    EXPECT_TRUE(ka::HasPresentDrive(L"c:\\windows"));
}

std::vector<std::wstring> Split(const wchar_t* path, bool* ok) {
    std::wstring buffer = path;
    std::vector<wchar_t*> parts;
    *ok = ka::SplitPathComponents(buffer.data(), parts);
    return std::vector<std::wstring>(parts.begin(), parts.end());
}

TEST(LongPath, SplitComponents) {
    bool ok = false;
    using V = std::vector<std::wstring>;
    EXPECT_EQ(Split(L"C:\\a\\b\\", &ok), (V{L"C:", L"a", L"b"}));
    EXPECT_TRUE(ok);
    EXPECT_EQ(Split(L"\\\\srv\\share\\d", &ok), (V{L"\\\\srv", L"share", L"d"}));
    EXPECT_TRUE(ok);
    EXPECT_EQ(Split(L"\\dir\\x", &ok), (V{L"\\dir", L"x"}));
    EXPECT_EQ(Split(L"", &ok), V{});
    EXPECT_TRUE(ok);
    EXPECT_EQ(Split(L"C:\\a\\\\b", &ok), (V{L"C:", L"a"}));
    EXPECT_FALSE(ok) << "a doubled separator";
    EXPECT_EQ(Split(L"name", &ok), V{L"name"});
}

TEST(LongPath, TrimTrailingBackslashes) {
    std::wstring out;
    EXPECT_TRUE(ka::TrimTrailingBackslashes(L"C:\\a\\\\\\", out));
    EXPECT_EQ(out, L"C:\\a") << "the whole trailing run";
    EXPECT_TRUE(ka::TrimTrailingBackslashes(L"\\\\\\", out));
    EXPECT_EQ(out, L"") << "backslashes only: empty, still success";
    EXPECT_FALSE(ka::TrimTrailingBackslashes(L"", out));
}

}  // namespace
