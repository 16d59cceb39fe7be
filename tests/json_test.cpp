// KaJson through the DLL: the cursor and editing rules with their messages,
// generated bad input checked against RapidJSON's own recursive reader and
// writer, documents too deep for any recursion, and `kahost json`.
#include "data/json_rapid.h"
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using katest::ProcessLog;

ka::ObjectRef<KaJson> NewJson(const char* text = nullptr) {
    ka::ObjectRef<KaJson> json;
    EXPECT_TRUE(katest::System()->CreateJsonDocument(json.put()));
    if (json && text != nullptr) json->Parse(text);
    return json;
}

const std::string kVisitMember =
    "[ERROR]     : KaJson::VisitMember: Error in traversing JSON DOM tree: ";
const std::string kVisitAt = "[ERROR]     : KaJson::VisitAt: Failed to traverse JSON DOM tree: ";

// Collects "name=value" per member; true (stop) for an array value.
bool Collect(const char* name, KaJson* json, uintptr_t context) {
    reinterpret_cast<std::vector<std::string>*>(context)->push_back(std::string(name) + "=" +
                                                                    json->Write());
    return json->IsArray();
}

TEST(Json, CursorMovesAndLogs) {
    auto json = NewJson(R"({"a":[1,2],"b":{"c":true}})");
    ASSERT_TRUE(json);
    EXPECT_FALSE(katest::System()->CreateJsonDocument(nullptr));
    ProcessLog::NewLines();
    ASSERT_EQ(json->VisitMember("a")->VisitAt(1), json.get());
    EXPECT_EQ(json->GetInt(), 2);
    EXPECT_EQ(json->GetDepth(), 3u);
    EXPECT_TRUE(KA_ALL(json->BackToRoot(), json->IsAtRoot()));
    EXPECT_FALSE(json->BackToRoot());
    EXPECT_EQ(json->VisitMember("zz"), nullptr);
    EXPECT_TRUE(ProcessLog::NewLines().empty()) << "a missing member is not an error";

    EXPECT_EQ(json->VisitMember(nullptr), nullptr);
    json->VisitMember("a");
    EXPECT_EQ(json->VisitAt(2), nullptr);
    EXPECT_EQ(json->VisitMember("a"), nullptr);
    json->Back();
    EXPECT_EQ(json->VisitAt(0), nullptr);
    EXPECT_EQ(json->GetDepth(), 1u) << "a refused visit does not move the cursor";
    EXPECT_EQ(ProcessLog::NewLines(),
              (std::vector<std::string>{kVisitMember + "Member is null", kVisitAt + "Out of bounds",
                                        kVisitMember + "Value is not an Object",
                                        kVisitAt + "Value is not an Array"}));

    json->VisitMember("b")->VisitMember("c");
    EXPECT_TRUE(KA_ALL(json->Back(5), json->IsAtRoot(), json->Back(), json->IsAtRoot()));
    json->VisitMember("b");
    EXPECT_STREQ(json->Write(), R"({"c":true})") << "only the current value is written";
    json->Back();

    std::vector<std::string> seen;
    EXPECT_TRUE(json->ForEachMember(&Collect, reinterpret_cast<uintptr_t>(&seen), true));
    EXPECT_EQ(seen, std::vector<std::string>{"a=[1,2]"});
    seen.clear();
    EXPECT_TRUE(json->ForEachMember(&Collect, reinterpret_cast<uintptr_t>(&seen), false));
    EXPECT_EQ(seen, (std::vector<std::string>{"a=[1,2]", "b={\"c\":true}"}));
    auto wanders = [](const char*, KaJson* json, uintptr_t) {
        return json->IsArray() && json->VisitAt(0) == nullptr;
    };
    EXPECT_TRUE(json->ForEachMember(wanders, 0, false));
    EXPECT_EQ(json->GetDepth(), 1u) << "the walk puts back a cursor its visitor left deeper";
    EXPECT_FALSE(json->ForEachMember(nullptr, 0, false));
}

