// Loading and filtering a production-size ID list, measured against `wc -l`
// on the same file in the same run, and the memory the list takes per ID.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "idsource/IdList.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr int kIds = 1000000;
constexpr int kRuns = 11;

using Clock = std::chrono::steady_clock;

// Best of kRuns, in milliseconds.
double BestMs(const std::function<void()>& f) {
    double best = 1e300;
    for (int r = 0; r < kRuns; ++r) {
        const auto t0 = Clock::now();
        f();
        const std::chrono::duration<double, std::milli> d = Clock::now() - t0;
        best = std::min(best, d.count());
    }
    return best;
}

double CpuMs(int who) {
    struct rusage ru {};
    getrusage(who, &ru);
    auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(ru.ru_utime) + ms(ru.ru_stime);
}

// Best wall time and best processor time (user + system) of kRuns; `who`
// is RUSAGE_SELF or RUSAGE_CHILDREN. Processor time is steadier when other
// work shares the machine.
struct Timing {
    double wall = 1e300;
    double cpu = 1e300;
};
Timing Measure(int who, const std::function<void()>& f, int runs = kRuns) {
    Timing t;
    for (int r = 0; r < runs; ++r) {
        const double c0 = CpuMs(who);
        const auto t0 = Clock::now();
        f();
        const std::chrono::duration<double, std::milli> d = Clock::now() - t0;
        t.wall = std::min(t.wall, d.count());
        t.cpu = std::min(t.cpu, CpuMs(who) - c0);
    }
    return t;
}

std::string MakeIds() {
    std::mt19937_64 rng(42);
    static const char kHex[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(static_cast<size_t>(kIds) * 17);
    for (int i = 0; i < kIds; ++i) {
        uint64_t v = rng();
        for (int k = 0; k < 16; ++k, v >>= 4) s.push_back(kHex[v & 15]);
        s.push_back('\n');
    }
    return s;
}

std::string ToUtf16LeWithMark(const std::string& ascii) {
    std::string s = "\xFF\xFE";
    s.reserve(ascii.size() * 2 + 2);
    for (char c : ascii) {
        s.push_back(c);
        s.push_back('\0');
    }
    return s;
}

size_t HeapInUse() {
    const struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;  // small blocks plus mmap'ed large ones
}

void LoadBench(const char* name, const std::string& path) {
    const Timing wc = Measure(RUSAGE_CHILDREN, [&] {
        std::string out;
        ts::test::RunCommand("wc -l '" + path + "'", &out);
        benchmark::DoNotOptimize(out);
    });
    const Timing load = Measure(RUSAGE_SELF, [&] {
        ts::IdList list;
        if (ts::ReadIdFile(path, &list) != ts::IdFileError::None || list.size() != kIds)
            std::fprintf(stderr, "load of %s failed\n", path.c_str());
        benchmark::DoNotOptimize(list);
    });
    std::printf(
        "load %-22s wall %6.1f ms (wc -l %5.1f ms) ratio %5.2f | cpu %6.1f ms "
        "(wc -l %5.1f ms) ratio %5.2f   (aim <= 10)\n",
        name, load.wall, wc.wall, load.wall / wc.wall, load.cpu, wc.cpu, load.cpu / wc.cpu);
}

// The IDs of MakeIds() with a Chinese prefix, in the station's code page.
std::string ToCodePage(const std::string& ascii) {
    std::string s;
    s.reserve(ascii.size() * 3 / 2);
    size_t start = 0;
    while (start < ascii.size()) {
        const size_t end = ascii.find('\n', start);
        s += "\xC5\xFA\xB4\xCE";  // 批次
        s.append(ascii, start, end - start);
        s += "\r\n";
        start = end + 1;
    }
    return s;
}

size_t StatusKb(const char* key) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    size_t kb = 0;
    const size_t n = std::strlen(key);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, key, n) == 0 && std::sscanf(line + n, " %zu", &kb) == 1) break;
    std::fclose(f);
    return kb;
}

