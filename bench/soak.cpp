// Soak benchmark: the engine under entry churn and file operations for a long time. Every
// interval (a minute) it prints the engine's resident memory, threads and descriptors, taken
// with the churn paused and the engine settled, and at the end the slope of each per minute
// and memory at the end against the first interval, the baseline of this run (goal: threads
// and descriptors slope 0, memory within 10 %).
//   The churn: an entry on a second folder added and deleted every 50 ms, protection switched
// off and on every 5 s, another client process asking the engine every 2 s; two threads create,
// write, read, list, rename and remove files in both folders all the time (as a process the
// entries let through). At every sample a copy of this program named "victim" must be refused.
// Needs root: the engine mounts its views, in a mount namespace of this benchmark's own.
// How to run: bash bench/soak.sh [minutes]   (or: soak PATH/TO/qxd-engine [minutes] [interval s])
#include "engine/fprec.h"
#include "engine/protector.h"
#include "bench/engine_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace vx::bench;

namespace {

using Clock = std::chrono::steady_clock;

int CountIn(const std::string &folder)
{
    DIR *d = ::opendir(folder.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (const dirent *e = ::readdir(d))
        n += e->d_name[0] != '.';
    ::closedir(d);
    return n;
}

struct Sample {
    double rssMiB = 0;
    int threads = 0, fds = 0;
    bool operator==(const Sample &o) const { return rssMiB == o.rssMiB && threads == o.threads && fds == o.fds; }
};

Sample Take(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    Sample s;
    s.threads = CountIn(proc + "/task");
    s.fds = CountIn(proc + "/fd");
    std::ifstream status(proc + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            s.rssMiB = std::atof(line.c_str() + 6) / 1024.0;
    return s;
}

// Threads and descriptors once they stop changing (views taken down end a moment later); 3 s at most.
Sample Settled(pid_t pid)
{
    Sample last = Take(pid);
    for (int i = 0; i < 30; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const Sample now = Take(pid);
        if (now.threads == last.threads && now.fds == last.fds)
            return now;
        last = now;
    }
    return last;
}

// Least-squares slope of `y` over 0, 1, 2, ... (per step).
double Slope(const std::vector<double> &y)
{
    const double n = double(y.size());
    if (y.size() < 2)
        return 0;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        sx += double(i);
        sy += y[i];
        sxx += double(i) * double(i);
        sxy += double(i) * y[i];
    }
    return (n * sxy - sx * sy) / (n * sxx - sx * sx);
}

// File operations in `folder` until `stop`: each round makes, writes, reads, lists, renames and
// removes a file of its own.
void Work(const std::string &folder, int id, const std::atomic<bool> &stop, std::atomic<long> &ops,
          std::atomic<long> &failed, std::atomic<long> &crossed)
{
    const std::string a = folder + "/w" + std::to_string(id), b = a + ".renamed";
    std::vector<char> buf(8192, 'x');
    const auto count = [&](bool ok, const char *what) {
        ++ops;
        // The first few failures are named.
        if (!ok && ++failed <= 5)
            std::fprintf(stderr, "soak: %s in %s failed: %s\n", what, folder.c_str(), std::strerror(errno));
    };
    while (!stop) {
        int fd = ::open(a.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
        count(fd >= 0 && ::write(fd, buf.data(), buf.size()) == ssize_t(buf.size()), "create and write");
        if (fd >= 0)
            ::close(fd);
        fd = ::open(a.c_str(), O_RDONLY | O_CLOEXEC);
        count(fd >= 0 && ::read(fd, buf.data(), buf.size()) == ssize_t(buf.size()), "open and read");
        if (fd >= 0)
            ::close(fd);
        struct stat st{};
        count(::stat((folder + "/f").c_str(), &st) == 0, "stat");
        count(CountIn(folder) > 0, "list");
        // A rename whose two names are looked up on either side of a view coming or going
        // meets two mounts (EXDEV): counted apart, the file is then removed by its old name.
        const bool renamed = ::rename(a.c_str(), b.c_str()) == 0;
        if (!renamed && errno == EXDEV)
            ++crossed;
        else
            count(renamed, "rename");
        count(::unlink((renamed ? b : a).c_str()) == 0, "unlink");
    }
}

// The exit status of a copy of this program run with `mode` and `arg` (-1: it did not end in 30 s).
int RunCopy(const std::string &copy, const char *mode, const std::string &arg)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(copy.c_str(), "victim", mode, arg.c_str(), nullptr);
        _exit(127);
    }
    int st = 0;
    for (int i = 0; i < 3000; ++i) {
        if (::waitpid(pid, &st, WNOHANG) == pid)
            return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &st, 0);
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    // As "victim": the errno of reading a file (0: it read it).
    if (argc == 3 && std::string(argv[1]) == "--read") {
        const int fd = ::open(argv[2], O_RDONLY | O_CLOEXEC);
        char c;
        return fd < 0 ? errno : ::read(fd, &c, 1) < 0 ? errno : 0;
    }
    // As another client of the engine: 0 when it was served and counts at least as many entries.
    if (argc == 3 && std::string(argv[1]) == "--count") {
        TVeskFileProtector other;
        uint32_t count = 0;
        return other.Success() && other.GetEntryCount(count) && count >= uint32_t(std::atoi(argv[2])) ? 0 : 1;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: soak PATH/TO/qxd-engine [minutes] [interval seconds]\n");
        return 2;
    }
    const std::string exe = fs::absolute(argv[1]);
    const double minutes = argc > 2 ? std::max(0.1, std::atof(argv[2])) : 10;
    const int interval = argc > 3 ? std::max(1, std::atoi(argv[3])) : 60;
    if (::geteuid() != 0) {
        std::fprintf(stderr, "soak: needs root (the engine mounts its views)\n");
        return 2;
    }
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::perror("soak: private mount namespace");
        return 1;
    }
    char templ[] = "/tmp/vxs-XXXXXX";
    const std::string home = ::mkdtemp(templ);
    const std::string steady = home + "/data/steady", churn = home + "/data/churn", victim = home + "/victim";
    setenv("VELLAMORIX_DEVICE_DIR", (home + "/dev").c_str(), 1);
    setenv("VELLAMORIX_REGISTRY", (home + "/store/registry.db").c_str(), 1);
    unsetenv("VELLAMORIX_DRIVES");
    for (const std::string &folder : {steady, churn}) {
        fs::create_directories(folder);
        std::ofstream(folder + "/f") << "secret\n";
    }
    fs::copy_file("/proc/self/exe", victim);
    ::chmod(victim.c_str(), 0755);

