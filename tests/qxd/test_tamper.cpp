// Who may ask the engine: a client is served only while it runs one of the project's programs,
// unaltered, over a connection it made itself, and every message on it comes from that process.
// The server runs in this test program, which names itself (or another program) as the client.
#include "engine/protector.h"
#include "platform/device/wire.h"
#include "qxd/daemon_fixture.h"
#include "qxd/identity.h"
#include "qxd/server.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

using namespace qxdtest;
namespace fs = std::filesystem;
namespace wire = vx::device::wire;
using namespace vx::qxd;

namespace {

// A child running `argv` (environment `env` added), ended at the end.
class Child {
public:
    explicit Child(std::vector<std::string> argv, std::vector<std::string> env = {})
    {
        pid_ = ::fork();
        if (pid_ == 0) {
            for (const std::string &e : env)
                ::putenv(const_cast<char *>(e.c_str()));
            Exec(std::move(argv));
        }
    }
    ~Child()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int st;
            ::waitpid(pid_, &st, 0);
        }
    }
    pid_t pid() const { return pid_; }
    // Waits (bounded) until the child runs `exe`.
    bool Runs(const std::string &exe) const
    {
        const auto id = IdOfPath(exe);
        for (int i = 0; i < 500; ++i) {
            if (id && IdOfExecutable(pid_) == id)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    pid_t pid_ = -1;
};

std::string Sleep()
{
    return fs::exists("/usr/bin/sleep") ? "/usr/bin/sleep" : "/bin/sleep";
}

// A file of the C library this program maps, for a foreign copy of it.
std::string MappedLibrary()
{
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
        if (line.find("libm.so") != std::string::npos || line.find("libc.so") != std::string::npos)
            return line.substr(line.find('/'));
    return {};
}

// The console does not run with a library put in by the loader's variables, so it cannot be
// borrowed that way; what the loader ran before it could refuse is caught by the engine's look at
// what the client maps.
TEST(Identity, TheConsoleRefusesToStartWithLoaderVariables)
{
    const char *build = std::getenv("VX_BUILD_DIR");
    const std::string console = std::string(build ? build : ".") + "/console/Vellamorix";
    vxtest::Sandbox home;
    for (const char *name : {"LD_PRELOAD", "LD_AUDIT", "LD_LIBRARY_PATH"}) {
        SCOPED_TRACE(name);
#if defined(__SANITIZE_THREAD__)
        // The loader cannot place ThreadSanitizer's runtime beside an audit library at all.
        if (std::string(name) == "LD_AUDIT")
            continue;
#endif
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv(name, (home.dir + "/nowhere.so").c_str(), 1);
            ::dup2(out[1], 2);
            ::execl(console.c_str(), console.c_str(), nullptr);
            _exit(127);
        }
        ::close(out[1]);
        int st = 0;
        const bool ended = WaitChild(pid, st, 60);
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
        }
        std::string err;
        char buf[512];
        for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
            err.append(buf, size_t(n));
        ::close(out[0]);
        ASSERT_TRUE(ended) << "the console started";
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1);
        EXPECT_NE(err.find(std::string("Vellamorix: ") + name + " is set"), std::string::npos) << err;
    }
}

TEST(Identity, AProgramIsKnownByTheFileItRunsNotByItsPath)
{
    vxtest::Sandbox home;
    const std::string copy = home.dir + "/sleep";
    fs::copy_file(Sleep(), copy);
    Child real({Sleep(), "30"}), copied({copy, "30"});
    ASSERT_TRUE(real.Runs(Sleep()));
    ASSERT_TRUE(copied.Runs(copy));
    Programs programs({Sleep()});
    EXPECT_TRUE(programs.Contains(*IdOfExecutable(real.pid())));
    EXPECT_FALSE(programs.Contains(*IdOfExecutable(copied.pid()))) << "a copy is another file";
    // The program built anew at its path is known by its new file once looked at again.
    Programs atCopy({copy});
    ASSERT_TRUE(atCopy.Contains(*IdOfExecutable(copied.pid())));
    fs::remove(copy);
    fs::copy_file(Sleep(), copy);
    EXPECT_TRUE(atCopy.Refresh());
    EXPECT_FALSE(atCopy.Contains(*IdOfExecutable(copied.pid())));
}

