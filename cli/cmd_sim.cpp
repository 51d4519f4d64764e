#include <cstdio>

#include "cli/Cli.h"

namespace ts::cli {

int CmdSim(Context&) {
    std::fputs("tagsmith-cli: 'sim' is not built yet\n", stderr);
    return kExitUsage;
}

}  // namespace ts::cli
