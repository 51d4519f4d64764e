#include "cli/CliSupport.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "platform/Codepage.h"

namespace ts::cli {

std::string ForTerminal(const std::u16string& text) {
    std::string out;
    for (char c : WideToUtf8(text))
        if (c != '\r') out += c;
    return out;
}

StdoutLog::StdoutLog() {
    onLine = [](const std::u16string& line) {
        std::string s = ForTerminal(line);
        if (s.empty() || s.back() != '\n') s += '\n';
        std::fwrite(s.data(), 1, s.size(), stdout);
        std::fflush(stdout);
    };
}

MsgAnswer StderrBoxer::Show(const MessageRequest& request) {
    std::string s = ForTerminal(request.text);
    if (s.empty() || s.back() != '\n') s += '\n';
    std::fwrite(s.data(), 1, s.size(), stderr);
    if (request.buttons == MsgButtons::Ok) return MsgAnswer::Ok;
    if (answer) return *answer;
    if (!isatty(STDIN_FILENO)) return MsgAnswer::No;
    std::fputs("[y/N] ", stderr);
    std::fflush(stderr);
    std::string reply;
    if (!std::getline(std::cin, reply)) return MsgAnswer::No;
    return (reply == "y" || reply == "Y" || reply == "yes") ? MsgAnswer::Yes : MsgAnswer::No;
}

StopSignals::StopSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigprocmask(SIG_BLOCK, &set_, &old_);
    fd_ = ::signalfd(-1, &set_, SFD_NONBLOCK | SFD_CLOEXEC);
}

StopSignals::~StopSignals() {
    if (fd_ >= 0) {
        // Consume what arrived, so that unblocking does not kill the process.
        signalfd_siginfo info;
        while (::read(fd_, &info, sizeof info) == sizeof info) {
        }
        ::close(fd_);
    }
    sigprocmask(SIG_SETMASK, &old_, nullptr);
}

bool StopSignals::Requested() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

bool Session::Open(Context& ctx) {
    drives = ctx.OpenDrives();
    if (!drives) {
        std::fputs("tagsmith-cli: no drive system available\n", stderr);
        return false;
    }
    core.SetLogView(&log);
    core.SetMessageBoxer(&boxes);
    core.SetPages(&pages);
    core.SetDrives(drives.get());
    core.InitExeDir(ctx.appDir);
    core.LoadPlugin();
    return true;
}

}  // namespace ts::cli
