// An ID read from a device is whatever its image holds: line breaks and
// terminal sequences in it must neither forge read's and watch's output lines
// nor reach the terminal raw.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/cli/CliLine.h"

namespace ts {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::WriteFile;

class UntrustedIdTest : public test::CliLine {
protected:
    // A device image whose ID file holds `bytes`: written by the tool, then
    // changed with mtools as anyone with the device could change it.
    fs::path DeviceHolding(const std::string& bytes) {
        if (!fs::exists(work.Path() / "base.img")) {
            EXPECT_EQ(Sim("new E"), 0);
            EXPECT_EQ(Run("write 1A2B --yes"), 0);
            EXPECT_EQ(Sim("unplug E --keep '" + (work.Path() / "base.img").string() + "'"), 0);
        }
        const fs::path img = work.Path() / "forged.img";
        fs::copy_file(work.Path() / "base.img", img, fs::copy_options::overwrite_existing);
        WriteFile(work.Path() / "id.txt", bytes);
        EXPECT_EQ(RunCommand("MTOOLS_SKIP_CHECK=1 mcopy -o -i '" + img.string() + "' '" +
                             (work.Path() / "id.txt").string() + "' ::/sn/id.txt"),
                  0);
        return img;
    }

    static std::string LastLine(const std::string& out) {
        if (out.empty() || out.back() != '\n') return "(no line end)";
        const size_t start = out.rfind('\n', out.size() - 2);
        return out.substr(start == std::string::npos ? 0 : start + 1,
                          out.size() - 1 - (start == std::string::npos ? 0 : start + 1));
    }
    // No control character but the line feeds that end lines.
    static bool Clean(const std::string& out) {
        for (unsigned char c : out)
            if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
        return true;
    }
};

// Every read takes about 3 s on the simulated line (the flow pauses between
// blocks), so the cases are few; the escapes themselves are covered through
// `ids`.
TEST_F(UntrustedIdTest, ReadAndWatchPrintTheIdEscapedOnOneLine) {
    struct Case {
        const char* what;
        std::string bytes;    // the device's ID file (code page CP936)
        std::string printed;  // the ID as read and watch print it
        bool watch;           // also read through watch
    } cases[] = {
        {"line feeds forging read's last line and watch's lines", "A1\nID FFFF\nread 9, failed 0",
         "A1\\nID FFFF\\nread 9, failed 0", true},
        {"escape sequences, bell, tab, DEL, a backslash that looks like an escape",
         "A1\r\x1b[2K\x1b]0;t\x07\t\x7f\\x0A", "A1\\r\\x1B[2K\\x1B]0;t\\x07\\t\\x7F\\\\x0A", false},
        {"plain Chinese text unchanged",
         "\xD6\xD0\xCE\xC4"
         "1",
         "中文1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path img = DeviceHolding(c.bytes);

        fs::copy_file(img, line.Path() / "E.img");
        std::string out;
        EXPECT_EQ(Run("read", &out), 0) << out;
        EXPECT_EQ(LastLine(out), c.printed) << out;
        EXPECT_NE(out.find("设备ID为 :" + c.printed + "\n"), std::string::npos) << out;
        EXPECT_TRUE(Clean(out)) << out;
        fs::remove(line.Path() / "E.img");
        if (!c.watch) continue;

        Start({"watch", "--count", "1"});
        ASSERT_TRUE(WaitForOutput("ready\n")) << Err();
        fs::rename(img, line.Path() / "E.img");
        EXPECT_EQ(Wait(), 0) << Out() << Err();
        EXPECT_NE(Out().find("\nID " + c.printed + "\n"), std::string::npos) << Out();
        EXPECT_EQ(LastLine(Out()), "read 1, failed 0") << Out();
        EXPECT_TRUE(Clean(Out())) << Out();
        fs::remove(line.Path() / "E.img");
    }
}

}  // namespace
}  // namespace ts
