#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "ledger/JournalCsv.h"
#include "ledger/Sha256.h"
#include "platform/Codepage.h"
#include "tests/ledger/LedgerFixture.h"

namespace ts {
namespace {

constexpr int64_t kAll = std::numeric_limits<int64_t>::min();

TEST(CsvFieldTest, QuotesWhereNeededAndNeutralisesControlCharacters) {
    const std::string r = "\xEF\xBF\xBD";  // U+FFFD
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"plain", "AB12", "AB12"},
        {"empty", "", ""},
        {"comma", "a,b", "\"a,b\""},
        {"quotes", "say \"hi\"", "\"say \"\"hi\"\"\""},
        {"line feed", "line\nbreak", "line" + r + "break"},
        {"carriage return and comma", "a\r\n,b", "\"a" + r + r + ",b\""},
        {"terminal escape", "\x1b[31mred", r + "[31mred"},
        {"tab, NUL and DEL", std::string("t\tn\0d\x7f", 6), "t" + r + "n" + r + "d" + r},
        {"Chinese kept", "\xE4\xB8\xAD\xE6\x96\x87", "\xE4\xB8\xAD\xE6\x96\x87"},
        {"4-byte character kept", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"C1 control", "a\xC2\x85z", "a" + r + "z"},
        {"bytes that are not UTF-8", "\xFF\xFE", r + r},
        {"cut-off sequence", "x\xE4\xB8", "x" + r + r},
        {"encoded surrogate half", "\xED\xA0\x80", r + r + r},
        {"overlong slash", "\xC0\xAF", r + r},
        // What a spreadsheet would run as a formula shows as text.
        {"formula", "=1+2", "'=1+2"},
        {"plus", "+12", "'+12"},
        {"minus", "-12", "'-12"},
        {"at", "@SUM(A1)", "'@SUM(A1)"},
        {"formula with commas and quotes", "=HYPERLINK(\"u\",\"x\")",
         "\"'=HYPERLINK(\"\"u\"\",\"\"x\"\")\""},
        {"formula after a tab", "\t=1", r + "=1"},
        {"formula after a carriage return", "\r+1", r + "+1"},
        {"sign inside", "A-1=2", "A-1=2"},
        {"hexadecimal ID", "00AF12", "00AF12"},
    };
    for (const auto& c : cases) {
        std::string out = "pre,";
        AppendCsvField(out, c.in);
        EXPECT_EQ(out, "pre," + c.out) << c.name;
    }
}

TEST(CsvRowTest, HeaderAndOneRowPerAttempt) {
    EXPECT_EQ(JournalCsvHeader(),
              "time,station,mode,source,file_sha256,file_name,line,prefix,suffix,direction,id,"
              "device,usb_serial,usb_vendor,usb_product,port,result,duration_ms,verified\n");
    JournalRow row;
    row.timeMs = test::kStartMs + 7;
    row.station = "line 3, left";
    row.mode = "write";
    row.source = "file";
    row.fileSha256 = "ab";
    row.fileName = "\xE6\x89\xB9\xE6\xAC\xA1.ids";  // 批次.ids
    row.line = 12;
    row.id = "00A1";
    row.device = "/dev/sg2";
    row.usbSerial = "S\"1";
    row.result = 0;
    row.durationMs = 1534;
    row.verified = true;
    std::string out;
    AppendJournalCsvRow(out, row);
    EXPECT_EQ(
        out,
        "2023-11-14T22:13:20.007Z,\"line 3, left\",write,file,ab,\xE6\x89\xB9\xE6\xAC\xA1.ids,"
        "12,,,,00A1,/dev/sg2,\"S\"\"1\",,,,0,1534,1\n");
    JournalRow unfinished;
    unfinished.timeMs = 0;
    out.clear();
    AppendJournalCsvRow(out, unfinished);
    EXPECT_EQ(out, "1970-01-01T00:00:00.000Z,,,,,,,,,,,,,,,,,0,0\n");
}

class JournalExportTest : public test::LedgerFixture {};

