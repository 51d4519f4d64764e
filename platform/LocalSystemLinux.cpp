#include <unistd.h>

#include "platform/LocalSystem.h"

namespace ts {

std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "localhost";
    return buf;
}

}  // namespace ts
