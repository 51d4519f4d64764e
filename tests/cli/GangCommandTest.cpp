// tagsmith-cli auto --gang and watch --gang on a simulated line: devices
// plugged together are handled at once, and a fault on one port fails that
// port alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "tests/cli/CliLine.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

using test::ReadFile;
using test::WriteFile;

class GangCommandTest : public test::CliLine {};

TEST_F(GangCommandTest, AutoWritesDevicesPluggedTogetherAndAFaultFailsOnlyItsPort) {
    WriteFile(work.Path() / "list.ids", "A1\nA2\nA3\nA4\nA5\n");
    const std::string list = (work.Path() / "list.ids").string();
    const std::string state = (work.Path() / "run.state").string();
    EXPECT_EQ(Run("auto --ids '" + list + "' --gang --gang"), 2);
    // F refuses the first block it is sent.
    for (char c : std::string("EFGH"))
        WriteFile(line.Path() / (std::string(1, c) + ".fault"), "latency=write:2,read:2\n");
    WriteFile(line.Path() / "F.fault", "latency=write:2,read:2\ncheck_at=write:1\n");

    Start({"auto", "--ids", list, "--gang", "--count", "3", "--state", state});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Out();
    for (char c : std::string("EFGH")) EXPECT_EQ(Sim(std::string("new ") + c), 0);
    EXPECT_EQ(Wait(), 1) << Out() << Err();
    const std::string out = Out();
    EXPECT_NE(out.find("written 3, failed 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[F:] 烧写失败, 请重新插设备烧写"), std::string::npos) << out;
    EXPECT_EQ(out.find("[E:] 烧写失败"), std::string::npos) << out;
    // Three distinct IDs from the list's first four; F holds none.
    std::set<std::string> ids;
    for (char c : std::string("EGH")) ids.insert(Unplug(c));
    EXPECT_EQ(ids.size(), 3u);
    for (const std::string& id : ids) EXPECT_TRUE(id >= "A1" && id <= "A4") << id;
    EXPECT_EQ(Unplug('F'), "");
    // The state keeps the mode, for a resumed run.
    EXPECT_NE(ReadFile(state).find("gang=1\r\n"), std::string::npos) << ReadFile(state);
}

TEST_F(GangCommandTest, WatchReadsDevicesPluggedTogether) {
    const std::vector<std::string> held = {"B1", "B2", "B3"};
    MakeHolding(held);
    Start({"watch", "--gang", "--count", "3"});
    ASSERT_TRUE(WaitForOutput("ready\n")) << Out();
    PlugTogether(held);
    EXPECT_EQ(Wait(), 0) << Out();
    const std::string out = Out();
    const std::vector<std::string> read = IdsRead(out);
    EXPECT_EQ(std::set<std::string>(read.begin(), read.end()),
              std::set<std::string>(held.begin(), held.end()))
        << out;
    EXPECT_NE(out.find("read 3, failed 0\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace ts
