// The project's portable UTF-16 rule for ID files without a mark, side by
// side with the platform's own IsTextUnicode. The rule decides on every
// system (a list must load alike everywhere); this table shows where the two
// agree and pins each known difference.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "idsource/Utf16Detect.h"

namespace ts {
namespace {

struct Case {
    const char* name;
    std::string bytes;
    bool rule;      // LooksLikeUtf16Le
    bool platform;  // IsTextUnicode with every test
};

std::string Le(std::u16string_view w) {
    std::string s;
    for (char16_t c : w) {
        s += static_cast<char>(c & 0xFF);
        s += static_cast<char>(c >> 8);
    }
    return s;
}

TEST(Utf16Rule, AgainstIsTextUnicode) {
    const Case cases[] = {
        {"AsciiList", Le(u"1A2B\r\n3C4D\r\n"), true, true},
        {"OneId", Le(u"1A2B"), true, true},
        {"ChineseAndAscii", Le(u"中文1A2B\r\n"), true, true},
        {"EightBitText", "1A2B\r\n3C4D\r\n", false, false},
        {"Gbk", "\xD6\xD0\xCE\xC4\r\n", false, false},
        {"OddLength", Le(u"1A2B") + "\n", false, false},
        {"NulInside", Le(u"1A") + std::string(2, '\0') + Le(u"2B"), false, false},
        {"ByteSwappedLineEnds",
         std::string("\0"
                     "1\0A\0\r\0\n",
                     8),
         false, false},
        {"OneTerminatingNul", Le(u"1A2B") + std::string(2, '\0'), true, true},
        // Two bytes: the platform drops the final 0 byte and finds no unit.
        {"OneUnit", Le(u"A"), false, false},
        {"OneLineFeedUnit", Le(u"\n"), false, false},
    };
    for (const Case& c : cases) {
        const auto* p = reinterpret_cast<const uint8_t*>(c.bytes.data());
        EXPECT_EQ(LooksLikeUtf16Le(p, c.bytes.size()), c.rule) << c.name;
        INT tests = IS_TEXT_UNICODE_UNICODE_MASK | IS_TEXT_UNICODE_REVERSE_MASK |
                    IS_TEXT_UNICODE_NOT_UNICODE_MASK | IS_TEXT_UNICODE_NOT_ASCII_MASK;
        const bool platform =
            IsTextUnicode(c.bytes.data(), static_cast<int>(c.bytes.size()), &tests) != FALSE;
        EXPECT_EQ(platform, c.platform) << c.name << " (tests 0x" << std::hex << tests << ")";
    }
}

}  // namespace
}  // namespace ts
