// The command ring as the kernel lays it out, built in memory: commands are
// answered in place, data is gathered and scattered through the iovecs, and
// nothing a malformed entry names is touched outside the mapping.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/realkernel/TcmuRing.h"

namespace ts::rk {
namespace {

using namespace tcmu;

constexpr uint32_t kRingOff = 128;
constexpr uint32_t kRingSize = 1024;
constexpr size_t kDataOff = kRingOff + kRingSize;
constexpr size_t kMapSize = kDataOff + 8192;

struct Iov {
    uint64_t offset, length;
};

// A mapping with a mailbox, a ring and a data area; entries are added at the
// head as the kernel adds them.
class FakeMap {
public:
    FakeMap() : words_(kMapSize / 8, 0) {
        Put16(kMbVersion, 2);
        Put16(kMbFlags, kCapReadLen);
        Put32(kMbCmdrOff, kRingOff);
        Put32(kMbCmdrSize, kRingSize);
    }
    uint8_t* Bytes() { return reinterpret_cast<uint8_t*>(words_.data()); }
    uint32_t Get32(size_t at) {
        uint32_t v;
        std::memcpy(&v, Bytes() + at, 4);
        return v;
    }
    void Put16(size_t at, uint16_t v) { std::memcpy(Bytes() + at, &v, 2); }
    void Put32(size_t at, uint32_t v) { std::memcpy(Bytes() + at, &v, 4); }
    void Put64(size_t at, uint64_t v) { std::memcpy(Bytes() + at, &v, 8); }
    uint32_t Head() { return Get32(kMbCmdHead); }
    uint32_t Tail() { return Get32(kMbCmdTail); }

    // Adds a command entry and returns its offset in the mapping.
    size_t AddCommand(const std::vector<uint8_t>& cdb, const std::vector<Iov>& iov,
                      uint16_t id = 7) {
        const size_t base = kReqIov + iov.size() * kIovSize;
        size_t length = (base + cdb.size() + 7) / 8 * 8;
        if (length < kEntrySize) length = kEntrySize;
        const size_t entry = kRingOff + Head();
        Put32(entry + kHdrLenOp, static_cast<uint32_t>(length) | kOpCmd);
        Put16(entry + 4, id);
        Put32(entry + kReqIovCnt, static_cast<uint32_t>(iov.size()));
        Put64(entry + kReqCdbOff, entry + base);
        for (size_t i = 0; i < iov.size(); ++i) {
            Put64(entry + kReqIov + i * kIovSize, iov[i].offset);
            Put64(entry + kReqIov + i * kIovSize + 8, iov[i].length);
        }
        std::memcpy(Bytes() + entry + base, cdb.data(), cdb.size());
        Advance(length);
        return entry;
    }
    void AddOther(uint32_t op, uint32_t length) {
        Put32(kRingOff + Head() + kHdrLenOp, length | op);
        Advance(length);
    }
    void Advance(size_t length) { Put32(kMbCmdHead, (Head() + length) % kRingSize); }
    void SetTail(uint32_t at) {
        Put32(kMbCmdHead, at);
        Put32(kMbCmdTail, at);
    }

private:
    std::vector<uint64_t> words_;  // 8-byte aligned, as a page is
};

class TcmuRingTest : public ::testing::Test {
protected:
    long Process() {
        return ring.Process([this](std::span<const uint8_t> cdb, std::span<uint8_t> data) {
            seenCdbs.emplace_back(cdb.begin(), cdb.end());
            return target.Execute(cdb, data);
        });
    }
    uint8_t Status(size_t entry) { return map.Bytes()[entry + kRspStatus]; }
    uint8_t SenseKey(size_t entry) { return map.Bytes()[entry + kRspSense + 2] & 0x0F; }

