#pragma once
// The page's data as JSON. Every text from the ledger goes in as a JSON
// string (bytes that are not UTF-8 as U+FFFD); the page puts them in as
// text, never as markup.
#include <string>

#include "ledger/LineView.h"

namespace ts::web {

std::string SnapshotJson(const LineSnapshot& s);
std::string TrailJson(const IdTrail& t);
// A failure the page shows: {"error": kind, "message": text}; kind is
// "offline", "slow", "busy" or "error".
std::string ErrorJson(const LedgerResult& r);
const char* FailureKind(LedgerStatus s);

// What a write's result code means, for people.
std::string ResultText(int64_t code);

}  // namespace ts::web
