// SPDX-License-Identifier: GPL-3.0-or-later
// Enforcement benchmark; every figure is a ratio measured in the same run (median of the rounds,
// with their minimum and maximum):
//   1. open+close and reading a 1 MiB file on an object no entry covers, against no engine
//      (goal <= 1.05);
//   2. the same on a covered object by a process the entry lets through, against the floor of
//      this kernel's FUSE: a server in the same run that does nothing but pass an opened file
//      through (goal: open <= 1.2, reading <= 1.1); the floor against no engine is printed too;
//   3. open, read and listing below a sibling of an object an entry names itself (its folder is
//      served for that name), against no engine (goal <= 1.05, after the first lookup), and
//      listing that folder (goal <= 3);
//   4. listing a covered folder of 10,000 files, a tenth of whose names are hidden from the
//      lister, against a bare listing (goal <= 3).
// The measuring process runs on one CPU; the engine and the floor server are left to the
// scheduler. Needs root: the engine mounts its views, in a mount namespace of this benchmark's own.
// How to run: bash bench/enforce_bench.sh   (or: enforce_bench PATH/TO/qxd-engine [rounds])
#include "bench/engine_process.h"
#include "bench/spread.h"
#include "engine/fprec.h"
#include "engine/protector.h"
#include "qxd/fuseview.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace vx::bench;

