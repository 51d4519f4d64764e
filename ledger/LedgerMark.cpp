#include "ledger/LedgerMark.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include "ledger/JournalCsv.h"
#include "platform/Files.h"

namespace ts {

namespace {

bool ParseInt(std::string_view text, int64_t* out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return ec == std::errc() && end == text.data() + text.size();
}

// A mark is a few short lines.
constexpr size_t kMaxMarkBytes = 16384;

std::string Change(int64_t seq, int64_t ms) {
    return "change " + std::to_string(seq) + " of " + FormatUtcMs(ms);
}

}  // namespace

MarkRead ReadLedgerMark(const std::string& path, LedgerMark* out, std::string* why) {
    const auto damaged = [&](std::string reason) {
        if (why) *why = std::move(reason);
        return MarkRead::Damaged;
    };
    const int fd = files::Open(path, files::kRead | files::kNoFollow | files::kNonBlock);
    if (fd < 0) {
        if (errno == ENOENT) return MarkRead::None;
        return damaged(std::strerror(errno));
    }
    std::string text;
    char buf[1024];
    long long n = 0;
    // A mark is a few short lines; anything far larger is no mark.
    while ((n = files::Read(fd, buf, sizeof buf)) > 0 && text.size() <= kMaxMarkBytes)
        text.append(buf, static_cast<size_t>(n));
    const int readErr = n < 0 ? errno : 0;
    files::Close(fd);
    if (readErr != 0) return damaged(std::strerror(readErr));
    if (text.size() > kMaxMarkBytes) return damaged("far larger than a mark");
    LedgerMark m;
    bool hasNewest = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + at, end - at);
        at = end + 1;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "ledger") m.location = value;
        if (key == "identity") m.identity = value;
        if (key == "newest") hasNewest = ParseInt(value, &m.newest);
        if (key == "time" && !ParseInt(value, &m.newestMs)) m.newestMs = 0;
    }
    if (m.identity.empty()) return damaged("no ledger identity in it");
    if (!hasNewest) return damaged("no valid newest change in it");
    *out = std::move(m);
    return MarkRead::Read;
}

int WriteLedgerMark(const std::string& path, const LedgerMark& mark) {
    const std::string text =
        "# the ledger this station writes with; see tagsmith-cli ledger\n"
        "ledger=" +
        mark.location + "\nidentity=" + mark.identity + "\nnewest=" + std::to_string(mark.newest) +
        "\ntime=" + std::to_string(mark.newestMs) + "\n";
    return files::ReplaceWhole(path, text);
}

LedgerResult CheckLedgerMark(const LedgerMark& mark, const std::string& location,
                             const LedgerPosition& pos) {
    // By identity only: the application folder (and the ledger with it) may
    // have moved.
    if (pos.identity != mark.identity)
        return LedgerResult::Fail(LedgerStatus::Damaged,
                                  "ledger " + location +
                                      ": not the ledger this station wrote with (" + mark.location +
                                      ", last " + Change(mark.newest, mark.newestMs) + ")");
    if (pos.newest < mark.newest)
        return LedgerResult::Fail(LedgerStatus::Damaged,
                                  "ledger " + location + ": older than this station's last " +
                                      Change(mark.newest, mark.newestMs) + " (it ends at " +
                                      Change(pos.newest, pos.newestMs) +
                                      "): an older copy, or changes were lost");
    return {};
}

LedgerResult MissingMarkedLedger(const LedgerMark& mark, const std::string& location) {
    return LedgerResult::Fail(LedgerStatus::NotFound, "no ledger at " + location +
                                                          ", but this station wrote with " +
                                                          mark.location + " (last " +
                                                          Change(mark.newest, mark.newestMs) + ")");
}

LedgerResult DamagedLedgerMark(const std::string& path, const std::string& why) {
    return LedgerResult::Fail(LedgerStatus::Damaged,
                              "this station's ledger mark " + path + " cannot be used (" + why +
                                  "): which ledger it wrote with is unknown");
}

}  // namespace ts