TEST(Identity, ForeignCodeOrATracerMakesAProgramAltered)
{
    const std::string library = MappedLibrary();
    ASSERT_FALSE(library.empty());
    vxtest::Sandbox home;
    // A library put in through the loader's variables from a folder others may write to.
    ASSERT_EQ(::chmod(home.dir.c_str(), 0777), 0);
    const std::string foreign = home.dir + "/libforeign.so";
    fs::copy_file(library, foreign);
    Child plain({Sleep(), "30"});
    Child preloaded({Sleep(), "30"}, {"LD_PRELOAD=" + foreign});
    ASSERT_TRUE(plain.Runs(Sleep()));
    ASSERT_TRUE(preloaded.Runs(Sleep()));
    const FileId sleep = *IdOfPath(Sleep());
    std::string why;
    EXPECT_TRUE(Unaltered(plain.pid(), sleep, &why)) << why;
    // The loader maps the library just after the program: wait for it, bounded.
    bool mapped = false;
    for (int i = 0; i < 500 && !mapped; ++i) {
        std::ifstream maps("/proc/" + std::to_string(preloaded.pid()) + "/maps");
        std::stringstream text;
        text << maps.rdbuf();
        mapped = text.str().find(foreign) != std::string::npos;
        if (!mapped)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(mapped);
    EXPECT_FALSE(Unaltered(preloaded.pid(), sleep, &why));
    EXPECT_NE(why.find(foreign), std::string::npos) << why;

    // Traced: whoever traces it could make it do anything.
    ASSERT_EQ(::ptrace(PTRACE_SEIZE, plain.pid(), nullptr, nullptr), 0);
    EXPECT_FALSE(Unaltered(plain.pid(), sleep, &why));
    EXPECT_NE(why.find("traced"), std::string::npos) << why;
}

TEST(Identity, AConnectionCountsOnlyWhileItsMakerHoldsItClosedOnExec)
{
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    // Held with close-on-exec, by the process that made it.
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::close(ends[0]);
        ::pause();
        _exit(0);
    }
    // Carried across an exec: held without close-on-exec.
    const pid_t carrier = ::fork();
    if (carrier == 0) {
        ::close(ends[0]);
        ::fcntl(ends[1], F_SETFD, 0);
        ::execl(Sleep().c_str(), "sleep", "30", nullptr);
        _exit(127);
    }
    Child stranger({Sleep(), "30"});
    ASSERT_TRUE(stranger.Runs(Sleep()));
    bool carried = false;
    for (int i = 0; i < 500 && !carried; ++i) {
        carried = IdOfExecutable(carrier) == IdOfPath(Sleep());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(carried);
    EXPECT_TRUE(HoldsPeerClosedOnExec(holder, ends[0]));
    EXPECT_FALSE(HoldsPeerClosedOnExec(carrier, ends[0]));
    EXPECT_FALSE(HoldsPeerClosedOnExec(stranger.pid(), ends[0]));
    for (pid_t p : {holder, carrier}) {
        ::kill(p, SIGKILL);
        int st;
        ::waitpid(p, &st, 0);
    }
    ::close(ends[0]);
    ::close(ends[1]);
}

// What the server logs, written by its threads and read by the test's.
class LockedLog : public std::stringbuf {
public:
    std::string Text()
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        return str();
    }
    void Clear()
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        str("");
    }

protected:
    std::streamsize xsputn(const char *s, std::streamsize n) override
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        return std::stringbuf::xsputn(s, n);
    }
    int_type overflow(int_type c) override
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        return std::stringbuf::overflow(c);
    }

private:
    std::recursive_mutex mutex_; // the base's xsputn calls overflow
};

// The server in this program, serving only the programs it is told.
class ClientCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        home = std::make_unique<vxtest::Sandbox>();
        engine = std::make_shared<Engine>();
        server = std::make_unique<Server>(engine, home->deviceDir, log);
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
        engine->SetActive(true);
        ASSERT_EQ(::pipe2(stop, O_CLOEXEC), 0);
    }
    void TearDown() override
    {
        if (running.joinable()) {
            ::close(stop[1]);
            running.join();
        } else if (stop[1] >= 0) {
            ::close(stop[1]);
        }
        if (stop[0] >= 0)
            ::close(stop[0]);
        server.reset();
    }
    void Run()
    {
        running = std::thread([this] { server->Run(stop[0]); });
    }
    std::string Socket() const { return home->deviceDir + "/Global/QXDAnsi"; }
    static int Connect(const std::string &path, bool closeOnExec)
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | (closeOnExec ? SOCK_CLOEXEC : 0), 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        timeval timeout{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        return ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ? fd : -1;
    }
    // A request of an unknown code: a served client is told "invalid function" (1), a refused
    // one "access denied" (5).
    static std::string Unknown()
    {
        std::string out;
        wire::Put32(out, wire::kControl);
        wire::Put32(out, 0x12345678);
        wire::Put64(out, 0);
        wire::Put32(out, 0);
        wire::Put64(out, 0);
        wire::Put32(out, 0);
        return out;
    }
    // The error of the answer, or -1 when the engine closed the connection instead.
    static long Answer(int fd)
    {
        uint8_t done[16];
        std::size_t got = 0;
        while (got < sizeof done) {
            const ssize_t n = ::recv(fd, done + got, sizeof done - got, 0);
            if (n <= 0)
                return -1;
            got += std::size_t(n);
        }
        EXPECT_EQ(wire::Get32(done), wire::kDone);
        return long(wire::Get32(done + 8));
    }

    std::unique_ptr<vxtest::Sandbox> home;
    std::shared_ptr<Engine> engine;
    LockedLog logged;
    std::ostream log{&logged};
    std::unique_ptr<Server> server;
    int stop[2] = {-1, -1};
    std::thread running;
};

