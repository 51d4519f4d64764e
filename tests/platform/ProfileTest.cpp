#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Codepage.h"
#include "platform/Profile.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::vector<std::string> Names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    return names;
}

std::string Utf16(std::u16string_view text, bool littleEndian) {
    std::string out;
    for (char16_t c : text) {
        char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
        out += littleEndian ? std::string{lo, hi} : std::string{hi, lo};
    }
    return out;
}

class ProfileTest : public ::testing::Test {
protected:
    std::string path() const { return ConfigPathIn(dir_.Dir()); }
    Profile profile() const { return Profile(path()); }
    void Write(const std::string& bytes) const { WriteFile(path(), bytes); }
    std::string Read() const { return ReadFile(path()); }

    TempDir dir_;
};

TEST_F(ProfileTest, MissingFileSectionOrKeyGivesDefaults) {
    EXPECT_EQ(profile().GetInt(cfg::kSection, cfg::kOption, 1), 1);
    EXPECT_EQ(profile().GetString(cfg::kSection, cfg::kIdFile), u"");
    EXPECT_EQ(profile().GetString(cfg::kSection, cfg::kIdFile, u"dflt"), u"dflt");
    Write("[Other]\r\nidfile=x\r\nmode=0\r\n[Option]\r\ntabmode=2\r\n");
    EXPECT_EQ(profile().GetString(cfg::kSection, cfg::kIdFile), u"");
    EXPECT_EQ(profile().GetInt(cfg::kSection, cfg::kMode, 1), 1);
    EXPECT_EQ(profile().GetInt(cfg::kSection, cfg::kTabMode, 0), 2);
    EXPECT_EQ(profile().GetInt(u"Missing", cfg::kTabMode, 7), 7);
    EXPECT_EQ(ConfigPathIn("/opt/ts/"), "/opt/ts/tagsmith.cfg");
}

TEST_F(ProfileTest, FindsKeysAndSectionsWhateverTheirCaseAndBlanks) {
    struct {
        const char* file;
        const char16_t* section;
        const char16_t* key;
        const char16_t* expected;  // nullptr: not found
    } cases[] = {
        {"[Option]\r\nIDFILE=a.ids\r\n", cfg::kSection, cfg::kIdFile, u"a.ids"},
        {"[OPTION]\r\nidfile=a.ids\r\n", cfg::kSection, cfg::kIdFile, u"a.ids"},
        {"[option]\nSnPaTh=\\SN\\ID.txt\n", cfg::kSection, cfg::kSnPath, u"\\SN\\ID.txt"},
        {"  [ Option ]  \r\n \t idfile \t=\t  a b  \t\r\n", cfg::kSection, cfg::kIdFile, u"a b"},
        {"[Option]\r\nidfile=\"quoted\"\r\n", cfg::kSection, cfg::kIdFile, u"\"quoted\""},
        {"[Option]\r\nidfile=a=b\r\n", cfg::kSection, cfg::kIdFile, u"a=b"},
        {"[Option]\r\nidfile=\r\n", cfg::kSection, cfg::kIdFile, u""},
        {"[Option]\r\nidfile=first\r\nIDFILE=second\r\n", cfg::kSection, cfg::kIdFile, u"first"},
        {"[Option]\r\n[Option]\r\nidfile=later\r\n", cfg::kSection, cfg::kIdFile, u"later"},
        {"idfile=outside\r\n[Option]\r\n", cfg::kSection, cfg::kIdFile, nullptr},
        {"[Option]\r\n;idfile=comment\r\n", cfg::kSection, cfg::kIdFile, nullptr},
        {"[Option]\r\nidfile\r\n", cfg::kSection, cfg::kIdFile, nullptr},
        {"[Option]\r\nidfile2=x\r\n", cfg::kSection, cfg::kIdFile, nullptr},
        {"[Optio]\r\nidfile=x\r\n", cfg::kSection, cfg::kIdFile, nullptr},
        // Only ASCII letters fold: the fullwidth letter stays different.
        {"[Option]\r\n\xA3\xC9"
         "dfile=x\r\n",
         cfg::kSection, u"\uFF29dfile", u"x"},
        {"[Option]\r\n\xA3\xC9"
         "dfile=x\r\n",
         cfg::kSection, u"\uFF49dfile", nullptr},
    };
    for (const auto& c : cases) {
        Write(c.file);
        std::u16string got = profile().GetString(c.section, c.key, u"<none>");
        EXPECT_EQ(got, c.expected ? c.expected : u"<none>") << c.file;
    }
}

