// A line of eight stations end to end: eight `tagsmith-cli --simulate DIR
// --ledger URL auto` processes, each from its own application folder on its
// own simulated line, sharing one PostgreSQL ledger. A feeder thread per
// station plugs a blank device, waits for the station's success line, takes
// the device out (keeping its image) and plugs the next. During the run one
// station is killed in the middle of a write and the server is stopped and
// started again; afterwards the operator finds the dead station's
// reservation with `pool status`, checks the device, confirms the ID when
// the device holds it or releases it when not, and runs the station again. The kept images are read
// with mtools: every ID must be on exactly one device.
//
// The list holds 10,000 IDs; the sanitizer build runs 1,000 (the compile
// definition TAGSMITH_LINE_IDS, see tests/CMakeLists.txt), and the
// environment's TAGSMITH_LINE_IDS sets any size for a run by hand.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimLine.h"
#include "tests/cli/CliLine.h"
#include "tests/ledger/PgTestServer.h"
#include "tests/support/TestSupport.h"
#include "tests/web/WebDriver.h"

extern char** environ;

namespace ts {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ReadFile;
using test::RunCommand;
using test::TempDir;
using test::WriteFile;

constexpr int kStations = 8;
constexpr int kKilled = 2;
// Small devices keep 10,000 kept images small (128 KiB each).
constexpr uint64_t kSectors = 256;

constexpr char kReady[] = "软件就绪";
constexpr char kWritten[] = "烧写成功 ID: ";
constexpr char kFailed[] = "烧写失败";
constexpr char kRemoved[] = "请插入新设备";
constexpr char kPaused[] = "ID记录服务器无法连接，自动烧写已暂停，正在重试：";
constexpr char kResumed[] = "ID记录服务器已恢复连接，自动烧写继续";

#ifndef TAGSMITH_LINE_IDS
#define TAGSMITH_LINE_IDS 10000
#endif

size_t LineIds() {
    const char* v = std::getenv("TAGSMITH_LINE_IDS");
    const long n = v ? std::atol(v) : 0;
    return n > 0 ? static_cast<size_t>(n) : TAGSMITH_LINE_IDS;
}

std::string Hex(const char* stem, size_t i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%06zX", stem, i);
    return buf;
}

std::string ListText(const char* stem, size_t from, size_t to) {
    std::string text;
    for (size_t i = from; i < to; ++i) text += Hex(stem, i) + "\n";
    return text;
}

// The complete lines a growing file gained since the last call; the file
// is read from where the previous call stopped, never whole.
class Tail {
public:
    explicit Tail(fs::path path) : path_(std::move(path)) {}
    ~Tail() {
        if (fd_ >= 0) ::close(fd_);
    }
    std::vector<std::string> NewLines() {
        std::vector<std::string> lines;
        if (fd_ < 0) fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) return lines;
        char buf[4096];
        ssize_t n;
        while ((n = ::pread(fd_, buf, sizeof buf, offset_)) > 0) {
            offset_ += n;
            partial_.append(buf, static_cast<size_t>(n));
        }
        size_t start = 0;
        for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1)
            lines.push_back(partial_.substr(start, nl - start));
        partial_.erase(0, start);
        return lines;
    }

private:
    fs::path path_;
    int fd_ = -1;
    off_t offset_ = 0;
    std::string partial_;
};

// The lines of `text` around the first `needle` (for failure messages).
std::string Around(const std::string& text, const std::string& needle) {
    size_t at = text.find(needle);
    if (at == std::string::npos) at = text.size() / 2;
    size_t from = at;
    for (int n = 0; n < 8 && from > 0; ++n) from = text.rfind('\n', from - 1);
    return text.substr(from == std::string::npos ? 0 : from, at - from + 1500);
}

// A device taken out of a station: its kept image and the ID the station
// said it wrote into it (empty: none).
struct Device {
    fs::path image;
    std::string written;
};

