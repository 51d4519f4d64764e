// Fault files are read when a port is opened: whatever stands at E.fault,
// the simulated line neither waits on it nor takes faults from a non-file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/DebugOut.h"
#include "sim/SimFaults.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

namespace fs = std::filesystem;

TEST(SimFaultFileTest, OnlyARegularFileGivesFaults) {
    test::TempDir dir;
    const fs::path fifo = dir.Path() / "fifo.fault";
    test::MakeFifo(fifo);
    fs::create_directory(dir.Path() / "folder.fault");
    test::WriteFile(dir.Path() / "file.fault", "size=7\n");
    struct Case {
        fs::path path;
        uint32_t sectors;  // 0: no faults taken
        std::string debug;
    } cases[] = {
        {dir.Path() / "file.fault", 7, ""},
        {dir.Path() / "missing.fault", 0, ""},
        {fifo, 0, "not a regular file"},
        {dir.Path() / "folder.fault", 0, "not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        DebugCapture debug;
        SimFaults f;
        ASSERT_TRUE(test::ReturnsWithoutBlocking(fifo, [&] { f = LoadSimFaults(c.path); }));
        EXPECT_EQ(f.reportedSectors.value_or(0), c.sectors);
        if (c.debug.empty()) {
            EXPECT_EQ(debug.Text(), "");
        } else {
            EXPECT_NE(debug.Text().find(c.debug), std::string::npos) << debug.Text();
        }
    }
}

}  // namespace
}  // namespace ts
