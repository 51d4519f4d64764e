// Arbitrary bytes as journal texts (device serials, station and file names
// come from outside): the CSV field and the terminal text must stay one
// well-formed UTF-8 field without control characters, and time parsing must
// never crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ledger/JournalCsv.h"

namespace {

// Well-formed UTF-8 without C0, DEL or C1 controls.
bool Clean(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F) return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        const size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (len == 0 || c > 0xF4 || i + len > s.size()) return false;
        uint32_t cp = c & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        const uint32_t min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp <= 0x9F) return false;
        i += len;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);

    std::string safe;
    ts::AppendSafeText(safe, in);
    if (!Clean(safe)) std::abort();

    std::string field;
    ts::AppendCsvField(field, in);
    if (!Clean(field)) std::abort();
    if (!field.empty() && field.front() == '"') {
        // Quoted: one field, its inner quotes doubled.
        if (field.size() < 2 || field.back() != '"') std::abort();
        const std::string_view inner(field.data() + 1, field.size() - 2);
        for (size_t i = 0; i < inner.size(); ++i)
            if (inner[i] == '"' && (++i >= inner.size() || inner[i] != '"')) std::abort();
    } else if (field.find_first_of(",\"") != std::string::npos) {
        std::abort();
    }

    if (const auto ms = ts::ParseUtcTime(in)) {
        // What parses formats back to a time that parses to the same value.
        if (ts::ParseUtcTime(ts::FormatUtcMs(*ms)) != ms) std::abort();
    }
    return 0;
}
