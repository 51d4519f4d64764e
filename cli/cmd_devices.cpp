#include <cstdio>

#include "cli/Cli.h"

namespace ts::cli {

int CmdDevices(Context&) {
    std::fputs("tagsmith-cli: 'devices' is not built yet\n", stderr);
    return kExitUsage;
}

}  // namespace ts::cli
