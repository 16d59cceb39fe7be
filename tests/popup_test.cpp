// The Popup Monitor with real dialog and message boxes here and in a child, configured from a
// file; the thread owning watched dialogs using the monitor during scans; a host without KaXml
// that unloads the library and ends with a monitor alive.
#include "support/ka_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr INT_PTR kClosedByWmClose = 77;

enum Kind { kDialog, kOwnedBox, kFreeBox };
struct Popup {
    const wchar_t* caption;
    Kind kind;
    const wchar_t* text;
    const wchar_t* edit;  // a multi-line edit control's text, or none
    const wchar_t* buttons[2];
    bool closes;  // by the monitors of ClosesExactlyTheDialogsItsRulesMatch
};

// 0-6 in this process, 7-10 in a child (not watched for "Ka Modeless").
const Popup kPopups[] = {
    {L"ka caption rule", kDialog, L"hello", nullptr, {L"OK"}, true},
    {L"Ka Also", kFreeBox, L"no owner: not modal", nullptr, {}, false},
    {L"Ka Disk", kDialog, L"Disk  is\r\nfull", L"on drive\r\nC:", {L"OK"}, true},
    {L"Ka Nearly", kDialog, L"Disk is nearly full", nullptr, {L"OK"}, false},
    {L"", kDialog, L"nothing here", nullptr, {L"Abort"}, false},
    {L"Ka Buttons", kDialog, L"x", nullptr, {L"Abort", L"Retry"}, true},
    {L"Ka Modeless", kFreeBox, L"m", nullptr, {}, true},
    {L"Ka Ignore", kDialog, L"y", nullptr, {L"&Ignore"}, true},
    {L"Ka Also", kOwnedBox, L"z", nullptr, {}, true},
    {L"Ka Stays", kDialog, L"Disk is full", nullptr, {L"Cancel"}, false},
    {L"Ka Modeless", kFreeBox, L"n", nullptr, {}, false},
    // 11 and 12 for ReadsEachTextWhenItIsNeeded: 12 renames itself when first asked.
    {L"Ka Edit", kDialog, L"Ka", L"first\r\n", {L"OK"}, true},
    {L"Ka Before", kDialog, L"x", nullptr, {L"OK"}, true},
};
std::atomic<int> g_captionAsks{0};  // WM_GETTEXT sent to a dialog by another thread

struct alignas(4) DialogTemplate {
    DLGTEMPLATE head;
    WORD menu, windowClass, title;  // none, the dialog class, set in WM_INITDIALOG
};
const DialogTemplate kTemplate{{WS_POPUP | WS_CAPTION, 0, 0, 10, 10, 220, 160}, 0, 0, 0};

struct Shown {
    const Popup* popup = nullptr;
    bool modeless = false;
    std::atomic<HWND> window{nullptr};
    INT_PTR result = 0;
    HWND owner = nullptr;
    std::thread thread;
};