// One station: its application folder (named stN in tagsmith.cfg), its
// simulated line and a feeder that keeps a blank device plugged at E:.
class Station {
public:
    Station(int number, const fs::path& kept) : name("st" + std::to_string(number)), kept_(kept) {
        test::InstallApp(app.Path(), {"tagsmith-cli", "modhost.so", "Volkit.so", "tagsmith.cfg",
                                      "ulpkData.bin"});
        std::string cfg = ReadFile(app.Path() / "tagsmith.cfg");
        if (!cfg.empty() && cfg.back() != '\n') cfg += '\n';
        WriteFile(app.Path() / "tagsmith.cfg", cfg + "station=" + name + "\n");
    }
    ~Station() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (feeder_.joinable()) feeder_.join();
    }

    std::string Cli() const { return (app.Path() / "tagsmith-cli").string(); }

    // Starts `tagsmith-cli --simulate LINE --ledger URL args...` and its feeder.
    void Start(const std::string& url, const std::vector<std::string>& args,
               const std::vector<std::string>& env, std::atomic<long>* total) {
        ++runs_;
        finished_ = false;
        out_ = work.Path() / ("out" + std::to_string(runs_) + ".txt");
        std::vector<std::string> argv = {Cli(), "--simulate", line.Path().string(), "--ledger",
                                         url};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = test::SpawnLogged(argv, env, out_,
                                 work.Path() / ("err" + std::to_string(runs_) + ".txt"));
        ASSERT_GT(pid_, 0);
        feeder_ = std::thread([this, total] { Feed(total); });
    }
    // Waits for the run and its feeder to end; the run's exit status (128+N
    // for signal N).
    int Join() {
        if (feeder_.joinable()) feeder_.join();
        return status_;
    }
    bool Finished() const { return finished_; }
    std::string Out() const { return ReadFile(out_); }
    std::string Err() const {
        return ReadFile(work.Path() / ("err" + std::to_string(runs_) + ".txt"));
    }

    const std::string name;
    TempDir app, line, work;
    std::vector<Device> devices;
    std::vector<std::string> problems;  // failed writes, devices nobody wrote
    bool paused = false, resumed = false, writtenAfterPause = false;
    std::atomic<long> writtenCount{0};
    // The run died with a device plugged whose arrival it had taken up and
    // which it never reported written.
    bool diedMidWrite = false;
    // Faults (an E.fault file) for the first device of the first run only.
    std::string firstFault;

private:
    bool Reap(bool block) {
        int st = 0;
        if (::waitpid(pid_, &st, block ? 0 : WNOHANG) != pid_) return false;
        pid_ = -1;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return true;
    }

    void Feed(std::atomic<long>* total) {
        Tail out(out_);
        bool ready = false, ended = false;
        auto take = [&](const std::string& l, Device* d) {
            if (l.find(kReady) != std::string::npos) ready = true;
            if (l.find(kPaused) != std::string::npos) paused = true;
            if (l.find(kResumed) != std::string::npos) resumed = true;
            if (!d) return false;
            if (l.rfind(kWritten, 0) == 0) {
                writtenAfterPause = writtenAfterPause || paused;
                d->written = l.substr(sizeof kWritten - 1);
                // The log line ends with a line break, shown escaped.
                if (const size_t esc = d->written.find('\\'); esc != std::string::npos)
                    d->written.resize(esc);
                ++*total;
                ++writtenCount;
                return true;
            }
            if (l.find(kFailed) != std::string::npos) {
                problems.push_back(name + ": " + l + "\n" + Around(Out(), l));
                return true;
            }
            return false;
        };
        // Devices plugged before the ready line would wait for the next event.
        while (!ready && !ended) {
            for (const std::string& l : out.NewLines()) take(l, nullptr);
            ended = Reap(false);
            std::this_thread::sleep_for(5ms);
        }
        std::string error;
        while (!ended) {
            Device d;
            d.image = kept_ / (name + "-" + std::to_string(runs_) + "-" +
                               std::to_string(devices.size() + 1) + ".img");
            const fs::path faultFile = line.Path() / "E.fault";
            const bool faulty = runs_ == 1 && devices.empty() && !firstFault.empty();
            if (faulty) WriteFile(faultFile, firstFault);
            if (!SimPlug(line.Path().string(), 'E', kSectors, false, error)) {
                problems.push_back(name + ": cannot plug: " + error);
                break;
            }
            // Hang guard, not a speed check: a station that takes a device
            // up and never ends it is a fault the checks report.
            const auto deadline = std::chrono::steady_clock::now() + 120s;
            bool done = false;
            while (!done) {
                for (const std::string& l : out.NewLines()) done = take(l, &d) || done;
                if (done) break;
                if (Reap(false)) {
                    for (const std::string& l : out.NewLines()) take(l, &d);
                    ended = true;
                    break;
                }
                if (std::chrono::steady_clock::now() > deadline) {
                    problems.push_back(name + ": device " + d.image.filename().string() +
                                       " neither written nor failed after 120 s");
                    ::kill(pid_, SIGKILL);
                    Reap(true);
                    ended = true;
                    break;
                }
                std::this_thread::sleep_for(2ms);
            }
            diedMidWrite = ended && status_ == 128 + SIGKILL && d.written.empty();
            const std::string keep = d.image.string();
            if (!SimUnplug(line.Path().string(), 'E', &keep, error)) {
                problems.push_back(name + ": cannot unplug: " + error);
                break;
            }
            if (faulty) fs::remove(faultFile);
            devices.push_back(d);
            // The next device once the station has seen this one go, as an
            // operator plugs it.
            bool gone = false;
            const auto removalDeadline = std::chrono::steady_clock::now() + 120s;
            while (!gone && !ended) {
                for (const std::string& l : out.NewLines()) {
                    take(l, nullptr);
                    gone = gone || l.find(kRemoved) != std::string::npos;
                }
                if (gone) break;
                ended = Reap(false);
                if (!ended && std::chrono::steady_clock::now() > removalDeadline) {
                    problems.push_back(name + ": the removal of " + d.image.filename().string() +
                                       " was never handled");
                    ::kill(pid_, SIGKILL);
                    Reap(true);
                    ended = true;
                }
                std::this_thread::sleep_for(2ms);
            }
        }
        if (!ended) {
            ::kill(pid_, SIGKILL);
            Reap(true);
        }
        finished_ = true;
    }

    fs::path kept_;
    fs::path out_;
    std::thread feeder_;
    pid_t pid_ = -1;
    int status_ = -1;
    int runs_ = 0;
    std::atomic<bool> finished_{false};
};

