#include <signal.h>
#include <unistd.h>

#include "platform/LocalSystem.h"

namespace ts {

void KillThisProcess() {
    ::raise(SIGKILL);
    ::_exit(137);
}

int ErrnoOfSystemCode(int code) { return code; }

void FailWritesPastSizeLimit() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, nullptr);
}

bool LocalCalendarTime(int64_t seconds, std::tm* out) {
    const time_t t = static_cast<time_t>(seconds);
    return ::localtime_r(&t, out) != nullptr;
}

std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "localhost";
    return buf;
}

}  // namespace ts