TEST_F(ProfileTest, ReadsIntegersTheWayThePlatformDoes) {
    struct {
        const char* value;  // nullptr: key absent
        int expected;
    } cases[] = {
        {nullptr, -3},
        {"", -3},
        {"0", 0},
        {"1", 1},
        {"12abc", 12},
        {"-5", -5},
        {"+7", 7},
        {"abc", 0},
        {"  42  ", 42},
        {"1 2", 1},
        {"0x10", 0},
        {"- 5", 0},
        {"-", 0},
        {"007", 7},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"99999999999999999999", INT_MAX},
        {"-99999999999999999999", INT_MIN},
        {"\xD2\xBB", 0},
    };
    for (const auto& c : cases) {
        Write(c.value ? std::string("[Option]\r\nmode=") + c.value + "\r\n" : "[Option]\r\n");
        EXPECT_EQ(profile().GetInt(cfg::kSection, cfg::kMode, -3), c.expected)
            << (c.value ? c.value : "(absent)");
    }
}

TEST_F(ProfileTest, TextValuesAreCutTo259Characters) {
    const std::u16string base(258, u'a');
    struct {
        std::u16string stored;
        std::u16string expected;
    } cases[] = {
        {base + u"b", base + u"b"},
        {base + u"bc", base + u"b"},
        {std::u16string(5000, u'z'), std::u16string(259, u'z')},
        // A character outside the basic plane is not split at the cut.
        {base + u"\U0001F600", base},
        {u"abc\0def", u"abc"},
    };
    for (const auto& c : cases) {
        std::u16string stored = c.stored;
        Write("\xFF\xFE" + Utf16(u"[Option]\r\nidfile=" + stored + u"\r\n", true));
        EXPECT_EQ(profile().GetString(cfg::kSection, cfg::kIdFile), c.expected);
    }
    EXPECT_EQ(profile().GetString(u"none", u"none", std::u16string(300, u'd')),
              std::u16string(259, u'd'));
}

TEST_F(ProfileTest, WritesOneKeyAndKeepsEveryOtherLineByteForByte) {
    const std::string original =
        "; installation settings\r\n"
        "\r\n"
        "[Option]\r\n"
        "  IdFile = old.ids   \r\n"
        "SNPath=\\SN\\ID.txt\r\n"
        "ulpk0=\\a\\ulpk.bin\n"
        "custom=\xD6\xD0\xCE\xC4\r\n"
        "\r\n"
        "[Other]\r\n"
        "idfile=other.ids\r\n"
        "tail line without newline";
    struct {
        const char16_t* key;
        const char16_t* value;
        std::string expected;
    } cases[] = {
        {u"idfile", u"new.ids",
         "; installation settings\r\n\r\n[Option]\r\n  IdFile = new.ids\r\nSNPath=\\SN\\ID.txt\r\n"
         "ulpk0=\\a\\ulpk.bin\ncustom=\xD6\xD0\xCE\xC4\r\n\r\n[Other]\r\nidfile=other.ids\r\n"
         "tail line without newline"},
        {u"tabmode", u"2",
         "; installation settings\r\n\r\n[Option]\r\n  IdFile = old.ids   "
         "\r\nSNPath=\\SN\\ID.txt\r\n"
         "ulpk0=\\a\\ulpk.bin\ncustom=\xD6\xD0\xCE\xC4\r\ntabmode=2\r\n\r\n[Other]\r\n"
         "idfile=other.ids\r\ntail line without newline"},
        {u"IDFILE", u"",
         "; installation settings\r\n\r\n[Option]\r\n  IdFile = \r\nSNPath=\\SN\\ID.txt\r\n"
         "ulpk0=\\a\\ulpk.bin\ncustom=\xD6\xD0\xCE\xC4\r\n\r\n[Other]\r\nidfile=other.ids\r\n"
         "tail line without newline"},
    };
    for (const auto& c : cases) {
        Write(original);
        ASSERT_TRUE(profile().WriteString(cfg::kSection, c.key, c.value)) << U8(c.key);
        EXPECT_EQ(Read(), c.expected) << U8(c.key);
        EXPECT_EQ(profile().GetString(cfg::kSection, c.key), c.value);
        EXPECT_EQ(Names(dir_.Path()), std::vector<std::string>{cfg::kFileName});
    }

    // A missing section goes at the end; the unterminated last line is ended first.
    Write(original);
    ASSERT_TRUE(profile().WriteString(u"New", u"k", u"v"));
    EXPECT_EQ(Read(), original + "\r\n[New]\r\nk=v\r\n");
}