// One line of a pool's per-station table: reserved, written, verified, failed.
struct Share {
    long reserved = 0, written = 0, verified = 0, failed = 0;
};

class StationLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string skip;
        if (test::RunServerDir(&skip).empty()) GTEST_SKIP() << skip;
        // The socket's path must stay short: the server lives under /tmp.
        char tmpl[] = "/tmp/tagsmith-line.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        serverDir_ = tmpl;
        // The server's own user (not root) must reach its folder inside.
        fs::permissions(serverDir_, fs::perms::others_exec, fs::perm_options::add);
        server = std::make_unique<test::PgPrivateServer>(serverDir_ + "/pg");
        ASSERT_TRUE(server->Start());
        test::InstallApp(office.Path(), {"tagsmith-cli", "modhost.so", "Volkit.so", "tagsmith.cfg",
                                         "ulpkData.bin"});
    }
    void TearDown() override {
        stations.clear();
        server.reset();
        if (!serverDir_.empty()) fs::remove_all(serverDir_);
    }

    // Runs a supervisor's command against the line's ledger (a hang ends it
    // after 120 s); its status and its stdout in `out`.
    int Office(const std::string& args, std::string* out) {
        const std::string err = (office.Path() / "err.txt").string();
        const int status =
            RunCommand("timeout -k 5 120 '" + (office.Path() / "tagsmith-cli").string() +
                           "' --ledger '" + server->Url() + "' " + args + " 2>'" + err + "'",
                       out);
        *out += ReadFile(err);
        return status;
    }

    // The per-station table of the first pool `pool status ARGS` prints.
    std::map<std::string, Share> Shares(const std::string& text) {
        std::map<std::string, Share> shares;
        std::istringstream in(text);
        std::string l;
        bool table = false;
        while (std::getline(in, l)) {
            std::istringstream words(l);
            std::string station;
            Share s;
            if (l.rfind("  station", 0) == 0) {
                if (table) break;  // the next pool
                table = true;
            } else if (table &&
                       words >> station >> s.reserved >> s.written >> s.verified >> s.failed) {
                shares[station] = s;
            }
        }
        return shares;
    }

    void Make(int n) {
        for (int s = 0; s < n; ++s) stations.push_back(std::make_unique<Station>(s, kept.Path()));
    }

    // The ID in every kept image, read with mtools in one shell run (empty:
    // the image holds no readable ID file).
    std::map<std::string, std::string> IdsOnImages() {
        std::string out;
        RunCommand("cd '" + kept.Path().string() +
                       "' && for f in *.img; do printf '%s ' \"$f\"; "
                       "MTOOLS_SKIP_CHECK=1 mtype -i \"$f\" ::/sn/id.txt 2>/dev/null | "
                       "tr '\\000' '\\n' | head -n 1; echo; done",
                   &out);
        std::map<std::string, std::string> ids;
        std::istringstream in(out);
        for (std::string l; std::getline(in, l);) {
            if (l.empty()) continue;
            const size_t sp = l.find(' ');
            ids[l.substr(0, sp)] = sp == std::string::npos ? "" : l.substr(sp + 1);
        }
        return ids;
    }

    // Every device's image holds exactly the ID its station reported (or
    // nothing readable when it reported none), the killed station's device
    // the ID the operator confirmed (when confirmed), and `fsck.fat -n`
    // finds a sample of the written ones sound. The IDs on devices, counted.
    std::map<std::string, int> CheckImages(const fs::path& killedImage,
                                           const std::string& confirmed = "") {
        const auto onImages = IdsOnImages();
        std::map<std::string, int> count;
        size_t written = 0;
        for (const auto& st : stations) {
            for (const Device& d : st->devices) {
                const auto it = onImages.find(d.image.filename().string());
                EXPECT_NE(it, onImages.end()) << d.image << " was not read";
                if (it == onImages.end()) continue;
                // A killed device the operator released was checked then.
                if (d.image == killedImage && confirmed.empty()) continue;
                EXPECT_EQ(it->second, d.image == killedImage ? confirmed : d.written) << d.image;
                if (it->second.empty()) continue;
                ++count[it->second];
                // Every 500th written device, and the first.
                if (written++ % 500 == 0) {
                    EXPECT_EQ(RunCommand("fsck.fat -n '" + d.image.string() + "' >/dev/null 2>&1"),
                              0)
                        << d.image;
                }
            }
        }
        return count;
    }

    // The journal's confirmed writes (a station's, or the operator's
    // confirmation of a device a dead station wrote), counted by ID.
    std::map<std::string, int> JournalWrites() {
        std::string csv;
        EXPECT_EQ(Office("journal --csv -", &csv), 0) << csv.substr(0, 2000);
        std::map<std::string, int> n;
        std::istringstream rows(csv);
        std::string row;
        std::getline(rows, row);
        while (std::getline(rows, row)) {
            std::vector<std::string> f;
            std::istringstream fields(row);
            for (std::string x; std::getline(fields, x, ',');) f.push_back(x);
            if (f.size() == 19 && (f[2] == "write" || f[2] == "confirm") && f[16] == "0")
                ++n[f[10]];
        }
        return n;
    }

    // Stops the server (fast) once `total` reached `at`, and starts it again
    // a few seconds later, while the stations go on.
    void RestartServerAt(long at, long limit = LONG_MAX) {
        while (total < at) {
            bool running = false;
            for (const auto& st : stations) running = running || !st->Finished();
            if (!running) {
                ADD_FAILURE() << "the line ended before " << at << " devices were written";
                return;
            }
            std::this_thread::sleep_for(10ms);
        }
        // Who still had devices to write when the server went away, and
        // how many each had written.
        for (const auto& st : stations) {
            const long n = st->writtenCount;
            writtenAtStop.push_back(!st->Finished() && n < limit ? n : -1);
        }
        ASSERT_TRUE(server->Stop("fast"));
        std::this_thread::sleep_for(2500ms);
        ASSERT_TRUE(server->Start());
    }

    // Starts station s with `args(s)`; the killed one (if any) dies the
    // `killAt`-th time it reaches `killPoint`, with its device in hand:
    // "reserved" before anything is sent, "transfer" after the first block.
    void StartLine(const std::function<std::vector<std::string>(int)>& args, int killed,
                   long killAt, const std::string& killPoint = "reserved") {
        for (size_t s = 0; s < stations.size(); ++s) {
            std::vector<std::string> env;
            if (static_cast<int>(s) == killed)
                env.push_back("TAGSMITH_KILL_AT=" + killPoint + ":" + std::to_string(killAt));
            stations[s]->Start(server->Url(), args(static_cast<int>(s)), env, &total);
        }
    }
    // Waits for every station: the killed one died mid-write, the others
    // ended well, those still writing when the server went away paused
    // and wrote again by themselves, and each that paused logged that it
    // goes on; every problem a feeder saw is a failure.
    void JoinLine(int killed, bool listRun) {
        bool pausedAny = false;
        for (size_t s = 0; s < stations.size(); ++s) {
            Station& st = *stations[s];
            const int status = st.Join();
            if (static_cast<int>(s) == killed) {
                EXPECT_EQ(status, 128 + SIGKILL) << st.Err();
                EXPECT_TRUE(st.diedMidWrite)
                    << "killed with its device plugged, before its success";
            } else {
                EXPECT_EQ(status, 0) << st.name << "\n" << st.Err();
                if (listRun) {
                    EXPECT_NE(st.Err().find("no ID left to write"), std::string::npos) << st.Err();
                }
                // A station may spend the whole outage confirming its
                // device; one that paused must have gone on by itself.
                if (s < writtenAtStop.size() && writtenAtStop[s] >= 0) {
                    EXPECT_GT(st.writtenCount, writtenAtStop[s]) << st.name;
                    EXPECT_TRUE(!st.paused || st.writtenAfterPause)
                        << st.name << " paused and wrote nothing since\n"
                        << Around(st.Out(), kPaused);
                    pausedAny = pausedAny || st.paused;
                }
                EXPECT_TRUE(!st.paused || st.resumed)
                    << st.name << " paused and never logged that it goes on\n"
                    << Around(st.Out(), kPaused);
            }
            for (const std::string& p : st.problems) ADD_FAILURE() << p;
        }
        if (!writtenAtStop.empty()) {
            EXPECT_TRUE(pausedAny) << "no station paused for the server";
        }
    }

    // What the operator decided for the dead station's reservation.
    struct Settled {
        std::string id;  // empty: the round could not be done
        bool confirmed = false;
    };
    // The operator's round after a station died: `pool status ARGS` shows
    // its one reservation, `ledger status` its ID; the device it was
    // writing is read: holding the ID, the ID is confirmed, blank, it is
    // released.
    Settled SettleWhatTheDeadLeft(const Station& dead, const std::string& poolArgs) {
        std::string out;
        EXPECT_EQ(Office("pool status " + poolArgs, &out), 0) << out;
        auto shares = Shares(out);
        EXPECT_TRUE(shares.count(dead.name)) << out;
        for (const auto& [station, share] : shares) {
            EXPECT_EQ(share.reserved, station == dead.name ? 1 : 0) << station << "\n" << out;
        }

        EXPECT_EQ(Office("ledger status", &out), 0) << out;
        std::istringstream in(out.substr(std::min(out.find("reserved IDs"), out.size())));
        std::string l, id;
        std::getline(in, l);
        std::vector<std::string> reserved;
        while (std::getline(in, l)) {
            reserved.push_back(l);
            std::istringstream(l) >> id;
        }
        EXPECT_EQ(reserved.size(), 1u) << out;
        if (reserved.size() != 1) return {};
        EXPECT_NE(reserved[0].find("station " + dead.name), std::string::npos) << reserved[0];
        EXPECT_FALSE(dead.devices.empty());
        if (dead.devices.empty()) return {};
        const std::string held = test::IdInImage(dead.devices.back().image);
        // Any other ID there would have been written twice.
        EXPECT_TRUE(held.empty() || held == id) << "the killed device holds " << held;
        if (!held.empty() && held != id) return {};
        const bool confirm = held == id;
        EXPECT_EQ(Office(std::string(confirm ? "ledger confirm " : "ledger release ") + id, &out),
                  0)
            << out;
        EXPECT_EQ(Office("ledger status", &out), 0) << out;
        EXPECT_NE(out.find("reserved: 0\n"), std::string::npos) << out;
        return {id, confirm};
    }

    std::string serverDir_;
    std::atomic<long> total{0};
    std::vector<long> writtenAtStop;  // -1: not writing then
    std::unique_ptr<test::PgPrivateServer> server;
    TempDir office, kept, lists;
    std::vector<std::unique_ptr<Station>> stations;
};

