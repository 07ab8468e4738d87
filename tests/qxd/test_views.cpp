// What the views keep and what they leave no way around: the protections of the file system
// beneath them, the object an open denial closes, paths too deep to name, folders moved above a
// covered object, a restart after the engine was killed, and folders held open from before an
// entry. Real processes on real folders, in the test's own mount namespace.
#include "qxd/enforce_fixture.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <sstream>
#include <thread>

using namespace qxdtest;

namespace {

constexpr uid_t kNobody = 65534;

// Sets a file's inode flags (append-only, immutable); 0 or the error.
int SetInodeFlags(const std::string &path, int flags)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int err = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

// The mount table line of the view standing at `place`, or "".
std::string ViewAt(const std::string &place)
{
    for (const std::string &m : EngineMounts())
        if (m.find(" " + place + " ") != std::string::npos)
            return m;
    return {};
}

class ViewsTest : public EnforceTest {
protected:
    void TearDown() override
    {
        EnforceTest::TearDown();
        // What the test mounted goes after the engine (whose views may sit on it) has stopped.
        for (auto it = mounted.rbegin(); it != mounted.rend(); ++it)
            ::umount2(it->c_str(), MNT_DETACH);
    }
    // A tmpfs of the test's own with these flags, at `place`.
    ::testing::AssertionResult MountTmpfs(const std::string &place, unsigned long flags)
    {
        fs::create_directories(place);
        if (::mount("tmpfs", place.c_str(), "tmpfs", flags, "mode=0755") != 0)
            return ::testing::AssertionFailure() << "tmpfs at " << place << ": " << std::strerror(errno);
        mounted.push_back(place);
        return ::testing::AssertionSuccess();
    }
    // Runs `exe` with `op` as the ordinary user nobody; its exit status.
    int AsNobody(const std::string &exe, const std::string &op, const std::string &a)
    {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
                _exit(125);
            ::execl(exe.c_str(), "fsop", op.c_str(), a.c_str(), nullptr);
            _exit(127);
        }
        int st = 0;
        if (!WaitChild(pid, st, 30)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
            ADD_FAILURE() << exe << " " << op << " hung";
            return -1;
        }
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    // Waits up to five seconds for `done`.
    static bool Within5s(const std::function<bool()> &done)
    {
        for (int i = 0; i < 500; ++i) {
            if (done())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return done();
    }

    std::vector<std::string> mounted;
};

// A view over a folder of a nosuid,nodev,noexec file system keeps all three for every process,
// named by an entry or not, and follows the flags when they change beneath it.
TEST_F(ViewsTest, AViewKeepsTheFlagsOfTheMountBeneathIt)
{
    ASSERT_EQ(::chmod(home->dir.c_str(), 0755), 0);
    const std::string t = home->dir + "/t";
    ASSERT_TRUE(MountTmpfs(t, MS_NOSUID | MS_NODEV | MS_NOEXEC));
    const std::string q = t + "/q";
    fs::create_directories(q);
    ASSERT_EQ(::chmod(q.c_str(), 0755), 0);
    const char *build = std::getenv("VX_BUILD_DIR");
    fs::copy_file(std::string(build ? build : ".") + "/tests/qxd/vx_fsop", q + "/suid");
    ASSERT_EQ(::chmod((q + "/suid").c_str(), 04755), 0);
    ASSERT_EQ(::mknod((q + "/zero").c_str(), S_IFCHR | 0666, makedev(1, 5)), 0);
    // Without a view: the file system's own flags hold.
    ASSERT_EQ(Op("bystander", "open", q + "/zero"), EACCES);
    ASSERT_EQ(Op("bystander", "exec", q + "/suid"), EACCES);

    // The entry names a folder in q: q is served (the mount's root t is left alone).
    fs::create_directories(q + "/inner");
    std::ofstream(q + "/inner/f") << "x";
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_READ, Win(q) + "\\inner\\*;" + Win(q) + "\\inner;", "victim"), 0);
    const std::string view = ViewAt(q);
    ASSERT_FALSE(view.empty()) << "no view over " << q;
    for (const char *flag : {"nosuid", "nodev", "noexec"})
        EXPECT_NE(view.find(flag), std::string::npos) << view;
    EXPECT_EQ(Op("bystander", "open", q + "/zero"), EACCES) << "a device opened through the view";
    EXPECT_EQ(Op("bystander", "exec", q + "/suid"), EACCES) << "a program ran through the view";

