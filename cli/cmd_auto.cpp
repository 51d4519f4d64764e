// tagsmith-cli auto: writes one ID into every device that arrives on the line,
// exactly as the list page's and the increment page's automatic modes do.
// The run ends after --count written devices, when the source has no ID
// left, or on SIGINT/SIGTERM (a write in progress always completes first).
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "app/MainDialog.h"
#include "cli/CliSupport.h"
#include "platform/Codepage.h"
#include "platform/Profile.h"
#include "platform/RegularFile.h"

namespace ts::cli {

namespace {

// The state file's own keys, which the GUI ignores: the list cursor, so that
// a resumed run neither writes an ID twice nor skips one, and whether a
// count-down stopped at its zero guard (a resumed run must stop there too,
// not write the counter 0).
constexpr char16_t kIdIndexKey[] = u"idindex";
constexpr char16_t kAtZeroKey[] = u"idatzero";

constexpr int kOfflineRetryMs = 1500;

struct AutoOptions {
    std::optional<std::string> ids;
    std::optional<std::u16string> prefix, counter, suffix;
    bool down = false;
    std::optional<long> count;
    std::optional<std::string> state;
    bool verify = false;
    bool gang = false;

    bool Increment() const { return prefix || counter || suffix || down; }
};

bool Parse(const std::vector<std::string>& args, AutoOptions& o) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        auto text = [&](std::optional<std::u16string>& slot) {
            if (!hasValue || slot) return false;
            slot = Utf8ToWide(args[++i]);
            return true;
        };
        bool ok = true;
        if (a == "--ids") {
            ok = hasValue && !o.ids;
            if (ok) o.ids = args[++i];
        } else if (a == "--state") {
            ok = hasValue && !o.state;
            if (ok) o.state = args[++i];
        } else if (a == "--count") {
            long n = 0;
            ok = hasValue && !o.count && ParseCount(args[i + 1], n);
            if (ok) {
                o.count = n;
                ++i;
            }
        } else if (a == "--prefix") {
            ok = text(o.prefix);
        } else if (a == "--counter") {
            ok = text(o.counter);
        } else if (a == "--suffix") {
            ok = text(o.suffix);
        } else if (a == "--verify") {
            ok = !o.verify;
            o.verify = true;
        } else if (a == "--gang") {
            ok = !o.gang;
            o.gang = true;
        } else if (a == "--down") {
            ok = !o.down;
            o.down = true;
        } else {
            ok = false;
        }
        if (!ok) return false;
    }
    if (o.ids && o.Increment()) return false;
    return o.ids || o.Increment() || o.state;
}

// The main window with the outcome of every write counted.
class LineDialog : public MainDialog {
public:
    long written = 0;
    long failed = 0;
    std::u16string lastWritten;
    int WriteDeviceSN(const std::u16string& id) override {
        // Automatic writing asks nothing, so 0 always means written. An ID
        // taken meanwhile by another run is no failure: the next one follows.
        const int r = MainDialog::WriteDeviceSN(id);
        if (r != 0 && core.Ledger().lastTaken) return r;
        ++(r == 0 ? written : failed);
        if (r == 0) lastWritten = id;
        return r;
    }
};

std::u16string Decimal(uint64_t v) {
    const std::string s = std::to_string(v);
    return std::u16string(s.begin(), s.end());
}

class AutoRun {
public:
    AutoRun(Context& ctx, AutoOptions opts) : ctx_(ctx), o_(std::move(opts)) {}
    int Run();

private:
    bool Setup();
    bool SetupList();
    bool SetupIncrement();
    bool ResumeListCursor();
    bool SourceLeft() const;
    bool SaveState();
    int Finish(bool exhausted);
    // Every attached device at once, each on its own port.
    int RunGang(StopSignals& stop);
    // After a failed save: the run stops before the next device.
    int StopUnsaved();

    Context& ctx_;
    AutoOptions o_;
    // Declared before the window, so they outlive its core.
    std::unique_ptr<DriveSystem> drives_;
    std::unique_ptr<DeviceEventSource> events_;
    StdoutLog log_;
    StderrBoxer boxes_;
    LineDialog dlg_;
    bool listMode_ = true;
    bool resuming_ = false;   // the source comes from the state file
    bool stateSaved_ = true;  // the last save succeeded
};

