#pragma once
// A core on an in-memory line, with the real plug-ins copied into a private
// application folder, a recorded log, scripted message boxes and a clock
// that does not sleep.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "deviceops/TagsmithCore.h"
#include "platform/Codepage.h"
#include "platform/DebugOut.h"
#include "sim/MemoryLine.h"
#include "tests/support/TestSupport.h"

namespace ts::test {

// Pages with nothing but the automatic-writing switches and what the
// dispatch showed or enabled.
class FakePages : public PagesPort {
public:
    int tab = 1;
    bool autoWriting = false, autoRun = false;
    std::u16string scanId, currentIdText, prefix, counter, suffix;
    std::vector<std::u16string> idList;  // what TakeNextUnusedId hands out, in turn
    bool manualEnabled = false, writeEnabled = false;
    int writeNextIdAutoCalls = 0, writeNextIdCalls = 0;
    std::function<void()> onWriteNextIdAuto;

    int ActiveTab() override { return tab; }
    bool IsAutoWriting() override { return autoWriting; }
    bool WriteNextIdAuto() override {
        ++writeNextIdAutoCalls;
        if (onWriteNextIdAuto) onWriteNextIdAuto();
        return false;
    }
    void EnableManualWriteButton(bool e) override { manualEnabled = e; }
    bool TakeNextUnusedId(std::u16string& id) override {
        if (idList.empty()) return false;
        id = idList.front();
        currentIdText = id;
        return true;
    }
    void SetCurrentIdText(const std::u16string& t) override { currentIdText = t; }
    std::u16string GetScanId() override { return scanId; }
    void SetScanId(const std::u16string& t) override { scanId = t; }
    void EnableWriteButton(bool e) override { writeEnabled = e; }
    bool IsAutoRun() override { return autoRun; }
    void WriteNextId() override { ++writeNextIdCalls; }
    std::u16string GetPrefix() override { return prefix; }
    std::u16string GetCounter() override { return counter; }
    std::u16string GetSuffix() override { return suffix; }
};

class FlowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        InstallApp(app.Path(), {"modhost.so", "Volkit.so", "ulpkData.bin", "tagsmith.cfg"});
        core.SetLogView(&log);
        core.SetMessageBoxer(&boxes);
        core.SetClock(&clock);
        core.SetPages(&pages);
        core.SetDrives(&line);
        core.InitExeDir(app.Dir());
        core.LoadPlugin();
        ASSERT_NE(core.m_pVolkit, nullptr);
    }

    // Makes the device at `letter` current as discovery would, without a
    // dispatch: opened and handshaken.
    void OpenCurrent(char letter = 'E') {
        std::string root = std::string(1, letter) + ":\\";
        core.m_pCurDevice = core.m_DevCtrl.DeviceOpen(root.c_str(), kGenericRead | kGenericWrite,
                                                      kFileShareReadWrite);
        ASSERT_NE(core.m_pCurDevice, nullptr);
        std::memset(core.m_HandShakeBuf, 0, 32);
        ASSERT_EQ(core.m_DevCtrl.HandShake(core.m_pCurDevice, core.m_HandShakeBuf, 32), 0);
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
    FakePages pages;
    TagsmithCore core;
};

}  // namespace ts::test