    // Programs may run there now, still without their set-user-ID.
    ASSERT_EQ(::mount(nullptr, t.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_NOSUID | MS_NODEV, nullptr), 0);
    EXPECT_TRUE(Within5s([&] { return Op("bystander", "exec", q + "/suid") == 0; })) << ViewAt(q);
    EXPECT_EQ(AsNobody(q + "/suid", "root", "/"), EPERM) << "an ordinary user became root through the view";
    EXPECT_EQ(Op("bystander", "open", q + "/zero"), EACCES);
    // And back.
    ASSERT_EQ(::mount(nullptr, t.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr), 0);
    EXPECT_TRUE(Within5s([&] { return Op("bystander", "exec", q + "/suid") == EACCES; })) << ViewAt(q);
    // The entry itself still holds.
    EXPECT_TRUE(Denied(Op("victim", "read", q + "/inner/f")));
}

// Append-only and immutable files stay so through a view: a write that does not append is
// refused, also when the append flag is dropped after the open.
TEST_F(ViewsTest, AppendOnlyAndImmutableFilesStaySo)
{
    const std::string t = home->dir + "/t";
    ASSERT_TRUE(MountTmpfs(t, MS_NOSUID | MS_NODEV));
    const std::string q = t + "/q";
    fs::create_directories(q);
    Write(q + "/log", "first\n");
    Write(q + "/frozen", "ice\n");
    if (const int err = SetInodeFlags(q + "/log", FS_APPEND_FL))
        GTEST_SKIP() << "this kernel's tmpfs cannot make a file append-only (" << std::strerror(err) << ")";
    ASSERT_EQ(SetInodeFlags(q + "/frozen", FS_IMMUTABLE_FL), 0);
    struct Thaw {
        std::string a, b;
        ~Thaw()
        {
            SetInodeFlags(a, 0);
            SetInodeFlags(b, 0);
        }
    } thaw{q + "/log", q + "/frozen"};
    ASSERT_EQ(Op("bystander", "overwrite", q + "/log"), EPERM);

    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_READ, Win(q) + "\\*;", "victim"), 0);
    ASSERT_FALSE(ViewAt(q).empty());
    EXPECT_EQ(Op("bystander", "overwrite", q + "/log"), EPERM);
    EXPECT_EQ(Op("bystander", "truncate", q + "/log"), EPERM);
    EXPECT_EQ(Op("bystander", "write", q + "/log"), 0) << "appending stays allowed";
    const int dropped = Op("bystander", "unappend", q + "/log");
    EXPECT_TRUE(dropped == 0 || dropped == EPERM) << dropped;
    EXPECT_EQ(Read(q + "/log").substr(0, 6), "first\n") << "the start of an append-only file was overwritten";
    EXPECT_EQ(Op("bystander", "write", q + "/frozen"), EPERM);
    EXPECT_EQ(Op("bystander", "overwrite", q + "/frozen"), EPERM);
    EXPECT_EQ(Read(q + "/frozen"), "ice\n");
    EXPECT_TRUE(Denied(Op("victim", "read", q + "/log")));
}

