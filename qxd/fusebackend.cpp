// SPDX-License-Identifier: GPL-3.0-or-later
#include "qxd/fusebackend.h"

#include "qxd/mounts.h"
#include "qxd/paths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vx::qxd {

namespace {

std::vector<std::string> Components(const std::string &path)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string::npos)
            end = path.size();
        if (end > pos)
            out.push_back(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

// Sets a parameter of the fuse module; the value it had before ('Y', 'N'), or 0 when it
// cannot be read or set.
char SetModuleParameter(const char *name, const char *value)
{
    const std::string path = std::string("/sys/module/fuse/parameters/") + name;
    char old = 0;
    const UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd)
        return 0;
    if (::read(fd.get(), &old, 1) != 1)
        old = 0;
    if (old && old != value[0] && ::pwrite(fd.get(), value, std::strlen(value), 0) < 0)
        old = 0;
    return old;
}

// The fuse module's io_uring switch is one for the whole machine, and every engine running may
// have views served through it: turned off under them, their rings stop answering. Each engine
// holds a shared lock on this file while it enforces; the last one to stop puts the switch back
// as the first one found it, which the file remembers, also when that engine was killed.
constexpr const char *kRingLease = "/run/qxd-engine-fuse-uring";

UniqueFd TakeRingLease()
{
    UniqueFd fd(::open(kRingLease, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        return fd;
    // Another engine holds the lock alone only for the moment it takes to put the switch back.
    bool locked = false;
    for (int i = 0; i < 200 && !(locked = ::flock(fd.get(), LOCK_SH | LOCK_NB) == 0); ++i)
        ::usleep(10000);
    if (!locked)
        return {};
    if (SetModuleParameter("enable_uring", "Y") == 'N' && ::pwrite(fd.get(), "N", 1, 0) != 1)
        SetModuleParameter("enable_uring", "N"); // it could not be remembered
    return fd;
}

void ReleaseRingLease(UniqueFd fd)
{
    if (!fd)
        return;
    char was = 0;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && ::pread(fd.get(), &was, 1, 0) == 1 && was == 'N') {
        SetModuleParameter("enable_uring", "N");
        if (::ftruncate(fd.get(), 0) != 0) {
            // Left as it is, the next engine to stop puts the switch back.
        }
    }
}

class ClosedGate : public Gatekeeper {
public:
    std::shared_ptr<const Policy> Current() const override { return nullptr; }
    void Denied(const Subject &, const std::string &, const Decision &) override {}
    bool Permissive() const override { return true; }
};

std::string Describe(const std::string &path, const std::string &why)
{
    return path + ": " + why;
}

// Adds `text` to the notes of every entry that covers `path` or names it.
void NoteEntriesAt(const Policy &policy, const std::string &path, const std::string &text, EnforcementNotes &notes)
{
    for (const Policy::Rule &r : policy.rules())
        if (r.Covers(path) || std::any_of(r.items.begin(), r.items.end(), [&](const PathItem &i) { return i.path == path; }))
            notes[r.index].push_back(text);
}

} // namespace

MountPlan PlanMounts(const Policy &policy, TreeView &tree)
{
    MountPlan plan;
    std::vector<std::string> candidates;
    std::map<std::string, std::map<int, bool>> named; // candidate -> entries naming it (true: the object itself)
    std::map<std::string, std::set<int>> hosts;       // a folder served for the names in it -> entries
    const Guard &guard = policy.guard();
    std::size_t split = 0;
    for (const Policy::Rule &rule : policy.rules()) {
        auto &notes = plan.notes[rule.index];
        for (const std::string &item : rule.unusable)
            notes.push_back("\"" + item + "\" names no object of a mapped drive");
        if (rule.mask == 0)
            continue;
        if ((rule.mask & op::kExecute) && !(rule.mask & op::kRead))
            notes.push_back("execute is denied to running a covered program directly; run through the dynamic "
                            "loader (ld.so), an interpreter (sh script) or a copy in memory (memfd) it is only read, "
                            "which read (FP_READ) alone stops");
        for (const PathItem &item : rule.items) {
            const std::string &p = item.path;
            // Everything below "/" is not guarded, though "/" itself is.
            if (item.subtree ? p != "/" && guard.Holds(p) : guard.Holds(p)) {
                notes.push_back(Describe(p, "a system or engine object, never enforced"));
                continue;
            }
            if (guard.Above(p)) {
                if (!item.subtree) {
                    notes.push_back(Describe(p, "holds system or engine objects, not enforced itself"));
                    continue;
                }
                // Serve what lies below, around the guarded objects.
                std::vector<std::string> leftOut, todo = {p};
                while (!todo.empty()) {
                    const std::string folder = todo.back();
                    todo.pop_back();
                    for (const std::string &c : tree.Children(folder)) {
                        if (guard.Holds(c))
                            leftOut.push_back(c);
                        else if (guard.Above(c))
                            todo.push_back(c);
                        else if (split < kMaxSplitMounts) {
                            candidates.push_back(c);
                            ++split;
                        } else
                            leftOut.push_back(c + " (too many objects to serve one by one)");
                    }
                }
                std::sort(leftOut.begin(), leftOut.end());
                std::string text = "enforced only on what lies in the folders below " + p +
                                   ", not on names made or removed directly in it";
                if (!leftOut.empty()) {
                    text += "; left out: ";
                    for (size_t i = 0; i < leftOut.size(); ++i)
                        text += (i ? ", " : "") + leftOut[i];
                }
                notes.push_back(text);
                continue;
            }
            // An object named itself is decided on where its name lives: its folder is served, so
            // that listing, renaming and removing it are decided per process like the rest, and
            // an object made at its path later is covered at once.
            const std::string folder = Parent(p);
            if (!item.subtree && folder != p && folder != "/" && !guard.Holds(folder) && !guard.Above(folder) && tree.IsFolder(folder)) {
                candidates.push_back(folder);
                hosts[folder].insert(rule.index);
                continue;
            }
            if (!tree.Exists(p)) {
                notes.push_back(Describe(p, "does not exist; enforced once it does"));
                continue;
            }
            if (item.subtree && !tree.IsFolder(p)) {
                notes.push_back(Describe(p, "is no folder; nothing lies below it"));
                continue;
            }
            candidates.push_back(p);
            named[p][rule.index] = named[p][rule.index] || !item.subtree;
        }
    }
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    const std::set<std::string> all(candidates.begin(), candidates.end());
    for (const std::string &c : candidates) {
        bool nested = false;
        for (std::string p = c; !nested && p != "/";) {
            p = Parent(p);
            nested = all.count(p) > 0;
        }
        if (!nested)
            plan.roots.push_back(c);
    }
    // The folder itself, served in its place, cannot leave it.
    for (const auto &[folder, entries] : hosts) {
        if (!std::binary_search(plan.roots.begin(), plan.roots.end(), folder))
            continue;
        for (int index : entries)
            plan.notes[index].push_back(
                Describe(folder, "served to decide on the names in it; it cannot itself be renamed or removed while the entry is in force"));
    }
    // Where an object's folder is a system or engine folder, the object is served in its own
    // place and cannot leave it while it is served: nobody can rename or remove it, and it stays
    // in its folder's listing.
    for (const auto &[path, entries] : named) {
        if (!std::binary_search(plan.roots.begin(), plan.roots.end(), path))
            continue;
        for (const auto &[index, itself] : entries) {
            const auto rule = std::find_if(policy.rules().begin(), policy.rules().end(), [&](const auto &r) { return r.index == index; });
            if (rule == policy.rules().end())
                continue;
            std::string text = Describe(path, "nobody can rename or remove it while the entry is in force (it is served in place)");
            if (itself && (rule->mask & op::kList))
                text += ", and it stays listed in its folder";
            plan.notes[index].push_back(text);
        }
    }
    for (auto it = plan.notes.begin(); it != plan.notes.end();)
        it = it->second.empty() ? plan.notes.erase(it) : std::next(it);
    return plan;
}

