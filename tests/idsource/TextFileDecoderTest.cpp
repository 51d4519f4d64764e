#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "idsource/TextFileDecoder.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

using test::Utf16Be;
using test::Utf16Le;

std::string Bytes(std::initializer_list<int> v) {
    std::string s;
    for (int b : v) s.push_back(static_cast<char>(b));
    return s;
}

const uint8_t* P(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// ------------------------------------------------------------ UTF-8 scan ---

struct ScanCase {
    const char* name;
    std::string bytes;
    Utf8ScanResult expected;
};

TEST(Utf8ScanTest, FollowsTheScanTableWithItsQuirks) {
    const std::vector<ScanCase> cases = {
        {"empty", "", Utf8ScanResult::AsciiOnly},
        {"plain ASCII", "A1\r\nB2\n", Utf8ScanResult::AsciiOnly},
        {"long ASCII crosses the word fast path", std::string(37, 'F'), Utf8ScanResult::AsciiOnly},
        {"00 byte", Bytes({'A', 0x00, 'B'}), Utf8ScanResult::Invalid},
        {"00 byte inside a long ASCII run", std::string(13, 'A') + '\0' + "BCD",
         Utf8ScanResult::Invalid},
        {"lone continuation 80", Bytes({'A', 0x80}), Utf8ScanResult::Invalid},
        {"lone continuation BF", Bytes({0xBF}), Utf8ScanResult::Invalid},
        {"two-byte sequence", Bytes({0xC3, 0xA9}), Utf8ScanResult::Valid},
        {"C1 lead accepted", Bytes({0xC1, 0x81}), Utf8ScanResult::Valid},
        {"C0 lead rejected", Bytes({0xC0, 0x81}), Utf8ScanResult::Invalid},
        {"two-byte lead without continuation", Bytes({0xC3, 'A'}), Utf8ScanResult::Invalid},
        {"two-byte lead cut off at the end", Bytes({'A', 0xC3}), Utf8ScanResult::Valid},
        {"C0 cut off at the end still valid", Bytes({'A', 0xC0}), Utf8ScanResult::Valid},
        {"three-byte sequence", Bytes({0xE4, 0xB8, 0xAD}), Utf8ScanResult::Valid},
        {"E0 lead rejected", Bytes({0xE0, 0xA0, 0x80}), Utf8ScanResult::Invalid},
        {"encoded surrogate accepted", Bytes({0xED, 0xA0, 0x80}), Utf8ScanResult::Valid},
        {"three-byte cut off after one", Bytes({'A', 0xE4, 0xB8}), Utf8ScanResult::Valid},
        {"three-byte cut off after lead", Bytes({'A', 'B', 0xE4}), Utf8ScanResult::Valid},
        {"three-byte with bad second", Bytes({0xE4, 'A', 0xAD}), Utf8ScanResult::Invalid},
        {"three-byte with bad third", Bytes({0xE4, 0xB8, 'A'}), Utf8ScanResult::Invalid},
        {"four-byte sequence", Bytes({0xF0, 0x9F, 0x98, 0x80}), Utf8ScanResult::Invalid},
        {"FF byte", Bytes({'A', 0xFF}), Utf8ScanResult::Invalid},
        {"valid then invalid", Bytes({0xC3, 0xA9, 0x80}), Utf8ScanResult::Invalid},
        {"GBK Chinese", Bytes({0xD6, 0xD0, 0xCE, 0xC4}), Utf8ScanResult::Invalid},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ScanUtf8(P(c.bytes), c.bytes.size()), c.expected) << c.name;
    }
}

// ------------------------------------------------------------- detection ---

struct DetectCase {
    const char* name;
    std::string bytes;
    TextEncodingKind kind;
    size_t bom;
};

TEST(DetectTextEncodingTest, AppliesTheRulesInOrder) {
    const std::vector<DetectCase> cases = {
        {"FE FF", Bytes({0xFE, 0xFF, 0x00, 'A'}), TextEncodingKind::Utf16BeWithBom, 2},
        {"FF FE", Bytes({0xFF, 0xFE, 'A', 0x00}), TextEncodingKind::Utf16LeWithBom, 2},
        {"FF FE alone", Bytes({0xFF, 0xFE}), TextEncodingKind::Utf16LeWithBom, 2},
        {"EF BB BF", Bytes({0xEF, 0xBB, 0xBF, 'A'}), TextEncodingKind::Utf8WithBom, 3},
        {"EF BB without BF is not a mark", Bytes({0xEF, 0xBB, 'A'}), TextEncodingKind::Ansi, 0},
        {"single FF", Bytes({0xFF}), TextEncodingKind::Ansi, 0},
        {"UTF-16LE without mark", Utf16Le(u"A1\r\nB2\r\n"), TextEncodingKind::Utf16Le, 0},
        {"second byte 0 but the test rejects (odd length)", Bytes({'A', 0x00, 'B'}),
         TextEncodingKind::Ansi, 0},
        {"first byte 0 never UTF-16LE", Utf16Be(u"AB"), TextEncodingKind::Ansi, 0},
        {"UTF-16LE one line without a break", Utf16Le(u"1A批次"), TextEncodingKind::Utf16Le, 0},
        {"UTF-16LE ending in one U+0000", Utf16Le(u"A1\r\n") + std::string(2, '\0'),
         TextEncodingKind::Utf16Le, 0},
        {"ASCII", "A1\nB2", TextEncodingKind::Ascii, 0},
        {"ASCII of even length", "12\r\n34\r\n", TextEncodingKind::Ascii, 0},
        {"CP936 of even length", "\xC5\xFA\xB4\xCE\r\n", TextEncodingKind::Ansi, 0},
        {"UTF-8", "A1\n\xE4\xB8\xAD", TextEncodingKind::Utf8, 0},
        {"CP936", "A1\n\xD6\xD0\xCE\xC4", TextEncodingKind::Ansi, 0},
        {"empty", "", TextEncodingKind::Ascii, 0},
    };
    for (const auto& c : cases) {
        TextFileDecoder d(P(c.bytes), c.bytes.size());
        EXPECT_EQ(d.Kind(), c.kind) << c.name;
        EXPECT_EQ(d.BomLength(), c.bom) << c.name;
    }
}

