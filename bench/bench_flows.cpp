// One write and one read of an ID on an in-memory simulated 1 MiB device,
// pauses injected away, beside `dd` writing 1 MiB to a file. Then, with the
// station's ledger, a write beside the pass-over of an ID the ledger already
// holds (what a station of a line sharing one list meets most often).
// Prints the times and their ratios from one run.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "deviceops/Station.h"
#include "deviceops/TagsmithCore.h"
#include "sim/MemoryLine.h"
#include "tests/support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

// A page writing by itself: the write flow asks nothing first.
class AutoPage : public ts::IdPage {
public:
    std::u16string AnnounceId() override { return {}; }
    void ShowId(const std::u16string&) override {}
    bool WritesAutomatically() const override { return true; }
    void DeviceReady() override {}
    void DeviceGone() override {}
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main() {
    namespace fs = std::filesystem;
    ts::test::TempDir app;
    const std::string bin = ts::test::AppDir();
    ts::test::InstallApp(app.Path(), {"modhost.so", "Volkit.so", "ulpkData.bin", "tagsmith.cfg"});

    ts::MemoryLine line;
    line.Plug('E', 2048);
    ts::FakeClock fakeClock;
    ts::MemoryLogView log;
    AutoPage page;
    ts::IdPage* const pages[] = {&page};
    ts::TagsmithCore core;
    ts::StationParts parts;
    parts.appDir = app.Dir();
    parts.drives = &line;
    parts.log = &log;
    parts.clock = &fakeClock;
    parts.pages = pages;
    if (ts::OpenStation(core, parts) != ts::StationOpen::Ok) {
        std::fprintf(stderr, "plug-in not found in %s\n", bin.c_str());
        return 1;
    }
    auto open = [&] { core.AdoptDevice("E:\\"); };

    const int rounds = 50;
    Clock::duration write{}, read{};
    for (int i = 0; i < rounds; ++i) {
        open();
        auto t0 = Clock::now();
        if (core.WriteDeviceSN(u"1A2B3C4D5E6F7788") != 0) return 1;
        auto t1 = Clock::now();
        open();
        std::u16string id;
        auto t2 = Clock::now();
        if (core.ReadDeviceSN(id) != 0 || id != u"1A2B3C4D5E6F7788") return 1;
        auto t3 = Clock::now();
        core.CloseCurrentDevice();
        write += t1 - t0;
        read += t3 - t2;
    }
    const std::string ddTarget = (app.Path() / "dd.out").string();
    auto d0 = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        if (ts::test::RunCommand("dd if=/dev/zero of='" + ddTarget +
                                 "' bs=32768 count=32 2>/dev/null") != 0)
            return 1;
    }
    auto d1 = Clock::now();
    const double w = Ms(write) / rounds, r = Ms(read) / rounds, dd = Ms(d1 - d0) / rounds;
    std::printf("write ID (1 MiB image): %.3f ms\n", w);
    std::printf("read ID (1 MiB image):  %.3f ms\n", r);
    std::printf("dd 1 MiB to a file:     %.3f ms (process included)\n", dd);
    std::printf("ratio write/dd: %.2f  read/dd: %.2f  (write+read)/dd: %.2f\n", w / dd, r / dd,
                (w + r) / dd);

    ts::test::TempDir ledgerApp;
    ts::test::InstallApp(ledgerApp.Path(),
                         {"modhost.so", "Volkit.so", "ulpkData.bin", "tagsmith.cfg"});
    ts::TagsmithCore station;
    parts.appDir = ledgerApp.Dir();
    parts.ledger = true;
    if (ts::OpenStation(station, parts) != ts::StationOpen::Ok ||
        !station.Ledger().Fault().empty() || !station.Ledger().Ledger()) {
        std::fprintf(stderr, "the station's ledger cannot be opened in %s\n",
                     ledgerApp.Dir().c_str());
        return 1;
    }
    auto idOf = [](int i) {
        return u"A" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10)) +
               std::u16string(1, static_cast<char16_t>(u'0' + i / 10));
    };
    Clock::duration written{}, passed{};
    for (int i = 0; i < rounds; ++i) {
        station.AdoptDevice("E:\\");
        auto t0 = Clock::now();
        if (station.WriteDeviceSN(idOf(i)) != 0) return 1;
        written += Clock::now() - t0;
    }
    for (int i = 0; i < rounds; ++i) {
        station.AdoptDevice("E:\\");
        auto t0 = Clock::now();
        if (station.WriteDeviceSN(idOf(i)) == 0 || !station.Ledger().lastTaken) return 1;
        passed += Clock::now() - t0;
    }
    station.CloseCurrentDevice();
    const double lw = Ms(written) / rounds, lp = Ms(passed) / rounds;
    std::printf("write ID with the ledger:       %.3f ms\n", lw);
    std::printf("pass over an ID the ledger holds: %.3f ms\n", lp);
    std::printf("ratio pass-over/write: %.2f\n", lp / lw);
    return 0;
}
