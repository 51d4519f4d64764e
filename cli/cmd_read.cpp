#include <cstdio>

#include "cli/Cli.h"

namespace ts::cli {

int CmdRead(Context&) {
    std::fputs("tagsmith-cli: 'read' is not built yet\n", stderr);
    return kExitUsage;
}

}  // namespace ts::cli
