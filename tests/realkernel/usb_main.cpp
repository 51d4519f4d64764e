// tagsmith-usb: a USB mass-storage device (Bulk-Only Transport) made of a
// FunctionFS function, whose vendor commands are answered by the simulated
// device firmware over an image file. Used inside the test guest, where a
// configfs gadget on the kernel's dummy host controller makes it a real USB
// device that the kernel's usb-storage driver drives (/dev/sdX, /dev/sgN).
// The gadget (USB IDs, serial number, binding to a controller) is set up by
// the guest script; this program serves the function's endpoints.
//
//   tagsmith-usb --ffs DIR --image FILE [--disk] [--faults FILE]
//                [--delay KIND:MS]... [--serial TEXT]
//
// DIR is where the function's FunctionFS instance is mounted. KIND is
// handshake, write, finish or read: that vendor command is answered MS
// milliseconds late. Prints "ready" once the endpoints exist, then one line
// per command and per control event; runs until it is killed.
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/realkernel/BulkOnly.h"
#include "tests/realkernel/TargetProgram.h"

namespace {

using namespace ts;
using namespace ts::rk;

constexpr uint8_t kRequestGetMaxLun = 0xFE;
constexpr uint8_t kRequestReset = 0xFF;
// usb-storage's largest transfer is 240 sectors on a high-speed device; the
// buffer takes more so that a larger one shows as a phase of its own.
constexpr size_t kMaxTransfer = 1 << 20;

int Usage() {
    std::fprintf(stderr, "usage: tagsmith-usb --ffs DIR %s\n", kTargetUsage);
    return 2;
}

// The interface: mass storage, SCSI transparent command set, Bulk-Only
// Transport; one bulk endpoint each way, at full and at high speed.
struct __attribute__((packed)) Endpoints {
    usb_interface_descriptor intf;
    usb_endpoint_descriptor_no_audio in, out;
};
struct __attribute__((packed)) Descriptors {
    usb_functionfs_descs_head_v2 head;
    __le32 fsCount, hsCount;
    Endpoints fs, hs;
};
constexpr char kInterfaceName[] = "Tagsmith simulated device";
struct __attribute__((packed)) Strings {
    usb_functionfs_strings_head head;
    __le16 language;
    char name[sizeof kInterfaceName];
};

Endpoints MakeEndpoints(uint16_t maxPacket) {
    Endpoints e{};
    e.intf.bLength = sizeof e.intf;
    e.intf.bDescriptorType = USB_DT_INTERFACE;
    e.intf.bNumEndpoints = 2;
    e.intf.bInterfaceClass = USB_CLASS_MASS_STORAGE;
    e.intf.bInterfaceSubClass = 0x06;  // SCSI transparent
    e.intf.bInterfaceProtocol = 0x50;  // Bulk-Only
    e.intf.iInterface = 1;
    for (auto* ep : {&e.in, &e.out}) {
        ep->bLength = sizeof *ep;
        ep->bDescriptorType = USB_DT_ENDPOINT;
        ep->bmAttributes = USB_ENDPOINT_XFER_BULK;
        ep->wMaxPacketSize = htole16(maxPacket);
    }
    e.in.bEndpointAddress = 1 | USB_DIR_IN;
    e.out.bEndpointAddress = 2 | USB_DIR_OUT;
    return e;
}

bool WriteAll(int fd, const void* p, size_t n) {
    return ::write(fd, p, n) == static_cast<ssize_t>(n);
}

__attribute__((format(printf, 1, 2))) void Log(const char* format, ...) {
    static std::mutex m;
    std::lock_guard lock(m);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// A Bulk-Only reset, or the host's disable or disconnect, abandons the
// command in progress. The control thread counts them; the bulk thread
// notes the count it has caught up with.
std::atomic<unsigned> g_resets{0};
std::atomic<unsigned> g_seen{0};
std::mutex g_waitMutex;
std::condition_variable g_wait;

void NoteReset(pthread_t bulk) {
    {
        std::lock_guard lock(g_waitMutex);
        ++g_resets;
    }
    g_wait.notify_all();
    // A signal interrupts a blocked endpoint transfer (FunctionFS dequeues
    // it); repeated, because it may land just before the thread blocks.
    for (int i = 0; i < 200 && g_seen.load() != g_resets.load(); ++i) {
        pthread_kill(bulk, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void Control(int ep0, pthread_t bulk) {
    usb_functionfs_event events[4];
    for (;;) {
        const ssize_t n = ::read(ep0, events, sizeof events);
        if (n < 0) {
            if (errno == EINTR) continue;
            Log("tagsmith-usb: ep0: %s\n", std::strerror(errno));
            std::exit(1);
        }
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof events[0]; ++i) {
            const usb_functionfs_event& e = events[i];
            switch (e.type) {
                case FUNCTIONFS_BIND:
                    Log("event bind\n");
                    break;
                case FUNCTIONFS_UNBIND:
                    Log("event unbind\n");
                    NoteReset(bulk);
                    break;
                case FUNCTIONFS_ENABLE:
                    Log("event enable\n");
                    break;
                case FUNCTIONFS_DISABLE:
                    Log("event disable\n");
                    NoteReset(bulk);
                    break;
                case FUNCTIONFS_SUSPEND:
                    Log("event suspend\n");
                    break;
                case FUNCTIONFS_RESUME:
                    Log("event resume\n");
                    break;
                case FUNCTIONFS_SETUP: {
                    const usb_ctrlrequest& s = e.u.setup;
                    const bool in = (s.bRequestType & USB_DIR_IN) != 0;
                    const bool classRequest = (s.bRequestType & USB_TYPE_MASK) == USB_TYPE_CLASS;
                    Log("event setup %02x %02x\n", s.bRequestType, s.bRequest);
                    if (classRequest && s.bRequest == kRequestGetMaxLun && in) {
                        const uint8_t maxLun = 0;
                        if (::write(ep0, &maxLun, 1) != 1) Log("event setup: answer failed\n");
                    } else if (classRequest && s.bRequest == kRequestReset && !in) {
                        NoteReset(bulk);
                        if (::read(ep0, nullptr, 0) != 0) Log("event setup: status failed\n");
                    } else if (in) {
                        (void)!::read(ep0, nullptr, 0);  // the wrong direction stalls
                    } else {
                        (void)!::write(ep0, nullptr, 0);
                    }
                    break;
                }
                default:
                    break;
            }
        }
    }
}

class Bulk {
public:
    Bulk(int in, int out, BulkOnlyDevice& device, const TargetOptions& options)
        : in_(in), out_(out), device_(device), options_(options), data_(kMaxTransfer) {}

    [[noreturn]] void Serve() {
        uint8_t cbwBytes[512];
        for (;;) {
            const unsigned gen = g_resets.load();
            g_seen = gen;
            if (abandoned_) {
                device_.Reset();
                abandoned_ = false;
            }
            gen_ = gen;
            const ssize_t n = ::read(out_, cbwBytes, sizeof cbwBytes);
            if (n < 0) {
                // Not enabled, reset or interrupted: wait for the next CBW.
                if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            const auto cbw = ParseCbw(std::span<const uint8_t>(cbwBytes, static_cast<size_t>(n)));
            if (!cbw) {
                Log("bad cbw of %zd bytes\n", n);
                continue;
            }
            Command(*cbw);
        }
    }

private:
    bool Stale() {
        if (g_resets.load() == gen_) return false;
        abandoned_ = true;
        return true;
    }

    void Command(const Cbw& cbw) {
        char line[128];
        int len = std::snprintf(line, sizeof line, "cmd");
        for (size_t i = 0; i < cbw.cdbLength && i < 10; ++i)
            len += std::snprintf(line + len, sizeof line - static_cast<size_t>(len), " %02x",
                                 cbw.cdb[i]);
        if (cbw.length > data_.size()) {
            Log("%s len=%u too long for the buffer\n", line, cbw.length);
            abandoned_ = true;  // nothing sensible: wait for the host's reset
            return;
        }
        std::span<uint8_t> data(data_.data(), cbw.length);
        if (!cbw.toHost) {
            size_t got = 0;
            while (got < data.size()) {
                const ssize_t n = ::read(out_, data.data() + got, data.size() - got);
                if (n <= 0 || Stale()) {
                    Log("%s len=%u data out broken off after %zu bytes\n", line, cbw.length, got);
                    abandoned_ = true;
                    return;
                }
                got += static_cast<size_t>(n);
            }
        }
        if (const unsigned ms = options_.DelayOf({cbw.cdb, sizeof cbw.cdb}); ms > 0) {
            Log("%s delayed %u ms\n", line, ms);
            const auto start = std::chrono::steady_clock::now();
            std::unique_lock lock(g_waitMutex);
            g_wait.wait_for(lock, std::chrono::milliseconds(ms),
                            [&] { return g_resets.load() != gen_; });
            if (Stale()) {
                const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start);
                Log("%s abandoned by a reset after %lld ms\n", line,
                    static_cast<long long>(waited.count()));
                return;
            }
        }
        const BulkOnlyDevice::Outcome o = device_.Run(cbw, data);
        Log("%s len=%u status=%u csw=%u residue=%u\n", line, cbw.length,
            o.status == kCswPassed ? 0u : 2u, o.status, o.residue);
        if (cbw.toHost && cbw.length > 0) {
            if (o.dataIn > 0 && !Send(data.data(), o.dataIn)) return;
            // A short answer ends with a short packet; a whole number of
            // packets needs a zero-length one to tell the host it ended.
            if (o.dataIn < cbw.length && o.dataIn % MaxPacket() == 0 && !Send(nullptr, 0)) return;
        }
        if (!Send(o.csw.data(), o.csw.size())) return;
    }

    bool Send(const uint8_t* p, size_t n) {
        const ssize_t put = ::write(in_, p, n);
        if (put == static_cast<ssize_t>(n) && !Stale()) return true;
        Log("data in broken off (%s)\n", put < 0 ? std::strerror(errno) : "reset");
        abandoned_ = true;
        return false;
    }

    size_t MaxPacket() {
        usb_endpoint_descriptor desc{};
        if (::ioctl(in_, FUNCTIONFS_ENDPOINT_DESC, &desc) == 0 && le16toh(desc.wMaxPacketSize) > 0)
            return le16toh(desc.wMaxPacketSize) & 0x7FF;
        return 512;
    }

    int in_, out_;
    BulkOnlyDevice& device_;
    const TargetOptions& options_;
    std::vector<uint8_t> data_;
    unsigned gen_ = 0;
    bool abandoned_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    TargetOptions o;
    if (!ParseTargetOptions(argc, argv, "--ffs", &o)) return Usage();
    const std::unique_ptr<ScsiTarget> target = OpenTarget(o, "tagsmith-usb");
    if (!target) return 1;
    BulkOnlyDevice device(*target);
    const std::string& ffs = o.place;

    const int ep0 = ::open((ffs + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (ep0 < 0) {
        std::fprintf(stderr, "tagsmith-usb: %s/ep0: %s\n", ffs.c_str(), std::strerror(errno));
        return 1;
    }
    Descriptors d{};
    d.head.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    d.head.length = htole32(sizeof d);
    d.head.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    d.fsCount = d.hsCount = htole32(3);
    d.fs = MakeEndpoints(64);
    d.hs = MakeEndpoints(512);
    Strings s{};
    s.head.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
    s.head.length = htole32(sizeof s);
    s.head.str_count = htole32(1);
    s.head.lang_count = htole32(1);
    s.language = htole16(0x0409);
    std::memcpy(s.name, kInterfaceName, sizeof kInterfaceName);
    if (!WriteAll(ep0, &d, sizeof d) || !WriteAll(ep0, &s, sizeof s)) {
        std::fprintf(stderr, "tagsmith-usb: descriptors refused: %s\n", std::strerror(errno));
        return 1;
    }
    const int in = ::open((ffs + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
    const int out = ::open((ffs + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
    if (in < 0 || out < 0) {
        std::fprintf(stderr, "tagsmith-usb: endpoints: %s\n", std::strerror(errno));
        return 1;
    }

    // Interrupts blocked transfers (no SA_RESTART), does nothing else.
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGUSR1, &sa, nullptr);

    Log("ready\n");
    std::thread control(Control, ep0, pthread_self());
    control.detach();
    Bulk(in, out, device, o).Serve();
}
