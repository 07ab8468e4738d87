// The record of denials as a real enforcing engine writes it for real processes, read back
// through the clients' reader; its file's rights; the systemd journal where one runs.
#include "engine/denials.h"
#include "platform/codepage/codepage.h"
#include "qxd/enforce_fixture.h"

#include <grp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/fsuid.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

namespace qxdtest {
namespace {

using vx::denials::Denial;
using vx::denials::RecordReader;

int64_t NowUs()
{
    timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

class DenialRecordTest : public EnforceTest {
protected:
    std::string RecordFile() const { return vx::denials::RecordPath(home->deviceDir); }
    // Every record there is now, after waiting up to 10 s for at least `atLeast`.
    std::vector<Denial> Records(size_t atLeast, std::vector<std::string> *notes = nullptr)
    {
        std::vector<Denial> all;
        for (int i = 0; i < 1000; ++i) {
            RecordReader reader(RecordFile());
            all.clear();
            for (;;) {
                RecordReader::Batch b = reader.Poll();
                all.insert(all.end(), b.records.begin(), b.records.end());
                if (notes)
                    notes->insert(notes->end(), b.notes.begin(), b.notes.end());
                if (!b.more)
                    break;
            }
            if (all.size() >= atLeast)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return all;
    }
};

// Permissive mode records what it would deny and denies nothing: every field of the record, for
// a program reading a file under a Korean name.
TEST_F(DenialRecordTest, PermissiveRecordHoldsEveryField)
{
    const std::string folder = data + "/보호폴더"; // the runner reads paths without spaces
    fs::create_directories(folder);
    Write(folder + "/문서.txt", "내용\n");
    ASSERT_NO_FATAL_FAILURE(Start({"--no-load", "--permissive"}));
    ASSERT_EQ(Add(FP_READ | FP_WRITE, vx::codepage::Utf8ToAnsi(Win(folder)) + "\\*;", "victim"), 0);
    const int64_t before = NowUs();
    Runner victim(Bin("victim"));
    EXPECT_EQ(victim.Do("read", folder + "/문서.txt"), 0) << "permissive mode denies nothing";
    EXPECT_EQ(Op("bystander", "read", folder + "/문서.txt"), 0);

    const std::vector<Denial> records = Records(1);
    ASSERT_EQ(records.size(), 1u) << Read(RecordFile());
    const Denial &d = records[0];
    EXPECT_EQ(d.pid, victim.pid());
    EXPECT_EQ(d.tid, victim.pid());
    EXPECT_EQ(d.exe, Bin("victim"));
    EXPECT_EQ(d.operation, "read");
    EXPECT_EQ(d.mask, uint32_t(FP_READ));
    EXPECT_EQ(d.posixPath, folder + "/문서.txt");
    EXPECT_EQ(d.path, Win(folder + "/문서.txt"));
    EXPECT_EQ(d.entry, 0);
    ASSERT_TRUE(d.hasEntry);
    EXPECT_EQ(d.entryFileFolder, Win(folder) + "\\*;");
    EXPECT_EQ(d.entryProcess, "victim");
    EXPECT_TRUE(d.permissive);
    EXPECT_EQ(d.dropped, 0u);
    EXPECT_GE(d.timeUs, before - 1000000);
    EXPECT_LE(d.timeUs, NowUs() + 1000000);
    EXPECT_EQ(d.time.size(), std::string("2026-12-08T19:20:01.123456Z").size()) << d.time;
    // The same denial is still a line of the log.
    EXPECT_NE(DenialLog().find("would deny pid " + std::to_string(victim.pid())), std::string::npos);
}

// A file name cannot forge a record: a name holding a line break, quotes, a whole fake record and
// bytes that are no UTF-8 is one record whose path is that name, byte for byte.
TEST_F(DenialRecordTest, NamesCannotForgeRecords)
{
    const std::string fake = R"({"time":"2026-01-01T00:00:00Z","pid":1,"mask":64,"posixPath":"shadow","entry":0})"; // no "/": it is one name
    const std::string name = std::string("x\"\n") + fake + "\n\\\xff\xc0\x01end";
    Write(data + "/prot/" + name, "bait\n");
    ASSERT_NO_FATAL_FAILURE(Start({"--no-load", "--permissive"}));
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;"), 0);
    EXPECT_EQ(Op("victim", "read", data + "/prot/" + name), 0);
    std::vector<std::string> notes;
    const std::vector<Denial> records = Records(1, &notes);
    ASSERT_EQ(records.size(), 1u) << Read(RecordFile());
    EXPECT_EQ(records[0].posixPath, data + "/prot/" + name);
    EXPECT_TRUE(notes.empty()) << notes.front();
    const std::string text = Read(RecordFile());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    // Nor a line of the log.
    const std::string log = DenialLog();
    EXPECT_EQ(log.find("\n{"), std::string::npos) << log;
    EXPECT_NE(log.find("/prot/x\"\\x0a{"), std::string::npos) << log;
}

// vxctl denials: the same records; --json gives the record's lines, which read back to the same
// Korean path; --since leaves out what came before; --follow prints new ones until interrupted.
TEST_F(DenialRecordTest, VxctlShowsAndFollowsTheRecord)
{
    const std::string folder = data + "/한글폴더";
    fs::create_directories(folder);
    Write(folder + "/보고서.txt", "x\n");
    Write(folder + "/나중.txt", "y\n");
    ASSERT_NO_FATAL_FAILURE(Start({"--no-load", "--permissive"}));
    ASSERT_EQ(Add(FP_READ, vx::codepage::Utf8ToAnsi(Win(folder)) + "\\*;"), 0);
    EXPECT_EQ(Op("victim", "read", folder + "/보고서.txt"), 0);
    ASSERT_EQ(Records(1).size(), 1u);
    const std::string vxctl = Built("tools/vxctl/vxctl");

    Outcome json = Capture({vxctl, "denials", "--json"});
    ASSERT_EQ(json.status, 0) << json.out;
    Denial d;
    std::string why;
    ASSERT_TRUE(vx::denials::ParseRecord(json.out.substr(0, json.out.find('\n')), d, why)) << why << ": " << json.out;
    EXPECT_EQ(d.posixPath, folder + "/보고서.txt");
    EXPECT_EQ(d.path, Win(folder + "/보고서.txt"));
    EXPECT_EQ(d.entryFileFolder, Win(folder) + "\\*;");
    EXPECT_EQ(d.exe, Bin("victim"));
    EXPECT_EQ(json.out, Read(RecordFile())) << "the record's own lines";

    Outcome table = Capture({vxctl, "denials"});
    ASSERT_EQ(table.status, 0) << table.out;
    EXPECT_EQ(table.out.compare(0, 5, "TIME\t"), 0) << table.out;
    EXPECT_NE(table.out.find("\t" + Bin("victim") + "\tread\t" + Win(folder + "/보고서.txt") + "\t0 " + Win(folder) +
                             "\\*;\tyes\n"),
              std::string::npos)
        << table.out;
    Outcome later = Capture({vxctl, "denials", "--json", "--since", "2999-01-01T00:00:00Z"});
    EXPECT_EQ(later.status, 0);
    EXPECT_EQ(later.out, "");
    Outcome recent = Capture({vxctl, "denials", "--json", "--since", "10m"});
    EXPECT_EQ(recent.out, json.out);
    EXPECT_EQ(Capture({vxctl, "denials", "--since", "yesterday"}).status, 2);

    // --follow: a denial after it started is printed; an interrupt ends it with 0.
    const std::string out = home->dir + "/follow.out";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(o, 1);
        ::dup2(o, 2);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        Exec({vxctl, "denials", "--follow", "--json"});
    }
    for (int i = 0; i < 1000 && Read(out).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Op("victim", "read", folder + "/나중.txt"), 0);
    for (int i = 0; i < 1000 && Read(out).find("나중.txt") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(pid, SIGINT);
    int st = 0;
    if (!WaitChild(pid, st, 10)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &st, 0);
        ADD_FAILURE() << "vxctl denials --follow did not end on an interrupt";
    }
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    const std::string followed = Read(out);
    EXPECT_NE(followed.find("보고서.txt"), std::string::npos) << followed;
    EXPECT_NE(followed.find("나중.txt"), std::string::npos) << followed;
    EXPECT_EQ(std::count(followed.begin(), followed.end(), '\n'), 2) << followed;
}

// The entry is recorded as it was when it denied: after a change, the next record says the new
// process list, the earlier one keeps the old.
TEST_F(DenialRecordTest, EntryAsItWasAtTheDenial)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--no-load", "--permissive"}));
    ASSERT_EQ(Add(FP_WRITE, Win(data + "/prot") + "\\*;", "victim"), 0);
    EXPECT_EQ(Op("victim", "write", data + "/prot/f"), 0);
    ASSERT_EQ(Records(1).size(), 1u);
    ASSERT_TRUE(protector->ModifyEntry(0, FP_WRITE, Win(data + "/prot") + "\\*;", "", "victim;other", "", nullptr, 0,
                                       nullptr, 0, nullptr, 1));
    EXPECT_EQ(Op("other", "write", data + "/prot/sub/g"), 0);
    const std::vector<Denial> records = Records(2);
    ASSERT_EQ(records.size(), 2u) << Read(RecordFile());
    EXPECT_EQ(records[0].entryProcess, "victim");
    EXPECT_EQ(records[0].exe, Bin("victim"));
    EXPECT_EQ(records[1].entryProcess, "victim;other");
    EXPECT_EQ(records[1].exe, Bin("other"));
    EXPECT_EQ(records[1].operation, "write");
    EXPECT_EQ(records[1].posixPath, data + "/prot/sub/g");
    EXPECT_LE(records[0].timeUs, records[1].timeUs);
}

// A real denial is recorded as not permissive, and the count the rate limit leaves out is a
// record of its own.
TEST_F(DenialRecordTest, DeniedAndDroppedAreRecorded)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;"), 0);
    Runner victim(Bin("victim"));
    for (int i = 0; i < 400; ++i)
        ASSERT_TRUE(Denied(victim.Do("read", data + "/prot/f")));
    std::vector<Denial> records;
    uint64_t dropped = 0;
    size_t denials = 0;
    // The count of what was left out is written with the next denial that passes, or by the
    // engine's next round (every 2 s): wait for all 400 to be accounted for.
    for (int i = 0; i < 1000 && denials + dropped < 400; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        records = Records(0);
        denials = 0;
        dropped = 0;
        for (const Denial &d : records) {
            if (d.dropped)
                dropped += d.dropped;
            else
                ++denials;
        }
    }
    ASSERT_GT(dropped, 0u) << "the rate limit left nothing out";
    EXPECT_EQ(denials + dropped, 400u) << "every denial is either recorded or counted";
    for (const Denial &d : records) {
        if (d.dropped)
            continue;
        EXPECT_FALSE(d.permissive);
        EXPECT_EQ(d.pid, victim.pid());
        EXPECT_EQ(d.entry, 0);
    }
}

// Root and the group vellamorix read the record, nobody else: a file planted or opened up before
// the engine starts gets those rights back, and a link in its place is not written through.
TEST_F(DenialRecordTest, OnlyRootAndTheGroupReadTheRecord)
{
    fs::create_directories(home->deviceDir);
    ::chmod(home->deviceDir.c_str(), 0755);
    const std::string target = home->dir + "/elsewhere";
    Write(target, "");
    Write(RecordFile() + ".tmp", "");
    ASSERT_EQ(::chmod((RecordFile() + ".tmp").c_str(), 0666), 0);
    ASSERT_EQ(::rename((RecordFile() + ".tmp").c_str(), RecordFile().c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(Start({"--no-load", "--permissive"}));
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;"), 0);
    EXPECT_EQ(Op("victim", "read", data + "/prot/f"), 0);
    ASSERT_EQ(Records(1).size(), 1u);

    struct stat st{};
    ASSERT_EQ(::lstat(RecordFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    struct group *g = ::getgrnam("vellamorix");
    if (g) {
        EXPECT_EQ(st.st_gid, g->gr_gid);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
    } else {
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "without the group, root's alone";
    }
    // Somebody else cannot read it (this thread's file-system user set to nobody).
    const int previous = ::setfsuid(65534);
    ::setfsgid(65534);
    const int fd = ::open(RecordFile().c_str(), O_RDONLY);
    const int err = errno;
    ::setfsuid(previous);
    ::setfsgid(0);
    if (fd >= 0)
        ::close(fd);
    EXPECT_LT(fd, 0);
    EXPECT_EQ(err, EACCES);
    daemon->Stop();
    daemon.reset();
    protector.reset();

    // A link in the record's place is not followed: the engine records nothing through it.
    ASSERT_EQ(::unlink(RecordFile().c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), RecordFile().c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(Start({"--no-load", "--permissive"}));
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;"), 0);
    EXPECT_EQ(Op("victim", "read", data + "/prot/f"), 0);
    for (int i = 0; i < 100 && DenialLog().find("would deny") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(DenialLog().find("would deny"), std::string::npos);
    EXPECT_EQ(Read(target), "");
}

// The record is started again past its size like the log, keeping one older file; the reader
// reads across the change without losing or repeating a record.
TEST_F(DenialRecordTest, RotationKeepsOneOlderFileAndTheReaderFollows)
{
    fs::create_directories(home->deviceDir);
    ::chmod(home->deviceDir.c_str(), 0755);
    // A record near its limit, as if the engine had written it.
    {
        std::ofstream out(RecordFile());
        const std::string line = R"({"time":"2026-01-01T00:00:00.000000Z","pid":1,"exe":"/old","operation":"read","mask":64,)"
                                 R"("path":"C:\\old","posixPath":"/old","entry":0,"permissive":true})";
        for (long n = 0; n < (8l << 20) / long(line.size() + 1) + 1; ++n)
            out << line << '\n';
    }
    RecordReader reader(RecordFile());
    size_t old = 0;
    for (;;) {
        RecordReader::Batch b = reader.Poll();
        old += b.records.size();
        EXPECT_TRUE(b.notes.empty()) << b.notes.front();
        if (!b.more)
            break;
    }
    ASSERT_GT(old, 1000u);
    ASSERT_NO_FATAL_FAILURE(Start({"--no-load", "--permissive"}));
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;"), 0);
    EXPECT_EQ(Op("victim", "read", data + "/prot/f"), 0);
    EXPECT_EQ(Op("victim", "read", data + "/prot/sub/g"), 0);
    std::vector<Denial> fresh;
    for (int i = 0; i < 1000 && fresh.size() < 2; ++i) {
        RecordReader::Batch b = reader.Poll();
        EXPECT_TRUE(b.notes.empty()) << b.notes.front();
        fresh.insert(fresh.end(), b.records.begin(), b.records.end());
        if (fresh.size() < 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(fresh.size(), 2u);
    EXPECT_EQ(fresh[0].posixPath, data + "/prot/f");
    EXPECT_EQ(fresh[1].posixPath, data + "/prot/sub/g");
    EXPECT_TRUE(fs::exists(RecordFile() + ".1"));
    EXPECT_LT(fs::file_size(RecordFile()), 4096u);
}

// A systemd journal of the test's own where none runs: journald started in this test's mount
// namespace over empty folders (its socket, its files), so the machine's journal and /run stay
// untouched. Stopped and unmounted at the end.
class PrivateJournal {
public:
    // Empty when it runs, else why not.
    std::string Start()
    {
        const char *journald = "/lib/systemd/systemd-journald";
        if (::access(journald, X_OK) != 0)
            return "no systemd journal runs here and systemd-journald is not installed";
        for (const char *dir : {"/run/systemd", "/run/log", "/var/log/journal"}) {
            if (::access(dir, F_OK) != 0)
                continue;
            if (::mount("tmpfs", dir, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
                return std::string("cannot cover ") + dir + ": " + std::strerror(errno);
            mounted_.push_back(dir);
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            Exec({journald});
        }
        for (int i = 0; i < 500 && ::access(kSocket, F_OK) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return ::access(kSocket, F_OK) == 0 ? "" : "systemd-journald did not open its socket in 5 s";
    }
    ~PrivateJournal()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int st = 0;
            if (!WaitChild(pid_, st, 10)) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &st, 0);
            }
        }
        for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it)
            ::umount2(it->c_str(), MNT_DETACH);
    }
    static constexpr char kSocket[] = "/run/systemd/journal/socket";

private:
    pid_t pid_ = -1;
    std::vector<std::string> mounted_;
};

// The journal gets each record with QXD_* fields: the machine's journal where one runs, else a
// journal of the test's own.
TEST_F(DenialRecordTest, JournalHasTheFields)
{
    PrivateJournal own;
    if (::access(PrivateJournal::kSocket, F_OK) != 0) {
        const std::string why = own.Start();
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    const std::string folder = data + "/저널";
    fs::create_directories(folder);
    Write(folder + "/f", "x\n");
    ASSERT_NO_FATAL_FAILURE(Start({"--no-load", "--permissive"}));
    ASSERT_EQ(Add(FP_WRITE | FP_READ, vx::codepage::Utf8ToAnsi(Win(folder)) + "\\*;"), 0);
    EXPECT_EQ(Op("victim", "write", folder + "/f"), 0);
    EXPECT_EQ(Op("victim", "read", folder + "/f"), 0);
    Outcome out;
    for (int i = 0; i < 100; ++i) {
        out = Capture({"/usr/bin/journalctl", "--no-pager", "-o", "export", "QXD_OPERATION=write",
                       "QXD_POSIX_PATH=" + folder + "/f"});
        if (out.out.find("QXD_ENTRY=0") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(out.status, 0) << out.out;
    // Only the write: the query by operation leaves the read out.
    EXPECT_EQ(out.out.find("QXD_OPERATION=read"), std::string::npos) << out.out;
    EXPECT_NE(out.out.find("QXD_EXE=" + Bin("victim") + "\n"), std::string::npos) << out.out;
    EXPECT_NE(out.out.find("QXD_ENTRY=0\n"), std::string::npos) << out.out;
    EXPECT_NE(out.out.find("QXD_PATH=" + Win(folder + "/f") + "\n"), std::string::npos) << out.out;
    EXPECT_NE(out.out.find("QXD_ENTRY_FILEFOLDER=" + Win(folder) + "\\*;\n"), std::string::npos) << out.out;
    EXPECT_NE(out.out.find("QXD_ENTRY_PROCESS=victim\n"), std::string::npos) << out.out;
    EXPECT_NE(out.out.find("QXD_PERMISSIVE=1\n"), std::string::npos) << out.out;
    EXPECT_NE(out.out.find("SYSLOG_IDENTIFIER=qxd-engine\n"), std::string::npos) << out.out;
    // And the read by its own name.
    out = Capture({"/usr/bin/journalctl", "--no-pager", "-o", "export", "QXD_OPERATION=read", "QXD_POSIX_PATH=" + folder + "/f"});
    EXPECT_NE(out.out.find("QXD_MASK=64\n"), std::string::npos) << out.out;
    EXPECT_NE(DenialLog().find("would deny"), std::string::npos) << "the log keeps its lines";
}

// As the service, the engine's standard error is the journal's stream: a denial then reaches the
// journal once, as the entry with fields, not a second time as a plain line.
TEST_F(DenialRecordTest, ServiceSendsEachDenialOnce)
{
    PrivateJournal own;
    if (::access(PrivateJournal::kSocket, F_OK) != 0) {
        const std::string why = own.Start();
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    // The daemon's standard error goes to this file; the journal's stream is named the same way.
    const std::string err = home->dir + "/daemon1.log";
    Write(err, "");
    struct stat st{};
    ASSERT_EQ(::stat(err.c_str(), &st), 0);
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    Start({"--no-load", "--permissive"});
    unsetenv("JOURNAL_STREAM");
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(Add(FP_READ, Win(data + "/prot") + "\\*;"), 0);
    EXPECT_EQ(Op("victim", "read", data + "/prot/f"), 0);
    Outcome out;
    for (int i = 0; i < 100 && out.out.find("QXD_ENTRY=0") == std::string::npos; ++i) {
        if (i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        out = Capture({"/usr/bin/journalctl", "--no-pager", "-o", "export", "QXD_POSIX_PATH=" + data + "/prot/f"});
    }
    EXPECT_NE(out.out.find("QXD_ENTRY=0"), std::string::npos) << out.out;
    EXPECT_EQ(daemon->Log().find("would deny"), std::string::npos) << daemon->Log();
    EXPECT_NE(DenialLog().find("would deny"), std::string::npos) << "the log file keeps every line";
}

} // namespace
} // namespace qxdtest
