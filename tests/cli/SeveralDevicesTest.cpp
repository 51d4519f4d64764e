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

namespace fs = std::filesystem;
using test::ReadFile;
using test::RunCommand;
using test::WriteFile;

// The background run and the line come from CliLine; these add plain runs
// and taking the device out of any port.
class SeveralDevicesTest : public test::CliLine {
protected:
    int Run(const std::string& args, std::string* out = nullptr) {
        return RunCommand(
            Cli() + " --simulate " + line.Path().string() + " " + args + " 2>/dev/null", out);
    }
    // The ID file inside the device at `letter`, taken out of the line.
    std::string IdOf(char letter) {
        const fs::path kept = work.Path() / (std::to_string(++kept_) + ".img");
        EXPECT_EQ(Run(std::string("sim unplug ") + letter + " --keep " + kept.string()), 0);
        std::string out;
        RunCommand("MTOOLS_SKIP_CHECK=1 mtype -i " + kept.string() + " ::/sn/id.txt 2>/dev/null",
                   &out);
        return out.substr(0, out.find('\0'));
    }

    int kept_ = 0;
};

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
        EXPECT_EQ((std::vector<std::string>{IdOf('E'), IdOf('F'), IdOf('G')}), c.ids);
    }
}

TEST_F(SeveralDevicesTest, WatchReadsEachAttachedDeviceOnce) {
    // Three devices holding B1, B2, B3, kept out of the line.
    for (const char* id : {"B1", "B2", "B3"}) {
        // Small devices: each read pauses after every block.
        ASSERT_EQ(Run("sim new E --sectors 256"), 0);
        ASSERT_EQ(Run(std::string("write ") + id + " --yes"), 0);
        ASSERT_EQ(Run("sim unplug E --keep " + (work.Path() / id).string()), 0);
    }
    Start({"watch", "--count", "3"});
    ASSERT_TRUE(WaitForOutput("ready\n")) << Out();
    fs::rename(work.Path() / "B1", line.Path() / "E.img");
    fs::rename(work.Path() / "B2", line.Path() / "F.img");
    fs::rename(work.Path() / "B3", line.Path() / "G.img");
    EXPECT_EQ(Wait(), 0) << Out();
    const std::string out = Out();
    std::vector<std::string> ids;
    for (size_t p = out.find("\nID "); p != std::string::npos; p = out.find("\nID ", p + 1))
        ids.push_back(out.substr(p + 4, out.find('\n', p + 1) - p - 4));
    EXPECT_EQ(ids, (std::vector<std::string>{"B1", "B2", "B3"})) << out;
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
