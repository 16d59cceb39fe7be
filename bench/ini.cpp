// INI reader: a file of 100,000 lines (a section header every 20 lines, the
// rest key=value) through ReadIniFile, in lines per second, against
//  - split: the same file split by hand (first '=', "[word]"), the same
//    conversion and the same callback: what the reader would cost without
//    regular expressions;
//  - wregex: the same two std::wregex searches per line called straight,
//    without the slots and match objects around them.
#include "bench.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <regex>
#include <string>

namespace {

constexpr int kLines = 100000;

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "bench ini: %s (Win32 error %lu)\n", what, ::GetLastError());
    std::exit(1);
}

struct Count {
    long values = 0;
    size_t units = 0;
};

bool Take(const wchar_t* section, const wchar_t* key, const wchar_t* value, void* context) {
    auto* count = static_cast<Count*>(context);
    ++count->values;
    count->units += std::wcslen(section) + std::wcslen(key) + std::wcslen(value);
    return true;
}

std::wstring WriteFile() {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring path =
        std::wstring(temp) + L"kabench_ini_" + std::to_wstring(::GetCurrentProcessId()) + L".ini";
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) Die("cannot write the INI file");
    for (int i = 0; i < kLines; ++i) {
        if (i % 20 == 0) {
            std::fprintf(file, "[Section_%d]\r\n", i / 20);
        } else {
            std::fprintf(file, "setting_%d=some value for setting %d, Z\xC3\xBCrich\r\n", i, i);
        }
    }
    std::fclose(file);  // the benchmark's own file
    return path;
}

// Lines of the file as the reader sees them (text mode, line feeds cut).
template <typename PerLine>
void EachLine(const std::wstring& path, PerLine perLine) {
    FILE* file = _wfopen(path.c_str(), L"rt");
    if (file == nullptr) Die("cannot read the INI file");
    char line[1024];
    while (std::fgets(line, sizeof line, file)) {
        line[std::strcspn(line, "\n")] = '\0';
        perLine(line);
    }
    std::fclose(file);
}

void SplitByHand(const std::wstring& path, Count& count) {
    std::wstring section;
    wchar_t wide[1024];
    EachLine(path, [&](const char* line) {
        if (*line == '\0' || !::MultiByteToWideChar(CP_UTF8, 0, line, -1, wide, 1024)) return;
        if (wchar_t* equals = std::wcschr(wide, L'='); equals != nullptr && equals != wide) {
            *equals = L'\0';
            Take(section.c_str(), wide, equals + 1, &count);
            return;
        }
        size_t n = std::wcslen(wide);
        if (n > 2 && wide[0] == L'[' && wide[n - 1] == L']') section.assign(wide + 1, n - 2);
    });
}

void PlainRegex(const std::wstring& path, Count& count) {
    static const std::wregex keyValue(L"^([^\\=]+)\\=(.*)$");
    static const std::wregex header(L"^\\[(\\w+)\\]$");
    std::wstring section;
    wchar_t wide[1024];
    std::wcmatch match;
    EachLine(path, [&](const char* line) {
        if (*line == '\0' || !::MultiByteToWideChar(CP_UTF8, 0, line, -1, wide, 1024)) return;
        if (std::regex_search(wide, match, keyValue)) {
            Take(section.c_str(), match.str(1).c_str(), match.str(2).c_str(), &count);
        } else if (std::regex_search(wide, match, header)) {
            section = match.str(1);
        }
    });
}

void Line(const char* name, double ours, double baseline) {
    std::printf("bench %s: ours %.0f lines/s, baseline %.0f lines/s, ratio %.3f\n", name,
                kLines / ours, kLines / baseline, ours / baseline);
    std::fflush(stdout);
}

}  // namespace

int main() {
    KaSystem* system = kabench::System();
    const std::wstring path = WriteFile();
    Count expected, got;
    SplitByHand(path, expected);
    if (!system->ReadIniFile(path.c_str(), CP_UTF8, &got, Take) || got.values != expected.values ||
        got.units != expected.units || expected.values != kLines - kLines / 20) {
        Die("ReadIniFile and the hand-split baseline disagree");
    }
    Count plain;
    PlainRegex(path, plain);
    if (plain.values != expected.values || plain.units != expected.units) {
        Die("the plain std::wregex baseline disagrees");
    }

    std::vector<double> ours, split, regex;
    for (int r = 0; r < 5; ++r) {
        Count sink;
        double t0 = kabench::Now();
        system->ReadIniFile(path.c_str(), CP_UTF8, &sink, Take);
        double t1 = kabench::Now();
        SplitByHand(path, sink);
        double t2 = kabench::Now();
        PlainRegex(path, sink);
        double t3 = kabench::Now();
        ours.push_back(t1 - t0);
        split.push_back(t2 - t1);
        regex.push_back(t3 - t2);
    }
    Line("ini ReadIniFile vs split by hand", kabench::Median(ours), kabench::Median(split));
    Line("ini ReadIniFile vs plain wregex", kabench::Median(ours), kabench::Median(regex));
    ::DeleteFileW(path.c_str());
    return 0;
}
