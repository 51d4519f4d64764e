#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "idsource/IdList.h"
#include "platform/Codepage.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

using test::Utf16Be;
using test::Utf16Le;

std::vector<std::u16string> Texts(const IdList& list) {
    std::vector<std::u16string> out;
    for (size_t i = 0; i < list.size(); ++i) out.emplace_back(list.Text(i));
    return out;
}

IdFileError Parse(const std::string& bytes, IdList* list, TextEncodingKind* kind = nullptr,
                  std::vector<uint32_t>* lines = nullptr) {
    return ParseIdFileBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), list,
                            kind, lines);
}

// One set of IDs, saved in every encoding the loader knows, loads alike.
TEST(IdFileTest, SameIdsLoadAlikeInEveryEncoding) {
    const std::u16string text = u"a1b2\r\n\r\n  00FF\t\r\n中文ID\r\n#tag\r\nA1B2\r\n";
    const std::vector<std::u16string> expected = {u"A1B2", u"00FF", u"中文ID", u"#TAG", u"A1B2"};
    const std::string lf = "\n";
    struct Case {
        const char* name;
        std::string bytes;
        TextEncodingKind kind;
    };
    const std::vector<Case> cases = {
        {"UTF-16LE with mark", "\xFF\xFE" + Utf16Le(text), TextEncodingKind::Utf16LeWithBom},
        {"UTF-16BE with mark", "\xFE\xFF" + Utf16Be(text), TextEncodingKind::Utf16BeWithBom},
        {"UTF-16LE without mark", Utf16Le(text), TextEncodingKind::Utf16Le},
        {"UTF-8 with mark", "\xEF\xBB\xBF" + U8(text), TextEncodingKind::Utf8WithBom},
        {"UTF-8 without mark", U8(text), TextEncodingKind::Utf8},
        {"CP936", WideToAnsi(text), TextEncodingKind::Ansi},
    };
    for (const auto& c : cases) {
        IdList list;
        TextEncodingKind kind{};
        ASSERT_EQ(Parse(c.bytes, &list, &kind), IdFileError::None) << c.name;
        EXPECT_EQ(kind, c.kind) << c.name;
        EXPECT_EQ(Texts(list), expected) << c.name;
        for (size_t i = 0; i < list.size(); ++i) EXPECT_FALSE(list.IsUsed(i)) << c.name;
    }

    // The ASCII-only part of the set, as plain ASCII and as every other form.
    const std::u16string ascii = u"a1b2\r\n00FF\n#tag";
    const std::vector<std::u16string> asciiExpected = {u"A1B2", u"00FF", u"#TAG"};
    for (const std::string& bytes :
         {U8(ascii), "\xFF\xFE" + Utf16Le(ascii), Utf16Le(ascii), "\xEF\xBB\xBF" + U8(ascii)}) {
        IdList list;
        ASSERT_EQ(Parse(bytes, &list), IdFileError::None);
        EXPECT_EQ(Texts(list), asciiExpected);
    }
}

// Lists saved as UTF-16LE without a mark that the platform's test accepts
// load as UTF-16 with every ID, not as one 8-bit ID cut at the first 0 byte.
TEST(IdFileTest, UnmarkedUtf16ListsLoadWithEveryId) {
    std::u16string longList;
    std::vector<std::u16string> longIds;
    for (int i = 100; i < 150; ++i) {  // 50 lines of seven units: 350 units
        longIds.push_back(u"ID" + W(std::to_string(i)));
        longList += longIds.back() + u"\r\n";
    }
    // Past the units the test looks at: a swapped line feed, and a U+0000
    // that ends the text.
    longList += u"X\x0A00Y\r\n";
    longList += std::u16string(1, u'\0') + u"Z\r\n";
    longIds.push_back(u"X\x0A00Y");
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::u16string> ids;
    };
    const std::vector<Case> cases = {
        {"ending in one U+0000", Utf16Le(std::u16string(u"a1\r\nb2\r\n\0", 9)), {u"A1", u"B2"}},
        {"one line of digits, letters and Chinese", Utf16Le(u"1A批次"), {u"1A批次"}},
        {"full-width digits on one line", Utf16Le(u"a１２３４５６"), {u"A１２３４５６"}},
        {"an odd unit after the first 256 units", Utf16Le(longList), longIds},
    };
    for (const auto& c : cases) {
        IdList list;
        TextEncodingKind kind{};
        ASSERT_EQ(Parse(c.bytes, &list, &kind), IdFileError::None) << c.name;
        EXPECT_EQ(kind, TextEncodingKind::Utf16Le) << c.name;
        EXPECT_EQ(Texts(list), c.ids) << c.name;
    }
}

