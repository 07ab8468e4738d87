// The engine enforcing its entries against real processes on real folders. The daemon runs as
// root in this test's own mount namespace, so whatever a failed test leaves mounted goes with
// it. Copies of one small program ("victim", "bystander", ...) are the processes asked about.
#include "engine/fprec.h"
#include "engine/protector.h"
#include "platform/codepage/codepage.h"
#include "password/scrambler.h"
#include "platform/registry/registry.h"
#include "qxd/daemon_fixture.h"
#include "qxd/paths.h"
#include "support/enforcing.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

using namespace qxdtest;
namespace fs = std::filesystem;

namespace {

bool Denied(int err)
{
    return err == EACCES || err == EPERM;
}

std::string Read(const std::string &path)
{
    return Slurp(path);
}

void Write(const std::string &path, const std::string &text)
{
    std::ofstream(path) << text;
}

// The mounts of this engine (and none of another) in this namespace.
std::vector<std::string> EngineMounts()
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

class EnforceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = vxtest::EnforcementUnavailable();
        if (!why.empty())
            GTEST_SKIP() << why;
        ASSERT_EQ(vxtest::PrivateMounts(), 0) << "no mount namespace of the test's own";
        unsetenv("VELLAMORIX_DRIVES");
        home = std::make_unique<TempHome>();
        data = home->dir + "/data";
        fs::create_directories(data + "/prot/sub");
        fs::create_directories(data + "/open");
        Write(data + "/prot/f", "secret\n");
        Write(data + "/prot/sub/g", "deep\n");
        Write(data + "/open/o", "public\n");
        fs::create_directories(home->dir + "/bin");
        const char *build = std::getenv("VX_BUILD_DIR");
        const std::string fsop = std::string(build ? build : ".") + "/tests/qxd/vx_fsop";
        for (const char *name : {"victim", "bystander", "Victim2", "other"})
            fs::copy_file(fsop, Bin(name));
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

    std::unique_ptr<TempHome> home;
    int started = 0;
    std::string data;
    std::unique_ptr<Daemon> daemon;
    std::unique_ptr<TVeskFileProtector> protector;
};

// One operation bit at a time: the process the entry names is refused with EACCES or EPERM and
// nothing changes on disk; another program does the same thing and succeeds.
TEST_F(EnforceTest, EveryOperationIsDeniedToTheNamedProcessOnly)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    struct Case {
        uint32_t bit;
        std::string op;
        std::string target; // under data/prot
        std::string second; // for rename and link
        std::function<bool(const std::string &)> unchanged;
    };
    const std::string p = data + "/prot";
    const auto exists = [](const std::string &path) { return fs::exists(fs::symlink_status(path)); };
    const std::vector<Case> cases = {
        {FP_OPEN, "open", "f", "", nullptr},
        {FP_READ, "read", "f", "", nullptr},
        {FP_READ, "mapread", "f", "", nullptr},
        {FP_WRITE, "write", "f", "", [&](const std::string &) { return Read(p + "/f") == "secret\n"; }},
        {FP_WRITE, "truncate", "f", "", [&](const std::string &) { return Read(p + "/f") == "secret\n"; }},
        {FP_CREATE, "create", "new", "", [&](const std::string &) { return !exists(p + "/new"); }},
        {FP_DIR_CREATE, "mkdir", "newdir", "", [&](const std::string &) { return !exists(p + "/newdir"); }},
        {FP_DELETE, "unlink", "f", "", [&](const std::string &) { return exists(p + "/f"); }},
        {FP_DIR_DELETE, "rmdir", "empty", "", [&](const std::string &) { return exists(p + "/empty"); }},
        {FP_RENAME, "rename", "f", "moved", [&](const std::string &) { return exists(p + "/f") && !exists(p + "/moved"); }},
        {FP_REPLACE, "rename", "sub/g", "f", [&](const std::string &) { return Read(p + "/f") == "secret\n"; }},
        {FP_SET_ATTRIBUTES, "chmod", "f", "", [&](const std::string &) {
             return (fs::status(p + "/f").permissions() & fs::perms::all) == fs::perms(0644);
         }},
        {FP_SET_ATTRIBUTES, "chown", "f", "", nullptr},
        {FP_SET_ATTRIBUTES, "setxattr", "f", "", [&](const std::string &) {
             return ::getxattr((p + "/f").c_str(), "user.vx", nullptr, 0) < 0;
         }},
        {FP_EXECUTE, "exec", "prog", "", nullptr},
        {FP_SET_MODIFICATION_TIME, "mtime", "f", "", nullptr},
        {FP_SET_LAST_ACCESS_TIME, "atime", "f", "", nullptr},
        {FP_GET_ATTRIBUTES, "stat", "f", "", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.op + " mask " + std::to_string(c.bit));
        // A fresh folder for every case, so one case's leftovers cannot decide another.
        fs::remove_all(p);
        fs::create_directories(p + "/sub");
        fs::create_directories(p + "/empty");
        Write(p + "/f", "secret\n");
        fs::permissions(p + "/f", fs::perms(0644));
        Write(p + "/sub/g", "deep\n");
        fs::copy_file(Bin("other"), p + "/prog");
        uint32_t count = 0;
        ASSERT_TRUE(protector->GetEntryCount(count));
        ASSERT_EQ(Add(c.bit, Win(p) + "\\*;", "victim"), int32_t(count));
        const std::string target = p + "/" + c.target, second = c.second.empty() ? "" : p + "/" + c.second;
        const int denied = Op("victim", c.op, target, second);
        EXPECT_TRUE(Denied(denied)) << "victim got " << denied;
        if (c.unchanged) {
            EXPECT_TRUE(c.unchanged(target));
        }
        EXPECT_EQ(Op("bystander", c.op, target, second), 0);
        ASSERT_TRUE(protector->DeleteEntry(int32_t(count)));
    }
    EXPECT_NE(DenialLog().find("op execute path " + p + "/prog"), std::string::npos) << DenialLog();
}

