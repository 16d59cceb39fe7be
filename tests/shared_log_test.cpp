// One log file shared by loggers in several processes and threads: every spelling of the
// path leads to one mutex and counter, thread numbers, memory figures, a writer that died
// holding the mutex, and a stress run that may lose, tear, double or mix no line.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using Lines = std::vector<std::string>;
using katest::ReadLines;

ka::ObjectRef<KaLog> OpenLog(const std::wstring& path) {
    ka::ObjectRef<KaLog> log;
    EXPECT_TRUE(katest::System()->CreateLogger(path.c_str(), log.put()));
    return log;
}

// Another spelling of the same file: the short form when asked, in one case.
std::wstring Spelling(const std::wstring& path, bool shortForm, bool upper) {
    wchar_t s[MAX_PATH] = L"";
    std::wstring text = shortForm && ::GetShortPathNameW(path.c_str(), s, MAX_PATH) ? s : path;
    for (wchar_t& c : text) c = upper ? std::towupper(c) : std::towlower(c);
    return text;
}

KA_CHILD_MODE(die_holding) {  // args: the file's identity; ends holding the file's mutex
    ka::UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, (L"Mutex_" + args).c_str()));
    if (!mutex || ::WaitForSingleObject(mutex.get(), 10000) != WAIT_OBJECT_0) return 2;
    (void)mutex.release();  // abandoned at exit, on purpose
    return katest::kChildOk;
}

TEST(SharedLog, NamedObjectsAWriterThatDiedHoldingTheMutexNumbersAndMemoryFigures) {
    katest::TempDir dir;
    std::wstring path = dir.File(L"Many Writers.log"), other = dir.File(L"Other File.log");
    auto a = OpenLog(path);
    a->Write(LogCategory::INFO, 0, "one");
    // The names any process derives from the path: the digest of the
    // upper-cased short path, hashed as UTF-16.
    std::wstring upper = Spelling(path, true, true);
    char id[41] = "";
    katest::System()->GetHasher()->HashBufferText(upper.data(), upper.size() * 2, id);
    std::string mutexName = "Mutex_" + std::string(id), counterName = "RefCount_" + std::string(id);
    EXPECT_TRUE(KA_ALL(
        bool(ka::UniqueHandle(::OpenMutexA(SYNCHRONIZE, FALSE, mutexName.c_str()))),
        bool(ka::UniqueHandle(::OpenFileMappingA(FILE_MAP_READ, FALSE, counterName.c_str())))));
    ASSERT_EQ(katest::RunChild("die_holding", std::wstring(id, id + 40)), katest::kChildOk);
    std::thread([&] { a->Write(LogCategory::INFO, 0, "after the holder died"); }).join();
    auto b = OpenLog(Spelling(path, true, false));  // its Open takes the mutex: the counter
    std::thread([&] { b->Write(LogCategory::INFO, 0, "b"); }).join();

    std::thread([&] {
        a->Write(LogCategory::INFO, 0, "two");
        a->Open(other.c_str());  // the thread keeps its number on another file
        a->Write(LogCategory::INFO, 0, "two elsewhere");
    }).join();
    a->SetOptions(4);
    a->Write(LogCategory::INFO, 0, "memory");
    EXPECT_EQ(ReadLines(path), (Lines{"[INFO]      : one", "2> [INFO]      : after the holder died",
                                      "3> [INFO]      : b", "4> [INFO]      : two"}));
    Lines lines = ReadLines(other);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "4> [INFO]      : two elsewhere");
    std::smatch m;  // the working set in millions of bytes
    std::regex memory(R"(\[INFO\]      : memory\t\(wss:(\d+\.\d{6})\tpfu:\d+\.\d{6}\))");
    EXPECT_TRUE(std::regex_match(lines[1], m, memory) && std::stod(m[1]) > 1 &&
                std::stod(m[1]) < 1e5)
        << lines[1];
}

