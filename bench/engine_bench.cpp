// SPDX-License-Identifier: GPL-3.0-or-later
// Engine benchmarks; every figure is a ratio to a baseline measured in the same run, printed as
// the median of several runs next to their minimum and maximum.
//   1. one request's round trip through qxd-engine vs a bare Unix-socket ping-pong of the same
//      message sizes, on each road by which the engine reaches the client's memory (goal: at
//      most 3x);
//   2. reading 10,000 entries as the main window fills its list (count, then GetEntry each),
//      in bare round trips per entry (floor 2, goal: at most 6, stretch 4), on the default road
//      and on each road by itself: the default is never slower than the stub;
//   3. the daemon's resident memory with 100,000 entries of 100-byte paths (goal: <= 64 MiB).
// How to run: bash bench/engine_bench.sh   (or: engine_bench [PATH/TO/qxd-engine [runs]] [--unpinned])
// The measuring process and its peers share one CPU (see PinTo).
#include "bench/engine_process.h"
#include "bench/spread.h"
#include "engine/protector.h"
#include "platform/device/arena.h"
#include "platform/device/device.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using vx::bench::Clock;
using vx::bench::Seconds;
using vx::bench::Slurp;
using vx::bench::Spread;

bool SendAll(int fd, const char *p, std::size_t n)
{
    while (n) {
        ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        p += r;
        n -= std::size_t(r);
    }
    return true;
}

bool RecvAll(int fd, char *p, std::size_t n)
{
    while (n) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0)
            return false;
        p += r;
        n -= std::size_t(r);
    }
    return true;
}

int Connect(const std::string &path)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    for (int i = 0; i < 500; ++i) {
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::close(fd);
    return -1;
}

// This process and every peer it measures (the bare ping-pongs, the daemons) share one CPU, so
// that every exchange costs the same two context switches whichever peer it is; otherwise where
// the scheduler puts each pair (one CPU or two, next to whose load) decides the ratios more than
// the work measured does. "--unpinned" leaves them to the scheduler.
bool g_pinned = true;
cpu_set_t g_allowed; // the CPUs this process was given, before any pinning

void PinTo(int which)
{
    static const bool known = sched_getaffinity(0, sizeof g_allowed, &g_allowed) == 0;
    const cpu_set_t allowed = g_allowed;
    if (!g_pinned || !known || CPU_COUNT(&allowed) < 2)
        return;
    int seen = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed) || seen++ != which)
            continue;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        sched_setaffinity(0, sizeof one, &one);
        return;
    }
}

// A bare ping-pong server in its own process: for each (in, out) pair of the pattern, in turn,
// it reads `in` bytes and answers with `out` bytes.
class BarePingPong {
public:
    BarePingPong(const std::string &dir, const std::string &name,
                 std::vector<std::pair<std::size_t, std::size_t>> pattern)
        : pattern_(std::move(pattern)), buf_(65536, 'y')
    {
        const std::string path = dir + "/" + name;
        int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        if (::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(listener, 1) != 0)
            return;
        child_ = fork();
        if (child_ == 0) {
            PinTo(0);
            int fd = ::accept(listener, nullptr, nullptr);
            std::vector<char> buf(65536, 'x');
            for (;;) {
                for (auto [in, out] : pattern_) {
                    if (!RecvAll(fd, buf.data(), in) || !SendAll(fd, buf.data(), out))
                        _exit(0);
                }
            }
        }
        ::close(listener);
        fd_ = Connect(path);
    }
    ~BarePingPong()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (child_ > 0)
            waitpid(child_, nullptr, 0);
    }
    void Exchange()
    {
        for (auto [in, out] : pattern_) {
            SendAll(fd_, buf_.data(), in);
            RecvAll(fd_, buf_.data(), out);
        }
    }

private:
    std::vector<std::pair<std::size_t, std::size_t>> pattern_;
    std::vector<char> buf_;
    pid_t child_ = -1;
    int fd_ = -1;
};

