// The logger through the DLL, checked line by line in the real log file.
// The process-wide logger is configured from the environment once per
// process, so its cases run in children of this executable.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using katest::ReadLines;
using Lines = std::vector<std::string>;

// A private logger on `path`.
struct OwnLogger : ka::ObjectRef<KaLog> {
    explicit OwnLogger(const std::wstring& path) {
        EXPECT_TRUE(katest::System()->CreateLogger(path.c_str(), put()));
    }
};

// Each Logger test starts with a private logger on a fresh file.
class Logger : public ::testing::Test {
protected:
    katest::TempDir dir;
    std::wstring file = dir.File(L"test.log");
    OwnLogger log{file};
};

std::string Last(const std::wstring& file) {
    auto lines = ReadLines(file);
    return lines.empty() ? "<no line>" : lines.back();
}

const std::string kEnd = "[STATUS]    : Log session terminated.";

TEST_F(Logger, TagsPaddingAndThresholds) {
    log->Write(LogCategory::ERROR, 0, "x");
    log->Write(LogCategory::INFO, 1, "dropped: above the default threshold 0");
    log->Write(LogCategory::STATUS, 0, nullptr);
    log->Write(static_cast<LogCategory>(7), 0, "seven");
    log->SetLevel(6);
    EXPECT_EQ(log->GetLevel(), 6);
    log->Write(LogCategory::WARNING, 4, "braces from level 4");
    log->Write(LogCategory::FATAL, 3, "brackets up to 3");
    log->Write(LogCategory::INFO, 7, "dropped");
    log->SetLevel(-5);
    EXPECT_EQ(log->GetLevel(), 0);
    log->SetTagWidth(-1);
    log->Write(LogCategory::ERROR, 0, "width 0");
    log->SetTagWidth(20);
    log->Write(LogCategory::ERROR, 0, "width 20");
    log.reset();
    EXPECT_EQ(ReadLines(file),
              (Lines{"[ERROR]     : x", "[STATUS]    : ", "[ERROR]     : seven",
                     "{WARNING}   : braces from level 4", "[FATAL]     : brackets up to 3",
                     "[ERROR] : width 0", "[ERROR]             : width 20",
                     "[STATUS]            : Log session terminated."}));
}

TEST_F(Logger, DecorationsContextAndLineValues) {
    log->SetOptions(2 | 1 | 8);  // timestamp; other bits ignored
    log->Write(LogCategory::INFO, 0, "t");
    EXPECT_TRUE(std::regex_match(Last(file),
                                 std::regex("\\[INFO\\]      : t\\t\\(time:\\d{4}/\\d{2}/\\d{2} "
                                            "\\d{2}:\\d{2}:\\d{2}\\ttick:\\d+\\)")))
        << Last(file);
    log->SetOptions(0);

    EXPECT_TRUE(log->SetContextValue(L"job", L"A"));
    EXPECT_TRUE(log->SetLineValue(L"step", L"2"));
    log->Write(LogCategory::INFO, 0, "one");
    EXPECT_EQ(Last(file), "[INFO]      : one\t(job:A\tstep:2)");
    log->Write(LogCategory::INFO, 0, "two");
    EXPECT_EQ(Last(file), "[INFO]      : two\t(job:A)") << "line values are used once";
    EXPECT_TRUE(log->SetContextValue(L"job", L"B"));
    EXPECT_TRUE(log->SetContextValue(L"k\u00FC", L"\u20AC"));
    log->Write(LogCategory::INFO, 0, "three");
    EXPECT_EQ(Last(file), "[INFO]      : three\t(job:B\tk\xC3\xBC:\xE2\x82\xAC)");
    EXPECT_TRUE(log->SetContextValue(L"job", L""));
    EXPECT_TRUE(log->SetContextValue(L"k\u00FC", nullptr));
    log->Write(LogCategory::INFO, 0, "four");
    EXPECT_EQ(Last(file), "[INFO]      : four") << "removing every value ends decoration";
    EXPECT_FALSE(log->SetContextValue(nullptr, L"v"));

    // Keys hold 63 UTF-8 bytes, values 255; longer ones change nothing.
    EXPECT_TRUE(log->SetLineValue(std::wstring(63, L'k').c_str(), L"v"));
    EXPECT_FALSE(log->SetLineValue(std::wstring(64, L'k').c_str(), L"v"));
    EXPECT_FALSE(log->SetLineValue(L"long", std::wstring(256, L'v').c_str()));
    EXPECT_TRUE(log->SetLineValue(L"edge", std::wstring(255, L'v').c_str()));
    log->Write(LogCategory::INFO, 0, "five");
    // Each pair is formatted in a 256-byte piece first, so this one is cut
    // to 255 bytes (its tab included).
    EXPECT_EQ(Last(file),
              "[INFO]      : five\t(edge:" + std::string(250, 'v') + std::string(63, 'k') + ":v)");
}

