// Cost of the simulated line against the plain operations it wraps
// (memcpy for memory storage, pread/pwrite for image files). Compare each
// BM_Sim* figure with its BM_Base* partner from the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "device/DeviceControl.h"
#include "sim/MemoryLine.h"
#include "sim/SimLine.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ts;
constexpr uint32_t kBlock = 32768;
constexpr uint32_t kSectors = 2048;

void BM_BaseMemcpy32K(benchmark::State& state) {
    std::vector<uint8_t> src(kSectors * 512, 1), dst(kBlock);
    uint32_t k = 0;
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data() + (k++ % 32) * kBlock, kBlock);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBlock);
}

void BM_SimMemoryRead32K(benchmark::State& state) {
    MemoryLine line;
    line.Plug('E', kSectors);
    DeviceControl ctl(&line);
    DeviceHandle* dev = ctl.DeviceOpen("E:\\", kGenericRead | kGenericWrite, 3);
    std::vector<uint8_t> dst(kBlock);
    uint32_t k = 0;
    for (auto _ : state) {
        ctl.DeviceRead(dev, (k++ % 32) * 64, dst.data(), kBlock);
        benchmark::DoNotOptimize(dst.data());
    }
    ctl.DeviceClose(dev);
    state.SetBytesProcessed(int64_t(state.iterations()) * kBlock);
}

struct ImageFolder {
    ImageFolder() {
        std::string error;
        SimPlug(dir.Path().string(), 'E', kSectors, false, error);
        path = (dir.Path() / "E.img").string();
    }
    test::TempDir dir;
    std::string path;
};

void BM_BasePread32K(benchmark::State& state) {
    ImageFolder f;
    int fd = ::open(f.path.c_str(), O_RDWR);
    std::vector<uint8_t> dst(kBlock);
    uint32_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(::pread(fd, dst.data(), kBlock, (k++ % 32) * off_t{kBlock}));
    }
    ::close(fd);
    state.SetBytesProcessed(int64_t(state.iterations()) * kBlock);
}

void BM_SimFileRead32K(benchmark::State& state) {
    ImageFolder f;
    auto line = MakeSimLine(f.dir.Path().string());
    DeviceControl ctl(line.get());
    DeviceHandle* dev = ctl.DeviceOpen("E:\\", kGenericRead | kGenericWrite, 3);
    std::vector<uint8_t> dst(kBlock);
    uint32_t k = 0;
    for (auto _ : state) {
        ctl.DeviceRead(dev, (k++ % 32) * 64, dst.data(), kBlock);
    }
    ctl.DeviceClose(dev);
    state.SetBytesProcessed(int64_t(state.iterations()) * kBlock);
}

void BM_BasePwrite32K(benchmark::State& state) {
    ImageFolder f;
    int fd = ::open(f.path.c_str(), O_RDWR);
    std::vector<uint8_t> src(kBlock, 7);
    uint32_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(::pwrite(fd, src.data(), kBlock, (k++ % 32) * off_t{kBlock}));
    }
    ::close(fd);
    state.SetBytesProcessed(int64_t(state.iterations()) * kBlock);
}

void BM_SimFileWrite32K(benchmark::State& state) {
    ImageFolder f;
    auto line = MakeSimLine(f.dir.Path().string());
    DeviceControl ctl(line.get());
    DeviceHandle* dev = ctl.DeviceOpen("E:\\", kGenericRead | kGenericWrite, 3);
    std::vector<uint8_t> src(kBlock, 7);
    uint32_t k = 0;
    for (auto _ : state) {
        ctl.DeviceWrite(dev, (k++ % 32) * 64, src.data(), kBlock);
    }
    ctl.DeviceClose(dev);
    state.SetBytesProcessed(int64_t(state.iterations()) * kBlock);
}

// What a device scan pays per drive: open, handshake, close.
void BM_BaseOpenClose(benchmark::State& state) {
    ImageFolder f;
    for (auto _ : state) ::close(::open(f.path.c_str(), O_RDWR));
}

void BM_SimFileOpenHandshakeClose(benchmark::State& state) {
    ImageFolder f;
    auto line = MakeSimLine(f.dir.Path().string());
    DeviceControl ctl(line.get());
    uint8_t buf[32];
    for (auto _ : state) {
        DeviceHandle* dev = ctl.DeviceOpen("E:\\", kGenericRead | kGenericWrite, 3);
        ctl.HandShake(dev, buf, 32);
        ctl.DeviceClose(dev);
    }
}

void BM_SimFileListDrives(benchmark::State& state) {
    ImageFolder f;
    std::string error;
    for (char c : {'F', 'G', 'H', 'K'}) SimPlug(f.dir.Path().string(), c, 8, c == 'G', error);
    auto line = MakeSimLine(f.dir.Path().string());
    for (auto _ : state) benchmark::DoNotOptimize(line->ListDrives());
}

BENCHMARK(BM_BaseMemcpy32K);
BENCHMARK(BM_SimMemoryRead32K);
BENCHMARK(BM_BasePread32K);
BENCHMARK(BM_SimFileRead32K);
BENCHMARK(BM_BasePwrite32K);
BENCHMARK(BM_SimFileWrite32K);
BENCHMARK(BM_BaseOpenClose);
BENCHMARK(BM_SimFileOpenHandshakeClose);
BENCHMARK(BM_SimFileListDrives);

}  // namespace

BENCHMARK_MAIN();
