// tagsmith-cli devices and sim, run as a process on a simulated line.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/TestSupport.h"

namespace ts {
namespace {

namespace fs = std::filesystem;
using test::AppDir;
using test::ReadFile;
using test::RunCommand;
using test::TempDir;
using test::WriteFile;

class SimCliTest : public ::testing::Test {
protected:
    // Runs the tool on the line folder; stdout in `out`, stderr discarded.
    int Cli(const std::string& args, std::string* out = nullptr) {
        return RunCommand("'" + AppDir() + "tagsmith-cli' --simulate '" + dir.Path().string() +
                              "' " + args + " 2>/dev/null",
                          out);
    }
    TempDir dir;
};

TEST_F(SimCliTest, DeviceAndOrdinaryDiskSideBySide) {
    std::string out;
    EXPECT_EQ(Cli("sim new E", &out), 0);
    EXPECT_EQ(out, "plugged E: device sectors=2048\n");
    EXPECT_EQ(fs::file_size(dir.Path() / "E.img"), 1048576u);
    EXPECT_EQ(Cli("sim disk f --sectors 64", &out), 0);
    EXPECT_EQ(Cli("sim new G: --sectors 4096"), 0);
    WriteFile(dir.Path() / "G.fault", "open=fail\n");
    EXPECT_EQ(Cli("sim new H --sectors 8"), 0);
    WriteFile(dir.Path() / "H.fault", "handshake=garbled\n");
    EXPECT_EQ(Cli("sim new J --sectors 8"), 0);
    WriteFile(dir.Path() / "J.fault", "fail_at=handshake:*\n");
    EXPECT_EQ(Cli("devices", &out), 0);
    EXPECT_EQ(out,
              "E:\\ type=removable open=ok handshake=ok sectors=2048\n"
              "F:\\ type=removable open=ok handshake=no\n"
              "G:\\ type=removable open=failed errno=13 error=\"Permission denied\"\n"
              "H:\\ type=removable open=ok handshake=no\n"
              "J:\\ type=removable open=ok handshake=failed code=337 errno=5\n");
}

TEST_F(SimCliTest, ExitStatuses) {
    std::string outside = dir.Path().string() + "-kept.img";
    struct Case {
        const char* name;
        std::string args;
        int status;
    };
    const Case cases[] = {
        {"plug", "sim new E --sectors 16", 0},
        {"plug again", "sim new E", 1},
        {"disk beside it", "sim disk E", 0},
        {"bad letter", "sim new 1", 2},
        {"two letters", "sim new EF", 2},
        {"zero sectors", "sim new F --sectors 0", 2},
        {"sectors not a number", "sim new F --sectors 12k", 2},
        {"sectors too many", "sim new F --sectors 4294967296", 2},
        {"sectors missing", "sim new F --sectors", 2},
        {"unknown action", "sim eject E", 2},
        {"no letter", "sim new", 2},
        {"unplug nothing", "sim unplug K", 1},
        {"unplug kept", "sim unplug E --keep '" + outside + "'", 0},
        {"keep never overwrites", "sim unplug E --keep '" + outside + "'", 1},
        {"unplug the disk", "sim unplug E", 0},
        {"devices takes no arguments", "devices E", 2},
    };
    for (const auto& c : cases) EXPECT_EQ(Cli(c.args), c.status) << c.name;
    EXPECT_EQ(ReadFile(outside), std::string(16 * 512, '\0')) << "the kept image";
    EXPECT_TRUE(fs::is_empty(dir.Path()));
    fs::remove(outside);

    std::string tool = "'" + AppDir() + "tagsmith-cli' ";
    EXPECT_EQ(RunCommand(tool + "sim new E 2>/dev/null"), 2) << "sim needs --simulate";
    EXPECT_EQ(
        RunCommand(tool + "--simulate '" + dir.Path().string() + "/missing' devices 2>/dev/null"),
        1);
    std::string out;
    EXPECT_EQ(Cli("devices", &out), 0);
    EXPECT_EQ(out, "") << "an empty line lists nothing";
}

}  // namespace
}  // namespace ts
