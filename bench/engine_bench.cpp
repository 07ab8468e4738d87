// Engine benchmarks; every figure is a ratio to a baseline measured in the same run.
//   1. one request's round trip through qxd-engine vs a bare Unix-socket ping-pong of the
//      same message sizes (goal: at most 3x);
//   2. reading 10,000 entries as the main window fills its list (count, then GetEntry each),
//      in bare round trips per entry (floor 2, goal: at most 6);
//   3. the daemon's resident memory with 100,000 entries of 100-byte paths (goal: <= 64 MiB).
// How to run: bash bench/engine_bench.sh   (or: engine_bench PATH/TO/qxd-engine)
#include "engine/protector.h"
#include "platform/device/arena.h"
#include "platform/device/device.h"

#include <fcntl.h>
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
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string Slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

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

// A bare ping-pong server in its own process: for each (in, out) pair of the pattern, in turn,
// it reads `in` bytes and answers with `out` bytes.
class BarePingPong {
public:
    BarePingPong(const std::string &dir, const std::string &name, std::vector<std::pair<std::size_t, std::size_t>> pattern)
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
    std::string log;
    bool Start(const std::string &exe, const std::string &dir, const char *extra = nullptr)
    {
        log = dir + "/daemon.log";
        pid = fork();
        if (pid == 0) {
            int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 2);
            execl(exe.c_str(), exe.c_str(), "--no-enforce", "--no-load", "--device-dir", (dir + "/dev").c_str(), extra,
                  static_cast<char *>(nullptr));
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
    bool Count(DWORD &count) { return DeviceIoControl(h_, IOCTL_QXD_GET_ENTRY_COUNT, pass_.data(), 19, nullptr, 0, &count, nullptr); }

private:
    HANDLE h_;
    vx::device::ArenaBuffer pass_, block_, text_, proc_;
};

// Fills the engine behind `h` with `entries` entries, then reads them all as the main window does
// (count, then GetEntry each), three times; returns the best seconds per entry.
double ReadLikeTheMainWindow(HANDLE h, int entries, int &rc)
{
    RawAdder raw(h);
    for (int i = 0; i < entries; ++i) {
        char path[64];
        std::snprintf(path, sizeof path, "C:\\Documents\\bench\\folder-%05d\\*;", i);
        raw.Add(path, FP_PRESET_READONLY);
    }
    double best = 1e30;
    TVeskFileProtector p(nullptr);
    for (int round = 0; round < 3; ++round) {
        const auto start = Clock::now();
        uint32_t n = 0;
        std::size_t read = 0;
        if (p.GetEntryCount(n)) {
            for (uint32_t i = 0; i < n; ++i) {
                uint32_t mask = 0, sd = 0, c1 = 0, c2 = 0;
                uint8_t flag = 0;
                std::string a, b, c, d;
                read += p.GetEntry(int32_t(i), mask, a, b, c, d, nullptr, sd, c1, nullptr, c2, nullptr, flag);
            }
        }
        best = std::min(best, Seconds(start) / entries);
        if (read != std::size_t(entries)) {
            std::fprintf(stderr, "engine_bench: read %zu of %d entries\n", read, entries);
            rc = 1;
        }
    }
    return best;
}

} // namespace