// ---------------------------------------------------------- 8-bit output ---

TEST(TextFileDecoderTest, EightBitTextIsAViewForByteKinds) {
    const std::string utf8 =
        "\xEF\xBB\xBF"
        "A1\n";
    TextFileDecoder d(P(utf8), utf8.size());
    EXPECT_EQ(d.Text(), "A1\n");
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(d.Text().data()), P(utf8) + 3);
    EXPECT_EQ(d.OutputCapacity(), 0u);
    EXPECT_FALSE(d.WidensAsAnsi());

    const std::string ansi = "\xD6\xD0";
    TextFileDecoder a(P(ansi), ansi.size());
    EXPECT_EQ(a.Text(), ansi);
    EXPECT_TRUE(a.WidensAsAnsi());
}

TEST(TextFileDecoderTest, Utf16UnitsBecomeUtf8OneByOne) {
    // U+0041, U+00E9, U+4E2D, and U+1F600 as two lone surrogate units, then
    // a trailing odd byte that must be dropped.
    const std::u16string units = u"A\u00E9\u4E2D\xD83D\xDE00";
    const std::string expected =
        "A"
        "\xC3\xA9"
        "\xE4\xB8\xAD"
        "\xED\xA0\xBD"
        "\xED\xB8\x80";
    struct Case {
        const char* name;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"LE with mark", Bytes({0xFF, 0xFE}) + Utf16Le(units) + "Z"},
        {"BE with mark", Bytes({0xFE, 0xFF}) + Utf16Be(units) + "Z"},
    };
    for (const auto& c : cases) {
        TextFileDecoder d(P(c.bytes), c.bytes.size());
        EXPECT_EQ(d.Text(), expected) << c.name;
        EXPECT_EQ(d.OutputCapacity(), c.bytes.size() + c.bytes.size() / 2 + 1) << c.name;
        EXPECT_EQ(d.Widen(), units) << c.name;
    }
}

TEST(TextFileDecoderTest, WorstCaseUtf16FitsTheOutputBuffer) {
    // Every unit needing three bytes: the n + n/2 + 1 room is exactly enough.
    const std::string bytes = Bytes({0xFF, 0xFE}) + Utf16Le(std::u16string(1000, u'\xFFFD'));
    TextFileDecoder d(P(bytes), bytes.size());
    EXPECT_EQ(d.Text().size(), 3000u);
    EXPECT_LE(d.Text().size(), d.OutputCapacity());
}

// ------------------------------------------------------------- widening ---

struct WidenCase {
    const char* name;
    std::string utf8;
    std::u16string wide;
};

TEST(WidenUtf8Test, MapsWellFormedTextAndKeepsSurrogateUnits) {
    const std::vector<WidenCase> cases = {
        {"ASCII", "A1b", u"A1b"},
        {"two and three bytes", "\xC3\xA9\xE4\xB8\xAD", u"\u00E9\u4E2D"},
        {"four bytes become a pair", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
        {"encoded surrogate units come back", "\xED\xA0\xBD\xED\xB8\x80", u"\xD83D\xDE00"},
        {"lone high surrogate",
         "A\xED\xA0\xBD"
         "B",
         u"A\xD83D"
         u"B"},
        {"lone continuation",
         "A\x80"
         "B",
         u"A\xFFFD"
         u"B"},
        {"C0/C1 overlong", "\xC1\x81", u"\xFFFD\xFFFD"},
        {"E0 overlong", "\xE0\x80\x80", u"\xFFFD\xFFFD\xFFFD"},
        {"cut off three-byte at end", "A\xE4\xB8", u"A\xFFFD"},
        {"cut off two-byte at end", "A\xC3", u"A\xFFFD"},
        {"three-byte broken by ASCII",
         "\xE4\xB8"
         "A",
         u"\xFFFD"
         u"A"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD\xFFFD"},
        {"F5 lead",
         "\xF5"
         "A",
         u"\xFFFD"
         u"A"},
        {"NUL kept for the cleaner", std::string("A\0B", 3), std::u16string(u"A\0B", 3)},
    };
    for (const auto& c : cases) EXPECT_EQ(WidenUtf8(c.utf8), c.wide) << c.name;
}

TEST(TextFileDecoderTest, WidensAsciiAndCodePageText) {
    const std::string ascii = "A1~";
    EXPECT_EQ(TextFileDecoder(P(ascii), ascii.size()).Widen(), u"A1~");
    const std::string gbk = "\xD6\xD0\xCE\xC4";  // 中文 in CP936
    EXPECT_EQ(TextFileDecoder(P(gbk), gbk.size()).Widen(), u"中文");
}

}  // namespace
}  // namespace ts
