#include "cli/CliSupport.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "app/StartUp.h"
#include "platform/Codepage.h"
#include "platform/Console.h"
#include "platform/Profile.h"
#include "platform/RegularFile.h"

namespace ts::cli {

namespace {

bool NeedsEscape(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void AppendEscape(std::string& out, char32_t c) {
    static const char kHex[] = "0123456789ABCDEF";
    switch (c) {
        case u'\n':
            out += "\\n";
            return;
        case u'\r':
            out += "\\r";
            return;
        case u'\t':
            out += "\\t";
            return;
        default:
            break;
    }
    if (c <= 0xFF) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
        return;
    }
    out += "\\u{";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
    out += '}';
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

void AppendPrintable(std::string& out, std::u16string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0x20 && c < 0x7F) {  // the common case, IDs above all
            if (c == u'\\') out += '\\';
            out += static_cast<char>(c);
        } else if (IsHigh(text[i]) && i + 1 < text.size() && IsLow(text[i + 1])) {
            AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
            ++i;
        } else if (NeedsEscape(c) || IsHigh(text[i]) || IsLow(text[i])) {
            AppendEscape(out, c);
        } else {
            AppendUtf8(out, c);
        }
    }
}

std::string PrintableId(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendPrintable(out, text);
    return out;
}

std::string ForTerminal(const std::u16string& text) {
    std::u16string_view t(text);
    while (!t.empty() && (t.back() == u'\n' || t.back() == u'\r')) t.remove_suffix(1);
    std::string out;
    out.reserve(t.size() * 3);
    AppendPrintable(out, t);
    return out;
}

StdoutLog::StdoutLog() {
    onLine = [](const std::u16string& line) {
        const std::string s = ForTerminal(line) + '\n';
        std::fwrite(s.data(), 1, s.size(), stdout);
        std::fflush(stdout);
    };
}

MsgAnswer StderrBoxer::Show(const MessageRequest& request) {
    const std::string s = ForTerminal(request.text) + '\n';
    std::fwrite(s.data(), 1, s.size(), stderr);
    if (request.buttons == MsgButtons::Ok) return MsgAnswer::Ok;
    if (answer) return *answer;
    if (!StdinIsTerminal()) return MsgAnswer::No;
    std::fputs("[y/N] ", stderr);
    std::fflush(stderr);
    std::string reply;
    if (!std::getline(std::cin, reply)) return MsgAnswer::No;
    return (reply == "y" || reply == "Y" || reply == "yes") ? MsgAnswer::Yes : MsgAnswer::No;
}

bool ParseCount(const std::string& text, long& out) {
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && p == end && out > 0;
}

void RunEventLoop(DeviceEventSource& events, const StopSignals& stop,
                  const std::function<bool()>& more,
                  const std::function<bool(DeviceEvent)>& handle) {
    while (more() && !stop.Requested()) {
        const Waitable items[2] = {events.Fd(), stop.Fd()};
        const int ready = WaitForAny(items, 2, -1);
        if (ready == -2) {
            std::perror("tagsmith-cli: poll");
            return;
        }
        if (ready == 1) return;
        for (DeviceEvent ev : events.ReadEvents()) {
            if (!handle(ev) || stop.Requested()) return;
        }
    }
}

void RunGangLoop(DeviceEventSource& events, const StopSignals& stop, WakeSignal& wake,
                 GangStation& gang, const std::function<bool()>& more) {
    while (more() && !stop.Requested()) {
        const Waitable items[3] = {events.Fd(), stop.Fd(), wake.Get()};
        const int ready = WaitForAny(items, 3, -1);
        if (ready == -2) {
            std::perror("tagsmith-cli: poll");
            break;
        }
        if (ready == 1) break;
        if (ready == 2) {
            wake.Drain();
            gang.Poll();
        }
        if (ready == 0) {
            for (DeviceEvent ev : events.ReadEvents()) gang.OnEvent(ev);
        }
    }
    gang.StopNew();
    gang.WaitIdle();
}

bool UseAppFolder(Context& ctx) {
    const AppFolderCheck check =
        CheckAppFolder(ctx.appDir.empty() ? std::nullopt : std::optional<std::string>(ctx.appDir),
                       ctx.lock, false);
    switch (check.problem) {
        case AppFolderCheck::Problem::None:
            return true;
        case AppFolderCheck::Problem::FolderUnknown:
            std::fputs(
                "tagsmith-cli: the application folder cannot be found: /proc/self/exe cannot be "
                "read (is /proc mounted?)\n",
                stderr);
            return false;
        case AppFolderCheck::Problem::NoCodepage:
            // Not asked for: each command checks the code page it needs.
            return false;
        case AppFolderCheck::Problem::Busy:
            std::fprintf(stderr,
                         "tagsmith-cli: the application folder %s is in use by another process",
                         ctx.appDir.c_str());
            if (check.holder > 0) std::fprintf(stderr, " (pid %ld)", check.holder);
            std::fputs("; one process at a time may use it\n", stderr);
            return false;
        case AppFolderCheck::Problem::LockFailed:
            if (check.error == EROFS || check.error == EACCES) {
                std::fprintf(stderr,
                             "tagsmith-cli: the application folder %s is read-only (%s): this "
                             "command writes there (its lock, staging and settings files); "
                             "ledger status, journal, pool status, ids and devices only read\n",
                             ctx.appDir.c_str(), std::strerror(check.error));
                return false;
            }
            std::fprintf(stderr, "tagsmith-cli: cannot lock the application folder: %s: %s\n",
                         check.path.c_str(),
                         check.error ? std::strerror(check.error) : "not a regular file");
            return false;
        case AppFolderCheck::Problem::ConfigNotFile:
            std::fprintf(stderr, "tagsmith-cli: %s is %s\n", check.path.c_str(),
                         FileKindText(check.configKind));
            return false;
    }
    return false;
}

bool Session::Open(Context& ctx, std::optional<bool> verify) {
    if (!UseAppFolder(ctx)) return false;
    drives = ctx.OpenDrives();
    if (!drives) {
        std::fputs("tagsmith-cli: no drive system available\n", stderr);
        return false;
    }
    IdPage* const pages[] = {&page};
    StationParts parts;
    parts.appDir = ctx.appDir;
    parts.drives = drives.get();
    parts.log = &log;
    parts.boxes = &boxes;
    parts.pages = pages;
    parts.ledger = true;
    parts.verify = verify;
    parts.ledgerLocation = ctx.LedgerOverride();
    // Without the plug-in the flows fail with their own result codes.
    OpenStation(core, parts);
    return true;
}

}  // namespace ts::cli
