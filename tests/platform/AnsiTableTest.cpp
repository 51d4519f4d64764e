// One table of CP936 conversions that both builds run: iconv on Linux, the
// system's converter (code page 936) on Windows. Equal expectations on both
// make any difference between the two converters a failing case.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/Codepage.h"

namespace ts {
namespace {

TEST(AnsiTable, BothSystemsConvertAlike) {
    struct {
        const char* name;
        std::string ansi;
        std::u16string wide;                  // AnsiToWide
        std::optional<std::u16string> exact;  // AnsiToWideExact
    } cases[] = {
        {"Ascii", "1A2B\r\n", u"1A2B\r\n", u"1A2B\r\n"},
        {"Chinese", "\xD6\xD0\xCE\xC4", u"中文", u"中文"},
        {"GbkOnly", "\x81\x40", u"丂", u"丂"},
        {"Euro", "\x80", u"€", u"€"},
        {"LoneLeadAtEnd", "A\xD6", u"A\xFFFD", std::nullopt},
        {"BadTrail", "\xD6\x7F", u"\xFFFD\x7F", std::nullopt},
        {"FF", "\xFF", u"\xFFFD", std::nullopt},
        {"Nul", std::string("a\0b", 3), std::u16string(u"a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AnsiToWide(c.ansi), c.wide) << c.name;
        EXPECT_EQ(AnsiToWideExact(c.ansi), c.exact) << c.name;
    }
    struct {
        const char* name;
        std::u16string wide;
        std::string ansi;
    } back[] = {
        {"Chinese", u"中文", "\xD6\xD0\xCE\xC4"},
        {"Euro", u"€", "\x80"},
        {"NotInGbk", u"\u00C5\U0001F600", "???"},  // one mark per UTF-16 unit
        {"LoneSurrogate", std::u16string(1, u'\xD800'), "?"},
    };
    for (const auto& c : back) EXPECT_EQ(WideToAnsi(c.wide), c.ansi) << c.name;
}

}  // namespace
}  // namespace ts
