// Starts the real qxd-engine in a private temporary folder (device directory, registry store,
// home) and stops it at the end.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace qxdtest {

inline std::string Slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A private folder with short paths (socket paths are limited in length), removed at the end.
class TempHome {
public:
    TempHome()
    {
        char templ[] = "/tmp/vxq-XXXXXX";
        dir = mkdtemp(templ);
        deviceDir = dir + "/dev";
        registry = dir + "/registry.db";
        setenv("VELLAMORIX_DEVICE_DIR", deviceDir.c_str(), 1);
        setenv("VELLAMORIX_REGISTRY", registry.c_str(), 1);
        setenv("HOME", dir.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
        unsetenv("VELLAMORIX_WINVER");
    }
    ~TempHome()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir, deviceDir, registry;
};

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
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class Daemon {
public:
    // Without `enforce` the daemon only keeps entries (--no-enforce). The test program speaks to
    // it itself, so it serves any client unless `onlyClients`.
    explicit Daemon(const TempHome &home, std::vector<std::string> args = {"--no-load"}, std::string logName = "daemon.log",
                    bool enforce = false, bool onlyClients = false)
        : home_(home), log_(home.dir + "/" + logName)
    {
        const char *build = std::getenv("VX_BUILD_DIR");
        const std::string exe = std::string(build ? build : ".") + "/qxd/qxd-engine";
        pid_ = fork();
        if (pid_ == 0) {
            // A test killed on its time-out takes its daemon along.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<std::string> all = {exe, "--device-dir", home.deviceDir};
            if (!enforce)
                all.push_back("--no-enforce");
            if (!onlyClients)
                all.push_back("--any-client");
            all.insert(all.end(), args.begin(), args.end());
            Exec(std::move(all));
        }
    }
    ~Daemon() { Stop(); }

    // Waits until the daemon says it is ready, or has ended. True when ready.
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
    // True when the process has ended; its exit code is then in status().
    bool Exited()
    {
        if (pid_ <= 0)
            return true;
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
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
                kill(pid_, SIGKILL);
                waitpid(pid_, &st, 0);
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
            kill(pid_, signal);
        return WaitExit();
    }
    std::string Log() const { return Slurp(log_); }
    pid_t pid() const { return pid_; }

private:
    const TempHome &home_;
    std::string log_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// A bare socket client speaking the wire format by hand.
class RawClient {
public:
    explicit RawClient(const std::string &path)
    {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~RawClient() { Close(); }
    void Close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    bool connected() const { return connected_; }
    bool Send(const std::string &bytes) { return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size()); }
    // The same with a file descriptor passed along (SCM_RIGHTS).
    bool SendWithFile(const std::string &bytes, int file)
    {
        iovec iov{const_cast<char *>(bytes.data()), bytes.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &file, sizeof file);
        return ::sendmsg(fd_, &msg, MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // Reads exactly n bytes; empty when the peer closed first. Waits as long as the engine takes.
    std::string Recv(std::size_t n)
    {
        std::string out(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            if (!Wait())
                return "";
            ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
            if (r <= 0)
                return "";
            got += std::size_t(r);
        }
        return out;
    }
    // True when the engine closed the connection.
    bool Closed()
    {
        char c;
        return Wait() && ::recv(fd_, &c, 1, 0) == 0;
    }
    // Guards against a hang only; a healthy engine answers at once.
    bool Wait()
    {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 60000) == 1;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

} // namespace qxdtest
