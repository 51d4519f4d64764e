#pragma once
// The journal as text: UTC times and the CSV export.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "ledger/IdLedger.h"

namespace ts {

// "2024-05-01T12:34:56.789Z".
std::string FormatUtcMs(int64_t ms);
void AppendUtcMs(std::string& out, int64_t ms);

// UTC milliseconds since 1970 of "YYYY-MM-DD", optionally followed by 'T' or
// a blank and "HH:MM", ":SS", ".fff" (one to three digits) and a final 'Z'.
// Nothing for any other text or an impossible date.
std::optional<int64_t> ParseUtcTime(std::string_view text);

// Appends one CSV field: characters a spreadsheet or a terminal would act on
// (control characters, line breaks, DEL, C1 controls) and bytes that are not
// UTF-8 become U+FFFD; a field starting with '=', '+', '-' or '@' gets a
// leading apostrophe, so that a spreadsheet shows it as text, not a formula;
// a field holding a comma or a quote is quoted, its quotes doubled.
void AppendCsvField(std::string& out, std::string_view text);

// Appends `text` cleaned as AppendCsvField cleans it, without quoting: for
// lines on a terminal.
void AppendSafeText(std::string& out, std::string_view text);

// The header line, ending in '\n'.
const std::string& JournalCsvHeader();

// One row, ending in '\n'.
void AppendJournalCsvRow(std::string& out, const JournalRow& row);

// Writes the header and every row from `sinceMs` on through `write`, in
// chunks; `write` returns false when the output failed, which ends the
// export with an IoError. `rows` receives the number of rows written.
LedgerResult ExportJournalCsv(IdLedger& ledger, int64_t sinceMs,
                              const std::function<bool(std::string_view)>& write,
                              uint64_t* rows = nullptr);

}  // namespace ts
