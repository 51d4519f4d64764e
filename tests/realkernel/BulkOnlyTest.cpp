// The USB stick's transport: what a CSW says about each command, the sense
// kept for the host's REQUEST SENSE, and data phases that do not fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "device/VendorProtocol.h"
#include "tests/realkernel/BulkOnly.h"

namespace ts::rk {
namespace {

constexpr uint32_t kSectors = 256;

std::vector<uint8_t> CbwBytes(uint32_t tag, uint32_t length, bool toHost,
                              std::vector<uint8_t> cdb) {
    std::vector<uint8_t> b(kCbwLength, 0);
    b[0] = 'U', b[1] = 'S', b[2] = 'B', b[3] = 'C';
    for (int i = 0; i < 4; ++i) {
        b[4 + i] = static_cast<uint8_t>(tag >> (8 * i));
        b[8 + i] = static_cast<uint8_t>(length >> (8 * i));
    }
    b[12] = toHost ? 0x80 : 0x00;
    b[14] = static_cast<uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), b.begin() + 15);
    return b;
}

// The vendor command: sub-command, start sector, count or answer length.
std::vector<uint8_t> Vendor(uint8_t sub, uint32_t p1, uint32_t p2) {
    uint8_t cdb[16];
    vendor::EncodeCommand(cdb, sub, p1, p2);
    return {cdb, cdb + vendor::kCdbLength};
}

struct Stick {
    explicit Stick(SimFaults faults = {})
        : storage(std::make_shared<MemoryStorage>(kSectors)),
          target(storage, std::move(faults), true, "0001"),
          device(target) {}
    BulkOnlyDevice::Outcome Run(uint32_t length, bool toHost, std::vector<uint8_t> cdb,
                                uint8_t fill = 0) {
        const auto cbw = ParseCbw(CbwBytes(7, length, toHost, std::move(cdb)));
        EXPECT_TRUE(cbw);
        data.assign(length, fill);
        return device.Run(*cbw, data);
    }
    std::shared_ptr<MemoryStorage> storage;
    ScsiTarget target;
    BulkOnlyDevice device;
    std::vector<uint8_t> data;
};

TEST(BulkOnlyTest, OnlyAWholeSignedCbwWithACommandIsACommand) {
    const auto good = CbwBytes(0x01020304, 512, true, Vendor(0, 0, 512));
    const auto cbw = ParseCbw(good);
    ASSERT_TRUE(cbw);
    EXPECT_EQ(cbw->tag, 0x01020304u);
    EXPECT_EQ(cbw->length, 512u);
    EXPECT_TRUE(cbw->toHost);
    EXPECT_EQ(cbw->cdbLength, 10);

    const std::vector<uint8_t> shortOne(good.begin(), good.end() - 1);
    auto unsigned_ = good;
    unsigned_[3] = 'D';
    auto noCommand = good;
    noCommand[14] = 0;
    auto tooLong = good;
    tooLong[14] = 17;
    for (const auto& bad : {shortOne, unsigned_, noCommand, tooLong}) EXPECT_FALSE(ParseCbw(bad));
}

TEST(BulkOnlyTest, TheCswCarriesTheTagStatusAndResidue) {
    SimFaults shortHandshake;
    shortHandshake.shortAt.at[0] = {1};
    SimFaults refusedWrite;
    refusedWrite.status[1] = 2;
    SimFaults shortWrite;
    shortWrite.shortAt.at[1] = {1};
    struct Case {
        const char* what;
        SimFaults faults;
        uint32_t length;
        bool toHost;
        std::vector<uint8_t> cdb;
        uint8_t status;
        uint32_t residue;
        size_t dataIn;
    } cases[] = {
        {"handshake", {}, 512, true, Vendor(0, 0, 512), kCswPassed, 0, 512},
        {"half a handshake", shortHandshake, 512, true, Vendor(0, 0, 512), kCswPassed, 256, 256},
        {"write", {}, 1024, false, Vendor(1, 4, 2), kCswPassed, 0, 0},
        {"refused write", refusedWrite, 1024, false, Vendor(1, 4, 2), kCswFailed, 1024, 0},
        {"half a write taken", shortWrite, 1024, false, Vendor(1, 4, 2), kCswPassed, 512, 0},
        {"WRITE(10)", {}, 1024, false, {0x2A, 0, 0, 0, 0, 4, 0, 0, 2, 0}, kCswPassed, 0, 0},
        {"read past the end", {}, 1024, true, Vendor(3, kSectors - 1, 2), kCswFailed, 1024, 0},
        {"INQUIRY with more room than its answer",
         {},
         96,
         true,
         {0x12, 0, 0, 0, 96, 0},
         kCswPassed,
         60,
         36},
        {"vendor write with its data towards the host",
         {},
         512,
         true,
         Vendor(1, 0, 1),
         kCswPhaseError,
         512,
         0},
        {"vendor read with data from the host",
         {},
         512,
         false,
         Vendor(3, 0, 1),
         kCswPhaseError,
         512,
         0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        Stick stick(c.faults);
        const auto o = stick.Run(c.length, c.toHost, c.cdb, 0x5A);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.residue, c.residue);
        EXPECT_EQ(o.dataIn, c.dataIn);
        const std::vector<uint8_t> csw(o.csw.begin(), o.csw.end());
        EXPECT_EQ(csw, (std::vector<uint8_t>{
                           'U', 'S', 'B', 'S', 7, 0, 0, 0, static_cast<uint8_t>(c.residue),
                           static_cast<uint8_t>(c.residue >> 8), 0, 0, c.status}));
        // Nothing the host did not mean to write reached the medium.
        if (c.status != kCswPassed || c.toHost || c.residue == c.length) {
            EXPECT_TRUE(std::all_of(stick.storage->bytes.begin(), stick.storage->bytes.end(),
                                    [](uint8_t b) { return b == 0; }));
        }
    }
}

TEST(BulkOnlyTest, TheSenseOfARefusalIsKeptForTheNextRequestSenseOnly) {
    SimFaults refusedWrite;
    refusedWrite.status[1] = 2;
    Stick stick(refusedWrite);
    ASSERT_EQ(stick.Run(512, false, Vendor(1, 0, 1)).status, kCswFailed);
    auto o = stick.Run(18, true, {0x03, 0, 0, 0, 18, 0});
    EXPECT_EQ(o.status, kCswPassed);
    ASSERT_EQ(o.dataIn, 18u);
    EXPECT_EQ(stick.data[0], 0x70);
    EXPECT_EQ(stick.data[2] & 0x0F, 0x04);  // hardware error, as the firmware said
    EXPECT_EQ(stick.data[12], 0x44);
    // Asked again, or after another command, there is nothing to report.
    o = stick.Run(18, true, {0x03, 0, 0, 0, 18, 0});
    EXPECT_EQ(stick.data[2] & 0x0F, 0);
    ASSERT_EQ(stick.Run(512, false, Vendor(1, 0, 1)).status, kCswFailed);
    EXPECT_EQ(stick.Run(0, false, {0x00, 0, 0, 0, 0, 0}).status, kCswPassed);
    stick.Run(18, true, {0x03, 0, 0, 0, 18, 0});
    EXPECT_EQ(stick.data[2] & 0x0F, 0);
    // A reset drops it as well.
    ASSERT_EQ(stick.Run(512, false, Vendor(1, 0, 1)).status, kCswFailed);
    stick.device.Reset();
    stick.Run(18, true, {0x03, 0, 0, 0, 18, 0});
    EXPECT_EQ(stick.data[2] & 0x0F, 0);
}

}  // namespace
}  // namespace ts::rk
