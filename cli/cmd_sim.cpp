// tagsmith-cli --simulate DIR sim new|disk|unplug: plug devices into and out
// of a simulated line.
#include <charconv>
#include <cstdio>
#include <string>

#include "cli/Cli.h"
#include "sim/SimDevice.h"
#include "sim/SimLine.h"

namespace ts::cli {
namespace {

constexpr uint64_t kDefaultSectors = 2048;  // 1 MiB

int UsageError(const std::string& text) {
    std::fprintf(stderr, "tagsmith-cli: %s\n", text.c_str());
    std::fputs(
        "usage: tagsmith-cli --simulate DIR sim new E [--sectors N]\n"
        "       tagsmith-cli --simulate DIR sim disk E [--sectors N]\n"
        "       tagsmith-cli --simulate DIR sim unplug E [--keep PATH]\n",
        stderr);
    return kExitUsage;
}

// "E" or "E:", upper or lower case.
bool ParseLetter(const std::string& s, char& letter) {
    if (s.empty() || s.size() > 2 || (s.size() == 2 && s[1] != ':')) return false;
    char c = s[0];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c < 'A' || c > 'Z') return false;
    letter = c;
    return true;
}

bool ParseSectors(const std::string& s, uint64_t& n) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size() && n >= 1 &&
           n <= UINT32_MAX;
}

int Plug(const std::string& dir, char letter, const std::vector<std::string>& opts, bool disk) {
    uint64_t sectors = kDefaultSectors;
    for (size_t i = 0; i < opts.size(); ++i) {
        if (opts[i] == "--sectors" && i + 1 < opts.size()) {
            if (!ParseSectors(opts[++i], sectors))
                return UsageError("--sectors needs a number from 1 to 4294967295");
        } else {
            return UsageError("unexpected argument '" + opts[i] + "'");
        }
    }
    std::string error;
    if (!SimPlug(dir, letter, sectors, disk, error)) {
        std::fprintf(stderr, "tagsmith-cli: %s\n", error.c_str());
        return kExitFailed;
    }
    std::printf("plugged %c: %s sectors=%llu\n", letter, disk ? "disk" : "device",
                static_cast<unsigned long long>(sectors));
    return kExitOk;
}

int Unplug(const std::string& dir, char letter, const std::vector<std::string>& opts) {
    std::optional<std::string> keep;
    for (size_t i = 0; i < opts.size(); ++i) {
        if (opts[i] == "--keep" && i + 1 < opts.size() && !opts[i + 1].empty()) {
            keep = opts[++i];
        } else {
            return UsageError("unexpected argument '" + opts[i] + "'");
        }
    }
    std::string error;
    if (!SimUnplug(dir, letter, keep ? &*keep : nullptr, error)) {
        std::fprintf(stderr, "tagsmith-cli: %s\n", error.c_str());
        return kExitFailed;
    }
    if (keep) {
        std::printf("unplugged %c: kept as %s\n", letter, keep->c_str());
    } else {
        std::printf("unplugged %c:\n", letter);
    }
    return kExitOk;
}

}  // namespace

int CmdSim(Context& ctx) {
    if (!ctx.simDir) return UsageError("'sim' needs --simulate DIR");
    if (ctx.args.size() < 2) return UsageError("'sim' needs an action and a drive letter");
    const std::string& action = ctx.args[0];
    char letter = 0;
    if (!ParseLetter(ctx.args[1], letter))
        return UsageError("bad drive letter '" + ctx.args[1] + "' (A-Z)");
    std::vector<std::string> opts(ctx.args.begin() + 2, ctx.args.end());
    if (action == "new") return Plug(*ctx.simDir, letter, opts, false);
    if (action == "disk") return Plug(*ctx.simDir, letter, opts, true);
    if (action == "unplug") return Unplug(*ctx.simDir, letter, opts);
    return UsageError("unknown sim action '" + action + "'");
}

}  // namespace ts::cli