// Invisible: the name is missing from the folder's listing for the named process, but its path
// still opens; with open denied as well it does not open either.
TEST_F(EnforceTest, ListHidesNamesButPathsStillOpen)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_PRESET_INVISIBLE, Win(data + "/prot") + "\\*;", "victim", Win(data + "/prot/sub") + ";"), 0);
    Runner victim(Bin("victim")), bystander(Bin("bystander"));
    EXPECT_EQ(victim.Line("list", data + "/prot"), "0 sub");
    const std::string all = bystander.Line("list", data + "/prot");
    EXPECT_TRUE(all == "0 f sub" || all == "0 sub f") << all;
    EXPECT_EQ(victim.Do("read", data + "/prot/f"), 0);
    ASSERT_TRUE(protector->ModifyEntry(0, FP_PRESET_FULLHIDDEN, Win(data + "/prot") + "\\*;", Win(data + "/prot/sub") + ";",
                                       "victim", "", nullptr, 0, nullptr, 0, nullptr, 1));
    // The change holds for the process already running, as soon as the request is answered.
    EXPECT_TRUE(Denied(victim.Do("read", data + "/prot/f")));
    EXPECT_EQ(victim.Line("list", data + "/prot"), "0 sub");
    EXPECT_EQ(bystander.Do("read", data + "/prot/f"), 0);
}

// Exclusions: an excluded path is not covered, an excluded process is let through; patterns
// ignore case and take "?" and "*"; a pattern with a folder is compared with the whole path.
TEST_F(EnforceTest, ExclusionsAndProcessPatterns)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;", "VIC*;other", Win(data + "/prot/sub") + "\\*;", "victim2"), 0);
    EXPECT_TRUE(Denied(Op("victim", "read", data + "/prot/f")));
    EXPECT_TRUE(Denied(Op("other", "read", data + "/prot/f")));
    EXPECT_EQ(Op("Victim2", "read", data + "/prot/f"), 0);        // excluded process, any case
    EXPECT_EQ(Op("victim", "read", data + "/prot/sub/g"), 0);     // excluded path
    EXPECT_EQ(Op("bystander", "read", data + "/prot/f"), 0);

    ASSERT_TRUE(protector->ModifyEntry(0, FP_READ, Win(data + "/prot") + "\\*;", "", "v?ctim;" + Win(Bin("b*")), "",
                                       nullptr, 0, nullptr, 0, nullptr, 1));
    EXPECT_TRUE(Denied(Op("victim", "read", data + "/prot/sub/g")));
    EXPECT_TRUE(Denied(Op("bystander", "read", data + "/prot/f"))); // the whole path matches
    EXPECT_EQ(Op("Victim2", "read", data + "/prot/f"), 0);
    EXPECT_EQ(Op("other", "read", data + "/prot/f"), 0);
}