// A denied open closes the object itself: it cannot be moved (into an excluded folder, where it
// would be read), removed, changed, touched or linked to, and a covered folder cannot be listed.
TEST_F(ViewsTest, ADeniedOpenDeniesWhatIsDoneToTheObject)
{
    const std::string q = data + "/q";
    fs::create_directories(q + "/pub");
    fs::create_directories(q + "/sub");
    Write(q + "/a.txt", "secret\n");
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_PRESET_NOACCESS, Win(q) + "\\*;", "victim", Win(q + "/pub") + "\\*;"), 0);
    EXPECT_TRUE(Denied(Op("victim", "read", q + "/a.txt")));
    EXPECT_TRUE(Denied(Op("victim", "rename", q + "/a.txt", q + "/pub/a.txt")));
    EXPECT_EQ(Op("victim", "read", q + "/pub/a.txt"), ENOENT);
    EXPECT_TRUE(Denied(Op("victim", "rename", q + "/sub", q + "/pub/sub")));
    EXPECT_TRUE(Denied(Op("victim", "link", q + "/a.txt", q + "/pub/l")));
    EXPECT_TRUE(Denied(Op("victim", "unlink", q + "/a.txt")));
    EXPECT_TRUE(Denied(Op("victim", "chmod", q + "/a.txt")));
    EXPECT_TRUE(Denied(Op("victim", "mtime", q + "/a.txt")));
    EXPECT_TRUE(Denied(Op("victim", "setxattr", q + "/a.txt")));
    EXPECT_TRUE(Denied(Op("victim", "list", q + "/sub")));
    EXPECT_TRUE(fs::exists(q + "/a.txt"));
    EXPECT_EQ(Read(q + "/a.txt"), "secret\n");
    EXPECT_FALSE(fs::exists(q + "/pub/l"));
    // Nothing is denied to whom the entry does not name.
    EXPECT_EQ(Op("bystander", "rename", q + "/a.txt", q + "/pub/a.txt"), 0);
    EXPECT_EQ(Op("victim", "read", q + "/pub/a.txt"), 0);
}