KaPopupMonitor* g_releaseInside = nullptr;  // released while answering the worker's message

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* shown = reinterpret_cast<Shown*>(::GetWindowLongPtrW(dialog, GWLP_USERDATA));
    if (message == WM_INITDIALOG) {
        shown = reinterpret_cast<Shown*>(lParam);
        ::SetWindowLongPtrW(dialog, GWLP_USERDATA, lParam);
        ::SetWindowTextW(dialog, shown->popup->caption);
        const wchar_t* const* button = shown->popup->buttons;
        for (auto [type, text, style, y] :
             {std::tuple{L"STATIC", shown->popup->text, 0L, 5},
              {L"EDIT", shown->popup->edit, ES_MULTILINE | ES_AUTOHSCROLL, 50},
              {L"BUTTON", button[0], 0L, 95},
              {L"BUTTON", button[1], 0L, 140}}) {
            if (text == nullptr) continue;
            ::CreateWindowExW(0, type, text, WS_CHILD | WS_VISIBLE | style, 5, y, 300, 40, dialog,
                              reinterpret_cast<HMENU>(INT_PTR(100 + y)), nullptr, nullptr);
        }
        shown->window = dialog;
        return TRUE;
    }
    if (message == WM_GETTEXT && g_releaseInside != nullptr && ::InSendMessage()) {
        std::exchange(g_releaseInside, nullptr)->Release();
    }
    if (message == WM_GETTEXT && ::InSendMessage()) {
        ++g_captionAsks;
        if (shown->popup == &kPopups[12] && wParam > 9) {  // answers, then changes its caption
            std::wcscpy(reinterpret_cast<wchar_t*>(lParam), L"Ka Before");
            ::SetWindowTextW(dialog, L"Ka After");
            ::SetWindowLongPtrW(dialog, DWLP_MSGRESULT, 9);
            return TRUE;
        }
    }
    if (message != WM_CLOSE && message != WM_COMMAND) return FALSE;
    if (shown->modeless) return ::DestroyWindow(dialog);
    return ::EndDialog(dialog, message == WM_CLOSE ? kClosedByWmClose : LOWORD(wParam));
}

HWND MakeOwner() {
    return ::CreateWindowExW(0, L"STATIC", L"owner", 0, 0, 0, 50, 50, nullptr, nullptr, nullptr,
                             nullptr);
}

void ShowModal(Shown* shown) {
    const Popup& p = *shown->popup;
    HWND owner = p.kind == kFreeBox ? nullptr : MakeOwner();
    shown->result = p.kind == kDialog
                        ? ::DialogBoxIndirectParamW(nullptr, &kTemplate.head, owner, DialogProc,
                                                    reinterpret_cast<LPARAM>(shown))
                        : ::MessageBoxW(owner, p.text, p.caption, MB_OKCANCEL);
    ::DestroyWindow(owner);
}

template <typename Done>
bool Eventually(Done done, bool pump = false) {
    for (ULONGLONG start = ::GetTickCount64(); !done();
         ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT)) {
        for (MSG m; pump && ::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE);) ::DispatchMessageW(&m);
        if (::GetTickCount64() - start > 20000) return false;
    }
    return true;
}

// Each popup on a thread of its own; the windows once they are shown.
std::vector<HWND> ShowAll(std::vector<Shown>& shown, const std::vector<int>& indexes) {
    std::vector<HWND> windows;
    for (size_t i = 0; i < indexes.size(); ++i) {
        shown[i].popup = &kPopups[indexes[i]];
        shown[i].thread = std::thread(ShowModal, &shown[i]);
    }
    for (Shown& s : shown) {
        Eventually([&] { return s.popup->kind != kDialog || s.window != nullptr; });
        windows.push_back(s.popup->kind == kDialog
                              ? s.window.load()
                              : katest::WaitForWindow(::GetCurrentProcessId(), s.popup->caption));
    }
    return windows;
}

// Shows the popups its arguments number and ends when all are closed.
KA_CHILD_MODE(popups) {
    std::vector<int> indexes;
    std::wistringstream in(args);
    for (int i; in >> i;) indexes.push_back(i);
    std::vector<Shown> shown(indexes.size());
    ShowAll(shown, indexes);
    for (Shown& s : shown) s.thread.join();
    return katest::kChildOk;
}

size_t Logged(const std::vector<std::string>& lines, const std::string& text) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](auto& line) { return line.find(text) != line.npos; });
}

