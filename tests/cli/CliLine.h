#pragma once
// tagsmith-cli run as processes on a simulated line, from a private
// application folder (the binary, the plug-ins, the installation), so that
// runs never share tmp.data or prvdata with other tests. The test plugs and
// unplugs devices with `sim new` / `sim unplug`.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace ts::test {

// With TAGSMITH_TEST_WINE set to a Wine prefix, the runs are those of a
// Windows build's tagsmith-cli.exe (its application folder in
// TAGSMITH_APPDIR) under Wine, started through scripts/wine-run.sh: the same
// cases for both builds.
inline std::string WinePrefix() {
    const char* p = std::getenv("TAGSMITH_TEST_WINE");
    return p ? p : "";
}

// The words that start the program `exe` of the build under test.
inline std::vector<std::string> ProgramCommand(const std::string& exe) {
    if (WinePrefix().empty()) return {exe};
    return {std::string(TAGSMITH_SOURCE_DIR) + "scripts/wine-run.sh", WinePrefix(), exe + ".exe"};
}

// The same for a shell: each word quoted.
inline std::string ShellCommand(const std::string& exe) {
    std::string line;
    for (const std::string& w : ProgramCommand(exe)) line += (line.empty() ? "'" : " '") + w + "'";
    return line;
}

// `path` as the program under test names it: a Windows program under Wine
// sees this machine's folders on drive Z:, with backslashes.
inline std::string ProgramPath(const std::string& path) {
    if (WinePrefix().empty() || path.empty() || path[0] != '/') return path;
    std::string p = "Z:" + path;
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

// The files of an application folder of the build under test.
inline void InstallCli(const std::filesystem::path& dir) {
    if (WinePrefix().empty())
        InstallApp(dir,
                   {"tagsmith-cli", "modhost.so", "Volkit.so", "tagsmith.cfg", "ulpkData.bin"});
    else
        InstallApp(
            dir, {"tagsmith-cli.exe", "modhost.dll", "Volkit.dll", "tagsmith.cfg", "ulpkData.bin"});
}

// Starts `args` (args[0] the program's path) in the background with its
// stdout and stderr in the files `out` and `err`, and `env` ("NAME=value")
// added to the environment; its process ID, or -1.
inline pid_t SpawnLogged(const std::vector<std::string>& args, const std::vector<std::string>& env,
                         const std::filesystem::path& out, const std::filesystem::path& err) {
    std::vector<std::string> argv(args);
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> envText(env);
    std::vector<char*> cenv;
    for (auto& e : envText) cenv.push_back(e.data());
    for (char** e = environ; *e; ++e) cenv.push_back(*e);
    cenv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

class CliLine : public ::testing::Test {
protected:
    TempDir app, line, work;

    void SetUp() override { InstallCli(app.Path()); }
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    std::string Cli() const { return (app.Path() / "tagsmith-cli").string(); }
    std::filesystem::path LedgerPath() const { return app.Path() / "tagsmith.ledger"; }
    // Starts the next case with no record of what earlier ones wrote.
    // A station that never wrote: no ledger, and no mark of one.
    void ForgetLedger() {
        for (const char* tail : {"", "-wal", "-shm", ".mark"})
            std::filesystem::remove(LedgerPath().string() + tail);
    }
    std::string Out() const { return ReadFile(work.Path() / "out.txt"); }
    std::string Err() const { return ReadFile(work.Path() / "err.txt"); }

    // Starts `tagsmith-cli --simulate LINE args...` in the background, with
    // `env` ("NAME=value") added to the environment.
    void Start(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        // Emptied here, so that no wait can see the previous run's output.
        WriteFile(work.Path() / "out.txt", "");
        WriteFile(work.Path() / "err.txt", "");
        std::vector<std::string> argv = ProgramCommand(Cli());
        argv.insert(argv.end(), {"--simulate", line.Path().string()});
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = SpawnLogged(argv, env, work.Path() / "out.txt", work.Path() / "err.txt");
        ASSERT_GT(pid_, 0);
    }

    // Runs `tagsmith-cli --simulate LINE args` to its end (a hang ends it
    // after 60 s: status 124, or 137 when the run holds SIGTERM back); its
    // status, stdout in `out`, stderr in `err`.
    int Run(const std::string& args, std::string* out = nullptr, std::string* err = nullptr,
            const std::string& env = "") {
        const std::string errPath = (work.Path() / "run-err.txt").string();
        std::string o;
        const int status =
            RunCommand(env + " timeout -k 5 60 " + ShellCommand(Cli()) + " --simulate '" +
                           line.Path().string() + "' " + args + " 2>'" + errPath + "'",
                       &o);
        if (out) *out = o;
        if (err) *err = ReadFile(errPath);
        return status;
    }

    // Waits (a hang guard, not a speed check) until `text` occurs `times` in stdout.
    bool WaitForOutput(const std::string& text, int times = 1) {
        return WaitUntil([&] {
            const std::string o = Out();
            int n = 0;
            for (size_t p = o.find(text); p != std::string::npos; p = o.find(text, p + 1)) ++n;
            return n >= times;
        });
    }
    static bool WaitUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // The background run has ended (without reaping it).
    bool Ended() const {
        siginfo_t info{};
        return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == pid_;
    }
    // The exit status of the background run (-1 when it does not end; 128+N
    // for signal N).
    int Wait() {
        int status = 0;
        bool ended = WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; });
        if (!ended) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void Stop() { ::kill(pid_, SIGTERM); }

    int Sim(const std::string& args) {
        return RunCommand(ShellCommand(Cli()) + " --simulate '" + line.Path().string() + "' sim " +
                          args + " >/dev/null");
    }
    // Takes the device at `letter` out of the line into the work folder;
    // its ID.
    std::string Unplug(char letter = 'E') {
        const std::filesystem::path kept =
            work.Path() / ("dev" + std::to_string(++devices_) + ".img");
        EXPECT_EQ(Sim(std::string("unplug ") + letter + " --keep '" + kept.string() + "'"), 0);
        return IdInImage(kept);
    }
    // Small devices holding each of `ids`, written here and kept in the work
    // folder under the ID's name, for PlugTogether.
    void MakeHolding(const std::vector<std::string>& ids) {
        for (const std::string& id : ids) {
            ASSERT_EQ(Run("sim new E --sectors 256"), 0);
            ASSERT_EQ(Run("write " + id + " --yes"), 0);
            ASSERT_EQ(Run("sim unplug E --keep '" + (work.Path() / id).string() + "'"), 0);
        }
    }
    // The devices MakeHolding made, plugged at once at E:, F:, G:...
    void PlugTogether(const std::vector<std::string>& ids) {
        char letter = 'E';
        for (const std::string& id : ids)
            std::filesystem::rename(work.Path() / id,
                                    line.Path() / (std::string(1, letter++) + ".img"));
    }
    // The IDs a read run printed on its "ID X" lines, in order.
    static std::vector<std::string> IdsRead(const std::string& out) {
        std::vector<std::string> ids;
        for (size_t p = out.find("\nID "); p != std::string::npos; p = out.find("\nID ", p + 1))
            ids.push_back(out.substr(p + 4, out.find('\n', p + 1) - p - 4));
        return ids;
    }
    // Plugs `n` devices one after another; each is unplugged (kept in the
    // work folder) once written, and the next plugged once the removal has
    // been handled.
    std::vector<std::string> PlugWritten(int n) {
        std::vector<std::string> ids;
        for (int i = 1; i <= n; ++i) {
            EXPECT_EQ(Sim("new E"), 0);
            EXPECT_TRUE(WaitForOutput("烧写成功 ID:", i)) << Out() << Err();
            ids.push_back(Unplug());
            if (i < n) {
                EXPECT_TRUE(WaitForOutput("请插入新设备", i));
            }
        }
        return ids;
    }

    pid_t pid_ = -1;
    int devices_ = 0;
};

}  // namespace ts::test