TEST(Json, ParseKeepsToTheGivenBytes) {
    auto json = NewJson();
    ASSERT_TRUE(json);
    EXPECT_FALSE(KA_ANY(json->Parse(nullptr), json->Parse(nullptr, 3)));
    EXPECT_TRUE(json->Parse(R"({"name":"a text too long to be stored inline"})"));
    EXPECT_GT(json->GetMemoryUsage(), 0u);
    EXPECT_TRUE(KA_ALL(json->Parse("{not json"), json->IsNull()));
    EXPECT_EQ(json->GetMemoryUsage(), 0u) << "a failed parse gives its memory back";

    // The length-taking Parse skips a byte-order mark byte by byte, once.
    for (std::string text : {"\xEF\xBB\xBF[1]", "\xBF[1]", "\xEF\xBF[1]", "\xBB [1]"}) {
        json->Parse(text.data(), text.size());
        EXPECT_STREQ(json->Write(), "[1]") << text;
    }
    std::string twice = "\xEF\xBB\xBF\xEF\xBB\xBF[1]";
    EXPECT_TRUE(KA_ALL(json->Parse(twice.data(), twice.size()), json->IsNull())) << "only one mark";
    EXPECT_TRUE(KA_ALL(json->Parse(twice.c_str() + 3), json->IsNull())) << "Parse(text) skips none";

    json->Parse("[1]garbage", 3);
    EXPECT_STREQ(json->Write(), "[1]");
    EXPECT_TRUE(KA_ALL(json->Parse("[1,2]", 4), json->IsNull()));
    EXPECT_TRUE(KA_ALL(json->Parse("[1]", 0), json->IsNull()));
}

TEST(Json, EditsFollowTheMemberAndArrayRules) {
    auto json = NewJson(R"({"a":1,"b":"x","c":3})");
    ASSERT_TRUE(json);
    EXPECT_TRUE(KA_ALL(json->SetMemberInt("d", 1), json->SetMemberInt("d", 2),
                       json->RemoveMember("a"), json->RemoveMember("zz")));
    EXPECT_STREQ(json->Write(), R"({"d":2,"b":"x","c":3})") << "the last member fills the gap";
    EXPECT_TRUE(KA_ALL(json->VisitObjectMember("c"), json->GetDepth() == 2));
    EXPECT_TRUE(KA_ALL(json->SetMemberBool("t", true), json->Back(), json->VisitArrayMember("e")));
    EXPECT_TRUE(KA_ALL(json->PushBackInt(-1), json->PushBackObject(), json->SetMemberNull("z")));
    EXPECT_FALSE(json->PushBackInt(1)) << "an object takes no elements";
    EXPECT_TRUE(KA_ALL(json->Back(), json->PushBackString(nullptr)));
    EXPECT_FALSE(json->SetMemberInt("x", 1)) << "an array has no members";
    json->Back();
    EXPECT_STREQ(json->Write(), R"({"d":2,"b":"x","c":{"t":true},"e":[-1,{"z":null},""]})");
    EXPECT_FALSE(KA_ANY(json->SetMemberInt(nullptr, 1), json->VisitObjectMember(nullptr),
                        json->HasMember(nullptr), json->Clear(), json->PopBack()));

    json->Parse(R"({"k":1,"k":2})");
    EXPECT_TRUE(json->SetMemberInt("k", 9));
    EXPECT_TRUE(json->VisitArrayMember("k"));
    EXPECT_FALSE(json->PopBack()) << "nothing to remove from an empty array";
    json->Back();
    EXPECT_STREQ(json->Write(), R"({"k":[],"k":2})") << "the first member of the name changes";

    EXPECT_TRUE(json->SetUint64(5));
    EXPECT_TRUE(KA_ALL(json->IsInt(), json->IsUint(), json->IsInt64(), json->IsUint64()));
    EXPECT_TRUE(KA_ALL(json->SetUint64(UINT64_MAX), !json->IsInt64()));
    EXPECT_EQ(json->GetInt(), 0) << "a getter of another type answers 0";
    EXPECT_STREQ(json->GetString(), "");
    EXPECT_TRUE(json->SetDouble(1.2345));
    EXPECT_STREQ(json->WriteWithMaxDecimalPlaces(2), "1.23");
    EXPECT_STREQ(json->WriteWithMaxDecimalPlaces(0), "1.2") << "at least one place";
    EXPECT_STREQ(json->WriteWithMaxDecimalPlaces(100000), "1.2345");
    EXPECT_TRUE(json->SetDouble(std::nan("")));
    EXPECT_STREQ(json->Write(), "") << "no JSON for NaN";
    EXPECT_TRUE(KA_ALL(json->SetArray(), json->PushBackInt(1), json->PushBackDouble(INFINITY)));
    const char* cut = json->Write();
    EXPECT_STREQ(cut, "[1,") << "the text ends before the value the writer refuses";
    EXPECT_EQ(json->WriteWithMaxDecimalPlaces(3), cut) << "the document's own buffer each time";

    char text[] = "abc";
    EXPECT_TRUE(json->SetStringRef(text));
    text[0] = 'x';
    EXPECT_STREQ(json->Write(), "\"xbc\"") << "a referenced string is the caller's text";
    EXPECT_TRUE(json->SetString(text));
    text[0] = 'y';
    EXPECT_STREQ(json->Write(), "\"xbc\"") << "a copied string is the document's";
    EXPECT_TRUE(KA_ALL(json->Reset(), json->IsNull(), json->GetMemoryUsage() == 0));
}

