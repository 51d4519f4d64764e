#pragma once
// The ledger as the commands that work on it directly (ledger, pool, journal) open
// it, and their texts that come from a ledger or a file.
#include <memory>
#include <string>
#include <string_view>

#include "cli/Cli.h"
#include "ledger/IdLedger.h"

namespace ts::cli {

// Opens the ledger the application folder's configuration (or --ledger)
// names: read only, or for changes; `create` also makes a missing one.
// Prints why not on standard error and returns null when it cannot.
std::unique_ptr<IdLedger> OpenCommandLedger(const Context& ctx, bool create, bool readOnly);

// A text (UTF-8) a ledger or a file supplied, as one terminal line: escaped
// as every untrusted text the commands print (AppendPrintable), bytes that
// are not UTF-8 as U+FFFD.
std::string Safe(std::string_view text);

}  // namespace ts::cli
