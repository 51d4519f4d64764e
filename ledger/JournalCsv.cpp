#include "ledger/JournalCsv.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "ledger/JournalColumns.h"

namespace ts {
namespace {

constexpr int64_t kMsPerDay = 86400000;

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(int64_t y, unsigned m) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Reads exactly `n` digits at `pos`.
bool Digits(std::string_view s, size_t& pos, size_t n, unsigned& out) {
    if (pos + n > s.size()) return false;
    out = 0;
    for (size_t i = 0; i < n; ++i) {
        const char c = s[pos + i];
        if (c < '0' || c > '9') return false;
        out = out * 10 + static_cast<unsigned>(c - '0');
    }
    pos += n;
    return true;
}

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the well-formed UTF-8 sequence at s[i] (lead byte >= 0x80), or 0.
size_t SequenceLength(std::string_view s, size_t i, uint32_t& cp) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char lead = b(0);
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        cp = lead & 0x0F;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;  // no surrogate halves
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        cp = lead & 0x07;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        const unsigned char c = b(k);
        if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    return len;
}

bool NeedsWork(std::string_view s) {
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F || c == ',' || c == '"') return true;
    }
    return false;
}

// Appends the cleaned text; true when it holds a comma or a quote.
bool AppendClean(std::string& out, std::string_view s) {
    bool special = false;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) {
                out += kReplacement;
            } else {
                special |= c == ',' || c == '"';
                out.push_back(static_cast<char>(c));
            }
            ++i;
            continue;
        }
        uint32_t cp = 0;
        const size_t len = SequenceLength(s, i, cp);
        if (len == 0) {
            out += kReplacement;
            ++i;
        } else {
            if (cp >= 0x80 && cp <= 0x9F) {
                out += kReplacement;
            } else {
                out.append(s.data() + i, len);
            }
            i += len;
        }
    }
    return special;
}

void AppendInt(std::string& out, int64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

}  // namespace

// Appends "YYYY-MM-DDTHH:MM:SS.mmmZ"; digits by hand, as an export formats
// a million of them.
void AppendUtcMs(std::string& out, int64_t ms) {
    int64_t days = ms / kMsPerDay;
    int64_t rest = ms % kMsPerDay;
    if (rest < 0) {
        rest += kMsPerDay;
        --days;
    }
    int64_t y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    const auto r = static_cast<unsigned>(rest);
    char buf[48];
    if (y < 0 || y > 9999) {
        const int n = std::snprintf(buf, sizeof buf, "%lld-%02u-%02uT%02u:%02u:%02u.%03uZ",
                                    static_cast<long long>(y), m, d, r / 3600000, r / 60000 % 60,
                                    r / 1000 % 60, r % 1000);
        out.append(buf, static_cast<size_t>(n));
        return;
    }
    const auto put = [&](char* p, unsigned v, int width) {
        for (int i = width - 1; i >= 0; --i, v /= 10) p[i] = static_cast<char>('0' + v % 10);
    };
    std::memcpy(buf, "0000-00-00T00:00:00.000Z", 24);
    put(buf, static_cast<unsigned>(y), 4);
    put(buf + 5, m, 2);
    put(buf + 8, d, 2);
    put(buf + 11, r / 3600000, 2);
    put(buf + 14, r / 60000 % 60, 2);
    put(buf + 17, r / 1000 % 60, 2);
    put(buf + 20, r % 1000, 3);
    out.append(buf, 24);
}

std::string FormatUtcMs(int64_t ms) {
    std::string s;
    AppendUtcMs(s, ms);
    return s;
}