// Seconds per call of `fn`: the best of several chunks, so that load from elsewhere on the
// machine does not decide the figure.
template <class F>
double BestPerCall(int chunks, int calls, F fn)
{
    double best = 1e30;
    for (int c = 0; c < chunks; ++c) {
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i)
            fn();
        best = std::min(best, Seconds(start) / calls);
    }
    return best;
}

struct Daemon {
    pid_t pid = -1;
    std::string log, devices;
    bool Start(const std::string &exe, const std::string &dir, const std::string &road)
    {
        log = dir + "/daemon.log";
        devices = dir + "/dev";
        pid = fork();
        if (pid == 0) {
            PinTo(0);
            int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 2);
            execl(exe.c_str(), exe.c_str(), "--no-enforce", "--any-client", "--no-load", "--device-dir",
                  devices.c_str(), "--memory", road.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 3000; ++i) {
            if (Slurp(log).find("ready") != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    ~Daemon()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    double ResidentMiB() const
    {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("VmRSS:", 0) == 0)
                return std::atof(line.c_str() + 6) / 1024.0;
        return -1;
    }
};

// Adds entries straight through the device, without the count that AddEntry sends after each.
class RawAdder {
public:
    explicit RawAdder(HANDLE h) : h_(h), pass_(20), block_(84), text_(4096), proc_(2)
    {
        std::memcpy(pass_.data(), QXD_DEFAULT_PASSWORD, 20);
        std::memcpy(proc_.data(), "*", 2);
    }
    bool Add(const std::string &path, uint32_t mask)
    {
        std::memcpy(text_.data(), path.c_str(), path.size() + 1);
        TFPEntryBlock b{};
        b.PasswordLen = 19;
        b.PasswordPtr = pass_.address();
        b.FileFolderLen = uint32_t(path.size());
        b.FileFolderPtr = text_.address();
        b.ProcessLen = 1;
        b.ProcessPtr = proc_.address();
        b.ExcludeFileFolderPtr = proc_.address() + 1;
        b.ExcludeProcessPtr = proc_.address() + 1;
        b.Mask = mask;
        b.EntryFlag = 1;
        b.TotalSize = uint32_t(84 + 5 + 19 + path.size() + 1);
        std::memcpy(block_.data(), &b, 84);
        DWORD bytes = 0;
        return DeviceIoControl(h_, IOCTL_QXD_ADD_ENTRY, block_.data(), 84, nullptr, 0, &bytes, nullptr);
    }
    bool Clear()
    {
        DWORD bytes = 0;
        return DeviceIoControl(h_, IOCTL_QXD_CLEAR_ENTRIES, pass_.data(), 19, nullptr, 0, &bytes, nullptr);
    }
    bool Count(DWORD &count)
    {
        return DeviceIoControl(h_, IOCTL_QXD_GET_ENTRY_COUNT, pass_.data(), 19, nullptr, 0, &count, nullptr);
    }

private:
    HANDLE h_;
    vx::device::ArenaBuffer pass_, block_, text_, proc_;
};

// Reads every entry as the main window does (count, then GetEntry each), in chunks taken in
// turn with as many bare round trips as the floor asks (two per entry), so that both meet the
// same load. Bare round trips per entry: the median over the chunks, so that a burst of load on
// one chunk does not decide.
double ReadLikeTheMainWindow(TVeskFileProtector &p, BarePingPong &bare, int entries, int &rc)
{
    Spread chunks;
    uint32_t n = 0;
    std::size_t read = 0;
    if (p.GetEntryCount(n)) {
        constexpr uint32_t kChunk = 250;
        for (uint32_t from = 0; from < n; from += kChunk) {
            const uint32_t to = std::min(n, from + kChunk);
            auto start = Clock::now();
            for (uint32_t i = from; i < to; ++i) {
                uint32_t mask = 0, sd = 0, c1 = 0, c2 = 0;
                uint8_t flag = 0;
                std::string a, b, c, d;
                read += p.GetEntry(int32_t(i), mask, a, b, c, d, nullptr, sd, c1, nullptr, c2, nullptr, flag);
            }
            const double perEntry = Seconds(start) / (to - from);
            start = Clock::now();
            for (uint32_t i = 0; i < 2 * (to - from); ++i)
                bare.Exchange();
            const double perTrip = Seconds(start) / (2 * (to - from));
            chunks.Add(perEntry / perTrip);
        }
    }
    if (read != std::size_t(entries) || n == 0) {
        std::fprintf(stderr, "engine_bench: read %zu of %d entries\n", read, entries);
        rc = 1;
        return 0;
    }
    return chunks.Median();
}

// Time per request against time per bare exchange, in chunks taken in turn; the median over the
// chunks.
template <class Request>
double RequestRatio(BarePingPong &bare, Request request)
{
    Spread chunks;
    for (int chunk = 0; chunk < 20; ++chunk) {
        auto start = Clock::now();
        for (int i = 0; i < 200; ++i)
            request();
        const double engine = Seconds(start);
        start = Clock::now();
        for (int i = 0; i < 200; ++i)
            bare.Exchange();
        chunks.Add(engine / Seconds(start));
    }
    return chunks.Median();
}

// How the engine served this process's last connection of QXDAnsi, from its log.
std::string RoadTaken(const Daemon &daemon)
{
    for (int i = 0; i < 200; ++i) {
        const std::string log = Slurp(daemon.log);
        const std::size_t at = log.rfind("client of QXDAnsi disconnected after ");
        if (at != std::string::npos) {
            const std::size_t open = log.find(" (memory ", at), end = log.find('\n', at);
            if (open != std::string::npos && open < end)
                return log.substr(open + 2, end - open - 3);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "road not reported";
}

HANDLE OpenAnsi(const std::string &devices)
{
    setenv("VELLAMORIX_DEVICE_DIR", devices.c_str(), 1);
    return CreateFileA("\\\\.\\Global\\QXDAnsi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--unpinned")
            g_pinned = false;
        else
            args.push_back(argv[i]);
    }
    std::string exe;
    if (!args.empty())
        exe = args[0];
    else
        exe =
            (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "qxd" / "qxd-engine").string();
    const int runs = args.size() > 1 ? std::max(5, std::atoi(args[1].c_str())) : 7;
    char templ[] = "/tmp/vxbench-XXXXXX";
    const std::string dir = mkdtemp(templ);
    setenv("VELLAMORIX_REGISTRY", (dir + "/registry.db").c_str(), 1);
    signal(SIGPIPE, SIG_IGN);
    PinTo(0);

    int rc = 0;
    {
        // One daemon per road: the default (shared memory where the client offers its arena,
        // else the faster of the other two, measured), and each road by itself.
        struct Road {
            Road(const char *o, const char *n) : option(o), name(n) {}
            const char *option, *name;
            Daemon daemon;
            HANDLE handle = INVALID_HANDLE_VALUE;
            Spread request, reading;
        };
        Road roads[] = {
            {"auto", "default road"}, {"shared", "shared memory"}, {"kernel", "kernel calls"}, {"stub", "device stub"}};
        const int kEntries = 10000;
        for (Road &road : roads) {
            const std::string sub = dir + "/" + road.option;
            std::filesystem::create_directories(sub);
            if (!road.daemon.Start(exe, sub, road.option) ||
                (road.handle = OpenAnsi(road.daemon.devices)) == INVALID_HANDLE_VALUE) {
                std::fprintf(stderr, "engine_bench: qxd-engine (%s) did not start or cannot be opened:\n%s\n",
                             exe.c_str(), Slurp(road.daemon.log).c_str());
                std::filesystem::remove_all(dir);
                return 1;
            }
            RawAdder raw(road.handle);
            for (int i = 0; i < kEntries; ++i) {
                char path[64];
                std::snprintf(path, sizeof path, "C:\\Documents\\bench\\folder-%05d\\*;", i);
                raw.Add(path, FP_PRESET_READONLY);
            }
        }

        // Bare ping-pongs of the messages of one request: with the memory reached without the
        // stub CONTROL 32 -> DONE 16; through the stub CONTROL 32 -> READ 16, answer 27 -> DONE 16.
        BarePingPong bareTrip(dir, "pingpong-trip", {{32, 16}});
        BarePingPong bareStub(dir, "pingpong-stub", {{32, 16}, {27, 16}});
        DWORD count = 0;
        std::string defaultRoad;
        for (int run = 0; run < runs; ++run) {
            for (Road &road : roads) {
                // 1. One request (the count), in chunks taken in turn with its bare ping-pong.
                BarePingPong &bare = std::string(road.option) == "stub" ? bareStub : bareTrip;
                RawAdder counter(road.handle);
                road.request.Add(RequestRatio(bare, [&] { counter.Count(count); }));

                // 2. Reading every entry as the main window does, with a client of its own.
                setenv("VELLAMORIX_DEVICE_DIR", road.daemon.devices.c_str(), 1);
                {
                    TVeskFileProtector p(nullptr);
                    road.reading.Add(ReadLikeTheMainWindow(p, bareTrip, kEntries, rc));
                }
                if (road.option == std::string("auto") && run == 0)
                    defaultRoad = RoadTaken(road.daemon);
            }
        }
        const double trip = BestPerCall(5, 2000, [&] { bareTrip.Exchange(); });
        std::printf("bare round trip (CONTROL 32 -> DONE 16): %.2f us (%s)\n", trip * 1e6,
                    g_pinned ? "both ends on one CPU" : "where the scheduler puts them");
        std::printf("one request / bare ping-pong of the same sizes (goal <= 3):\n");
        for (Road &road : roads)
            if (road.option != std::string("auto"))
                std::printf("  %-14s %s\n", road.name, road.request.Text().c_str());
        std::printf("reading %d entries, bare round trips per entry (floor 2, goal <= 6, stretch 4):\n", kEntries);
        for (Road &road : roads)
            std::printf("  %-14s %s%s\n", road.name, road.reading.Text().c_str(),
                        road.option == std::string("auto") ? ("  [" + defaultRoad + "]").c_str() : "");

        // 3. Resident memory with 100,000 entries of 100-byte paths, each run in a daemon of its own.
        Spread resident, idle;
        const int kMany = 100000;
        for (int run = 0; run < 5 && rc == 0; ++run) {
            const std::string sub = dir + "/memory-" + std::to_string(run);
            std::filesystem::create_directories(sub);
            Daemon daemon;
            HANDLE h = INVALID_HANDLE_VALUE;
            if (!daemon.Start(exe, sub, "auto") || (h = OpenAnsi(daemon.devices)) == INVALID_HANDLE_VALUE) {
                std::fprintf(stderr, "engine_bench: qxd-engine did not start:\n%s\n", Slurp(daemon.log).c_str());
                rc = 1;
                break;
            }
            {
                RawAdder raw(h);
                idle.Add(daemon.ResidentMiB());
                for (int i = 0; i < kMany; ++i) {
                    std::string path = "C:\\Program Files\\Vellamorix bench\\protected\\" + std::to_string(i) + "\\";
                    path.resize(100, 'p');
                    if (!raw.Add(path, FP_PRESET_NOACCESS)) {
                        std::fprintf(stderr, "engine_bench: add %d failed (%u)\n", i, GetLastError());
                        rc = 1;
                        break;
                    }
                }
                raw.Count(count);
                resident.Add(daemon.ResidentMiB());
            }
            CloseHandle(h);
        }
        std::printf("daemon resident memory with %u entries of 100-byte paths, MiB (goal <= 64): %s; idle %s\n", count,
                    resident.Text("%.1f").c_str(), idle.Text("%.1f").c_str());
        for (Road &road : roads)
            CloseHandle(road.handle);
    }
    std::filesystem::remove_all(dir);
    return rc;
}