TEST_F(Logger, OverflowDropsTheDecorationButKeepsLineValues) {
    log->SetContextValue(L"ctx", L"value");
    log->SetLineValue(L"kept", L"1");
    std::string text(2030, 'a');  // the tagged text fits, "\t(ctx:value\t" does not
    log->Write(LogCategory::INFO, 0, text.c_str());
    EXPECT_EQ(Last(file), "[INFO]      : " + text);
    log->Write(LogCategory::INFO, 0, "next");
    EXPECT_EQ(Last(file), "[INFO]      : next\t(ctx:value\tkept:1)");

    // A line value that does not fit is cut at the buffer's end and closed.
    std::string fits(2047 - 14 - 12 - 4, 'b');  // leaves room for "\t(ctx:value\t" and 4 bytes
    log->SetLineValue(L"cut", L"123456789");
    log->Write(LogCategory::INFO, 0, fits.c_str());
    EXPECT_EQ(Last(file), "[INFO]      : " + fits + "\t(ctx:value\tcut)");
    log->Write(LogCategory::INFO, 0, "after");
    EXPECT_EQ(Last(file), "[INFO]      : after\t(ctx:value)") << "the cut values were removed";

    // Text longer than the line buffer is cut at 2047 bytes.
    log->SetContextValue(L"ctx", nullptr);
    log->Write(LogCategory::INFO, 0, std::string(5000, 'c').c_str());
    EXPECT_EQ(Last(file), "[INFO]      : " + std::string(2047 - 14, 'c'));
}

TEST_F(Logger, WideTextFormatsAndRawLines) {
    log->WriteW(LogCategory::INFO, 0, L"Z\u00FCrich \u20AC \U0001F600");
    EXPECT_EQ(Last(file), "[INFO]      : Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x98\x80");
    log->PrintfW(LogCategory::WARNING, 0, L"%s has %d items (%Iu bytes)", L"K\u00F6rbli", 3,
                 size_t(4096));
    EXPECT_EQ(Last(file), "[WARNING]   : K\xC3\xB6rbli has 3 items (4096 bytes)");
    log->Printf(LogCategory::ERROR, 0, "%s=%Iu", "narrow", size_t(7));
    EXPECT_EQ(Last(file), "[ERROR]     : narrow=7");
    log->PrintfRawW(0, L"raw %s", L"w\u00E4");
    EXPECT_EQ(Last(file), "raw w\xC3\xA4");
    log->WriteRaw(0, "untagged");
    log->WriteRaw(1, "dropped");
    log->WriteRawW(1, L"dropped");
    log->Printf(LogCategory::ERROR, 1, "dropped %s", "too");
    EXPECT_EQ(Last(file), "untagged");

    // Unpaired surrogates reach the line as U+FFFD; nothing else is lost.
    const wchar_t broken[] = {L'a', 0xD800, L'b', 0xDC00, L'c', 0};
    log->WriteW(LogCategory::INFO, 0, broken);
    EXPECT_EQ(Last(file),
              "[INFO]      : a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD"
              "c");
    // Wide text beyond the 2047 bytes of a line is cut at a character
    // boundary, also where a surrogate pair or a multi-byte character would
    // be split (the tagged line is then cut by its own buffer, byte-wise).
    const std::wstring pair = L"\U0001F600";
    for (const std::wstring& text :
         {std::wstring(1500, L'\u00E4'), std::wstring(1022, L'\u00E4') + pair + L"\u00F6\u00F6",
          std::wstring(2046, L'a') + pair + L"b"}) {
        std::string full = katest::Narrow(text);
        size_t cut = 2047;
        while ((full[cut] & 0xC0) == 0x80) --cut;  // back to the start of a character
        log->WriteRawW(0, text.c_str());
        EXPECT_EQ(Last(file), full.substr(0, cut)) << "the longest whole-character prefix";
    }
    log->WriteW(LogCategory::INFO, 0, std::wstring(1500, L'\u00E4').c_str());
    EXPECT_EQ(Last(file).size(), 2047u);
}