TEST_F(ClientCheck, OnlyTheNamedProgramIsServed)
{
    server->ServeOnly({ExecutableOf(int(::getpid()))});
    Run();
    const int fd = Connect(Socket(), true);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, Unknown().data(), Unknown().size(), MSG_NOSIGNAL), ssize_t(Unknown().size()));
    EXPECT_EQ(Answer(fd), 1) << logged.Text();
    ::close(fd);

    // The engine client of this program works as the console's would.
    auto protector = std::make_unique<TVeskFileProtector>();
    ASSERT_TRUE(protector->Success());
    ASSERT_EQ(protector->AddEntry(FP_PRESET_NOACCESS, "C:\\tmp\\x\\*;", "", "*", "", nullptr, 0, nullptr, 0, nullptr, 1), 0);
    EXPECT_EQ(engine->Count(), 1u);
}

TEST_F(ClientCheck, AnyOtherProgramIsRefusedAndNothingChanges)
{
    server->ServeOnly({Sleep()});
    Run();
    // Each try on a connection of its own: a client the engine does not serve is dropped.
    uint32_t error = 0;
    auto protector = std::make_unique<TVeskFileProtector>(
        nullptr, [&](TVeskFileProtector *, uint32_t, uint32_t code) { error = code; }, nullptr);
    ASSERT_TRUE(protector->Success());
    protector->SetActive(true);
    EXPECT_EQ(error, 5u);
    EXPECT_TRUE(engine->Active());
    protector.reset(); // the engine client keeps one pair of devices for the whole program
    protector = std::make_unique<TVeskFileProtector>(
        nullptr, [&](TVeskFileProtector *, uint32_t, uint32_t code) { error = code; }, nullptr);
    error = 0;
    EXPECT_EQ(protector->AddEntry(FP_PRESET_NOACCESS, "C:\\tmp\\x\\*;", "", "*", "", nullptr, 0, nullptr, 0, nullptr, 1), -1);
    EXPECT_EQ(error, 5u);
    EXPECT_EQ(engine->Count(), 0u);
    EXPECT_NE(logged.Text().find("refused: it is not one of the project's clients"), std::string::npos) << logged.Text();
}

// A connection the client program made is not for another process to write into: a child that
// shares it is dropped, and so is its maker from then on.
TEST_F(ClientCheck, MessagesFromAnotherProcessBreakTheConnection)
{
    server->ServeOnly({ExecutableOf(int(::getpid()))});
    Run();
    const int fd = Connect(Socket(), true);
    ASSERT_GE(fd, 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string request = Unknown();
        _exit(::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size()) ? 0 : 1);
    }
    int st = 0;
    ASSERT_TRUE(WaitChild(child, st, 30));
    EXPECT_EQ(Answer(fd), -1) << logged.Text();
    EXPECT_NE(logged.Text().find("another process than the one that connected"), std::string::npos) << logged.Text();
    ::close(fd);
}

// The cheapest way around a check of the running program: connect and write the request as
// anything, then exec the client program, so that it runs when the engine looks. The connection
// is carried across the exec (or closed by it), so it is refused either way.
class ExecRace : public ClientCheck, public ::testing::WithParamInterface<bool> {};

TEST_P(ExecRace, ARequestWrittenBeforeAnExecIsRefused)
{
    const bool closeOnExec = GetParam();
    server->ServeOnly({Sleep()});
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = Connect(Socket(), closeOnExec);
        const std::string request = Unknown();
        if (fd < 0 || ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
            _exit(1);
        ::execl(Sleep().c_str(), "sleep", "30", nullptr);
        _exit(127);
    }
    // The engine accepts the connection only once the child runs the client program.
    bool runs = false;
    for (int i = 0; i < 500 && !runs; ++i) {
        runs = IdOfExecutable(child) == IdOfPath(Sleep());
        if (!runs)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(runs);
    Run();
    for (int i = 0; i < 500 && logged.Text().find("refused") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(logged.Text().find("refused: its connection was not made by the program it runs now"), std::string::npos)
        << logged.Text();
    EXPECT_TRUE(engine->Active());
    ::kill(child, SIGKILL);
    int st;
    ::waitpid(child, &st, 0);
}

INSTANTIATE_TEST_SUITE_P(CarriedOrClosed, ExecRace, ::testing::Bool());

} // namespace
