// The file-system service through the DLL: path texts, probes, and the file
// and tree operations on real files of every path length, with each message
// checked in the process-wide log file.
#include "frame/win32_util.h"
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using katest::ProcessLog;

KaFileSystem* Fs() { return katest::System()->GetFileSystem(); }

std::wstring Text(bool (KaFileSystem::*op)(const wchar_t*, KaString**), const wchar_t* path) {
    ka::ObjectRef<KaString> out;
    return (Fs()->*op)(path, out.put()) ? out->GetText() : L"<false>";
}

std::string Tagged(const std::string& text) { return "[ERROR]     : " + text; }

// What a message holding line breaks looks like once written in text mode
// and read back line by line.
std::vector<std::string> AsLogged(const std::string& message) {
    std::string onDisk;
    for (char c : message) onDisk += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = onDisk.find("\r\n", start)) != std::string::npos) {
        lines.push_back(onDisk.substr(start, end - start));
        start = end + 2;
    }
    lines.push_back(onDisk.substr(start));
    return lines;
}

std::string N(const std::wstring& s) { return katest::Narrow(s); }

void WriteFile(const std::wstring& path, const std::string& bytes) {
    ASSERT_TRUE(katest::WriteFileBytes(path, bytes)) << katest::Win32Error();
}

std::string ReadFile(const std::wstring& path) {
    return katest::ReadFileBytes(path.size() >= 260 ? L"\\\\?\\" + path : path);
}

// A file path of exactly `length` characters below `base`, with its
// directories created (through the long form).
std::wstring PathOfLength(const std::wstring& base, size_t length) {
    std::wstring path = base;
    while (length - path.size() > 150) {
        path += L"\\" + std::wstring(100, L'd');
        ::CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr);
    }
    path += L"\\" + std::wstring(length - path.size() - 5, L'f') + L".txt";
    return path;
}

TEST(Path, ParentAndFileName) {
    EXPECT_EQ(Text(&KaFileSystem::GetParentPath, L"C:\\a\\b\\"), L"C:\\a");
    EXPECT_EQ(Text(&KaFileSystem::GetParentPath, L"file.txt"), L".");
    EXPECT_EQ(Text(&KaFileSystem::GetParentPath, L"C:\\"), L".");
    EXPECT_EQ(Text(&KaFileSystem::GetParentPath, L"C:\\dir"), L"C:");
    EXPECT_EQ(Text(&KaFileSystem::GetParentPath, L"\\name"), L"");
    EXPECT_EQ(Text(&KaFileSystem::GetFileName, L"C:\\a\\b.txt"), L"b.txt");
    EXPECT_EQ(Text(&KaFileSystem::GetFileName, L"C:\\a\\dir\\"), L"dir");
    EXPECT_EQ(Text(&KaFileSystem::GetFileName, L"name\\"), L"name\\");
    EXPECT_EQ(Text(&KaFileSystem::GetFileName, L"a/b"), L"a/b") << "only backslashes separate";
    ProcessLog::NewLines();
    EXPECT_EQ(Text(&KaFileSystem::GetParentPath, L""), L"<false>");
    EXPECT_EQ(Text(&KaFileSystem::GetFileName, L""), L"<false>");
    EXPECT_EQ(ProcessLog::NewLines(), (std::vector<std::string>{Tagged("Input path is empty."),
                                                                Tagged("Input path is empty.")}));
    EXPECT_EQ(Text(&KaFileSystem::GetFileName, nullptr), L"<false>");
    EXPECT_FALSE(Fs()->GetParentPath(L"C:\\a", nullptr));
    EXPECT_TRUE(ProcessLog::NewLines().empty()) << "null arguments are not logged";
}

TEST(Path, ExistenceProbes) {
    katest::TempDir dir;
    std::wstring file = dir.File(L"probe.txt");
    WriteFile(file, "x");
    EXPECT_TRUE(Fs()->DirectoryExists(L"C:\\"));
    EXPECT_TRUE(Fs()->FileExists(file.c_str()));
    EXPECT_FALSE(Fs()->DirectoryExists(file.c_str()));
    EXPECT_TRUE(Fs()->PathExists(file.c_str()));
    EXPECT_FALSE(Fs()->FileExists(dir.path().c_str()));
    EXPECT_TRUE(Fs()->DirectoryExists((dir.path() + L"\\\\\\").c_str()));
    EXPECT_FALSE(Fs()->PathExists(L"\\\\"));
    EXPECT_FALSE(Fs()->PathExists(L""));
    EXPECT_FALSE(Fs()->PathExists(nullptr));
    EXPECT_FALSE(Fs()->PathExists(dir.File(L"missing").c_str()));
}

