// SPDX-License-Identifier: GPL-3.0-or-later
// The enforcing engine as the enforcement tests drive it: the daemon runs as root in the test's
// own mount namespace, and copies of one small program ("victim", "bystander", ...) are the
// processes asked about.
#pragma once

#include "engine/fprec.h"
#include "engine/protector.h"
#include "platform/registry/registry.h"
#include "qxd/paths.h"
#include "qxd/daemon_fixture.h"
#include "support/enforcing.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qxdtest {

namespace fs = std::filesystem;

inline bool Denied(int err)
{
    return err == EACCES || err == EPERM;
}

inline std::string Read(const std::string &path)
{
    return Slurp(path);
}

inline void Write(const std::string &path, const std::string &text)
{
    std::ofstream(path) << text;
}

// The mounts of this engine (and none of another) in this namespace.
// A Unix-domain socket bound at `path` and listening; -1 on failure.
inline int Listen(const std::string &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline std::vector<std::string> EngineMounts()
{
    std::vector<std::string> out;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.find(" - fuse.qxd ") != std::string::npos)
            out.push_back(line);
    return out;
}

// A copy of the operations program running as a server: one operation per line.
class Runner {
public:
    explicit Runner(const std::string &exe)
    {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::execl(exe.c_str(), exe.c_str(), "serve", nullptr);
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        to_ = ::fdopen(in[1], "w");
        from_ = out[0];
    }
    ~Runner()
    {
        if (to_)
            std::fclose(to_);
        if (from_ >= 0)
            ::close(from_);
        if (pid_ > 0) {
            int st;
            if (!WaitChild(pid_, st, 10)) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &st, 0);
            }
        }
    }
    // The answer line: the errno (0: done) and for "list" the names; "-1" when the runner did
    // not answer in 30 s.
    std::string Line(const std::string &op, const std::string &a, const std::string &b = "")
    {
        std::fprintf(to_, "%s %s %s\n", op.c_str(), a.c_str(), b.c_str());
        std::fflush(to_);
        std::string line;
        char c;
        for (;;) {
            pollfd p{from_, POLLIN, 0};
            if (::poll(&p, 1, 30000) != 1 || ::read(from_, &c, 1) != 1)
                return "-1";
            if (c == '\n')
                break;
            line += c;
        }
        return line;
    }
    int Do(const std::string &op, const std::string &a, const std::string &b = "") { return std::atoi(Line(op, a, b).c_str()); }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    FILE *to_ = nullptr;
    int from_ = -1;
};

class EnforceTest : public vxtest::EnforcingTest {
protected:
    void SetUp() override
    {
        EnforcingTest::SetUp();
        if (Stopped())
            return;
        home = std::make_unique<vxtest::Sandbox>();
        data = home->dir + "/data";
        fs::create_directories(data + "/prot/sub");
        fs::create_directories(data + "/open");
        Write(data + "/prot/f", "secret\n");
        Write(data + "/prot/sub/g", "deep\n");
        Write(data + "/open/o", "public\n");
        fs::create_directories(home->dir + "/bin");
        for (const char *name : {"victim", "bystander", "Victim2", "other"})
            fs::copy_file(Built("tests/qxd/vx_fsop"), Bin(name));
    }
    void TearDown() override
    {
        protector.reset();
        const int status = daemon ? daemon->Stop() : 0;
        if (daemon) {
            EXPECT_EQ(status, 0) << daemon->Log();
        }
        daemon.reset();
        // Nothing of the engine stays mounted once it has stopped.
        if (home) {
            const std::vector<std::string> left = EngineMounts();
            EXPECT_TRUE(left.empty()) << left.front();
        }
    }

    std::string Bin(const std::string &name) const { return home->dir + "/bin/" + name; }
    // The drive path of a POSIX path under the default drive map (C: is /).
    static std::string Win(const std::string &posix)
    {
        std::string out = "C:" + posix;
        std::replace(out.begin(), out.end(), '/', '\\');
        return out;
    }

    // Each daemon of a test writes its own log, so the next one is not taken for ready early.
    // With `onlyClients` it serves the project's own clients alone, not this test program.
    void Start(std::vector<std::string> args = {"--no-load"}, bool onlyClients = false)
    {
        daemon = std::make_unique<Daemon>(*home, args, "daemon" + std::to_string(++started) + ".log", true, onlyClients);
        ASSERT_TRUE(daemon->WaitReady()) << daemon->Log();
        protector = std::make_unique<TVeskFileProtector>();
        ASSERT_TRUE(protector->Success()) << daemon->Log();
    }
    int32_t Add(uint32_t mask, const std::string &folders, const std::string &process = "victim",
                const std::string &exclFolders = "", const std::string &exclProcess = "")
    {
        return protector->AddEntry(mask, folders, exclFolders, process, exclProcess, nullptr, 0, nullptr, 0, nullptr, 1);
    }
    // Runs `who` for one operation; its errno (0: done).
    int Op(const std::string &who, const std::string &op, const std::string &a, const std::string &b = "")
    {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const std::string exe = Bin(who);
            if (b.empty())
                ::execl(exe.c_str(), who.c_str(), op.c_str(), a.c_str(), nullptr);
            else
                ::execl(exe.c_str(), who.c_str(), op.c_str(), a.c_str(), b.c_str(), nullptr);
            _exit(127);
        }
        int st = 0;
        if (!WaitChild(pid, st, 30)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
            ADD_FAILURE() << who << " " << op << " " << a << " hung";
            return -1;
        }
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    std::string DenialLog() const { return Slurp(home->deviceDir + "/qxd-engine.log"); }

    // Runs `argv` with `input` on its standard input and returns what it printed (both streams) and
    // its exit status; with `hide`, first in a mount namespace of its own where `hide` (a folder,
    // below which `plant` names a file to copy) is covered by a tmpfs holding only that copy.
    struct Outcome {
        int status = -1;
        std::string out;
    };
    Outcome Capture(std::vector<std::string> argv, const std::string &input = "", const std::string &hide = "",
                    const std::string &plant = "")
    {
        const std::string out = home->dir + "/capture.out", in = home->dir + "/capture.in";
        Write(in, input);
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int i = ::open(in.c_str(), O_RDONLY), o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(i, 0);
            ::dup2(o, 1);
            ::dup2(o, 2);
            if (!hide.empty()) {
                if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", hide.c_str(), "tmpfs", 0, "mode=0755") != 0 ||
                    !fs::copy_file(plant, argv[0]) || ::chmod(argv[0].c_str(), 0755) != 0)
                    _exit(125);
            }
            Exec(std::move(argv));
        }
        Outcome r;
        int st = 0;
        if (!WaitChild(pid, st, 60)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
            ADD_FAILURE() << argv[0] << " hung";
        }
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        r.out = Slurp(out);
        return r;
    }
    static std::string Built(const std::string &relative)
    {
        const char *build = std::getenv("VX_BUILD_DIR");
        return fs::absolute(fs::path(build ? build : ".") / relative).lexically_normal().string();
    }
    // An entry kept in the registry store, loaded by the next start.
    void StoreEntry(const std::string &folder, const std::string &process, uint32_t mask)
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\Entry", true));
        reg.WriteInteger("EntryCount", 1);
        reg.WriteString("0", Win(folder) + "\\*;" + Win(folder) + ";," + process + ",,," + std::to_string(mask));
    }

    std::unique_ptr<vxtest::Sandbox> home;
    int started = 0;
    std::string data;
    std::unique_ptr<Daemon> daemon;
    std::unique_ptr<TVeskFileProtector> protector;
};

} // namespace qxdtest