TEST(IdFileTest, CharactersBeyondTheBasicPlaneKeepTheirUnits) {
    const std::u16string text = u"A\U0001F600B\n";  // a surrogate pair inside an ID
    for (const std::string& bytes : {"\xFF\xFE" + Utf16Le(text), "\xFE\xFF" + Utf16Be(text)}) {
        IdList list;
        ASSERT_EQ(Parse(bytes, &list), IdFileError::None);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list.Text(0), u"A\U0001F600B");
    }
}

struct CleanCase {
    const char* name;
    std::string bytes;
    std::vector<std::u16string> ids;
    std::vector<uint32_t> lines;
};

TEST(IdFileTest, CleansAndSplitsLines) {
    const std::vector<CleanCase> cases = {
        {"CR LF endings, lower case", "A1\r\na2\r\n", {u"A1", u"A2"}, {1, 2}},
        {"single LF, no final break", "A1\nA2", {u"A1", u"A2"}, {1, 2}},
        {"blank, leading and trailing breaks", "\n\nA1\n\n\nA2\n\n", {u"A1", u"A2"}, {3, 6}},
        {"blanks inside an ID vanish", "AB CD\t12\n", {u"ABCD12"}, {1}},
        {"only breaks and blanks", "\r\n \t\n\n", {u""}, {0}},
        {"CR alone does not split", "A1\rA2\rA3\r", {u"A1A2A3"}, {1}},
        {"NUL ends the text", std::string("A1\nA2\0\nA3\n", 10), {u"A1", u"A2"}, {1, 2}},
        {"NUL first gives the empty entry", std::string("\0A1\n", 4), {u""}, {0}},
        {"number sign is an ID", "#1\n", {u"#1"}, {1}},
        {"two equal lines stay two", "AA\nAA\n", {u"AA", u"AA"}, {1, 2}},
        {"only a-z upper-cased", "z\xC3\xA9x\n", {u"Z\u00E9X"}, {1}},
        {"other controls are kept", "A\vB\x01\n", {u"A\vB\x01"}, {1}},
    };
    for (const auto& c : cases) {
        IdList list;
        std::vector<uint32_t> lines;
        ASSERT_EQ(Parse(c.bytes, &list, nullptr, &lines), IdFileError::None) << c.name;
        EXPECT_EQ(Texts(list), c.ids) << c.name;
        EXPECT_EQ(lines, c.lines) << c.name;
    }
}

// A list with used marks and a moved cursor, to see that refusals keep it.
class LoadRefusalTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::WriteFile(dir.Path() / "good.ids", "A1\nA2\nA3\n");
        ASSERT_TRUE(LoadIdFile((dir.Path() / "good.ids").string(), list, cursor));
        list.MarkUsed(0);
        list.MarkUsed(2);
        list.AdvanceToUnused(cursor);
        ASSERT_EQ(cursor, 1u);
    }
    void ExpectUntouched(const char* why) {
        EXPECT_EQ(Texts(list), (std::vector<std::u16string>{u"A1", u"A2", u"A3"})) << why;
        EXPECT_TRUE(list.IsUsed(0)) << why;
        EXPECT_FALSE(list.IsUsed(1)) << why;
        EXPECT_TRUE(list.IsUsed(2)) << why;
        EXPECT_EQ(cursor, 1u) << why;
    }
    test::TempDir dir;
    IdList list;
    uint32_t cursor = 7;
};

TEST_F(LoadRefusalTest, RefusedLoadsChangeNothing) {
    struct Case {
        const char* name;
        const char* file;  // nullptr: not created
        std::string bytes;
        IdFileError error;
    };
    const std::vector<Case> cases = {
        {"missing file", nullptr, "", IdFileError::CannotOpen},
        {"empty file", "empty.ids", "", IdFileError::NoText},
        {"UTF-16LE mark only", "le.ids", "\xFF\xFE", IdFileError::NoText},
        {"UTF-16BE mark only", "be.ids", "\xFE\xFF", IdFileError::NoText},
        {"UTF-8 mark only", "u8.ids", "\xEF\xBB\xBF", IdFileError::NoText},
        {"mark and one odd byte", "odd.ids",
         "\xFF\xFE"
         "A",
         IdFileError::NoText},
    };
    for (const auto& c : cases) {
        const auto path = dir.Path() / (c.file ? c.file : "absent.ids");
        if (c.file) test::WriteFile(path, c.bytes);
        IdList probe;
        EXPECT_EQ(ReadIdFile(path.string(), &probe), c.error) << c.name;
        EXPECT_FALSE(LoadIdFile(path.string(), list, cursor)) << c.name;
        ExpectUntouched(c.name);
    }
    // What is not a file is named as such, and a FIFO is never waited on.
    test::MakeFifo(dir.Path() / "fifo.ids");
    const struct {
        std::string path;
        IdFileError error;
    } special[] = {
        {dir.Path().string(), IdFileError::IsFolder},
        {(dir.Path() / "fifo.ids").string(), IdFileError::NotAFile},
        {"/dev/zero", IdFileError::NotAFile},
    };
    for (const auto& c : special) {
        IdList probe;
        IdFileError error = IdFileError::None;
        bool loaded = true;
        ASSERT_TRUE(test::ReturnsWithoutBlocking(dir.Path() / "fifo.ids", [&] {
            error = ReadIdFile(c.path, &probe);
            loaded = LoadIdFile(c.path, list, cursor);
        })) << c.path;
        EXPECT_EQ(error, c.error) << c.path;
        EXPECT_FALSE(loaded) << c.path;
        ExpectUntouched(c.path.c_str());
    }
    EXPECT_STREQ(IdFileErrorText(IdFileError::IsFolder), "the path is a folder, not a file");
}

