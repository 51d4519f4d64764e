#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace ts {
namespace {

// A path quoted for the shell.
std::string Quote(const std::string& path) {
    std::string q(1, '\'');
    q.append(path).push_back('\'');
    return q;
}

class IdsCommandTest : public ::testing::Test {
protected:
    // Runs "tagsmith-cli ids ARGS"; returns the exit status.
    int Run(const std::string& args) {
        const std::string errPath = (dir.Path() / "stderr.txt").string();
        const int rc =
            test::RunCommand("timeout -k 5 60 " + Quote(test::AppDir() + "tagsmith-cli") + " ids " +
                                 args + " 2>" + Quote(errPath),
                             &out);
        err = test::ReadFile(errPath);
        return rc;
    }
    std::string File(const std::string& name, const std::string& bytes) {
        const auto p = dir.Path() / name;
        test::WriteFile(p, bytes);
        return Quote(p.string());
    }

    std::string Fifo(const std::string& name) {
        test::MakeFifo(dir.Path() / name);
        return Quote((dir.Path() / name).string());
    }

    test::TempDir dir;
    std::string out, err;
};

TEST_F(IdsCommandTest, PrintsIdsAndReportsWhatTheWriteWouldRefuse) {
    const std::string longId(1025, 'A');
    const std::string ok1024(1024, 'B');
    const std::string file = File("list.ids",
                                  "0x1a\r\n"             // line 1: upper-cased to 0X1A, valid
                                  "\r\n"                 // line 2: blank, no entry
                                  "12 34\r\n"            // line 3: 1234
                                  "GG\r\n"               // line 4: not hexadecimal
                                  "1234\r\n"             // line 5: duplicate of line 3
                                      + longId + "\r\n"  // line 6: too long
                                      + ok1024 + "\r\n"  // line 7: exactly the limit
                                      + "0x\r\n");       // line 8: 0X alone is not hexadecimal
    ASSERT_EQ(Run(file), 0) << err;
    EXPECT_EQ(out, "0X1A\n1234\nGG\n1234\n" + longId + "\n" + ok1024 + "\n0X\n");
    EXPECT_NE(err.find("encoding: Ascii\n"), std::string::npos) << err;
    EXPECT_NE(err.find("ids: 7\n"), std::string::npos) << err;
    EXPECT_NE(err.find("duplicates: 1 (line 5)\n"), std::string::npos) << err;
    EXPECT_NE(err.find("not hexadecimal: 2 (lines 4, 8)\n"), std::string::npos) << err;
    EXPECT_NE(err.find("longer than 1024 characters: 1 (line 6)\n"), std::string::npos) << err;
}

TEST_F(IdsCommandTest, EncodingsAndSpecialFiles) {
    struct Case {
        const char* name;
        std::string bytes;
        std::string out;
        std::string errPart;
    };
    const std::vector<Case> cases = {
        {"CP936 Chinese printed as UTF-8", "\xD6\xD0\xCE\xC4\n", "中文\n", "encoding: Ansi\n"},
        {"UTF-16LE with mark",
         std::string("\xFF\xFE"
                     "a\0\n\0",
                     6),
         "A\n", "encoding: Utf16LeWithBom\n"},
        {"no ID at all", "\r\n \t\n", "\n", "ids: 0 (no ID in the file"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Run(File("f.ids", c.bytes)), 0) << c.name << err;
        EXPECT_EQ(out, c.out) << c.name;
        EXPECT_NE(err.find(c.errPart), std::string::npos) << c.name << ": " << err;
    }
}

TEST_F(IdsCommandTest, ControlCharactersInIdsAreEscaped) {
    // Tabs and carriage returns are cleaned out by the loader and line feeds
    // split lines; every other control must not reach the output raw.
    struct Case {
        const char* name;
        std::string bytes;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"escape sequence and bell", "A1\x1b[2J\x07\n", "A1\\x1B[2J\\x07\n"},
        {"DEL and a C1 control (NEL)",
         "\xEF\xBB\xBF"
         "B\x7f\xC2\x85"
         "C\n",
         "B\\x7F\\x85C\n"},
        {"bidirectional override and line separator",
         "\xEF\xBB\xBF"
         "D\xE2\x80\xAE"
         "E\xE2\x80\xA8"
         "F\n",
         "D\\u{202E}E\\u{2028}F\n"},
        {"a backslash", "G\\x41\n", "G\\\\X41\n"},
        {"a lone surrogate in UTF-16", test::Utf16Le(u"\uFEFFH\xD800I\n"), "H\\u{D800}I\n"},
        {"Chinese and a surrogate pair kept",
         "\xEF\xBB\xBF"
         "\xE4\xB8\xAD\xF0\x9F\x98\x80\n",
         "\xE4\xB8\xAD\xF0\x9F\x98\x80\n"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Run(File("f.ids", c.bytes)), 0) << c.name << err;
        EXPECT_EQ(out, c.out) << c.name;
    }
}

TEST_F(IdsCommandTest, CapsTheListedLineNumbers) {
    std::string bytes;
    for (int i = 0; i < 25; ++i) bytes += "Z\n";
    ASSERT_EQ(Run(File("z.ids", bytes)), 0);
    EXPECT_NE(err.find("not hexadecimal: 25 (lines 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, "
                       "14, 15, 16, 17, 18, 19, 20, \xE2\x80\xA6)\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("duplicates: 24 (lines 2, 3,"), std::string::npos) << err;
}

TEST_F(IdsCommandTest, RefusedLoadsAndUsage) {
    struct Case {
        const char* name;
        std::string args;
        int rc;
        std::string errPart;
    };
    const std::vector<Case> cases = {
        {"missing file", Quote((dir.Path() / "absent.ids").string()), 1, "cannot be opened"},
        {"empty file", File("empty.ids", ""), 1, "holds no text"},
        {"mark only", File("bom.ids", "\xEF\xBB\xBF"), 1, "holds no text"},
        {"no file named", "", 2, "usage"},
        {"two files named", "a b", 2, "usage"},
        {"a folder", Quote(dir.Path().string()), 1, "is a folder"},
        {"a FIFO, never waited on", Fifo("fifo.ids"), 1, "is a FIFO"},
        {"a device node", "/dev/zero", 1, "is a FIFO, socket or device node"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Run(c.args), c.rc) << c.name;
        EXPECT_EQ(out, "") << c.name;
        EXPECT_NE(err.find(c.errPart), std::string::npos) << c.name << ": " << err;
    }
}

}  // namespace
}  // namespace ts