TEST_F(Logger, OpenCloseAndReopen) {
    std::wstring second = dir.File(L"second.log");
    wchar_t path[512];
    ASSERT_TRUE(log->GetFilePath(path));
    EXPECT_EQ(std::wstring(path), file);
    log->Write(LogCategory::INFO, 0, "to first");
    EXPECT_TRUE(log->Open(nullptr));
    EXPECT_FALSE(log->GetFilePath(path)) << "closed";
    log->Write(LogCategory::INFO, 0, "nowhere");
    EXPECT_TRUE(log->Open(second.c_str()));
    log->Write(LogCategory::INFO, 0, "to second");
    EXPECT_FALSE(log->Open(dir.path().c_str())) << "a directory cannot be opened";
    EXPECT_FALSE(log->GetFilePath(path));
    EXPECT_EQ(ReadLines(file), Lines{"[INFO]      : to first"});

    // Another logger on the same file appends while the first has it open.
    EXPECT_TRUE(log->Open(second.c_str()));
    OwnLogger(second)->Write(LogCategory::INFO, 0, "from other");
    log->Write(LogCategory::INFO, 0, "again");
    EXPECT_EQ(ReadLines(second), (Lines{"[INFO]      : to second", "[INFO]      : from other", kEnd,
                                        "[INFO]      : again"}));

    // A logger on a file that cannot be opened is still handed out.
    OwnLogger nowhere(dir.path());
    ASSERT_TRUE(nowhere);
    EXPECT_FALSE(nowhere->GetFilePath(path));
    nowhere->Write(LogCategory::ERROR, 0, "goes nowhere");
}

// Four threads write while a fifth moves the logger between two files 1,000 times: no
// crash, and every line that arrived is whole.
TEST_F(Logger, ReopenWhileOtherThreadsWrite) {
    std::wstring files[] = {file, dir.File(L"other.log")};
    std::atomic<bool> done{false};
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&, w] {
            for (int n = 0; !done; ++n) log->Printf(LogCategory::INFO, 0, "w%d n%d end", w, n);
        });
    }
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(log->Open(files[i % 2].c_str())) << i;
    done = true;
    for (std::thread& t : writers) t.join();
    const std::regex whole(R"((\d+> )?\[INFO\]      : w[0-3] n\d+ end)");
    size_t lines = 0;
    for (const std::wstring& f : files) {
        for (const std::string& line : ReadLines(f)) {
            ++lines;
            EXPECT_TRUE(std::regex_match(line, whole) || line == kEnd) << "torn: " << line;
        }
    }
    EXPECT_GT(lines, 0u) << "the writers wrote while the files changed";
}

TEST(ProcessLogger, OneInstanceThatIsNotCounted) {
    KaLog* shared = katest::System()->GetLogger();
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(katest::System()->GetLogger(), shared);
    shared->AddRef();
    EXPECT_EQ(shared->GetRefCount(), 1);
    EXPECT_EQ(shared->Release(), 1);
    EXPECT_EQ(shared->Release(), 1);
    shared->Write(LogCategory::INFO, 0, "still alive");
}

// Writes lines at levels 0 to 3 through the process-wide logger and exits;
// the module's shut-down adds the termination line.
KA_CHILD_MODE(process_logger) {
    KaSystem* system = katest::System();
    for (int level = 0; level <= 3; ++level) {
        system->GetLogger()->Printf(LogCategory::INFO, level, "level %d", level);
    }
    system->Uninitialize();  // the shut-down still writes its last line
    return katest::kChildOk;
}

