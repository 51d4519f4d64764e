// tagsmith-cli read: read mode on the first drive that answers the
// handshake, exactly as a device arrival in read mode.
#include <cstdio>

#include "cli/CliSupport.h"

namespace ts::cli {

int CmdRead(Context& ctx) {
    if (!ctx.args.empty()) {
        Usage();
        return kExitUsage;
    }
    Session s;
    if (!s.Open(ctx)) return kExitFailed;
    s.core.SetWriteMode(false);
    const DispatchOutcome outcome = s.core.ScanDevices();
    if (!outcome.dispatched) {
        std::fputs("tagsmith-cli: no device answered the handshake\n", stderr);
        return kExitNoDevice;
    }
    if (outcome.readResult != 0) {
        std::printf("result %d\n", outcome.readResult);
        return kExitFailed;
    }
    std::printf("%s\n", PrintableId(outcome.readId).c_str());
    return kExitOk;
}

}  // namespace ts::cli
