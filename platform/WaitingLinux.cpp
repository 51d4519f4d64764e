#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/Waiting.h"

namespace ts {

int WaitForAny(const Waitable* items, size_t count, int timeoutMs) {
    std::vector<pollfd> fds(count);
    for (size_t i = 0; i < count; ++i) fds[i] = {items[i], POLLIN, 0};
    for (;;) {
        const int r = ::poll(fds.data(), fds.size(), timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -2;
        if (r == 0) return -1;
        for (size_t i = 0; i < count; ++i)
            if (fds[i].revents) return static_cast<int>(i);
        return -1;
    }
}

WakeSignal::WakeSignal() : w_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeSignal::~WakeSignal() {
    if (w_ >= 0) ::close(w_);
}

void WakeSignal::Signal() {
    const uint64_t one = 1;
    while (::write(w_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool WakeSignal::Drain() {
    uint64_t count = 0;
    while (::read(w_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    return count != 0;
}

namespace {
sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
}  // namespace

StopRequests::StopRequests() {
    const sigset_t set = StopSet();
    auto* old = new sigset_t;
    sigprocmask(SIG_BLOCK, &set, old);
    saved_ = old;
    w_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

StopRequests::~StopRequests() {
    if (w_ >= 0) {
        // Consume what arrived, so that unblocking does not kill the process.
        signalfd_siginfo info;
        while (::read(w_, &info, sizeof info) == sizeof info) {
        }
        ::close(w_);
    }
    auto* old = static_cast<sigset_t*>(saved_);
    sigprocmask(SIG_SETMASK, old, nullptr);
    delete old;
}

}  // namespace ts