// "P" covers the object itself, "P\*" everything below it and not P.
TEST_F(EnforceTest, AnItemCoversItselfAndASubtreeWhatLiesBelow)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_OPEN, Win(data + "/prot") + ";"), 0);
    EXPECT_TRUE(Denied(Op("victim", "list", data + "/prot")));
    EXPECT_EQ(Op("victim", "read", data + "/prot/f"), 0);
    ASSERT_TRUE(protector->ModifyEntry(0, FP_OPEN, Win(data + "/prot") + "\\*;", "", "victim", "", nullptr, 0, nullptr, 0,
                                       nullptr, 1));
    EXPECT_EQ(Op("victim", "list", data + "/prot"), 0);
    EXPECT_TRUE(Denied(Op("victim", "read", data + "/prot/f")));
    EXPECT_TRUE(Denied(Op("victim", "read", data + "/prot/sub/g")));
    EXPECT_TRUE(Denied(Op("victim", "list", data + "/prot/sub")));
    EXPECT_EQ(Op("victim", "read", data + "/open/o"), 0);
    // A file item: that file only.
    ASSERT_TRUE(protector->ModifyEntry(0, FP_OPEN, Win(data + "/prot/sub/g") + ";", "", "victim", "", nullptr, 0, nullptr, 0,
                                       nullptr, 1));
    EXPECT_TRUE(Denied(Op("victim", "read", data + "/prot/sub/g")));
    EXPECT_EQ(Op("victim", "read", data + "/prot/f"), 0);
}

// Stop lets everything through at once, start enforces again; delete and modify hold for a
// process that was running before the change.
TEST_F(EnforceTest, StopStartModifyAndDeleteReachRunningProcesses)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    Runner victim(Bin("victim"));
    ASSERT_EQ(victim.Do("read", data + "/prot/f"), 0);
    ASSERT_EQ(Add(FP_PRESET_NOACCESS, Win(data + "/prot") + "\\*;" + Win(data + "/prot") + ";"), 0);
    EXPECT_TRUE(Denied(victim.Do("read", data + "/prot/f")));
    EXPECT_TRUE(Denied(victim.Do("create", data + "/prot/n")));

    protector->SetActive(true); // the engine starts active; the client learns it here
    protector->SetActive(false);
    ASSERT_TRUE(protector->Success());
    EXPECT_EQ(victim.Do("read", data + "/prot/f"), 0);
    protector->SetActive(true);
    ASSERT_TRUE(protector->Success());
    EXPECT_TRUE(Denied(victim.Do("read", data + "/prot/f")));

    ASSERT_TRUE(protector->ModifyEntry(0, FP_WRITE, Win(data + "/prot") + "\\*;", "", "victim", "", nullptr, 0, nullptr, 0,
                                       nullptr, 1));
    EXPECT_EQ(victim.Do("read", data + "/prot/f"), 0);
    EXPECT_TRUE(Denied(victim.Do("write", data + "/prot/f")));
    ASSERT_TRUE(protector->DeleteEntry(0));
    EXPECT_EQ(victim.Do("write", data + "/prot/f"), 0);
    EXPECT_EQ(Read(data + "/prot/f"), "secret\nx\n");
    EXPECT_TRUE(EngineMounts().empty()) << "no entry, no view";
}

// A process is judged by the program it runs now: one that read a file as another program and
// then became the named one is refused at once.
TEST_F(EnforceTest, AProcessIsTheProgramItRunsNow)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;"), 0);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(Denied(Op("bystander", "become", Bin("victim"), data + "/prot/f"))) << i;
    EXPECT_EQ(Op("victim", "become", Bin("bystander"), data + "/prot/f"), 0);
}

