#pragma once
// Gang mode: every attached device handled at once, each on a port of its
// own. A port is a worker thread with its own flows, command channel,
// current device and working files (below gang/<letter>/ in the
// application folder; prvdata there is refreshed from the operator's
// prvdata before each write). What the ports share has one owner each:
//
//   pages and the ID source   the page lock (GangIds, the front end's state)
//   ledger                    the ledger lock (SerialLedger, and the
//                             station's own ledger calls)
//   log and message boxes     the log lock (every line prefixed with its port)
//   file-system plug-in       the plug-in lock
//
// The station given to the gang keeps discovery: the gang scans its drives
// on every event and starts a port for each device not handled since it was
// plugged in. A fault, a pull or a hang on one port delays no other; a stop
// (StopNew, the end of the source) holds back new devices, never the ports
// in flight.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "deviceops/GangIds.h"
#include "deviceops/PortModel.h"
#include "deviceops/SerialLedger.h"
#include "deviceops/TagsmithCore.h"

namespace ts {

// How one device on one port ended.
struct PortOutcome {
    std::u16string root;
    bool write = false;
    int result = -1;  // the flow's result; -1: nothing ran (no ID, not a device)
    std::u16string id;
    bool notRewritten = false;  // held a written ID already
    bool heldBack = false;      // not started: `admit` said no
};

struct GangCounts {
    long written = 0;
    long failed = 0;
    long read = 0;
    long readFailed = 0;
};

class GangStation {
public:
    // `core` is an open station (drives, ledger, log, plug-in, mode).
    // `portClock`: the ports' pauses (null: real time).
    explicit GangStation(TagsmithCore& core, Clock* portClock = nullptr);
    // Waits for every port.
    ~GangStation();
    GangStation(const GangStation&) = delete;
    GangStation& operator=(const GangStation&) = delete;

    // Write mode: the source of the page that writes by itself, set before
    // the first event. Without one no device is written.
    void SetIds(std::unique_ptr<GangIds> ids);
    // The station's ledger as the ports share it (null: none), for a source
    // that takes its IDs from the ledger.
    IdLedger* SharedLedger() { return ledger_.get(); }

    // Arrival or removal: starts a port for every device not yet handled.
    void OnEvent(DeviceEvent event);
    // After a port became free: a device held back by `admit` is offered
    // again.
    void Poll();
    // No new device from now on; ports in flight finish.
    void StopNew() { stopped_ = true; }
    // Called under the page lock before a new write takes its ID: false
    // holds the device back (a count reached). Null: always.
    std::function<bool(const GangCounts& counts, int inFlight)> admit;
    // Called on a port's thread after each device, under the page lock, so
    // that a front end saves the pages' state as it stands.
    std::function<void(const PortOutcome&, const GangCounts&)> onDone;
    // Called on a port's thread once it is free again, with no lock held
    // (a front end's loop wakes up to Poll).
    std::function<void()> onFree;
    // Ports still working.
    int InFlight() const;
    // Waits until no port works.
    void WaitIdle();
    GangCounts Counts() const;
    // The pages held still: a front end reads them on its own thread while
    // ports take IDs.
    std::unique_lock<std::mutex> LockPages() { return std::unique_lock(pageLock_); }
    // Whether the source has an ID left (write mode).
    bool HasIdLeft();
    PortModel& Model() { return model_; }
    // A line of the station's own, through the log lock.
    void Log(const std::u16string& line);

    class Port;

private:
    friend class Port;
    void Reap(bool all);
    // Shows the port's device as being checked and adopts it; false (and
    // finished) when it is not one of ours.
    bool BeginPort(Port& port, PortOutcome* outcome);
    void RunWrite(Port& port);
    void RunRead(Port& port);
    void Finish(Port& port, const PortOutcome& outcome, bool adopted);
    bool MayStart();

    TagsmithCore& core_;
    std::unique_ptr<GangIds> ids_;
    Clock* portClock_;
    RealClock realClock_;
    mutable std::mutex pageLock_;
    std::mutex ledgerLock_;
    std::mutex logLock_;
    std::mutex pluginLock_;
    std::unique_ptr<SerialLedger> ledger_;
    PortModel model_;
    GangCounts counts_;  // under pageLock_
    std::atomic<bool> stopped_{false};
    mutable std::mutex portsLock_;
    std::map<std::u16string, std::unique_ptr<Port>> ports_;
    // Drives whose attachment was handled, kept while it stays there.
    std::map<std::u16string, std::string> handled_;
    bool heldBack_ = false;  // under portsLock_
};

}  // namespace ts
