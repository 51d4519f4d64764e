// Cost of the SG transport's own handling of one 32 KiB read, with the
// kernel played by a hook that copies the block in: BM_SgRead32K against
// BM_BaseKernelCopy32K (the kernel's copy alone, straight into the caller's
// buffer) from the same run. The difference is the copy out of the
// transport's own buffer, which keeps a failed or late answer away from the
// caller; a real device needs milliseconds for the same block.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "device/DeviceControl.h"
#include "platform/SgTransport.h"

namespace {

using namespace ts;
constexpr uint32_t kBlock = 32768;
constexpr uint32_t kDeviceBytes = 1048576;

void BM_BaseKernelCopy32K(benchmark::State& state) {
    std::vector<uint8_t> device(kDeviceBytes, 1), buffer(kBlock);
    uint32_t k = 0;
    for (auto _ : state) {
        std::memcpy(buffer.data(), device.data() + (k++ % 32) * kBlock, kBlock);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBlock);
}
BENCHMARK(BM_BaseKernelCopy32K);

void BM_SgRead32K(benchmark::State& state) {
    std::vector<uint8_t> device(kDeviceBytes, 1), buffer(kBlock);
    uint32_t k = 0;
    SgTransport transport(-1, [&](int, sg_io_hdr_t* hdr) {
        std::memcpy(hdr->dxferp, device.data() + (k++ % 32) * kBlock, hdr->dxfer_len);
        hdr->status = 0;
        hdr->host_status = 0;
        hdr->driver_status = 0;
        hdr->resid = 0;
        hdr->sb_len_wr = 0;
        return 0;
    });
    for (auto _ : state) {
        PassThroughRequest req;
        DeviceControl::BuildRequest(req, 0x03, kScsiIoctlDataIn, kBlock, 0, kBlock / 512);
        int err = 0;
        if (!SendPassThrough(transport, req, buffer.data(), err))
            state.SkipWithError("send failed");
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBlock);
}
BENCHMARK(BM_SgRead32K);

}  // namespace

BENCHMARK_MAIN();
