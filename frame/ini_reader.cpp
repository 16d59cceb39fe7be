#include "frame/ini_reader.h"

#include "frame/boundary.h"
#include "frame/handles.h"
#include "frame/services.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace ka {
namespace {

constexpr size_t kLineBytes = 1024;  // a line keeps at most kLineBytes - 1 bytes
constexpr int kWideLineUnits = 1024;
constexpr size_t kChunkBytes = size_t{16} * 1024;
constexpr uint32_t kUtf8CodePage = 65001;

constexpr wchar_t kKeyValuePattern[] = L"^([^\\=]+)\\=(.*)$";
constexpr wchar_t kSectionPattern[] = L"^\\[(\\w+)\\]$";

// Lines of a stream as std::istream::getline with a buffer of kLineBytes
// reads them: up to the line feed (taken, not kept); a line that does not
// fit is cut to kLineBytes - 1 bytes and the reader fails; the end of the
// data (or a read error) ends it. The chunk lives on the heap: the regular
// expressions want the caller's stack.
class LineReader {
public:
    explicit LineReader(KaStream& stream) : stream_(stream), chunk_(new char[kChunkBytes]) {}

    bool Good() const { return !ended_ && !failed_; }

    void ReadLine(char (&line)[kLineBytes]) {
        size_t length = 0;
        for (;;) {
            if (length == kLineBytes - 1) {  // full: only the line feed may still follow
                if (Available()) {
                    if (chunk_[position_] == '\n') {
                        ++position_;
                    } else {
                        failed_ = true;
                    }
                }
                break;
            }
            if (!Available()) break;
            const char c = chunk_[position_++];
            if (c == '\n') break;
            line[length++] = c;
        }
        line[length] = '\0';
    }

private:
    // Whether a byte is waiting, reading the next chunk when needed.
    bool Available() {
        if (position_ < size_) return true;
        if (ended_ || failed_) return false;
        size_t got = 0;
        if (!stream_.Read(chunk_.get(), kChunkBytes, &got)) {
            failed_ = true;
            return false;
        }
        position_ = 0;
        size_ = got;
        if (got == 0) ended_ = true;
        return got != 0;
    }

    KaStream& stream_;
    std::unique_ptr<char[]> chunk_;
    size_t position_ = 0;
    size_t size_ = 0;
    bool ended_ = false;
    bool failed_ = false;
};

// A group's text; null only when memory ran out (the groups asked for always
// exist), which ends the read like any other failed allocation.
const wchar_t* GroupText(KaRegexMatch& match) {
    const wchar_t* text = match.GetText();
    if (text == nullptr) throw std::bad_alloc();
    return text;
}

class IniParser {
public:
    IniParser(KaStringUtil& text, KaRegex& keyValue, KaRegex& section, uint32_t codePage,
              void* context, IniValueCallback callback)
        : text_(text),
          keyValue_(keyValue),
          section_(section),
          codePage_(codePage),
          context_(context),
          callback_(callback) {}

    // False when the callback asked to stop.
    bool Process(const char* line, int number) {
        if (*line == '\0') return true;
        // Converted with flags 0: invalid bytes become U+FFFD; only an
        // unknown code page fails, and then every line is skipped silently.
        if (!text_.MultiByteToWideBuffer(line, codePage_, wide_, kWideLineUnits)) return true;
        ObjectRef<KaRegexMatch> match;
        if (text_.SearchRegex(wide_, &keyValue_, match.put())) {
            match->Next();
            key_ = GroupText(*match.get());  // the text lives only until the next GetText
            match->Next();
            return callback_(currentSection_.c_str(), key_.c_str(), GroupText(*match.get()),
                             context_);
        }
        if (text_.SearchRegex(wide_, &section_, match.put())) {
            match->Next();
            currentSection_ = GroupText(*match.get());
            return true;
        }
        Log()->PrintfW(LogCategory::ERROR, 0, L"Ignored unexpected values at line %d", number);
        return true;
    }

private:
    KaStringUtil& text_;
    KaRegex& keyValue_;
    KaRegex& section_;
    const uint32_t codePage_;
    void* const context_;
    const IniValueCallback callback_;
    std::wstring currentSection_;  // empty until the first header
    std::wstring key_;
    wchar_t wide_[kWideLineUnits];
};

bool ReadOpenedIni(KaStream& stream, IniParser& parser, uint32_t codePage) {
    LineReader reader(stream);
    char line[kLineBytes];
    int number = 0;  // every line read counts, from 1
    if (codePage == kUtf8CodePage && reader.Good()) {
        reader.ReadLine(line);
        const char* start = std::strncmp(line, "\xEF\xBB\xBF", 3) == 0 ? line + 3 : line;
        if (!parser.Process(start, ++number)) return false;
    }
    while (reader.Good()) {
        reader.ReadLine(line);
        if (!parser.Process(line, ++number)) return false;
    }
    return true;
}

}  // namespace

bool ReadIni(KaFileSystem& files, KaFileStreamFactory& streams, KaStringUtil& text,
             const wchar_t* path, uint32_t codePage, void* context, IniValueCallback callback) {
    if (path == nullptr || callback == nullptr) return false;
    return Boundary(false, [&] {
        if (!files.FileExists(path)) return false;
        ObjectRef<KaRegex> section, keyValue;
        if (!text.CreateRegex(kSectionPattern, section.put()) ||
            !text.CreateRegex(kKeyValuePattern, keyValue.put())) {
            return false;
        }
        // Text mode: CR LF arrives as LF. Shared with readers and writers.
        ObjectRef<KaStream> stream;
        if (!streams.OpenFileStream(stream.put(), path, L"rt")) return true;
        auto parser = std::make_unique<IniParser>(text, *keyValue.get(), *section.get(), codePage,
                                                  context, callback);
        return ReadOpenedIni(*stream.get(), *parser, codePage);
    });
}

}  // namespace ka
