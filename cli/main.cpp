#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "platform/AppFolder.h"
#include "platform/Codepage.h"
#include "platform/Console.h"
#include "platform/DebugOut.h"
#include "platform/LocalSystem.h"
#include "platform/Profile.h"
#include "sim/SimLine.h"

namespace ts::cli {

std::unique_ptr<DriveSystem> Context::OpenDrives() const {
    if (simDir) return MakeSimLine(*simDir);
    return MakeSystemDrives();
}

std::optional<std::string> Context::LedgerOverride() const {
    if (!ledger || ledger->empty() || ledger->front() == '/' || IsSharedLedger(*ledger) ||
        *ledger == "off" || *ledger == "OFF")
        return ledger;
    std::error_code ec;
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    return ec ? *ledger : (cwd / *ledger).string();
}

LedgerSettings Context::Ledger() const {
    LedgerSettings s = ReadLedgerSettings(ConfigPathIn(appDir), appDir);
    if (const auto location = LedgerOverride()) OverrideLedgerLocation(s, *location);
    return s;
}

namespace {

// One line of the usage text: a synopsis and what it does (empty: the next
// line of the same command says it).
struct UsageLine {
    const char* synopsis;
    const char* help;
};

struct Command {
    const char* name;
    int (*handler)(Context&);
    // Whether the command touches drive roots, ID files or settings, which
    // all pass through the station's code page.
    bool needsCodepage;
    std::vector<UsageLine> usage;
};

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"devices",
         CmdDevices,
         true,
         {{"devices", "list the drives, whether each opened and answered"}}},
        {"sim",
         CmdSim,
         false,
         {{"sim new E [--sectors N]", "plug a blank device into the simulated line"},
          {"sim unplug E [--keep PATH]", "take a device out of the simulated line"}}},
        {"ids", CmdIds, true, {{"ids FILE", "load an ID list file and print its IDs"}}},
        {"read", CmdRead, true, {{"read", "read the ID of the first answering device"}}},
        {"write",
         CmdWrite,
         true,
         {{"write ID [--yes|--no] [--verify]", "write an ID into the first answering device"}}},
        {"auto",
         CmdAuto,
         true,
         {{"auto --ids FILE [--count N] [--state FILE] [--verify] [--gang]", ""},
          {"auto --prefix P --counter C --suffix S [--down] [--count N] [--state FILE]", ""},
          {"     [--verify] [--gang]", "write one ID into every arriving device"}}},
        {"watch",
         CmdWatch,
         true,
         {{"watch [--count N] [--gang]", "read mode: print each arriving device's ID"}}},
        {"ledger",
         CmdLedger,
         true,
         {{"ledger status", "the ledger's counts by state, its reserved and in-doubt IDs"},
          {"ledger release ID", "give back an ID a stopped run left reserved (or in doubt)"},
          {"ledger confirm ID", "mark written an ID a stopped run left reserved on its device"},
          {"ledger backup FILE", "a consistent copy of the ledger file in FILE"},
          {"ledger adopt FILE", "make the backup FILE the ledger (says what is lost)"},
          {"ledger new", "start a new ledger file (says what is lost)"}}},
        {"journal",
         CmdJournal,
         true,
         {{"journal [--since TIME] [--csv FILE]",
           "every attempt; CSV into FILE ('-': standard output)"}}},
        {"pool",
         CmdPool,
         true,
         {{"pool status [FILE]", "free, reserved, written, verified, failed, in doubt per station"},
          {"pool import FILE", "load an ID list into the ledger before the stations start"}}},
        {"serve",
         CmdServe,
         true,
         {{"serve [--listen ADDR:PORT] [--token-file FILE]",
           "a read-only live web page of the ledger (default 127.0.0.1:8780)"}}},
    };
    return commands;
}

}  // namespace

void Usage() {
    constexpr size_t kHelpColumn = 29;  // after the two-space indent
    std::string text =
        "usage: tagsmith-cli [--simulate DIR] [--ledger URL] [--debug] COMMAND [ARGS]\n"
        "commands:\n";
    for (const Command& command : Commands()) {
        for (const UsageLine& line : command.usage) {
            const std::string synopsis = line.synopsis;
            text += "  " + synopsis;
            if (*line.help) {
                // A synopsis too long for its column puts its help below it.
                if (synopsis.size() < kHelpColumn) {
                    text += std::string(kHelpColumn - synopsis.size(), ' ');
                } else {
                    text += '\n' + std::string(kHelpColumn + 2, ' ');
                }
                text += line.help;
            }
            text += '\n';
        }
    }
    std::fputs(text.c_str(), stderr);
}

}  // namespace ts::cli

int main(int argc, char** argv) {
    using namespace ts::cli;
    Context ctx;
    ts::UseBinaryStdio();
    ts::FailWritesPastSizeLimit();
    const std::vector<std::string> args = ts::ProgramArguments(argc, argv);
    ctx.appDir = ts::ExecutableFolder().value_or(std::string());
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--simulate" && i + 1 < args.size()) {
            ctx.simDir = args[++i];
        } else if (a == "--ledger" && i + 1 < args.size()) {
            ctx.ledger = args[++i];
        } else if (a == "--debug") {
            ctx.debug = true;
        } else if (a == "-h" || a == "--help") {
            Usage();
            return kExitOk;
        } else {
            break;
        }
    }
    if (i >= args.size()) {
        Usage();
        return kExitUsage;
    }
    std::string cmd = args[i++];
    ctx.args.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (ctx.debug) {
        ts::SetDebugSink([](std::string_view line) {
            std::fwrite(line.data(), 1, line.size(), stderr);
            if (line.empty() || line.back() != '\n') std::fputc('\n', stderr);
        });
    }
    const auto& commands = Commands();
    const auto command = std::find_if(commands.begin(), commands.end(),
                                      [&](const Command& c) { return cmd == c.name; });
    // Drive roots, ID files and configuration values all pass through the
    // station's code page; without its converter every one would fail
    // obscurely. The simulated line's own plumbing needs none.
    const bool needsCodepage = command == commands.end() || command->needsCodepage;
    if (needsCodepage && !ts::AnsiCodepageAvailable()) {
        std::fputs(
            "tagsmith-cli: this system has no converter for code page CP936 (iconv's GBK module "
            "is missing); drives, ID files and settings cannot be read\n",
            stderr);
        return kExitFailed;
    }
    if (command == commands.end()) {
        std::fprintf(stderr, "tagsmith-cli: unknown command '%s'\n", cmd.c_str());
        Usage();
        return kExitUsage;
    }
    return command->handler(ctx);
}