// Peak resident memory a load adds, in bytes, measured in a child process
// whose peak is reset first; 0 when the system cannot tell.
size_t PeakLoadBytes(const std::string& path, size_t expectedIds) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return 0;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        size_t growth = 0;
        std::FILE* clear = std::fopen("/proc/self/clear_refs", "w");
        if (clear && std::fputs("5", clear) >= 0 && std::fclose(clear) == 0) {
            const size_t before = StatusKb("VmRSS:");
            ts::IdList list;
            if (ts::ReadIdFile(path, &list) == ts::IdFileError::None && list.size() == expectedIds)
                growth = (StatusKb("VmHWM:") - before) * 1024;
        }
        if (write(pipeFds[1], &growth, sizeof growth) != sizeof growth) _exit(1);
        _exit(0);
    }
    close(pipeFds[1]);
    size_t growth = 0;
    if (pid < 0 || read(pipeFds[0], &growth, sizeof growth) != sizeof growth) growth = 0;
    close(pipeFds[0]);
    if (pid > 0) waitpid(pid, nullptr, 0);
    return growth;
}

// A code-page list: time against `wc -l` and peak memory against the size.
void CodePageBench(const char* name, const std::string& path, size_t ids, int runs) {
    const auto size = static_cast<double>(std::filesystem::file_size(path));
    const Timing wc = Measure(
        RUSAGE_CHILDREN,
        [&] {
            std::string out;
            ts::test::RunCommand("wc -l '" + path + "'", &out);
        },
        runs);
    const Timing load = Measure(
        RUSAGE_SELF,
        [&] {
            ts::IdList list;
            if (ts::ReadIdFile(path, &list) != ts::IdFileError::None || list.size() != ids)
                std::fprintf(stderr, "load of %s failed\n", path.c_str());
            benchmark::DoNotOptimize(list);
        },
        runs);
    const size_t peak = PeakLoadBytes(path, ids);
    std::printf(
        "load %-34s wall %7.1f ms (wc -l %6.1f ms) ratio %5.2f | peak memory %7.1f MB, "
        "%.2f x the file (aim <= 3)\n",
        name, load.wall, wc.wall, load.wall / wc.wall, static_cast<double>(peak) / 1e6,
        static_cast<double>(peak) / size);
}

// `tagsmith-cli auto --ids FILE` from its start until it is ready for the
// first device ("软件就绪"), on a simulated line, with the ledger on or
// off: its peak resident memory against the file's size, and its time
// against the load alone. Needs the CLI built beside this program.
void AutoReadyBench(const char* name, const std::string& path, bool ledger, double loadMs) {
    ts::test::TempDir app, line;
    ts::test::InstallApp(
        app.Path(), {"tagsmith-cli", "modhost.so", "Volkit.so", "tagsmith.cfg", "ulpkData.bin"});
    const std::string out = (line.Path() / "out.txt").string();
    std::fflush(nullptr);
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        std::freopen(out.c_str(), "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        const std::string cli = app.Dir() + "tagsmith-cli";
        const std::string dir = line.Path().string();
        execl(cli.c_str(), cli.c_str(), "--simulate", dir.c_str(), "--ledger",
              ledger ? (app.Dir() + "tagsmith.ledger").c_str() : "off", "auto", "--ids",
              path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) return;
    double readyMs = -1;
    int status = 0;
    for (int i = 0; i < 12000 && readyMs < 0; ++i) {
        usleep(10000);
        if (waitpid(pid, &status, WNOHANG) == pid) {
            std::printf("auto %-20s ended before it was ready\n", name);
            return;
        }
        if (ts::test::ReadFile(out).find("软件就绪") != std::string::npos) {
            const std::chrono::duration<double, std::milli> d = Clock::now() - t0;
            readyMs = d.count();
        }
    }
    kill(pid, SIGTERM);
    struct rusage ru {};
    wait4(pid, &status, 0, &ru);
    const double peak = static_cast<double>(ru.ru_maxrss) * 1024;
    const auto size = static_cast<double>(std::filesystem::file_size(path));
    if (readyMs < 0) {
        std::printf("auto %-34s never ready\n", name);
        return;
    }
    std::printf(
        "auto %-20s ledger %-3s ready %7.1f ms (load alone %6.1f ms) ratio %5.2f | peak memory "
        "%7.1f MB, %.2f x the file (aim <= 3)\n",
        name, ledger ? "on" : "off", readyMs, loadMs, readyMs / loadMs, peak / 1e6, peak / size);
}

}  // namespace