TEST(PopupMonitor, ClosesExactlyTheDialogsItsRulesMatch) {
    auto child = katest::StartChild("popups", L"7 8 9 10");
    ASSERT_TRUE(child);
    std::vector<Shown> own(7);
    std::vector<HWND> windows = ShowAll(own, {0, 1, 2, 3, 4, 5, 6});
    for (int i : {7, 8, 9, 10})
        windows.push_back(katest::WaitForWindow(child->id, kPopups[i].caption));
    for (size_t i = 0; i < windows.size(); ++i) ASSERT_TRUE(windows[i]) << "popup " << i;

    // Rules count only as direct children of a Monitor: the stray Captions would close
    // "Ka Nearly" and "Ka Stays".
    std::string self = "<Process>" + std::to_string(::GetCurrentProcessId()) + "</Process>";
    std::string both =
        "<Monitor interval='300'>" + self + "<Process>" + std::to_string(child->id) + "</Process>";
    std::string config = "<?xml version='1.0'?><Rules>" + both + "<Caption>KA CAPTION RULE" +
                         "</Caption><Other><Caption>Ka Nearly</Caption></Other><Caption><![CDATA[" +
                         "Ka Also]]></Caption></Monitor><Caption>Ka Stays</Caption>" + both +
                         "<Message>disk is full on drive c:</Message></Monitor>" + both +
                         "<Button>&amp;Retry</Button><Button>Ignore</Button></Monitor><Monitor " +
                         "interval='300' isModalOnly='FALSE'>" + self +
                         "<Caption>Ka Modeless</Caption></Monitor></Rules>";
    katest::TempDir dir;
    ASSERT_TRUE(katest::WriteFileBytes(dir.File(L"popups.xml"), config));

    KaLog* log = katest::System()->GetLogger();
    log->SetLevel(6);
    katest::ProcessLog::NewLines();
    KaPopupMonitor** monitors = nullptr;
    uint32_t count = 0;
    ASSERT_TRUE(katest::System()->GetEnvironmentInfo()->CreatePopupMonitorsFromFile(
        dir.File(L"popups.xml").c_str(), &monitors, &count));
    EXPECT_EQ(count, 4u);
    auto closed = [&](size_t i) { return !::IsWindow(windows[i]); };
    EXPECT_TRUE(Eventually([&] {
        for (size_t i = 0; i < windows.size(); ++i)
            if (kPopups[i].closes && !closed(i)) return false;
        return true;
    }));
    ::Sleep(1000);  // three more scans leave the others alone
    for (size_t i = 0; i < windows.size(); ++i) {
        EXPECT_EQ(closed(i), kPopups[i].closes)
            << "popup " << i << " " << katest::Narrow(kPopups[i].caption);
    }
    for (uint32_t i = 0; i < count; ++i) ka::ObjectRef<KaPopupMonitor> stop(monitors[i]);
    katest::System()->Free(monitors);
    log->SetLevel(0);

    for (HWND window : windows) ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    for (Shown& s : own) s.thread.join();
    EXPECT_EQ(own[5].result, kClosedByWmClose) << "the Retry button was pressed instead";
    EXPECT_EQ(child->Wait(), katest::kChildOk);
    std::vector<std::string> lines = katest::ProcessLog::NewLines();
    EXPECT_GT(
        Logged(lines, "Popup Monitor found a button on popup window but ignored: Button=Abort"),
        0u);
    EXPECT_GT(Logged(lines, "Popup Monitor found a target button to push: Button=Retry"), 0u);
}

void ShowModeless(Shown& shown, const Popup& popup) {
    shown.popup = &popup;
    shown.modeless = true;
    shown.owner = MakeOwner();
    ::CreateDialogIndirectParamW(nullptr, &kTemplate.head, shown.owner, DialogProc,
                                 reinterpret_cast<LPARAM>(&shown));
    ::ShowWindow(shown.window, SW_SHOW);
    ::EnableWindow(shown.owner, FALSE);  // looks modal
}

