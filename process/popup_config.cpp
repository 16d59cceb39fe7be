#include "process/popup_config.h"

#include "frame/boundary.h"
#include "frame/handles.h"
#include "frame/loader.h"
#include "frame/services.h"
#include "ka/fs.h"
#include "ka/siblings.h"

#include <cwchar>
#include <string>
#include <vector>

namespace ka {
namespace {

// The KaXml sibling, loaded on first use, silently. The outcome, an
// interface or none, stands for the rest of the process: a failed load is
// not retried, and the interface is never released.
KaXml* XmlSibling() {
    static KaXml* const xml = static_cast<KaXml*>(LoadSiblingModule("KaXml", true));
    return xml;
}

// Turns the elements streaming past into monitors and rules:
//   <Monitor interval="ms" isModalOnly="false|0|...">  one running monitor
//     <Caption>, <Message>, <Button>, <Process>          its rules (direct children)
// Names compare exactly; everything else is ignored.
//
// Every element start pushes one kind and every end pops one, also for the
// elements that count for nothing (kIgnored). So an unknown element inside a
// Monitor, an element inside a rule, or rules of a Monitor that could not be
// made never take away the kind of the element around them: a rule element
// counts only as a direct child of a Monitor, wherever it appears.
class PopupMonitorConfigHandler final : public KaXmlVisitor {
public:
    // Called by the sibling: nothing may escape, and a failure (out of
    // memory) stops the parse.
    bool StartElement(const wchar_t* name, const wchar_t* const* attributes) override {
        return Boundary(false, [&] {
            Start(name != nullptr ? name : L"", attributes);
            return true;
        });
    }
    bool EndElement() override {
        return Boundary(false, [&] {
            End();
            return true;
        });
    }
    bool Characters(const wchar_t* text, int32_t count) override {
        return Boundary(false, [&] {
            if (text != nullptr && count > 0) text_.append(text, static_cast<size_t>(count));
            return true;
        });
    }

    // The monitors that were made, each with a new reference, in an array
    // from AllocateArray.
    bool HandOut(KaPopupMonitor*** monitors, uint32_t* count) {
        // As many entries as there were Monitor elements, none included: an
        // allocator may answer null for zero bytes, which is then the empty
        // array (Free takes null).
        SystemBuffer<KaPopupMonitor*> array(static_cast<KaPopupMonitor**>(
            System()->AllocateArray(monitors_.size(), sizeof(*monitors))));
        if (!array && !monitors_.empty()) return false;
        uint32_t made = 0;
        for (ObjectRef<KaPopupMonitor>& monitor : monitors_) {
            if (!monitor) continue;  // its creation failed
            monitor->AddRef();
            array.get()[made++] = monitor.get();
        }
        *monitors = array.release();
        *count = made;
        return true;
    }

private:
    enum class Kind { kMonitor, kCaption, kMessage, kButton, kProcess, kIgnored };

    void Start(const wchar_t* name, const wchar_t* const* attributes) {
        text_.clear();
        if (std::wcscmp(name, L"Monitor") == 0) {
            monitors_.push_back(MakeMonitor(attributes));
            kinds_.push_back(Kind::kMonitor);
            return;
        }
        Kind kind = Kind::kIgnored;
        if (!kinds_.empty() && kinds_.back() == Kind::kMonitor && !monitors_.empty() &&
            monitors_.back()) {
            if (std::wcscmp(name, L"Caption") == 0) kind = Kind::kCaption;
            if (std::wcscmp(name, L"Message") == 0) kind = Kind::kMessage;
            if (std::wcscmp(name, L"Button") == 0) kind = Kind::kButton;
            if (std::wcscmp(name, L"Process") == 0) kind = Kind::kProcess;
        }
        kinds_.push_back(kind);
    }

    // Rules go to the monitor made last, which for these documents is the
    // enclosing one.
    void End() {
        if (kinds_.empty()) return;
        Kind kind = kinds_.back();
        kinds_.pop_back();
        KaPopupMonitor* monitor = monitors_.empty() ? nullptr : monitors_.back().get();
        if (monitor == nullptr) return;
        switch (kind) {
            case Kind::kCaption:
                monitor->AddCaption(text_.c_str());
                break;
            case Kind::kMessage:
                monitor->AddMessage(text_.c_str());
                break;
            case Kind::kButton:
                monitor->AddButton(text_.c_str());
                break;
            case Kind::kProcess:
                monitor->AddProcess(_wtoi(text_.c_str()));
                break;
            case Kind::kMonitor:
            case Kind::kIgnored:
                break;
        }
    }

    // A running monitor, or an empty reference when it cannot be made. When
    // attributes repeat, the last one counts.
    static ObjectRef<KaPopupMonitor> MakeMonitor(const wchar_t* const* attributes) {
        int interval = -1;  // keeps the monitor's own
        bool modalOnly = true;
        for (const wchar_t* const* pair = attributes; pair != nullptr && pair[0] != nullptr;
             pair += 2) {
            const wchar_t* value = pair[1] != nullptr ? pair[1] : L"";
            if (std::wcscmp(pair[0], L"interval") == 0) interval = _wtoi(value);
            if (std::wcscmp(pair[0], L"isModalOnly") == 0) {
                modalOnly = _wcsicmp(value, L"false") != 0 && std::wcscmp(value, L"0") != 0;
            }
        }
        ObjectRef<KaPopupMonitor> monitor;
        if (!System()->GetEnvironmentInfo()->CreatePopupMonitor(monitor.put())) {
            Log()->PrintfW(LogCategory::ERROR, 0, L"Failed to create a Popup Monitor");
            return monitor;
        }
        if (interval >= 0) monitor->SetInterval(interval);
        monitor->SetModalOnly(modalOnly);
        return monitor;
    }

    std::wstring text_;  // character data since the last element start
    std::vector<Kind> kinds_;
    std::vector<ObjectRef<KaPopupMonitor>> monitors_;  // one per Monitor element; empty if not made
};

}  // namespace

bool MakePopupMonitorsFromFile(const wchar_t* path, KaPopupMonitor*** monitors, uint32_t* count) {
    if (path == nullptr || monitors == nullptr || count == nullptr) return false;
    KaSystem* system = System();
    if (!system->GetFileSystem()->FileExists(path)) return false;
    KaXml* xml = XmlSibling();
    if (xml == nullptr) {
        Log()->PrintfW(LogCategory::ERROR, 0, L"KaXml module is not available");
        return false;
    }
    ObjectRef<KaStream> stream;
    if (!system->GetFileStreams()->OpenFileStream(stream.put(), path, L"rb")) return false;
    return Boundary(false, [&] {
        // Monitors not handed out (a parse that failed) stop as the handler goes.
        PopupMonitorConfigHandler handler;
        return xml->ParseStream(stream.get(), &handler) && handler.HandOut(monitors, count);
    });
}

}  // namespace ka
