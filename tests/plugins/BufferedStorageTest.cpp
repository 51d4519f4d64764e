// The write buffer in front of an image file: it must read and end up with
// exactly what unbuffered writes give, reach the file in few writes, and
// report a write that fails.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <vector>

#include "FatVolume.h"
#include "Storage.h"
#include "VolkitTestUtil.h"

namespace ts::test {
namespace {

using volkit::BufferedStorage;
using volkit::FatVolume;
using volkit::MemoryStorage;
using volkit::Storage;

constexpr size_t kPage = BufferedStorage::kPage;

// Memory that counts what reaches it and can refuse writes.
class CountingStorage final : public Storage {
public:
    uint64_t Size() const override { return mem.Size(); }
    bool Writable() const override { return true; }
    int64_t ReadAt(uint64_t off, void* buf, size_t n) override {
        ++reads;
        return mem.ReadAt(off, buf, n);
    }
    bool WriteAt(uint64_t off, const void* buf, size_t n) override {
        if (failWrites) {
            errno = ENOSPC;
            return false;
        }
        ++writes;
        return mem.WriteAt(off, buf, n);
    }
    bool Resize(uint64_t n) override {
        resizes.push_back(n);
        return mem.Resize(n);
    }
    const std::vector<uint8_t>& Bytes() const { return mem.Bytes(); }

