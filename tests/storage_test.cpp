// Compound documents (made here with the system's structured storage) and shell folder
// windows, through the DLL; TMP points the rewrite's temporary directory into the test's
// folder. File versions are checked through `kahost version` (cmake/test-kahost.sh).
#include "support/ka_test.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using katest::ProcessLog;
constexpr DWORD kOpen = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

KaFileSystem* Fs() { return katest::System()->GetFileSystem(); }
std::string Error(const std::wstring& text) { return "[ERROR]     : " + katest::Narrow(text); }

// The storage Inner holds the stream Deepest ("deepest"); the sectors of the
// deleted stream Bulk stay in the file until a rewrite.
void MakeDocument(const std::wstring& path) {
    ka::ObjectRef<IStorage> root, inner;
    ka::ObjectRef<IStream> bulk, deepest;
    ASSERT_HRESULT_SUCCEEDED(::StgCreateDocfile(path.c_str(), STGM_CREATE | kOpen, 0, root.put()));
    ASSERT_HRESULT_SUCCEEDED(root->CreateStream(L"Bulk", kOpen, 0, 0, bulk.put()));
    ASSERT_HRESULT_SUCCEEDED(bulk->Write(std::string(99999, 'b').data(), 99999, nullptr));
    bulk.reset();
    ASSERT_HRESULT_SUCCEEDED(root->CreateStorage(L"Inner", kOpen, 0, 0, inner.put()));
    ASSERT_HRESULT_SUCCEEDED(inner->CreateStream(L"Deepest", kOpen, 0, 0, deepest.put()));
    ASSERT_HRESULT_SUCCEEDED(deepest->Write("deepest", 7, nullptr));
    ASSERT_HRESULT_SUCCEEDED(root->DestroyElement(L"Bulk"));
}

// Still a compound document, holding the bytes of Inner\Deepest.
bool HoldsDeepest(const std::wstring& path) {
    return ::StgIsStorageFile(path.c_str()) == S_OK &&
           katest::ReadFileBytes(path).find("deepest") != std::string::npos;
}

// The three times (after setting them when asked) and the size.
std::string Stamp(const std::wstring& path, const FILETIME* set = nullptr) {
    ka::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (set) ::SetFileTime(file.get(), &set[0], &set[1], &set[2]);
    FILETIME times[3] = {};
    ::GetFileTime(file.get(), &times[0], &times[1], &times[2]);
    return std::string(reinterpret_cast<char*>(times), sizeof times) + " size " +
           std::to_string(::GetFileSize(file.get(), nullptr));
}

