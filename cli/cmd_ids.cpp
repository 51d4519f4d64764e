#include <cstdio>

#include "cli/Cli.h"

namespace ts::cli {

int CmdIds(Context&) {
    std::fputs("tagsmith-cli: 'ids' is not built yet\n", stderr);
    return kExitUsage;
}

}  // namespace ts::cli