std::optional<int64_t> ParseUtcTime(std::string_view s) {
    size_t pos = 0;
    unsigned year, month, day, hour = 0, minute = 0, second = 0, milli = 0;
    if (!Digits(s, pos, 4, year) || pos >= s.size() || s[pos++] != '-' ||
        !Digits(s, pos, 2, month) || pos >= s.size() || s[pos++] != '-' || !Digits(s, pos, 2, day))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return std::nullopt;
    if (pos < s.size() && (s[pos] == 'T' || s[pos] == ' ')) {
        ++pos;
        if (!Digits(s, pos, 2, hour) || pos >= s.size() || s[pos++] != ':' ||
            !Digits(s, pos, 2, minute))
            return std::nullopt;
        if (pos < s.size() && s[pos] == ':') {
            ++pos;
            if (!Digits(s, pos, 2, second)) return std::nullopt;
            if (pos < s.size() && s[pos] == '.') {
                ++pos;
                size_t n = 0;
                while (pos + n < s.size() && n < 4 && s[pos + n] >= '0' && s[pos + n] <= '9') ++n;
                if (n == 0 || n > 3) return std::nullopt;
                Digits(s, pos, n, milli);
                for (size_t k = n; k < 3; ++k) milli *= 10;
            }
        }
        if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
    }
    if (pos < s.size() && s[pos] == 'Z') ++pos;
    if (pos != s.size()) return std::nullopt;
    return DaysFromCivil(year, month, day) * kMsPerDay + int64_t{hour} * 3600000 +
           int64_t{minute} * 60000 + int64_t{second} * 1000 + milli;
}

void AppendSafeText(std::string& out, std::string_view text) {
    if (!NeedsWork(text)) {
        out.append(text);
        return;
    }
    AppendClean(out, text);
}

void AppendCsvField(std::string& out, std::string_view text) {
    // A cell starting so is a formula to a spreadsheet: a leading apostrophe
    // makes it show as text. (A tab or carriage return there is cleaned.)
    const bool formula =
        !text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@');
    if (!formula && !NeedsWork(text)) {
        out.append(text);
        return;
    }
    const size_t start = out.size();
    if (formula) out.push_back('\'');
    if (!AppendClean(out, text)) return;
    // Quote what was appended, doubling its quotes.
    std::string field = out.substr(start);
    out.resize(start);
    out.push_back('"');
    for (char c : field) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
}

const std::string& JournalCsvHeader() {
    static const std::string kHeader = store::JournalColumnList(store::kExported, ",") + "\n";
    return kHeader;
}

void AppendJournalCsvRow(std::string& out, const JournalRow& r) {
    AppendUtcMs(out, r.timeMs);
    for (std::string_view f : {r.station, r.mode, r.source, r.fileSha256, r.fileName}) {
        out.push_back(',');
        AppendCsvField(out, f);
    }
    out.push_back(',');
    if (r.line > 0) AppendInt(out, r.line);
    for (std::string_view f : {r.prefix, r.suffix, r.direction, r.id, r.device, r.usbSerial,
                               r.usbVendor, r.usbProduct, r.port}) {
        out.push_back(',');
        AppendCsvField(out, f);
    }
    out.push_back(',');
    if (r.result) AppendInt(out, *r.result);
    out.push_back(',');
    AppendInt(out, r.durationMs);
    out += r.verified ? ",1\n" : ",0\n";
}

LedgerResult ExportJournalCsv(IdLedger& ledger, int64_t sinceMs,
                              const std::function<bool(std::string_view)>& write, uint64_t* rows) {
    constexpr size_t kChunk = 1 << 20;
    std::string buf;
    buf.reserve(kChunk + 8192);
    buf = JournalCsvHeader();
    uint64_t n = 0;
    bool writeFailed = false;
    LedgerResult r = ledger.ReadJournal(sinceMs, [&](const JournalRow& row) {
        AppendJournalCsvRow(buf, row);
        ++n;
        if (buf.size() >= kChunk) {
            if (!write(buf)) {
                writeFailed = true;
                return false;
            }
            buf.clear();
        }
        return true;
    });
    if (rows) *rows = n;
    if (!r.ok()) return r;
    if (writeFailed || !write(buf))
        return LedgerResult::Fail(LedgerStatus::IoError, "the journal could not be written out");
    return {};
}

}  // namespace ts
