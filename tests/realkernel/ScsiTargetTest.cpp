// The disk the test guest's kernel sees: standard commands from storage,
// the vendor command through the simulated firmware, refusals as sense data.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/realkernel/ScsiTarget.h"

namespace ts::rk {
namespace {

constexpr uint32_t kSectors = 2048;

struct Sense {
    uint8_t key, asc;
};

Sense SenseOf(const ScsiResult& r) {
    return {static_cast<uint8_t>(r.sense[2] & 0x0F), r.sense[12]};
}

// Storage that can be pulled: every access then fails as a gone device.
class PullableStorage : public MemoryStorage {
public:
    using MemoryStorage::MemoryStorage;
    bool Attached(int& err) override {
        if (pulled) err = ENODEV;
        return !pulled;
    }
    bool pulled = false;
};

class ScsiTargetTest : public ::testing::Test {
protected:
    ScsiResult Run(std::vector<uint8_t> cdb, std::vector<uint8_t>& data) {
        return target.Execute(cdb, data);
    }
    ScsiResult Run(std::vector<uint8_t> cdb, size_t in) {
        buf.assign(in, 0xAA);
        return target.Execute(cdb, buf);
    }

    std::shared_ptr<PullableStorage> storage = std::make_shared<PullableStorage>(kSectors);
    ScsiTarget target{storage, SimFaults{}, true, "0007"};
    std::vector<uint8_t> buf;
};

TEST_F(ScsiTargetTest, InquiryReportsARemovableDiskCutToTheRoomGiven) {
    ScsiResult r = Run({0x12, 0, 0, 0, 96, 0}, 96);
    ASSERT_EQ(r.status, kStatusGood);
    EXPECT_TRUE(r.toInitiator);
    EXPECT_EQ(r.dataIn, 36u);
    EXPECT_EQ(buf[0], 0x00);  // direct access
    EXPECT_EQ(buf[1], 0x80);  // removable
    EXPECT_EQ(std::string(buf.begin() + 8, buf.begin() + 32), "TAGSMITHSIM DEVICE      ");
    EXPECT_EQ(buf[40], 0);  // beyond the answer: zeroed, not left as it was

    r = Run({0x12, 0, 0, 0, 5, 0}, 5);
    EXPECT_EQ(r.dataIn, 5u);
    EXPECT_EQ(buf[4], 31);
}

TEST_F(ScsiTargetTest, VitalProductPages) {
    struct Case {
        uint8_t page;
        std::vector<uint8_t> head;  // expected first bytes; empty: refused
    };
    const Case cases[] = {
        {0x00, {0x00, 0x00, 0x00, 0x03, 0x00, 0x80, 0x83}},
        {0x80, {0x00, 0x80, 0x00, 0x04, '0', '0', '0', '7'}},
        {0x83, {0x00, 0x83, 0x00, 16, 0x02, 0x00, 0x00, 12, 'T'}},
        {0xB0, {}},
        {0x89, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.page);
        ScsiResult r = Run({0x12, 0x01, c.page, 0, 255, 0}, 255);
        if (c.head.empty()) {
            ASSERT_EQ(r.status, kStatusCheckCondition);
            EXPECT_EQ(SenseOf(r).key, 0x05);
            EXPECT_EQ(SenseOf(r).asc, 0x24);
            continue;
        }
        ASSERT_EQ(r.status, kStatusGood);
        EXPECT_EQ(r.dataIn, size_t{buf[3]} + 4);
        EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + c.head.size()), c.head);
    }
}

TEST_F(ScsiTargetTest, CapacityInBothForms) {
    ScsiResult r = Run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
    ASSERT_EQ(r.status, kStatusGood);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.end()),
              (std::vector<uint8_t>{0, 0, 0x07, 0xFF, 0, 0, 0x02, 0x00}));

    r = Run({0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 32);
    ASSERT_EQ(r.status, kStatusGood);
    EXPECT_EQ(r.dataIn, 32u);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 12),
              (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0x07, 0xFF, 0, 0, 0x02, 0x00}));

    // Another service action of the same opcode is not READ CAPACITY.
    r = Run({0x9E, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 32);
    EXPECT_EQ(r.status, kStatusCheckCondition);
}

