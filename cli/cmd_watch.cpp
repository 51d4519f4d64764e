// tagsmith-cli watch: read mode on a line. Every device that arrives is read
// as the main window reads it in read mode; besides the log lines, each ID
// read is printed as a line "ID <text>". Ends after --count devices read or
// on SIGINT/SIGTERM.
#include <cstdio>
#include <string>

#include "app/MainDialog.h"
#include "cli/CliSupport.h"

namespace ts::cli {

int CmdWatch(Context& ctx) {
    long count = 0;  // 0: until stopped
    bool gangMode = false;
    for (size_t i = 0; i < ctx.args.size(); ++i) {
        const std::string& a = ctx.args[i];
        if (a == "--gang" && !gangMode) {
            gangMode = true;
        } else if (a == "--count" && i + 1 < ctx.args.size() && count == 0) {
            if (!ParseCount(ctx.args[++i], count)) {
                Usage();
                return kExitUsage;
            }
        } else {
            Usage();
            return kExitUsage;
        }
    }

    if (!UseAppFolder(ctx)) return kExitFailed;
    StopSignals stop;
    if (stop.Fd() < 0) {
        std::perror("tagsmith-cli: signalfd");
        return kExitFailed;
    }
    std::unique_ptr<DriveSystem> drives = ctx.OpenDrives();
    if (!drives) {
        std::fputs("tagsmith-cli: no drive system available\n", stderr);
        return kExitFailed;
    }
    std::unique_ptr<DeviceEventSource> events = drives->WatchEvents();
    if (!events) {
        std::fputs("tagsmith-cli: device events cannot be watched\n", stderr);
        return kExitFailed;
    }
    StdoutLog log;
    StderrBoxer boxes;
    boxes.answer = MsgAnswer::No;
    MainDialog dlg;
    StationParts parts;
    parts.appDir = ctx.appDir;
    parts.drives = drives.get();
    parts.log = &log;
    parts.boxes = &boxes;
    parts.ledger = true;  // every read goes into the journal
    // The saved settings stay unread: watch reads every device as it comes.
    OpenStation(dlg.core, parts);
    dlg.OnReadMode();
    std::fputs("ready\n", stdout);
    std::fflush(stdout);

    long read = 0, failed = 0;
    if (gangMode) {
        GangStation gang(dlg.core);
        WakeSignal wake;
        gang.admit = [&](const GangCounts& c, int inFlight) {
            return count == 0 || c.read + inFlight < count;
        };
        gang.onDone = [&](const PortOutcome& out, const GangCounts&) {
            if (out.result == 0) {
                std::printf("ID %s\n", PrintableId(out.id).c_str());
                std::fflush(stdout);
            }
        };
        gang.onFree = [&wake] { wake.Signal(); };
        RunGangLoop(*events, stop, wake, gang,
                    [&] { return count == 0 || gang.Counts().read < count; });
        const GangCounts c = gang.Counts();
        dlg.core.CloseCurrentDevice();
        std::printf("read %ld, failed %ld\n", c.read, c.readFailed);
        return c.readFailed > 0 ? kExitFailed : kExitOk;
    }
    auto countReached = [&] { return count != 0 && read >= count; };
    RunEventLoop(
        *events, stop, [&] { return !countReached(); },
        [&](DeviceEvent ev) {
            const DispatchOutcome outcome = dlg.core.WindowProc(ev);
            if (outcome.readResult == 0) {
                std::printf("ID %s\n", PrintableId(outcome.readId).c_str());
                std::fflush(stdout);
                ++read;
            } else if (outcome.readResult > 0) {
                ++failed;
            }
            return !countReached();
        });
    dlg.core.CloseCurrentDevice();
    std::printf("read %ld, failed %ld\n", read, failed);
    return failed > 0 ? kExitFailed : kExitOk;
}

}  // namespace ts::cli