// JSON text from a fixed seed: nested values with escapes, raw and broken
// UTF-8, and numbers at and beyond every limit.
class TextMaker {
public:
    std::string Document() {
        std::string out;
        Value(out, 0);
        return out;
    }
    // A document cut, overwritten, grown and shrunk at random places.
    std::string Mutated() {
        std::string text = Document();
        for (unsigned edits = 1 + Pick(3); edits > 0 && !text.empty(); --edits) {
            size_t at = Pick(unsigned(text.size()));
            switch (Pick(4)) {
                case 0:
                    text.resize(at);
                    break;
                case 1:
                    text[at] = char(Pick(256));
                    break;
                case 2:
                    text.insert(at, 1, kAlphabet[Pick(sizeof kAlphabet - 1)]);
                    break;
                default:
                    text.erase(at, 1 + Pick(8));
                    break;
            }
        }
        return text;
    }
    std::string Random() {
        std::string text;
        for (unsigned n = Pick(48); n > 0; --n) {
            text += Pick(2) ? kAlphabet[Pick(sizeof kAlphabet - 1)] : char(Pick(256));
        }
        return text;
    }

private:
    static constexpr char kAlphabet[] = "{}[]:,\"\\/ 0123456789.eE+-tfnrul\xEF\xBB\xBF\xC3";
    unsigned Pick(unsigned n) { return rng_() % n; }
    template <size_t N>
    const char* Any(const char* const (&list)[N]) {
        return list[Pick(N)];
    }

    // Mostly valid pieces (invalid UTF-8 is valid to RapidJSON's default
    // reader); one in 32 is broken or out of range.
    void Value(std::string& out, int depth) {
        static const char* const kNumbers[] = {"0",
                                               "-0",
                                               "42",
                                               "-7",
                                               "4294967295",
                                               "4294967296",
                                               "9223372036854775807",
                                               "-9223372036854775808",
                                               "-9223372036854775809",
                                               "18446744073709551615",
                                               "18446744073709551616",
                                               "123456789012345678901234567890",
                                               "1.5",
                                               "-0.0",
                                               "0.1",
                                               "1e308",
                                               "1.7976931348623157e308",
                                               "1e-400",
                                               "4.9e-324",
                                               "2.2250738585072014e-308",
                                               "3.14159265358979323846264338",
                                               "1E+2"};
        static const char* const kBadNumbers[] = {"1e309", "1e400", "-1e400", "1e99999999999",
                                                  "01",    "1.",    ".5",     "-",
                                                  "+1",    "0x10",  "NaN"};
        static const char* const kStrings[] = {"plain",
                                               "esc \\n\\t\\\"\\\\\\/\\b\\f\\r",
                                               "\\u00e9\\ud83d\\ude00",
                                               "Z\xC3\xBCrich",
                                               "broken \xC3",
                                               "\xFF\xFE",
                                               "\xED\xA0\x80",
                                               "\xC0\xAF",
                                               "nul \\u0000 inside"};
        static const char* const kBadStrings[] = {"lone \\ud800", "bad \\x", "tab\there"};
        static const char* const kLiterals[] = {"true", "false", "null"};
        if (Pick(8) == 0) out += Any<4>({" ", "\n", "\t ", "\r\n"});
        unsigned kind = depth < 5 ? Pick(6) : 2 + Pick(4);
        if (kind < 2) {
            bool object = kind == 0;
            out += object ? '{' : '[';
            for (unsigned n = Pick(5), i = 0; i < n; ++i) {
                if (i > 0) out += ',';
                if (object) out += std::string("\"") + Any(kStrings) + "\":";
                Value(out, depth + 1);
            }
            out += object ? '}' : ']';
        } else if (kind < 4) {
            out += std::string("\"") + (Pick(32) ? Any(kStrings) : Any(kBadStrings)) + "\"";
        } else if (kind == 4) {
            out += Pick(32) ? Any(kNumbers) : Any(kBadNumbers);
        } else {
            out += Pick(32) ? Any(kLiterals) : "tru";
        }
    }

    std::mt19937 rng_{20241205};
};

// RapidJSON's default reader (recursive) and writer: the reference.
bool ReferenceParse(const std::string& text, bool withLength, std::string* written) {
    ka::json::Heap heap;
    ka::json::Pool pool(ka::json::kChunkBytes, &heap);
    ka::json::Document document(&pool, ka::json::kParseStackBytes, &heap);
    // The length-taking Parse skips one byte-order mark, as KaJson's does.
    withLength ? document.Parse(text.data(), text.size()) : document.Parse(text.c_str());
    if (document.HasParseError()) return false;
    ka::json::Buffer buffer(&heap);
    ka::json::Writer writer(buffer, &heap);
    document.Accept(writer);  // a refused value ends the text where it stands
    *written = buffer.GetString();
    return true;
}

