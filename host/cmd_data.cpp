// Commands on data through the library: `json` prints a value from a JSON
// file, `sha1` the digests of files, `ini` every setting of an INI file.
#include "frame/handles.h"
#include "host/kahost.h"

#include <share.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace kahost {
namespace {

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    ka::UniqueCrtFile file(_wfsopen(path.c_str(), L"rb", _SH_DENYWR));
    if (!file) return FailOn("cannot open", path);
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) bytes.append(chunk, got);
    return !std::ferror(file.get()) || FailOn("cannot read", path);
}

// Text that does not parse leaves a null root, and so does the text "null":
// only that one is the word between blanks, after the byte-order mark that
// Parse skips byte by byte (and before a null byte, where reading stops).
bool IsNullText(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    for (char mark : {'\xEF', '\xBB', '\xBF'}) {
        if (!text.empty() && text.front() == mark) text.remove_prefix(1);
    }
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return false;
    return text.substr(first, text.find_last_not_of(" \t\r\n") + 1 - first) == "null";
}

std::string Where(const std::string& walked) {
    return walked.empty() ? "the root" : "\"" + walked + "\"";
}

// Moves the cursor along `path`: member names between dots, indexes in
// brackets ("a.b[2].c", "[0].name"). Names cannot hold '.' or '['.
// Returns kExitOk or the exit code, having said what went wrong.
int WalkPath(KaJson* json, const std::string& path) {
    auto bad = [&] {
        return UsageError("bad path " + path + " (expected names and [index]: a.b[2].c)");
    };
    auto missing = [](const std::string& what) {
        Fail(what);
        return kExitFailed;
    };
    std::string walked;
    size_t at = 0;
    while (at < path.size()) {
        if (path[at] == '[') {
            size_t close = path.find(']', at);
            if (close == std::string::npos || close == at + 1 || close - at > 10) return bad();
            std::string digits = path.substr(at + 1, close - at - 1);
            if (digits.find_first_not_of("0123456789") != std::string::npos) return bad();
            unsigned long long index = std::stoull(digits);
            if (!json->IsArray()) return missing(Where(walked) + " is not an array");
            if (index >= json->Size()) {
                return missing(Where(walked) + " has " + std::to_string(json->Size()) +
                               " elements, no [" + digits + "]");
            }
            json->VisitAt(static_cast<uint32_t>(index));
            walked += path.substr(at, close + 1 - at);
            at = close + 1;
            if (at < path.size() && path[at] != '.' && path[at] != '[') return bad();
            continue;
        }
        if (path[at] == '.') {
            if (at == 0) return bad();
            ++at;
        }
        size_t end = path.find_first_of(".[", at);
        if (end == std::string::npos) end = path.size();
        std::string name = path.substr(at, end - at);
        if (name.empty()) return bad();
        if (!json->IsObject()) return missing(Where(walked) + " is not an object");
        if (json->VisitMember(name.c_str()) == nullptr) {
            return missing(Where(walked) + " has no member \"" + name + "\"");
        }
        walked += (walked.empty() ? "" : ".") + name;
        at = end;
    }
    return kExitOk;
}

bool PrintIniValue(const wchar_t* section, const wchar_t* key, const wchar_t* value, void*) {
    std::printf("%s\t%s\t%s\n", Utf8(section).c_str(), Utf8(key).c_str(), Utf8(value).c_str());
    return true;
}

}  // namespace

int RunJson(const Invocation& call) {
    if (call.args.empty() || call.args.size() > 2) {
        return UsageError("json takes a file and an optional path");
    }
    std::string text;
    if (!ReadWholeFile(call.args[0], text)) return kExitFailed;
    ka::ObjectRef<KaJson> json;
    if (!call.system->CreateJsonDocument(json.put()) || !json->Parse(text.data(), text.size())) {
        Fail("cannot make a JSON document");
        return kExitFailed;
    }
    if (json->IsNull() && !IsNullText(text)) {
        Fail(Utf8(call.args[0]) + " is not valid JSON");
        return kExitFailed;
    }
    if (int status = WalkPath(json.get(), call.args.size() > 1 ? Utf8(call.args[1]) : "")) {
        return status;
    }
    const char* value = json->Write();
    if (*value == '\0') {
        Fail("the value cannot be written as JSON");
        return kExitFailed;
    }
    std::printf("%s\n", value);
    return kExitOk;
}

int RunSha1(const Invocation& call) {
    if (call.args.empty()) return UsageError("sha1 takes one or more files");
    KaSha1* hasher = call.system->GetHasher();
    if (hasher == nullptr) {
        Fail("the library has no SHA-1 hasher");
        return kExitFailed;
    }
    bool ok = true;
    for (const std::wstring& path : call.args) {
        char text[41];
        if (hasher->HashFileText(path.c_str(), text)) {
            std::printf("%s  %s\n", text, Utf8(path).c_str());  // as sha1sum prints it
        } else {
            ok = FailOn("sha1: cannot read", path);
        }
    }
    return ok ? kExitOk : kExitFailed;
}

// Lines the reader ignores are logged (ERROR "Ignored unexpected values at
// line N"), so they show in the file KAV_QMT_LOG_FILE names.
int RunIni(const Invocation& call) {
    long codePage = CP_UTF8;
    if (call.args.empty() || call.args.size() > 2 ||
        (call.args.size() == 2 && !ParseCount(call.args[1], 0, 65535, codePage))) {
        return UsageError("ini takes a file and its code page, 0 to 65535 (default 65001: UTF-8)");
    }
    if (!call.system->ReadIniFile(call.args[0].c_str(), static_cast<uint32_t>(codePage), nullptr,
                                  PrintIniValue)) {
        Fail("ini: no such file " + Utf8(call.args[0]));
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace kahost
