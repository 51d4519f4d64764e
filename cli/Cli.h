#pragma once
// tagsmith-cli: a headless front end over the core. Each command lives in its
// own file (cmd_<name>.cpp).
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ledger/LedgerSettings.h"
#include "platform/AppFolder.h"
#include "platform/DriveSystem.h"

namespace ts::cli {

// Exit statuses shared by the commands.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoDevice = 3;

struct Context {
    std::optional<std::string> simDir;  // --simulate DIR
    // --ledger URL: the ledger to use instead of the one tagsmith.cfg names
    // (a postgresql:// URL, a file, or "off").
    std::optional<std::string> ledger;
    bool debug = false;             // --debug: print debug lines on stderr
    std::string appDir;             // folder of the executable, ending in '/'; empty: unknown
    AppFolderLock lock;             // held by the commands that use appDir's files
    std::vector<std::string> args;  // the command's own arguments

    // The drives of the simulated line or of the machine.
    std::unique_ptr<DriveSystem> OpenDrives() const;
    // The ledger keys of the application folder's tagsmith.cfg, with the
    // ledger --ledger names, if given.
    LedgerSettings Ledger() const;
    // What --ledger names, a relative file made absolute; none without it.
    std::optional<std::string> LedgerOverride() const;
};

int CmdDevices(Context& ctx);
int CmdSim(Context& ctx);
int CmdIds(Context& ctx);
int CmdRead(Context& ctx);
int CmdWrite(Context& ctx);
int CmdAuto(Context& ctx);
int CmdWatch(Context& ctx);
int CmdLedger(Context& ctx);
int CmdJournal(Context& ctx);
int CmdPool(Context& ctx);
int CmdServe(Context& ctx);

void Usage();

}  // namespace ts::cli
