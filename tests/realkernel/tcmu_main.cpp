// tagsmith-tcmu: serves one TCMU backstore (its /dev/uioN node) as a
// removable disk whose vendor commands are answered by the simulated device
// firmware, over an image file. Used inside the test guest, where a tcm_loop
// target makes the backstore a real SCSI disk (/dev/sdX and /dev/sgN).
//
//   tagsmith-tcmu --uio /dev/uioN --image FILE [--disk] [--faults FILE]
//                 [--delay KIND:MS]... [--serial TEXT]
//
// KIND is handshake, write, finish or read: that vendor command is answered
// MS milliseconds late (a slow device, or one that misses the timeout).
// Prints "ready" once it serves the ring, then one line per command; ends
// when the backstore is removed.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "tests/realkernel/TargetProgram.h"
#include "tests/realkernel/TcmuRing.h"

namespace {

using namespace ts;
using namespace ts::rk;

int Usage() {
    std::fprintf(stderr, "usage: tagsmith-tcmu --uio /dev/uioN %s\n", kTargetUsage);
    return 2;
}

// The size of map 0 of a uio node, from sysfs ("0x..." text).
size_t MapSize(const std::string& node) {
    const auto slash = node.rfind('/');
    const std::string path = "/sys/class/uio/" +
                             node.substr(slash == std::string::npos ? 0 : slash + 1) +
                             "/maps/map0/size";
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return 0;
    char text[64] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    size_t size = 0;
    const char* p = text;
    const char* end = text + n;
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    while (end > p && (end[-1] == '\n' || end[-1] == ' ')) --end;
    auto [q, ec] = std::from_chars(p, end, size, 16);
    return ec == std::errc() && q == end ? size : 0;
}

}  // namespace

int main(int argc, char** argv) {
    TargetOptions o;
    if (!ParseTargetOptions(argc, argv, "--uio", &o)) return Usage();
    const std::unique_ptr<ScsiTarget> target = OpenTarget(o, "tagsmith-tcmu");
    if (!target) return 1;
    const std::string& uio = o.place;

    const int fd = ::open(uio.c_str(), O_RDWR | O_CLOEXEC);
    const size_t size = MapSize(uio);
    if (fd < 0 || size == 0) {
        std::fprintf(stderr, "tagsmith-tcmu: %s cannot be used (%s)\n", uio.c_str(),
                     fd < 0 ? std::strerror(errno) : "no map size");
        return 1;
    }
    void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        std::fprintf(stderr, "tagsmith-tcmu: mmap: %s\n", std::strerror(errno));
        return 1;
    }
    TcmuRing ring(static_cast<uint8_t*>(map), size);
    if (!ring.Valid()) {
        std::fputs("tagsmith-tcmu: the mailbox does not describe a ring\n", stderr);
        return 1;
    }

    auto handler = [&](std::span<const uint8_t> cdb, std::span<uint8_t> data) {
        char line[128];
        int n = std::snprintf(line, sizeof line, "cmd");
        for (size_t i = 0; i < cdb.size() && i < 10; ++i)
            n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " %02x", cdb[i]);
        if (const unsigned ms = o.DelayOf(cdb); ms > 0) {
            std::printf("%s delayed %u ms\n", line, ms);
            std::fflush(stdout);
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        }
        ScsiResult r = target->Execute(cdb, data);
        std::printf("%s len=%zu status=%u\n", line, data.size(), r.status);
        std::fflush(stdout);
        return r;
    };

    std::puts("ready");
    std::fflush(stdout);
    for (;;) {
        const long done = ring.Process(handler);
        if (done < 0) {
            std::fputs("tagsmith-tcmu: malformed command ring\n", stderr);
            return 1;
        }
        if (done > 0) {
            // Tell the kernel that entries were completed.
            uint32_t one = 1;
            if (::write(fd, &one, sizeof one) != sizeof one && errno != EINTR) break;
        }
        uint32_t events;
        if (::read(fd, &events, sizeof events) != sizeof events) {
            if (errno == EINTR) continue;
            break;  // the backstore was removed
        }
    }
    std::puts("removed");
    return 0;
}
