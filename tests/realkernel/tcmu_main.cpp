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
#include <string>
#include <thread>

#include "sim/SimFaults.h"
#include "tests/realkernel/ScsiTarget.h"
#include "tests/realkernel/TcmuRing.h"

namespace {

using namespace ts;
using namespace ts::rk;

int Usage() {
    std::fputs(
        "usage: tagsmith-tcmu --uio /dev/uioN --image FILE [--disk] [--faults FILE]\n"
        "                     [--delay handshake|write|finish|read:MS]... [--serial TEXT]\n",
        stderr);
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
    std::string uio, image, faultsPath, serial = "0001";
    bool disk = false;
    unsigned delays[kSimKinds] = {};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--uio" && more) {
            uio = argv[++i];
        } else if (a == "--image" && more) {
            image = argv[++i];
        } else if (a == "--faults" && more) {
            faultsPath = argv[++i];
        } else if (a == "--serial" && more) {
            serial = argv[++i];
        } else if (a == "--disk") {
            disk = true;
        } else if (a == "--delay" && more) {
            const std::string v = argv[++i];
            const auto colon = v.find(':');
            static const char* kKinds[kSimKinds] = {"handshake", "write", "finish", "read"};
            size_t kind = kSimKinds;
            for (size_t k = 0; k < kSimKinds; ++k)
                if (v.compare(0, colon, kKinds[k]) == 0) kind = k;
            unsigned ms = 0;
            const char* end = v.data() + v.size();
            if (colon == std::string::npos || kind == kSimKinds ||
                std::from_chars(v.data() + colon + 1, end, ms).ptr != end)
                return Usage();
            delays[kind] = ms;
        } else {
            return Usage();
        }
    }
    if (uio.empty() || image.empty()) return Usage();

    int err = 0;
    std::shared_ptr<SimStorage> storage = FileStorage::Open(image, true, err);
    if (!storage) {
        std::fprintf(stderr, "tagsmith-tcmu: %s: %s\n", image.c_str(), std::strerror(err));
        return 1;
    }
    SimFaults faults = faultsPath.empty() ? SimFaults{} : LoadSimFaults(faultsPath);
    ScsiTarget target(storage, std::move(faults), !disk, serial);

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
        const bool vendor = cdb[0] == 0xF3 && cdb[1] < kSimKinds;
        if (vendor && delays[cdb[1]] > 0) {
            std::printf("%s delayed %u ms\n", line, delays[cdb[1]]);
            std::fflush(stdout);
            std::this_thread::sleep_for(std::chrono::milliseconds(delays[cdb[1]]));
        }
        ScsiResult r = target.Execute(cdb, data);
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
