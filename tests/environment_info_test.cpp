// Environment information through the DLL: the .NET Framework version from
// registry keys made here (and removed again), module versions, and the
// monitor factories' failures (without KaXml: see the popup suite). kahost's `dotnet` and `popups`
// are checked by cmake/test-kahost.sh.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

KaEnvironmentInfo* Info() { return katest::System()->GetEnvironmentInfo(); }

constexpr wchar_t kSetup[] = L"SOFTWARE\\Microsoft\\NET Framework Setup";

// Sets "Version" of the key NDP\<name> (made when missing); null: the key only.
void NdpKey(const std::wstring& name, const wchar_t* version) {
    ka::UniqueRegKey key;
    ASSERT_EQ(
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kSetup) + L"\\NDP\\" + name).c_str(), 0,
                          nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
        ERROR_SUCCESS);
    if (version != nullptr) {
        ::RegSetValueExW(key.get(), L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                         DWORD((wcslen(version) + 1) * sizeof(wchar_t)));
    }
}

std::wstring DotNet() {
    wchar_t version[32];
    return Info()->GetDotNetVersion(version) ? version : L"(none)";
}

TEST(EnvironmentInfo, DotNetVersionFromTheLastQualifyingReleaseKey) {
    ka::UniqueRegKey setup;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSetup, 0, KEY_READ, setup.put()) == ERROR_SUCCESS) {
        GTEST_SKIP() << "a .NET Framework is set up here: its keys stay untouched";
    }
    // Release 4.0 has no "Full" key; 1.1 and names without "v" never count.
    for (auto [name, version] : {std::pair{L"v1.1.4322", L"1.1.4322.573"},
                                 {L"v2.0.50727", L"2.0.50727.4927"},
                                 {L"v3.5", L"3.5.30729.4926"},
                                 {L"v4\\Full", L"4.8.04084"},
                                 {L"v4.0", nullptr},
                                 {L"x9", L"9.9"}}) {
        NdpKey(name, version);
    }
    EXPECT_EQ(DotNet(), L"4.8.04084");
    NdpKey(L"v4\\Full", L"4.0123456789012345678901234567890123");
    EXPECT_EQ(DotNet(), L"4.01234567890123456789012345678");  // cut to 31 characters
    for (const wchar_t* gone : {L"v4", L"v3.5"}) {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kSetup) + L"\\NDP\\" + gone).c_str());
        EXPECT_EQ(DotNet(), gone[1] == L'4' ? L"3.5.30729.4926" : L"2.0.50727.4927");
    }
    EXPECT_FALSE(Info()->GetDotNetVersion(nullptr));
    setup.reset();
    ASSERT_EQ(::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSetup), ERROR_SUCCESS);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSetup);
    EXPECT_EQ(DotNet(), L"(none)");
}

TEST(EnvironmentInfo, ModuleVersionsFromTheFileVersion) {
    HMODULE library = ::GetModuleHandleW(L"KaSystem.x64.dll");
    const void* inside = reinterpret_cast<const void*>(::GetProcAddress(library, "KaGetModule"));
    uint32_t v[4] = {9, 9, 9, 9};
    ASSERT_TRUE(Info()->GetModuleVersionEx(inside, &v[0], &v[1], &v[2], &v[3]));
    EXPECT_EQ(std::vector<uint32_t>(v, v + 4), (std::vector<uint32_t>{1, 18, 0, 0}));
    EXPECT_TRUE(Info()->GetModuleVersion(library, nullptr, nullptr, nullptr));
    // Wine's kernel32 has a build number: build and revision are the file version's.
    ASSERT_TRUE(Info()->GetModuleVersionEx(::GetModuleHandleW(L"kernel32.dll"), &v[0], &v[1], &v[2],
                                           &v[3]));
    EXPECT_NE(v[2], 0u);
    int onTheStack = 0;
    EXPECT_FALSE(Info()->GetModuleVersionEx(&onTheStack, &v[0], nullptr, nullptr, nullptr));
}

TEST(EnvironmentInfo, MonitorFactoriesRefuseWhatTheyCannotUse) {
    EXPECT_FALSE(Info()->CreatePopupMonitor(nullptr));
    katest::TempDir dir;
    std::wstring path = dir.File(L"c.xml");
    KaPopupMonitor** array = nullptr;
    uint32_t count = 7;
    EXPECT_FALSE(Info()->CreatePopupMonitorsFromFile(nullptr, &array, &count));
    EXPECT_FALSE(Info()->CreatePopupMonitorsFromFile(path.c_str(), &array, &count));  // missing
    // Not well-formed (KaXml refuses a document type too); a monitor made before the parse
    // failed is stopped again (the leak check sees its thread).
    for (const char* bad : {"", "<R><Monitor><Process>-1</Process></Monitor><Monitor></R>", "<R>",
                            "<R/><S/>", "<R a='1' a='2'/>", "<!DOCTYPE R [<!ENTITY x 'y'>]><R/>"}) {
        ASSERT_TRUE(katest::WriteFileBytes(path, bad));
        EXPECT_FALSE(Info()->CreatePopupMonitorsFromFile(path.c_str(), &array, &count)) << bad;
    }
    EXPECT_TRUE(KA_ALL(array == nullptr, count == 7));
    ASSERT_TRUE(katest::WriteFileBytes(path, "<R><Other/></R>"));
    ASSERT_TRUE(Info()->CreatePopupMonitorsFromFile(path.c_str(), &array, &count));
    EXPECT_EQ(count, 0u);
    katest::System()->Free(array);
}

}  // namespace
