#include "app/StartUp.h"

#include <cstdio>
#include <string_view>

#include "platform/Codepage.h"
#include "platform/DebugOut.h"
#include "platform/Profile.h"

namespace ts {

bool ParseStartArgs(std::span<const std::string> args, StartArgs* out) {
    StartArgs parsed;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--simulate" && i + 1 < args.size()) {
            parsed.simDir = args[++i];
        } else if (args[i] == "--debug") {
            parsed.debug = true;
        } else {
            return false;
        }
    }
    *out = std::move(parsed);
    return true;
}

void SendDebugToStderr() {
    SetDebugSink([](std::string_view line) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        if (line.empty() || line.back() != '\n') std::fputc('\n', stderr);
        std::fflush(stderr);
    });
}

AppFolderCheck CheckAppFolder(const std::optional<std::string>& appDir, AppFolderLock& lock,
                              bool needsCodepage) {
    AppFolderCheck check;
    if (!appDir || appDir->empty()) {
        check.problem = AppFolderCheck::Problem::FolderUnknown;
        return check;
    }
    check.folder = *appDir;
    // Before the lock: a start that cannot work leaves no file behind.
    if (needsCodepage && !AnsiCodepageAvailable()) {
        check.problem = AppFolderCheck::Problem::NoCodepage;
        return check;
    }
    switch (lock.Acquire(*appDir)) {
        case AppFolderLock::Status::Held:
            break;
        case AppFolderLock::Status::Busy:
            check.problem = AppFolderCheck::Problem::Busy;
            check.path = lock.Path();
            check.holder = lock.Holder();
            return check;
        case AppFolderLock::Status::Failed:
            check.problem = AppFolderCheck::Problem::LockFailed;
            check.path = lock.Path();
            check.error = lock.Error();
            return check;
    }
    const std::string config = ConfigPathIn(*appDir);
    check.configKind = KindOf(config);
    if (check.configKind != FileKind::Regular && check.configKind != FileKind::Missing) {
        check.problem = AppFolderCheck::Problem::ConfigNotFile;
        check.path = config;
    }
    return check;
}

std::u16string StartProblemText(const AppFolderCheck& check) {
    switch (check.problem) {
        case AppFolderCheck::Problem::None:
            return {};
        case AppFolderCheck::Problem::FolderUnknown: {
            const std::string_view source = ExecutableFolderSource();
            if (source.empty()) return u"无法确定程序所在的目录，程序无法启动！";
            return u"无法确定程序所在的目录（" + Utf8ToWide(source) + u" 不可用），程序无法启动！";
        }
        case AppFolderCheck::Problem::NoCodepage:
            return u"系统缺少 CP936 字符集转换模块，程序无法启动！";
        case AppFolderCheck::Problem::Busy:
            return u"程序目录 " + Utf8ToWide(check.folder) + u" 正被另一个进程使用，程序无法启动！";
        case AppFolderCheck::Problem::LockFailed:
            return u"无法使用程序目录中的锁文件 " + Utf8ToWide(check.path) + u"，程序无法启动！";
        case AppFolderCheck::Problem::ConfigNotFile:
            return u"配置文件 " + Utf8ToWide(check.path) + u" 不是普通文件，程序无法启动！";
    }
    return {};
}

std::u16string SimLineProblemText(const std::string& folder) {
    return u"模拟产线目录 " + Utf8ToWide(folder) + u" 不是文件夹，程序无法启动！";
}

}  // namespace ts