TEST_F(ProfileTest, CreatesFileAndSectionInSavingOrder) {
    const std::pair<const char16_t*, const char16_t*> keys[] = {
        {cfg::kOption, u"1"},  {cfg::kIdFile, u""},   {cfg::kIdValue, u""},
        {cfg::kIdValue2, u""}, {cfg::kMode, u"1"},    {cfg::kIdPrefix, u""},
        {cfg::kIdAuto, u"0"},  {cfg::kIdSuffix, u""}, {cfg::kTabMode, u"0"},
    };
    for (const auto& [key, value] : keys)
        ASSERT_TRUE(profile().WriteString(cfg::kSection, key, value));
    EXPECT_EQ(Read(),
              "[Option]\r\noption=1\r\nidfile=\r\nidvalue=\r\nidvalue2=\r\nmode=1\r\nidprefix=\r\n"
              "idauto=0\r\nidsuffix=\r\ntabmode=0\r\n");

    // A file that only uses "\n" keeps doing so.
    Write("[Option]\nSNPath=x\n");
    ASSERT_TRUE(profile().WriteString(cfg::kSection, cfg::kMode, u"0"));
    ASSERT_TRUE(profile().WriteString(u"Extra", u"a", u"b"));
    EXPECT_EQ(Read(), "[Option]\nSNPath=x\nmode=0\n[Extra]\na=b\n");

    // A section with no keys yet gets the key right below its header.
    Write("[Option]\r\n\r\n[Other]\r\n");
    ASSERT_TRUE(profile().WriteString(cfg::kSection, cfg::kMode, u"1"));
    EXPECT_EQ(Read(), "[Option]\r\nmode=1\r\n\r\n[Other]\r\n");
}

