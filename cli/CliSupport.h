#pragma once
// Shared pieces of tagsmith-cli: log lines on standard output as they are
// appended, message boxes' texts on standard error, and a core session on
// the line's drives with the application folder's plug-in and settings.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/LedgerResume.h"
#include "cli/Cli.h"
#include "deviceops/Gang.h"
#include "deviceops/Station.h"
#include "deviceops/TagsmithCore.h"
#include "platform/Waiting.h"
#include "ports/UiPorts.h"

namespace ts::cli {

// Prints each appended line on stdout (UTF-8, without carriage returns),
// keeping the capped text like the log box.
class StdoutLog : public MemoryLogView {
public:
    StdoutLog();
};

// Prints every box on stderr. Yes/No boxes take `answer` when set, else ask
// on the terminal when stdin is one, else answer No.
class StderrBoxer : public MessageBoxer {
public:
    std::optional<MsgAnswer> answer;
    MsgAnswer Show(const MessageRequest& request) override;
};

// Text that devices and files supply (an ID read back, the lines of an ID
// list, anything a log line or a box quotes) is untrusted: printed raw, a line
// feed in it would forge output lines and an escape sequence would reach the
// terminal. Appends `text` as UTF-8 with every control written as an escape:
// \n, \r, \t; \xNN for the other C0 controls, DEL and the C1 controls;
// \u{NNNN} for the line and paragraph separators, the bidirectional
// formatting characters and a lone surrogate; and '\' itself as "\\", so
// that the printed text reads back unambiguously.
void AppendPrintable(std::string& out, std::u16string_view text);

// An ID (or another machine-read value) as one line.
std::string PrintableId(std::u16string_view text);

// A log line or a box's text as one line: its own line end is dropped, the
// rest escaped as above.
std::string ForTerminal(const std::u16string& text);

// Takes the application folder for the life of the process (commands that
// use its files: read, write, auto, watch) and checks what every such run
// needs: the folder is known, no other process uses it, and tagsmith.cfg is
// a file. False, with a message on standard error, when the run cannot go on.
bool UseAppFolder(Context& ctx);

// The operator's stop (Ctrl-C; SIGINT and SIGTERM on Linux) is taken for the
// life of the object: it ends a run between devices, never in the middle of
// a write.
class StopSignals {
public:
    bool Ok() const { return requests_.Ok(); }
    Waitable Fd() const { return requests_.Get(); }
    bool Requested() const { return requests_.Requested(); }

private:
    StopRequests requests_;
};

// A --count value: a positive decimal number and nothing else.
bool ParseCount(const std::string& text, long& out);

// The line commands' event loop: while `more` holds, waits for device events
// and hands each to `handle` until it returns false. SIGINT and SIGTERM end
// the loop between events, so a write in progress always completes.
void RunEventLoop(DeviceEventSource& events, const StopSignals& stop,
                  const std::function<bool()>& more,
                  const std::function<bool(DeviceEvent)>& handle);

// The same loop in gang mode: every device event goes to the gang, and a
// port that finished wakes the loop through `wake` so that `more` is asked
// again. When it ends (`more` fails, SIGINT or SIGTERM) no new device
// starts, and it returns once the ports in flight finished.
void RunGangLoop(DeviceEventSource& events, const StopSignals& stop, WakeSignal& wake,
                 GangStation& gang, const std::function<bool()>& more);

// The one page the one-shot commands use: in write mode it announces the ID
// to write; in read mode it receives what the dispatch shows.
class CliPage : public IdPage {
public:
    std::u16string id;
    std::u16string AnnounceId() override { return id; }
    void ShowId(const std::u16string&) override {}
    bool WritesAutomatically() const override { return false; }
    void DeviceReady() override {}
    void DeviceGone() override {}
    // A typed ID, as on the scan page.
    IdOrigin Origin() const override {
        IdOrigin o;
        o.kind = IdOrigin::Kind::Scan;
        return o;
    }
};

struct Session {
    StdoutLog log;
    StderrBoxer boxes;
    CliPage page;
    std::unique_ptr<DriveSystem> drives;
    TagsmithCore core;  // destroyed first: it closes the current device

    // False (with a message) when the application folder cannot be used or
    // no drive system is available. A ledger that cannot be used is logged,
    // and every write then refused; `verify` overrides the configuration.
    bool Open(Context& ctx, std::optional<bool> verify = std::nullopt);
};

}  // namespace ts::cli