// Paths in CP949 name UTF-8 folders; a second drive of the drive map maps its own folder.
TEST_F(EnforceTest, KoreanPathsAndASecondDrive)
{
    const std::string korean = data + "/보호된 폴더";
    fs::create_directories(korean);
    Write(korean + "/문서.txt", "한글\n");
    fs::create_directories(data + "/d/inner");
    Write(data + "/d/inner/x", "x\n");
    setenv("VELLAMORIX_DRIVES", ("C:=/,D:=" + data + "/d").c_str(), 1);
    ASSERT_NO_FATAL_FAILURE(Start());
    const std::string ansi = vx::codepage::Utf8ToAnsi(Win(korean));
    ASSERT_NE(ansi, Win(korean)) << "the path must travel in CP949";
    ASSERT_EQ(Add(FP_READ, ansi + "\\*;"), 0);
    ASSERT_EQ(Add(FP_READ, "D:\\inner\\*;"), 1);
    unsetenv("VELLAMORIX_DRIVES");
    EXPECT_TRUE(Denied(Op("victim", "read", korean + "/문서.txt")));
    EXPECT_EQ(Op("bystander", "read", korean + "/문서.txt"), 0);
    EXPECT_TRUE(Denied(Op("victim", "read", data + "/d/inner/x")));
    EXPECT_NE(DenialLog().find("path " + korean + "/문서.txt by entry 0"), std::string::npos) << DenialLog();
}

// Other names of a covered object: a hard link and bind mounts made before the entry, ".." and
// a symbolic link all lead to the same decision.
TEST_F(EnforceTest, OtherNamesOfACoveredFile)
{
    fs::create_directories(data + "/elsewhere");
    fs::create_directories(data + "/alias");
    fs::create_directories(data + "/subalias");
    ASSERT_EQ(::link((data + "/prot/f").c_str(), (data + "/elsewhere/hard").c_str()), 0);
    fs::create_symlink(data + "/prot/f", data + "/elsewhere/soft");
    ASSERT_EQ(::mount((data + "/prot").c_str(), (data + "/alias").c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(::mount((data + "/prot/sub").c_str(), (data + "/subalias").c_str(), nullptr, MS_BIND, nullptr), 0);
    struct Unbind {
        std::string a, b;
        ~Unbind()
        {
            // The engine's own view may still sit on a bind; both go.
            for (const std::string &place : {a, b})
                for (int i = 0; i < 4 && ::umount2(place.c_str(), MNT_DETACH) == 0; ++i) {
                }
        }
    } unbind{data + "/alias", data + "/subalias"};
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_READ | FP_WRITE, Win(data + "/prot") + "\\*;"), 0);
    EXPECT_TRUE(Denied(Op("victim", "read", data + "/subalias/g")));
    EXPECT_EQ(Op("bystander", "read", data + "/subalias/g"), 0);
    EXPECT_NE(DenialLog().find("path " + data + "/prot/sub/g by entry 0"), std::string::npos) << DenialLog();
    for (const std::string &name : {data + "/elsewhere/hard", data + "/prot/sub/../f", data + "/elsewhere/soft", data + "/alias/f"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(Denied(Op("victim", "read", name)));
        EXPECT_TRUE(Denied(Op("victim", "write", name)));
        EXPECT_EQ(Op("bystander", "read", name), 0);
    }
    EXPECT_EQ(Read(data + "/prot/f"), "secret\n");
    // The hard link's own name is not covered: removing it leaves the object in place.
    EXPECT_EQ(Op("victim", "unlink", data + "/elsewhere/hard"), 0);
    EXPECT_TRUE(Denied(Op("victim", "read", data + "/prot/f")));
}

// A process already working in a folder when its entry comes reaches what lies there by
// relative names, beneath the view: its opens are decided all the same.
TEST_F(EnforceTest, ProcessesWorkingInACoveredFolderBeforeItsEntry)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    Runner victim(Bin("victim")), bystander(Bin("bystander"));
    ASSERT_EQ(victim.Do("cd", data + "/prot"), 0);
    ASSERT_EQ(bystander.Do("cd", data + "/prot"), 0);
    ASSERT_EQ(Add(FP_READ | FP_WRITE, Win(data + "/prot") + "\\*;"), 0);
    EXPECT_TRUE(Denied(victim.Do("read", "f")));
    EXPECT_TRUE(Denied(victim.Do("read", "sub/g")));
    EXPECT_TRUE(Denied(victim.Do("write", "f")));
    EXPECT_EQ(bystander.Do("read", "f"), 0);
    EXPECT_EQ(Read(data + "/prot/f"), "secret\n");
    EXPECT_NE(DenialLog().find("op read path " + data + "/prot/sub/g by entry 0"), std::string::npos) << DenialLog();
    ASSERT_TRUE(protector->DeleteEntry(0));
    EXPECT_EQ(victim.Do("read", "f"), 0);
}