TEST_F(ProfileTest, ChineseValuesRoundTripInTheAnsiCodePage) {
    const std::u16string value = W("D:\\烧写\\ID列表方式.ids");
    ASSERT_TRUE(profile().WriteString(cfg::kSection, cfg::kIdFile, value));
    EXPECT_EQ(Read(), "[Option]\r\nidfile=" + WideToAnsi(value) + "\r\n");
    EXPECT_EQ(profile().GetString(cfg::kSection, cfg::kIdFile), value);

    // A value the code page lacks (a path in Korean, say) would be stored as
    // '?' and a stale value would survive a refusal: the file becomes
    // UTF-16 with a mark instead, every other line kept as it read.
    ASSERT_TRUE(profile().WriteString(cfg::kSection, u"SNPath", u"\\sn\\id.txt"));
    const std::u16string korean = u"/home/한국/b\U0001F600.ids";
    ASSERT_TRUE(profile().WriteString(cfg::kSection, cfg::kIdFile, korean));
    EXPECT_EQ(Read().substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(profile().GetString(cfg::kSection, cfg::kIdFile), korean);
    EXPECT_EQ(profile().GetString(cfg::kSection, u"SNPath"), u"\\sn\\id.txt");
    ASSERT_TRUE(profile().WriteString(cfg::kSection, cfg::kMode, u"0"));
    EXPECT_EQ(profile().GetInt(cfg::kSection, cfg::kMode, 1), 0);
    EXPECT_EQ(Read().substr(0, 2), "\xFF\xFE") << "stays UTF-16";
}

TEST_F(ProfileTest, MarkedUnicodeFilesKeepTheirEncoding) {
    struct {
        const char* name;
        std::string bom;
        std::string (*encode)(std::u16string_view);
    } cases[] = {
        {"UTF-16LE", "\xFF\xFE", [](std::u16string_view t) { return Utf16(t, true); }},
        {"UTF-16BE", "\xFE\xFF", [](std::u16string_view t) { return Utf16(t, false); }},
        {"UTF-8", "\xEF\xBB\xBF", [](std::u16string_view t) { return WideToUtf8(t); }},
    };
    const std::u16string before = W("[Option]\r\nSNPath=\\序列号\\ID.txt\r\nidfile=a\r\n");
    const std::u16string after =
        W("[Option]\r\nSNPath=\\序列号\\ID.txt\r\nidfile=读取\r\nidauto=\U0001F600\r\n");
    for (const auto& c : cases) {
        Write(c.bom + c.encode(before));
        EXPECT_EQ(profile().GetString(cfg::kSection, cfg::kSnPath), W("\\序列号\\ID.txt"))
            << c.name;
        ASSERT_TRUE(profile().WriteString(cfg::kSection, cfg::kIdFile, W("读取"))) << c.name;
        ASSERT_TRUE(profile().WriteString(cfg::kSection, cfg::kIdAuto, u"\U0001F600")) << c.name;
        EXPECT_EQ(Read(), c.bom + c.encode(after)) << c.name;
    }
}

TEST_F(ProfileTest, DamagedFilesNeitherCrashNorLoseLines) {
    using namespace std::string_literals;
    const std::string hugeLine = "x=" + std::string(2 << 20, 'y');
    struct {
        const char* name;
        std::string file;
        const char16_t* idfile;  // read before the write; nullptr: not found
        std::string expected;    // after writing mode=1
    } cases[] = {
        {"NUL byte", "[Option]\r\nidfile=a\0b\r\nk=\0\r\n"s, u"a",
         "[Option]\r\nidfile=a\0b\r\nk=\0\r\nmode=1\r\n"s},
        {"invalid CP936", "[Option]\r\nbad=\x81\x20\xFF\x80\r\n\xFE\r\nidfile=\x81", u"\uFFFD",
         "[Option]\r\nbad=\x81\x20\xFF\x80\r\n\xFE\r\nidfile=\x81\r\nmode=1\r\n"},
        {"trail byte looking like a bracket", "[Option]\r\n\x81]=1\r\n", nullptr,
         "[Option]\r\n\x81]=1\r\nmode=1\r\n"},
        {"enormous line", "[Option]\r\n" + hugeLine + "\r\nidfile=a", u"a",
         "[Option]\r\n" + hugeLine + "\r\nidfile=a\r\nmode=1\r\n"},
        {"no newline at all", "[Option]", nullptr, "[Option]\r\nmode=1\r\n"},
        // One line: a header followed by text the header ignores.
        {"lone carriage returns", "[Option]\ridfile=0\r", nullptr,
         "[Option]\ridfile=0\r\r\nmode=1\r\n"},
        {"odd UTF-16 length", "\xFF\xFE" + Utf16(u"[Option]\r\n", true) + "\x41", nullptr,
         "\xFF\xFE" + Utf16(u"[Option]\r\nmode=1\r\n", true) + "\x41"},
        {"mark only", "\xFF\xFE", nullptr, "\xFF\xFE" + Utf16(u"[Option]\r\nmode=1\r\n", true)},
        {"empty", "", nullptr, "[Option]\r\nmode=1\r\n"},
    };
    for (const auto& c : cases) {
        Write(c.file);
        EXPECT_EQ(profile().GetString(cfg::kSection, cfg::kIdFile, u"<none>"),
                  c.idfile ? c.idfile : u"<none>")
            << c.name;
        ASSERT_TRUE(profile().WriteString(cfg::kSection, cfg::kMode, u"1")) << c.name;
        EXPECT_EQ(Read(), c.expected) << c.name;
        EXPECT_EQ(profile().GetInt(cfg::kSection, cfg::kMode, 7), 1) << c.name;
    }
}

TEST_F(ProfileTest, RefusesWhatCannotBeStoredFaithfully) {
    struct {
        const char16_t* section;
        const char16_t* key;
        std::u16string value;
    } cases[] = {
        {cfg::kSection, cfg::kIdValue2, u"ABC\r\n[Option]\r\nSNPath=..\\..\\x"},
        {cfg::kSection, cfg::kIdValue2, u"A\nB"},
        {cfg::kSection, cfg::kIdValue2, std::u16string(u"A\0B", 3)},
        {cfg::kSection, u"", u"v"},
        {cfg::kSection, u" idfile", u"v"},
        {cfg::kSection, u"a=b", u"v"},
        {cfg::kSection, u"[x]", u"v"},
        {cfg::kSection, u";x", u"v"},
        {u"", cfg::kIdFile, u"v"},
        {u"Op]tion", cfg::kIdFile, u"v"},
        {u"Option ", cfg::kIdFile, u"v"},
        {u"Opt\nion", cfg::kIdFile, u"v"},
    };
    const std::string original = "[Option]\r\nSNPath=\\SN\\ID.txt\r\nidvalue2=keep\r\n";
    for (const auto& c : cases) {
        Write(original);
        EXPECT_FALSE(profile().WriteString(c.section, c.key, c.value)) << U8(c.key);
        EXPECT_EQ(Read(), original) << U8(c.key);
    }
}

TEST_F(ProfileTest, FailedSaveLeavesTheOldFileAndNoTemporaryFile) {
    const std::string original = "[Option]\r\nSNPath=\\SN\\ID.txt\r\n";
    Write(original);

    // A full disk in the middle of the save: writes beyond 64 bytes fail.
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &saved);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &small);
    bool written = profile().WriteString(cfg::kSection, cfg::kIdFile, std::u16string(200, u'v'));
    setrlimit(RLIMIT_FSIZE, &old);
    sigaction(SIGXFSZ, &saved, nullptr);
    EXPECT_FALSE(written);
    EXPECT_EQ(Read(), original);
    EXPECT_EQ(Names(dir_.Path()), std::vector<std::string>{cfg::kFileName});

    // The folder does not exist.
    EXPECT_FALSE(
        Profile(dir_.Dir() + "missing/tagsmith.cfg").WriteString(cfg::kSection, u"k", u"v"));
    EXPECT_FALSE(fs::exists(dir_.Path() / "missing"));

    // The path is a folder: reads give defaults, writes fail.
    fs::create_directory(dir_.Path() / "folder.cfg");
    Profile folder(dir_.Dir() + "folder.cfg");
    EXPECT_EQ(folder.GetInt(cfg::kSection, cfg::kMode, 1), 1);
    EXPECT_FALSE(folder.WriteString(cfg::kSection, cfg::kMode, u"0"));

    // Too large to be a configuration: never rewritten.
    const fs::path big = dir_.Path() / "big.cfg";
    WriteFile(big, "[Option]\r\nmode=0\r\n");
    fs::resize_file(big, Profile::kMaxFileBytes + 1);
    Profile bigProfile(big.string());
    EXPECT_EQ(bigProfile.GetInt(cfg::kSection, cfg::kMode, 1), 1);
    EXPECT_FALSE(bigProfile.WriteString(cfg::kSection, cfg::kMode, u"1"));
    EXPECT_EQ(fs::file_size(big), Profile::kMaxFileBytes + 1);
}

