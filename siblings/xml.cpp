// Stand-in for the family's KaXml module: the XML reader that ships with
// Windows (XmlLite) reads the document through a KaStream and reports it,
// in document order, to a KaXmlVisitor. mingw-w64 has no import library for
// xmllite.dll, so CreateXmlReader is looked up at run time; without it the
// module refuses to initialise and the loader unloads it again.
#include "frame/handles.h"
#include "frame/win32.h"
#include "ka/fs.h"
#include "ka/process.h"
#include "ka/siblings.h"

#include <objidl.h>
#include <xmllite.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

namespace {

using CreateXmlReaderFunction = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);

// The document as XmlLite pulls it: an IStream that only reads, over the
// caller's KaStream (one reference held for as long as the reader keeps it).
class StreamInput final : public IStream {
public:
    explicit StreamInput(KaStream* stream) : stream_(ka::ObjectRef<KaStream>::Share(stream)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(ISequentialStream) ||
            iid == __uuidof(IStream)) {
            *out = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG now = --count_;
        if (now == 0) delete this;  // the count is this object's own
        return now;
    }
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override {
        size_t got = 0;
        if (!stream_->Read(buffer, size, &got)) return STG_E_READFAULT;
        bytesRead_ += got;
        if (read != nullptr) *read = static_cast<ULONG>(got);
        return got < size ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override {
        return STG_E_ACCESSDENIED;
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                   ULARGE_INTEGER* position) override {
        uint64_t now = 0;
        if (!stream_->Seek(move.QuadPart, origin, &now)) return STG_E_INVALIDFUNCTION;
        if (position != nullptr) position->QuadPart = now;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

    // How much of the document the reader has pulled in so far.
    uint64_t BytesRead() const { return bytesRead_; }

private:
    ~StreamInput() = default;

    std::atomic<ULONG> count_{1};
    ka::ObjectRef<KaStream> stream_;
    uint64_t bytesRead_ = 0;  // the reader pulls on the thread that parses
};

class XmlModule final : public KaXml {
public:
    bool Initialize() override {
        // xmllite.dll from System32 only; it stays loaded with this module.
        if (create_ == nullptr) {
            create_ = ka::ResolveExport<CreateXmlReaderFunction>(
                ka::LoadSystemLibrary(L"xmllite.dll"), "CreateXmlReader");
        }
        return create_ != nullptr;
    }
    void SlotReserved1() override {}
    int GetVersion() override { return 118; }
    void SlotReserved3() override {}
    void SlotReserved4() override {}
    bool ParseStream(KaStream* stream, KaXmlVisitor* visitor) override {
        if (stream == nullptr || visitor == nullptr || create_ == nullptr) return false;
        try {
            return Parse(stream, visitor);
        } catch (...) {
            return false;  // nothing may escape into the caller's module
        }
    }

private:
    bool Parse(KaStream* stream, KaXmlVisitor* visitor);

    CreateXmlReaderFunction create_ = nullptr;
};

// Elements, attributes, character data (text, CDATA and whitespace inside
// the root) and ends, in document order; an empty element reports its end
// at once. Comments, processing instructions and the declaration are not
// reported; a document type is refused (no entity expansion from a file).
// True only when the reader reached the end of a well-formed document.
bool XmlModule::Parse(KaStream* stream, KaXmlVisitor* visitor) {
    ka::ObjectRef<IXmlReader> reader;
    if (FAILED(create_(__uuidof(IXmlReader), reinterpret_cast<void**>(reader.put()), nullptr))) {
        return false;
    }
    reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit);
    // Made with one reference, which this scope drops; the reader holds its own.
    auto* input = new StreamInput(stream);
    ka::ObjectRef<IStream> inputOwner(input);
    HRESULT result = reader->SetInput(input);
    if (FAILED(result)) return false;

    std::vector<std::wstring> texts;  // names and values of the current element's attributes
    std::vector<const wchar_t*> attributes;
    int depth = 0;
    bool sawRoot = false;
    // Whether the reader moves on. Some XmlLite builds (Wine's) answer S_OK
    // with the same node for ever when a document ends right after a start
    // tag inside an open element. A node that stands where the one before
    // stood, or more nodes than bytes read (every node takes at least one),
    // fails the parse before the visitor hears of it.
    XmlNodeType lastType = XmlNodeType_None;
    UINT lastLine = 0, lastColumn = 0;
    uint64_t nodes = 0;
    XmlNodeType type;
    while ((result = reader->Read(&type)) == S_OK) {
        UINT line = 0, column = 0;
        bool placed = SUCCEEDED(reader->GetLineNumber(&line)) &&
                      SUCCEEDED(reader->GetLinePosition(&column)) && line != 0;
        if (placed && type == lastType && line == lastLine && column == lastColumn) return false;
        if (++nodes > input->BytesRead()) return false;
        lastType = type;
        lastLine = line;
        lastColumn = column;
        const wchar_t* text = nullptr;
        UINT length = 0;
        switch (type) {
            case XmlNodeType_Element: {
                if (FAILED(reader->GetQualifiedName(&text, &length))) return false;
                std::wstring name(text, length);
                bool empty = reader->IsEmptyElement();  // asked before moving to the attributes
                texts.clear();
                for (result = reader->MoveToFirstAttribute(); result == S_OK;
                     result = reader->MoveToNextAttribute()) {
                    if (FAILED(reader->GetQualifiedName(&text, &length))) return false;
                    std::wstring attribute(text, length);
                    // Not well-formed, though some XmlLite builds (Wine's) let it pass.
                    for (size_t i = 0; i < texts.size(); i += 2) {
                        if (texts[i] == attribute) return false;
                    }
                    texts.push_back(std::move(attribute));
                    if (FAILED(reader->GetValue(&text, &length))) return false;
                    texts.emplace_back(text, length);
                }
                if (FAILED(result)) return false;
                attributes.clear();
                for (const std::wstring& part : texts) attributes.push_back(part.c_str());
                attributes.push_back(nullptr);
                if (!visitor->StartElement(name.c_str(), attributes.data())) return false;
                sawRoot = true;
                if (empty) {
                    if (!visitor->EndElement()) return false;
                } else {
                    ++depth;
                }
                break;
            }
            case XmlNodeType_EndElement:
                --depth;
                if (!visitor->EndElement()) return false;
                break;
            case XmlNodeType_Text:
            case XmlNodeType_CDATA:
            case XmlNodeType_Whitespace:
                if (depth == 0) break;  // between the declaration and the root
                if (FAILED(reader->GetValue(&text, &length))) return false;
                if (length > 0 && !visitor->Characters(text, static_cast<int32_t>(length))) {
                    return false;
                }
                break;
            default:
                break;
        }
    }
    return result == S_FALSE && sawRoot && depth == 0;
}

XmlModule g_xml;

}  // namespace

extern "C" __declspec(dllexport) KaModuleRoot* KaGetModule() { return &g_xml; }
