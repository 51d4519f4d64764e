#include "deviceops/Gang.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "device/VendorProtocol.h"
#include "deviceops/FlowSupport.h"
#include "platform/Files.h"

namespace ts {
namespace {

using flow::FormatWithText;

// Deeper than any staging folder an operator makes; a deeper tree is refused
// rather than walked without end.
constexpr int kMaxDepth = 32;

// Empties `dir` (at `path`), links removed as names, never followed.
bool ClearTree(files::Folder& dir, const std::string& path, int depth) {
    std::vector<std::string> names;
    if (depth > kMaxDepth || !dir.List(&names)) return false;
    for (const std::string& name : names) {
        files::Status st;
        if (!dir.StatChild(name, &st)) return false;
        if (st.kind == files::Kind::Folder) {
            std::unique_ptr<files::Folder> child = dir.OpenChild(name);
            if (!child || !ClearTree(*child, path + "/" + name, depth + 1) ||
                files::RemoveFolder(path + "/" + name) != 0)
                return false;
        } else if (dir.RemoveChildFile(name) != 0) {
            return false;
        }
    }
    return true;
}

// Copies the files and folders of `from` into `to`. Links are left out, as
// the image build leaves them out: nothing outside the folder is copied.
bool CopyTree(files::Folder& from, files::Folder& to, int depth) {
    std::vector<std::string> names;
    if (depth > kMaxDepth || !from.List(&names)) return false;
    for (const std::string& name : names) {
        files::Status st;
        if (!from.StatChild(name, &st)) return false;
        if (st.kind == files::Kind::Folder) {
            const int made = to.MakeChild(name);
            if (made != 0 && made != EEXIST) return false;
            std::unique_ptr<files::Folder> src = from.OpenChild(name);
            std::unique_ptr<files::Folder> dst = to.OpenChild(name);
            if (!src || !dst) return false;
            if (!CopyTree(*src, *dst, depth + 1)) return false;
            continue;
        }
        if (st.kind != files::Kind::Regular) continue;  // links, FIFOs, devices
        const int in = from.OpenChildFile(name);
        if (in < 0) return false;
        const int out = to.CreateChildFile(name);
        bool ok = out >= 0;
        std::vector<char> buf(65536);
        for (uint64_t at = 0; ok;) {
            const long long n = files::ReadAt(in, buf.data(), buf.size(), at);
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            ok = files::WriteAll(out, buf.data(), static_cast<size_t>(n));
            at += static_cast<uint64_t>(n);
        }
        files::Close(in);
        if (out >= 0 && files::Close(out) != 0) ok = false;
        if (!ok) return false;
    }
    return true;
}

// "E:\" as the log names the port: "E:".
std::u16string PortName(const std::u16string& root) {
    std::u16string name = root;
    while (!name.empty() && (name.back() == u'\\' || name.back() == u'/')) name.pop_back();
    return name;
}

// The port's working folder name: its letters and digits only.
std::string FolderName(const std::u16string& root) {
    std::string name;
    for (char16_t c : root) {
        if ((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9'))
            name.push_back(static_cast<char>(c));
    }
    return name.empty() ? std::string("port") : name;
}

// The page a port writes from: the ID the gang gave it, taken already.
class PortPage : public IdPage {
public:
    std::u16string AnnounceId() override { return {}; }
    void ShowId(const std::u16string&) override {}
    bool WritesAutomatically() const override { return automatic; }
    void DeviceReady() override {}
    void DeviceGone() override {}
    IdOrigin Origin() const override { return origin; }
    bool automatic = false;
    IdOrigin origin;
};

// A port's log lines go to the station's log, each with the port's name.
class PortLog : public LogView {
public:
    PortLog(GangStation& gang, std::u16string prefix) : gang_(gang), prefix_(std::move(prefix)) {}
    std::u16string GetText() override { return {}; }
    void SetText(const std::u16string&) override {}
    void LineAppended(const std::u16string& line) override { gang_.Log(prefix_ + line); }

private:
    GangStation& gang_;
    std::u16string prefix_;
};

class PortBoxes : public MessageBoxer {
public:
    PortBoxes(std::function<MsgAnswer(const MessageRequest&)> show) : show_(std::move(show)) {}
    MsgAnswer Show(const MessageRequest& request) override { return show_(request); }

private:
    std::function<MsgAnswer(const MessageRequest&)> show_;
};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// One port: its own flows over its own command channel, current device and
// working files. The gang starts one worker at a time on it.
class GangStation::Port : public Discovery {
public:
    Port(GangStation& gang, const std::u16string& root)
        : root(root),
          prefix(u"[" + PortName(root) + u"] "),
          log_(gang, prefix),
          boxes_([&gang, this](const MessageRequest& r) {
              std::lock_guard lock(gang.logLock_);
              MessageRequest prefixed = r;
              prefixed.text = prefix + r.text;
              return gang.core_.MessageBox(prefixed.text, r.buttons, r.icon, r.caption);
          }) {
        TagsmithCore& core = gang.core_;
        InitExeDir(core.ExeDir());
        SetWorkDir(core.ExeDir() + "gang/" + FolderName(root) + "/");
        SetVolkitTable(core.VolkitTable());
        SetPluginLock(&gang.pluginLock_);
        SetWriteMode(core.IsWriteMode() != 0);
        SetLogView(&log_);
        SetMessageBoxer(&boxes_);
        SetClock(gang.portClock_);
        m_DevCtrl.SetOpener(core.Drives());
        page_.automatic = core.IsWriteMode() != 0;
        IdPage* const pages[] = {&page_};
        SetPages(pages);
        LedgerLink& own = core.Ledger();
        if (!own.Fault().empty()) {
            ledger_.SetFault(own.Fault(), own.FaultOfServer(), own.FaultOfMark());
        } else {
            ledger_.Attach(gang.ledger_.get(), own.Verify());
        }
        ledger_.waitOffline = own.waitOffline;
        ledger_.confirmRetries = own.confirmRetries;
        ledger_.retryDelayMs = own.retryDelayMs;
    }
    ~Port() {
        if (worker.joinable()) worker.join();
    }

    // Opens the drive and takes its handshake; false when it is no device
    // of ours (or another program holds it).
    bool Adopt(const DeviceInfo& info) {
        const std::string ansi = WideToAnsi(root);
        DeviceHandle* device =
            m_DevCtrl.DeviceOpen(ansi.c_str(), kGenericRead | kGenericWrite, kFileShareReadWrite);
        if (!device) {
            if (GetLastError() == EBUSY)
                AppendLog(FormatWithText(u"设备 %s 正被其他程序使用，无法打开", root));
            return false;
        }
        uint8_t answer[sizeof m_HandShakeBuf] = {};
        if (m_DevCtrl.HandShake(device, answer, sizeof answer) != 0 ||
            !vendor::ParseHandShake(answer, sizeof answer, nullptr)) {
            m_DevCtrl.DeviceClose(device);
            return false;
        }
        CloseCurrentDevice();
        m_pCurDevice = device;
        std::memcpy(m_HandShakeBuf, answer, sizeof answer);
        currentInfo_ = info;
        return true;
    }

    // The port's prvdata as the operator's prvdata holds it now.
    // The port's working folder; other ports make the shared gang folder
    // at the same time.
    bool MakeWorkDir() {
        for (const std::string& dir : {ExeDir() + "gang", WorkDir()}) {
            const int made = files::MakeFolder(dir);
            if (made != 0 && made != EEXIST) {
                AppendLog(u"无法创建本端口的工作目录：" + Utf8ToWide(dir));
                return false;
            }
        }
        return true;
    }

    bool RefreshStaging() {
        if (!MakeWorkDir()) return false;
        const std::string dst = WorkDir() + "prvdata";
        const int made = files::MakeFolder(dst);
        if (made != 0 && made != EEXIST) {
            AppendLog(u"烧写失败，无法创建本端口的工作目录：" + Utf8ToWide(dst));
            return false;
        }
        std::unique_ptr<files::Folder> to = files::Folder::Open(dst);
        if (!to || !ClearTree(*to, dst, 0)) {
            AppendLog(u"烧写失败，无法清空本端口的工作目录：" + Utf8ToWide(dst));
            return false;
        }
        const std::string src = ExeDir() + "prvdata";
        files::Status st;
        if (!files::StatPath(src, false, &st)) return true;  // no template: the write makes its own
        // As for a write in the application folder: prvdata itself must not
        // lead elsewhere.
        if (st.kind == files::Kind::Link) {
            AppendLog(u"烧写失败，prvdata 中存在链接，已拒绝：" + Utf8ToWide(src));
            return false;
        }
        std::unique_ptr<files::Folder> from = files::Folder::Open(src);
        if (!from || !CopyTree(*from, *to, 0)) {
            AppendLog(u"烧写失败，无法复制 prvdata 到本端口的工作目录：" + Utf8ToWide(dst));
            return false;
        }
        return true;
    }

    bool HoldsWritten() { return HoldsWrittenId(); }
    void FoundId(const std::u16string& id) { SettleFoundId(id); }
    bool Reached(const std::string& serial) const {
        return !serial.empty() && serialsWithId_.count(serial) != 0;
    }
    void UseOrigin(const IdOrigin& origin) { page_.origin = origin; }

    const std::u16string root;
    const std::u16string prefix;
    // The device the worker handles.
    std::string attachment;
    DeviceInfo info;
    bool readFirst = false;
    int64_t startedMs = 0;
    std::thread worker;
    std::atomic<bool> busy{false};

private:
    PortLog log_;
    PortBoxes boxes_;
    PortPage page_;
};

GangStation::GangStation(TagsmithCore& core, Clock* portClock)
    : core_(core), portClock_(portClock ? portClock : &realClock_) {
    if (IdLedger* ledger = core.Ledger().Ledger()) {
        ledger_ = std::make_unique<SerialLedger>(*ledger, ledgerLock_);
        // Called under the ledger lock: the mark follows every reservation.
        ledger_->afterReserve = [&core] { core.Ledger().NoteChange(); };
    }
}

GangStation::~GangStation() {
    stopped_ = true;
    Reap(true);
}

void GangStation::SetIds(std::unique_ptr<GangIds> ids) {
    std::lock_guard lock(pageLock_);
    ids_ = std::move(ids);
}

void GangStation::Log(const std::u16string& line) {
    std::lock_guard lock(logLock_);
    core_.AppendLog(line);
}

int GangStation::InFlight() const {
    std::lock_guard lock(portsLock_);
    int n = 0;
    for (const auto& [root, port] : ports_) n += port->busy ? 1 : 0;
    return n;
}

void GangStation::WaitIdle() {
    while (InFlight() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Reap(true);
}

GangCounts GangStation::Counts() const {
    std::lock_guard lock(pageLock_);
    return counts_;
}

bool GangStation::HasIdLeft() {
    std::lock_guard lock(pageLock_);
    return ids_ && ids_->HasIdLeft();
}

void GangStation::Reap(bool all) {
    std::vector<Port*> done;
    {
        std::lock_guard lock(portsLock_);
        for (auto& [root, port] : ports_) {
            if (port->worker.joinable() && (all || !port->busy)) done.push_back(port.get());
        }
    }
    // Joined outside the lock: a finishing worker may still read the ports.
    for (Port* port : done) port->worker.join();
}

void GangStation::Poll() {
    {
        std::lock_guard lock(portsLock_);
        if (!heldBack_) return;
        heldBack_ = false;
    }
    OnEvent(DeviceEvent::Arrival);
}

void GangStation::OnEvent(DeviceEvent event) {
    (void)event;  // every event rescans: it does not say which drive changed
    DriveSystem* drives = core_.Drives();
    if (!drives) return;
    Reap(false);
    const std::vector<std::u16string> roots = drives->ListDrives();
    std::lock_guard lock(portsLock_);
    // Devices that left: their drive is gone or holds another attachment.
    for (auto it = handled_.begin(); it != handled_.end();) {
        const bool listed = std::find(roots.begin(), roots.end(), it->first) != roots.end();
        if (listed && drives->AttachmentId(it->first) == it->second) {
            ++it;
            continue;
        }
        const std::u16string root = it->first;
        it = handled_.erase(it);
        auto port = ports_.find(root);
        if (port != ports_.end() && port->second->busy) continue;  // its worker tells
        Log(u"[" + PortName(root) + u"] 设备已退出......");
        model_.Update(root, [](PortView& v) { v.state = PortState::Empty; });
    }
    if (stopped_) return;
    for (const std::u16string& root : roots) {
        if (drives->GetDriveType(root) != kDriveRemovable) continue;
        if (!root.empty() && root[0] == u'A') continue;
        const std::string attachment = drives->AttachmentId(root);
        if (attachment.empty() || handled_.count(root)) continue;
        std::unique_ptr<Port>& port = ports_[root];
        if (!port) port = std::make_unique<Port>(*this, root);
        // A worker still busy with the device that was there before (a hung
        // one): the new device waits for a later event.
        if (port->busy) continue;
        if (port->worker.joinable()) port->worker.join();
        handled_[root] = attachment;
        port->attachment = attachment;
        port->info = core_.DescribeDrive(root);
        if (core_.IsWriteMode()) {
            std::lock_guard ledgerLock(ledgerLock_);
            port->readFirst = core_.ReadsFirst(root, port->info);
        }
        port->busy = true;
        port->startedMs = NowMs();
        Port* p = port.get();
        try {
            port->worker = std::thread([this, p] {
                if (core_.IsWriteMode()) {
                    RunWrite(*p);
                } else {
                    RunRead(*p);
                }
            });
        } catch (const std::system_error&) {
            // No thread to be had: the device waits for a later event.
            port->busy = false;
            handled_.erase(root);
            Log(u"[" + PortName(root) + u"] 无法为该设备启动工作线程，请稍后重新插拔设备");
        }
    }
}

bool GangStation::BeginPort(Port& port, PortOutcome* outcome) {
    outcome->root = port.root;
    model_.Update(port.root, [](PortView& v) {
        v.state = PortState::Checking;
        v.id.clear();
        v.result = -1;
        v.elapsedMs = 0;
    });
    if (port.Adopt(port.info)) return true;
    Finish(port, *outcome, false);
    return false;
}

void GangStation::RunWrite(Port& port) {
    PortOutcome outcome;
    outcome.write = true;
    if (!BeginPort(port, &outcome)) return;
    if (port.readFirst && port.HoldsWritten()) {
        outcome.notRewritten = true;
        Finish(port, outcome, true);
        return;
    }
    bool announced = false;
    for (;;) {
        std::optional<GangIds::Taken> taken;
        bool admitted;
        {
            std::lock_guard lock(pageLock_);
            admitted = MayStart();
            if (admitted && ids_) taken = ids_->Take();
        }
        if (!admitted) {
            // Held back (a count about to be reached): taken again once a
            // port in flight ended without reaching it.
            outcome.heldBack = true;
            break;
        }
        if (!taken) {
            if (!announced) port.AppendLog(u"新设备检测成功，当前无序列号可用");
            break;
        }
        if (!announced) port.AppendLog(u"新设备检测成功，现在可以进行ID烧写操作了");
        announced = true;
        outcome.id = taken->id;
        model_.Update(port.root, [&](PortView& v) {
            v.state = PortState::Writing;
            v.id = taken->id;
        });
        port.UseOrigin(taken->origin);
        const int result = port.RefreshStaging() ? port.WriteDeviceSN(taken->id) : kWriteFailed;
        // Taken meanwhile by another run: it counts as used, and the same
        // device gets the next one.
        if (result != kWriteOk && port.Ledger().lastTaken) continue;
        outcome.result = result;
        bool held = result == kWriteOk;
        if (!held) {
            // Given back unless something of it stayed held (in doubt,
            // reserved for the operator, or written after all).
            IdRecord record;
            if (ledger_ && ledger_->Lookup(taken->id, &record).ok()) held = IsHeld(record.state);
        }
        if (!held) {
            std::lock_guard lock(pageLock_);
            ids_->GiveBack(std::move(*taken));
        }
        break;
    }
    if (port.Reached(port.info.usbSerial)) {
        std::lock_guard lock(ledgerLock_);
        core_.NoteSerialWithId(port.info.usbSerial);
    }
    port.CloseCurrentDevice();
    Finish(port, outcome, true);
}

void GangStation::RunRead(Port& port) {
    PortOutcome outcome;
    if (!BeginPort(port, &outcome)) return;
    bool admitted;
    {
        std::lock_guard lock(pageLock_);
        admitted = MayStart();
    }
    if (!admitted) {
        port.CloseCurrentDevice();
        outcome.heldBack = true;
        Finish(port, outcome, true);
        return;
    }
    model_.Update(port.root, [](PortView& v) { v.state = PortState::Reading; });
    port.AppendLog(u"设备检测成功，当前设备ID读取中 ... ...");
    port.MakeWorkDir();  // else the read fails for want of its tmp.data
    Attempt attempt;
    attempt.mode = AttemptMode::Read;
    attempt.device = port.info;
    const int64_t started = NowMs();
    std::u16string id;
    outcome.result = port.ReadDeviceSN(id);
    if (IdLedger* ledger = port.Ledger().Ledger()) {
        attempt.id = outcome.result == kReadOk ? id : std::u16string();
        ledger->RecordAttempt(attempt, outcome.result, NowMs() - started, false);
    }
    if (outcome.result == kReadOk) {
        outcome.id = id;
        port.FoundId(id);
        port.AppendLog(u"设备ID读取成功");
        port.AppendLog(FormatWithText(u"设备ID为 :%s", id));
    } else {
        port.AppendLog(u"设备ID读取失败，请重新插拔设备读取");
    }
    port.CloseCurrentDevice();
    Finish(port, outcome, true);
}

bool GangStation::MayStart() {
    if (stopped_) return false;
    if (!admit) return true;
    int holding = 0;
    {
        std::lock_guard lock(portsLock_);
        for (const auto& [root, p] : ports_) holding += p->busy ? 1 : 0;
    }
    // The asking port is busy too, but holds no ID yet.
    return admit(counts_, holding - 1);
}

void GangStation::Finish(Port& port, const PortOutcome& outcome, bool adopted) {
    DriveSystem* drives = core_.Drives();
    const bool pulled = drives && drives->AttachmentId(port.root) != port.attachment;
    PortState state = PortState::Skipped;
    if (!adopted) {
        state = PortState::Empty;
    } else if (outcome.result == 0) {
        state = PortState::Passed;
    } else if (outcome.result > 0) {
        state = pulled ? PortState::Pulled : PortState::Failed;
    } else if (pulled) {
        state = PortState::Pulled;
    }
    {
        std::lock_guard lock(pageLock_);
        if (outcome.result >= 0) {
            if (outcome.write) {
                ++(outcome.result == 0 ? counts_.written : counts_.failed);
            } else {
                ++(outcome.result == 0 ? counts_.read : counts_.readFailed);
            }
        }
        if (onDone) onDone(outcome, counts_);
    }
    model_.Update(port.root, [&](PortView& v) {
        v.state = state;
        v.id = outcome.id;
        v.result = outcome.result;
        v.elapsedMs = NowMs() - port.startedMs;
    });
    {
        // Free, and (not a device of ours yet, or held back) to be taken by
        // a later scan, in one step: a scan never sees one without the other.
        std::lock_guard lock(portsLock_);
        if (!adopted || outcome.heldBack) {
            if (outcome.heldBack) heldBack_ = true;
            if (auto it = handled_.find(port.root);
                it != handled_.end() && it->second == port.attachment)
                handled_.erase(it);
        }
        port.busy = false;
    }
    // Nothing but the wake-up after this: a scan may be joining this thread.
    if (onFree) onFree();
}

}  // namespace ts