TEST(ProcessLogger, FollowsTheEnvironment) {
    katest::TempDir dir;
    std::wstring file = dir.File(L"process.log");
    const std::pair<std::wstring, int> levels[] = {
        {L"2", 3}, {L"  +1xyz", 2}, {L"abc", 1}, {std::wstring(1024, L'3'), 1}, {L"-1", -1}};
    for (const auto& [level, written] : levels) {
        SCOPED_TRACE(katest::Narrow(level.substr(0, 8)));
        ::DeleteFileW(file.c_str());
        ASSERT_EQ(katest::RunChild("process_logger", L"",
                                   {{L"KAV_QMT_LOG_FILE", file}, {L"KAV_QMT_LOG_LEVEL", level}}),
                  katest::kChildOk);
        Lines expected;
        for (int i = 0; i < written; ++i) {
            expected.push_back("[INFO]      : level " + std::to_string(i));
        }
        if (written > 0) expected.push_back(kEnd);  // a negative threshold silences everything
        EXPECT_EQ(ReadLines(file), expected);
    }

    ::DeleteFileW(file.c_str());
    ASSERT_EQ(katest::RunChild("process_logger", L"",
                               {{L"KAV_QMT_LOG_FILE", file}, {L"KAV_QMT_LOG_TIMESTAMP", L"1"}}),
              katest::kChildOk);
    Lines lines = ReadLines(file);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("level 0\t(time:"), std::string::npos) << lines[0];

    // Without a usable file name the logger stays closed (and nothing overflows).
    for (const std::wstring& name : {dir.File(std::wstring(1030, L'x')), std::wstring()}) {
        EXPECT_EQ(katest::RunChild("process_logger", L"", {{L"KAV_QMT_LOG_FILE", name}}),
                  katest::kChildOk);
    }
}

bool ConsoleUsable() {
    ka::UniqueFile out(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                     nullptr));
    CONSOLE_SCREEN_BUFFER_INFO info;
    return out && ::GetConsoleScreenBufferInfo(out.get(), &info);
}

// args: "create" (started without a console: the logger makes one) or
// "inherit" (started with a console of its own: the logger must keep it).
KA_CHILD_MODE(console_lines) {
    bool create = args == L"create";
    if (ConsoleUsable() == create) return 2;
    katest::TempDir dir;
    OwnLogger logger(dir.File(L"c.log"));  // released before the directory goes, on every path
    KaLog* log = logger.get();
    if (log == nullptr) return 2;
    wchar_t before[512] = {};
    ::GetConsoleTitleW(before, 512);
    log->ShowConsole(true);
    log->Write(LogCategory::INFO, 0, "first");
    wchar_t title[512] = {};
    ::GetConsoleTitleW(title, 512);
    std::wstring expectedTitle = L"QMT Log Console - pid = " +
                                 std::to_wstring(::GetCurrentProcessId()) + L" - " +
                                 dir.File(L"c.log");
    if (create ? expectedTitle != title : std::wstring(before) != title) return 3;
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!::GetConsoleScreenBufferInfo(out, &info)) return 4;
    const WORD base = info.wAttributes;
    struct Row {
        LogCategory category;
        WORD expected;
        const wchar_t* text;
    };
    const Row rows[] = {{LogCategory::WARNING, WORD((base & ~0x7) | 0x60), L"warn"},
                        {LogCategory::ERROR, WORD(base | 0x40), L"err"},
                        {LogCategory::FATAL, base, L"fatal"}};
    for (const Row& row : rows) {
        ::GetConsoleScreenBufferInfo(out, &info);
        COORD at = info.dwCursorPosition;
        log->WriteW(row.category, 0, row.text);
        WORD cell = 0;
        DWORD read = 0;
        ::ReadConsoleOutputAttribute(out, &cell, 1, at, &read);
        wchar_t chars[32] = {};
        ::ReadConsoleOutputCharacterW(out, chars, 31, at, &read);
        if (cell != row.expected) return 10;
        if (std::wstring(chars).find(L" : " + std::wstring(row.text)) == std::wstring::npos) {
            return 11;
        }
        ::GetConsoleScreenBufferInfo(out, &info);
        if (info.wAttributes != base) return 12;
    }
    logger.reset();
    // Only a console the logger created goes away with it.
    return ConsoleUsable() == create ? 13 : katest::kChildOk;
}

TEST(Console, CreatedTitledColouredAndFreedButAnInheritedOneUsedAndKept) {
    for (auto [how, flags] : {std::pair{L"create", DWORD(DETACHED_PROCESS)},
                              std::pair{L"inherit", DWORD(CREATE_NEW_CONSOLE)}}) {
        EXPECT_EQ(katest::RunChild("console_lines", how, {}, 60000, flags), katest::kChildOk)
            << katest::Narrow(how) << " (2: setup, 3: title, 4: no console, 10: colour, "
            << "11: text, 12: not restored, 13: freed though inherited or kept though created)";
    }
}

}  // namespace
