#pragma once
// Who may ask the server, and where it listens.
#include <string>
#include <string_view>

namespace ts::web {

// "ADDR:PORT" or "[ADDR]:PORT" (an IPv6 address), PORT 0 to 65535 (0: any
// free port). False for anything else.
bool ParseListen(std::string_view text, std::string* host, int* port);

// Whether `host` only reaches this machine (127.0.0.0/8, ::1, localhost).
bool IsLoopback(const std::string& host);

// Whether `given` is `expected`, in a time that does not depend on where
// they differ.
bool SameToken(std::string_view given, std::string_view expected);

// The token in the file's first line, blanks around it removed; empty with
// `why` set when the file cannot be read or the token is too short to guess
// at.
std::string ReadToken(const std::string& path, std::string* why);

// `text` as one word of a POSIX shell command: as it is when it holds only
// characters no shell acts on, else in single quotes.
std::string ShellWord(std::string_view text);

}  // namespace ts::web