TEST_F(ProfileTest, SeveralKeysAreSavedTogetherOrNotAtAll) {
    const std::string original = "[Option]\r\nSNPath=x\r\nidindex=3\r\n; kept\r\n";
    Write(original);
    const ProfileEntry entries[] = {
        {cfg::kIdValue, u"A4"},
        {cfg::kIdPrefix, u"line\nbreak"},  // refused: keeps its old value (none)
        {u"idindex", u"4"},
        {cfg::kIdFile, u"/lists/批次.ids"},  // GBK holds it: the file stays in the code page
    };
    size_t refused = 0;
    ASSERT_TRUE(profile().WriteStrings(cfg::kSection, entries, &refused));
    EXPECT_EQ(refused, 1u);
    EXPECT_EQ(Read(), "[Option]\r\nSNPath=x\r\nidindex=4\r\nidvalue=A4\r\nidfile=" +
                          WideToAnsi(u"/lists/批次.ids") + "\r\n; kept\r\n");

    // A value the code page lacks turns the whole file into UTF-16, once.
    const ProfileEntry wide[] = {{cfg::kIdValue, u"A5"}, {cfg::kIdValue2, u"\u00e9\U0001F600"}};
    ASSERT_TRUE(profile().WriteStrings(cfg::kSection, wide, &refused));
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(profile().GetString(cfg::kSection, cfg::kIdValue), u"A5");
    EXPECT_EQ(profile().GetString(cfg::kSection, cfg::kIdValue2), u"\u00e9\U0001F600");
    EXPECT_EQ(profile().GetString(cfg::kSection, cfg::kIdFile), u"/lists/批次.ids");
    EXPECT_EQ(Read().substr(0, 2), "\xFF\xFE");

    // A full disk in the middle of the save: no key at all is changed.
    Write(original);
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &saved);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = original.size() + 8;
    setrlimit(RLIMIT_FSIZE, &small);
    const ProfileEntry two[] = {{u"idindex", u"5"}, {cfg::kIdValue, u"A6"}};
    const bool written = profile().WriteStrings(cfg::kSection, two, &refused);
    setrlimit(RLIMIT_FSIZE, &old);
    sigaction(SIGXFSZ, &saved, nullptr);
    EXPECT_FALSE(written);
    EXPECT_EQ(Read(), original);
    EXPECT_EQ(Names(dir_.Path()), std::vector<std::string>{cfg::kFileName});
}

