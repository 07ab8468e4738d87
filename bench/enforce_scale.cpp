// Scale benchmark: entries on distinct folders (each "P\*;P;", no access for "notepad*"), at 10,
// 1,000 and 10,000 entries. At each size it prints the time to add one more entry (median of the
// last adds), the daemon's threads, resident memory and descriptors, the engine's mounts, and a
// covered open+close by this (let-through) process, as a ratio to the same with 10 entries.
// Goals at 10,000: add <= 5 ms; threads <= 4 per CPU + 16; resident <= 64 MiB + 2 KiB per entry;
// descriptors <= 64 + 2 per entry; open <= 1.1x.
// How to run: bash bench/enforce_scale.sh [largest]   (or: enforce_scale PATH/TO/qxd-engine [largest])
#include "engine/fprec.h"
#include "engine/protector.h"
#include "bench/engine_process.h"
#include "bench/spread.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vx::bench;

namespace {

using Clock = std::chrono::steady_clock;

int CountIn(const std::string &dir)
{
    int n = 0;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

long ResidentKiB(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == "VmRSS:") {
            in >> value;
            return value;
        }
        in.ignore(1 << 12, '\n');
    }
    return -1;
}

int MountsBelow(const std::string &folder)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        n += line.find(" " + folder + "/") != std::string::npos && line.find("fuse.qxd") != std::string::npos;
    return n;
}

// Microseconds per open+close of `path`, the median of five tries of 2,000.
double OpenMicros(const std::string &path)
{
    Spread tries;
    for (int t = 0; t < 5; ++t) {
        const auto start = Clock::now();
        for (int i = 0; i < 2000; ++i) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                std::perror(path.c_str());
                std::exit(1);
            }
            ::close(fd);
        }
        tries.Add(std::chrono::duration<double>(Clock::now() - start).count() / 2000 * 1e6);
    }
    return tries.Median();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: enforce_scale PATH/TO/qxd-engine [largest]\n");
        return 2;
    }
    const std::string exe = fs::absolute(argv[1]);
    const int largest = argc > 2 ? std::max(10, std::atoi(argv[2])) : 10000;
    if (::geteuid() != 0) {
        std::fprintf(stderr, "enforce_scale: needs root (the engine mounts its views)\n");
        return 2;
    }
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::perror("enforce_scale: private mount namespace");
        return 1;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    ::sched_setaffinity(0, sizeof one, &one);

    char templ[] = "/tmp/vxs-XXXXXX";
    const std::string home = ::mkdtemp(templ);
    const std::string data = home + "/data";
    setenv("VELLAMORIX_DEVICE_DIR", (home + "/dev").c_str(), 1);
    setenv("VELLAMORIX_REGISTRY", (home + "/store/registry.db").c_str(), 1);
    unsetenv("VELLAMORIX_DRIVES");
    // Each entry's folder lies in a folder of its own, so every entry is a view of its own.
    for (int i = 0; i < largest; ++i) {
        const std::string p = data + "/" + std::to_string(i) + "/p";
        fs::create_directories(p);
        std::ofstream(p + "/f") << "x";
    }
    const std::string probe = data + "/0/p/f";

    EngineProcess engine = StartEngine(exe, home);
    TVeskFileProtector client;
    std::vector<double> addMillis;
    std::vector<int> sizes = {10, 1000, 10000};
    sizes.erase(std::remove_if(sizes.begin(), sizes.end(), [&](int s) { return s > largest; }), sizes.end());
    if (sizes.back() != largest)
        sizes.push_back(largest);
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    const std::string proc = "/proc/" + std::to_string(engine.pid);
    double open10 = 0;
    std::printf("%8s %12s %10s %8s %6s %7s %10s %8s\n", "entries", "add ms", "resident", "threads", "fds", "mounts",
                "open us", "vs 10");
    for (int size : sizes) {
        while (int(addMillis.size()) < size) {
            const std::string p = Win(data + "/" + std::to_string(addMillis.size()) + "/p");
            const auto start = Clock::now();
            const int32_t index = client.AddEntry(FP_PRESET_NOACCESS, p + "\\*;" + p + ";", "", "notepad*", "", nullptr, 0,
                                                  nullptr, 0, nullptr, 1);
            addMillis.push_back(std::chrono::duration<double>(Clock::now() - start).count() * 1e3);
            if (index != int32_t(addMillis.size()) - 1) {
                std::fprintf(stderr, "enforce_scale: the engine did not take entry %zu:\n%s", addMillis.size(),
                             Slurp(engine.log).c_str());
                StopEngine(engine);
                return 1;
            }
        }
        Spread last;
        for (size_t i = addMillis.size() - std::min<size_t>(100, addMillis.size()); i < addMillis.size(); ++i)
            last.Add(addMillis[i]);
        const double open = OpenMicros(probe);
        if (size == sizes.front())
            open10 = open;
        std::printf("%8d %12.2f %7ld MiB %8d %6d %7d %10.2f %8.2f\n", size, last.Median(), ResidentKiB(engine.pid) / 1024,
                    CountIn(proc + "/task"), CountIn(proc + "/fd"), MountsBelow(data), open, open / open10);
        std::fflush(stdout);
    }
    const int n = sizes.back();
    std::printf("\ngoals at %d entries: add <= 5 ms; threads <= %ld; resident <= %ld MiB; descriptors <= %d; open <= 1.1x "
                "the same with %d entries\n",
                n, 4 * cpus + 16, 64 + 2L * n / 1024, 64 + 2 * n, sizes.front());
    StopEngine(engine);
    fs::remove_all(home);
    return 0;
}