// Every ID of `expected` on exactly one device, and nothing else on any.
void ExpectEachOnce(const std::map<std::string, int>& onDevices,
                    const std::vector<std::string>& expected) {
    for (const std::string& id : expected) {
        const auto it = onDevices.find(id);
        if (it == onDevices.end()) {
            ADD_FAILURE() << id << " is on no device";
        } else if (it->second != 1) {
            ADD_FAILURE() << id << " is on " << it->second << " devices";
        }
    }
    EXPECT_EQ(onDevices.size(), expected.size()) << "IDs on devices that no list holds";
}

TEST_F(StationLineTest, EightStationsWriteOneListOnceThroughAKillAndAServerRestart) {
    const size_t ids = LineIds();
    std::vector<std::string> expected;
    for (size_t i = 0; i < ids; ++i) expected.push_back(Hex("1D", i));
    const std::string content = ListText("1D", 0, ids);
    // The same list under two names: the pool is known by its content.
    const fs::path listA = lists.Path() / "line.ids";
    fs::create_directories(lists.Path() / "copy");
    const fs::path listB = lists.Path() / "copy" / "batch-copy.ids";
    WriteFile(listA, content);
    WriteFile(listB, content);
    Make(kStations);

    const auto started = std::chrono::steady_clock::now();
    StartLine(
        [&](int s) {
            return std::vector<std::string>{"auto", "--ids",
                                            (s < kStations / 2 ? listA : listB).string()};
        },
        kKilled, std::max<long>(3, static_cast<long>(ids / kStations / 20)));
    RestartServerAt(static_cast<long>(ids / 2));
    JoinLine(kKilled, true);
    const double lineSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    Station& dead = *stations[kKilled];
    const fs::path killedImage = dead.devices.empty() ? fs::path() : dead.devices.back().image;
    const Settled settled = SettleWhatTheDeadLeft(dead, "'" + listA.string() + "'");
    ASSERT_FALSE(settled.id.empty());
    EXPECT_FALSE(settled.confirmed) << "killed before anything was sent";
    const std::string& released = settled.id;
    // The dead station runs again and writes what is left: the released ID.
    dead.Start(server->Url(), {"auto", "--ids", listA.string()}, {}, &total);
    EXPECT_EQ(dead.Join(), 0) << dead.Err();
    for (const std::string& p : dead.problems) ADD_FAILURE() << p;
    EXPECT_NE(dead.Out().find(std::string(kWritten) + released), std::string::npos) << dead.Out();

    const auto checked = std::chrono::steady_clock::now();
    const auto onDevices = CheckImages(killedImage);
    ExpectEachOnce(onDevices, expected);
    const double checkSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - checked).count();

    // The ledger agrees: all written, none reserved or free, each confirmed
    // once in the journal.
    std::string out;
    ASSERT_EQ(Office("pool status '" + listB.string() + "'", &out), 0) << out;
    EXPECT_NE(out.find(": " + std::to_string(ids) + " entries, 0 free"), std::string::npos) << out;
    Share sum;
    for (const auto& [station, share] : Shares(out)) {
        sum.reserved += share.reserved;
        sum.written += share.written;
    }
    EXPECT_EQ(sum.written, static_cast<long>(ids)) << out;
    EXPECT_EQ(sum.reserved, 0) << out;
    EXPECT_EQ(JournalWrites(), onDevices);

    std::printf(
        "[ line ] %zu IDs, %d stations: %.1f s until all but the killed one ended, "
        "%.1f s to read every image\n",
        ids, kStations, lineSeconds, checkSeconds);
}

