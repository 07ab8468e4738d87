// The decision itself, asked in-process: what an entry covers, whom it names, and where the
// FUSE back end must serve it; what its hard-link guard names back.
#include "engine/fprec.h"
#include "platform/codepage/codepage.h"
#include "qxd/fusebackend.h"
#include "qxd/fuseview.h"
#include "qxd/linkguard.h"
#include "qxd/policy.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <fstream>
#include <unistd.h>
#include <map>
#include <set>

using namespace vx::qxd;

namespace {

Entry MakeEntry(const std::string &folders, const std::string &process, uint32_t mask, const std::string &exclFolders = "",
                const std::string &exclProcess = "")
{
    Entry e;
    e.fileFolder = folders;
    e.process = process;
    e.mask = mask;
    e.excludeFileFolder = exclFolders;
    e.excludeProcess = exclProcess;
    return e;
}

// A process whose executable's path names the file it runs.
Subject Proc(const std::string &exe, int pid = 100)
{
    Subject s{pid, exe};
    s.pathTrue = true;
    return s;
}

class PolicyTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("VELLAMORIX_DRIVES", "C:=/,D:=/srv/d", 1); }
    void TearDown() override { unsetenv("VELLAMORIX_DRIVES"); }
};

TEST_F(PolicyTest, PathItemsCoverThemselvesOrWhatLiesBelow)
{
    std::vector<std::string> unusable;
    const auto items = ParsePathList("C:\\data\\*;;C:\\data;D:\\x\\y;C:\\a\\*.txt;Q:\\nodrive;relative;", &unusable);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0], (PathItem{"/data", true}));
    EXPECT_EQ(items[1], (PathItem{"/data", false}));
    EXPECT_EQ(items[2], (PathItem{"/srv/d/x/y", false}));
    EXPECT_EQ(unusable, (std::vector<std::string>{"C:\\a\\*.txt", "Q:\\nodrive", "relative"}));
    EXPECT_TRUE(items[0].Covers("/data/a"));
    EXPECT_TRUE(items[0].Covers("/data/a/b/c"));
    EXPECT_FALSE(items[0].Covers("/data"));
    EXPECT_FALSE(items[0].Covers("/database"));
    EXPECT_TRUE(items[1].Covers("/data"));
    EXPECT_FALSE(items[1].Covers("/data/a"));
    // "C:\*" is everything below the root; case matters after the drive map.
    EXPECT_TRUE(ParsePathList("C:\\*;")[0].Covers("/home"));
    EXPECT_FALSE(items[1].Covers("/Data"));
}

// Decisions look only at the rules whose items lie at the path or above it, and still give the
// first entry in order that denies, among thousands.
TEST_F(PolicyTest, DecisionsAmongManyEntriesKeepTheEntriesOrder)
{
    std::vector<Entry> entries;
    for (int i = 0; i < 2000; ++i)
        entries.push_back(MakeEntry("C:\\many\\" + std::to_string(i) + "\\*;", "*", FP_READ));
    entries.push_back(MakeEntry("C:\\a\\b\\c;", "*", FP_READ | FP_WRITE)); // 2000
    entries.push_back(MakeEntry("C:\\a\\*;", "*", FP_WRITE));              // 2001
    entries.push_back(MakeEntry("C:\\a\\b;", "*", FP_LIST));               // 2002
    entries.push_back(MakeEntry("C:\\*;", "x", FP_DELETE));                // 2003
    Policy p(entries, true, Guard{});
    EXPECT_EQ(p.Decide(Proc("/bin/y"), "/many/1999/f", op::kRead).entry, 1999);
    EXPECT_FALSE(p.Decide(Proc("/bin/y"), "/many/1999", op::kRead).deny) << "the folder itself is not below itself";
    EXPECT_FALSE(p.Decide(Proc("/bin/y"), "/many/20000/f", op::kRead).deny);
    EXPECT_EQ(p.Decide(Proc("/bin/y"), "/a/b/c", op::kWrite).entry, 2000) << "the first entry in order";
    EXPECT_EQ(p.Decide(Proc("/bin/y"), "/a/b/d", op::kWrite).entry, 2001);
    EXPECT_EQ(p.Decide(Proc("/bin/x"), "/a/b/d", op::kDelete).entry, 2003);
    EXPECT_EQ(p.Deniable("/a/b/c"), uint32_t(op::kRead | op::kWrite | op::kDelete));
    EXPECT_TRUE(p.MayDeny("/a/b", op::kList));
    EXPECT_FALSE(p.MayDeny("/a", op::kList));
    // A listing of /a hides "b" (named itself there); one of / hides nothing.
    EXPECT_TRUE(p.ForChildren(Proc("/bin/y"), "/a", op::kList).Decide("b").deny);
    EXPECT_FALSE(p.ForChildren(Proc("/bin/y"), "/a", op::kList).Decide("c").deny);
    EXPECT_FALSE(p.ForChildren(Proc("/bin/y"), "/", op::kList).Decide("a").deny);
    EXPECT_EQ(p.ForChildren(Proc("/bin/y"), "/many/7", op::kRead).Decide("f").entry, 7);
}

