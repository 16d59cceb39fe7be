// ReadIniFile (root slot 23): both line patterns, code pages and the mark,
// messages with line numbers, the line limit, the callback's stop, and files
// that are no INI files at all.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <random>

namespace {

using Values = std::vector<std::wstring>;

struct Reading {
    Values values;       // "section|key|value" in call order
    size_t stopAt = 0;   // the callback answers false at this value (1-based)
    size_t badKeys = 0;  // empty or holding '='
};

bool Collect(const wchar_t* section, const wchar_t* key, const wchar_t* value, void* context) {
    auto& reading = *static_cast<Reading*>(context);
    reading.values.push_back(std::wstring(section) + L"|" + key + L"|" + value);
    reading.badKeys += *key == L'\0' || std::wcschr(key, L'=') != nullptr;
    return reading.values.size() != reading.stopAt;
}

class Ini : public ::testing::Test {
protected:
    bool Read(const std::string& bytes, uint32_t codePage = 65001, size_t stopAt = 0) {
        EXPECT_TRUE(katest::WriteFileBytes(path_, bytes));
        return ReadAgain(reading_ = Reading{{}, stopAt}, codePage);
    }
    bool ReadAgain(Reading& into, uint32_t codePage = 65001, const wchar_t* path = nullptr) {
        return katest::System()->ReadIniFile(path ? path : path_.c_str(), codePage, &into, Collect);
    }
    katest::TempDir dir_;
    std::wstring path_ = dir_.File(L"test.ini");
    Reading reading_;
};

TEST_F(Ini, PatternsSectionsLineNumbersAndCodePages) {
    const std::string file =
        "\xEF\xBB\xBFk0=v0\r\n[Main]\r\nword = other\nkey=\n=value\n\n[My Section]\n"
        "[My_Section]\n[a=b]\n; comment\n#k=v\n===\na=b=c\nk\xC3\xBC=\xE2\x82\xAC\xFF";
    katest::ProcessLog::NewLines();
    ASSERT_TRUE(Read(file));
    EXPECT_EQ(reading_.values, (Values{L"|k0|v0", L"Main|word | other", L"Main|key|",
                                       L"My_Section|[a|b]", L"My_Section|#k|v", L"My_Section|a|b=c",
                                       L"My_Section|k\u00fc|\u20ac\ufffd"}));
    const std::string at = "[ERROR]     : Ignored unexpected values at line ";
    EXPECT_EQ(katest::ProcessLog::NewLines(),
              (std::vector<std::string>{at + "5", at + "7", at + "10", at + "12"}));
    ASSERT_TRUE(Read(file, 1252));
    EXPECT_EQ(reading_.values.front(), L"|\u00ef\u00bb\u00bfk0|v0") << "the mark stays";
}

TEST_F(Ini, StopsLimitsAndInputThatIsNoIni) {
    EXPECT_FALSE(Read("a=1\nb=2\nc=3\n", 65001, 2));
    EXPECT_EQ(reading_.values, (Values{L"|a|1", L"|b|2"})) << "no third call";
    EXPECT_FALSE(KA_ANY(ReadAgain(reading_, 0, dir_.path().c_str()),  // a directory
                        ReadAgain(reading_, 0, dir_.File(L"none").c_str()),
                        katest::System()->ReadIniFile(path_.c_str(), 0, nullptr, nullptr)));

    // 1023 bytes and a line feed are a line; one byte more ends the reading.
    const std::string fits = "k=" + std::string(1021, 'v');
    const std::wstring cut = L"|k|" + std::wstring(1021, L'v');
    EXPECT_TRUE(Read(fits + "\nb=2\n" + fits + "w\nc=3\n"));
    EXPECT_EQ(reading_.values, (Values{cut, L"|b|2", cut}));
    EXPECT_TRUE(Read(fits + std::string(1 << 20, 'x') + "\nb=2\n"));
    EXPECT_EQ(reading_.values, Values{cut});

    std::mt19937 random(13);  // no Ctrl-Z, a quarter '=', short lines
    std::string garbage(256 * 1024, '\0');
    for (char& c : garbage) c = char(random() % 4 == 0 ? '=' : random() % 32 ? random() : '\n');
    std::replace(garbage.begin(), garbage.end(), '\x1A', 'z');
    EXPECT_TRUE(Read(garbage, 1252));
    EXPECT_TRUE(KA_ALL(reading_.values.size() > 1000, reading_.badKeys == 0)) << reading_.badKeys;
}

}  // namespace

static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