TEST_F(LoadRefusalTest, SuccessfulLoadReplacesListMarksAndCursor) {
    test::WriteFile(dir.Path() / "next.ids",
                    "\xEF\xBB\xBF"
                    "b1\n");
    ASSERT_TRUE(LoadIdFile((dir.Path() / "next.ids").string(), list, cursor));
    EXPECT_EQ(Texts(list), std::vector<std::u16string>{u"B1"});
    EXPECT_FALSE(list.IsUsed(0));
    EXPECT_EQ(cursor, 0u);
}

TEST(IdFileTest, ReadsALargeFileWhole) {
    // More than one read() and one arena word of used marks.
    std::string bytes;
    for (int i = 0; i < 70000; ++i) bytes += "id" + std::to_string(i) + "\r\n";
    test::TempDir dir;
    test::WriteFile(dir.Path() / "big.ids", bytes);
    IdList list;
    TextEncodingKind kind{};
    ASSERT_EQ(ReadIdFile((dir.Path() / "big.ids").string(), &list, &kind), IdFileError::None);
    EXPECT_EQ(kind, TextEncodingKind::Ascii);
    ASSERT_EQ(list.size(), 70000u);
    EXPECT_EQ(list.Text(69999), u"ID69999");
    EXPECT_LE(list.MemoryBytes(), 70000u * 40);
}

// The process's address space in bytes, from /proc.
size_t AddressSpaceInUse() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    size_t kb = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmSize: %zu kB", &kb) == 1) break;
    std::fclose(f);
    return kb * 1024;
}

// A code-page list padded with a long run of zeros loads within three times
// the file's size of address space: the text is cut at its first 0 byte
// before it is converted, and converted in pieces.
TEST(IdFileTest, CodePageListsLoadInBoundedMemory) {
#ifdef TS_ADDRESS_SANITIZER
    GTEST_SKIP() << "the sanitizer's own reservations defeat an address space limit";
#endif
    std::string ansiList;
    for (int i = 0; i < 40000; ++i) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", i * 2654435761u);
        ansiList += "\xC5\xFA\xB4\xCE";  // 批次
        ansiList += hex;
        ansiList += "\r\n";
    }
    test::TempDir dir;
    struct Case {
        const char* name;
        uintmax_t size;  // the file is padded with zeros up to this size
    };
    // Small files are left out: their bound would be below the converter's
    // own overhead.
    const std::vector<Case> cases = {
        {"a list padded with zeros to 64 MiB", uintmax_t{64} << 20},
        {"a list padded with zeros to 96 MiB", uintmax_t{96} << 20},
    };
    AnsiToWide("\xC5\xFA");  // the converter's module is loaded before the limit
    for (const auto& c : cases) {
        const auto path = dir.Path() / "list.ids";
        test::WriteFile(path, ansiList);
        std::filesystem::resize_file(path, c.size);  // sparse where the file system allows
        std::fflush(nullptr);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const rlim_t limit = AddressSpaceInUse() + 3 * c.size;
            const struct rlimit lim = {limit, limit};
            if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(90);
            IdList list;
            TextEncodingKind kind{};
            const IdFileError e = ReadIdFile(path.string(), &list, &kind);
            if (e != IdFileError::None) _exit(static_cast<int>(e));
            const bool right = kind == TextEncodingKind::Ansi && list.size() == 40000 &&
                               list.Text(1) == u"批次9E3779B1";
            _exit(right ? 0 : 91);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << c.name;
        EXPECT_EQ(WEXITSTATUS(status), 0)
            << c.name << " (" << static_cast<int>(IdFileError::NoMemory) << ": out of memory)";
    }
}

TEST(IdFileTest, NullInputsAreRefused) {
    IdList list;
    EXPECT_EQ(ParseIdFileBytes(nullptr, 10, &list), IdFileError::NoText);
    const uint8_t b = 'A';
    EXPECT_EQ(ParseIdFileBytes(&b, 1, nullptr), IdFileError::CannotOpen);
    EXPECT_EQ(ReadIdFile("/nonexistent/x.ids", nullptr), IdFileError::CannotOpen);
    EXPECT_TRUE(list.empty());
}

}  // namespace
}  // namespace ts