TEST_F(PolicyTest, ProcessPatternsMatchTheExecutable)
{
    const auto patterns = ParseProcessList("note*;b?sh;C:\\opt\\tools\\*;");
    ASSERT_EQ(patterns.size(), 3u);
    EXPECT_TRUE(patterns[0].Matches(Proc("/usr/bin/NOTEPAD")));
    EXPECT_TRUE(patterns[0].Matches(Proc("/usr/bin/notes")));
    EXPECT_FALSE(patterns[0].Matches(Proc("/note/bin/vi"))); // the file name, not the folders
    EXPECT_TRUE(patterns[1].Matches(Proc("/bin/bash")));
    EXPECT_FALSE(patterns[1].Matches(Proc("/bin/bassh")));
    EXPECT_TRUE(patterns[2].wholePath);
    EXPECT_TRUE(patterns[2].Matches(Proc("/opt/tools/x/run")));
    EXPECT_FALSE(patterns[2].Matches(Proc("/opt/other/run")));
    // A whole path matches only when it names the file the process runs: a path made up in
    // another mount namespace does not.
    Subject forged = Proc("/opt/tools/x/run");
    forged.pathTrue = false;
    EXPECT_FALSE(patterns[2].Matches(forged));
    EXPECT_TRUE(patterns[0].Matches(Subject{100, "/usr/bin/notepad"})); // a file name needs no such proof
    EXPECT_TRUE(WildcardMatch("*", ""));
    EXPECT_TRUE(WildcardMatch("a*b*c", "aXXbYYc"));
    EXPECT_FALSE(WildcardMatch("a*b*c", "aXXbYY"));
    EXPECT_TRUE(WildcardMatch("?x", "*x"));
    EXPECT_FALSE(WildcardMatch("x", "*"));
    // Korean names travel in CP949 and are compared as the UTF-8 the file system holds.
    const std::string korean = vx::codepage::Utf8ToAnsi("메모장*");
    EXPECT_TRUE(ParseProcessList(korean)[0].Matches(Proc("/usr/bin/메모장.bin")));
}

TEST_F(PolicyTest, DecisionsFollowEntriesExclusionsAndState)
{
    std::vector<Entry> entries = {
        MakeEntry("C:\\data\\*;", "editor;viewer", FP_WRITE | FP_DELETE, "C:\\data\\public\\*;", "viewer"),
        MakeEntry("C:\\data\\*;", "*", FP_LIST),
    };
    Policy on(entries, true, Guard{});
    on.selfPid = 42;
    const Decision d = on.Decide(Proc("/usr/bin/editor"), "/data/report", op::kOpen | op::kWrite);
    EXPECT_TRUE(d.deny);
    EXPECT_EQ(d.entry, 0);
    EXPECT_EQ(d.denied, op::kWrite);
    EXPECT_FALSE(on.Decide(Proc("/usr/bin/editor"), "/data/report", op::kOpen | op::kRead).deny);
    EXPECT_FALSE(on.Decide(Proc("/usr/bin/viewer"), "/data/report", op::kWrite).deny); // excluded process
    EXPECT_FALSE(on.Decide(Proc("/usr/bin/editor"), "/data/public/x", op::kWrite).deny); // excluded path
    EXPECT_FALSE(on.Decide(Proc("/usr/bin/editor"), "/other", op::kWrite).deny);
    const Decision list = on.Decide(Proc("/usr/bin/anything"), "/data/public/x", op::kList);
    EXPECT_TRUE(list.deny);
    EXPECT_EQ(list.entry, 1);
    // The engine itself, and an inactive policy, are never denied.
    EXPECT_FALSE(on.Decide(Proc("/usr/bin/editor", 42), "/data/report", op::kWrite).deny);
    Policy off(entries, false, Guard{});
    EXPECT_FALSE(off.Decide(Proc("/usr/bin/editor"), "/data/report", op::kWrite).deny);
    EXPECT_FALSE(off.MayDeny("/data/report", op::kWrite));
    // A process whose executable cannot be read matches "*" only.
    EXPECT_TRUE(on.Decide(Proc(""), "/data/x", op::kList).deny);
    EXPECT_FALSE(on.Decide(Proc(""), "/data/x", op::kWrite).deny);
    // The cheap test before the subject is looked up agrees.
    EXPECT_TRUE(on.MayDeny("/data/report", op::kWrite));
    EXPECT_FALSE(on.MayDeny("/data/report", op::kRead));
    EXPECT_EQ(on.Deniable("/data/report"), FP_WRITE | FP_DELETE | FP_LIST);
    EXPECT_EQ(on.Deniable("/data/public/x"), uint32_t(FP_LIST));
}