TEST(Storage, RewritesKeepTreeAndTimesAndLogEveryFailure) {
    katest::TempDir dir;
    katest::ScopedEnv tmp(L"TMP", dir.path());
    std::wstring doc = dir.File(L"Structured Document.doc"), copy = dir.File(L"copy.doc");
    MakeDocument(doc);
    const FILETIME old[3] = {{1, 0x01c00000}, {2, 0x01c10000}, {3, 0x01c20000}};
    std::string before = Stamp(doc, old);  // Wine has no creation time of its own
    ProcessLog::NewLines();
    ASSERT_TRUE(Fs()->CopyStorage(doc.c_str(), copy.c_str()));
    std::string after = Stamp(copy);  // before reading it, which moves its last access on
    EXPECT_EQ(after.substr(0, 24), before.substr(0, 24));
    EXPECT_NE(after, before) << "the deleted stream's sectors are gone";
    EXPECT_TRUE(HoldsDeepest(copy));

    // Onto itself as the same pointer and as its short name in lower case: not
    // recognised, the target could not be made while the source is open.
    wchar_t shortName[MAX_PATH];
    ASSERT_TRUE(::GetShortPathNameW(doc.c_str(), shortName, MAX_PATH) && doc != shortName);
    for (const std::wstring& same : {doc, std::wstring(::CharLowerW(shortName))}) {
        Stamp(doc, old);
        ASSERT_TRUE(same == doc ? Fs()->RewriteStorage(doc.c_str())
                                : Fs()->CopyStorage(doc.c_str(), same.c_str()));
        EXPECT_EQ(Stamp(doc), after) << katest::Narrow(same);
        EXPECT_TRUE(HoldsDeepest(doc));
    }
    EXPECT_TRUE(ProcessLog::NewLines().empty());

    std::wstring plain = dir.File(L"plain.txt"), nowhere = dir.File(L"no\\such.doc");
    ASSERT_TRUE(katest::WriteFileBytes(plain, ""));
    EXPECT_FALSE(KA_ANY(Fs()->CopyStorage(nullptr, copy.c_str()),
                        Fs()->CopyStorage(doc.c_str(), nullptr),
                        Fs()->CopyStorage(nowhere.c_str(), doc.c_str()),
                        Fs()->CopyStorage(plain.c_str(), dir.File(L"none.doc").c_str()),
                        Fs()->CopyStorage(doc.c_str(), nowhere.c_str())));
    katest::ScopedEnv noTemp(L"TMP", plain + L"\\sub");  // no temporary directory there
    EXPECT_FALSE(Fs()->RewriteStorage(doc.c_str()));
    std::vector<std::string> lines = ProcessLog::NewLines();
    ASSERT_EQ(lines.size(), 8u);
    lines.erase(lines.begin() + 5, lines.begin() + 7);  // the temporary directory's own two
    EXPECT_EQ(lines, (std::vector<std::string>{
                         Error(L"The 1st argument is null."), Error(L"The 2nd argument is null."),
                         Error(L"Source file not found: " + nowhere),
                         Error(L"Failed to open a structured storage to read: " + plain),
                         Error(L"Failed to open a structured storage to write: " + nowhere),
                         Error(L"Failed to create a temporary directory.")}));
    EXPECT_TRUE(KA_ALL(HoldsDeepest(doc), !Fs()->PathExists(dir.File(L"none.doc").c_str())))
        << "the source as it was; no target made for a source that is no document";
    EXPECT_TRUE(::RemoveDirectoryW(dir.File(L"kav_qmt_tmp").c_str())) << "empty: nothing left";
}

TEST(Shell, OneWindowPerFolderWithItsFiles) {
    katest::TempDir dir;
    std::wstring a = L"pick_a_" + std::to_wstring(::GetCurrentProcessId()), b = a + L"b";
    std::wstring paths[] = {dir.File(a + L"\\1.txt"), dir.File(b + L"\\3.txt"),
                            dir.File(a + L"\\2.txt")};
    const wchar_t* items[] = {paths[0].c_str(), paths[1].c_str(), paths[2].c_str(), nullptr};
    for (const std::wstring& path : paths) {
        ::CreateDirectoryW(path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
        ASSERT_TRUE(katest::WriteFileBytes(path, ""));
    }
    EXPECT_FALSE(KA_ANY(Fs()->OpenFolderAndSelect(nullptr), Fs()->OpenFolderAndSelect(items + 3)));
    // Measured: a second call adds no handle to those of the first.
    katest::AllowHandleGrowth("the shell keeps what its first folder window set up", 8);
    ASSERT_TRUE(Fs()->OpenFolderAndSelect(items));
    // Wine titles folder windows by the folder's name; a second one for a would be up by now.
    HWND windows[] = {katest::WaitForWindow(0, a), katest::WaitForWindow(0, b)};
    ::Sleep(1000);
    EXPECT_TRUE(KA_ALL(windows[0] != nullptr, windows[1] != nullptr));
    int forA = 0;
    for (HWND w = nullptr; (w = ::FindWindowExW(nullptr, w, nullptr, a.c_str()));) ++forA;
    EXPECT_EQ(forA, 1) << "one window for the folder of two items";
    for (HWND window : windows) ::PostMessageW(window, WM_CLOSE, 0, 0);
}

}  // namespace

int main(int argc, char** argv);  // from the test support
static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
