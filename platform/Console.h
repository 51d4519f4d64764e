#pragma once
// The command-line program's side of the system: its arguments, its
// standard streams and whether an operator sits at them.
#include <string>
#include <vector>

namespace ts {

// The program's arguments after its name, as UTF-8 (on Windows taken from
// the wide command line, so that paths the ANSI code page lacks survive).
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Standard input is a terminal (or console) an operator can answer on.
bool StdinIsTerminal();

// Standard input, output and error pass bytes through unchanged (no line-end
// translation), and a console shows the UTF-8 the program writes.
void UseBinaryStdio();

}  // namespace ts