// An object somewhere below a folder whose path cannot be told: denied to whom a rule on anything
// there could deny the operation (never let through because it cannot be named), exclusions
// notwithstanding; allowed to everybody else, and where nothing there is covered.
TEST_F(PolicyTest, WhatCannotBeNamedIsDecidedForTheWholeFolder)
{
    std::vector<Entry> entries = {
        MakeEntry("C:\\data\\deep\\*;", "editor", FP_READ, "C:\\data\\deep\\public\\*;"),
        MakeEntry("C:\\data\\inner\\file;", "viewer", FP_WRITE),
    };
    Policy on(entries, true, Guard{});
    on.selfPid = 42;
    const Decision d = on.DecideBelow(Proc("/usr/bin/editor"), "/data/deep", op::kOpen | op::kRead);
    EXPECT_TRUE(d.deny);
    EXPECT_EQ(d.entry, 0);
    EXPECT_EQ(d.denied, op::kRead);
    EXPECT_TRUE(on.DecideBelow(Proc("/usr/bin/editor"), "/data/deep/public/x", op::kRead).deny);
    EXPECT_TRUE(on.DecideBelow(Proc("/usr/bin/editor"), "/data", op::kRead).deny); // a rule below it
    EXPECT_TRUE(on.DecideBelow(Proc("/usr/bin/viewer"), "/data", op::kWrite).deny);
    EXPECT_FALSE(on.DecideBelow(Proc("/usr/bin/viewer"), "/data/deep", op::kWrite).deny);
    EXPECT_FALSE(on.DecideBelow(Proc("/usr/bin/editor"), "/data/deep", op::kWrite).deny);
    EXPECT_FALSE(on.DecideBelow(Proc("/usr/bin/bystander"), "/data/deep", op::kRead).deny);
    EXPECT_FALSE(on.DecideBelow(Proc("/usr/bin/editor"), "/elsewhere", op::kRead).deny);
    EXPECT_FALSE(on.DecideBelow(Proc("/usr/bin/editor", 42), "/data/deep", op::kRead).deny);
    Policy off(entries, false, Guard{});
    EXPECT_FALSE(off.DecideBelow(Proc("/usr/bin/editor"), "/data/deep", op::kRead).deny);
}

TEST_F(PolicyTest, GuardedObjectsAreNeverEnforced)
{
    Guard g;
    g.trees = {"/usr", "/run/vellamorix"};
    g.objects = {"/opt/engine/qxd-engine"};
    Policy p({MakeEntry("C:\\*;", "*", 0x7FFFFE)}, true, g);
    for (const char *path : {"/", "/usr", "/usr/bin/ls", "/run/vellamorix/QXDAnsi", "/opt/engine/qxd-engine"}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(p.Decide(Proc("/bin/x"), path, op::kOpen).deny);
        EXPECT_EQ(p.Deniable(path), 0u);
    }
    EXPECT_TRUE(p.Decide(Proc("/bin/x"), "/home/a", op::kOpen).deny);
    EXPECT_TRUE(g.Above("/run"));
    EXPECT_TRUE(g.Above("/opt/engine"));
    EXPECT_FALSE(g.Above("/home"));
    // The engine's own guard holds the system folders and its executable.
    const Guard own = Guard::ForEngine("/opt/x/qxd-engine", {"/tmp/devdir"});
    for (const char *path : {"/etc/passwd", "/usr/lib/x", "/bin", "/dev/null", "/proc/1", "/sys/kernel", "/boot",
                             "/run/x", "/tmp/devdir/QXDAnsi", "/opt/x/qxd-engine"})
        EXPECT_TRUE(own.Holds(path)) << path;
    EXPECT_FALSE(own.Holds("/home/user"));
    EXPECT_FALSE(own.Holds("/tmp/other"));
}