std::string Line(int process, int thread, int index) {
    char head[32];
    std::snprintf(head, sizeof head, "w%d.%d #%d ", process, thread, index);
    return head + std::string(30 + index % 70, char('a' + thread * 5 + process));
}

void WriteLines(KaLog* log, int process, int threads, int lines) {
    std::vector<std::jthread> writers;  // joined as they go
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([=] {
            for (int i = 0; i < lines; ++i) {
                log->Write(LogCategory::INFO, 0, Line(process, t, i).c_str());
            }
        });
    }
}

constexpr int kChildren = 4, kChildThreads = 3, kChildLines = 2000;
constexpr int kParent = 9, kParentThreads = 4, kParentLines = 5000;

// args: "<process number> <path as this process spells it>".
KA_CHILD_MODE(shared_writer) {
    size_t space = args.find(L' ');
    auto log = OpenLog(args.substr(space + 1));
    wchar_t open[512];
    if (!log || !log->GetFilePath(open)) return 2;
    WriteLines(log.get(), std::stoi(args.substr(0, space)), kChildThreads, kChildLines);
    return katest::kChildOk;
}

TEST(SharedLog, ProcessesAndThreadsUnderEverySpellingLoseTearAndMixNothing) {
    katest::TempDir dir;
    std::wstring path = dir.File(L"Many Writers.log");
    auto parent = OpenLog(path);  // keeps the counter alive for the whole run
    parent->Write(LogCategory::INFO, 0, "parent");
    ASSERT_NE(Spelling(path, true, false), Spelling(path, false, false)) << "no short form";
    std::vector<std::unique_ptr<katest::Child>> children;
    for (int p = 0; p < kChildren; ++p) {
        std::wstring spelling = p == 0 ? path : Spelling(path, p > 1, p != 3);
        children.push_back(
            katest::StartChild("shared_writer", std::to_wstring(p) + L" " + spelling));
    }
    WriteLines(parent.get(), kParent, kParentThreads, kParentLines);  // one logger, four threads
    for (auto& child : children) EXPECT_EQ(child->Wait(180000), katest::kChildOk);

    std::set<std::tuple<int, int, int>> seen;  // process, thread, line index
    std::map<int, int> numberOf;               // writer -> the number its first line carried
    int ends = 0, unknown = 0, mixed = 0;
    std::string example;
    for (const std::string& line : ReadLines(path)) {
        int number = 1, head = 0, p = 0, t = 0, i = 0;
        std::sscanf(line.c_str(), "%d> %n", &number, &head);
        std::string body = line.substr(head);
        bool whole = std::sscanf(body.c_str(), "[INFO]      : w%d.%d #%d", &p, &t, &i) == 3 &&
                     body == "[INFO]      : " + Line(p, t, i) && seen.emplace(p, t, i).second;
        if (whole) {
            mixed += numberOf.emplace(p * 10 + t, number).first->second != number;
        } else if (body == "[STATUS]    : Log session terminated." && number > 1) {
            ++ends;
        } else if (line != "[INFO]      : parent") {
            example = line;  // torn, doubled or foreign
            ++unknown;
        }
    }
    EXPECT_EQ(seen.size(),
              size_t(kChildren * kChildThreads * kChildLines + kParentThreads * kParentLines))
        << "lines lost";
    EXPECT_EQ(unknown, 0) << "torn or doubled, e.g. " << example;
    EXPECT_EQ(mixed, 0) << "lines under another number than their writer's";
    EXPECT_EQ(ends, kChildren) << "each child's logger ends with a numbered line";
    std::set<int> numbers;
    for (auto [writer, number] : numberOf) numbers.insert(number);
    EXPECT_EQ(numbers.size(), size_t(kChildren * kChildThreads + kParentThreads))
        << "one number per writing thread";
    EXPECT_TRUE(!numbers.empty() && *numbers.begin() > 1) << "the parent's first line took 1";
}

}  // namespace