// A socket bound in a covered folder before the entry still takes callers the entry lets
// through; the named process is refused by the folder's other operations as before.
TEST_F(EnforceTest, ListenersBoundBeforeTheEntryKeepTheirCallers)
{
    const std::string path = data + "/prot/sock";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;"), 0);
    EXPECT_EQ(Op("bystander", "connect", path), 0);
    EXPECT_TRUE(Denied(Op("victim", "read", data + "/prot/f")));
    EXPECT_EQ(Op("bystander", "read", data + "/prot/f"), 0);
    ::close(listener);
}

// A folder of 10,000 files whose names are hidden: the named process sees only the excluded
// ones, everybody else sees all of them, and each still opens by its path.
TEST_F(EnforceTest, TenThousandHiddenNames)
{
    const std::string big = data + "/big";
    fs::create_directories(big);
    for (int i = 0; i < 10000; ++i)
        Write(big + "/file" + std::to_string(i), "");
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_LIST, Win(big) + "\\*;", "victim", Win(big + "/file7") + ";" + Win(big + "/file9999") + ";"), 0);
    Runner victim(Bin("victim")), bystander(Bin("bystander"));
    const std::string seen = victim.Line("list", big);
    EXPECT_TRUE(seen == "0 file7 file9999" || seen == "0 file9999 file7") << seen.substr(0, 200);
    std::istringstream all(bystander.Line("list", big));
    int err = -1;
    all >> err;
    std::set<std::string> names;
    for (std::string n; all >> n;)
        names.insert(n);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(names.size(), 10000u);
    EXPECT_EQ(victim.Do("read", big + "/file1234"), 0);
}

// The engine killed outright leaves its views failing closed; the next start removes them,
// loads the stored entries and enforces them before any console runs.
TEST_F(EnforceTest, KilledEngineIsRepairedByTheNextStart)
{
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\Entry", true));
        reg.WriteInteger("EntryCount", 1);
        reg.WriteString("0", Win(data + "/prot") + "\\*;" + ",victim,,,2052");
    }
    ASSERT_NO_FATAL_FAILURE(Start({}));
    EXPECT_TRUE(Denied(Op("victim", "read", data + "/prot/f")));
    EXPECT_EQ(Op("bystander", "read", data + "/prot/f"), 0);
    protector.reset();
    daemon->Stop(SIGKILL);
    // Covered objects fail closed; nothing else waits.
    EXPECT_EQ(Op("bystander", "read", data + "/prot/f"), ENOTCONN);
    EXPECT_EQ(Op("bystander", "read", data + "/open/o"), 0);
    ASSERT_NO_FATAL_FAILURE(Start({}));
    EXPECT_TRUE(Denied(Op("victim", "read", data + "/prot/f")));
    EXPECT_EQ(Op("bystander", "read", data + "/prot/f"), 0);
    int views = 0;
    for (const std::string &m : EngineMounts())
        views += m.find(" " + data + "/prot ") != std::string::npos;
    EXPECT_EQ(views, 1);
}

// The fuse module's io_uring switch is one for the machine. An engine that stops while another
// still enforces leaves it on, so the other's views keep answering; the last one to stop puts it
// back as it was before an engine turned it on.
TEST_F(EnforceTest, EnginesShareTheRingSwitchAndTheLastPutsItBack)
{
    const std::string param = "/sys/module/fuse/parameters/enable_uring";
    const std::string lease = "/run/qxd-engine-fuse-uring";
    if (Slurp(param).empty())
        GTEST_SKIP() << "this kernel's fuse module has no io_uring transport (" << param << ")";
    const bool wasOff = Slurp(param)[0] == 'N' || Slurp(lease) == "N";
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;"), 0);
    EXPECT_EQ(Slurp(param)[0], 'Y');
    const std::string firstDir = home->deviceDir, secondDir = home->dir + "/dev2";
    setenv("VELLAMORIX_DEVICE_DIR", secondDir.c_str(), 1);
    Daemon second(*home, {"--no-load", "--device-dir", secondDir}, "second.log", true);
    ASSERT_TRUE(second.WaitReady()) << second.Log();
    auto other = std::make_unique<TVeskFileProtector>();
    setenv("VELLAMORIX_DEVICE_DIR", firstDir.c_str(), 1);
    ASSERT_TRUE(other->Success()) << second.Log();
    ASSERT_EQ(other->AddEntry(FP_READ, Win(data + "/open") + "\\*;", "", "victim", "", nullptr, 0, nullptr, 0, nullptr, 1), 0);
    protector.reset();
    EXPECT_EQ(daemon->Stop(), 0) << daemon->Log();
    EXPECT_EQ(Slurp(param)[0], 'Y');
    EXPECT_TRUE(Denied(Op("victim", "read", data + "/open/o")));
    EXPECT_EQ(Op("bystander", "read", data + "/open/o"), 0);
    EXPECT_EQ(Op("victim", "read", data + "/prot/f"), 0);
    other.reset();
    EXPECT_EQ(second.Stop(), 0) << second.Log();
    // Another test program's engine may still run beside this one; then the switch stays on.
    const int fd = ::open(lease.c_str(), O_RDONLY | O_CLOEXEC);
    if (wasOff && fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        EXPECT_EQ(Slurp(param)[0], 'N');
    }
    if (fd >= 0)
        ::close(fd);
}