    FakeMap map;
    TcmuRing ring{map.Bytes(), kMapSize};
    std::shared_ptr<MemoryStorage> storage = std::make_shared<MemoryStorage>(64);
    ScsiTarget target{storage, SimFaults{}, true, "1"};
    std::vector<std::vector<uint8_t>> seenCdbs;
};

TEST_F(TcmuRingTest, AnswersAreScatteredAcrossIovecsAfterTheReplyOverlaysThem) {
    for (size_t i = 0; i < 1024; ++i) storage->bytes[512 + i] = static_cast<uint8_t>(i * 3);
    // READ(10) of sectors 1-2 into two uneven pieces.
    const size_t entry = map.AddCommand({0x28, 0, 0, 0, 0, 1, 0, 0, 2, 0},
                                        {{kDataOff + 100, 300}, {kDataOff + 2000, 724}});
    ASSERT_EQ(Process(), 1);
    EXPECT_EQ(map.Tail(), map.Head());
    ASSERT_EQ(Status(entry), kStatusGood);
    EXPECT_EQ(map.Get32(entry + 4) & 0xFFFF, 7u) << "the command id is the kernel's";
    EXPECT_EQ(std::memcmp(map.Bytes() + kDataOff + 100, storage->bytes.data() + 512, 300), 0);
    EXPECT_EQ(std::memcmp(map.Bytes() + kDataOff + 2000, storage->bytes.data() + 812, 724), 0);
    EXPECT_EQ(map.Bytes()[kDataOff + 99], 0);
    EXPECT_EQ(map.Bytes()[kDataOff + 400], 0);
}

TEST_F(TcmuRingTest, WritesGatherTheirData) {
    std::memset(map.Bytes() + kDataOff, 0x41, 200);
    std::memset(map.Bytes() + kDataOff + 4096, 0x42, 312);
    const size_t entry = map.AddCommand({0xF3, 0x01, 0, 0, 2, 0, 0, 0, 1, 0},
                                        {{kDataOff, 200}, {kDataOff + 4096, 312}});
    ASSERT_EQ(Process(), 1);
    ASSERT_EQ(Status(entry), kStatusGood);
    EXPECT_EQ(storage->bytes[2 * 512 + 199], 0x41);
    EXPECT_EQ(storage->bytes[2 * 512 + 200], 0x42);
    EXPECT_EQ(storage->bytes[3 * 512 - 1], 0x42);
}

TEST_F(TcmuRingTest, ShortAnswersReportTheirLengthAndRefusalsTheirSense) {
    const size_t inquiry = map.AddCommand({0x12, 0, 0, 0, 96, 0}, {{kDataOff, 96}});
    const size_t unknown =
        map.AddCommand({0x4D, 0, 0, 0, 0, 0, 0, 0, 64, 0}, {{kDataOff + 96, 64}});
    ASSERT_EQ(Process(), 2);
    EXPECT_EQ(Status(inquiry), kStatusGood);
    EXPECT_TRUE(map.Bytes()[inquiry + kHdrUflags] & kUflagReadLen);
    EXPECT_EQ(map.Get32(inquiry + kRspReadLen), 36u);
    EXPECT_EQ(map.Bytes()[kDataOff + 1], 0x80);
    EXPECT_EQ(Status(unknown), kStatusCheckCondition);
    EXPECT_EQ(SenseKey(unknown), 0x05);
    EXPECT_EQ(map.Bytes()[unknown + kRspSense + 12], 0x20);
    EXPECT_FALSE(map.Bytes()[unknown + kHdrUflags] & kUflagReadLen);
}

TEST_F(TcmuRingTest, PaddingWrapsTheRingAndOtherEntriesAreNotAnswered) {
    map.SetTail(kRingSize - 256);
    map.AddOther(kOpTmr, 64);
    map.AddOther(kOpPad, 192);
    ASSERT_EQ(map.Head(), 0u);
    const size_t entry = map.AddCommand({0x00, 0, 0, 0, 0, 0}, {});
    map.AddOther(5, 64);  // an operation this handler does not know
    ASSERT_EQ(Process(), 4);
    EXPECT_EQ(map.Tail(), map.Head());
    EXPECT_EQ(seenCdbs.size(), 1u);
    EXPECT_EQ(Status(entry), kStatusGood);
    EXPECT_TRUE(map.Bytes()[entry + kEntrySize + kHdrUflags] & kUflagUnknownOp);
    EXPECT_EQ(map.Bytes()[kRingOff + kRingSize - 256 + kHdrUflags], 0) << "the TMR entry";
}

TEST_F(TcmuRingTest, EntriesNamingMemoryOutsideTheMappingAreRefused) {
    struct Case {
        const char* name;
        std::vector<Iov> iov;
        int64_t cdbShift;  // moves the CDB offset away from the entry
    };
    const Case cases[] = {
        {"iovec past the end", {{kMapSize - 10, 20}}, 0},
        {"iovec offset overflows", {{~uint64_t{0} - 4, 512}}, 0},
        {"iovec lengths add up past the mapping",
         {{kDataOff, kMapSize - kDataOff}, {kDataOff, 1200}},
         0},
        {"CDB outside its entry", {{kDataOff, 512}}, 4096},
        {"CDB before its entry", {{kDataOff, 512}}, -400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t entry = map.AddCommand({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, c.iov);
        if (c.cdbShift != 0)
            map.Put64(entry + kReqCdbOff, map.Get32(entry + kReqCdbOff) + c.cdbShift);
        seenCdbs.clear();
        ASSERT_EQ(Process(), 1);
        EXPECT_TRUE(seenCdbs.empty());
        EXPECT_EQ(Status(entry), kStatusCheckCondition);
        EXPECT_EQ(SenseKey(entry), 0x04);
        EXPECT_EQ(map.Tail(), map.Head());
    }
}

TEST_F(TcmuRingTest, AMalformedRingStopsWithoutMovingTheTail) {
    struct Case {
        const char* name;
        void (*spoil)(FakeMap&);
    };
    const Case cases[] = {
        {"entry of length 0",
         [](FakeMap& m) {
             m.AddOther(kOpCmd, 0);
             m.Put32(kMbCmdHead, 120);
         }},
        {"entry longer than the ring",
         [](FakeMap& m) {
             m.AddOther(kOpCmd, kRingSize + 8);
             m.Put32(kMbCmdHead, 8);
         }},
        {"command entry too short for its reply", [](FakeMap& m) { m.AddOther(kOpCmd, 64); }},
        {"head outside the ring", [](FakeMap& m) { m.Put32(kMbCmdHead, kRingSize + 64); }},
        {"ring outside the mapping",
         [](FakeMap& m) {
             m.Put32(kMbCmdrSize, kMapSize);
             m.AddOther(kOpPad, 64);
         }},
        {"unknown mailbox version",
         [](FakeMap& m) {
             m.Put16(kMbVersion, 9);
             m.AddOther(kOpPad, 64);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeMap m;
        c.spoil(m);
        TcmuRing r(m.Bytes(), kMapSize);
        EXPECT_EQ(r.Process([](auto, auto) { return ScsiResult{}; }), -1);
        EXPECT_EQ(m.Tail(), 0u);
    }
}

}  // namespace
}  // namespace ts::rk
