#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "cli/Cli.h"
#include "platform/AppFolder.h"
#include "platform/Codepage.h"
#include "platform/DebugOut.h"
#include "sim/SimLine.h"

namespace ts::cli {

std::unique_ptr<DriveSystem> Context::OpenDrives() const {
    if (simDir) return MakeSimLine(*simDir);
    return MakeSystemDrives();
}

void Usage() {
    std::fputs(
        "usage: tagsmith-cli [--simulate DIR] [--debug] COMMAND [ARGS]\n"
        "commands:\n"
        "  devices                      list the drives, whether each opened and answered\n"
        "  sim new E [--sectors N]      plug a blank device into the simulated line\n"
        "  sim unplug E [--keep PATH]   take a device out of the simulated line\n"
        "  ids FILE                     load an ID list file and print its IDs\n"
        "  read                         read the ID of the first answering device\n"
        "  write ID [--yes|--no]        write an ID into the first answering device\n"
        "  auto --ids FILE [--count N] [--state FILE]\n"
        "  auto --prefix P --counter C --suffix S [--down] [--count N] [--state FILE]\n"
        "                               write one ID into every arriving device\n"
        "  watch [--count N]            read mode: print each arriving device's ID\n"
        "  ledger status                the ledger's counts by state and its reserved IDs\n"
        "  ledger release ID            give back an ID a stopped run left reserved\n"
        "  journal [--since TIME] [--csv FILE]\n"
        "                               every attempt; CSV into FILE ('-': standard output)\n",
        stderr);
}

}  // namespace ts::cli

int main(int argc, char** argv) {
    using namespace ts::cli;
    Context ctx;
    ctx.appDir = ts::ExecutableFolder().value_or(std::string());
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--simulate" && i + 1 < argc) {
            ctx.simDir = argv[++i];
        } else if (a == "--debug") {
            ctx.debug = true;
        } else if (a == "-h" || a == "--help") {
            Usage();
            return kExitOk;
        } else {
            break;
        }
    }
    if (i >= argc) {
        Usage();
        return kExitUsage;
    }
    std::string cmd = argv[i++];
    ctx.args.assign(argv + i, argv + argc);
    if (ctx.debug) {
        ts::SetDebugSink([](std::string_view line) {
            std::fwrite(line.data(), 1, line.size(), stderr);
            if (line.empty() || line.back() != '\n') std::fputc('\n', stderr);
        });
    }
    // Drive roots, ID files and configuration values all pass through the
    // station's code page; without its converter every one would fail
    // obscurely. The simulated line's own plumbing needs none.
    if (cmd != "sim" && !ts::AnsiCodepageAvailable()) {
        std::fputs(
            "tagsmith-cli: this system has no converter for code page CP936 (iconv's GBK module "
            "is missing); drives, ID files and settings cannot be read\n",
            stderr);
        return kExitFailed;
    }
    if (cmd == "devices") return CmdDevices(ctx);
    if (cmd == "sim") return CmdSim(ctx);
    if (cmd == "ids") return CmdIds(ctx);
    if (cmd == "read") return CmdRead(ctx);
    if (cmd == "write") return CmdWrite(ctx);
    if (cmd == "auto") return CmdAuto(ctx);
    if (cmd == "watch") return CmdWatch(ctx);
    if (cmd == "ledger") return CmdLedger(ctx);
    if (cmd == "journal") return CmdJournal(ctx);
    std::fprintf(stderr, "tagsmith-cli: unknown command '%s'\n", cmd.c_str());
    Usage();
    return kExitUsage;
}