// Every denial is recorded with time, pid, executable, operation, path and entry; a loop of
// denials is cut down by the rate limit, and what it leaves out is counted.
TEST_F(EnforceTest, DenialsAreRecordedWithinARateLimit)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_READ, Win(data + "/open") + ";"), 0);
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;"), 1);
    Runner victim(Bin("victim"));
    ASSERT_TRUE(Denied(victim.Do("read", data + "/prot/f")));
    const std::string first = DenialLog();
    const std::string expected = "denied pid " + std::to_string(victim.pid()) + " exe " + Bin("victim") +
                                 " op read path " + data + "/prot/f by entry 1";
    EXPECT_NE(first.find(expected), std::string::npos) << first;
    EXPECT_NE(daemon->Log().find(expected), std::string::npos);
    EXPECT_EQ(first.compare(0, 2, "20"), 0) << "lines start with the time: " << first;
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(Denied(victim.Do("read", data + "/prot/f")));
    std::string log;
    for (int i = 0; i < 400 && log.find("not recorded (rate limit)") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log = DenialLog();
    }
    EXPECT_NE(log.find("not recorded (rate limit)"), std::string::npos);
    EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 600);
}

// Permissive: the same decisions are recorded, nothing is denied.
TEST_F(EnforceTest, PermissiveDeniesNothing)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--no-load", "--permissive"}));
    ASSERT_EQ(Add(FP_PRESET_FULLHIDDEN, Win(data + "/prot") + "\\*;"), 0);
    EXPECT_EQ(Op("victim", "read", data + "/prot/f"), 0);
    Runner victim(Bin("victim"));
    EXPECT_EQ(victim.Line("list", data + "/prot").substr(0, 2), "0 ");
    EXPECT_NE(victim.Line("list", data + "/prot").find("f"), std::string::npos);
    EXPECT_NE(DenialLog().find("would deny pid"), std::string::npos) << DenialLog();
    EXPECT_EQ(DenialLog().find("denied pid"), std::string::npos);
}

// Guard rails: entries on the system's folders are kept but never enforced, and say so; the
// named program still reads them and runs what lies there.
TEST_F(EnforceTest, SystemFoldersAreNeverEnforced)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(0x7FFFFE, "C:\\etc\\*;", "victim"), 0);
    ASSERT_EQ(Add(0x7FFFFE, "C:\\usr\\*;", "victim"), 1);
    EXPECT_EQ(Op("victim", "read", "/etc/hostname"), 0);
    EXPECT_EQ(Op("victim", "exec", "/usr/bin/true"), 0);
    EXPECT_TRUE(EngineMounts().empty()) << EngineMounts().front();
    const std::string log = daemon->Log();
    EXPECT_NE(log.find("entry 0 is not fully enforced: /etc: a system or engine object, never enforced"), std::string::npos) << log;
    EXPECT_NE(log.find("entry 1 is not fully enforced: /usr: a system or engine object, never enforced"), std::string::npos) << log;
    uint32_t count = 0;
    ASSERT_TRUE(protector->GetEntryCount(count));
    EXPECT_EQ(count, 2u) << "the entries are kept as given";
}