    MemoryStorage mem{{}};
    int reads = 0;
    int writes = 0;
    std::vector<uint64_t> resizes;
    bool failWrites = false;
};

std::vector<uint8_t> Read(Storage& s, uint64_t off, size_t n) {
    std::vector<uint8_t> out(n, 0xEE);
    const int64_t got = s.ReadAt(off, out.data(), n);
    out.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return out;
}

// Random writes, reads, cuts and commits over page edges and past the end,
// done both buffered and straight into memory: every read and the final
// bytes agree. Small limits make the buffer commit on its own as well.
TEST(BufferedStorage, ReadsAndEndsUpAsUnbufferedWrites) {
    for (size_t limit : {kPage, 3 * kPage, size_t{1} << 20}) {
        SCOPED_TRACE(limit);
        std::mt19937 rng(7);
        MemoryStorage plain({});
        CountingStorage below;
        // Old contents, so that partly written pages must keep them.
        const std::string old = Pattern(5 * kPage + 123, 9);
        plain.WriteAt(0, old.data(), old.size());
        below.mem.WriteAt(0, old.data(), old.size());
        BufferedStorage buffered(below, limit);
        const uint64_t span = 12 * kPage;
        for (int step = 0; step < 3000; ++step) {
            const uint64_t off = rng() % span;
            const size_t n = rng() % 3 == 0 ? rng() % (3 * kPage) : rng() % 64;
            switch (rng() % 10) {
                case 0:
                case 1:
                case 2:
                case 3: {
                    const std::string data = Pattern(n, step);
                    ASSERT_TRUE(plain.WriteAt(off, data.data(), n));
                    ASSERT_TRUE(buffered.WriteAt(off, data.data(), n));
                    break;
                }
                case 4:
                case 5:
                case 6:
                    ASSERT_EQ(Read(buffered, off, n), Read(plain, off, n)) << step;
                    break;
                case 7:
                    if (rng() % 8 == 0) {
                        const uint64_t size = rng() % span;
                        ASSERT_TRUE(plain.Resize(size));
                        ASSERT_TRUE(buffered.Resize(size));
                    }
                    break;
                default:
                    ASSERT_TRUE(buffered.Commit());
                    ASSERT_EQ(below.Bytes(), plain.Bytes()) << step;
                    break;
            }
            ASSERT_EQ(buffered.Size(), plain.Size()) << step;
        }
        ASSERT_TRUE(buffered.Commit());
        EXPECT_EQ(below.Bytes(), plain.Bytes());
    }
}

// The write flow's image: formatted, the staged tree copied in, closed. The
// file below sees a handful of writes in all, is never cut to nothing when
// it is empty, and is not read where it holds only zeros.
TEST(BufferedStorage, AnImageReachesTheFileInAFewWrites) {
    TempDir dir;
    Put(dir.Path() / "SN" / "ID.txt", std::string("0x1A2B3C\0", 9));
    Put(dir.Path() / "ulpk0" / "ulpkData.bin", Pattern(65536, 1));
    Put(dir.Path() / "ulpk1" / "ulpkData.bin", Pattern(65536, 1));

    CountingStorage below;
    BufferedStorage buffered(below);
    std::unique_ptr<FatVolume> vol;
    ASSERT_EQ(FatVolume::Format(buffered, 2, 2048, "MIDINFO", &vol), 0);
    ASSERT_TRUE(buffered.Commit());
    ASSERT_EQ(vol->ImportDir(dir.Path().string(), "\\"), 0);
    ASSERT_TRUE(buffered.Commit());
    ASSERT_EQ(vol->Flush(), 0);
    ASSERT_TRUE(buffered.Commit());

    EXPECT_EQ(below.resizes, std::vector<uint64_t>{2048u * 512});
    EXPECT_LE(below.writes, 6);
    EXPECT_EQ(below.reads, 0);

    // What reached the memory is a sound volume holding the files.
    std::unique_ptr<FatVolume> again;
    ASSERT_EQ(FatVolume::Mount(below.mem, &again), 0);
    volkit::FileCursor f;
    ASSERT_EQ(again->Open("\\ulpk1\\ulpkData.bin", 3, true, false, &f), 0);
    std::string back(65536, '\0');
    int err = 0;
    ASSERT_EQ(again->Read(f, back.data(), 65536, &err), 65536);
    EXPECT_EQ(back, Pattern(65536, 1));
}

// Formatting an empty image only grows it; old contents are cut away first.
TEST(FatFormat, AnEmptyImageIsOnlyGrown) {
    struct Case {
        const char* name;
        std::string old;
        std::vector<uint64_t> resizes;
    };
    const std::vector<Case> cases = {
        {"empty", "", {2048u * 512}},
        {"old contents", "old", {0, 2048u * 512}},
    };
    for (const auto& c : cases) {
        CountingStorage s;
        s.mem.WriteAt(0, c.old.data(), c.old.size());
        std::unique_ptr<FatVolume> vol;
        ASSERT_EQ(FatVolume::Format(s, 2, 2048, "MIDINFO", &vol), 0) << c.name;
        EXPECT_EQ(s.resizes, c.resizes) << c.name;
    }
}

TEST(BufferedStorage, AFailedWriteIsReportedAndForgotten) {
    CountingStorage below;
    const std::string old = Pattern(2 * kPage, 4);
    below.mem.WriteAt(0, old.data(), old.size());
    BufferedStorage buffered(below);
    const std::string data = Pattern(100, 5);
    ASSERT_TRUE(buffered.WriteAt(kPage - 50, data.data(), data.size()));
    below.failWrites = true;
    errno = 0;
    EXPECT_FALSE(buffered.Commit());
    EXPECT_EQ(errno, ENOSPC);
    // The buffer holds nothing more: reads show what the storage holds.
    const std::vector<uint8_t> expected(old.begin() + kPage - 50, old.begin() + kPage + 50);
    EXPECT_EQ(Read(buffered, kPage - 50, 100), expected);
    EXPECT_TRUE(buffered.Commit());  // nothing left to write

    // With a small limit the write itself commits, and reports the failure.
    BufferedStorage small(below, kPage);
    const std::string big = Pattern(3 * kPage, 6);
    errno = 0;
    EXPECT_FALSE(small.WriteAt(0, big.data(), big.size()));
    EXPECT_EQ(errno, ENOSPC);
}

}  // namespace
}  // namespace ts::test