class FuseBackend::Tree : public TreeView {
public:
    explicit Tree(const FuseBackend &backend) : backend_(backend) {}
    bool Exists(const std::string &path) override
    {
        return backend_.OpenUnderlying(path).valid();
    }
    bool IsFolder(const std::string &path) override
    {
        const UniqueFd fd = backend_.OpenUnderlying(path);
        struct stat s{};
        return fd && ::fstat(fd.get(), &s) == 0 && S_ISDIR(s.st_mode);
    }
    std::vector<std::string> Children(const std::string &path) override
    {
        std::vector<std::string> out;
        UniqueFd dirFd;
        if (const UniqueFd fd = backend_.OpenUnderlying(path))
            dirFd.reset(::openat(fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dirFd)
            return out;
        if (DIR *d = ::fdopendir(dirFd.get())) {
            (void)dirFd.release(); // the stream closes it
            while (dirent *e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..")
                    out.push_back(Child(path, name));
            }
            ::closedir(d);
        }
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    const FuseBackend &backend_;
};

FuseBackend::FuseBackend(std::string fsname, bool passthrough) : fsname_(std::move(fsname)), passthrough_(passthrough) {}

FuseBackend::~FuseBackend()
{
    Shutdown();
}

std::unique_ptr<FuseBackend> FuseBackend::Create(std::string fsname, const std::string &probeDir, std::string &reason,
                                                 const std::string &readFirst)
{
    if (::geteuid() != 0) {
        reason = "not running as root (mounting the views that enforce entries needs root)";
        return nullptr;
    }
    if (!UniqueFd(::open("/dev/fuse", O_RDWR | O_CLOEXEC))) {
        reason = std::string("/dev/fuse cannot be opened (") + std::strerror(errno) + ")";
        return nullptr;
    }
    const std::string probe = probeDir + "/.probe";
    std::vector<Stale> stale = FindStale(fsname, {probe, readFirst});
    // The fuse module serves a FUSE file system through io_uring only where this is allowed;
    // other file systems use it only when they ask for it too.
    UniqueFd lease = TakeRingLease();
    // One trial mount tells whether the kernel lets this process mount FUSE at all, whether
    // opened files can bypass the engine, and whether requests can come through io_uring.
    ::mkdir(probe.c_str(), 0700);
    std::string error;
    UniqueFd fd(::open(probe.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    auto session = FuseSession::Start({fsname, 0, true}, std::make_shared<ClosedGate>(), error);
    std::shared_ptr<FuseView> view;
    if (session)
        view = session->Mount({probe, fd.release()}, error); // the view owns it, also when it fails
    else
        fd.reset();
    const auto fail = [&](std::string why) {
        stale.clear();
        RemoveStaleMounts(fsname);
        ReleaseRingLease(std::move(lease));
        reason = std::move(why);
        return nullptr;
    };
    if (!view) {
        ::rmdir(probe.c_str());
        return fail("the kernel refuses FUSE mounts here (" + error + ")");
    }
    struct stat s;
    const bool answered = ::stat(probe.c_str(), &s) == 0;
    const bool passthrough = session->passthrough();
    const bool ring = session->ringed();
    view->Unmount();
    view.reset();
    ::rmdir(probe.c_str());
    if (!answered)
        return fail("a trial FUSE mount did not answer");
    auto backend = std::unique_ptr<FuseBackend>(new FuseBackend(std::move(fsname), passthrough));
    backend->stale_ = std::move(stale);
    backend->ring_ = ring;
    backend->ringLease_ = std::move(lease);
    backend->session_ = std::move(session);
    return backend;
}

std::vector<FuseBackend::Stale> FuseBackend::FindStale(const std::string &fsname, const std::vector<std::string> &removeNow)
{
    std::vector<Stale> out;
    const std::vector<MountRecord> table = ReadMountTable();
    for (const MountRecord &m : table) {
        if (m.fstype != "fuse.qxd" || m.source != fsname)
            continue;
        // Only where it is the topmost mount: a path names the mount on top.
        const MountRecord *top = nullptr;
        const MountRecord *parent = nullptr;
        for (const MountRecord &o : table) {
            if (o.point == m.point)
                top = &o;
            if (o.id == m.parent)
                parent = &o;
        }
        if (top != &m)
            continue;
        if (std::any_of(removeNow.begin(), removeNow.end(), [&](const std::string &p) { return p == m.point || IsBelow(p, m.point); })) {
            ::umount2(m.point.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
            continue;
        }
        // A view inside another dead one cannot be reached; it goes with that one.
        Stale st{m.point, UniqueFd(::open(m.point.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)), {}, {}};
        if (!st.top)
            continue;
        // What lies beneath: the same name in a copy of the mount holding the folder, without
        // the mounts on it. Not where the view stands on that mount's own root.
        if (parent && parent->point != m.point && m.point != "/") {
            UniqueFd copy(::open_tree(AT_FDCWD, Parent(m.point).c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC));
            const std::string name = m.point.substr(m.point.rfind('/') + 1);
            UniqueFd fd(copy ? ::openat(copy.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC) : -1);
            struct stat s{};
            if (fd && ::fstat(fd.get(), &s) == 0 && s.st_dev == makedev(parent->major, parent->minor)) {
                st.beneath = std::move(fd);
                st.copy = std::move(copy);
            }
        }
        // What lies beneath cannot be reached: that one goes now, as the views it covers could
        // not be planned otherwise.
        if (!st.beneath) {
            ::umount2(ProcFd(st.top.get()).c_str(), MNT_DETACH);
            continue;
        }
        out.push_back(std::move(st));
    }
    return out;
}

void FuseBackend::RemoveStale()
{
    for (Stale &s : stale_) {
        ::umount2(ProcFd(s.top.get()).c_str(), MNT_DETACH);
        s.top.reset();
        s.beneath.reset();
        if (s.copy)
            copies_.push_back(std::move(s.copy));
    }
    stale_.clear();
}

void FuseBackend::SetGate(std::shared_ptr<Gatekeeper> gate)
{
    gate_ = std::move(gate);
    if (session_ && gate_)
        session_->SetGate(gate_);
    if (!links_ && gate_)
        links_ = LinkGuard::Create(gate_, linksMissing_);
}

std::vector<std::string> FuseBackend::Limits() const
{
    std::vector<std::string> out = {"change creation time: Linux keeps no creation time that a process could set"};
    if (!links_)
        out.push_back("open, read, write and execute of a covered file through a hard link outside the covered "
                      "folders: " + linksMissing_);
    if (!passthrough_)
        out.push_back("(not a gap) this kernel has no FUSE passthrough: reads and writes of covered files go through "
                      "the engine and are slower");
    if (!ring_)
        out.push_back("(not a gap) FUSE requests cannot come through io_uring here: operations on covered objects "
                      "wait for the engine longer");
    return out;
}

std::map<std::string, std::shared_ptr<FuseView>>::const_iterator FuseBackend::ViewAtOrAbove(std::string_view path) const
{
    if (views_.empty())
        return views_.end();
    for (std::string_view p = path;;) {
        if (auto it = views_.find(std::string(p)); it != views_.end())
            return it;
        if (p.size() <= 1)
            return views_.end();
        const size_t slash = p.rfind('/');
        p = slash == 0 || slash == std::string_view::npos ? std::string_view("/") : p.substr(0, slash);
    }
}

UniqueFd FuseBackend::OpenUnderlying(const std::string &path) const
{
    if (path.empty() || path.front() != '/') {
        errno = EINVAL;
        return {};
    }
    // Start from our own view whose root holds the path, if any: its descriptor reaches what
    // lies beneath the mount.
    std::string start = "/";
    UniqueFd fd;
    if (auto view = ViewAtOrAbove(path); view != views_.end()) {
        start = view->first;
        fd.reset(::fcntl(view->second->rootFd(), F_DUPFD_CLOEXEC, 0));
    }
    // Beneath a dead engine's view, what lies there is reached through a copy of its mount.
    for (const Stale &s : stale_)
        if ((path == s.place || IsBelow(path, s.place)) && (!fd || IsBelow(s.place, start))) {
            start = s.place;
            fd.reset(::fcntl(s.beneath.get(), F_DUPFD_CLOEXEC, 0));
        }
    if (!fd) {
        start = "/";
        fd.reset(::open("/", O_PATH | O_CLOEXEC));
    }
    if (!fd)
        return {};
    for (const std::string &c : Components(path.substr(start == "/" ? 0 : start.size()))) {
        fd.reset(::openat(fd.get(), c.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)); // errno kept
        if (!fd)
            return {};
    }
    return fd;
}

std::string FuseBackend::Canonical(const std::string &path)
{
    std::vector<std::string> todo = Components(path);
    std::reverse(todo.begin(), todo.end());
    std::string cur = "/";
    UniqueFd curFd; // `cur`, reached without entering the views; none: open it again by its path
    int links = 0;
    while (!todo.empty()) {
        const std::string c = todo.back();
        todo.pop_back();
        if (c == ".")
            continue;
        if (c == "..") {
            cur = Parent(cur);
            curFd.reset();
            curFd = OpenUnderlying(cur);
            continue;
        }
        const std::string next = Child(cur, c);
        // Step by step from the folder reached so far; where a view or a dead engine's view
        // stands, from beneath it.
        UniqueFd fd;
        if (curFd && !views_.count(next) && std::none_of(stale_.begin(), stale_.end(), [&](const Stale &st) { return st.place == next; }))
            fd.reset(::openat(curFd.get(), c.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        else
            fd = OpenUnderlying(next);
        struct stat s{};
        if (!fd || ::fstatat(fd.get(), "", &s, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(s.st_mode) || links >= 40) {
            const bool found = fd.valid();
            curFd = std::move(fd);
            if (!found) {
                // What does not exist yet is named as written below what does.
                cur = next;
                while (!todo.empty()) {
                    cur = todo.back() == ".." ? Parent(cur) : todo.back() == "." ? cur : Child(cur, todo.back());
                    todo.pop_back();
                }
                return cur;
            }
            cur = next;
            continue;
        }
        char buf[PATH_MAX];
        const ssize_t n = ::readlinkat(fd.get(), "", buf, sizeof buf);
        ++links;
        if (n <= 0) {
            curFd = std::move(fd);
            cur = next;
            continue;
        }
        fd.reset();
        const std::string target(buf, size_t(n));
        if (target.front() == '/')
            cur = "/";
        curFd.reset();
        curFd = OpenUnderlying(cur);
        std::vector<std::string> more = Components(target);
        for (auto it = more.rbegin(); it != more.rend(); ++it)
            todo.push_back(*it);
    }
    return cur;
}

std::vector<std::string> FuseBackend::Roots() const
{
    std::vector<std::string> out;
    for (const auto &[root, view] : views_)
        out.push_back(root);
    return out;
}

std::vector<std::pair<std::string, std::string>> FuseBackend::Aliases(const std::vector<std::string> &roots,
                                                                    const std::vector<MountRecord> &table, const Guard *guard,
                                                                    EnforcementNotes &notes, const Policy *policy) const
{
    std::vector<std::pair<std::string, std::string>> out;
    const auto ours = [&](const MountRecord &m) { return m.fstype == "fuse.qxd"; };
    std::vector<const MountRecord *> others; // the engines' own views are many, and never aliases
    for (const MountRecord &m : table)
        if (!ours(m))
            others.push_back(&m);
    const std::set<std::string> rootSet(roots.begin(), roots.end());
    const auto identity = [&](const std::string &path, struct stat &s) {
        const UniqueFd fd = OpenUnderlying(path);
        return fd && ::fstat(fd.get(), &s) == 0;
    };
    for (const std::string &root : roots) {
        // The mount the root lies in, and the root's folder within that file system.
        const MountRecord *home = nullptr;
        for (const MountRecord *m : others)
            if ((root == m->point || IsBelow(root, m->point)) && (!home || m->point.size() >= home->point.size()))
                home = m;
        struct stat object{};
        if (!home || !identity(root, object))
            continue;
        const std::string within = root == home->point ? home->root : Child(home->root, root.substr(home->point == "/" ? 1 : home->point.size() + 1));
        for (const MountRecord *other : others) {
            const MountRecord &m = *other;
            if (&m == home || m.major != home->major || m.minor != home->minor)
                continue;
            std::string place, decided = root;
            if (within == m.root || IsBelow(within, m.root)) {
                place = within == m.root ? m.point : Child(m.point, within.substr(m.root == "/" ? 1 : m.root.size() + 1));
            } else if (IsBelow(m.root, within)) {
                place = m.point;
                decided = Child(root, m.root.substr(within == "/" ? 1 : within.size() + 1));
            } else {
                continue;
            }
            bool served = false;
            for (std::string p = place; !served; p = Parent(p)) {
                served = rootSet.count(p) > 0;
                if (p == "/")
                    break;
            }
            struct stat there{}, wantedObject{};
            if (served || !identity(place, there) || !identity(decided, wantedObject) || there.st_dev != wantedObject.st_dev ||
                there.st_ino != wantedObject.st_ino)
                continue;
            if ((guard && guard->Holds(place)) || out.size() >= kMaxSplitMounts) {
                NoteEntriesAt(*policy, decided, Describe(decided, "is also reachable at " + place + ", which is not enforced"), notes);
                continue;
            }
            out.emplace_back(place, decided);
        }
    }
    return out;
}

void FuseBackend::Apply(const std::shared_ptr<const Policy> &policy, EnforcementNotes &notes)
{
    Tree tree(*this);
    MountPlan plan;
    if (policy && policy->active())
        plan = PlanMounts(*policy, tree);
    for (auto &[index, lines] : plan.notes)
        notes[index].insert(notes[index].end(), lines.begin(), lines.end());

    const std::vector<MountRecord> table = ReadMountTable();
    // Where each view goes (its place) and which path decisions name its objects by.
    std::map<std::string, std::string> wanted;
    for (const std::string &root : plan.roots)
        wanted[root] = root;
    for (const auto &[place, root] : Aliases(plan.roots, table, policy ? &policy->guard() : nullptr, notes, policy.get()))
        wanted.emplace(place, root);

    // Takes the views `gone` picks out of the table, then unmounts them.
    const auto retire = [&](const auto &gone) {
        std::vector<std::shared_ptr<FuseView>> out;
        for (auto it = views_.begin(); it != views_.end();) {
            if (gone(it->first, *it->second)) {
                out.push_back(it->second);
                it = views_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto &view : out)
            view->Unmount();
    };
    // A view someone unmounted, or that no longer stands for the same path, is made again.
    std::set<std::string> mounted;
    for (const MountRecord &m : table)
        if (m.fstype == "fuse.qxd" && m.source == fsname_)
            mounted.insert(m.point);
    // A view carried elsewhere with a folder above it still serves what it covers there, under
    // the names its entries give: it goes along, and a new one is mounted where it stood if
    // that place is wanted again.
    for (auto it = views_.begin(); it != views_.end();) {
        const std::string now = mounted.count(it->first) ? std::string() : it->second->Place();
        if (!now.empty() && now != it->first && mounted.count(now)) {
            moved_.emplace_back(it->first, it->second);
            it = views_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = moved_.begin(); it != moved_.end();) {
        const auto &[place, view] = *it;
        const std::string &root = view->root();
        const std::string now = view->Place();
        const bool concerned = policy && policy->active() && std::any_of(policy->rules().begin(), policy->rules().end(), [&](const Policy::Rule &r) {
            return r.mask && std::any_of(r.items.begin(), r.items.end(), [&](const PathItem &i) {
                return i.path == root || IsBelow(i.path, root) || (i.subtree && IsBelow(root, i.path));
            });
        });
        if (now == place && !views_.count(place)) {
            views_.emplace(place, view); // moved back
            it = moved_.erase(it);
            continue;
        }
        if (now.empty() || now == place || !mounted.count(now) || !concerned) {
            view->Unmount();
            it = moved_.erase(it);
            continue;
        }
        NoteEntriesAt(*policy, root, Describe(root, "was moved to " + now + " with a folder above it; its view went along and decides there as here"), notes);
        ++it;
    }
    retire([&](const std::string &place, const FuseView &view) {
        auto w = wanted.find(place);
        return !mounted.count(place) || (w != wanted.end() && w->second != view.root());
    });
    // Views inside a new place go first, so the new view serves what lies beneath them; views
    // around a new place go after it is up, so nothing is left unserved in between.
    retire([&](const std::string &place, const FuseView &) {
        if (wanted.count(place))
            return false;
        for (std::string p = Parent(place);; p = Parent(p)) {
            if (wanted.count(p))
                return true;
            if (p == "/")
                return false;
        }
    });
    for (const auto &[place, root] : wanted) {
        if (views_.count(place))
            continue;
        // Where a dead engine's view still stands, the new one goes beneath it, so that the
        // place fails closed until it serves.
        auto stale = std::find_if(stale_.begin(), stale_.end(), [&](const Stale &s) { return s.place == place; });
        UniqueFd fd = OpenUnderlying(place);
        std::string error;
        std::shared_ptr<FuseView> view;
        // Mount takes the root descriptor over, also when it fails.
        if (fd && stale != stale_.end()) {
            view = session_->Mount({root, fd.release(), stale->top.get()}, error);
            if (!view) {
                // The kernel would not mount beneath it: that one goes first after all.
                ::umount2(ProcFd(stale->top.get()).c_str(), MNT_DETACH);
                stale_.erase(stale);
                fd = OpenUnderlying(place);
            }
        }
        if (!view && !fd)
            error = Describe(place, std::strerror(errno));
        else if (!view)
            view = session_->Mount({root, fd.release()}, error);
        if (!view) {
            NoteEntriesAt(*policy, root, "cannot be served: " + error, notes);
            continue;
        }
        views_.emplace(place, std::move(view));
    }
    retire([&](const std::string &place, const FuseView &) { return !wanted.count(place); });
    // The dead engine's views go once this one's stand beneath them.
    RemoveStale();
    // Each view keeps the flags of the mount beneath it, also when they change (looked at again
    // when a mount other than the views has changed; a new view takes them as it is mounted).
    std::string others;
    for (const MountRecord &m : table)
        if (m.fstype != "fuse.qxd")
            others += m.point + ' ' + m.options + '\n';
    if (others != mountsSeen_) {
        mountsSeen_ = std::move(others);
        for (auto &[place, view] : views_)
            if (!view->FollowMountFlags() && policy)
                NoteEntriesAt(*policy, view->root(), Describe(view->root(), "the view could not take the mount flags of the file system beneath it"), notes);
    }

    WatchWorkingFolders(policy, notes);
    ScanViews(policy, notes);

    // Attributes the kernel keeps would answer stat without asking: drop them when stat
    // decisions appear.
    const uint32_t stat = policy && policy->active() ? policy->masks() & op::kStat : 0;
    if (stat & ~statMasks_)
        session_->ForgetAttributes();
    statMasks_ = stat;
}

void FuseBackend::ScanViews(const std::shared_ptr<const Policy> &policy, EnforcementNotes &notes)
{
    constexpr uint32_t kByName = op::kOpen | op::kRead | op::kWrite | op::kExecute;
    const bool linksWanted = links_ && policy && policy->active() && (policy->masks() & kByName);
    // Looked at again only when the views or the rules have changed.
    std::string key;
    for (const auto &[place, view] : views_)
        key += place + ' ' + view->root() + '\n';
    if (linksWanted)
        for (const Policy::Rule &r : policy->rules()) {
            key += std::to_string(r.index) + ':' + std::to_string(r.mask);
            for (const PathItem &i : r.items)
                key += ' ' + i.path + (i.subtree ? "/*" : "");
            for (const PathItem &i : r.excluded)
                key += " -" + i.path + (i.subtree ? "/*" : "");
            key += '\n';
        }
    const auto noteGaps = [&] {
        if (!policy)
            return;
        for (const auto &[path, why] : unmarked_)
            NoteEntriesAt(*policy, path, Describe(path, "has other names, which could not be marked (" + why + ")"), notes);
        if (!scanTruncated_)
            return;
        for (const Policy::Rule &r : policy->rules())
            if (r.mask)
                notes[r.index].push_back("hard links, sockets and pipes were looked for among the first " +
                                         std::to_string(kMaxScan) + " objects only");
    };
    for (const HeldFile &h : heldFiles_)
        key += "held " + std::to_string(h.target.dev) + ':' + std::to_string(h.target.ino) + '\n';
    // While processes hold folders beneath the views, hard links they make there are looked
    // for at every look.
    const bool handles = links_ && links_->FoldersWatched() > 0;
    if (key == scanned_ && !handles)
        return noteGaps();
    scanned_ = key;
    for (auto it = endpoints_.begin(); it != endpoints_.end();) {
        auto v = views_.find(it->first);
        it = v != views_.end() && v->second == it->second.first.lock() ? std::next(it) : endpoints_.erase(it);
    }

    std::vector<LinkGuard::Target> targets;
    std::vector<UniqueFd> held; // the targets' descriptors, until the guard has marked them
    std::size_t seen = 0;
    for (const auto &[place, view] : views_) {
        const std::string &root = view->root();
        auto &entry = endpoints_[place];
        entry.first = view;
        std::set<std::string> &bound = entry.second;
        // What an object found at `rel` below the root is: a hard-linked covered file is
        // watched by its inode; a socket or pipe that was there before the view is reached
        // through the view as the old object, so its listeners keep their callers. A watched
        // file's descriptor is kept in `held`.
        const auto consider = [&](UniqueFd fd, const std::string &rel, const struct stat &s) {
            const std::string path = rel.empty() ? root : Child(root, rel);
            if (linksWanted && S_ISREG(s.st_mode) && s.st_nlink > 1 && (policy->Deniable(path) & kByName)) {
                targets.push_back({s.st_dev, s.st_ino, fd.get(), path});
                held.push_back(std::move(fd));
                return;
            }
            if ((S_ISSOCK(s.st_mode) || S_ISFIFO(s.st_mode)) && !rel.empty() && !bound.count(rel)) {
                const std::string there = Child(place, rel);
                if (::mount(ProcFd(fd.get()).c_str(), there.c_str(), nullptr, MS_BIND, nullptr) == 0)
                    bound.insert(rel);
            }
        };
        std::vector<std::pair<UniqueFd, std::string>> folders;
        struct stat s{};
        UniqueFd rootFd(::fcntl(view->rootFd(), F_DUPFD_CLOEXEC, 0));
        if (!rootFd || ::fstat(rootFd.get(), &s) != 0)
            continue;
        if (S_ISDIR(s.st_mode))
            folders.emplace_back(std::move(rootFd), "");
        else
            consider(std::move(rootFd), "", s);
        while (!folders.empty()) {
            auto [fd, rel] = std::move(folders.back());
            folders.pop_back();
            UniqueFd dirFd(::openat(fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            DIR *d = dirFd ? ::fdopendir(dirFd.get()) : nullptr;
            if (d)
                (void)dirFd.release(); // the stream closes it
            else
                dirFd.reset();
            while (d && seen < kMaxScan) {
                const dirent *e = ::readdir(d);
                if (!e)
                    break;
                if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
                    continue;
                ++seen;
                if (e->d_type == DT_LNK || e->d_type == DT_CHR || e->d_type == DT_BLK)
                    continue;
                struct stat c{};
                if (::fstatat(fd.get(), e->d_name, &c, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                const bool folder = S_ISDIR(c.st_mode);
                if (!folder && !(S_ISREG(c.st_mode) && c.st_nlink > 1) && !S_ISSOCK(c.st_mode) && !S_ISFIFO(c.st_mode))
                    continue;
                UniqueFd childFd(::openat(fd.get(), e->d_name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
                if (!childFd)
                    continue;
                const std::string child = rel.empty() ? std::string(e->d_name) : rel + "/" + e->d_name;
                if (folder)
                    folders.emplace_back(std::move(childFd), child);
                else
                    consider(std::move(childFd), child, c);
            }
            if (d)
                ::closedir(d);
        }
    }
    if (linksWanted)
        for (const HeldFile &h : heldFiles_)
            if (policy->Deniable(h.target.path) & kByName)
                targets.push_back(h.target);
    unmarked_ = links_ ? links_->Watch(targets) : LinkGuard::Failures{};
    held.clear();
    scanTruncated_ = seen >= kMaxScan;
    noteGaps();
}

namespace {

// True when the folder `fd` lies at or below the object `rootFd` (on the same file system), over
// which the view of device `viewDev` stands: found by walking up through "..", which steps onto
// the view where it reaches the root.
bool Beneath(int fd, int rootFd, dev_t viewDev)
{
    struct stat root{}, s{};
    UniqueFd cur(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!cur || ::fstat(rootFd, &root) != 0)
        return false;
    for (int i = 0; i <= 1 << 16 && ::fstat(cur.get(), &s) == 0 && s.st_dev == root.st_dev; ++i) {
        if (s.st_ino == root.st_ino)
            return true;
        cur.reset(::openat(cur.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat u{};
        if (!cur || ::fstat(cur.get(), &u) != 0 || (u.st_dev == s.st_dev && u.st_ino == s.st_ino))
            break; // the top
        if (u.st_dev == viewDev && u.st_ino == root.st_ino)
            return true;
    }
    return false;
}

} // namespace

void FuseBackend::WatchWorkingFolders(const std::shared_ptr<const Policy> &policy, EnforcementNotes &notes)
{
    heldFiles_.clear();
    if (!links_)
        return;
    constexpr uint32_t kByName = op::kOpen | op::kRead | op::kWrite | op::kExecute;
    std::vector<LinkGuard::Folder> folders;
    std::vector<UniqueFd> held; // the folders' descriptors, until the guard has marked them
    std::vector<std::pair<std::string, std::string>> heldBy; // held folder's decision path, how it is held
    std::set<std::pair<dev_t, ino_t>> seen;
    if (policy && policy->active() && (policy->masks() & kByName) && !views_.empty()) {
        // Which views' places lie on which file system, and the device of each view itself.
        std::set<dev_t> viewDevices;
        std::map<dev_t, std::vector<const std::pair<const std::string, std::shared_ptr<FuseView>> *>> beneath;
        for (const auto &entry : views_) {
            struct stat u{};
            if (::fstat(entry.second->rootFd(), &u) == 0)
                beneath[u.st_dev].push_back(&entry);
            viewDevices.insert(entry.second->device());
        }
        // A folder a process holds (its working folder, its root, a descriptor) that lies
        // beneath a view, reached without it.
        const auto consider = [&](const std::string &link) {
            // Only what the kernel keeps is asked for: a folder inside a view must not make the
            // engine ask that view.
            struct statx x{};
            if (::statx(AT_FDCWD, link.c_str(), AT_STATX_DONT_SYNC, STATX_TYPE | STATX_INO, &x) != 0 ||
                !(S_ISDIR(x.stx_mode) || S_ISREG(x.stx_mode)))
                return;
            const bool folder = S_ISDIR(x.stx_mode);
            const dev_t dev = makedev(x.stx_dev_major, x.stx_dev_minor);
            auto views = viewDevices.count(dev) ? beneath.end() : beneath.find(dev);
            if (views == beneath.end() || seen.count({dev, ino_t(x.stx_ino)}))
                return;
            char buf[PATH_MAX];
            const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
            // A folder too deep for its path to be told is placed by walking up from it.
            const bool named = n > 0 && size_t(n) < sizeof buf;
            UniqueFd fd(named || (folder && errno == ENAMETOOLONG) ? ::open(link.c_str(), O_PATH | (folder ? O_DIRECTORY : 0) | O_CLOEXEC) : -1);
            struct stat s{};
            if (!fd)
                return;
            if (::fstat(fd.get(), &s) == 0 && s.st_dev == dev) {
                const std::string path = named ? std::string(buf, size_t(n)) : std::string();
                for (const auto *v : views->second) {
                    const std::string &place = v->first;
                    if (named ? path != place && !IsBelow(path, place) : !Beneath(fd.get(), v->second->rootFd(), v->second->device()))
                        continue;
                    seen.insert({s.st_dev, s.st_ino});
                    const std::string &root = v->second->root();
                    const std::string decided = !named ? Child(root, "(a path too deep to name)")
                                                : path == place ? root
                                                                : root + path.substr(place == "/" ? 0 : place.size());
                    if (folder) {
                        folders.push_back({s.st_dev, s.st_ino, fd.get(), place, root});
                        held.push_back(std::move(fd));
                        heldBy.emplace_back(decided, link);
                    } else {
                        // A file held from before: its inode is marked as a hard-linked one is,
                        // so reopening it through /proc/PID/fd is decided.
                        const int number = fd.get();
                        heldFiles_.push_back({std::move(fd), {s.st_dev, s.st_ino, number, decided}});
                    }
                    break;
                }
            }
        };
        // A mount namespace made before a view, where mounts do not propagate, has the object
        // beneath the view without it: the object's folder is then watched like a held one. Each
        // namespace is looked at once, through its first process, in its mount table alone (a
        // path walk there could meet a file system that never answers).
        struct stat ownNs{};
        ::stat("/proc/self/ns/mnt", &ownNs);
        // An engine started in a namespace of its own (a test, a benchmark) looks only at the
        // namespaces of what its starter started: the machine's others lack its views by the
        // starter's choice.
        struct stat firstNs{};
        ::stat("/proc/1/ns/mnt", &firstNs);
        const bool confined = firstNs.st_ino != ownNs.st_ino;
        std::set<ino_t> namespaces{ownNs.st_ino, firstNs.st_ino};
        const auto startedHere = [&](const std::string &pid) {
            int p = std::atoi(pid.c_str() + 6);
            for (int depth = 0; depth < 64 && p > 1; ++depth) {
                std::ifstream stat("/proc/" + std::to_string(p) + "/stat");
                std::string line;
                std::getline(stat, line);
                const size_t close = line.rfind(')');
                int parent = 0;
                if (close == std::string::npos || std::sscanf(line.c_str() + close + 1, " %*c %d", &parent) != 1)
                    return false;
                if (parent == starter_)
                    return true;
                p = parent;
            }
            return false;
        };
        const auto foreign = [&](const std::string &pid) {
            struct stat ns{};
            if (::stat((pid + "/ns/mnt").c_str(), &ns) != 0 || namespaces.count(ns.st_ino) ||
                (confined && !startedHere(pid)))
                return;
            namespaces.insert(ns.st_ino);
            std::map<std::string, const MountRecord *> top; // the uppermost mount at each place
            const std::vector<MountRecord> table = ReadMountTable(pid + "/mountinfo");
            for (const MountRecord &m : table)
                top[m.point] = &m;
            for (const auto &[place, view] : views_) {
                const MountRecord *at = nullptr;
                for (std::string p = place; !at; p = Parent(p)) {
                    if (auto it = top.find(p); it != top.end())
                        at = it->second;
                    if (p == "/")
                        break;
                }
                struct stat u{};
                if (!at || makedev(at->major, at->minor) == view->device() || ::fstat(view->rootFd(), &u) != 0 ||
                    makedev(at->major, at->minor) != u.st_dev || seen.count({u.st_dev, u.st_ino}))
                    continue;
                UniqueFd fd(::fcntl(view->rootFd(), F_DUPFD_CLOEXEC, 0));
                if (!fd)
                    continue;
                seen.insert({u.st_dev, u.st_ino});
                const int number = fd.get();
                if (!S_ISDIR(u.st_mode)) {
                    heldFiles_.push_back({std::move(fd), {u.st_dev, u.st_ino, number, view->root(), true}});
                    continue;
                }
                folders.push_back({u.st_dev, u.st_ino, number, place, view->root(), true});
                held.push_back(std::move(fd));
                heldBy.emplace_back(view->root(), pid + "/ns/mnt");
            }
        };
        std::vector<std::string> pids;
        DIR *proc = ::opendir("/proc");
        while (proc) {
            const dirent *e = ::readdir(proc);
            if (!e)
                break;
            if (e->d_name[0] < '1' || e->d_name[0] > '9' || std::atoi(e->d_name) == ::getpid())
                continue;
            const std::string pid = std::string("/proc/") + e->d_name;
            pids.push_back(pid);
            consider(pid + "/cwd");
            consider(pid + "/root");
            const std::string fds = pid + "/fd";
            if (DIR *d = ::opendir(fds.c_str())) {
                while (const dirent *f = ::readdir(d))
                    if (f->d_name[0] != '.')
                        consider(fds + "/" + f->d_name);
                ::closedir(d);
            }
        }
        if (proc)
            ::closedir(proc);
        for (const std::string &pid : pids)
            foreign(pid);
        // The folders below those, so that longer relative names are watched too.
        for (size_t i = 0; i < folders.size() && folders.size() < kMaxWatchedFolders; ++i) {
            const LinkGuard::Folder parent = folders[i];
            UniqueFd dirFd(::openat(parent.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            DIR *d = dirFd ? ::fdopendir(dirFd.get()) : nullptr;
            if (d)
                (void)dirFd.release(); // the stream closes it
            else
                dirFd.reset();
            while (d && folders.size() < kMaxWatchedFolders) {
                const dirent *c = ::readdir(d);
                if (!c)
                    break;
                if (c->d_type != DT_DIR || !std::strcmp(c->d_name, ".") || !std::strcmp(c->d_name, ".."))
                    continue;
                UniqueFd fd(::openat(parent.fd, c->d_name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                struct stat s{};
                if (!fd)
                    continue;
                if (::fstat(fd.get(), &s) != 0 || !seen.insert({s.st_dev, s.st_ino}).second)
                    continue;
                folders.push_back({s.st_dev, s.st_ino, fd.get(), parent.place, parent.root, parent.foreignOnly});
                held.push_back(std::move(fd));
            }
            if (d)
                ::closedir(d);
        }
    }
    if (policy && folders.size() >= kMaxWatchedFolders)
        for (const auto &[path, link] : heldBy)
            NoteEntriesAt(*policy, path,
                          Describe(path, "held from before the entry with more than " + std::to_string(kMaxWatchedFolders) +
                                             " folders below; those past them are not watched"),
                          notes);
    // What fanotify cannot decide there is named for the entries covering each held folder.
    for (const auto &[path, link] : heldBy) {
        if (!policy)
            break;
        // "/proc/PID/cwd", "/proc/PID/root" or "/proc/PID/fd/N".
        const std::string rest = link.substr(6);
        const std::string pid = rest.substr(0, rest.find('/'));
        const std::string what = rest.substr(pid.size() + 1);
        const std::string as = what == "cwd" ? "its working folder" : what == "root" ? "its root" : "descriptor " + what.substr(3);
        const std::string holds = what == "ns/mnt" ? "process " + pid + "'s mount namespace, made before the entry, has it without its view"
                                                   : "process " + pid + " holds it from before the entry (" + as + ")";
        NoteEntriesAt(*policy, path,
                      Describe(path, holds +
                                         ": creating, removing, renaming, linking and changing attributes or times "
                                         "there are not decided, and its listings there show hidden names, until it "
                                         "lets go"),
                      notes);
    }
    std::set<std::string> noted;
    for (const auto &[root, why] : links_->WatchFolders(folders))
        if (policy && noted.insert(root).second)
            NoteEntriesAt(*policy, root,
                          Describe(root, "a folder below it that a process works in could not be watched (" + why +
                                             "); names relative to it are not enforced"),
                          notes);
    held.clear();
}

void FuseBackend::Shutdown()
{
    if (links_)
        links_->Shutdown();
    for (auto &[root, view] : views_)
        view->Unmount();
    views_.clear();
    for (auto &[place, view] : moved_)
        view->Unmount();
    moved_.clear();
    RemoveStale();
    copies_.clear();
    heldFiles_.clear();
    gate_.reset();
    if (session_)
        session_->SetGate(std::make_shared<ClosedGate>());
    session_.reset();
    ReleaseRingLease(std::move(ringLease_));
}

} // namespace vx::qxd