bool AutoRun::Setup() {
    boxes_.answer = MsgAnswer::No;  // nobody at the keyboard: decline, never wait
    drives_ = ctx_.OpenDrives();
    if (!drives_) {
        std::fputs("tagsmith-cli: no drive system available\n", stderr);
        return false;
    }
    // Watch before arming: the ready line tells the operator to plug in.
    events_ = drives_->WatchEvents();
    if (!events_) {
        std::fputs("tagsmith-cli: device events cannot be watched\n", stderr);
        return false;
    }
    if (o_.state) {
        const FileKind kind = KindOf(*o_.state);
        if (kind != FileKind::Regular && kind != FileKind::Missing) {
            std::fprintf(stderr, "tagsmith-cli: the state file %s is %s\n", o_.state->c_str(),
                         FileKindText(kind));
            return false;
        }
    }
    StationParts parts;
    parts.appDir = ctx_.appDir;
    parts.drives = drives_.get();
    parts.log = &log_;
    parts.boxes = &boxes_;
    // Opened before the state: its ID list resumes against the ledger.
    parts.ledger = true;
    parts.ledgerLocation = ctx_.LedgerOverride();
    if (o_.verify) parts.verify = true;
    // The run's settings come from its state file, never from tagsmith.cfg.
    parts.loadSettings = [this] {
        if (o_.state) dlg_.LoadConfig(*o_.state);
    };
    if (OpenStation(dlg_.core, parts) != StationOpen::Ok) {
        std::fprintf(stderr, "tagsmith-cli: the file-system plug-in could not be loaded from %s\n",
                     ctx_.appDir.c_str());
        return false;
    }
    if (!dlg_.core.Ledger().Fault().empty()) {
        std::fprintf(stderr, "tagsmith-cli: the ledger cannot be used: %s\n",
                     ForTerminal(dlg_.core.Ledger().Fault()).c_str());
        return false;
    }
    dlg_.OnWriteMode();

    if (o_.ids) {
        listMode_ = true;
    } else if (o_.Increment()) {
        listMode_ = false;
    } else {
        // Resuming: the page the state was saved on.
        resuming_ = true;
        const int tab = dlg_.tabIndex;
        if (tab != 0 && tab != 2) {
            std::fprintf(stderr, "tagsmith-cli: %s was not saved by an automatic run\n",
                         o_.state->c_str());
            return false;
        }
        listMode_ = tab == 0;
    }
    return listMode_ ? SetupList() : SetupIncrement();
}

bool AutoRun::SetupList() {
    dlg_.OnTabSelChange(0);
    if (o_.ids) {
        std::error_code ec;
        // Through UTF-8 explicitly: a plain string is the ANSI code page on Windows.
        const std::u8string given(o_.ids->begin(), o_.ids->end());
        const std::u8string absolute = std::filesystem::absolute(given, ec).u8string();
        const std::string path(absolute.begin(), absolute.end());
        {
            // Gone before the page loads the file: never two copies at once.
            IdList probe;
            const IdFileError err = ReadIdFile(path, &probe);
            if (err != IdFileError::None) {
                std::fprintf(stderr, "tagsmith-cli: cannot load %s: %s\n", o_.ids->c_str(),
                             IdFileErrorText(err));
                return false;
            }
        }
        dlg_.m_page1.ReloadIdFile(Utf8ToWide(path));
    } else if (!ResumeListCursor()) {
        return false;
    }
    if (dlg_.m_page1.pathText.empty()) {
        std::fputs("tagsmith-cli: no ID list loaded\n", stderr);
        return false;
    }
    dlg_.m_page1.OnBnClickedAutoWrite();
    return dlg_.m_page1.IsAutoWriting();
}

bool AutoRun::ResumeListCursor() {
    CDlgCh1& page = dlg_.m_page1;
    if (page.pathText.empty()) {
        std::fprintf(stderr, "tagsmith-cli: the ID list named in %s cannot be loaded\n",
                     o_.state->c_str());
        return false;
    }
    const Profile state(*o_.state);
    const std::u16string next = state.GetString(cfg::kSection, cfg::kIdValue);
    const int index = state.GetInt(cfg::kSection, kIdIndexKey, 0);
    const size_t n = page.m_ids.size();
    // The saved position must still name the saved ID: a changed file would
    // otherwise make the run write IDs twice or skip some.
    const bool matches =
        index >= 0 && static_cast<size_t>(index) <= n &&
        (static_cast<size_t>(index) == n ? next.empty() : page.m_ids.Text(index) == next);
    if (!matches) {
        std::fprintf(stderr,
                     "tagsmith-cli: %s does not match the ID list (position %d): the list "
                     "changed since the state was saved; check which IDs were written before "
                     "starting again with --ids\n",
                     o_.state->c_str(), index);
        return false;
    }
    return page.ResumeAt(static_cast<uint32_t>(index));
}

bool AutoRun::SetupIncrement() {
    CDlgCh3& page = dlg_.m_page3;
    dlg_.OnTabSelChange(2);
    if (resuming_) {
        // A count-down that ended at its guard stays there.
        page.SetCounterAtZero(Profile(*o_.state).GetInt(cfg::kSection, kAtZeroKey, 0) != 0);
    } else {
        page.SetPrefix(o_.prefix.value_or(u""));
        page.SetCounter(o_.counter.value_or(u""));
        page.SetSuffix(o_.suffix.value_or(u""));
        if (o_.down) {
            page.OnBnClickedDecrease();
        } else {
            page.OnBnClickedIncrease();
        }
    }
    page.OnBnClickedWrite();
    return page.IsAutoRun() != 0;
}

bool AutoRun::SourceLeft() const {
    return listMode_ ? dlg_.m_page1.HasIdLeft() : dlg_.m_page3.HasIdLeft();
}