// The monitors and the dialogs they watch belong to this thread, so reading
// a caption is a message to it. A worker that kept its lock while waiting
// for the answer would deadlock here (the parent's time-out ends the child).
KA_CHILD_MODE(own_thread) {
    KaEnvironmentInfo* info = katest::System()->GetEnvironmentInfo();
    ka::ObjectRef<KaPopupMonitor> monitor, second;
    if (!info->CreatePopupMonitor(monitor.put()) || !info->CreatePopupMonitor(second.put()))
        return 2;
    for (KaPopupMonitor* m : {monitor.get(), second.get()}) {
        m->AddProcess(static_cast<int32_t>(::GetCurrentProcessId()));
        m->AddCaption(kPopups[0].caption);
    }
    monitor->SetInterval(1);
    Shown target, bystander;
    ShowModeless(target, kPopups[0]);
    ShowModeless(bystander, kPopups[3]);
    if (!Eventually([&] { return !::IsWindow(target.window); }, true)) return 3;
    auto waitedOn = [] { return (HIWORD(::GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) != 0; };
    if (!Eventually(waitedOn)) return 4;  // not served now: a scan waits for this thread
    monitor->AddCaption(L"Ka Third");
    monitor->RemoveCaption(L"Ka Third");
    monitor->AddProcess(-1);
    monitor.reset();                     // waits for that scan, serving its message
    second->SetInterval(1);              // the first pause follows it
    g_releaseInside = second.release();  // by the window procedure answering the worker
    if (!Eventually([] { return g_releaseInside == nullptr; }, true)) return 5;
    wchar_t log[MAX_PATH];
    ::GetEnvironmentVariableW(L"KAV_QMT_LOG_FILE", log, MAX_PATH);
    auto bothDone = [&] { return Logged(katest::ReadLines(log), "monitor... DONE") == 2; };
    if (!Eventually(bothDone, true)) return 6;
    for (HWND window : {bystander.window.load(), target.owner, bystander.owner})
        ::DestroyWindow(window);
    return katest::kChildOk;
}

// The caption is asked for only by a caption rule, and read again as it stands when the
// window is closed; an empty edit line still adds its blank to the message text.
TEST(PopupMonitor, ReadsEachTextWhenItIsNeeded) {
    KaLog* log = katest::System()->GetLogger();
    log->SetLevel(6);
    katest::ProcessLog::NewLines();
    for (auto [index, rule] : {std::pair{11, L"message"}, {12, L"caption"}}) {
        ka::ObjectRef<KaPopupMonitor> monitor;
        ASSERT_TRUE(katest::System()->GetEnvironmentInfo()->CreatePopupMonitor(monitor.put()));
        index == 11 ? monitor->AddMessage(L"ka first ") : monitor->AddCaption(L"ka before");
        monitor->SetInterval(50);
        g_captionAsks = 0;
        std::vector<Shown> shown(1);
        HWND window = ShowAll(shown, {index})[0];
        monitor->AddProcess(static_cast<int32_t>(::GetCurrentProcessId()));
        if (!Eventually([&] { return !::IsWindow(window); }))
            ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
        shown[0].thread.join();
        EXPECT_EQ(shown[0].result, kClosedByWmClose)
            << "by the " << katest::Narrow(rule) << " rule";
        if (index == 11) {
            EXPECT_EQ(g_captionAsks, 0) << "no caption rule, yet the caption was asked";
        }
    }
    log->SetLevel(0);
    std::vector<std::string> lines = katest::ProcessLog::NewLines();
    for (auto [title, times] : {std::pair{"Ka Edit", 1u}, {"Ka After", 1u}, {"Ka Before", 0u}})
        EXPECT_EQ(Logged(lines, std::string("post WM_CLOSE to a window: Title=") + title), times)
            << title;
}

// A monitor at interval 0 (set, or read from a configuration as "0" or as text that is no
// number) lets every caller in: while it has nothing to watch, while its set empties and
// while the rules keep changing. A configuration cut short after a start tag fails. A hang
// ends in the parent's time-out.
KA_CHILD_MODE(zero_interval) {
    KaEnvironmentInfo* info = katest::System()->GetEnvironmentInfo();
    ka::ObjectRef<KaPopupMonitor> monitor;
    if (!info->CreatePopupMonitor(monitor.put())) return 2;
    monitor->SetInterval(0);
    auto self = static_cast<int32_t>(::GetCurrentProcessId());
    for (int round = 0; round < 200; ++round) {
        bool all = round % 2;
        monitor->AddProcess(all ? -1 : self);
        monitor->AddCaption(all ? L"A" : L"B");  // the rules change while it scans
        all ? monitor->ClearProcesses() : monitor->RemoveProcess(static_cast<uint32_t>(self));
    }
    monitor->AddProcess(-1);
    monitor.reset();  // the last release, while it scans back to back
    katest::TempDir dir;
    auto fromFile = [&](const std::string& text, uint32_t expected) {
        KaPopupMonitor** array = nullptr;
        uint32_t count = ~0u;
        katest::WriteFileBytes(dir.File(L"c.xml"), text);
        bool made = info->CreatePopupMonitorsFromFile(dir.File(L"c.xml").c_str(), &array, &count);
        if (!made) return count == ~0u && array == nullptr && expected == ~0u;
        // The allocator stand-in draws on the process heap: one entry per Monitor element.
        size_t bytes = array ? ::HeapSize(::GetProcessHeap(), 0, array) : 0;
        for (uint32_t i = 0; i < count; ++i) {
            array[i]->AddProcess(-1);
            array[i]->Release();
        }
        katest::System()->Free(array);
        return count == expected && bytes == expected * sizeof(KaPopupMonitor*);
    };
    if (!fromFile("<R><Monitor interval='0'/><Monitor interval='soon'/></R>", 2)) return 3;
    if (!fromFile("<A>\n<Monitor>\n", ~0u)) return 4;
    return fromFile("<R/>", 0) ? katest::kChildOk : 5;
}

TEST(PopupMonitor, IntervalZeroAndATruncatedConfigurationNeverHang) {
    EXPECT_EQ(katest::RunChild("zero_interval", L"", {}, 60000), katest::kChildOk);
}

TEST(PopupMonitor, OwnerOfTheDialogsChangesRulesAndReleasesDuringScans) {
    katest::TempDir dir;
    EXPECT_EQ(katest::RunChild("own_thread", L"", {{L"KAV_QMT_LOG_FILE", dir.File(L"own.log")}}),
              katest::kChildOk);
}

// A host without KaXml (the side-by-side tree holds only the allocator) is
// refused monitors from a file, each time; it unloads the library with a
// monitor scanning (its worker keeps the library loaded), and the process
// ends with the monitor alive.
KA_CHILD_MODE(alive) {
    KaSystem* system = katest::System();  // the host's one reference to the library
    KaEnvironmentInfo* info = system->GetEnvironmentInfo();
    KaPopupMonitor** array = nullptr;
    uint32_t count = 0;
    std::wstring config = katest::ExecutablePath();  // never read
    for (int i = 0; i < 2; ++i) {
        if (info->CreatePopupMonitorsFromFile(config.c_str(), &array, &count)) return 3;
    }
    KaPopupMonitor* monitor = nullptr;  // never released
    if (!info->CreatePopupMonitor(&monitor)) return 4;
    monitor->SetInterval(10);
    monitor->AddProcess(-1);
    ::Sleep(100);
    system->Uninitialize();
    if (!::FreeLibrary(::GetModuleHandleW(L"KaSystem.x64.dll"))) return 5;
    return ::GetModuleHandleW(L"KaSystem.x64.dll") != nullptr ? katest::kChildOk : 6;
}

TEST(PopupMonitor, HostWithoutKaXmlUnloadsAndEndsWithAMonitorAlive) {
    katest::TempDir dir;
    std::wstring log = dir.File(L"alive.log");
    ASSERT_EQ(
        katest::RunChild("alive", L"",
                         {{L"KAV_SXS_DIR_FLAT", katest::ExecutableDirectory() + L"\\sxs\\v140"},
                          {L"KAV_QMT_LOG_FILE", log}},
                         30000),
        katest::kChildOk);
    EXPECT_EQ(Logged(katest::ReadLines(log), "[ERROR]     : KaXml module is not available"), 2u);
}

}  // namespace

static auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new katest::ProcessLog);
