#pragma once
// Small facts and file steps of the local system that layers above need
// without including the system's own headers.
#include <cstdint>
#include <ctime>
#include <string>

namespace ts {

// The machine's host name; "localhost" when the system gives none.
std::string HostName();

// Ends this process at once, as a crash or a kill would: no handler, no
// destructor, no flush runs.
[[noreturn]] void KillThisProcess();

// A write past the file-size limit (RLIMIT_FSIZE, a quota) fails with EFBIG
// instead of ending the process, so that it takes the full-disk path of
// whatever was writing and cleans up after itself.
void FailWritesPastSizeLimit();

// The errno value of an error code the system's own file calls report (what
// SQLite keeps of a failed write): the code itself on Linux, the matching
// errno value of a Windows error code there. 0 stays 0.
int ErrnoOfSystemCode(int code);

// The local calendar time of `seconds` since 1970; false when the system
// cannot tell it.
bool LocalCalendarTime(int64_t seconds, std::tm* out);

// Gives the finished file `tmp` its final name `path`, only if nothing exists
// there yet, and makes the new name durable (the folder is flushed to disk).
// Returns 0, or EEXIST when `path` exists (then `tmp` is left in place for
// the caller to remove), or another errno value.
int PublishNewFile(const std::string& tmp, const std::string& path);

}  // namespace ts
