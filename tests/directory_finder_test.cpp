// The newest numbered version of a file, through the DLL, on real files.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring Latest(const std::wstring& path) {  // "<false>" for none; freed as documented
    wchar_t* found = nullptr;
    KaDirectoryFinder* finder = katest::System()->GetFileSystem()->GetDirectoryFinder();
    if (!finder->FindLatestVersion(path.c_str(), &found)) return L"<false>";
    std::wstring text = found;
    katest::System()->Free(found);
    return text;
}

TEST(DirectoryFinder, HighestNumberBesideTheGivenFile) {
    katest::TempDir dir;
    std::wstring model = dir.File(L"model.dat");
    for (const wchar_t* name :
         {L"model.dat.1", L"model.dat.2", L"model.dat.10", L"model.dat2.50", L"model.dat.x"}) {
        ASSERT_TRUE(katest::WriteFileBytes(dir.File(name), ""));
    }
    EXPECT_EQ(Latest(model), model + L".10") << "numbers, not texts; model.dat2.50 is another stem";
    EXPECT_EQ(Latest(model + L".0010"), model + L".0010") << "an equal number does not replace";
    EXPECT_EQ(Latest(dir.File(L"model.dat2")), dir.File(L"model.dat2.50"));
    EXPECT_EQ(Latest(dir.File(L"model.dat.x")), dir.File(L"model.dat.x")) << "no number: itself";
    ASSERT_TRUE(::CreateDirectoryW((model + L".11").c_str(), nullptr));
    EXPECT_EQ(Latest(model + L".3"), model + L".11") << "directories count too";

    KaDirectoryFinder* finder = katest::System()->GetFileSystem()->GetDirectoryFinder();
    EXPECT_TRUE(KA_ALL(finder->FindLatestVersion(model.c_str(), nullptr),
                       !finder->FindLatestVersion(nullptr, nullptr)))
        << "a null out: only the question";
    EXPECT_EQ(Latest(dir.File(L"none.dat")) + Latest(L""), L"<false><false>");
}

}  // namespace

int main(int argc, char** argv);  // from the test support
static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