// "C:\*" with every bit for every process: the engine never enforces it on the system's folders
// or on its own files, and does elsewhere.
TEST_F(PolicyTest, EverythingForEveryoneLeavesTheSystemAndTheEngineAlone)
{
    const std::string self = ExecutableOf(int(::getpid()));
    const Guard guard = Guard::ForEngine(self, {"/tmp/engine-dev"});
    Policy p({MakeEntry("C:\\*;", "*", 0xFFFFFFFF)}, true, guard);
    std::string library;
    {
        std::ifstream maps("/proc/self/maps");
        for (std::string line; std::getline(maps, line) && library.empty();)
            if (line.find("libc.so") != std::string::npos)
                library = line.substr(line.find('/'));
    }
    ASSERT_FALSE(library.empty());
    for (const std::string &path : {std::string("/"), std::string("/etc/hostname"), std::string("/usr/bin/true"),
                                    std::string("/bin/sh"), std::string("/sbin/init"), std::string("/lib/x86_64-linux-gnu"),
                                    std::string("/lib64/ld-linux-x86-64.so.2"), std::string("/boot/vmlinuz"),
                                    std::string("/dev/null"), std::string("/proc/self/status"), std::string("/sys/kernel"),
                                    std::string("/run/systemd"), self, library, std::string("/tmp/engine-dev/QXDAnsi"),
                                    std::string("/tmp/engine-dev/qxd-engine.log")}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(p.Decide(Proc("/home/u/any"), path, 0xFFFFFFFF).deny);
        EXPECT_EQ(p.Deniable(path), 0u);
    }
    const Decision d = p.Decide(Proc("/home/u/any"), "/tmp/test-folder/file", op::kOpen | op::kWrite);
    EXPECT_TRUE(d.deny);
    EXPECT_EQ(d.denied, op::kOpen | op::kWrite);
    EXPECT_TRUE(p.Decide(Proc("/home/u/any"), "/home/u/notes", op::kRead).deny);
}

// The project's own programs pass the registry store's guard and nothing else: elsewhere the
// entries judge them like any process.
TEST_F(PolicyTest, TheProjectsProgramsAreExemptFromTheStoreGuardAlone)
{
    Policy p({MakeEntry("C:\\home\\u\\*;", "*", FP_PRESET_NOACCESS)}, true, Guard());
    Policy::Rule store;
    store.index = Policy::kStoreRule;
    store.items = {{"/var/lib/vx", false}, {"/var/lib/vx", true}};
    store.process = ParseProcessList("*");
    store.mask = op::kChange | op::kOpen | op::kRead;
    p.AddRule(std::move(store));
    Subject console = Proc("/opt/vx/bin/Vellamorix");
    console.trusted = true;
    const Subject other = Proc("/usr/bin/python3");
    EXPECT_FALSE(p.Decide(console, "/var/lib/vx/registry.db", op::kOpen | op::kRead | op::kWrite).deny);
    EXPECT_TRUE(p.Decide(other, "/var/lib/vx/registry.db", op::kOpen).deny);
    EXPECT_TRUE(p.Decide(other, "/var/lib/vx/registry.db", op::kRead).deny);
    const Decision d = p.Decide(console, "/home/u/notes", op::kOpen);
    EXPECT_TRUE(d.deny);
    EXPECT_EQ(d.entry, 0);
    // The same in listings: the store's folder is not hidden by its guard (it denies no listing),
    // and an entry's hiding applies to the project's programs too.
    Policy hide({MakeEntry("C:\\home\\u\\secret;", "*", FP_LIST)}, true, Guard());
    EXPECT_TRUE(hide.ForChildren(console, "/home/u", op::kList).Decide("secret").deny);
    EXPECT_FALSE(p.ForChildren(other, "/var/lib", op::kList).Decide("vx").deny);
}

