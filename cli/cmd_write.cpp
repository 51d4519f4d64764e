#include <cstdio>

#include "cli/Cli.h"

namespace ts::cli {

int CmdWrite(Context&) {
    std::fputs("tagsmith-cli: 'write' is not built yet\n", stderr);
    return kExitUsage;
}

}  // namespace ts::cli
