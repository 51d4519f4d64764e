#include <cstdio>

#include "cli/Cli.h"

namespace ts::cli {

int CmdWatch(Context&) {
    std::fputs("tagsmith-cli: 'watch' is not built yet\n", stderr);
    return kExitUsage;
}

}  // namespace ts::cli