int main(int argc, char **argv)
{
    std::string exe;
    if (argc > 1)
        exe = argv[1];
    else
        exe = (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "qxd" / "qxd-engine").string();
    char templ[] = "/tmp/vxbench-XXXXXX";
    const std::string dir = mkdtemp(templ);
    setenv("VELLAMORIX_DEVICE_DIR", (dir + "/dev").c_str(), 1);
    setenv("VELLAMORIX_REGISTRY", (dir + "/registry.db").c_str(), 1);
    signal(SIGPIPE, SIG_IGN);

    int rc = 0;
    {
        Daemon daemon;
        if (!daemon.Start(exe, dir)) {
            std::fprintf(stderr, "engine_bench: qxd-engine (%s) did not start:\n%s\n", exe.c_str(),
                         Slurp(daemon.log).c_str());
            std::filesystem::remove_all(dir);
            return 1;
        }
        HANDLE h = CreateFileA("\\\\.\\Global\\QXDAnsi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "engine_bench: cannot open the engine\n");
            std::filesystem::remove_all(dir);
            return 1;
        }
        RawAdder raw(h);

        // 1. One request (the count), measured in alternating chunks against a bare ping-pong of
        // the same messages: with the engine reaching the client's arena directly it is
        // CONTROL 32 -> DONE 16; through the stub CONTROL 32 -> READ 16, answer 27 -> DONE 16.
        DWORD count = 0;
        BarePingPong bareRequest(dir, "pingpong-request", {{32, 16}, {27, 16}});
        BarePingPong bareTrip(dir, "pingpong-trip", {{32, 16}});
        auto requestRatio = [&](HANDLE device, BarePingPong &bare, const char *how) {
            RawAdder counter(device);
            double perRequest = 1e30, perBare = 1e30;
            for (int round = 0; round < 10; ++round) {
                perRequest = std::min(perRequest, BestPerCall(1, 2000, [&] { counter.Count(count); }));
                perBare = std::min(perBare, BestPerCall(1, 2000, [&] { bare.Exchange(); }));
            }
            std::printf("request round trip (%s): %.2f us through qxd-engine, %.2f us bare ping-pong of the same "
                        "sizes; ratio %.2f (goal <= 3)\n",
                        how, perRequest * 1e6, perBare * 1e6, perRequest / perBare);
        };
        requestRatio(h, bareTrip, "memory reached directly");

        // 2. Reading 10,000 entries as the main window does, against bare round trips; once with
        // the engine reaching the client's arena directly (where permitted), once through the stub.
        const int kEntries = 10000;
        const double perEntry = ReadLikeTheMainWindow(h, kEntries, rc);
        double perEntryStub = 0;
        {
            const std::string stubDir = dir + "/stub";
            std::filesystem::create_directories(stubDir);
            Daemon stubDaemon;
            if (stubDaemon.Start(exe, stubDir, "--stub-only")) {
                setenv("VELLAMORIX_DEVICE_DIR", (stubDir + "/dev").c_str(), 1);
                HANDLE hs = CreateFileA("\\\\.\\Global\\QXDAnsi", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
                if (hs != INVALID_HANDLE_VALUE) {
                    requestRatio(hs, bareRequest, "through the device stub");
                    perEntryStub = ReadLikeTheMainWindow(hs, kEntries, rc);
                    CloseHandle(hs);
                }
                setenv("VELLAMORIX_DEVICE_DIR", (dir + "/dev").c_str(), 1);
            }
        }
        const double perTrip = BestPerCall(10, 2500, [&] { bareTrip.Exchange(); });
        std::printf("reading %d entries: %.2f us per entry, bare round trip %.2f us; %.2f bare round trips per "
                    "entry (floor 2, goal <= 6)\n",
                    kEntries, perEntry * 1e6, perTrip * 1e6, perEntry / perTrip);
        if (perEntryStub > 0)
            std::printf("  the same through the device stub only (--stub-only): %.2f us per entry, %.2f bare round "
                        "trips per entry\n",
                        perEntryStub * 1e6, perEntryStub / perTrip);

        // 3. Resident memory with 100,000 entries of 100-byte paths.
        raw.Clear();
        const double idle = daemon.ResidentMiB();
        const int kMany = 100000;
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
        const double full = daemon.ResidentMiB();
        std::printf("daemon resident memory: %.1f MiB with %u entries of 100-byte paths (%.1f MiB idle); "
                    "%.2f of the 64 MiB goal\n",
                    full, count, idle, full / 64.0);
        CloseHandle(h);
    }
    std::filesystem::remove_all(dir);
    return rc;
}