    EngineProcess engine = StartEngine(exe, home);
    const auto entry = [](TVeskFileProtector &p, const std::string &folder) {
        return p.AddEntry(FP_PRESET_NOACCESS, Win(folder) + "\\*;" + Win(folder) + ";", "", "victim", "", nullptr, 0,
                          nullptr, 0, nullptr, 1);
    };
    TVeskFileProtector p;
    if (!p.Success() || entry(p, steady) != 0) {
        std::fprintf(stderr, "soak: the engine did not take the entry:\n%s", Slurp(engine.log).c_str());
        StopEngine(engine);
        fs::remove_all(home);
        return 1;
    }
    p.SetActive(true); // the client learns the engine's state here

    std::atomic<bool> stop{false};
    std::atomic<long> ops{0}, failed{0}, crossed{0};
    std::vector<std::thread> workers;
    workers.emplace_back(Work, steady, 0, std::cref(stop), std::ref(ops), std::ref(failed), std::ref(crossed));
    workers.emplace_back(Work, churn, 1, std::cref(stop), std::ref(ops), std::ref(failed), std::ref(crossed));

    std::printf("soak: %.1f minutes, a sample every %d s; engine pid %d\n", minutes, interval, int(engine.pid));
    std::printf("%8s %10s %8s %12s %14s %14s %10s %8s\n", "elapsed", "RSS MiB", "threads", "descriptors",
                "file ops", "entry changes", "switches", "refused");
    std::vector<Sample> samples;
    long changes = 0, switches = 0, clients = 0, churnFailures = 0;
    bool refusedAlways = true;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(minutes * 60);
    auto nextSample = start;
    auto nextSwitch = start + std::chrono::seconds(5), nextClient = start + std::chrono::seconds(2);
    for (;;) {
        const auto now = Clock::now();
        if (now >= nextSample) {
            const Sample s = Settled(engine.pid);
            const bool refused = RunCopy(victim, "--read", steady + "/f") == EACCES;
            refusedAlways = refusedAlways && refused;
            samples.push_back(s);
            std::printf("%7.0fs %10.1f %8d %12d %14ld %14ld %10ld %8s\n",
                        std::chrono::duration<double>(Clock::now() - start).count(), s.rssMiB, s.threads, s.fds,
                        ops.load(), changes, switches, refused ? "yes" : "NO");
            std::fflush(stdout);
            nextSample += std::chrono::seconds(interval);
            if (now >= end)
                break;
            continue;
        }
        if (now >= nextSwitch) {
            p.SetActive(false);
            p.SetActive(true);
            churnFailures += !p.Success();
            ++switches;
            nextSwitch += std::chrono::seconds(5);
        }
        if (now >= nextClient) {
            churnFailures += RunCopy(victim, "--count", "1") != 0;
            ++clients;
            nextClient += std::chrono::seconds(2);
        }
        churnFailures += entry(p, churn) != 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        churnFailures += !p.DeleteEntry(1);
        changes += 2;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    stop = true;
    for (auto &w : workers)
        w.join();
    StopEngine(engine);

    // From the first interval on: the first sample is taken before any churn.
    std::vector<double> rss, threads, fds;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        rss.push_back(samples[i].rssMiB);
        threads.push_back(samples[i].threads);
        fds.push_back(samples[i].fds);
    }
    const double perMinute = 60.0 / interval;
    std::printf("\nslope per minute from the first interval on (goal 0): threads %+.2f, descriptors %+.2f, "
                "RSS %+.2f MiB\n",
                Slope(threads) * perMinute, Slope(fds) * perMinute, Slope(rss) * perMinute);
    if (!rss.empty())
        std::printf("RSS at the end / after the first interval: %.3f (%.1f -> %.1f MiB; goal within 1.10)\n",
                    rss.back() / rss.front(), rss.front(), rss.back());
    std::printf("%ld file operations, %ld failed (and %ld renames across a view change); %ld entry changes, %ld "
                "switches off and on, %ld extra clients, %ld churn requests failed; victim refused at every sample: %s\n",
                ops.load(), failed.load(), crossed.load(), changes, switches, clients, churnFailures,
                refusedAlways ? "yes" : "NO");
    fs::remove_all(home);
    return failed == 0 && churnFailures == 0 && refusedAlways ? 0 : 1;
}