// A file thousands of folders below a covered folder: the engine never lets through what it
// cannot name.
TEST_F(ViewsTest, DepthNeverOpensACoveredFile)
{
    constexpr int kLevels = 4101;
    // On a file system of the test's own, which takes the tree along when it goes: its paths
    // are longer than any call takes.
    ASSERT_TRUE(MountTmpfs(home->dir + "/t", MS_NOSUID | MS_NODEV));
    const std::string deep = home->dir + "/t/deep";
    fs::create_directories(deep);
    const auto walk = [&](const std::function<void(int, int)> &each) {
        // Every level's descriptor is held until the tree is made.
        std::vector<int> fds = {::open(deep.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
        for (int i = 0; i < kLevels && fds.back() >= 0; ++i) {
            each(fds.back(), i);
            fds.push_back(::openat(fds.back(), "d", O_PATH | O_DIRECTORY | O_CLOEXEC));
        }
        return fds;
    };
    std::vector<int> fds = walk([](int fd, int level) {
        ::mkdirat(fd, "d", 0755);
        if (level == 3)
            ::close(::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    });
    const bool made = int(fds.size()) == kLevels + 1 && fds.back() >= 0;
    const int file = made ? ::openat(fds.back(), "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644) : -1;
    for (int fd : fds)
        if (fd >= 0)
            ::close(fd);
    ASSERT_TRUE(made);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::write(file, "deep\n", 5), 5);
    ::close(file);

    ASSERT_NO_FATAL_FAILURE(Start());
    // Processes working at the bottom from before the entry: beneath the view, where no path
    // names their folder.
    Runner victim(Bin("victim")), bystander(Bin("bystander"));
    std::string down;
    for (int i = 0; i < 2000; ++i)
        down += "d/";
    for (Runner *r : {&victim, &bystander}) {
        ASSERT_EQ(r->Do("cd", deep), 0);
        ASSERT_EQ(r->Do("cd", down), 0);
        ASSERT_EQ(r->Do("cd", down), 0);
        ASSERT_EQ(r->Do("cd", down.substr(0, 2 * (kLevels - 4000))), 0);
    }
    ASSERT_EQ(Add(FP_READ, Win(deep) + "\\*;", "victim"), 0);
    EXPECT_TRUE(Denied(victim.Do("read", "f"))) << daemon->Log();
    EXPECT_EQ(bystander.Do("read", "f"), 0);
    EXPECT_TRUE(Denied(Op("victim", "deep", deep, "3")));
    EXPECT_EQ(Op("bystander", "deep", deep, "3"), 0);
    EXPECT_TRUE(Denied(Op("victim", "deep", deep, std::to_string(kLevels))));
    EXPECT_EQ(Op("bystander", "deep", deep, std::to_string(kLevels)), 0);
}

// Moving a folder above a covered object carries its view along: the object stays covered at
// its new place, also after the engine has looked at its views again, and the view goes with
// its entry.
TEST_F(ViewsTest, MovingAFolderAboveACoveredObjectKeepsItCovered)
{
    const std::string anc = data + "/anc";
    fs::create_directories(anc + "/par/prot");
    Write(anc + "/par/prot/f", "secret\n");
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_READ, Win(anc + "/par/prot") + "\\*;", "victim"), 0);
    ASSERT_TRUE(Denied(Op("victim", "read", anc + "/par/prot/f")));
    ASSERT_EQ(Op("bystander", "rename", anc + "/par", anc + "/moved"), 0);
    EXPECT_TRUE(Denied(Op("victim", "read", anc + "/moved/prot/f")));
    // A change of the entries, and the engine's own look every two seconds.
    ASSERT_EQ(Add(FP_READ, Win(data + "/open") + "\\*;", "other"), 1);
    EXPECT_TRUE(Denied(Op("victim", "read", anc + "/moved/prot/f")));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_TRUE(Denied(Op("victim", "read", anc + "/moved/prot/f"))) << daemon->Log();
    EXPECT_EQ(Op("bystander", "read", anc + "/moved/prot/f"), 0);
    EXPECT_FALSE(ViewAt(anc + "/moved/prot").empty());
    EXPECT_NE(daemon->Log().find(anc + "/par/prot: was moved to " + anc + "/moved/prot"), std::string::npos) << daemon->Log();
    // Moved back, a view stands where the entry names it.
    ASSERT_EQ(Op("bystander", "rename", anc + "/moved", anc + "/par"), 0);
    ASSERT_TRUE(protector->DeleteEntry(1));
    EXPECT_TRUE(Denied(Op("victim", "read", anc + "/par/prot/f")));
    EXPECT_EQ(ViewAt(anc + "/moved/prot"), "");
    int views = 0;
    for (const std::string &m : EngineMounts())
        views += m.find(" " + anc + "/par/prot ") != std::string::npos;
    EXPECT_EQ(views, 1);
    ASSERT_TRUE(protector->DeleteEntry(0));
    EXPECT_TRUE(EngineMounts().empty()) << EngineMounts().front();
    EXPECT_EQ(Op("victim", "read", anc + "/par/prot/f"), 0);
}

// Execute stops running a program, not reading it: the loader, an interpreter or a copy in
// memory run it by reading it. An entry that denies execute but not read says so; with read
// denied as well, the loader cannot run it either. (The loader is the process that reads it, so
// the entry names every process.)
TEST_F(ViewsTest, ExecuteWithoutReadIsNamedAndReadStopsTheLoader)
{
    const std::string x = data + "/x";
    fs::create_directories(x);
    fs::copy_file(Bin("other"), x + "/tool");
    fs::copy_file(Bin("other"), data + "/open/tool");
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_EXECUTE, Win(x) + "\\*;", "*"), 0);
    EXPECT_TRUE(Denied(Op("victim", "exec", x + "/tool")));
    EXPECT_NE(daemon->Log().find("entry 0 is not fully enforced: execute is denied to running a covered program directly; "
                                 "run through the dynamic loader (ld.so)"),
              std::string::npos)
        << daemon->Log();
    ASSERT_TRUE(protector->ModifyEntry(0, FP_EXECUTE | FP_READ, Win(x) + "\\*;", "", "*", "", nullptr, 0, nullptr, 0,
                                       nullptr, 1));
    EXPECT_EQ(Op("victim", "ldso", x + "/tool"), EACCES);
    EXPECT_EQ(Op("victim", "ldso", data + "/open/tool"), 0) << "the loader runs what is not covered";
    const std::string log = daemon->Log();
    EXPECT_EQ(log.find("execute is denied to running"), log.rfind("execute is denied to running"))
        << "named again after read was denied too:\n"
        << log;
}