// A listing decides each name of one folder at once; it must agree with the decision on each
// name's path.
TEST_F(PolicyTest, ListingDecisionsAgreeWithPathDecisions)
{
    Guard g;
    g.trees = {"/data/system"};
    g.objects = {"/data/pub/engine"};
    std::vector<Entry> entries = {
        MakeEntry("C:\\data\\pub\\a;C:\\data\\pub\\b;", "lister", FP_LIST),
        MakeEntry("C:\\data\\*;", "lister;other", FP_PRESET_FULLHIDDEN, "C:\\data\\pub\\keep;C:\\data\\open\\*;"),
        MakeEntry("C:\\data\\pub\\*;", "nobody", FP_LIST),
        MakeEntry("C:\\data\\pub\\c\\*;", "lister", FP_LIST),
    };
    Policy p(entries, true, g);
    const std::vector<std::string> names = {"a", "b", "c", "keep", "engine", "system", "x", "open"};
    for (const std::string &folder : {std::string("/data"), std::string("/data/pub"), std::string("/data/open"),
                                      std::string("/data/pub/c"), std::string("/other")})
        for (const Subject &who : {Proc("/bin/lister"), Proc("/bin/other"), Proc("/bin/bystander")}) {
            const Policy::Children children = p.ForChildren(who, folder, op::kList);
            for (const std::string &name : names) {
                SCOPED_TRACE(folder + "/" + name + " for " + who.exe);
                const Decision byPath = p.Decide(who, folder + "/" + name, op::kList);
                const Decision byName = children.Decide(name);
                EXPECT_EQ(byName.deny, byPath.deny);
                EXPECT_EQ(byName.entry, byPath.entry);
            }
        }
    EXPECT_TRUE(p.ForChildren(Proc("/bin/lister"), "/data/pub", op::kList).Decide("a").deny);
    EXPECT_FALSE(p.ForChildren(Proc("/bin/lister"), "/data/pub", op::kList).Decide("keep").deny);
    EXPECT_FALSE(p.ForChildren(Proc("/bin/lister"), "/data/pub", op::kList).Decide("engine").deny);
}

// A file system the planner looks at, made of paths.
class FakeTree : public TreeView {
public:
    explicit FakeTree(std::set<std::string> paths) : paths_(std::move(paths)) {}
    bool Exists(const std::string &p) override { return p == "/" || paths_.count(p) || IsFolder(p); }
    bool IsFolder(const std::string &p) override
    {
        return p == "/" || std::any_of(paths_.begin(), paths_.end(), [&](const std::string &o) { return o.rfind(p + "/", 0) == 0; });
    }
    std::vector<std::string> Children(const std::string &p) override
    {
        std::set<std::string> out;
        const std::string prefix = p == "/" ? "/" : p + "/";
        for (const std::string &o : paths_)
            if (o.rfind(prefix, 0) == 0 && o.size() > prefix.size())
                out.insert(prefix + o.substr(prefix.size(), o.find('/', prefix.size()) - prefix.size()));
        return {out.begin(), out.end()};
    }

private:
    std::set<std::string> paths_;
};

TEST_F(PolicyTest, PlanMountsTheOutermostExistingObjects)
{
    FakeTree tree({"/data/a/f", "/data/b/g", "/srv/d/x/file", "/lone/file"});
    Policy p({MakeEntry("C:\\data\\*;C:\\data;", "*", FP_PRESET_NOACCESS), MakeEntry("C:\\data\\a\\*;", "x", FP_READ),
              MakeEntry("D:\\x\\file;", "*", FP_PRESET_INVISIBLE), MakeEntry("C:\\missing\\*;", "*", FP_READ),
              MakeEntry("C:\\lone\\file\\*;C:\\nothing;", "*", FP_READ), MakeEntry("C:\\data\\b;", "*", 0)},
             true, Guard{});
    const MountPlan plan = PlanMounts(p, tree);
    // An object named itself is served from its folder, unless that folder is "/".
    EXPECT_EQ(plan.roots, (std::vector<std::string>{"/data", "/srv/d/x"}));
    // What cannot be enforced is named per entry.
    // A view's own root cannot be renamed or removed, and an object served in place stays listed.
    ASSERT_EQ(plan.notes.count(0), 1u);
    EXPECT_EQ(plan.notes.at(0)[0], "/data: nobody can rename or remove it while the entry is in force (it is served in place)");
    EXPECT_EQ(plan.notes.count(1), 0u) << "served inside another entry's view";
    ASSERT_EQ(plan.notes.count(2), 1u);
    EXPECT_EQ(plan.notes.at(2)[0], "/srv/d/x: served to decide on the names in it; it cannot itself be renamed or removed while the entry is in force");
    ASSERT_EQ(plan.notes.count(3), 1u);
    EXPECT_NE(plan.notes.at(3)[0].find("does not exist; enforced once it does"), std::string::npos);
    ASSERT_EQ(plan.notes.count(4), 1u);
    EXPECT_NE(plan.notes.at(4)[0].find("/lone/file: is no folder"), std::string::npos);
    EXPECT_EQ(plan.notes.count(5), 0u) << "an entry that denies nothing needs no view";
}