TEST_F(JournalExportTest, ExportsEveryRowAndReportsAFailedOutput) {
    // More than one chunk of output.
    constexpr int kRows = 20000;
    auto l = OpenUnsynced();
    for (int i = 0; i < kRows; ++i) {
        Reservation r;
        ASSERT_TRUE(l->Reserve(Write(u"0" + Utf8ToWide(std::to_string(i))), false, &r).ok());
        now += 1000;
    }
    std::string csv;
    uint64_t rows = 0;
    ASSERT_TRUE(ExportJournalCsv(
                    *l, kAll,
                    [&](std::string_view b) {
                        csv.append(b);
                        return true;
                    },
                    &rows)
                    .ok());
    EXPECT_EQ(rows, static_cast<uint64_t>(kRows));
    EXPECT_EQ(csv.rfind(JournalCsvHeader(), 0), 0u);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), kRows + 1);
    EXPECT_GT(csv.size(), size_t{1} << 20);
    EXPECT_NE(csv.find("\n2023-11-14T22:13:21.000Z,st1,write,scan,,,,,,,01,,,,,E,,0,0\n"),
              std::string::npos);

    csv.clear();
    ASSERT_TRUE(ExportJournalCsv(
                    *l, test::kStartMs + int64_t{kRows - 1} * 1000,
                    [&](std::string_view b) {
                        csv.append(b);
                        return true;
                    },
                    &rows)
                    .ok());
    EXPECT_EQ(rows, 1u);

    int calls = 0;
    const LedgerResult failed = ExportJournalCsv(*l, kAll, [&](std::string_view) {
        ++calls;
        return false;
    });
    EXPECT_EQ(failed.status, LedgerStatus::IoError);
    EXPECT_EQ(calls, 1) << "the export stops at the first failed write";
}

TEST(UtcTimeTest, FormatsAndParses) {
    EXPECT_EQ(FormatUtcMs(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtcMs(-1), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(FormatUtcMs(1709251199999), "2024-02-29T23:59:59.999Z");
    EXPECT_EQ(FormatUtcMs(951868800000), "2000-03-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtcMs(253402300800000), "10000-01-01T00:00:00.000Z");

    struct Case {
        const char* text;
        std::optional<int64_t> ms;
    };
    const std::vector<Case> cases = {
        {"2024-05-01", 1714521600000},
        {"2024-05-01Z", 1714521600000},
        {"2024-05-01T00:00", 1714521600000},
        {"2024-05-01 12:30:15.5", 1714566615500},
        {"2024-05-01T12:30:15.500Z", 1714566615500},
        {"2024-02-29T23:59:59.999", 1709251199999},
        {"2000-02-29", 951782400000},
        {"2023-02-29", std::nullopt},
        {"1900-02-29", std::nullopt},
        {"2024-04-31", std::nullopt},
        {"2024-13-01", std::nullopt},
        {"2024-00-10", std::nullopt},
        {"2024-05-01T24:00", std::nullopt},
        {"2024-05-01T12:60", std::nullopt},
        {"2024-05-01T12", std::nullopt},
        {"2024-05-01T12:30:15.1234", std::nullopt},
        {"2024-05-01T12:30:15.", std::nullopt},
        {"2024-5-1", std::nullopt},
        {"2024-05-01 ", std::nullopt},
        {"2024-05-01x", std::nullopt},
        {"yesterday", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseUtcTime(c.text), c.ms) << c.text;
}

TEST(Sha256Test, KnownDigestsInPiecesAndFromAFile) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(Sha256Hex(two), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");

    std::string big;
    for (int i = 0; i < 1000; ++i) big.push_back(static_cast<char>(i * 7));
    const std::string whole = Sha256Hex(big);
    for (size_t cut : {size_t{1}, size_t{55}, size_t{63}, size_t{64}, size_t{65}, size_t{999}}) {
        Sha256 h;
        h.Update(big.data(), cut);
        h.Update(big.data() + cut, big.size() - cut);
        EXPECT_EQ(h.HexDigest(), whole) << cut;
    }

    test::TempDir dir;
    test::WriteFile(dir.Path() / "list.ids", big);
    std::string hex, error;
    ASSERT_TRUE(Sha256OfFile((dir.Path() / "list.ids").string(), &hex, &error)) << error;
    EXPECT_EQ(hex, whole);
    EXPECT_FALSE(Sha256OfFile((dir.Path() / "missing.ids").string(), &hex, &error));
    EXPECT_NE(error.find("missing.ids"), std::string::npos) << error;
    EXPECT_FALSE(Sha256OfFile(dir.Path().string(), &hex, &error)) << "a folder";
}

}  // namespace
}  // namespace ts
