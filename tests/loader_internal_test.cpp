// The sibling loader, linked in directly: it has no root slot of its own.
// Message boxes are real windows on the Xvfb screen; each load that may show
// one runs on a helper thread while the test finds, reads and closes the box.
// Rows of one shape after the first record the box instead (through this
// executable's import of MessageBoxA): the first proves it reaches the screen.
#include "frame/loader.h"
#include "support/import_fault.h"
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

namespace {

using namespace std::chrono_literals;

std::string HostPathNarrow() {
    char path[260] = {};
    ::GetModuleFileNameA(nullptr, path, sizeof path);
    return path;
}

std::string SxsRoot() { return katest::Narrow(katest::ExecutableDirectory()) + "\\sxs"; }
std::string SxsDir() { return SxsRoot() + "\\v140"; }

bool IsLoaded(const char* file) { return ::GetModuleHandleA(file) != nullptr; }

struct BoxSeen {
    std::wstring text;
    bool okOnly = false;
};

// Runs load() on its own thread. Expects one message box titled `title` when
// title is not empty (reads and closes it), none otherwise.
template <typename Load>
auto LoadExpectingBox(Load load, const std::string& title, BoxSeen* seen = nullptr) {
    auto pending = std::async(std::launch::async, load);
    if (!title.empty()) {
        HWND box = katest::WaitForWindow(::GetCurrentProcessId(),
                                         std::wstring(title.begin(), title.end()));
        EXPECT_NE(box, nullptr) << "no message box titled " << title;
        if (box != nullptr) {
            if (seen != nullptr) {
                seen->text = katest::MessageBoxText(box);
                seen->okOnly = katest::HasControl(box, IDOK) && !katest::HasControl(box, IDCANCEL);
            }
            EXPECT_TRUE(katest::CloseMessageBox(box));
        }
    }
    if (pending.wait_for(20s) != std::future_status::ready) {
        // A box we did not expect blocks the loader: close it so the test ends.
        HWND stray = katest::WaitForWindow(::GetCurrentProcessId(),
                                           std::wstring(title.begin(), title.end()), 1000);
        if (stray == nullptr) {
            std::string host = HostPathNarrow();
            stray = katest::WaitForWindow(::GetCurrentProcessId(),
                                          std::wstring(host.begin(), host.end()), 1000);
        }
        ADD_FAILURE() << "the load did not return: an unexpected message box?";
        if (stray != nullptr) katest::CloseMessageBox(stray);
    }
    return pending.get();
}

struct RecordedBox {
    std::string text, caption;
    UINT style = 0;
    int count = 0;
};
RecordedBox g_recorded;
int WINAPI RecordBox(HWND, LPCSTR text, LPCSTR caption, UINT style) {
    g_recorded = {text, caption, style, g_recorded.count + 1};
    return IDOK;
}

// The load with its box recorded, not shown.
template <typename Load>
auto LoadRecordingBox(Load load, const std::string& title, BoxSeen* seen) {
    HMODULE self = ::GetModuleHandleW(nullptr);
    void* shown = katest::ReplaceImport(self, "USER32.dll", "MessageBoxA",
                                        reinterpret_cast<void*>(&RecordBox));
    EXPECT_NE(shown, nullptr) << "MessageBoxA is not among this executable's imports";
    g_recorded = {};
    auto result = load();
    if (shown != nullptr) katest::ReplaceImport(self, "USER32.dll", "MessageBoxA", shown);
    EXPECT_EQ(g_recorded.count, 1) << "boxes shown";
    EXPECT_EQ(g_recorded.caption, title);
    seen->text = std::wstring(g_recorded.text.begin(), g_recorded.text.end());
    seen->okOnly = (g_recorded.style & MB_TYPEMASK) == MB_OK;
    return result;
}

class Loader : public ::testing::Test {
protected:
    katest::ScopedEnv flat_{L"KAV_SXS_DIR_FLAT", std::nullopt};
    katest::ScopedEnv sxs_{L"KAV_SXS_DIR", std::nullopt};
};

TEST_F(Loader, FailureBoxNamesThePathTriedForEveryDirectoryRule) {
    struct Case {
        const char* what;
        std::optional<std::string> flat, sxs;
        std::string expectedPath;
    };
    const std::string dir = SxsDir();
    const std::string longDir(300, 'x');
    const std::string dir259 = "C:\\" + std::string(256, 'y');  // 259 characters: still valid
    const std::string dir260 = "C:\\" + std::string(257, 'z');  // 260: counts as absent
    const Case cases[] = {
        {"flat with trailing backslash", dir + "\\", std::nullopt, dir + "\\KaMissing.x64.dll"},
        {"flat without trailing backslash", dir, std::nullopt, dir + "\\KaMissing.x64.dll"},
        {"side-by-side root", std::nullopt, SxsRoot(), dir + "\\KaMissing.x64.dll"},
        {"side-by-side root with backslash", std::nullopt, SxsRoot() + "\\",
         dir + "\\KaMissing.x64.dll"},
        {"both set: flat wins", "C:\\flatdir", SxsRoot(), "C:\\flatdir\\KaMissing.x64.dll"},
        {"flat of 300 characters is ignored", longDir, SxsRoot(), dir + "\\KaMissing.x64.dll"},
        {"flat of 259 characters is used", dir259, SxsRoot(), dir259 + "\\KaMissing.x64.dll"},
        {"flat of 260 characters is ignored", dir260, SxsRoot(), dir + "\\KaMissing.x64.dll"},
        {"empty flat is ignored", "", SxsRoot(), dir + "\\KaMissing.x64.dll"},
        {"neither set: bare name", std::nullopt, std::nullopt, "KaMissing.x64.dll"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto widen = [](const std::optional<std::string>& s) {
            return s ? std::optional<std::wstring>(std::wstring(s->begin(), s->end()))
                     : std::nullopt;
        };
        katest::ScopedEnv flat(L"KAV_SXS_DIR_FLAT", widen(c.flat));
        katest::ScopedEnv sxs(L"KAV_SXS_DIR", widen(c.sxs));
        BoxSeen seen;
        auto load = [] { return ka::LoadSiblingLibrary("KaMissing", false); };
        HMODULE module = &c == cases ? LoadExpectingBox(load, HostPathNarrow(), &seen)
                                     : LoadRecordingBox(load, HostPathNarrow(), &seen);
        EXPECT_EQ(module, nullptr);
        EXPECT_EQ(katest::Narrow(seen.text), "Failed load module: " + c.expectedPath);
        EXPECT_TRUE(seen.okOnly) << "the box must offer exactly one OK button";
    }
}

TEST_F(Loader, SilentFailureShowsNoBox) {
    katest::ScopedEnv flat(L"KAV_SXS_DIR_FLAT", L"C:\\nowhere");
    HMODULE module = LoadExpectingBox([] { return ka::LoadSiblingLibrary("KaMissing", true); }, "");
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(katest::WaitForWindow(::GetCurrentProcessId(), katest::ExecutablePath(), 300),
              nullptr);
}

TEST_F(Loader, LoadsFromTheSideBySideTreeAndKeepsTheModule) {
    std::string root = SxsRoot();
    katest::ScopedEnv sxs(L"KAV_SXS_DIR", std::wstring(root.begin(), root.end()));
    KaModuleRoot* sibling =
        LoadExpectingBox([] { return ka::LoadSiblingModule("KaTestV100", true); }, "");
    ASSERT_NE(sibling, nullptr) << "version 100 is the oldest accepted";
    EXPECT_EQ(sibling->GetVersion(), 100);
    HMODULE loaded = ::GetModuleHandleA("KaTestV100.x64.dll");
    ASSERT_NE(loaded, nullptr) << "a loaded sibling stays loaded";
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(loaded, path, MAX_PATH);
    EXPECT_STRCASEEQ(path, (SxsDir() + "\\KaTestV100.x64.dll").c_str());
}

TEST_F(Loader, EveryFailureAfterLoadingUnloadsTheLibrary) {
    std::string dir = SxsDir();
    katest::ScopedEnv flat(L"KAV_SXS_DIR_FLAT", std::wstring(dir.begin(), dir.end()));
    for (const char* name : {"KaTestNoExport", "KaTestNullRoot", "KaTestInitFalse"}) {
        SCOPED_TRACE(name);
        KaModuleRoot* root =
            LoadExpectingBox([name] { return ka::LoadSiblingModule(name, false); }, "");
        EXPECT_EQ(root, nullptr);
        EXPECT_FALSE(IsLoaded((std::string(name) + ".x64.dll").c_str()));
    }
}

TEST_F(Loader, OldVersionIsRefusedWithABoxEvenWhenSilent) {
    std::string dir = SxsDir();
    katest::ScopedEnv flat(L"KAV_SXS_DIR_FLAT", std::wstring(dir.begin(), dir.end()));
    for (bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "silent" : "not silent");
        BoxSeen seen;
        KaModuleRoot* root = LoadExpectingBox(
            [silent] { return ka::LoadSiblingModule("KaTestV99", silent); }, "KaTestV99", &seen);
        EXPECT_EQ(root, nullptr);
        EXPECT_EQ(katest::Narrow(seen.text),
                  "Failed to initialize module. DLL interface version is too old: "
                  "Required>=100, Actual=99");
        EXPECT_TRUE(seen.okOnly);
        EXPECT_FALSE(IsLoaded("KaTestV99.x64.dll"));
    }
}

}  // namespace