// The registry store's folder: while protection is on, only the engine and the project's own
// programs change it, also where an entry names it for every process; after stop, anybody may.
TEST_F(EnforceTest, TheStoreIsChangedOnlyByTheProjectsPrograms)
{
    const std::string store = home->dir + "/store";
    fs::create_directories(store);
    setenv("VELLAMORIX_REGISTRY", (store + "/registry.db").c_str(), 1);
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\Entry", true));
        reg.WriteInteger("EntryCount", 0);
    }
    ASSERT_TRUE(StorePassword("opensesame"));
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_TRUE(Denied(Op("bystander", "create", store + "/planted")));
    EXPECT_TRUE(Denied(Op("bystander", "write", store + "/registry.db")));
    EXPECT_TRUE(Denied(Op("bystander", "unlink", store + "/registry.db")));
    // Reading too: the store holds the console's scrambled password.
    EXPECT_TRUE(Denied(Op("bystander", "read", store + "/registry.db")));
    EXPECT_TRUE(Denied(Op("bystander", "mapread", store + "/registry.db")));
    // vxreg may change the store, but only for whoever gives the console's password.
    const std::string vxreg = Built("tools/vxreg/vxreg");
    Write(home->dir + "/in.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TOVRA\\Vellamorix\\Probe]\r\n\"x\"=\"1\"\r\n");
    const Outcome refused = Capture({vxreg, "import", home->dir + "/in.reg"}, "guess\n");
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_NE(refused.out.find("wrong password"), std::string::npos) << refused.out;
    // An entry on the store for everybody does not lock out the project's own tools.
    ASSERT_EQ(Add(FP_PRESET_NOACCESS | FP_WRITE, Win(store) + "\\*;" + Win(store) + ";", "*"), 0);
    const Outcome imported = Capture({vxreg, "import", home->dir + "/in.reg"}, "opensesame\n");
    EXPECT_EQ(imported.status, 0) << imported.out;
    EXPECT_TRUE(Denied(Op("bystander", "read", store + "/registry.db")));
    protector->SetActive(true);
    protector->SetActive(false);
    EXPECT_EQ(Op("bystander", "create", store + "/planted"), 0);
    unsetenv("VELLAMORIX_REGISTRY");
}

// The project's programs pass the store's guard and nothing else: vxreg cannot write a backup
// into a folder an entry closes to every process.
TEST_F(EnforceTest, TheProjectsProgramsAreJudgedLikeAnyOtherElsewhere)
{
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\Entry", true));
        reg.WriteInteger("EntryCount", 0);
    }
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_PRESET_NOACCESS | FP_WRITE, Win(data + "/prot") + "\\*;", "*"), 0);
    const std::string vxreg = Built("tools/vxreg/vxreg");
    const Outcome exported = Capture({vxreg, "export", "HKLM\\SOFTWARE\\TOVRA", data + "/prot/backup.reg"});
    EXPECT_EQ(exported.status, 1) << exported.out;
    EXPECT_NE(exported.out.find("Permission denied"), std::string::npos) << exported.out;
    EXPECT_TRUE(Denied(Op("bystander", "read", data + "/prot/f")));
    EXPECT_EQ(Capture({vxreg, "export", "HKLM\\SOFTWARE\\TOVRA", data + "/open/backup.reg"}).status, 0);
}

// A program an entry restricts, speaking to the engine with the credential every client sends,
// can neither switch protection off nor change the entries; with --any-client it could.
TEST_F(EnforceTest, ARestrictedProgramCannotSwitchProtectionOff)
{
    ASSERT_NO_FATAL_FAILURE(StoreEntry(data + "/prot", "notepad*", FP_PRESET_NOACCESS));
    fs::copy_file(Bin("victim"), Bin("notepadcat"));
    const std::string ctl = Bin("notepadctl");
    fs::copy_file(Built("tests/qxd/vx_wireclient"), ctl);
    ASSERT_NO_FATAL_FAILURE(Start({}, true));
    protector.reset();
    ASSERT_TRUE(Denied(Op("notepadcat", "read", data + "/prot/f")));
    const Outcome attempt = Capture({ctl, "stop", "delete", "add:" + Win(data + "/open") + "\\*;", "clear"});
    EXPECT_EQ(attempt.out, "stop 5\ndelete 5\nadd:" + Win(data + "/open") + "\\*; 5\nclear 5\n");
    EXPECT_TRUE(Denied(Op("notepadcat", "read", data + "/prot/f"))) << "protection stays on";
    EXPECT_EQ(Op("notepadcat", "read", data + "/open/o"), 0) << "no entry was added";
    EXPECT_NE(daemon->Log().find("(" + ctl + ") refused: it is not one of the project's clients"), std::string::npos)
        << daemon->Log();

    // The same program, where the engine serves any client.
    protector.reset();
    ASSERT_EQ(daemon->Stop(), 0) << daemon->Log();
    ASSERT_NO_FATAL_FAILURE(Start({}, false));
    EXPECT_EQ(Capture({ctl, "stop"}).out, "stop 0\n");
    EXPECT_EQ(Op("notepadcat", "read", data + "/prot/f"), 0);
}