TEST(Json, GeneratedInputMatchesRapidJson) {
    auto json = NewJson();
    ASSERT_TRUE(json);
    TextMaker maker;
    int cases = 0, accepted = 0, mismatches = 0;
    for (; cases < 12000 && mismatches < 5; ++cases) {
        std::string text = cases % 6 == 0   ? maker.Document()
                           : cases % 6 == 5 ? maker.Random()
                                            : maker.Mutated();
        // Every third text nests too deep for the recursive reader.
        if (cases % 3 == 1) text = std::string(130, '[') + text + std::string(130, ']');
        bool withLength = cases % 4 != 0 || text.find('\0') != std::string::npos;
        ASSERT_TRUE(withLength ? json->Parse(text.data(), text.size()) : json->Parse(text.c_str()));
        std::string expected;
        bool valid = ReferenceParse(text, withLength, &expected);
        accepted += valid;
        // RapidJSON reads some numbers just beyond the double range as an
        // infinity, which it then refuses to write: both texts end before it.
        bool same = valid ? expected == json->Write()
                          : json->IsNull() && json->IsAtRoot() && json->GetMemoryUsage() == 0;
        if (!same) {
            ++mismatches;
            ADD_FAILURE() << "input " << ::testing::PrintToString(text) << " (valid: " << valid
                          << ", written: " << json->Write() << ", expected: " << expected << ")";
        }
    }
    EXPECT_TRUE(KA_ALL(accepted > cases / 10, accepted < cases / 2)) << accepted << " valid texts";
}

TEST(Json, DeepDocumentsParseAndWrite) {
    constexpr int kDepth = 100000;
    std::string objects;
    for (int i = 0; i < kDepth; ++i) objects += "{\"a\":";
    objects += "1" + std::string(kDepth, '}');
    auto json = NewJson();
    ASSERT_TRUE(json);
    for (const std::string& text : {std::string(kDepth, '[') + std::string(kDepth, ']'), objects}) {
        ASSERT_TRUE(json->Parse(text.data(), text.size()));
        ASSERT_FALSE(json->IsNull()) << "the reader takes any depth";
        EXPECT_EQ(json->Write(), text) << "the writer takes any depth";
        json->Parse(text.data(), text.size() - 1);
        EXPECT_TRUE(json->IsNull());
    }
    json->Parse(objects.c_str());
    for (int i = 0; i < kDepth; ++i) json->VisitMember("a");
    EXPECT_EQ(json->GetDepth(), uint32_t(kDepth) + 1);
    EXPECT_EQ(json->GetInt(), 1);
    EXPECT_TRUE(json->Back(UINT32_MAX));
    EXPECT_TRUE(json->IsAtRoot());
}

// kahost from this executable's folder; its output (stdout and stderr) in
// *output with CR LF read as LF.
DWORD RunKahost(const std::wstring& args, std::string* output) {
    katest::TempDir dir;
    std::wstring file = dir.File(L"out.txt");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    ka::UniqueFile out(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                     CREATE_ALWAYS, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out.get();
    std::wstring line = L"\"" + katest::ExecutableDirectory() + L"\\kahost.exe\" " + args;
    PROCESS_INFORMATION info{};
    if (!out || !::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &info)) {
        ADD_FAILURE() << "cannot start kahost.exe, " << katest::Win32Error();
        return ~0u;
    }
    ka::UniqueHandle process(info.hProcess), thread(info.hThread);
    DWORD code = ~0u;
    if (::WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(process.get(), &code);
    }
    out.reset();
    *output = katest::ReadFileBytes(file);
    std::erase(*output, '\r');
    return code;
}

TEST(Json, KahostPrintsTheValueAtAPath) {
    katest::TempDir dir;
    std::wstring good = dir.File(L"good.json"), bad = dir.File(L"bad.json");
    for (auto [path, text] :
         {std::pair{good, R"({"a":{"b":[0,1,{"c":[true,"x"]}]}})"}, std::pair{bad, R"({"a":)"}}) {
        ASSERT_TRUE(katest::WriteFileBytes(path, text));
    }
    std::string out;
    EXPECT_EQ(RunKahost(L"json \"" + good + L"\" a.b[2].c", &out), 0u);
    EXPECT_EQ(out, "[true,\"x\"]\n");
    EXPECT_EQ(RunKahost(L"json \"" + good + L"\" a.b[3]", &out), 1u);
    EXPECT_EQ(out, "kahost: \"a.b\" has 3 elements, no [3]\n");
    EXPECT_EQ(RunKahost(L"json \"" + bad + L"\"", &out), 1u);
    EXPECT_EQ(out, "kahost: " + katest::Narrow(bad) + " is not valid JSON\n");
}

}  // namespace

static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
