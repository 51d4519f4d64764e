// Gang mode against one device after another: 8 devices that take 5 ms for
// each command (as behind USB 2.0), written from an ID list with the
// station's ledger, then read back, on an in-memory line; and the time of 4
// devices plugged together against 1 alone. The read flow's pauses between
// blocks are left out of both sides. Prints the times and their ratios from
// one run.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "deviceops/Gang.h"
#include "platform/Codepage.h"
#include "sim/MemoryLine.h"
#include "tests/support/TestSupport.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

class NoWait : public ts::Clock {
public:
    void Sleep(uint32_t) override {}
};

double Ms(SteadyClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

const char kLetters[] = "EFGHIJKL";

// One station on its own line and application folder, writing from a list.
struct Station {
    ts::test::TempDir app;
    ts::MemoryLine line;
    ts::MainDialog dlg;
    ts::MemoryLogView log;
    NoWait clock;
    std::vector<std::shared_ptr<ts::MemoryStorage>> devices;

    bool Open() {
        ts::test::InstallApp(app.Path(),
                             {"modhost.so", "Volkit.so", "ulpkData.bin", "tagsmith.cfg"});
        std::string ids;
        for (int i = 0; i < 2000; ++i) ids += "BE" + std::to_string(10000 + i) + "\n";
        ts::test::WriteFile(app.Path() / "list.ids", ids);
        ts::StationParts parts;
        parts.appDir = app.Dir();
        parts.drives = &line;
        parts.log = &log;
        parts.clock = &clock;
        parts.ledger = true;
        if (dlg.OnInitDialog(parts) != ts::StationOpen::Ok || !dlg.core.Ledger().Ledger())
            return false;
        dlg.m_page1.ReloadIdFile(ts::Utf8ToWide((app.Path() / "list.ids").string()));
        dlg.m_page1.OnBnClickedAutoWrite();
        return dlg.m_page1.IsAutoWriting();
    }
    // Plugs `n` new devices (or, with `again`, the same ones anew).
    void Plug(int n, bool again) {
        if (!again) devices.clear();
        for (int i = 0; i < n; ++i) {
            if (!again) devices.push_back(std::make_shared<ts::MemoryStorage>(2048));
            line.Plug(kLetters[i], devices[static_cast<size_t>(i)],
                      ts::ParseSimFaults("latency=write:5,read:5,handshake:5,finish:5", "bench"));
        }
    }
    void UnplugAll(int n) {
        for (int i = 0; i < n; ++i) line.Unplug(kLetters[i]);
    }
};

// One device after another: each arrival takes one of the attached devices.
double OneAfterAnother(Station& s, int n, bool again) {
    s.Plug(n, again);
    const auto t0 = SteadyClock::now();
    for (int i = 0; i < n; ++i) s.dlg.core.WindowProc(ts::DeviceEvent::Arrival);
    const double ms = Ms(SteadyClock::now() - t0);
    s.UnplugAll(n);
    return ms;
}

double Gang(Station& s, ts::GangStation& gang, int n, bool again) {
    s.Plug(n, again);
    const auto t0 = SteadyClock::now();
    gang.OnEvent(ts::DeviceEvent::Arrival);
    gang.WaitIdle();
    const double ms = Ms(SteadyClock::now() - t0);
    s.UnplugAll(n);
    gang.OnEvent(ts::DeviceEvent::Removal);
    return ms;
}

}  // namespace

int main() {
    constexpr int kDevices = 8;
    constexpr int kRounds = 3;
    Station single, ganged;
    if (!single.Open() || !ganged.Open()) {
        std::fprintf(stderr, "the station cannot be opened in %s\n", single.app.Dir().c_str());
        return 1;
    }
    auto gang = std::make_unique<ts::GangStation>(ganged.dlg.core, &ganged.clock);
    gang->SetIds(ts::GangListIds(ganged.dlg.m_page1));

    double writeOne = 0, writeGang = 0, readOne = 0, readGang = 0, gang1 = 0, gang4 = 0;
    for (int r = 0; r < kRounds; ++r) {
        writeOne += OneAfterAnother(single, kDevices, false);
        gang1 += Gang(ganged, *gang, 1, false);
        gang4 += Gang(ganged, *gang, 4, false);
        writeGang += Gang(ganged, *gang, kDevices, false);
    }
    const ts::GangCounts written = gang->Counts();
    if (written.written != kRounds * (kDevices + 1 + 4) || written.failed != 0) {
        std::fprintf(stderr, "gang mode wrote %ld devices, %ld failed\n", written.written,
                     written.failed);
        return 1;
    }

    // Read mode: the last eight devices each station wrote, read again.
    gang.reset();
    single.dlg.m_page1.OnBnClickedAutoWrite();
    single.dlg.OnReadMode();
    ganged.dlg.m_page1.OnBnClickedAutoWrite();
    ganged.dlg.OnReadMode();
    gang = std::make_unique<ts::GangStation>(ganged.dlg.core, &ganged.clock);
    for (int r = 0; r < kRounds; ++r) {
        readOne += OneAfterAnother(single, kDevices, true);
        readGang += Gang(ganged, *gang, kDevices, true);
    }

    if (gang->Counts().read != kRounds * kDevices) {
        std::fprintf(stderr, "gang mode read %ld devices\n", gang->Counts().read);
        return 1;
    }
    const double w1 = writeOne / kRounds, wg = writeGang / kRounds;
    const double r1 = readOne / kRounds, rg = readGang / kRounds;
    std::printf("%d devices, 5 ms per command, %d rounds\n", kDevices, kRounds);
    std::printf("%-8s %16s %12s %8s\n", "", "one after another", "gang", "ratio");
    std::printf("%-8s %14.1f ms %9.1f ms %7.2fx\n", "write", w1, wg, w1 / wg);
    std::printf("%-8s %14.1f ms %9.1f ms %7.2fx\n", "read", r1, rg, r1 / rg);
    std::printf("gang: 1 device %.1f ms, 4 devices together %.1f ms (%.2f times one)\n",
                gang1 / kRounds, gang4 / kRounds, gang4 / gang1);
    return 0;
}