// Another mount namespace can put any file at the path of the project's programs: the engine
// knows its programs by the files they are, so a forged console is refused as a client, and a
// forged vxreg is judged like any other process.
TEST_F(EnforceTest, AForgedProgramAtTheProjectsPathGainsNothing)
{
    ASSERT_NO_FATAL_FAILURE(StoreEntry(data + "/prot", "*", FP_PRESET_NOACCESS));
    ASSERT_NO_FATAL_FAILURE(Start({}, true));
    protector.reset();
    const std::string console = Built("console/Vellamorix");
    const Outcome forged = Capture({console, "stop"}, "", vx::qxd::Parent(console), Built("tests/qxd/vx_wireclient"));
    EXPECT_EQ(forged.out, "stop 5\n");
    EXPECT_NE(daemon->Log().find("refused: it is not one of the project's clients"), std::string::npos) << daemon->Log();
    const std::string vxreg = Built("tools/vxreg/vxreg");
    const Outcome reader = Capture({vxreg, "read", data + "/prot/f"}, "", vx::qxd::Parent(vxreg), Built("tests/qxd/vx_fsop"));
    EXPECT_TRUE(Denied(reader.status)) << reader.status << " " << reader.out;
    EXPECT_NE(DenialLog().find("exe " + vxreg + " op "), std::string::npos) << DenialLog();
}

// The console itself is served without --any-client; a copy of it is not the console.
TEST_F(EnforceTest, TheConsoleIsServedAndACopyOfItIsNot)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--no-load", "--verbose"}, true));
    protector.reset();
    const std::string copy = home->dir + "/bin/Vellamorix";
    fs::copy_file(Built("console/Vellamorix"), copy);
    for (const std::string &exe : {Built("console/Vellamorix"), copy}) {
        SCOPED_TRACE(exe);
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            ::execl(exe.c_str(), exe.c_str(), nullptr);
            _exit(127);
        }
        const std::string mark = "client pid " + std::to_string(pid) + " connected to QXDAnsi";
        bool answered = false;
        for (int i = 0; i < 3000 && !answered; ++i) {
            const std::string log = daemon->Log();
            const size_t at = log.find(mark);
            answered = at != std::string::npos && (log.find("request 0x", at) != std::string::npos ||
                                                   log.find("refused", at) != std::string::npos);
            if (!answered)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid, SIGKILL);
        int st;
        ::waitpid(pid, &st, 0);
        ASSERT_TRUE(answered) << daemon->Log();
        const std::string log = daemon->Log().substr(daemon->Log().find(mark));
        const bool refused = log.find("client pid " + std::to_string(pid) + " (" + exe + ") refused") != std::string::npos;
        EXPECT_EQ(refused, exe == copy) << log;
    }
}

// Without root the engine keeps and serves entries and says at start that it enforces nothing.
TEST_F(EnforceTest, WithoutRootNothingIsEnforcedAndTheEngineSaysSo)
{
    const std::string dir = home->dir + "/nobody";
    fs::create_directories(dir);
    ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(home->dir.c_str(), 0755), 0);
    const std::string log = dir + "/engine.log";
    const char *build = std::getenv("VX_BUILD_DIR");
    const std::string exe = std::string(build ? build : ".") + "/qxd/qxd-engine";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            _exit(126);
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        ::execl(exe.c_str(), exe.c_str(), "--no-load", "--device-dir", (dir + "/dev").c_str(), nullptr);
        _exit(127);
    }
    bool ready = false;
    for (int i = 0; i < 3000 && !ready; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ready = Slurp(log).find("qxd-engine: ready") != std::string::npos;
    }
    ::kill(pid, SIGTERM);
    int st = 0;
    ASSERT_TRUE(WaitChild(pid, st, 30));
    EXPECT_TRUE(ready) << Slurp(log);
    EXPECT_NE(Slurp(log).find("qxd-engine: not enforcing any operation: not running as root"), std::string::npos) << Slurp(log);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << Slurp(log);
}

} // namespace
