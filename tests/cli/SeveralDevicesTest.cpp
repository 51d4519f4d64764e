// tagsmith-cli on a line with several devices attached at once, and with a
// device that another process holds: auto and watch handle each attachment
// once, in the order the devices came, and a held device is never written by
// a second process.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "device/DeviceControl.h"
#include "sim/SimLine.h"
#include "tests/cli/CliLine.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

using test::ReadFile;
using test::WriteFile;

class SeveralDevicesTest : public test::CliLine {};

TEST_F(SeveralDevicesTest, AutoWritesEachAttachedDeviceOnceInPlugOrder) {
    struct Case {
        const char* name;
        std::string plugs;
        bool together;                 // plugged at once, else each once the last is written
        std::vector<std::string> ids;  // of the devices at E, F, G
    };
    const Case cases[] = {
        {"E, F, G together", "EFG", true, {"A1", "A2", "A3"}},
        {"G, E, F one after another", "GEF", false, {"A2", "A3", "A1"}},
    };
    WriteFile(work.Path() / "list.ids", "A1\nA2\nA3\nA4\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ForgetLedger();
        Start({"auto", "--ids", (work.Path() / "list.ids").string(), "--count", "3"});
        ASSERT_TRUE(WaitForOutput("软件就绪")) << Out();
        int plugged = 0;
        for (char letter : c.plugs) {
            EXPECT_EQ(Run(std::string("sim new ") + letter), 0);
            if (!c.together) {
                EXPECT_TRUE(WaitForOutput("烧写成功 ID:", ++plugged)) << Out();
            }
        }
        EXPECT_EQ(Wait(), 0) << Out();
        EXPECT_NE(Out().find("written 3, failed 0\n"), std::string::npos) << Out();
        EXPECT_EQ((std::vector<std::string>{Unplug('E'), Unplug('F'), Unplug('G')}), c.ids);
    }
}

TEST_F(SeveralDevicesTest, WatchReadsEachAttachedDeviceOnce) {
    // Small devices: each read pauses after every block.
    const std::vector<std::string> held = {"B1", "B2", "B3"};
    MakeHolding(held);
    Start({"watch", "--count", "3"});
    ASSERT_TRUE(WaitForOutput("ready\n")) << Out();
    PlugTogether(held);
    EXPECT_EQ(Wait(), 0) << Out();
    const std::string out = Out();
    EXPECT_EQ(IdsRead(out), held) << out;
    EXPECT_NE(out.find("read 3, failed 0\n"), std::string::npos) << out;
}

// While one process holds a device, another neither writes nor reads it and
// says why; once it is free, the other process gets it.
TEST_F(SeveralDevicesTest, DeviceHeldByAnotherProcessIsNotWritten) {
    ASSERT_EQ(Run("sim new E --sectors 256"), 0);
    auto drives = MakeSimLine(line.Path().string());
    DeviceControl ctl(drives.get());
    DeviceHandle* held = ctl.DeviceOpen("E:\\", kGenericRead | kGenericWrite, kFileShareReadWrite);
    ASSERT_NE(held, nullptr);
    for (const char* args : {"write 1A2B --yes", "read"}) {
        SCOPED_TRACE(args);
        std::string out;
        EXPECT_EQ(Run(args, &out), 3) << out;
        EXPECT_EQ(out.find("\n"), out.size() - 1) << "one line: " << out;
        EXPECT_NE(out.find("正被其他程序使用，无法打开"), std::string::npos) << out;
    }
    const std::string image = ReadFile(line.Path() / "E.img");
    EXPECT_EQ(image.find_first_not_of('\0'), std::string::npos) << "nothing was written";

    ctl.DeviceClose(held);
    EXPECT_EQ(Run("write 1A2B --yes"), 0);
    std::string out;
    EXPECT_EQ(Run("read", &out), 0);
    EXPECT_EQ(out.substr(out.rfind('\n', out.size() - 2) + 1), "1A2B\n");
}

}  // namespace
}  // namespace ts