int main() {
    ts::test::TempDir dir;
    const std::string ascii = MakeIds();
    const std::string utf8Path = (dir.Path() / "ids-utf8.ids").string();
    const std::string utf16Path = (dir.Path() / "ids-utf16le.ids").string();
    ts::test::WriteFile(utf8Path, ascii);
    ts::test::WriteFile(utf16Path, ToUtf16LeWithMark(ascii));
    std::printf("%d IDs of 16 hexadecimal digits; best of %d runs\n", kIds, kRuns);

    LoadBench("UTF-8 (17 MB)", utf8Path);
    LoadBench("UTF-16LE+mark (34 MB)", utf16Path);

    // The station's code page, as a list and as a short list padded with
    // zeros to 1 GiB (sparse: it takes no disk).
    const std::string ansiPath = (dir.Path() / "ids-cp936.ids").string();
    const std::string paddedPath = (dir.Path() / "ids-cp936-padded.ids").string();
    const std::string ansi = ToCodePage(ascii);
    ts::test::WriteFile(ansiPath, ansi);
    ts::test::WriteFile(paddedPath, ansi.substr(0, ansi.size() / kIds * 1000));
    std::filesystem::resize_file(paddedPath, uintmax_t{1} << 30);
    CodePageBench("CP936 (22 MB)", ansiPath, kIds, kRuns);
    CodePageBench("CP936, 1000 IDs padded to 1 GiB", paddedPath, 1000, 3);
    std::filesystem::remove(paddedPath);

    // 64 MiB of 0xFF bytes: a code-page list without one valid character,
    // so one line of 64 Mi U+FFFD. Loaded alone, and as `auto` loads it.
    const std::string ffPath = (dir.Path() / "ff-64mib.ids").string();
    ts::test::WriteFile(ffPath, std::string(size_t{64} << 20, '\xFF'));
    CodePageBench("0xFF bytes (64 MiB)", ffPath, 1, 3);
    const Timing ffLoad = Measure(
        RUSAGE_SELF,
        [&] {
            ts::IdList list;
            ts::ReadIdFile(ffPath, &list);
            benchmark::DoNotOptimize(list);
        },
        3);
    for (const bool ledger : {false, true})
        AutoReadyBench("0xFF bytes (64 MiB)", ffPath, ledger, ffLoad.wall);
    std::filesystem::remove(ffPath);

    // Memory: the list's own capacity, and what the heap grew by.
    const size_t before = HeapInUse();
    ts::IdList list;
    ts::ReadIdFile(utf8Path, &list);
    const size_t after = HeapInUse();
    std::printf("memory per ID: %.1f bytes by capacity, %.1f bytes by heap use (aim <= 64)\n",
                static_cast<double>(list.MemoryBytes()) / static_cast<double>(list.size()),
                static_cast<double>(after - before) / static_cast<double>(list.size()));

    for (const char16_t* prefix : {u"a", u"AB", u"ab12"}) {
        size_t rows = 0;
        const double ms = BestMs([&] {
            auto r = list.FilterByPrefix(prefix);
            rows = r.size();
            benchmark::DoNotOptimize(r);
        });
        std::printf("filter by %zu-character prefix: %6.2f ms, %zu rows (aim < 50 ms)\n",
                    std::char_traits<char16_t>::length(prefix), ms, rows);
    }
    const double empty = BestMs([&] {
        auto r = list.FilterByPrefix(u"");
        benchmark::DoNotOptimize(r);
    });
    std::printf("filter by empty prefix (every row): %6.2f ms\n", empty);
    const double next = BestMs([&] {
        uint32_t cursor = 0;
        benchmark::DoNotOptimize(list.AdvanceToUnused(cursor));
    });
    std::printf("next unused from the head: %.4f ms\n", next);
    return 0;
}
