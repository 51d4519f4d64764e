#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "idsource/HexId.h"
#include "platform/Codepage.h"

namespace ts {
namespace {

struct Case {
    const char16_t* in;
    const char16_t* out;
};

std::string Show(const std::u16string& s) { return "\"" + U8(s) + "\""; }

TEST(IsHexIdTest, AcceptsUpperCaseDigitsAfterOptionalPrefix) {
    struct {
        const char16_t* text;
        bool valid;
    } cases[] = {
        {u"", true},       {u"0", true},     {u"1A2B", true},    {u"0123456789ABCDEF", true},
        {u"0x5", true},    {u"0X5", true},   {u"0X0", true},     {u"0x", false},
        {u"0X", false},    {u"x5", false},   {u"5a", false},     {u"1a2b", false},
        {u"12 34", false}, {u" 12", false},  {u"12\n", false},   {u"G", false},
        {u"0x0x1", false}, {u"00x1", false}, {u"\uFF21", false}, {u"0xab", false},
        {u"-1", false},    {u"0x0", true},   {u"x", false},      {u"0x0x", false},
    };
    for (const auto& c : cases) {
        std::u16string s = c.text;
        EXPECT_EQ(IsHexId(&s), c.valid) << Show(s);
    }
    EXPECT_FALSE(IsHexId(nullptr));
    std::u16string withNul(
        u"12\0"
        u"3",
        4);
    EXPECT_FALSE(IsHexId(&withNul));
}

TEST(NormalizeHexTest, DropsPrefixAndLeadingZerosKeepingCase) {
    const Case cases[] = {
        {u"0x00AB", u"AB"}, {u"000", u"0"}, {u"", u"0"},      {u"0x", u"0"},
        {u"0X", u"0"},      {u"0X0", u"0"}, {u"0xab", u"ab"}, {u"0X000", u"0"},
        {u"0010", u"10"},   {u"0", u"0"},   {u"A", u"A"},     {u"0x0x1", u"x1"},
        {u"00x1", u"x1"},   {u"x", u"x"},   {u"0a0", u"a0"},  {u"0X0001f", u"1f"},
    };
    for (const auto& c : cases) {
        std::u16string s = c.in;
        NormalizeHex(s);
        EXPECT_EQ(s, c.out) << Show(c.in);
    }
}

TEST(ParseHexCounterTest, TrimsPlatformWhiteSpaceThenNormalises) {
    const Case cases[] = {
        {u"  0x0a5\t", u"a5"},
        {u"\r\n\v\f 001F \f\v\n\r", u"1F"},
        {u"   ", u"0"},
        {u"", u"0"},
        {u"0x 12", u" 12"},
        {u"1 2", u"1 2"},
        {u"\u3000"
         u"12\u00A0",
         u"12"},
        {u"1\u30002", u"1\u30002"},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseHexCounter(c.in), c.out) << Show(c.in);
}

TEST(IncrementHexTest, CarriesKeepWidthAndPrefix) {
    const Case cases[] = {
        {u"9", u"A"},          {u"F", u"10"},       {u"FF", u"100"},    {u"00", u"01"},
        {u"abc", u"ABD"},      {u"0xff", u"0X100"}, {u"0x0F", u"0X10"}, {u"FFF", u"1000"},
        {u"0XFFF", u"0X1000"}, {u"0x", u"0x1"},     {u"0X", u"0X1"},    {u"", u""},
        {u"0", u"1"},          {u"E", u"F"},        {u"0F", u"10"},     {u"19", u"1A"},
        {u"0XF", u"0X10"},     {u"0x0", u"0X1"},    {u"0x09", u"0X0A"}, {u"00FF", u"0100"},
        {u"1FFF", u"2000"},    {u"0Xef", u"0XF0"},
    };
    for (const auto& c : cases) {
        std::u16string s = c.in;
        EXPECT_EQ(IncrementHex(s), c.out) << Show(c.in);
        EXPECT_EQ(s, c.out) << Show(c.in);
    }
}

TEST(DecrementHexTest, BorrowsAndNormalises) {
    const Case cases[] = {
        {u"A", u"9"},      {u"10", u"F"},      {u"100", u"FF"}, {u"A0", u"9F"},  {u"B0", u"AF"},
        {u"0x10", u"F"},   {u"0X1", u"0"},     {u"1", u"0"},    {u"0", u"0"},    {u"", u"0"},
        {u"1000", u"FFF"}, {u"0XA00", u"9FF"}, {u"00", u"0"},   {u"0X0", u"0"},  {u"0x000", u"0"},
        {u"0x", u"0"},     {u"0X", u"0"},      {u"a", u"9"},    {u"f0", u"EF"},  {u"0100", u"FF"},
        {u"0X100", u"FF"}, {u"0X01", u"0"},    {u"b", u"A"},    {u"0010", u"F"},
    };
    for (const auto& c : cases) {
        std::u16string s = c.in;
        EXPECT_EQ(DecrementHex(s), c.out) << Show(c.in);
        EXPECT_EQ(s, c.out) << Show(c.in);
    }
}

TEST(HexCounterTest, OutOfDomainTextIsLeftUnchanged) {
    const char16_t* cases[] = {
        u"G", u"12 ", u" 12", u"1-1", u"\u4E2D", u"0x1G", u"x1", u"0xx1", u"00x1", u"-",
    };
    for (const char16_t* c : cases) {
        std::u16string up = c, down = c;
        EXPECT_EQ(IncrementHex(up), c) << Show(c);
        EXPECT_EQ(DecrementHex(down), c) << Show(c);
    }
    // Code units at the extremes must not wrap into something plausible.
    for (char16_t unit : {u'\0', u'\xFFFF', u'\xD800'}) {
        std::u16string up(2, unit), down(2, unit);
        EXPECT_EQ(IncrementHex(up), std::u16string(2, unit));
        EXPECT_EQ(DecrementHex(down), std::u16string(2, unit));
    }
}

TEST(HexCounterTest, ChainsLikeValues) {
    std::u16string s = u"0x0FE";
    EXPECT_EQ(IncrementHex(IncrementHex(s)), u"0X100");
    EXPECT_EQ(DecrementHex(DecrementHex(s)), u"FE");
}

// Reference value for the round trip: counts with an integer and formats the
// way a normalised counter looks.
std::u16string Hex(unsigned v) {
    static const char16_t kDigits[] = u"0123456789ABCDEF";
    std::u16string s;
    do {
        s.insert(s.begin(), kDigits[v % 16]);
        v /= 16;
    } while (v != 0);
    return s;
}

TEST(HexCounterTest, CountsUpAndBackDownToZeroAndStays) {
    constexpr unsigned kTop = 0x1100;  // crosses the 3-to-4 and 4-digit carries
    std::u16string s = u"0";
    for (unsigned v = 1; v <= kTop; ++v) {
        IncrementHex(s);
        ASSERT_EQ(ParseHexCounter(s), Hex(v)) << v;
    }
    std::u16string prefixed = u"0x000";
    for (unsigned v = 1; v <= kTop; ++v) IncrementHex(prefixed);
    EXPECT_EQ(prefixed, u"0X1100");
    for (unsigned v = kTop; v-- > 0;) {
        DecrementHex(s);
        ASSERT_EQ(s, Hex(v)) << v;
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(DecrementHex(s), u"0");
    EXPECT_EQ(IncrementHex(s), u"1");
}

TEST(HexCounterTest, LongTexts) {
    std::u16string s(1024, u'F');
    IncrementHex(s);
    EXPECT_EQ(s, u"1" + std::u16string(1024, u'0'));
    EXPECT_TRUE(IsHexId(&s));
    DecrementHex(s);
    EXPECT_EQ(s, std::u16string(1024, u'F'));

    std::u16string prefixed = u"0x" + std::u16string(4000, u'f');
    IncrementHex(prefixed);
    EXPECT_EQ(prefixed, u"0X1" + std::u16string(4000, u'0'));

    std::u16string zeros = u"0X" + std::u16string(5000, u'0');
    EXPECT_EQ(DecrementHex(zeros), u"0");
    std::u16string padded = std::u16string(2000, u'0') + u"1";
    NormalizeHex(padded);
    EXPECT_EQ(padded, u"1");
}

}  // namespace
}  // namespace ts
