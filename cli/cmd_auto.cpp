#include <cstdio>

#include "cli/Cli.h"

namespace ts::cli {

int CmdAuto(Context&) {
    std::fputs("tagsmith-cli: 'auto' is not built yet\n", stderr);
    return kExitUsage;
}

}  // namespace ts::cli
