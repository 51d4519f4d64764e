// tagsmith-cli ids FILE: loads an ID list file as the list page does, prints
// the IDs on standard output and a check of the file on standard error, so
// that a line engineer can vet a file before a run.
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "cli/CliSupport.h"
#include "idsource/HexId.h"
#include "idsource/IdList.h"

namespace ts::cli {
namespace {

constexpr size_t kListedLines = 20;  // line numbers shown per finding

// A count of findings with the first few line numbers.
struct Finding {
    size_t count = 0;
    std::vector<uint32_t> lines;

    void Add(uint32_t line) {
        ++count;
        if (lines.size() < kListedLines) lines.push_back(line);
    }
    void Print(const char* what) const {
        std::fprintf(stderr, "%s: %zu", what, count);
        if (count != 0) {
            std::fputs(count == 1 ? " (line " : " (lines ", stderr);
            for (size_t k = 0; k < lines.size(); ++k)
                std::fprintf(stderr, "%s%u", k ? ", " : "", lines[k]);
            if (count > lines.size()) std::fputs(", \xE2\x80\xA6", stderr);  // "…"
            std::fputc(')', stderr);
        }
        std::fputc('\n', stderr);
    }
};

}  // namespace

int CmdIds(Context& ctx) {
    if (ctx.args.size() != 1) {
        std::fputs("usage: tagsmith-cli ids FILE\n", stderr);
        return kExitUsage;
    }
    const std::string& path = ctx.args[0];

    IdList list;
    TextEncodingKind kind{};
    std::vector<uint32_t> lines;
    const IdFileError err = ReadIdFile(path, &list, &kind, &lines);
    if (err != IdFileError::None) {
        std::fprintf(stderr, "tagsmith-cli: %s: not loaded: %s\n", path.c_str(),
                     IdFileErrorText(err));
        return kExitFailed;
    }

    const size_t n = list.size();
    const bool noIds = n == 1 && list.Text(0).empty() && lines[0] == 0;

    // The IDs, as loaded, in one buffered stream; a control character in a
    // line is escaped, so that each ID stays one line of the output.
    std::string out;
    out.reserve(1u << 20);
    for (size_t i = 0; i < n; ++i) {
        AppendPrintable(out, list.Text(i));
        out.push_back('\n');
        if (out.size() >= (1u << 20) - 8192) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (std::fflush(stdout) != 0) {
        std::fputs("tagsmith-cli: cannot write the IDs to standard output\n", stderr);
        return kExitFailed;
    }

    // What the write flow would make of each ID: checked for hexadecimal
    // digits first, then for length.
    Finding duplicates, notHex, tooLong;
    std::unordered_set<std::u16string_view> seen;
    seen.reserve(n);
    std::u16string id;
    if (!noIds) {
        for (size_t i = 0; i < n; ++i) {
            const std::u16string_view text = list.Text(i);
            if (!seen.insert(text).second) duplicates.Add(lines[i]);
            id.assign(text);
            if (!IsHexId(&id)) {
                notHex.Add(lines[i]);
            } else if (id.size() > kMaxIdLength) {
                tooLong.Add(lines[i]);
            }
        }
    }

    std::fprintf(stderr, "encoding: %s\n", EncodingKindName(kind));
    if (noIds) {
        std::fputs("ids: 0 (no ID in the file; the list holds one empty entry)\n", stderr);
    } else {
        std::fprintf(stderr, "ids: %zu\n", n);
    }
    duplicates.Print("duplicates");
    notHex.Print("not hexadecimal");
    tooLong.Print("longer than 1024 characters");
    return kExitOk;
}

}  // namespace ts::cli