bool AutoRun::SaveState() {
    if (!o_.state) return true;
    // Every key in one replacement of the file: a kill or a full disk leaves
    // the previous state or the new one, never a mix a resume would refuse.
    const std::u16string index = Decimal(dlg_.m_page1.Position());
    const std::u16string atZero = Decimal(dlg_.m_page3.CounterAtZero() ? 1 : 0);
    const ProfileEntry own[] = {{kIdIndexKey, index}, {kAtZeroKey, atZero}};
    size_t refused = 0;
    stateSaved_ = dlg_.SaveConfig(*o_.state, own, &refused) && refused == 0;
    if (stateSaved_) return true;
    std::fprintf(stderr, "tagsmith-cli: cannot write the state file %s%s\n", o_.state->c_str(),
                 refused != 0 ? " (a value cannot be stored in it)" : "");
    return false;
}

int AutoRun::Finish(bool exhausted) {
    dlg_.core.CloseCurrentDevice();
    const bool saved = SaveState();
    std::printf("written %ld, failed %ld\n", dlg_.written, dlg_.failed);
    std::fflush(stdout);
    if (exhausted) std::fputs("tagsmith-cli: no ID left to write\n", stderr);
    const bool short_ = exhausted && o_.count && dlg_.written < *o_.count;
    return dlg_.failed > 0 || short_ || !saved ? kExitFailed : kExitOk;
}

int AutoRun::StopUnsaved() {
    std::fputs("tagsmith-cli: the run stops before the next device\n", stderr);
    Finish(false);  // which tries the save once more
    if (!stateSaved_) {
        std::fprintf(stderr,
                     "tagsmith-cli: %s does not record the last ID written (%s); a resumed run "
                     "would write it again\n",
                     o_.state->c_str(), PrintableId(dlg_.lastWritten).c_str());
    }
    return kExitFailed;
}

int AutoRun::Run() {
    if (!UseAppFolder(ctx_)) return kExitFailed;
    StopSignals stop;
    if (!stop.Ok()) {
        std::perror("tagsmith-cli: signalfd");
        return kExitFailed;
    }
    if (!Setup()) return kExitFailed;
    // A shared ledger's server that went away pauses the line until it is
    // back (or a stop is asked); nothing is allocated anywhere else.
    dlg_.core.Ledger().waitOffline = [&stop] {
        const Waitable w = stop.Fd();
        return WaitForAny(&w, 1, kOfflineRetryMs) == -1;
    };
    if (!SourceLeft()) {
        // Nothing to write at all: the start itself failed.
        Finish(true);
        return kExitFailed;
    }
    // A resumed run keeps the gang mode its state was saved with.
    dlg_.gangMode = dlg_.gangMode || o_.gang;
    // A state that cannot be kept would make a resumed run write IDs twice.
    if (!SaveState()) return kExitFailed;
    if (dlg_.gangMode) return RunGang(stop);

    auto countReached = [&] { return o_.count && dlg_.written >= *o_.count; };
    bool unsaved = false;
    RunEventLoop(
        *events_, stop, [&] { return !countReached() && SourceLeft(); },
        [&](DeviceEvent ev) {
            const long before = dlg_.written;
            dlg_.core.WindowProc(ev);
            unsaved = dlg_.written != before && !SaveState();
            return !unsaved && !countReached();
        });
    if (unsaved) return StopUnsaved();
    return Finish(!SourceLeft());
}

int AutoRun::RunGang(StopSignals& stop) {
    GangStation gang(dlg_.core);
    if (listMode_) {
        gang.SetIds(GangListIds(dlg_.m_page1));
    } else {
        gang.SetIds(GangCounterIds(dlg_.m_page3, gang.SharedLedger(),
                                   [&gang](const std::u16string& line) { gang.Log(line); }));
    }
    WakeSignal wake;
    std::atomic<bool> unsaved{false};
    // Called under the gang's page lock: the pages stand still meanwhile.
    gang.admit = [&](const GangCounts& c, int inFlight) {
        return !unsaved && (!o_.count || c.written + inFlight < *o_.count);
    };
    gang.onDone = [&](const PortOutcome& out, const GangCounts& c) {
        dlg_.written = c.written;
        dlg_.failed = c.failed;
        if (out.result == 0) {
            dlg_.lastWritten = out.id;
            if (!SaveState()) {
                unsaved = true;
                gang.StopNew();
            }
        }
    };
    gang.onFree = [&wake] { wake.Signal(); };
    RunGangLoop(*events_, stop, wake, gang, [&] {
        const GangCounts c = gang.Counts();
        if (unsaved || (o_.count && c.written >= *o_.count)) return false;
        return gang.HasIdLeft() || gang.InFlight() != 0;
    });
    if (unsaved) return StopUnsaved();
    return Finish(!SourceLeft());
}

}  // namespace

int CmdAuto(Context& ctx) {
    AutoOptions o;
    if (!Parse(ctx.args, o)) {
        Usage();
        return kExitUsage;
    }
    AutoRun run(ctx, std::move(o));
    return run.Run();
}

}  // namespace ts::cli
