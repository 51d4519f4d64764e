#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "idsource/Utf16Detect.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

using test::Utf16Le;

const uint8_t* P(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

struct HeuristicCase {
    const char* name;
    std::string bytes;
    bool utf16;
};

// `count` lines of "0001" upwards in UTF-16LE, CR LF after each.
std::u16string NumberedLines(int count) {
    std::u16string s;
    for (int i = 1; i <= count; ++i) {
        char16_t line[7] = u"0000\r\n";
        for (int k = 3, v = i; k >= 0; --k, v /= 10) line[k] = static_cast<char16_t>(u'0' + v % 10);
        s += line;
    }
    return s;
}

TEST(LooksLikeUtf16LeTest, AcceptsUnitsThatCanBeUtf16Text) {
    // 50 lines of six units: 300 units, so unit 256 lies inside the 43rd line.
    const std::u16string lines = NumberedLines(50);
    auto withUnitAt = [&](size_t at, char16_t unit) {
        std::u16string s = lines;
        s[at] = unit;
        return Utf16Le(s);
    };
    const std::vector<HeuristicCase> cases = {
        {"IDs with CR LF", Utf16Le(u"A1\r\nB2\r\n"), true},
        {"two ASCII units", Utf16Le(u"A1"), true},
        {"ASCII units only", Utf16Le(u"ABCDEF0123"), true},
        {"Chinese with line feed", Utf16Le(u"A中文\n"), true},
        {"Chinese without any break", Utf16Le(u"A中文编号测试数据"), true},
        {"one line of digits, letters and Chinese", Utf16Le(u"1A批次"), true},
        {"full-width digits", Utf16Le(u"1１２３４５"), true},
        {"ideographic space", Utf16Le(u"A中\u3000文"), true},
        {"list ending in one U+0000", Utf16Le(u"A1\r\nB2\r\n") + std::string(2, '\0'), true},
        {"U+0000 after the first 256 units", withUnitAt(kUtf16DetectUnits, u'\0'), true},
        {"swapped line feed after the first 256 units",
         withUnitAt(kUtf16DetectUnits + 3, u'\x0A00'), true},
        // Units that are odd in text but that the platform's test lets pass.
        {"a 0xFFFF unit", Utf16Le(u"A\xFFFF\n"), true},
        {"a swapped mark after the start", Utf16Le(u"A\xFFFE\n"), true},
        {"8-bit CR LF read as one unit", std::string("A\0\r\n", 4), true},
        {"high bytes as varied as the low ones", std::string("A\0\x41\x97\x42\x13\x43\xE5", 8),
         true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LooksLikeUtf16Le(P(c.bytes), c.bytes.size()), c.utf16) << c.name;
    }
}

TEST(LooksLikeUtf16LeTest, RejectsWhatCannotBeUtf16LeText) {
    const std::u16string lines = NumberedLines(50);
    std::u16string lastLooked = lines;
    lastLooked[kUtf16DetectUnits - 1] = u'\x0D00';
    const std::vector<HeuristicCase> cases = {
        {"fewer than 2 bytes", "A", false},
        // The platform drops a final 0 byte before it counts units.
        {"a single ASCII unit", Utf16Le(u"A"), false},
        {"a single line feed unit", Utf16Le(u"\n"), false},
        {"a single Chinese unit", Utf16Le(u"中"), false},
        {"odd length", Utf16Le(u"A1\r\n") + "B", false},
        {"odd length ending in a 0 byte", Utf16Le(u"A1\r\n") + std::string(1, '\0'), false},
        {"a 0x0000 unit", Utf16Le(std::u16string(u"A\0B", 3)), false},
        {"two U+0000 at the end", Utf16Le(u"A1\r\n") + std::string(4, '\0'), false},
        {"swapped line feed", Utf16Le(u"A1\r\nB2\r\n\x0A00"), false},
        {"swapped carriage return", Utf16Le(u"A1\r\nB2\r\n\x0D00"), false},
        {"swapped tab", Utf16Le(u"A1\r\nB2\r\n\x0900"), false},
        {"swapped space", Utf16Le(u"A1\r\nB2\r\n\x2000"), false},
        {"swapped control as the last unit looked at", Utf16Le(lastLooked), false},
        // 8-bit lists without a 0 byte: every pair is a unit above 0x00FF.
        {"ASCII list of even length", "12\r\n34\r\n", false},
        {"ASCII without breaks", "1234ABCD", false},
        {"CP936 list", "\xC5\xFA\xB4\xCE\r\n", false},
        {"UTF-8 list", "\xE6\x89\xB9\xE6\xAC\xA1\r\n", false},
        {"full-width digits alone", Utf16Le(u"１２３４"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LooksLikeUtf16Le(P(c.bytes), c.bytes.size()), c.utf16) << c.name;
    }
    EXPECT_FALSE(LooksLikeUtf16Le(nullptr, 4));
}

}  // namespace
}  // namespace ts
