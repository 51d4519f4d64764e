#pragma once
// The one way to open a station: a front end (the desktop program, each
// tagsmith-cli command, a test) says what it supplies, and OpenStation wires
// the core to it, finds the application folder, restores the front end's
// settings and loads the file-system plug-in.
#include <functional>
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
    // Whatever else the flows report to (a record of every ID written, say)
    // joins these parts, and OpenStation attaches it before it returns, so
    // that no flow runs without it.
};

enum class StationOpen {
    Ok,
    // The file-system plug-in could not be loaded: every read and write
    // will fail (with its own result code). The station is otherwise open.
    NoPlugin,
};

StationOpen OpenStation(TagsmithCore& core, const StationParts& parts);

}  // namespace ts