TEST_F(ProfileTest, AFifoIsNeitherWaitedOnNorReplaced) {
    test::MakeFifo(path());
    std::u16string value;
    bool written = true;
    ASSERT_TRUE(test::ReturnsWithoutBlocking(path(), [&] {
        value = profile().GetString(cfg::kSection, cfg::kSnPath, u"default");
        written = profile().WriteString(cfg::kSection, cfg::kMode, u"1");
    }));
    EXPECT_EQ(value, u"default");
    EXPECT_FALSE(written);
    EXPECT_EQ(fs::status(path()).type(), fs::file_type::fifo);
}

TEST_F(ProfileTest, PermissionProblemsLoseNothing) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the super-user";
    const std::string original = "[Option]\r\nSNPath=x\r\n";
    Write(original);
    fs::permissions(dir_.Path(), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(profile().WriteString(cfg::kSection, cfg::kMode, u"1"));
    fs::permissions(dir_.Path(), fs::perms::owner_all);
    EXPECT_EQ(Read(), original);
    EXPECT_EQ(Names(dir_.Path()), std::vector<std::string>{cfg::kFileName});

    // An unreadable file is not replaced by one holding only the new key.
    fs::permissions(path(), fs::perms::owner_write);
    EXPECT_EQ(profile().GetString(cfg::kSection, cfg::kSnPath, u"d"), u"d");
    EXPECT_FALSE(profile().WriteString(cfg::kSection, cfg::kMode, u"1"));
    fs::permissions(path(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(Read(), original);

    // A file made read-only stays as it is, though the folder is writable.
    fs::permissions(path(), fs::perms::owner_read);
    EXPECT_EQ(profile().GetString(cfg::kSection, cfg::kSnPath), u"x");
    EXPECT_FALSE(profile().WriteString(cfg::kSection, cfg::kMode, u"1"));
    EXPECT_EQ(Read(), original);
    EXPECT_EQ(Names(dir_.Path()), std::vector<std::string>{cfg::kFileName});
}

TEST_F(ProfileTest, SaveKeepsModeAndSymbolicLink) {
    const fs::path real = dir_.Path() / "real.cfg";
    WriteFile(real, "[Option]\r\n");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(real, path());
    ASSERT_TRUE(profile().WriteString(cfg::kSection, cfg::kMode, u"1"));
    EXPECT_TRUE(fs::is_symlink(path()));
    EXPECT_EQ(ReadFile(real), "[Option]\r\nmode=1\r\n");
    EXPECT_EQ(fs::status(real).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

}  // namespace
}  // namespace ts
