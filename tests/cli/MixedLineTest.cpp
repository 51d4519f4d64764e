// Stations of both builds on one line: two Windows stations (tagsmith-cli.exe
// under Wine) and one Linux station, each on its own simulated line, share
// one PostgreSQL ledger over TCP and one ID list. Each writes devices one
// after another; every kept image is read with mtools: no ID is on two
// devices, and each device holds the ID its station reported.
//
// Run from the Windows build's tests (TAGSMITH_TEST_WINE, TAGSMITH_APPDIR
// naming that build); the Linux station comes from this program's own build.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/cli/CliLine.h"
#include "tests/ledger/PgTestServer.h"

namespace ts {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::RunCommand;
using test::TempDir;
using test::WriteFile;

constexpr int kDevicesEach = 4;

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// One station: its application folder (named in tagsmith.cfg), its line,
// and the devices it wrote (kept images).
struct Station {
    std::string name;
    bool windows;
    TempDir app, line, work;
    std::vector<std::string> command;  // the words that start its tagsmith-cli
    pid_t pid = -1;
    std::vector<fs::path> images;

    Station(std::string n, bool win) : name(std::move(n)), windows(win) {
        if (windows) {
            test::InstallCli(app.Path());
            command = test::ProgramCommand((app.Path() / "tagsmith-cli").string());
        } else {
            // This program's own build, whatever TAGSMITH_APPDIR names.
            for (const char* f : {"tagsmith-cli", "modhost.so", "Volkit.so"})
                fs::copy_file(fs::path(TAGSMITH_APPDIR) / f, app.Path() / f);
            for (const char* f : {"tagsmith.cfg", "ulpkData.bin"})
                fs::copy_file(fs::path(TAGSMITH_SOURCE_DIR) / "res/example" / f, app.Path() / f);
            command = {(app.Path() / "tagsmith-cli").string()};
        }
        std::string cfg = ReadFile(app.Path() / "tagsmith.cfg");
        if (!cfg.empty() && cfg.back() != '\n') cfg += '\n';
        WriteFile(app.Path() / "tagsmith.cfg", cfg + "station=" + name + "\n");
    }
    ~Station() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    std::string Out() const { return ReadFile(work.Path() / "out.txt"); }
    std::string Err() const { return ReadFile(work.Path() / "err.txt"); }
    int Sim(const std::string& args) const {
        std::string line;
        for (const std::string& w : command) line += "'" + w + "' ";
        return RunCommand(line + "--simulate '" + this->line.Path().string() + "' sim " + args +
                          " >/dev/null");
    }
    void Start(const std::string& url, const fs::path& list) {
        std::vector<std::string> argv = command;
        argv.insert(argv.end(), {"--simulate", line.Path().string(), "--ledger", url, "auto",
                                 "--ids", list.string(), "--count", std::to_string(kDevicesEach)});
        pid = test::SpawnLogged(argv, {}, work.Path() / "out.txt", work.Path() / "err.txt");
    }
    bool WaitFor(const std::string& text, int times) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (std::chrono::steady_clock::now() < deadline) {
            if (Count(Out(), text) >= times) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // Plugs the devices one after another, each taken out (kept) once written.
    void Feed() {
        for (int i = 1; i <= kDevicesEach; ++i) {
            if (Sim("new E") != 0 || !WaitFor("烧写成功 ID:", i)) return;
            images.push_back(work.Path() / ("dev" + std::to_string(i) + ".img"));
            if (Sim("unplug E --keep '" + images.back().string() + "'") != 0) return;
            if (i < kDevicesEach && !WaitFor("请插入新设备", i)) return;
        }
    }
    int Wait() {
        int st = 0;
        for (int i = 0; i < 1200 && ::waitpid(pid, &st, WNOHANG) != pid; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (::waitpid(pid, &st, WNOHANG) == 0) return -1;
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
};

TEST(MixedLineTest, WindowsAndLinuxStationsOnOneServerWriteNoIdTwice) {
    if (test::WinePrefix().empty())
        GTEST_SKIP() << "needs a Windows build: run from its tests (TAGSMITH_TEST_WINE)";
    test::PgTestDb db;
    std::string why;
    if (!db.Create(&why)) {
        if (db.ServerDir().empty()) GTEST_SKIP() << why;
        FAIL() << why;
    }
    const std::string port = test::PgPort(db.ServerDir());
    if (port.empty()) GTEST_SKIP() << "the run's server listens on no TCP port (ctest-start --tcp)";
    const std::string url = "postgresql://tagsmith@127.0.0.1:" + port + "/" + db.Name();

    TempDir shared;
    std::string list;
    for (int i = 1; i <= 40; ++i) list += "7E" + std::to_string(1000 + i) + "\r\n";
    WriteFile(shared.Path() / "list.ids", list);

    std::vector<std::unique_ptr<Station>> stations;
    stations.push_back(std::make_unique<Station>("win1", true));
    stations.push_back(std::make_unique<Station>("win2", true));
    stations.push_back(std::make_unique<Station>("lin1", false));
    for (auto& s : stations) {
        s->Start(url, shared.Path() / "list.ids");
        ASSERT_GT(s->pid, 0);
    }
    for (auto& s : stations) ASSERT_TRUE(s->WaitFor("软件就绪", 1)) << s->name << s->Err();
    std::vector<std::thread> feeders;
    for (auto& s : stations) feeders.emplace_back([&s] { s->Feed(); });
    for (auto& t : feeders) t.join();

    std::map<std::string, std::string> holder;  // ID -> the station whose device holds it
    for (auto& s : stations) {
        SCOPED_TRACE(s->name);
        EXPECT_EQ(s->Wait(), 0) << s->Out() << s->Err();
        ASSERT_EQ(s->images.size(), static_cast<size_t>(kDevicesEach)) << s->Out() << s->Err();
        const std::string out = s->Out();
        for (const fs::path& image : s->images) {
            const std::string id = test::IdInImage(image);
            ASSERT_FALSE(id.empty()) << image;
            EXPECT_NE(out.find("烧写成功 ID: " + id), std::string::npos) << id << "\n" << out;
            const auto [at, fresh] = holder.emplace(id, s->name);
            EXPECT_TRUE(fresh) << id << " is on devices of " << at->second << " and " << s->name;
        }
    }
    EXPECT_EQ(holder.size(), stations.size() * kDevicesEach);
}

}  // namespace
}  // namespace ts
