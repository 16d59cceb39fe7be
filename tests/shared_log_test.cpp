// One log file shared by loggers in several processes and threads: every
// spelling of the path leads to one mutex and counter, thread numbers, memory
// figures, a writer that died holding the mutex, and a stress run in which no
// line may be lost, torn, doubled or carry another thread's number.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using Lines = std::vector<std::string>;
using katest::ReadLines;

struct Logger : ka::ObjectRef<KaLog> {
    explicit Logger(const std::wstring& path) {
        EXPECT_TRUE(katest::System()->CreateLogger(path.c_str(), put()));
    }
};

const std::string kEnd = "[STATUS]    : Log session terminated.";

std::wstring ShortPath(const std::wstring& path) {
    wchar_t buffer[MAX_PATH];
    DWORD n = ::GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
    return std::wstring(buffer, n < MAX_PATH ? n : 0);
}

std::wstring Cased(std::wstring text, bool upper) {
    for (wchar_t& c : text) c = upper ? std::towupper(c) : std::towlower(c);
    return text;
}

template <typename Body>
void OnNewThread(Body body) {  // a thread that never wrote before
    std::thread(body).join();
}

// Long names, so that the short and the long form differ.
struct SharedFile {
    katest::TempDir dir;
    std::wstring folder = dir.File(L"Shared Log Folder");
    std::wstring path = folder + L"\\Many Writers.log";
    SharedFile() { ::CreateDirectoryW(folder.c_str(), nullptr); }
};

TEST(SharedLog, NumbersStayWithTheirThreadAndMemoryFigures) {
    SharedFile shared;
    std::wstring other = shared.folder + L"\\Other File.log";
    Logger a(shared.path);
    a->Write(LogCategory::INFO, 0, "one");
    OnNewThread([&] {
        a->Write(LogCategory::INFO, 0, "two");
        a->Open(other.c_str());  // the thread keeps its number on another file
        a->Write(LogCategory::INFO, 0, "two elsewhere");
    });
    a->SetOptions(4);
    a->Write(LogCategory::INFO, 0, "memory");
    EXPECT_EQ(ReadLines(shared.path), (Lines{"[INFO]      : one", "2> [INFO]      : two"}));
    Lines lines = ReadLines(other);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "2> [INFO]      : two elsewhere");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[1], m,
                                 std::regex(R"(\[INFO\]      : memory)"
                                            R"(\t\(wss:(\d+\.\d{6})\tpfu:\d+\.\d{6}\))")))
        << lines[1];
    EXPECT_TRUE(std::stod(m[1]) > 1 && std::stod(m[1]) < 1e5) << "millions of bytes";
}

std::string Line(int process, int thread, int index) {
    char head[32];
    std::snprintf(head, sizeof head, "w%d.%d #%d ", process, thread, index);
    return head + std::string(30 + index % 70, char('a' + thread * 5 + process));
}

