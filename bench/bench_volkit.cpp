// Building the image a write sends (a 1 MiB volume holding the ID file and
// two copies of a 64 KiB file in sub-folders) with the plug-in, beside the
// standard tools doing the same work as processes. Prints the mean time of
// each and their ratio.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "VolkitCore.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool Run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {"MTOOLS_SKIP_CHECK=1", "PATH=/usr/sbin:/sbin:/usr/bin:/bin"};
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    int reps = argc > 1 ? std::atoi(argv[1]) : 50;
    ts::test::TempDir dir;
    fs::path stage = dir.Path() / "prvdata";
    std::string blob(65536, '\0');
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<char>(i * 131 + 7);
    fs::create_directories(stage / "SN");
    fs::create_directories(stage / "ulpk0");
    fs::create_directories(stage / "ulpk1");
    ts::test::WriteFile(stage / "SN" / "ID.txt", std::string("0x1A2B3C\0", 9));
    ts::test::WriteFile(stage / "ulpk0" / "ulpkData.bin", blob);
    ts::test::WriteFile(stage / "ulpk1" / "ulpkData.bin", blob);

    const VolkitApi& v = *ts::volkit::Api();
    fs::path ours = dir.Path() / "tmp.data";
    fs::path theirs = dir.Path() / "tool.img";

    auto t0 = Clock::now();
    for (int i = 0; i < reps; ++i) {
        fs::remove(ours);
        VolHandle h = v.VolOpen(ours.c_str());
        if (h < 0 || v.VolFormat(h, 2, 2048, "MIDINFO") != 0 ||
            v.VolImportDir(h, stage.c_str(), "\\") != 0) {
            std::fprintf(stderr, "plug-in failed\n");
            return 1;
        }
        v.VolClose(h);
    }
    double volkitMs = Ms(Clock::now() - t0) / reps;

    t0 = Clock::now();
    for (int i = 0; i < reps; ++i) {
        fs::remove(theirs);
        if (!Run({"mkfs.fat", "-C", "-n", "MIDINFO", theirs.string(), "1024"}) ||
            !Run({"mcopy", "-s", "-i", theirs.string(), (stage / "SN").string(),
                  (stage / "ulpk0").string(), (stage / "ulpk1").string(), "::/"})) {
            std::fprintf(stderr, "mkfs.fat or mcopy failed\n");
            return 1;
        }
    }
    double toolsMs = Ms(Clock::now() - t0) / reps;

    std::printf(
        "image of a write, %d runs: volkit: %.3f ms, mkfs.fat+mcopy: %.3f ms, "
        "ratio Y/X: %.1f\n",
        reps, volkitMs, toolsMs, toolsMs / volkitMs);
    return 0;
}
