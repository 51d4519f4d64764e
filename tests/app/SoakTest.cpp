// Long runs on an in-memory line: 10,000 devices plugged and unplugged in the
// list page's automatic mode and 10,000 in the increment page's, through the
// event source as the programs receive them. Every ID must be written once
// and in order, and nothing may be left open (leaks: LeakSanitizer in the
// sanitizer build).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "platform/Codepage.h"
#include "sim/MemoryLine.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

namespace fs = std::filesystem;

constexpr int kDevices = 10000;
// Small devices keep the run short; the image still spans several blocks.
constexpr uint32_t kSectors = 256;

size_t OpenDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

std::u16string Hex8(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(v));
    return Utf8ToWide(buf);
}

class Soak {
public:
    test::TempDir app;
    MemoryLine line;
    MainDialog dlg;
    ScriptedMessageBoxer boxes;
    MemoryLogView log;
    FakeClock clock;
    std::unique_ptr<DeviceEventSource> events;
    std::vector<std::u16string> written;  // IDs of the success lines, in order

    Soak() {
        test::InstallApp(app.Path(), {"modhost.so", "Volkit.so", "tagsmith.cfg", "ulpkData.bin"});
        const std::u16string ok = u"烧写成功 ID: ";
        log.onLine = [this, ok](const std::u16string& l) {
            if (l.compare(0, ok.size(), ok) == 0) {
                std::u16string id = l.substr(ok.size());
                if (!id.empty() && id.back() == u'\n') id.pop_back();
                written.push_back(id);
            }
        };
        events = line.WatchEvents();
        StationParts parts;
        parts.appDir = app.Dir();
        parts.drives = &line;
        parts.log = &log;
        parts.boxes = &boxes;
        parts.clock = &clock;
        dlg.OnInitDialog(std::move(parts));
    }
    ~Soak() { dlg.DestroyWindow(); }

    // Handles the pending events; what the last dispatch did.
    DispatchOutcome Pump() {
        DispatchOutcome last;
        for (DeviceEvent ev : events->ReadEvents()) {
            DispatchOutcome outcome = dlg.core.WindowProc(ev);
            if (outcome.dispatched) last = std::move(outcome);
        }
        return last;
    }
    // One device in and out; returns its storage.
    std::shared_ptr<MemoryStorage> Cycle() {
        auto storage = line.Plug('E', kSectors);
        Pump();
        line.Unplug('E');
        Pump();
        return storage;
    }
    // Reads a device back in read mode; the ID shown, or empty.
    std::u16string ReadBack(std::shared_ptr<MemoryStorage> storage) {
        dlg.OnReadMode();
        line.Plug('E', std::move(storage));
        const DispatchOutcome outcome = Pump();
        line.Unplug('E');
        Pump();
        return outcome.readResult == 0 ? outcome.readId : std::u16string();
    }
};

TEST(Soak, ListModeWritesEveryIdOnceInOrder) {
    const size_t fdsBefore = OpenDescriptors();
    {
        Soak s;
        ASSERT_NE(s.dlg.core.VolkitTable(), nullptr);
        std::string file;
        std::vector<std::u16string> expected;
        for (int i = 0; i < kDevices; ++i) {
            expected.push_back(Hex8(0x10000000 + i));
            file += WideToUtf8(expected.back()) + "\r\n";
        }
        test::WriteFile(s.app.Path() / "soak.ids", file);
        s.dlg.m_page1.ReloadIdFile(Utf8ToWide((s.app.Path() / "soak.ids").string()));
        s.dlg.m_page1.OnBnClickedAutoWrite();
        ASSERT_TRUE(s.dlg.m_page1.IsAutoWriting());

        std::shared_ptr<MemoryStorage> first, last;
        for (int i = 0; i < kDevices; ++i) {
            auto storage = s.Cycle();
            if (i == 0) first = storage;
            last = storage;
            ASSERT_EQ(s.written.size(), static_cast<size_t>(i + 1)) << "device " << i;
        }
        EXPECT_EQ(s.written, expected);
        EXPECT_EQ(s.dlg.m_page1.m_cursor, static_cast<uint32_t>(kDevices));
        EXPECT_TRUE(s.boxes.shown.empty());
        EXPECT_EQ(s.line.OpenVolumes(), 0);

        // The exhausted list writes nothing more.
        s.Cycle();
        EXPECT_EQ(s.written.size(), static_cast<size_t>(kDevices));
        ASSERT_EQ(s.boxes.shown.size(), 1u);

        s.dlg.m_page1.OnBnClickedAutoWrite();
        EXPECT_EQ(s.ReadBack(first), expected.front());
        EXPECT_EQ(s.ReadBack(last), expected.back());
        EXPECT_EQ(s.log.text.size() <= 8192 + 64, true);
    }
    EXPECT_EQ(OpenDescriptors(), fdsBefore);
}

TEST(Soak, IncrementModeCountsEveryDevice) {
    const size_t fdsBefore = OpenDescriptors();
    {
        Soak s;
        s.dlg.OnTabSelChange(2);
        s.dlg.m_page3.SetPrefix(u"AB");
        s.dlg.m_page3.SetCounter(u"0x0ff0");
        s.dlg.m_page3.SetSuffix(u"CD");
        s.dlg.m_page3.SetDirection(1);
        s.dlg.m_page3.OnBnClickedWrite();
        ASSERT_TRUE(s.dlg.m_page3.IsAutoRun());

        std::shared_ptr<MemoryStorage> last;
        for (int i = 0; i < kDevices; ++i) {
            last = s.Cycle();
            ASSERT_EQ(s.written.size(), static_cast<size_t>(i + 1)) << "device " << i;
        }
        std::vector<std::u16string> expected;
        char buf[32];
        for (int i = 0; i < kDevices; ++i) {
            std::snprintf(buf, sizeof buf, "AB%XCD", 0xFF0 + i);
            expected.push_back(Utf8ToWide(buf));
        }
        EXPECT_EQ(s.written, expected);
        std::snprintf(buf, sizeof buf, "%X", 0xFF0 + kDevices);
        EXPECT_EQ(s.dlg.m_page3.counterText, Utf8ToWide(buf));
        EXPECT_EQ(s.line.OpenVolumes(), 0);

        s.dlg.m_page3.OnBnClickedWrite();
        EXPECT_EQ(s.ReadBack(last), expected.back());
    }
    EXPECT_EQ(OpenDescriptors(), fdsBefore);
}

}  // namespace
}  // namespace ts
