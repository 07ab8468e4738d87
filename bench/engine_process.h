// The real engine daemon run by a benchmark, in a folder of the benchmark's own.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace vx::bench {

inline std::string Slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The drive path of a POSIX path under the default drive map (C: is /).
inline std::string Win(const std::string &posix)
{
    std::string out = "C:" + posix;
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

struct EngineProcess {
    pid_t pid = -1;
    std::string log;
};

// Starts `exe` serving `home`/dev and waits (30 s at most) until it says it is ready.
inline EngineProcess StartEngine(const std::string &exe, const std::string &home)
{
    EngineProcess e;
    e.log = home + "/engine.log";
    ::unlink(e.log.c_str()); // the last round's "ready" must not be taken for this one's
    const std::string dev = home + "/dev";
    e.pid = ::fork();
    if (e.pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int fd = ::open(e.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, 2);
        ::execl(exe.c_str(), exe.c_str(), "--no-load", "--any-client", "--device-dir", dev.c_str(), nullptr);
        _exit(127);
    }
    for (int i = 0; i < 3000 && Slurp(e.log).find("qxd-engine: ready") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return e;
}

inline void StopEngine(EngineProcess &e)
{
    ::kill(e.pid, SIGTERM);
    int st;
    ::waitpid(e.pid, &st, 0);
}

} // namespace vx::bench