TEST_F(StationLineTest, EightStationsShareOneCounterThroughAKillAndAServerRestart) {
    // 100 devices a station (10 in the sanitizer build).
    const long each = std::max<long>(6, static_cast<long>(LineIds() / 100));
    const long killAt = each / 3;
    Make(kStations);
    const std::vector<std::string> counter = {"auto", "--prefix", "AB", "--counter",
                                              "1000", "--suffix", "CD"};
    // Killed during the transfer: the device may hold its value already.
    StartLine(
        [&](int) {
            std::vector<std::string> a = counter;
            a.insert(a.end(), {"--count", std::to_string(each)});
            return a;
        },
        kKilled, killAt, "transfer");
    RestartServerAt(kStations * each / 2, each);
    JoinLine(kKilled, false);

    Station& dead = *stations[kKilled];
    const fs::path killedImage = dead.devices.empty() ? fs::path() : dead.devices.back().image;
    const Settled settled = SettleWhatTheDeadLeft(dead, "");
    ASSERT_FALSE(settled.id.empty());
    // A confirmed device is one of the station's; a released one is not.
    const long done = settled.confirmed ? killAt : killAt - 1;
    std::vector<std::string> again = counter;
    again.insert(again.end(), {"--count", std::to_string(each - done)});
    dead.Start(server->Url(), again, {}, &total);
    EXPECT_EQ(dead.Join(), 0) << dead.Err();
    for (const std::string& p : dead.problems) ADD_FAILURE() << p;

    const auto onDevices = CheckImages(killedImage, settled.confirmed ? settled.id : "");
    std::set<unsigned long> values;
    for (const auto& [id, n] : onDevices) {
        EXPECT_EQ(n, 1) << id << " is on " << n << " devices";
        ASSERT_TRUE(id.size() > 4 && id.rfind("AB", 0) == 0 && id.substr(id.size() - 2) == "CD")
            << id;
        values.insert(std::stoul(id.substr(2, id.size() - 4), nullptr, 16));
    }
    EXPECT_EQ(values.size(), static_cast<size_t>(kStations * each));
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(*values.begin(), 0x1000u);
    // Values are handed out in order: below the highest, only those whose
    // reply the restart swallowed are missing, and a released value (the
    // counter went on past it). A confirmed value is on its device, so one
    // fewer may be missing.
    std::vector<unsigned long> missing;
    for (unsigned long v = 0x1000; v < *values.rbegin(); ++v)
        if (!values.count(v)) missing.push_back(v);
    EXPECT_LE(missing.size(), settled.confirmed ? 2u : 3u)
        << values.size() << " written up to " << *values.rbegin();
    const unsigned long killedValue =
        std::stoul(settled.id.substr(2, settled.id.size() - 4), nullptr, 16);
    if (settled.confirmed) {
        EXPECT_TRUE(values.count(killedValue)) << settled.id << " was confirmed";
    } else {
        EXPECT_TRUE(std::find(missing.begin(), missing.end(), killedValue) != missing.end())
            << settled.id << " was released and is not handed out again";
    }
    EXPECT_EQ(JournalWrites(), onDevices);
}