TEST(Files, EveryPathLength) {
    katest::TempDir dir;
    for (size_t length : {size_t(259), size_t(260), size_t(320)}) {
        SCOPED_TRACE(length);
        std::wstring source = PathOfLength(dir.path(), length);
        ASSERT_EQ(source.size(), length);
        std::wstring copy = source.substr(0, source.size() - 5) + L".cpy";
        std::wstring moved = source.substr(0, source.size() - 5) + L".mov";
        std::string payload = "payload " + std::to_string(length);
        WriteFile(source, payload);
        EXPECT_TRUE(Fs()->FileExists(source.c_str()));
        EXPECT_TRUE(Fs()->Copy(source.c_str(), copy.c_str()));
        EXPECT_EQ(ReadFile(copy), payload);
        EXPECT_TRUE(Fs()->Move(copy.c_str(), moved.c_str()));
        EXPECT_FALSE(Fs()->PathExists(copy.c_str()));
        EXPECT_EQ(ReadFile(moved), payload);

        std::wstring shortText = Text(&KaFileSystem::GetShortPath, source.c_str());
        EXPECT_NE(shortText.rfind(L"\\\\?\\", 0), 0u) << "no long-path prefix in the answer";
        EXPECT_TRUE(Fs()->FileExists(shortText.c_str())) << N(shortText);

        EXPECT_TRUE(Fs()->Delete(source.c_str()));
        EXPECT_TRUE(Fs()->Delete(moved.c_str()));
        EXPECT_FALSE(Fs()->PathExists(source.c_str()));
        EXPECT_FALSE(Fs()->PathExists(moved.c_str()));
    }
    EXPECT_EQ(Text(&KaFileSystem::GetShortPath, dir.File(L"missing").c_str()), L"<false>");
    EXPECT_TRUE(Fs()->Delete(dir.File(L"d").c_str()));
}

