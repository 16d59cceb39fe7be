// Commands on the library's text service: `regex` searches or replaces,
// `convert` changes a text's code page, `case` maps a text's case under the
// library's fixed locale. Input and output are UTF-8 bytes unless a code page
// says otherwise.
#include "frame/handles.h"
#include "host/kahost.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>

namespace kahost {
namespace {

// Prints the leftmost occurrence in `line` (number `lineNumber`) and its
// groups; false when there is none. The library searches a whole subject:
// searching again in the rest of a line would move ^ and \b, so only the
// first occurrence of each line is shown.
bool PrintLineMatch(KaStringUtil* util, KaRegex* regex, const std::wstring& line,
                    size_t lineNumber) {
    ka::ObjectRef<KaRegexMatch> match;
    if (!util->SearchRegex(line.c_str(), regex, match.put())) return false;
    // Group 0, the occurrence, first; a group that did not take part reads empty.
    std::printf("%zu:%lld: %s\n", lineNumber, static_cast<long long>(match->GetPosition()),
                Utf8(match->GetText()).c_str());
    for (int group = 1; match->Next(); ++group) {
        std::printf("  $%d = %s\n", group, Utf8(match->GetText()).c_str());
    }
    return true;
}

}  // namespace

int RunRegex(const Invocation& call) {
    const auto& args = call.args;
    bool replace = args.size() == 4 && args[1] == L"--replace";
    if (args.size() != 2 && !replace) {
        return UsageError("regex takes a pattern, optionally --replace TEXT, and a file or -");
    }
    std::string bytes;
    if (!ReadInput(call.system, args.back(), bytes)) return kExitFailed;
    KaStringUtil* util = call.system->GetStringUtil();
    LibraryBuffer<wchar_t> text(call.system);
    if (!util->MultiByteToWide(bytes.c_str(), CP_UTF8, text.put())) {
        Fail("regex: cannot convert the input from UTF-8");
        return kExitFailed;
    }
    ka::ObjectRef<KaRegex> regex;
    if (!util->CreateRegex(args[0].c_str(), regex.put())) {
        return UsageError("regex: the pattern does not compile: " + Utf8(args[0]));
    }
    if (replace) {
        LibraryBuffer<wchar_t> replaced(call.system);
        if (!util->ReplaceAll(text.get(), regex.get(), args[2].c_str(), replaced.put())) {
            Fail(
                "regex: the replacement gave up (the matcher's bounds; the library's log says "
                "more)");
            return kExitFailed;
        }
        WriteOutput(Utf8(replaced.get()));
        return kExitOk;
    }
    // Lines end at \n; a \r before it is not part of the line.
    std::wstring_view all = text.get();
    size_t lineNumber = 0, matched = 0;
    for (size_t start = 0; start < all.size();
         start = std::min(all.find(L'\n', start), all.size()) + 1) {
        std::wstring line(all.substr(start, all.find(L'\n', start) - start));
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        matched += PrintLineMatch(util, regex.get(), line, ++lineNumber);
    }
    if (matched == 0) {
        Fail("regex: no line of " + Utf8(args[1]) + " matches " + Utf8(args[0]));
        return kExitFailed;
    }
    return kExitOk;
}

int RunConvert(const Invocation& call) {
    long from = -1, to = -1;
    const auto& args = call.args;
    size_t next = 0;
    for (; next + 1 < args.size() && args[next].starts_with(L"--"); next += 2) {
        long* page = args[next] == L"--from" ? &from : args[next] == L"--to" ? &to : nullptr;
        if (page == nullptr || !ParseCount(args[next + 1], 0, 65535, *page)) {
            return UsageError("convert: unknown option or code page " + Utf8(args[next]));
        }
    }
    if (from < 0 || to < 0 || next + 1 != args.size()) {
        return UsageError("convert takes --from CODEPAGE --to CODEPAGE and a file or -");
    }
    std::string bytes;
    if (!ReadInput(call.system, args[next], bytes)) return kExitFailed;
    if (bytes.empty()) return kExitOk;  // nothing to convert, whatever the pages
    LibraryBuffer<char> converted(call.system);
    if (!call.system->GetStringUtil()->Transcode(bytes.c_str(), static_cast<uint32_t>(from),
                                                 static_cast<uint32_t>(to), converted.put())) {
        Fail("convert: cannot convert from code page " + std::to_string(from) + " to " +
                 std::to_string(to),
             ::GetLastError());
        return kExitFailed;
    }
    WriteOutput(converted.get());
    return kExitOk;
}

int RunCase(const Invocation& call) {
    const auto& args = call.args;
    bool upper = !args.empty() && args[0] == L"upper";
    if (args.size() != 2 || (!upper && args[0] != L"lower")) {
        return UsageError("case takes upper or lower and a text");
    }
    ka::ObjectRef<KaString> text, mapped;
    if (!call.system->GetStringUtil()->CreateString(args[1].c_str(), text.put()) ||
        !(upper ? text->ToUpper(mapped.put()) : text->ToLower(mapped.put()))) {
        Fail("case: the library could not map the text");
        return kExitFailed;
    }
    WriteOutput(Utf8(mapped->GetText()) + "\n");
    return kExitOk;
}

}  // namespace kahost
