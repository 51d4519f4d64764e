// Building the image a write sends (a 1 MiB volume holding the ID file and
// two copies of a 64 KiB file in sub-folders) with the plug-in, beside the
// standard tools doing the same work as processes. Prints the mean time of
// each and their ratio, and the kind of file system the images were made on:
// a disk-backed one charges for every write, tmpfs hardly does.
//   bench_volkit [reps] [folder]   (default: a new folder in the temp folder)
#include <fcntl.h>
#include <linux/magic.h>
#include <spawn.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string FileSystemOf(const fs::path& p) {
    struct statfs st {};
    if (statfs(p.c_str(), &st) != 0) return "?";
    switch (st.f_type) {
        case EXT4_SUPER_MAGIC:
            return "ext4";
        case TMPFS_MAGIC:
            return "tmpfs";
        case BTRFS_SUPER_MAGIC:
            return "btrfs";
        case XFS_SUPER_MAGIC:
            return "xfs";
        case OVERLAYFS_SUPER_MAGIC:
            return "overlayfs";
        default: {
            char hex[32];
            std::snprintf(hex, sizeof hex, "type 0x%lx", static_cast<unsigned long>(st.f_type));
            return hex;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    int reps = argc > 1 ? std::atoi(argv[1]) : 50;
    ts::test::TempDir temp;
    fs::path base = temp.Path();
    if (argc > 2) {
        base = fs::path(argv[2]) / ("bench_volkit-" + std::to_string(getpid()));
        fs::create_directories(base);
    }
    struct Cleanup {
        fs::path path;
        bool own;
        ~Cleanup() {
            std::error_code ec;
            if (own) fs::remove_all(path, ec);
        }
    } cleanup{base, argc > 2};
    fs::path stage = base / "prvdata";
    std::string blob(65536, '\0');
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<char>(i * 131 + 7);
    fs::create_directories(stage / "SN");
    fs::create_directories(stage / "ulpk0");
    fs::create_directories(stage / "ulpk1");
    ts::test::WriteFile(stage / "SN" / "ID.txt", std::string("0x1A2B3C\0", 9));
    ts::test::WriteFile(stage / "ulpk0" / "ulpkData.bin", blob);
    ts::test::WriteFile(stage / "ulpk1" / "ulpkData.bin", blob);

    const VolkitApi& v = *ts::volkit::Api();
    fs::path ours = base / "tmp.data";
    fs::path theirs = base / "tool.img";

    // One build of each in turn, so that both meet the same load on a shared
    // machine; the medians are compared.
    std::vector<double> volkitMs, toolsMs;
    for (int i = 0; i < reps; ++i) {
        auto t0 = Clock::now();
        fs::remove(ours);  // as the write flow does before every build
        VolHandle h = v.VolOpen(ours.c_str());
        if (h < 0 || v.VolFormat(h, 2, 2048, "MIDINFO") != 0 ||
            v.VolImportDir(h, stage.c_str(), "\\") != 0) {
            std::fprintf(stderr, "plug-in failed\n");
            return 1;
        }
        v.VolClose(h);
        volkitMs.push_back(Ms(Clock::now() - t0));

        t0 = Clock::now();
        fs::remove(theirs);
        if (!Run({"mkfs.fat", "-C", "-n", "MIDINFO", theirs.string(), "1024"}) ||
            !Run({"mcopy", "-s", "-i", theirs.string(), (stage / "SN").string(),
                  (stage / "ulpk0").string(), (stage / "ulpk1").string(), "::/"})) {
            std::fprintf(stderr, "mkfs.fat or mcopy failed\n");
            return 1;
        }
        toolsMs.push_back(Ms(Clock::now() - t0));
    }
    const double ours1 = Median(volkitMs), theirs1 = Median(toolsMs);
    std::printf(
        "image of a write on %s, %d runs, medians: volkit: %.3f ms, mkfs.fat+mcopy: %.3f ms, "
        "ratio Y/X: %.1f (aim >= 10)\n",
        FileSystemOf(base).c_str(), reps, ours1, theirs1, theirs1 / ours1);
    return 0;
}