TEST_F(ScsiTargetTest, BlockReadsAndWritesStayInsideTheDiskAndTheBuffer) {
    struct Case {
        const char* name;
        std::vector<uint8_t> cdb;
        size_t dataLength;
        uint8_t status;
        Sense sense;
    };
    const Case cases[] = {
        {"write(10) at the last sector", {0x2A, 0, 0, 0, 0x07, 0xFF, 0, 0, 1, 0}, 512, 0, {}},
        {"read(16) at 1000",
         {0x88, 0, 0, 0, 0, 0, 0, 0, 0x03, 0xE8, 0, 0, 0, 2, 0, 0},
         1024,
         0,
         {}},
        {"write(6) at 5", {0x0A, 0, 0, 5, 1, 0}, 512, 0, {}},
        {"read(12) of nothing", {0xA8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}},
        {"write(10) past the end", {0x2A, 0, 0, 0, 0x07, 0xFF, 0, 0, 2, 0}, 1024, 2, {5, 0x21}},
        {"read(16) with a huge address",
         {0x88, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1, 0, 0},
         512,
         2,
         {5, 0x21}},
        {"read(10) whose count exceeds the data phase",
         {0x28, 0, 0, 0, 0, 0, 0, 0, 8, 0},
         512,
         2,
         {5, 0x24}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> data(c.dataLength, 0x5C);
        ScsiResult r = Run(c.cdb, data);
        ASSERT_EQ(r.status, c.status);
        if (c.status != 0) {
            EXPECT_EQ(SenseOf(r).key, c.sense.key);
            EXPECT_EQ(SenseOf(r).asc, c.sense.asc);
        }
    }
    EXPECT_EQ(storage->bytes[2047 * 512], 0x5C);
    EXPECT_EQ(storage->bytes[5 * 512 + 511], 0x5C);
    EXPECT_EQ(storage->bytes[6 * 512], 0x00);

    std::vector<uint8_t> back(512);
    ScsiResult r = Run({0x28, 0, 0, 0, 0x07, 0xFF, 0, 0, 1, 0}, back);
    ASSERT_EQ(r.status, kStatusGood);
    EXPECT_EQ(r.dataIn, 512u);
    EXPECT_EQ(back, std::vector<uint8_t>(512, 0x5C));
}

TEST_F(ScsiTargetTest, VendorCommandsReachTheFirmware) {
    ScsiResult r = Run({0xF3, 0x00, 0, 0, 0, 0, 0, 0, 32, 0}, 32);
    ASSERT_EQ(r.status, kStatusGood);
    EXPECT_TRUE(r.toInitiator);
    EXPECT_EQ(r.dataIn, 32u);
    EXPECT_EQ(std::memcmp(buf.data(), "usbhandshake", 13), 0);
    EXPECT_EQ(buf[16] | buf[17] << 8, 2048);

    std::vector<uint8_t> block(512, 0x31);
    r = Run({0xF3, 0x01, 0, 0, 3, 0, 0, 0, 1, 0}, block);
    ASSERT_EQ(r.status, kStatusGood);
    EXPECT_FALSE(r.toInitiator);
    EXPECT_EQ(storage->bytes[3 * 512], 0x31);

    r = Run({0xF3, 0x02, 0, 0, 0, 0, 0, 0, 32, 0}, 32);
    ASSERT_EQ(r.status, kStatusGood);
    EXPECT_STREQ(reinterpret_cast<const char*>(buf.data()), "usb_dataok");
}

TEST_F(ScsiTargetTest, RefusalsCarrySense) {
    struct Case {
        const char* name;
        const char* faults;
        bool vendor;
        std::vector<uint8_t> cdb;
        size_t in;
        Sense sense;
    };
    const Case cases[] = {
        {"ordinary disk refuses the vendor command",
         "",
         false,
         {0xF3, 0x00, 0, 0, 0, 0, 0, 0, 32, 0},
         32,
         {5, 0x20}},
        {"forced write status",
         "status=write:2",
         true,
         {0xF3, 0x01, 0, 0, 0, 0, 0, 0, 1, 0},
         512,
         {4, 0x44}},
        {"call failure becomes a device failure",
         "fail_at=finish:1",
         true,
         {0xF3, 0x02, 0, 0, 0, 0, 0, 0, 32, 0},
         32,
         {4, 0x44}},
        {"vendor read past the end",
         "",
         true,
         {0xF3, 0x03, 0, 0, 0xFF, 0x07, 0, 0, 2, 0},
         1024,
         {5, 0x21}},
        {"unknown standard opcode", "", true, {0x4D, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 64, {5, 0x20}},
        {"command block cut short", "", true, {0x28, 0, 0}, 0, {5, 0x24}},
        {"mode page not kept", "", true, {0x1A, 0, 0x1C, 0, 64, 0}, 64, {5, 0x24}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScsiTarget t(storage, ParseSimFaults(c.faults, "test"), c.vendor, "1");
        std::vector<uint8_t> data(c.in, 0xAA);
        ScsiResult r = t.Execute(c.cdb, data);
        ASSERT_EQ(r.status, kStatusCheckCondition);
        EXPECT_EQ(r.dataIn, 0u);
        EXPECT_GE(r.senseLength, 18u);
        EXPECT_EQ(r.sense[0], 0x70);
        EXPECT_EQ(SenseOf(r).key, c.sense.key);
        EXPECT_EQ(SenseOf(r).asc, c.sense.asc);
    }
    EXPECT_EQ(storage->bytes[0], 0) << "a refused write stored nothing";
}

TEST_F(ScsiTargetTest, APulledMediumIsNotPresentForEveryCommand) {
    storage->pulled = true;
    const std::vector<std::vector<uint8_t>> cdbs = {
        {0x00, 0, 0, 0, 0, 0},
        {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0},
        {0xF3, 0x00, 0, 0, 0, 0, 0, 0, 32, 0},
    };
    for (const auto& cdb : cdbs) {
        SCOPED_TRACE(cdb[0]);
        std::vector<uint8_t> data(cdb[0] == 0x28 ? 512 : 32);
        ScsiResult r = Run(cdb, data);
        ASSERT_EQ(r.status, kStatusCheckCondition);
        EXPECT_EQ(SenseOf(r).key, 0x02);
        EXPECT_EQ(SenseOf(r).asc, 0x3A);
    }
}

TEST_F(ScsiTargetTest, ModeSenseShowsAWritableDiskWithoutWriteCache) {
    ScsiResult r = Run({0x1A, 0, 0x3F, 0, 192, 0}, 192);
    ASSERT_EQ(r.status, kStatusGood);
    EXPECT_EQ(r.dataIn, size_t{buf[0]} + 1);
    EXPECT_EQ(buf[2] & 0x80, 0) << "write-protected";
    EXPECT_EQ(buf[3], 0) << "block descriptors";
    EXPECT_EQ(buf[4], 0x08);
    EXPECT_EQ(buf[6] & 0x04, 0) << "write cache enabled";

    r = Run({0x5A, 0, 0x08, 0, 0, 0, 0, 0, 64, 0}, 64);
    ASSERT_EQ(r.status, kStatusGood);
    EXPECT_EQ(r.dataIn, size_t{buf[1]} + 2);
    EXPECT_EQ(buf[8], 0x08);
}

}  // namespace
}  // namespace ts::rk
