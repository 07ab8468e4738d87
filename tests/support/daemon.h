// SPDX-License-Identifier: GPL-3.0-or-later
// The real qxd-engine on a sandbox's device folder: started as a child of the test (which takes
// it along when it dies), every wait bounded, killed when it does not stop.
#pragma once

#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vxtest {

inline std::string Slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A program of the build tree ("qxd/qxd-engine").
inline std::string Built(const std::string &relative)
{
    const char *build = std::getenv("VX_BUILD_DIR");
    return std::string(build ? build : ".") + "/" + relative;
}

// In a child process: runs argv[0] with these arguments, or ends with 127.
[[noreturn]] inline void Exec(std::vector<std::string> argv)
{
    std::vector<char *> args;
    for (std::string &a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    _exit(127);
}

// Waits up to `seconds` for a child process; false when it is still running.
inline bool WaitChild(pid_t pid, int &status, int seconds = 60)
{
    for (int i = 0; i < seconds * 100; ++i) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class Daemon {
public:
    // Starts the engine. Without `enforce` it only keeps entries (--no-enforce). The test program
    // speaks to it itself, so it serves any client unless `onlyClients`. Its output goes to
    // `logName` in the sandbox, emptied first.
    explicit Daemon(const Sandbox &box, std::vector<std::string> args = {"--no-load"}, std::string logName = "daemon.log",
                    bool enforce = false, bool onlyClients = false)
        : log_(box.dir + "/" + logName)
    {
        std::vector<std::string> all = {Built("qxd/qxd-engine"), "--device-dir", box.deviceDir};
        if (!enforce)
            all.push_back("--no-enforce");
        if (!onlyClients)
            all.push_back("--any-client");
        all.insert(all.end(), args.begin(), args.end());
        // Everything the child needs is made before the fork: the test program may run threads.
        std::vector<char *> argv;
        for (std::string &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int log = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (log < 0) {
            ADD_FAILURE() << "cannot write " << log_;
            return;
        }
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            // A test killed on its time-out takes its daemon along.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent)
                _exit(126);
            ::dup2(log, 1);
            ::dup2(log, 2);
            ::execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(log);
        if (pid_ < 0)
            ADD_FAILURE() << "fork: " << std::strerror(errno);
    }
    ~Daemon() { Stop(); }
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Waits (a minute at most) until the daemon says it is ready, or has ended. True when ready.
    bool WaitReady()
    {
        for (int i = 0; i < 6000; ++i) {
            if (Log().find("qxd-engine: ready") != std::string::npos)
                return true;
            if (Exited())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // True when the process has ended; its exit code is then what WaitExit returns.
    bool Exited()
    {
        if (pid_ <= 0)
            return true;
        int st = 0;
        if (::waitpid(pid_, &st, WNOHANG) == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            pid_ = -1;
            return true;
        }
        return false;
    }
    // Waits for the end; a daemon still running after a minute is killed and the test fails.
    int WaitExit()
    {
        if (pid_ > 0) {
            int st = 0;
            if (!WaitChild(pid_, st)) {
                ADD_FAILURE() << "qxd-engine did not stop; its log:\n" << Log();
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &st, 0);
            }
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            pid_ = -1;
        }
        return status_;
    }
    // SIGTERM (or another signal) and wait; returns the exit status.
    int Stop(int signal = SIGTERM)
    {
        if (pid_ > 0)
            ::kill(pid_, signal);
        return WaitExit();
    }
    std::string Log() const { return Slurp(log_); }
    pid_t pid() const { return pid_; }

private:
    std::string log_;
    pid_t pid_ = -1;
    int status_ = -1;
};

} // namespace vxtest
