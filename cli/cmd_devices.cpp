// tagsmith-cli devices: one line per drive, in the system's order:
//   ROOT type=removable|other open=ok|failed|skipped [errno=N error="TEXT"]
//        [handshake=ok sectors=N | handshake=no | handshake=failed code=N errno=N]
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/Cli.h"
#include "device/DeviceControl.h"
#include "device/VendorProtocol.h"
#include "platform/Codepage.h"

namespace ts::cli {
namespace {

constexpr uint32_t kHandshakeLength = 32;

std::string Probe(DeviceControl& ctl, const std::string& root) {
    DeviceHandle* dev =
        ctl.DeviceOpen(root.c_str(), kGenericRead | kGenericWrite, kFileShareReadWrite);
    if (!dev) {
        int err = GetLastError();
        return "open=failed errno=" + std::to_string(err) + " error=\"" + std::strerror(err) + "\"";
    }
    uint8_t answer[kHandshakeLength] = {};
    int code = ctl.HandShake(dev, answer, kHandshakeLength);
    std::string line = "open=ok ";
    if (code != 0) {
        line += "handshake=failed code=" + std::to_string(code) +
                " errno=" + std::to_string(GetLastError());
    } else if (uint32_t sectors = 0; !vendor::ParseHandShake(answer, sizeof answer, &sectors)) {
        line += "handshake=no";
    } else {
        line += "handshake=ok sectors=" + std::to_string(sectors);
    }
    ctl.DeviceClose(dev);
    return line;
}

}  // namespace

int CmdDevices(Context& ctx) {
    if (!ctx.args.empty()) {
        std::fputs("tagsmith-cli: 'devices' takes no arguments\n", stderr);
        return kExitUsage;
    }
    auto drives = ctx.OpenDrives();
    if (!drives) {
        if (ctx.simDir) {
            std::fprintf(stderr, "tagsmith-cli: simulated line '%s' is not a folder\n",
                         ctx.simDir->c_str());
        } else {
            std::fputs(
                "tagsmith-cli: this machine's drives cannot be listed yet; "
                "use --simulate DIR\n",
                stderr);
        }
        return kExitFailed;
    }
    DeviceControl ctl(drives.get());
    for (const auto& root : drives->ListDrives()) {
        bool removable = drives->GetDriveType(root) == kDriveRemovable;
        std::string line = U8(root) + (removable ? " type=removable " : " type=other ");
        line += removable ? Probe(ctl, WideToAnsi(root)) : "open=skipped";
        std::printf("%s\n", line.c_str());
    }
    return kExitOk;
}

}  // namespace ts::cli