namespace {

// Microseconds per call of `work`, the best of three tries of `n` calls.
double PerCall(int n, const std::function<void()> &work)
{
    double best = 1e9;
    for (int t = 0; t < 3; ++t) {
        const auto start = Clock::now();
        for (int i = 0; i < n; ++i)
            work();
        best = std::min(best, Seconds(start) / n * 1e6);
    }
    return best;
}

void OpenClose(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    ::close(fd);
}

void ReadWhole(const std::string &path)
{
    static std::vector<char> buf(1 << 20);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    size_t total = 0;
    ssize_t n;
    while ((n = ::read(fd, buf.data(), buf.size())) > 0)
        total += size_t(n);
    ::close(fd);
    if (total != buf.size()) {
        std::fprintf(stderr, "%s: read %zu bytes\n", path.c_str(), total);
        std::exit(1);
    }
}

size_t List(const std::string &path)
{
    DIR *d = ::opendir(path.c_str());
    if (!d) {
        std::perror(path.c_str());
        std::exit(1);
    }
    size_t n = 0;
    while (::readdir(d))
        ++n;
    ::closedir(d);
    return n;
}

struct Figures {
    double plainOpen, plainRead, coveredOpen, coveredRead, list;
    double sibOpen, sibRead, sibList, hostList;
    size_t listed;
};

// A pause between measurements, so work the engine still owes one (closes are answered after
// they return) is not counted in the next.
void Settle()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

Figures Measure(const std::string &data)
{
    Figures f{};
    f.plainOpen = PerCall(20000, [&] { OpenClose(data + "/plain/small"); });
    Settle();
    f.coveredOpen = PerCall(20000, [&] { OpenClose(data + "/covered/small"); });
    Settle();
    f.plainRead = PerCall(1000, [&] { ReadWhole(data + "/plain/big"); });
    Settle();
    f.coveredRead = PerCall(1000, [&] { ReadWhole(data + "/covered/big"); });
    Settle();
    f.list = PerCall(20, [&] { f.listed = List(data + "/list"); });
    Settle();
    f.sibOpen = PerCall(20000, [&] { OpenClose(data + "/host/sib/small"); });
    Settle();
    f.sibRead = PerCall(1000, [&] { ReadWhole(data + "/host/sib/big"); });
    Settle();
    f.sibList = PerCall(200, [&] { List(data + "/host/sib"); });
    Settle();
    f.hostList = PerCall(200, [&] { List(data + "/host"); });
    return f;
}

// Sets the fuse module's io_uring switch; its old value ('Y', 'N'), or 0 when there is none.
char SetUring(char value)
{
    const char *path = "/sys/module/fuse/parameters/enable_uring";
    char old = 0;
    if (FILE *f = std::fopen(path, "r")) {
        old = char(std::fgetc(f));
        std::fclose(f);
    }
    if (FILE *f = std::fopen(path, "w")) {
        std::fputc(value, f);
        std::fclose(f);
    }
    return old == 'Y' || old == 'N' ? old : 0;
}

// The floor: a FUSE server that decides nothing, serving `folder` over itself in a process of
// its own, left to the scheduler like the engine. Returns its pid; it ends on SIGTERM.
pid_t StartFloor(const std::string &folder)
{
    int ready[2];
    if (::pipe(ready) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        cpu_set_t all;
        CPU_ZERO(&all);
        for (int c = 0; c < CPU_SETSIZE; ++c)
            CPU_SET(c, &all);
        ::sched_setaffinity(0, sizeof all, &all);
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        ::sigprocmask(SIG_BLOCK, &term, nullptr);
        class Nothing : public vx::qxd::Gatekeeper {
        public:
            std::shared_ptr<const vx::qxd::Policy> Current() const override { return nullptr; }
            void Denied(const vx::qxd::Subject &, const std::string &, const vx::qxd::Decision &) override {}
            bool Permissive() const override { return false; }
        };
        std::string error;
        auto session = vx::qxd::FuseSession::Start({"vx-floor", 0, true}, std::make_shared<Nothing>(), error);
        const int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        std::shared_ptr<vx::qxd::FuseView> view;
        if (session)
            view = session->Mount({folder, fd}, error);
        if (!view) {
            std::fprintf(stderr, "enforce_bench: the floor server: %s\n", error.c_str());
            _exit(1);
        }
        const char ok = 1;
        [[maybe_unused]] ssize_t w = ::write(ready[1], &ok, 1);
        int sig = 0;
        ::sigwait(&term, &sig);
        view->Unmount();
        _exit(0);
    }
    ::close(ready[1]);
    char ok = 0;
    const bool up = ::read(ready[0], &ok, 1) == 1;
    ::close(ready[0]);
    if (!up) {
        ::waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: enforce_bench PATH/TO/qxd-engine [rounds]\n");
        return 2;
    }
    const std::string exe = fs::absolute(argv[1]);
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    if (::geteuid() != 0) {
        std::fprintf(stderr, "enforce_bench: needs root (the engine mounts its views)\n");
        return 2;
    }
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::perror("enforce_bench: private mount namespace");
        return 1;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    ::sched_setaffinity(0, sizeof one, &one);

    char templ[] = "/tmp/vxb-XXXXXX";
    const std::string home = ::mkdtemp(templ);
    const std::string data = home + "/data";
    setenv("VELLAMORIX_DEVICE_DIR", (home + "/dev").c_str(), 1);
    setenv("VELLAMORIX_REGISTRY", (home + "/store/registry.db").c_str(), 1);
    unsetenv("VELLAMORIX_DRIVES");
    std::string big(1 << 20, 'x');
    for (const char *folder : {"plain", "covered", "floor", "host/prot", "host/sib"}) {
        fs::create_directories(data + "/" + folder);
        std::ofstream(data + "/" + folder + "/small") << "small\n";
        std::ofstream(data + "/" + folder + "/big") << big;
    }
    fs::create_directories(data + "/list");
    std::string shown;
    for (int i = 0; i < 10000; ++i) {
        const std::string name = data + "/list/file" + std::to_string(i);
        std::ofstream(name) << "";
        if (i % 10)
            shown += Win(name) + ";";
    }

    for (int i = 0; i < 100; ++i)
        std::ofstream(data + "/host/sib/n" + std::to_string(i)) << "";

    std::map<std::string, vx::bench::Spread> ratios;
    size_t bareListed = 0, hiddenListed = 0;
    for (int r = 0; r < rounds; ++r) {
        const Figures bare = Measure(data);
        // The floor, over "floor" (a copy of "covered"), in the same round.
        // Served through io_uring where the module allows it, as the engine's views are.
        const char uring = SetUring('Y');
        const pid_t floorServer = StartFloor(data + "/floor");
        if (floorServer < 0) {
            std::fprintf(stderr, "enforce_bench: the floor server did not start\n");
            return 1;
        }
        const double floorOpen = PerCall(20000, [&] { OpenClose(data + "/floor/small"); });
        Settle();
        const double floorRead = PerCall(1000, [&] { ReadWhole(data + "/floor/big"); });
        ::kill(floorServer, SIGTERM);
        ::waitpid(floorServer, nullptr, 0);
        if (uring)
            SetUring(uring);
        Settle();
        EngineProcess engine = StartEngine(exe, home);
        {
            TVeskFileProtector p;
            // Covered for another program: this one is let through, after its executable is asked.
            const bool ok = p.AddEntry(FP_PRESET_NOACCESS, Win(data + "/covered") + "\\*;", "", "victim", "", nullptr,
                                       0, nullptr, 0, nullptr, 1) == 0 &&
                            // Every tenth name of the folder hidden from this program.
                            p.AddEntry(FP_PRESET_INVISIBLE, Win(data + "/list") + "\\*;", shown, "enforce_bench", "",
                                       nullptr, 0, nullptr, 0, nullptr, 1) == 1 &&
                            // An entry elsewhere, so the engine enforces while the plain files are used.
                            p.AddEntry(FP_PRESET_NOACCESS, Win(home + "/elsewhere") + ";", "", "*", "", nullptr, 0,
                                       nullptr, 0, nullptr, 1) == 2 &&
                            // An object named itself: its folder "host" is served for its name.
                            p.AddEntry(FP_PRESET_FULLHIDDEN,
                                       Win(data + "/host/prot") + "\\*;" + Win(data + "/host/prot") + ";", "", "victim",
                                       "", nullptr, 0, nullptr, 0, nullptr, 1) == 3;
            if (!ok) {
                std::fprintf(stderr, "enforce_bench: the engine did not take the entries:\n%s",
                             Slurp(engine.log).c_str());
                StopEngine(engine);
                return 1;
            }
        }
        // The first lookups below the sibling are made before measuring.
        List(data + "/host/sib");
        const Figures with = Measure(data);
        StopEngine(engine);
        ratios["open+close, object not covered"].Add(with.plainOpen / bare.plainOpen);
        ratios["read 1 MiB, object not covered"].Add(with.plainRead / bare.plainRead);
        ratios["open+close, covered, let through"].Add(with.coveredOpen / floorOpen);
        ratios["read 1 MiB, covered, let through"].Add(with.coveredRead / floorRead);
        ratios["floor open+close / no engine"].Add(floorOpen / bare.coveredOpen);
        ratios["floor read 1 MiB / no engine"].Add(floorRead / bare.coveredRead);
        ratios["open+close below a sibling"].Add(with.sibOpen / bare.sibOpen);
        ratios["read 1 MiB below a sibling"].Add(with.sibRead / bare.sibRead);
        ratios["list below a sibling"].Add(with.sibList / bare.sibList);
        ratios["list the object's folder"].Add(with.hostList / bare.hostList);
        ratios["list 10,000 names, 1,000 hidden"].Add(with.list / bare.list);
        bareListed = bare.listed;
        hiddenListed = with.listed;
        std::printf("round %d: bare open %.2f us, read %.1f us, list %.0f us; covered open %.2f us, read %.1f us, "
                    "list %.0f us\n",
                    r + 1, bare.coveredOpen, bare.coveredRead, bare.list, with.coveredOpen, with.coveredRead,
                    with.list);
    }
    std::printf("\nenforcing / baseline (no engine, or the floor where said), over %d rounds (goal):\n", rounds);
    const std::pair<const char *, const char *> order[] = {
        {"open+close, object not covered", "<= 1.05"},
        {"read 1 MiB, object not covered", "<= 1.05"},
        {"open+close, covered, let through", "<= 1.2 of the floor"},
        {"read 1 MiB, covered, let through", "<= 1.1 of the floor"},
        {"floor open+close / no engine", "none: the mechanism"},
        {"floor read 1 MiB / no engine", "none: the mechanism"},
        {"open+close below a sibling", "<= 1.05"},
        {"read 1 MiB below a sibling", "<= 1.05"},
        {"list below a sibling", "<= 1.05"},
        {"list the object's folder", "<= 3"},
        {"list 10,000 names, 1,000 hidden", "<= 3"},
    };
    for (const auto &[name, goal] : order)
        std::printf("  %-34s %s  goal %s\n", name, ratios[name].Text().c_str(), goal);
    std::printf("  names listed: %zu bare, %zu with the engine\n", bareListed, hiddenListed);
    fs::remove_all(home);
    return 0;
}
