#pragma once
// A core on an in-memory line, with the real plug-ins copied into a private
// application folder, a recorded log, scripted message boxes and a clock
// that does not sleep.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "deviceops/Station.h"
#include "deviceops/TagsmithCore.h"
#include "platform/Codepage.h"
#include "platform/DebugOut.h"
#include "sim/MemoryLine.h"
#include "tests/support/TestSupport.h"

namespace ts::test {

// One page with nothing but its automatic switch, the ID it announces and
// what the dispatch showed, enabled or asked of it.
class FakePage : public IdPage {
public:
    bool automatic = false;
    std::u16string next;   // what it announces for a ready device
    std::u16string shown;  // the last text it showed
    bool enabled = false;  // its write button
    int readyCalls = 0;
    std::function<void()> onReady;

    std::u16string AnnounceId() override { return next; }
    void ShowId(const std::u16string& t) override { shown = t; }
    bool WritesAutomatically() const override { return automatic; }
    void DeviceReady() override {
        ++readyCalls;
        if (!automatic) enabled = true;
        if (onReady) onReady();
    }
    void DeviceGone() override { enabled = false; }
};

class FlowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        InstallApp(app.Path(), {"modhost.so", "Volkit.so", "ulpkData.bin", "tagsmith.cfg"});
        IdPage* const pages[] = {&page};
        StationParts parts;
        parts.appDir = app.Dir();
        parts.drives = &line;
        parts.log = &log;
        parts.boxes = &boxes;
        parts.clock = &clock;
        parts.pages = pages;
        ASSERT_EQ(OpenStation(core, parts), StationOpen::Ok);
    }

    // Makes the device at `letter` current as discovery would, without a
    // dispatch: opened and handshaken.
    void OpenCurrent(char letter = 'E') {
        const std::string root = std::string(1, letter) + ":\\";
        ASSERT_TRUE(core.AdoptDevice(root.c_str()));
    }

    // The log's lines as appended (the text starts with a line break).
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::string t = WideToUtf8(log.text);
        size_t pos = 0;
        while ((pos = t.find("\r\n", pos)) != std::string::npos) {
            pos += 2;
            size_t next = t.find("\r\n", pos);
            lines.push_back(
                t.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
        }
        return lines;
    }
    bool Exists(const char* name) const { return std::filesystem::exists(app.Path() / name); }

    TempDir app;
    MemoryLine line;
    MemoryLogView log;
    ScriptedMessageBoxer boxes;
    FakeClock clock;
    FakePage page;
    TagsmithCore core;
};

}  // namespace ts::test