TEST_F(PolicyTest, PlanServesAroundGuardedObjects)
{
    FakeTree tree({"/usr/bin/ls", "/etc/passwd", "/home/u/f", "/srv/s", "/var/lib/eng/QXDAnsi", "/var/log/x", "/top"});
    Guard g;
    g.trees = {"/usr", "/etc", "/var/lib/eng"};
    Policy p({MakeEntry("C:\\*;", "*", FP_PRESET_NOACCESS), MakeEntry("C:\\usr\\*;C:\\var;", "*", FP_READ)}, true, g);
    const MountPlan plan = PlanMounts(p, tree);
    EXPECT_EQ(plan.roots, (std::vector<std::string>{"/home", "/srv", "/top", "/var/log"}));
    ASSERT_EQ(plan.notes.count(0), 1u);
    const std::string note = plan.notes.at(0)[0];
    EXPECT_NE(note.find("left out: /etc, /usr, /var/lib/eng"), std::string::npos) << note;
    ASSERT_EQ(plan.notes.count(1), 1u);
    EXPECT_NE(plan.notes.at(1)[0].find("/usr: a system or engine object"), std::string::npos);
    EXPECT_NE(plan.notes.at(1)[1].find("/var: holds system or engine objects"), std::string::npos);
}

TEST_F(PolicyTest, PlanServesAnObjectInPlaceWhereItsFolderIsGuarded)
{
    FakeTree tree({"/etc/passwd", "/home/u/doc", "/home/u/other/x", "/var/lib/eng/QXDAnsi", "/var/lib/mine/f"});
    Guard g;
    g.trees = {"/etc", "/var/lib/eng"};
    Policy p({MakeEntry("C:\\etc\\passwd;", "*", FP_PRESET_INVISIBLE), MakeEntry("C:\\var\\lib\\mine;", "*", FP_PRESET_INVISIBLE),
              MakeEntry("C:\\home\\u\\doc;C:\\home\\u\\other\\*;", "x", FP_PRESET_READONLY)},
             true, g);
    const MountPlan plan = PlanMounts(p, tree);
    // /var/lib holds the engine's folder: /var/lib/mine is served in its own place; /home/u is
    // served for the name "doc", and covers "other" below it too.
    EXPECT_EQ(plan.roots, (std::vector<std::string>{"/home/u", "/var/lib/mine"}));
    ASSERT_EQ(plan.notes.count(1), 1u);
    EXPECT_NE(plan.notes.at(1)[0].find("/var/lib/mine: nobody can rename or remove it"), std::string::npos) << plan.notes.at(1)[0];
    EXPECT_NE(plan.notes.at(1)[0].find("stays listed in its folder"), std::string::npos);
    ASSERT_EQ(plan.notes.count(2), 1u);
    EXPECT_NE(plan.notes.at(2)[0].find("/home/u: served to decide on the names in it"), std::string::npos);
}

} // namespace

// A hard-linked covered file whose inode cannot be marked is named back, so the engine can say
// which entry it does not fully enforce; one that can is watched until it is no longer asked for.
TEST(LinkGuardTest, FilesThatCannotBeMarkedAreNamed)
{
    class NoPolicy : public Gatekeeper {
    public:
        std::shared_ptr<const Policy> Current() const override { return nullptr; }
        void Denied(const Subject &, const std::string &, const Decision &) override {}
        bool Permissive() const override { return false; }
    };
    std::string why;
    auto guard = LinkGuard::Create(std::make_shared<NoPolicy>(), why);
    if (!guard)
        GTEST_SKIP() << "no fanotify permission events here: " << why;
    char templ[] = "/tmp/vxlg-XXXXXX";
    const std::string dir = ::mkdtemp(templ);
    const std::string file = dir + "/f";
    std::ofstream(file) << "x";
    const int fd = ::open(file.c_str(), O_PATH | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct stat s{};
    ASSERT_EQ(::fstat(fd, &s), 0);
    const LinkGuard::Failures failed =
        guard->Watch({{s.st_dev, s.st_ino, fd, file}, {s.st_dev, s.st_ino + 1, -1, dir + "/gone"}});
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].first, dir + "/gone");
    EXPECT_FALSE(failed[0].second.empty());
    EXPECT_EQ(guard->Watched(), 1u);
    EXPECT_TRUE(guard->Watch({}).empty());
    EXPECT_EQ(guard->Watched(), 0u);
    guard->Shutdown();
    ::close(fd);
    std::filesystem::remove_all(dir);
}