TEST(Files, MoveRules) {
    katest::TempDir dir;
    std::wstring a = dir.File(L"a.txt"), b = dir.File(L"b.txt"), sub = dir.File(L"sub");
    WriteFile(a, "A");
    ProcessLog::NewLines();
    std::wstring upper = dir.path() + L"\\A.TXT";
    EXPECT_TRUE(Fs()->Move(a.c_str(), upper.c_str())) << "the same file in another case";
    EXPECT_EQ(ReadFile(a), "A");

    WriteFile(b, "B");
    EXPECT_TRUE(Fs()->Move(a.c_str(), b.c_str())) << "onto an existing file: replaced";
    EXPECT_EQ(ReadFile(b), "A");
    EXPECT_FALSE(Fs()->PathExists(a.c_str()));

    ASSERT_TRUE(::CreateDirectoryW(sub.c_str(), nullptr));
    EXPECT_TRUE(Fs()->Move(b.c_str(), sub.c_str())) << "into a directory: keeps its name";
    EXPECT_EQ(ReadFile(sub + L"\\b.txt"), "A");

    // Into a directory that already holds that name: the move fails, the
    // source stays as it was, and the system's reason is logged.
    WriteFile(b, "again");
    EXPECT_FALSE(Fs()->Move(b.c_str(), sub.c_str()));
    EXPECT_EQ(ReadFile(b), "again");
    EXPECT_EQ(ReadFile(sub + L"\\b.txt"), "A");
    std::string reason = N(ka::SystemErrorText(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(ProcessLog::NewLines() == AsLogged(Tagged("Failed to move file. " + reason + ": " +
                                                          N(b) + " => " + N(sub + L"\\b.txt"))));

    EXPECT_FALSE(Fs()->Move(sub.c_str(), dir.File(L"elsewhere").c_str()));
    EXPECT_FALSE(Fs()->Move(dir.File(L"missing").c_str(), b.c_str()));
    EXPECT_EQ(
        ProcessLog::NewLines(),
        (std::vector<std::string>{Tagged("Source file not found: " + N(sub)),
                                  Tagged("Source file not found: " + N(dir.File(L"missing")))}));
    EXPECT_TRUE(Fs()->DirectoryExists(sub.c_str())) << "a directory is never moved";

    // A destination another process holds open without sharing cannot be
    // replaced: nothing is lost.
    std::wstring locked = dir.File(L"locked.txt");
    WriteFile(locked, "L");
    ka::UniqueFile hold(
        ::CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(hold);
    EXPECT_FALSE(Fs()->Move(b.c_str(), locked.c_str()));
    EXPECT_FALSE(Fs()->Copy(b.c_str(), locked.c_str()));
    hold.reset();
    EXPECT_EQ(ReadFile(b), "again");
    EXPECT_EQ(ReadFile(locked), "L");
    EXPECT_EQ(ProcessLog::NewLines(),
              std::vector<std::string>{Tagged("Could not overwrite existing file: " + N(locked))});
    EXPECT_FALSE(Fs()->Move(nullptr, b.c_str()));
    EXPECT_TRUE(ProcessLog::NewLines().empty());
}

TEST(Files, CopyAndDeleteTrees) {
    katest::TempDir dir;
    std::wstring tree = dir.File(L"tree");
    ASSERT_TRUE(Fs()->CreateDirectories((tree + L"\\one\\two").c_str()));
    WriteFile(tree + L"\\top.txt", "top");
    WriteFile(tree + L"\\one\\two\\deep.txt", "deep");

    std::wstring copy = dir.File(L"copy");
    EXPECT_TRUE(Fs()->Copy(tree.c_str(), copy.c_str())) << "to a new name";
    EXPECT_EQ(ReadFile(copy + L"\\one\\two\\deep.txt"), "deep");
    EXPECT_TRUE(Fs()->Copy(tree.c_str(), copy.c_str())) << "onto an existing directory";
    EXPECT_EQ(ReadFile(copy + L"\\tree\\top.txt"), "top") << "placed inside it";

    WriteFile(dir.File(L"f.txt"), "new");
    WriteFile(dir.File(L"g.txt"), "old");
    EXPECT_TRUE(Fs()->Copy(dir.File(L"f.txt").c_str(), dir.File(L"g.txt").c_str()));
    EXPECT_EQ(ReadFile(dir.File(L"g.txt")), "new") << "an existing file is overwritten";
    EXPECT_FALSE(Fs()->Copy(dir.File(L"missing").c_str(), copy.c_str()));
    EXPECT_FALSE(Fs()->Copy(nullptr, copy.c_str()));

    EXPECT_TRUE(Fs()->Delete(copy.c_str()));
    EXPECT_FALSE(Fs()->PathExists(copy.c_str()));
    EXPECT_TRUE(Fs()->PathExists(tree.c_str())) << "only the named tree goes";
    EXPECT_TRUE(Fs()->Delete(dir.File(L"missing").c_str()));
    EXPECT_TRUE(Fs()->Delete(nullptr));
    EXPECT_TRUE(Fs()->Delete(L""));

    // A tree whose path is far beyond MAX_PATH goes through its short form.
    std::wstring deepFile = PathOfLength(tree, 420);
    WriteFile(deepFile, "far");
    std::wstring deepDir = deepFile.substr(0, deepFile.rfind(L'\\'));
    ASSERT_GT(deepDir.size(), 260u);
    ProcessLog::NewLines();
    EXPECT_TRUE(Fs()->Delete(deepDir.c_str()));
    EXPECT_FALSE(Fs()->PathExists(deepFile.c_str()));
    EXPECT_TRUE(Fs()->Delete(tree.c_str()));
    EXPECT_FALSE(Fs()->PathExists(tree.c_str()));
    EXPECT_TRUE(ProcessLog::NewLines().empty());
}

TEST(Files, CreateDirectories) {
    katest::TempDir dir;
    std::wstring a = dir.File(L"a");
    ASSERT_TRUE(::CreateDirectoryW(a.c_str(), nullptr));
    EXPECT_TRUE(Fs()->CreateDirectories(a.c_str())) << "an existing directory";
    EXPECT_TRUE(Fs()->CreateDirectories((a + L"\\b\\c\\\\").c_str()));
    EXPECT_TRUE(Fs()->DirectoryExists((a + L"\\b\\c").c_str()));

    ProcessLog::NewLines();
    EXPECT_FALSE(Fs()->CreateDirectories((a + L"\\x\\\\y").c_str()));
    EXPECT_FALSE(Fs()->PathExists((a + L"\\x").c_str())) << "the split fails before any creation";
    EXPECT_FALSE(Fs()->CreateDirectories(L""));
    EXPECT_FALSE(Fs()->CreateDirectories(nullptr));
    EXPECT_TRUE(Fs()->CreateDirectories(L"\\\\\\")) << "backslashes only: no component to make";
    EXPECT_EQ(ProcessLog::NewLines(),
              (std::vector<std::string>{"[ERROR]     : Detected empty path component.",
                                        "[ERROR]     : Input path is empty.",
                                        "[ERROR]     : Input path is empty."}));

    WriteFile(a + L"\\file", "x");
    EXPECT_FALSE(Fs()->CreateDirectories((a + L"\\file\\sub").c_str()))
        << "a component that is a file";
}

}  // namespace

int main(int argc, char** argv);  // from the test support
static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
