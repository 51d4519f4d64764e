// The helpers that drive Linux itself: shell commands and FIFOs.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <stdexcept>
#include <thread>

#include "tests/support/TestSupport.h"

namespace ts::test {

int RunCommand(const std::string& command, std::string* out) {
    FILE* f = popen(command.c_str(), "r");
    if (!f) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    int status = pclose(f);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void MakeFifo(const std::filesystem::path& p) {
    if (::mkfifo(p.c_str(), 0644) != 0) throw std::runtime_error("mkfifo " + p.string());
}

bool ReturnsWithoutBlocking(const std::filesystem::path& fifo, const std::function<void()>& call) {
    std::packaged_task<void()> task(call);
    std::future<void> done = task.get_future();
    std::thread worker(std::move(task));
    const bool returned = done.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!returned) {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
    }
    worker.join();
    return returned;
}

std::string IdInImage(const std::filesystem::path& image) {
    std::string out;
    if (RunCommand("MTOOLS_SKIP_CHECK=1 mtype -i '" + image.string() + "' ::/sn/id.txt 2>/dev/null",
                   &out) != 0)
        return {};
    return out.substr(0, out.find('\0'));
}

}  // namespace ts::test
