#pragma once
// A main window on an in-memory line, for the tests of the window model.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "platform/Codepage.h"
#include "sim/MemoryLine.h"
#include "tests/support/TestSupport.h"

namespace ts::test {

// What a window model on an in-memory line is opened with: the example
// installation in `app`, the test's line, log, boxes and clock.
inline StationParts WindowParts(const TempDir& app, MemoryLine& line, MemoryLogView& log,
                                ScriptedMessageBoxer& boxes, FakeClock& clock) {
    StationParts parts;
    parts.appDir = app.Dir();
    parts.drives = &line;
    parts.log = &log;
    parts.boxes = &boxes;
    parts.clock = &clock;
    return parts;
}

// A main window on an in-memory line, with the real plug-ins and the example
// installation copied into a temp application folder.
class LineTest : public ::testing::Test {
protected:
    TempDir app;
    MemoryLine line;
    MainDialog dlg;
    ScriptedMessageBoxer boxes;
    MemoryLogView log;
    FakeClock clock;
    std::vector<std::u16string> lines;
    // Opens the ledger tagsmith.cfg names (a fixture's constructor sets it).
    bool withLedger = false;

    void SetUp() override {
        InstallApp(app.Path(), {"modhost.so", "Volkit.so", "tagsmith.cfg", "ulpkData.bin"});
        log.onLine = [this](const std::u16string& l) { lines.push_back(l); };
        StationParts parts = WindowParts(app, line, log, boxes, clock);
        parts.ledger = withLedger;
        ASSERT_EQ(dlg.OnInitDialog(std::move(parts)), StationOpen::Ok);
        if (withLedger) {
            ASSERT_NE(dlg.core.Ledger().Ledger(), nullptr);
        }
    }
    void TearDown() override {
        dlg.DestroyWindow();
        EXPECT_EQ(line.OpenVolumes(), 0);
    }
    std::u16string ListFile(const std::string& bytes) {
        WriteFile(app.Path() / "list.ids", bytes);
        return Utf8ToWide((app.Path() / "list.ids").string());
    }
    void Arrive() {
        lines.clear();
        boxes.shown.clear();
        dlg.core.WindowProc(DeviceEvent::Arrival);
    }
    std::vector<std::u16string> BoxTexts() const {
        std::vector<std::u16string> t;
        for (const auto& b : boxes.shown) t.push_back(b.text);
        return t;
    }
};

}  // namespace ts::test
