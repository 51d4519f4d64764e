#pragma once
// The one way to open a station: a front end (the desktop program, each
// tagsmith-cli command, a test) says what it supplies, and OpenStation wires
// the core to it, finds the application folder, restores the front end's
// settings and loads the file-system plug-in.
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "deviceops/TagsmithCore.h"

namespace ts {

// What a front end supplies. A part left empty keeps what the core already
// has (a silent default unless set), so a caller names only what it brings.
struct StationParts {
    // The application folder; empty: the folder of the running executable.
    std::string appDir;
    DriveSystem* drives = nullptr;
    LogView* log = nullptr;
    MessageBoxer* boxes = nullptr;
    Clock* clock = nullptr;
    ProgressPort* progress = nullptr;
    // The ID pages in tab order; the first is selected.
    std::span<IdPage* const> pages;
    // Runs before each handshake of a scan (the GUI's event drain).
    std::function<void()> drain;
    // Restores the front end's own settings once the folder is known and
    // before the plug-in loads (the window's tagsmith.cfg keys, a state
    // file).
    std::function<void()> loadSettings;
    // The ledger that tagsmith.cfg names (keys ledger, verify, station),
    // opened once the folder is known and before the settings hook, so that
    // a list the settings load resumes against it. A ledger that cannot be
    // used is logged and every write refused (Ledger().Fault()); the
    // reservations an earlier run left are logged. Off: no ledger at all.
    bool ledger = false;
    // Overrides the configuration's verify key.
    std::optional<bool> verify;
    // Overrides the configuration's ledger key: a shared ledger's URL, a
    // ledger file's absolute path, or "off".
    std::optional<std::string> ledgerLocation;
};

enum class StationOpen {
    Ok,
    // The file-system plug-in could not be loaded: every read and write
    // will fail (with its own result code). The station is otherwise open.
    NoPlugin,
};

StationOpen OpenStation(TagsmithCore& core, const StationParts& parts);

// What the operator is to check when the ledger cannot be used: the file,
// or a shared ledger's server settings.
std::u16string LedgerFaultAdvice(const LedgerLink& link);
// A text the ledger holds (a device, a station) as the log may show it: no
// control character reaches a log box or a message box.
std::u16string LedgerText(std::string_view text);
// UTC milliseconds as local time, "YYYY-MM-DD HH:MM:SS".
std::u16string LocalTimeText(int64_t utcMs);

}  // namespace ts