void WriteLines(KaLog* log, int process, int threads, int lines) {
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([=] {
            for (int i = 0; i < lines; ++i) {
                log->Write(LogCategory::INFO, 0, Line(process, t, i).c_str());
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
}

constexpr int kChildren = 4, kChildThreads = 3, kChildLines = 2000;
constexpr int kParent = 9, kParentThreads = 4, kParentLines = 5000;

// args: "<process number> <path as this process spells it>".
KA_CHILD_MODE(shared_writer) {
    size_t space = args.find(L' ');
    ka::ObjectRef<KaLog> log;
    wchar_t open[512];
    if (!katest::System()->CreateLogger(args.substr(space + 1).c_str(), log.put()) ||
        !log->GetFilePath(open)) {
        return 2;
    }
    WriteLines(log.get(), std::stoi(args.substr(0, space)), kChildThreads, kChildLines);
    return katest::kChildOk;
}

TEST(SharedLog, ProcessesAndThreadsUnderEverySpellingLoseTearAndMixNothing) {
    SharedFile shared;
    Logger parent(shared.path);  // keeps the counter alive for the whole run
    parent->Write(LogCategory::INFO, 0, "parent");
    std::wstring shortForm = ShortPath(shared.path);
    ASSERT_FALSE(shortForm.empty() || shortForm == shared.path) << "no short form to test with";
    const std::wstring spellings[kChildren] = {shared.path, Cased(shared.path, true), shortForm,
                                               Cased(shortForm, false)};
    std::vector<std::unique_ptr<katest::Child>> children;
    for (int p = 0; p < kChildren; ++p) {
        children.push_back(
            katest::StartChild("shared_writer", std::to_wstring(p) + L" " + spellings[p]));
    }
    WriteLines(parent.get(), kParent, kParentThreads, kParentLines);  // one logger, four threads
    for (auto& child : children) EXPECT_EQ(child->Wait(180000), katest::kChildOk);

    std::unordered_map<std::string, int> writerOf;  // every expected line
    for (int p : {0, 1, 2, 3, kParent}) {
        for (int t = 0; t < (p == kParent ? kParentThreads : kChildThreads); ++t) {
            for (int i = 0; i < (p == kParent ? kParentLines : kChildLines); ++i) {
                writerOf["[INFO]      : " + Line(p, t, i)] = p * 10 + t;
            }
        }
    }
    std::unordered_map<int, std::set<int>> numbersOf;  // writer -> the numbers its lines carry
    Lines unknown;
    int ends = 0;
    for (const std::string& line : ReadLines(shared.path)) {
        size_t digits = line.find_first_not_of("0123456789");
        bool numbered = digits > 0 && digits < line.size() && line.compare(digits, 2, "> ") == 0;
        int number = numbered ? std::stoi(line) : 1;
        std::string body = numbered ? line.substr(digits + 2) : line;
        if (auto found = writerOf.find(body); found != writerOf.end()) {
            numbersOf[found->second].insert(number);
            writerOf.erase(found);
        } else if (body == kEnd && number > 1) {
            ++ends;
        } else if (line != "[INFO]      : parent") {
            unknown.push_back(line);  // torn, doubled or foreign
        }
    }
    EXPECT_TRUE(writerOf.empty()) << writerOf.size() << " lost, e.g. " << writerOf.begin()->first;
    EXPECT_TRUE(unknown.empty()) << unknown.size() << " torn or doubled, e.g. " << unknown[0];
    EXPECT_EQ(ends, kChildren) << "each child's logger ends with a numbered line";
    std::set<int> numbers;
    for (const auto& [writer, its] : numbersOf) {
        EXPECT_EQ(its.size(), 1u) << "writer " << writer << " wrote under several numbers";
        numbers.insert(*its.begin());
    }
    EXPECT_EQ(numbers.size(), numbersOf.size()) << "one number per writing thread";
    EXPECT_GT(*numbers.begin(), 1) << "the parent's first line took number 1";
}

// args: the file's identity. Takes the file's mutex and ends holding it.
KA_CHILD_MODE(die_holding) {
    std::string name = "Mutex_" + std::string(args.begin(), args.end());
    ka::UniqueHandle mutex(::CreateMutexA(nullptr, FALSE, name.c_str()));
    if (!mutex || ::WaitForSingleObject(mutex.get(), 10000) != WAIT_OBJECT_0) return 2;
    (void)mutex.release();  // abandoned at exit, on purpose
    return katest::kChildOk;
}

TEST(SharedLog, AWriterThatDiedHoldingTheMutexBlocksNobody) {
    SharedFile shared;
    Logger a(shared.path);
    a->Write(LogCategory::INFO, 0, "first");
    // The name any process derives from the path: the digest of the
    // upper-cased short path, hashed as UTF-16.
    std::wstring upper = Cased(ShortPath(shared.path), true);
    char id[41] = "";
    katest::System()->GetHasher()->HashBufferText(upper.data(), upper.size() * 2, id);
    EXPECT_TRUE(
        ka::UniqueHandle(::OpenMutexA(SYNCHRONIZE, FALSE, ("Mutex_" + std::string(id)).c_str())));
    EXPECT_TRUE(ka::UniqueHandle(
        ::OpenFileMappingA(FILE_MAP_READ, FALSE, ("RefCount_" + std::string(id)).c_str())));
    ASSERT_EQ(katest::RunChild("die_holding", std::wstring(id, id + 40)), katest::kChildOk);
    OnNewThread([&] { a->Write(LogCategory::INFO, 0, "after the holder died"); });
    Logger b(Cased(upper, false));  // its Open gets the mutex, so it has the counter
    OnNewThread([&] { b->Write(LogCategory::INFO, 0, "b"); });
    EXPECT_EQ(ReadLines(shared.path), (Lines{"[INFO]      : first",
                                             "2> [INFO]      : after the holder died",
                                             "3> [INFO]      : b"}));
}

}  // namespace
