// The engine over a long life: views that come and go give back every thread and descriptor they
// took, and connections that do nothing do not keep others out. Counted on the real daemon
// (/proc/PID/task, /proc/PID/fd), which enforces in this test's own mount namespace.
#include "engine/fprec.h"
#include "engine/protector.h"
#include "platform/device/arena.h"
#include "platform/device/device.h"
#include "qxd/enforce_fixture.h"
#include "qxd/fusebackend.h"
#include "qxd/fuseview.h"
#include "support/enforcing.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

using namespace qxdtest;
namespace fs = std::filesystem;

namespace {

// Entries in a folder of /proc, without . and ..; -1 when it cannot be read.
int CountIn(const std::string &folder)
{
    DIR *d = ::opendir(folder.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (const dirent *e = ::readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    ::closedir(d);
    return n;
}

struct Usage {
    int threads = -1;
    int fds = -1;
};

Usage UsageOf(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    return {CountIn(proc + "/task"), CountIn(proc + "/fd")};
}

std::ostream &operator<<(std::ostream &out, const Usage &u)
{
    return out << u.threads << " threads, " << u.fds << " descriptors";
}

// The engine's views mounted below `folder`.
int ViewsBelow(const std::string &folder)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        n += line.find(" - fuse.qxd ") != std::string::npos && line.find(" " + folder + "/") != std::string::npos;
    return n;
}

// The enforcing engine of the enforcement tests, started at once, with a second covered folder.
class LongRunTest : public EnforceTest {
protected:
    void SetUp() override
    {
        EnforceTest::SetUp();
        if (Stopped())
            return;
        fs::create_directories(data + "/second");
        Write(data + "/second/f", "secret\n");
        Start();
    }
    void TearDown() override
    {
        EnforceTest::TearDown();
        if (home) {
            EXPECT_EQ(ViewsBelow(data), 0) << "a view outlived its engine";
        }
    }

    // What lies below `folder` only: each folder is then a view of its own (an entry naming the
    // folder itself would serve its parent, which both folders share).
    int32_t Add(const std::string &folder)
    {
        const std::string item = Win(data + folder);
        return protector->AddEntry(FP_PRESET_NOACCESS, item + "\\*;", "", "victim", "", nullptr, 0, nullptr, 0, nullptr, 1);
    }
    // The errno of the named process reading `path` (0: it read it).
    int VictimReads(const std::string &path) { return Op("victim", "read", path); }
    // The engine's usage once it has stopped changing (two equal readings 200 ms apart, 10 s at most).
    Usage Settled()
    {
        Usage last = UsageOf(daemon->pid());
        for (int i = 0; i < 50; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const Usage now = UsageOf(daemon->pid());
            if (now.threads == last.threads && now.fds == last.fds)
                return now;
            last = now;
        }
        return last;
    }
    // Waits (30 s at most) for the engine to come back to `base` or below; what it came to.
    Usage BackTo(const Usage &base)
    {
        Usage now = UsageOf(daemon->pid());
        for (int i = 0; i < 300 && (now.threads > base.threads || now.fds > base.fds); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            now = UsageOf(daemon->pid());
        }
        return now;
    }

};

// An entry on a second folder added and deleted 200 times, while another stays in force, with
// the engine held to 256 descriptors: every view taken down gives its threads and descriptors
// back, and the engine still enforces and serves at the end.
TEST_F(LongRunTest, ViewsTakenDownGiveBackThreadsAndDescriptors)
{
    const rlimit limit{256, 256};
    ASSERT_EQ(::prlimit(daemon->pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
    ASSERT_EQ(Add("/prot"), 0);
    ASSERT_EQ(Add("/second"), 1);
    ASSERT_TRUE(protector->DeleteEntry(1));
    // A first denial opens what denials are written to (the journal's socket is opened once).
    EXPECT_TRUE(Denied(VictimReads(data + "/prot/f")));
    const Usage base = Settled();
    ASSERT_GT(base.threads, 0);
    const int mounts = ViewsBelow(data);
    ASSERT_GE(mounts, 1);

    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(Add("/second"), 1) << "cycle " << i << ": " << UsageOf(daemon->pid()) << "\n" << daemon->Log();
        if (i % 50 == 0) {
            EXPECT_TRUE(Denied(VictimReads(data + "/second/f"))) << "cycle " << i;
        }
        ASSERT_TRUE(protector->DeleteEntry(1)) << "cycle " << i;
    }
    const Usage after = BackTo(base);
    EXPECT_LE(after.threads, base.threads) << "before: " << base << "; after 200 cycles: " << after;
    EXPECT_LE(after.fds, base.fds) << "before: " << base << "; after 200 cycles: " << after;
    EXPECT_EQ(ViewsBelow(data), mounts);
    EXPECT_TRUE(Denied(VictimReads(data + "/prot/f")));
    EXPECT_EQ(VictimReads(data + "/second/f"), 0);
    TVeskFileProtector another;
    EXPECT_TRUE(another.Success()) << "a new client is still served";
}

// Protection switched off and on 50 times with two views: the same.
TEST_F(LongRunTest, StopStartCyclesGiveBackThreadsAndDescriptors)
{
    ASSERT_EQ(Add("/prot"), 0);
    ASSERT_EQ(Add("/second"), 1);
    protector->SetActive(true); // the client learns the engine's state here
    protector->SetActive(false);
    protector->SetActive(true);
    ASSERT_TRUE(protector->Success());
    EXPECT_TRUE(Denied(VictimReads(data + "/prot/f"))); // what denials are written to is open
    const Usage base = Settled();
    for (int i = 0; i < 50; ++i) {
        protector->SetActive(false);
        ASSERT_TRUE(protector->Success()) << "cycle " << i;
        if (i % 25 == 0) {
            EXPECT_EQ(VictimReads(data + "/prot/f"), 0) << "cycle " << i;
        }
        protector->SetActive(true);
        ASSERT_TRUE(protector->Success()) << "cycle " << i;
        if (i % 25 == 0) {
            EXPECT_TRUE(Denied(VictimReads(data + "/second/f"))) << "cycle " << i;
        }
    }
    const Usage after = BackTo(base);
    EXPECT_LE(after.threads, base.threads) << "before: " << base << "; after 50 cycles: " << after;
    EXPECT_LE(after.fds, base.fds) << "before: " << base << "; after 50 cycles: " << after;
    EXPECT_TRUE(Denied(VictimReads(data + "/prot/f")));
    EXPECT_TRUE(Denied(VictimReads(data + "/second/f")));
}

// A file held open through a view keeps that view served after its entry is deleted (its
// holder can still read it), and once the holder lets go the view's descriptors go too: holding
// a file delays the release, it cannot keep them for good.
TEST_F(LongRunTest, AFileHeldOpenDelaysTheReleaseOnly)
{
    ASSERT_EQ(Add("/prot"), 0);
    const Usage base = Settled();
    ASSERT_EQ(Add("/second"), 1);
    const int held = ::open((data + "/second/f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_TRUE(protector->DeleteEntry(1));
    const Usage holding = Settled();
    char buf[16] = {};
    EXPECT_EQ(::pread(held, buf, sizeof buf, 0), 7) << "a file opened through a view is served until it is closed";
    EXPECT_GT(holding.fds, base.fds) << "its view's objects are still held";
    ::close(held);
    const Usage after = BackTo(base);
    EXPECT_LE(after.threads, base.threads) << "before: " << base << "; after the holder closed: " << after;
    EXPECT_LE(after.fds, base.fds) << "before: " << base << "; after the holder closed: " << after;
}

// A bare connection to the engine's socket; -1 when refused.
int Connect(const std::string &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// 300 connections that send nothing, held open by one user, do not keep a new client of that
// user out: each new connection beyond the user's share takes the place of the one idle the
// longest (which is told so), so the engine holds no more than its share, and a client that
// was idle among them is served again at its next request.
TEST(IdleConnectionsTest, ThreeHundredIdleConnectionsDoNotKeepANewClientOut)
{
    vxtest::Sandbox home;
    Daemon daemon(home);
    ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
    TVeskFileProtector console;
    ASSERT_TRUE(console.Success()) << daemon.Log();
    uint32_t count = 7;
    ASSERT_TRUE(console.GetEntryCount(count));
    const Usage base = UsageOf(daemon.pid());

    std::vector<int> idle;
    for (int i = 0; i < 300; ++i) {
        idle.push_back(Connect(home.deviceDir + "/QXDAnsi"));
        ASSERT_GE(idle.back(), 0) << i;
    }
    // A new client, with a connection of its own.
    vx::device::ArenaBuffer cred(20);
    std::memcpy(cred.data(), "Mirok Dune Sentinel", 19);
    HANDLE h = CreateFileA("\\\\.\\QXDAnsi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD entries = 7;
    EXPECT_TRUE(DeviceIoControl(h, 0xA024301B, cred.data(), 19, nullptr, 0, &entries, nullptr))
        << "a new client is served: " << GetLastError();
    EXPECT_EQ(entries, 0u);
    EXPECT_TRUE(CloseHandle(h));
    count = 7;
    EXPECT_TRUE(console.GetEntryCount(count)) << "the client idle among them is served again";
    EXPECT_EQ(count, 0u);

    // The oldest were told and closed; the engine keeps no thread for them.
    int told = 0, open = 0;
    for (int fd : idle) {
        pollfd p{fd, POLLIN, 0};
        char kind[4] = {};
        if (::poll(&p, 1, 0) == 1 && ::recv(fd, kind, 4, MSG_DONTWAIT) == 4 && kind[0] == 7 && !kind[1] && !kind[2] && !kind[3])
            ++told;
        else
            ++open;
    }
    EXPECT_GE(told, 300 - 64);
    EXPECT_LE(open, 64);
    const Usage during = UsageOf(daemon.pid());
    EXPECT_LE(during.threads, base.threads + 70) << "before: " << base << "; with 300 idle connections: " << during;
    for (int fd : idle)
        ::close(fd);
    EXPECT_EQ(daemon.Stop(), 0) << daemon.Log();
}

// In this process, in both ways a view can be served (readers of the device, and io_uring
// where the kernel offers it): twenty views mounted, used and taken down leave this process's
// threads and descriptors where they were.
// A gate that decides nothing: the views serve everything.
class NoPolicy : public vx::qxd::Gatekeeper {
public:
    std::shared_ptr<const vx::qxd::Policy> Current() const override { return nullptr; }
    void Denied(const vx::qxd::Subject &, const std::string &, const vx::qxd::Decision &) override {}
    bool Permissive() const override { return false; }
};

// The engine's FUSE parts in this test process, in its own mount namespace.
class ViewTeardownTest : public vxtest::EnforcingTest {};

TEST_F(ViewTeardownTest, BothServingWaysGiveBackWhatTheyTook)
{
    vxtest::Sandbox home;
    const std::string folder = home.dir + "/served", fsname = "vx-longrun-" + std::to_string(::getpid());
    fs::create_directories(folder);
    std::ofstream(folder + "/f") << "content\n";
    std::string reason;
    // Holds the fuse module's io_uring switch on while it lives, as the engine does.
    auto backend = vx::qxd::FuseBackend::Create(fsname, home.dir, reason);
    if (!backend)
        GTEST_SKIP() << "this process cannot mount FUSE views here: " << reason;
    auto gate = std::make_shared<NoPolicy>();
    for (const bool ring : {false, true}) {
        const Usage base = UsageOf(::getpid());
        bool ringed = false;
        std::string error;
        auto session = vx::qxd::FuseSession::Start({fsname, 2, ring}, gate, error);
        ASSERT_TRUE(session) << error;
        for (int i = 0; i < 20; ++i) {
            const int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            auto view = session->Mount({folder, fd}, error);
            ASSERT_TRUE(view) << error;
            EXPECT_EQ(Slurp(folder + "/f"), "content\n") << "served through the view";
            ringed = session->ringed();
            EXPECT_TRUE(ring || !ringed);
            view->Unmount();
        }
        // Views taken down give back their nodes while the session lives.
        for (int i = 0; i < 100 && session->Nodes() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(session->Nodes(), 0u) << "nodes of views taken down are still held";
        session.reset();
        Usage now = UsageOf(::getpid());
        for (int i = 0; i < 300 && (now.threads > base.threads || now.fds > base.fds); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            now = UsageOf(::getpid());
        }
        const char *way = ringed ? "through io_uring" : "by device readers";
        EXPECT_LE(now.threads, base.threads) << way << ": before " << base << "; after 20 views " << now;
        EXPECT_LE(now.fds, base.fds) << way << ": before " << base << "; after 20 views " << now;
        if (ring && !ringed)
            std::cout << "note: the kernel does not serve FUSE through io_uring here; the views were served by device readers\n";
    }
    backend.reset();
    EXPECT_EQ(ViewsBelow(home.dir), 0);
}

// Every object the kernel knows through a view holds a descriptor of the engine's; when they
// grow past a quarter of what the process may open, the kernel is asked to let go of those not
// in use, so browsing a large folder cannot run the engine out of descriptors.
TEST_F(ViewTeardownTest, ObjectsNotInUseAreLetGoPastAQuarterOfTheDescriptors)
{
    vxtest::Sandbox home;
    const std::string folder = home.dir + "/big";
    fs::create_directories(folder);
    constexpr int kFiles = 1500;
    for (int i = 0; i < kFiles; ++i)
        std::ofstream(folder + "/" + std::to_string(i)) << "x";
    struct rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    struct rlimit low = old;
    low.rlim_cur = std::min<rlim_t>(old.rlim_cur, 2400); // a quarter: 600 objects
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::string error;
    auto session = vx::qxd::FuseSession::Start({"vx-shrink-" + std::to_string(::getpid()), 2, false}, std::make_shared<NoPolicy>(), error);
    ::setrlimit(RLIMIT_NOFILE, &old);
    ASSERT_TRUE(session) << error;
    const int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    auto view = session->Mount({folder, fd}, error);
    ASSERT_TRUE(view) << error;
    int seen = 0;
    for (int i = 0; i < kFiles; ++i) {
        struct stat st{};
        seen += ::stat((folder + "/" + std::to_string(i)).c_str(), &st) == 0;
    }
    EXPECT_EQ(seen, kFiles) << "every object could be looked up";
    size_t nodes = session->Nodes();
    for (int i = 0; i < 100 && nodes > 700; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        nodes = session->Nodes();
    }
    EXPECT_LE(nodes, 700u) << "objects looked up once are all still held";
    view->Unmount();
    view.reset();
    session.reset();
}

} // namespace