// Killed and started again: the dead engine's views fail closed until the new ones stand, so a
// reader looping all through the restart never reads the covered file.
TEST_F(ViewsTest, ARestartAfterAKillNeverOpensACoveredFile)
{
    // A listener bound there before: it keeps its callers across the restart as well.
    const std::string sock = data + "/prot/sock";
    const int listener = Listen(sock);
    ASSERT_GE(listener, 0);
    struct Close {
        int fd;
        ~Close() { ::close(fd); }
    } close{listener};
    ASSERT_NO_FATAL_FAILURE(StoreEntry(data + "/prot", "victim", FP_PRESET_NOACCESS));
    ASSERT_NO_FATAL_FAILURE(Start({}));
    ASSERT_TRUE(Denied(Op("victim", "read", data + "/prot/f")));
    ASSERT_EQ(Op("bystander", "connect", sock), 0);
    Runner victim(Bin("victim"));
    std::string counts;
    std::thread reader([&] { counts = victim.Line("readloop", data + "/prot/f", "5000"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    protector.reset();
    daemon->Stop(SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Start({});
    reader.join();
    ASSERT_FALSE(HasFatalFailure());
    long ok = -1, denied = -1, notconn = -1;
    ASSERT_EQ(std::sscanf(counts.c_str(), "0 ok=%ld denied=%ld notconn=%ld", &ok, &denied, &notconn), 3) << counts;
    EXPECT_EQ(ok, 0) << counts;
    EXPECT_GT(denied, 0) << counts;
    EXPECT_GT(notconn, 0) << counts;
    EXPECT_EQ(Op("bystander", "read", data + "/prot/f"), 0);
    EXPECT_EQ(Op("bystander", "connect", sock), 0);
    int views = 0;
    for (const std::string &m : EngineMounts())
        views += m.find(" " + data + " ") != std::string::npos; // served from its folder
    EXPECT_EQ(views, 1) << daemon->Log();
}

// A process that held a covered folder open from before the entry reads through that handle,
// and another through /proc/PID/fd: both are decided.
TEST_F(ViewsTest, FoldersHeldOpenFromBeforeTheEntryAreDecided)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    Runner victim(Bin("victim")), bystander(Bin("bystander"));
    ASSERT_EQ(victim.Do("hold", data + "/prot"), 0);
    ASSERT_EQ(bystander.Do("hold", data + "/prot"), 0);
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;"), 0);
    EXPECT_TRUE(Denied(victim.Do("readat", "f")));
    EXPECT_TRUE(Denied(victim.Do("readat", "sub/g")));
    EXPECT_EQ(bystander.Do("readat", "f"), 0);
    // What cannot be decided there is named.
    EXPECT_NE(daemon->Log().find(data + "/prot: process " + std::to_string(victim.pid()) +
                                 " holds it from before the entry (descriptor "),
              std::string::npos)
        << daemon->Log();
    // Another named process reaches the folder through the holder's descriptor.
    std::string fd;
    for (const auto &e : fs::directory_iterator("/proc/" + std::to_string(bystander.pid()) + "/fd")) {
        std::error_code ec;
        if (fs::read_symlink(e.path(), ec) == data + "/prot")
            fd = e.path();
    }
    ASSERT_FALSE(fd.empty());
    EXPECT_TRUE(Denied(Op("victim", "read", fd + "/f")));
    EXPECT_EQ(Op("bystander", "read", fd + "/f"), 0);
    ASSERT_TRUE(protector->DeleteEntry(0));
    EXPECT_EQ(victim.Do("readat", "f"), 0);
}

// A covered file a process held open from before the entry: reopened through /proc/PID/fd by
// another process, it is decided.
TEST_F(ViewsTest, FilesHeldOpenFromBeforeTheEntryAreDecidedWhenReopened)
{
    const int file = ::open((data + "/prot/f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    struct Close {
        int fd;
        ~Close() { ::close(fd); }
    } close{file};
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;"), 0);
    const std::string reopen = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(file);
    EXPECT_TRUE(Denied(Op("victim", "read", reopen)));
    EXPECT_EQ(Op("bystander", "read", reopen), 0);
}

// A hard link to a covered file made after the entry through a folder held from before, beneath
// the view: a fresh named process reading by the new name is decided after the engine's next look.
TEST_F(ViewsTest, LinksMadeThroughOldHandlesAreDecided)
{
    fs::create_directories(data + "/elsewhere");
    ASSERT_NO_FATAL_FAILURE(Start());
    Runner bystander(Bin("bystander"));
    ASSERT_EQ(bystander.Do("hold", data + "/prot"), 0);
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;"), 0);
    ASSERT_EQ(bystander.Do("linkat", "f", data + "/elsewhere/f"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_TRUE(Denied(Op("victim", "read", data + "/elsewhere/f")));
    EXPECT_EQ(Op("bystander", "read", data + "/elsewhere/f"), 0);
}

} // namespace

// A mount namespace made before the entry, that no mount propagates into, has the covered objects
// without their views: opening and reading them there is decided all the same, for root and for an
// ordinary user in a user namespace of its own, in a covered folder and beside an object named
// itself.
TEST_F(ViewsTest, MountNamespacesMadeBeforeTheEntryAreDecided)
{
    for (const std::string &p : {home->dir, data, data + "/prot", data + "/prot/sub", data + "/open"})
        ASSERT_EQ(::chmod(p.c_str(), 0755), 0) << p;
    ASSERT_NO_FATAL_FAILURE(Start());
    Runner root(Bin("victim")), user(Bin("victim")), bystander(Bin("bystander"));
    ASSERT_EQ(root.Do("unshare", "root"), 0);
    const int userns = user.Do("unshare", "user");
    ASSERT_EQ(bystander.Do("unshare", "root"), 0);
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;"), 0);
    ASSERT_EQ(Add(FP_OPEN, Win(data + "/open/o") + ";"), 1);
    // Their namespaces have no view.
    EXPECT_EQ(bystander.Do("unmount", data + "/prot"), EINVAL);

    EXPECT_TRUE(Denied(root.Do("read", data + "/prot/f")));
    EXPECT_TRUE(Denied(root.Do("read", data + "/prot/sub/g")));
    EXPECT_TRUE(Denied(root.Do("read", data + "/open/o")));
    EXPECT_EQ(bystander.Do("read", data + "/prot/f"), 0);
    EXPECT_EQ(bystander.Do("read", data + "/open/o"), 0);
    // A named process of the engine's own namespace walking into that namespace through
    // /proc/PID/root is decided as well (the engine's own mount alone is taken as the view's).
    const std::string there = "/proc/" + std::to_string(root.pid()) + "/root";
    EXPECT_TRUE(Denied(Op("victim", "read", there + data + "/prot/f")));
    EXPECT_TRUE(Denied(Op("victim", "read", there + data + "/open/o")));
    EXPECT_EQ(Op("bystander", "read", there + data + "/prot/f"), 0);
    if (userns == 0) {
        EXPECT_TRUE(Denied(user.Do("read", data + "/prot/f")));
        EXPECT_TRUE(Denied(user.Do("read", data + "/open/o")));
    } else {
        ADD_FAILURE() << "no user namespace for nobody: " << std::strerror(userns);
    }
    EXPECT_NE(daemon->Log().find("mount namespace, made before the entry, has it without its view"), std::string::npos)
        << daemon->Log();

    ASSERT_TRUE(protector->DeleteEntry(1));
    ASSERT_TRUE(protector->DeleteEntry(0));
    EXPECT_EQ(root.Do("read", data + "/prot/f"), 0);
    EXPECT_EQ(root.Do("read", data + "/open/o"), 0);
}

// A user namespace made after the entry holds the views as locked copies: its owner can neither
// unmount one nor bind the folder beneath without it.
TEST_F(ViewsTest, AUserNamespaceMadeAfterTheEntryCannotTakeTheViewAway)
{
    for (const std::string &p : {home->dir, data, data + "/prot", data + "/open"})
        ASSERT_EQ(::chmod(p.c_str(), 0755), 0) << p;
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;"), 0);
    Runner user(Bin("victim"));
    const int userns = user.Do("unshare", "user");
    if (userns != 0)
        GTEST_FAIL() << "no user namespace for nobody: " << std::strerror(userns);
    EXPECT_NE(user.Do("unmount", data + "/prot"), 0);
    EXPECT_NE(user.Do("bind", data, data + "/open"), 0);
    EXPECT_TRUE(Denied(user.Do("read", data + "/prot/f")));
    // A bind of the view itself is the view again.
    if (user.Do("bind", data + "/prot", data + "/open") == 0) {
        EXPECT_TRUE(Denied(user.Do("read", data + "/open/f")));
    }
}