// Two lists that share IDs (stations 0-1 on A, 2-3 on B): a shared ID is
// written once, from whichever list reached it first.
TEST_F(StationLineTest, StationsOnTwoOverlappingListsWriteNoSharedIdTwice) {
    const fs::path listA = lists.Path() / "a.ids";
    const fs::path listB = lists.Path() / "b.ids";
    WriteFile(listA, ListText("3F", 0, 200));
    WriteFile(listB, ListText("3F", 100, 300));
    Make(4);
    StartLine(
        [&](int s) {
            return std::vector<std::string>{"auto", "--ids", (s < 2 ? listA : listB).string()};
        },
        -1, 0);
    JoinLine(-1, true);
    std::vector<std::string> expected;
    for (size_t i = 0; i < 300; ++i) expected.push_back(Hex("3F", i));
    const auto onDevices = CheckImages({});
    ExpectEachOnce(onDevices, expected);
    EXPECT_EQ(JournalWrites(), onDevices);
}

// The line at a glance: three stations on one list, the middle one with a
// first device whose write ends in doubt (its finish unanswered, its read
// back refused). The supervisor's page, `tagsmith-cli serve` in Debian's
// headless Chromium, shows each station's counts and the IDs left, lists the
// doubtful ID with the commands that settle it, and a search for that ID
// names its station and device.
TEST_F(StationLineTest, ThreeStationsOnTheSupervisorsPage) {
    const std::string missing = test::WebDriver::Missing();
    if (!missing.empty()) GTEST_SKIP() << missing;
    const fs::path list = lists.Path() / "line.ids";
    WriteFile(list, ListText("2E", 0, 30));
    std::string out;
    // As the supervisor does before a shift, so that the page counts the
    // IDs left.
    ASSERT_EQ(Office("pool import " + list.string(), &out), 0) << out;
    Make(3);
    stations[1]->firstFault = "fail_at=finish:1\nfail_at=read:1\n";
    // Station s writes s + 2 devices.
    StartLine(
        [&](int s) {
            return std::vector<std::string>{"auto", "--ids", list.string(), "--count",
                                            std::to_string(s + 2)};
        },
        -1, 0);
    for (size_t s = 0; s < stations.size(); ++s) {
        Station& st = *stations[s];
        // A run with a failed write ends with status 1.
        EXPECT_EQ(st.Join(), s == 1 ? 1 : 0) << st.name << "\n" << st.Err();
        EXPECT_EQ(st.writtenCount, static_cast<long>(s + 2)) << st.name;
        // The doubtful write is the one failure of the line.
        EXPECT_EQ(st.problems.size(), s == 1 ? 1u : 0u) << st.name << ": " << st.Out();
    }
    ASSERT_EQ(Office("ledger status", &out), 0) << out;
    const size_t doubts = out.find("IDs in doubt");
    ASSERT_NE(doubts, std::string::npos) << out;
    std::string doubtful;
    std::istringstream(out.substr(out.find('\n', doubts) + 1)) >> doubtful;
    ASSERT_EQ(doubtful.rfind("2E", 0), 0u) << out;

    const std::string err = (office.Path() / "serve-err.txt").string();
    const fs::path served = office.Path() / "serve-out.txt";
    const pid_t serve = test::SpawnLogged({(office.Path() / "tagsmith-cli").string(), "--ledger",
                                           server->Url(), "serve", "--listen", "127.0.0.1:0"},
                                          {}, served, err);
    ASSERT_GT(serve, 0);
    struct Stop {
        pid_t pid;
        ~Stop() {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    } stop{serve};
    std::string url;
    for (int i = 0; i < 200 && url.empty(); ++i) {
        const std::string said = ReadFile(served);
        const size_t at = said.find("serving http://");
        if (at != std::string::npos && said.find(' ', at + 8) != std::string::npos)
            url = said.substr(at + 8, said.find(' ', at + 8) - at - 8);
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_FALSE(url.empty()) << ReadFile(served) << ReadFile(err);
    EXPECT_EQ(url.find(server->Url()), std::string::npos);

    test::WebDriver b;
    std::string why;
    ASSERT_TRUE(b.Start(&why)) << why;
    b.Go(url);
    ASSERT_FALSE(b.WaitFor("return document.body.getAttribute('data-loaded');").is_null())
        << "no live data: " << b.Run("return document.body.innerText;");
    // 30 IDs: 9 written, 1 in doubt.
    EXPECT_EQ(b.Run("return document.querySelector('[data-field=free] b').textContent;"), "20");
    EXPECT_EQ(b.Run("return document.querySelector('[data-field=inDoubt] b').textContent;"), "1");
    const nlohmann::json counts = b.Run(R"(
        const out = {};
        for (const tr of document.querySelectorAll('#stations tbody tr'))
          out[tr.getAttribute('data-station')] = [
            tr.querySelector('[data-field=writtenHour]').textContent,
            tr.querySelector('[data-field=failedHour]').textContent];
        return out;)");
    EXPECT_EQ(counts,
              nlohmann::json({{"st0", {"2", "0"}}, {"st1", {"3", "1"}}, {"st2", {"4", "0"}}}))
        << counts.dump();
    EXPECT_EQ(
        b.Run(R"(
        return [...document.querySelectorAll('#attention tbody tr')].map((r) =>
          [r.getAttribute('data-kind'), r.getAttribute('data-id'), r.cells[2].textContent,
           ...[...r.querySelectorAll('code')].map((c) => c.textContent)]);)"),
        nlohmann::json({{"inDoubt", doubtful, "st1", "tagsmith-cli ledger confirm " + doubtful,
                         "tagsmith-cli ledger release " + doubtful}}));

    b.Type(b.Element("#search-id"), doubtful);
    b.Click(b.Element("#search button"));
    // Every attempt on the ID, oldest first: a station that met it while st1
    // was reserving it was refused, and that refusal may come first.
    const nlohmann::json trail = b.WaitFor(R"(
        const rows = [...document.querySelectorAll('#trail-rows tbody tr')];
        return rows.length ? rows.map((r) => [...r.cells].map((c) => c.textContent)) : null;)");
    ASSERT_TRUE(trail.is_array()) << b.Run("return document.querySelector('#trail').innerText;");
    const auto st1 = std::find_if(trail.begin(), trail.end(),
                                  [](const nlohmann::json& row) { return row[1] == "st1"; });
    ASSERT_NE(st1, trail.end()) << trail.dump();
    EXPECT_NE((*st1)[3].get<std::string>().find("端口 E"), std::string::npos) << trail.dump();
}

}  // namespace
}  // namespace ts
