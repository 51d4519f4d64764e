#include <unistd.h>

#include "platform/Console.h"

namespace ts {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

void UseBinaryStdio() {}

}  // namespace ts
