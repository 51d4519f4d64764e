#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "device/VendorProtocol.h"

namespace ts::vendor {
namespace {

std::vector<uint8_t> Answer(const std::string& text, size_t length) {
    std::vector<uint8_t> a(length, 0);
    std::memcpy(a.data(), text.data(), std::min(text.size(), length));
    return a;
}

// Device answers are untrusted: a short or odd answer is judged without
// reading past it.
TEST(VendorProtocolTest, HandShakeAnswers) {
    struct Case {
        const char* name;
        std::vector<uint8_t> answer;
        bool vendor;
        uint32_t sectors;
    };
    auto sized = Answer("usbhandshake", 32);
    sized[16] = 0x00;
    sized[17] = 0x20;
    sized[18] = 0x01;
    auto noNul = Answer("usbhandshakeX", 32);
    const Case cases[] = {
        {"size at 16", sized, true, 0x012000},
        {"text and NUL only", Answer("usbhandshake", 13), true, 0},
        {"size field cut off", Answer("usbhandshake", 19), true, 0},
        {"shorter than the text", Answer("usbhandshake", 12), false, 0},
        {"text not ended at 12", noNul, false, 0},
        {"another device", Answer("USBHANDSHAKE", 32), false, 0},
        {"empty", {}, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t sectors = 0xDEADBEEF;
        EXPECT_EQ(ParseHandShake(c.answer.data(), c.answer.size(), &sectors), c.vendor);
        if (c.vendor) {
            EXPECT_EQ(sectors, c.sectors);
        }
    }
}

TEST(VendorProtocolTest, FinishAnswers) {
    struct Case {
        const char* name;
        std::vector<uint8_t> answer;
        bool ok;
    };
    const Case cases[] = {
        {"confirmed", Answer("usb_dataok", 32), true},
        {"text fills the answer, no NUL", Answer("usb_dataok", 10), false},
        {"longer text", Answer("usb_dataokX", 32), false},
        {"something else", Answer("usb_datafail", 32), false},
        {"empty", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FinishConfirmed(c.answer.data(), c.answer.size()), c.ok);
    }
}

TEST(VendorProtocolTest, CommandRoundTripKeepsOnlyWhatReachesTheDevice) {
    uint8_t cdb[16];
    EncodeCommand(cdb, kSubRead, 0x01020304, 0x00050040);
    const uint8_t want[10] = {0xF3, 3, 0, 0, 4, 3, 2, 1, 0x40, 0};
    EXPECT_EQ(std::memcmp(cdb, want, sizeof want), 0);
    Command c;
    ASSERT_TRUE(DecodeCommand(cdb, c));
    EXPECT_EQ(c.subCommand, kSubRead);
    EXPECT_EQ(c.param1, 0x01020304u);
    EXPECT_EQ(c.param2, 0x40u) << "the count's high bits lie past the 10-byte block";
    cdb[0] = 0x28;
    EXPECT_FALSE(DecodeCommand(cdb, c));
}

TEST(VendorProtocolTest, ImageLengthFieldsStayInsideTheBlock) {
    std::vector<uint8_t> block(4096, 0);
    StampImageLength(block.data(), block.size(), 0x00108000);
    EXPECT_EQ(block[2048], 0x00);
    EXPECT_EQ(block[2049], 0x80);
    EXPECT_EQ(block[2050], 0x10);
    block[1024] = 0x34;
    block[1025] = 0x12;
    EXPECT_EQ(ImageLength(block.data(), block.size()), 0x1234u);
    std::vector<uint8_t> small(2050, 0xAA);
    StampImageLength(small.data(), small.size(), 1);
    EXPECT_EQ(small, std::vector<uint8_t>(2050, 0xAA));
    EXPECT_EQ(ImageLength(small.data(), 1027), 0u);
}

}  // namespace
}  // namespace ts::vendor
