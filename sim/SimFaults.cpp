#include "sim/SimFaults.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>

#include "platform/DebugOut.h"
#include "platform/Files.h"
#include "platform/RegularFile.h"

namespace ts {
namespace {

constexpr size_t kMaxFaultFile = 64 * 1024;
constexpr size_t kMaxText = 256;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

template <typename T>
bool ParseNumber(std::string_view s, T& out) {
    if (s.empty()) return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
}

std::optional<SimKind> ParseKind(std::string_view s) {
    if (s == "handshake") return SimKind::Handshake;
    if (s == "write") return SimKind::Write;
    if (s == "finish") return SimKind::Finish;
    if (s == "read") return SimKind::Read;
    return std::nullopt;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Answer texts may hold any byte: "\xNN" and "\\" are the escapes.
bool ParseText(std::string_view s, std::string& out) {
    out.clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out.push_back(s[i]);
            continue;
        }
        if (i + 1 < s.size() && s[i + 1] == '\\') {
            out.push_back('\\');
            ++i;
        } else if (i + 3 < s.size() && s[i + 1] == 'x' && HexDigit(s[i + 2]) >= 0 &&
                   HexDigit(s[i + 3]) >= 0) {
            out.push_back(static_cast<char>(HexDigit(s[i + 2]) * 16 + HexDigit(s[i + 3])));
            i += 3;
        } else {
            return false;
        }
    }
    return out.size() <= kMaxText;
}

// Splits "a,b,c" and hands each trimmed item to `f`; false if any item fails.
template <typename F>
bool EachItem(std::string_view list, F f) {
    bool any = false;
    while (true) {
        size_t comma = list.find(',');
        std::string_view item = Trim(list.substr(0, comma));
        if (item.empty() || !f(item)) return false;
        any = true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return any;
}

// "kind:value" with the value handed to `f`.
template <typename F>
bool KindItem(std::string_view item, F f) {
    size_t colon = item.find(':');
    if (colon == std::string_view::npos) return false;
    auto kind = ParseKind(Trim(item.substr(0, colon)));
    return kind && f(*kind, Trim(item.substr(colon + 1)));
}

// "KIND:N[,KIND:N...]" with "KIND:*" for every command of the kind, added to
// `pick`; left as it was when any item is bad.
bool ParsePick(std::string_view value, SimPick& pick) {
    SimPick next = pick;
    bool ok = EachItem(value, [&](std::string_view item) {
        return KindItem(item, [&](SimKind k, std::string_view v) {
            auto i = static_cast<size_t>(k);
            if (v == "*") {
                next.all[i] = true;
                return true;
            }
            uint32_t n;
            if (!ParseNumber(v, n) || n == 0) return false;
            next.at[i].push_back(n);
            return true;
        });
    });
    if (ok) pick = std::move(next);
    return ok;
}

bool Apply(SimFaults& f, std::string_view key, std::string_view value) {
    if (key == "open") {
        if (value != "fail" && value != "ok") return false;
        f.openFails = value == "fail";
        return true;
    }
    if (key == "open_errno") {
        int n;
        if (!ParseNumber(value, n) || n <= 0) return false;
        f.openErrno = n;
        f.openFails = true;
        return true;
    }
    if (key == "fail_errno") {
        int n;
        if (!ParseNumber(value, n) || n <= 0) return false;
        f.failErrno = n;
        return true;
    }
    if (key == "fail_at") {
        SimPick pick{f.failAt, f.failAll};
        if (!ParsePick(value, pick)) return false;
        f.failAt = std::move(pick.at);
        f.failAll = pick.all;
        return true;
    }
    if (key == "check_at") return ParsePick(value, f.checkAt);
    if (key == "short_at") return ParsePick(value, f.shortAt);
    if (key == "status") {
        SimFaults next = f;
        bool ok = EachItem(value, [&](std::string_view item) {
            return KindItem(item, [&](SimKind k, std::string_view v) {
                unsigned n;
                if (!ParseNumber(v, n) || n > 255) return false;
                next.status[static_cast<size_t>(k)] = static_cast<uint8_t>(n);
                return true;
            });
        });
        if (ok) f = std::move(next);
        return ok;
    }
    if (key == "handshake") {
        if (value == "garbled")
            f.handshakeText = "usbhandshakX";
        else if (value == "ok")
            f.handshakeText.reset();
        else
            return false;
        return true;
    }
    if (key == "write") {
        if (value == "discard")
            f.discardWrites = true;
        else if (value == "ok")
            f.discardWrites = false;
        else
            return false;
        return true;
    }
    if (key == "finish") {
        if (value == "garbled") {
            f.finishText = "usb_dataoX";
            f.finishNoNul = false;
        } else if (value == "nonul") {
            f.finishText.reset();
            f.finishNoNul = true;
        } else if (value == "ok") {
            f.finishText.reset();
            f.finishNoNul = false;
        } else {
            return false;
        }
        return true;
    }
    if (key == "handshake_text" || key == "finish_text" || key == "finish_text_nonul") {
        std::string text;
        if (!ParseText(value, text)) return false;
        if (key == "handshake_text") {
            f.handshakeText = std::move(text);
        } else {
            f.finishText = std::move(text);
            f.finishNoNul = key == "finish_text_nonul";
        }
        return true;
    }
    if (key == "latency") {
        // Up to a minute per command: a longer one would only look hung.
        std::array<uint32_t, kSimKinds> next = f.latencyMs;
        const bool ok = EachItem(value, [&](std::string_view item) {
            return KindItem(item, [&](SimKind k, std::string_view v) {
                uint32_t n;
                if (!ParseNumber(v, n) || n > 60000) return false;
                next[static_cast<size_t>(k)] = n;
                return true;
            });
        });
        if (ok) f.latencyMs = next;
        return ok;
    }
    if (key == "size") {
        uint32_t n;
        if (!ParseNumber(value, n)) return false;
        f.reportedSectors = n;
        return true;
    }
    return false;
}

void BadLine(std::string_view origin, size_t lineNo, std::string_view line) {
    char text[400];
    std::snprintf(text, sizeof text, "SimFaults: %.*s:%zu ignored: %.*s\n",
                  static_cast<int>(std::min<size_t>(origin.size(), 200)), origin.data(), lineNo,
                  static_cast<int>(std::min<size_t>(line.size(), 120)), line.data());
    OutputDebugStringA(text);
}

}  // namespace

bool SimPick::Picks(SimKind kind, uint32_t ordinal) const {
    auto i = static_cast<size_t>(kind);
    if (all[i]) return true;
    const auto& v = at[i];
    return std::find(v.begin(), v.end(), ordinal) != v.end();
}

bool SimFaults::FailsCall(SimKind kind, uint32_t ordinal) const {
    auto i = static_cast<size_t>(kind);
    if (failAll[i]) return true;
    const auto& v = failAt[i];
    return std::find(v.begin(), v.end(), ordinal) != v.end();
}

SimFaults ParseSimFaults(std::string_view text, std::string_view origin) {
    SimFaults f;
    size_t lineNo = 0;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view raw = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++lineNo;
        std::string_view line = Trim(raw);
        if (line.empty() || line.front() == '#') continue;
        size_t eq = line.find('=');
        std::string_view key = Trim(line.substr(0, eq));
        std::string_view value =
            eq == std::string_view::npos ? std::string_view() : Trim(line.substr(eq + 1));
        // A bare "finish_text_nonul" means the usual text without its NUL.
        if (eq == std::string_view::npos && key == "finish_text_nonul") {
            f.finishText.reset();
            f.finishNoNul = true;
            continue;
        }
        if (eq == std::string_view::npos || !Apply(f, key, value)) BadLine(origin, lineNo, line);
    }
    return f;
}

SimFaults LoadSimFaults(const std::string& path) {
    FileKind kind = FileKind::Regular;
    int fd = OpenRegularFile(path, &kind);
    if (fd < 0) {
        if (kind == FileKind::Folder || kind == FileKind::Special) {
            BadLine(path, 0, "not a regular file; no faults taken from it");
        } else if (kind != FileKind::Missing) {
            BadLine(path, 0, "cannot be read");
        }
        return {};
    }
    std::string text(kMaxFaultFile + 1, '\0');
    size_t got = 0;
    while (got < text.size()) {
        const long long n = files::Read(fd, text.data() + got, text.size() - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    files::Close(fd);
    if (got > kMaxFaultFile) {
        BadLine(path, 0, "longer than 64 KiB; the rest is ignored");
        got = kMaxFaultFile;
    }
    text.resize(got);
    return ParseSimFaults(text, path);
}

}  // namespace ts
