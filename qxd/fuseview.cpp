// SPDX-License-Identifier: GPL-3.0-or-later
#include "qxd/fuseview.h"
#include "qxd/exes.h"
#include "qxd/paths.h"

#include "qxd/fusekernel.h"
#include "qxd/mounts.h"

#include "platform/common/uniquefd.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <condition_variable>
#include <mutex>
#include <set>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <liburing.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vx::qxd {

namespace {

// Largest write or listing the kernel asks for (max_pages 32), and a request with its headers.
constexpr uint32_t kMaxWrite = 128u << 10;
constexpr uint16_t kMaxPages = kMaxWrite / 4096;
constexpr size_t kBufferSize = kMaxWrite + 4096;
// Threads per CPU that take that CPU's requests from io_uring, and ring entries each.
constexpr int kRingThreadsPerCpu = 2;
constexpr int kRingEntriesPerThread = 1;
constexpr uint64_t kCacheSeconds = 1;
// A view's name in the file system's root is never used again: the kernel may keep it.
constexpr uint64_t kHubSeconds = 86400;

void FillAttr(fuse_attr &a, const struct stat &s)
{
    a.ino = s.st_ino;
    a.size = uint64_t(s.st_size);
    a.blocks = uint64_t(s.st_blocks);
    a.atime = uint64_t(s.st_atim.tv_sec);
    a.mtime = uint64_t(s.st_mtim.tv_sec);
    a.ctime = uint64_t(s.st_ctim.tv_sec);
    a.atimensec = uint32_t(s.st_atim.tv_nsec);
    a.mtimensec = uint32_t(s.st_mtim.tv_nsec);
    a.ctimensec = uint32_t(s.st_ctim.tv_nsec);
    a.mode = s.st_mode;
    a.nlink = uint32_t(s.st_nlink);
    a.uid = s.st_uid;
    a.gid = s.st_gid;
    a.rdev = uint32_t(s.st_rdev);
    a.blksize = uint32_t(s.st_blksize);
}

// One object the kernel knows by a node id. Its names (folder and name) are kept so that
// decisions can name it; a hard link gives it several.
struct Node {
    UniqueFd fd; // O_PATH, outside the mount
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t type = 0;
    uint64_t nlookup = 0;
    uint32_t refs = 0; // one while the kernel knows it, one per name of a child in it
    std::vector<std::pair<Node *, std::string>> names;
    int32_t backing = 0;
    std::string root; // on a view's root: the path decisions name it by
};

struct DirHandle {
    UniqueFd fd;
    std::string path;
    bool hidRecorded = false; // one record per listing of hidden names
    // What the policy hides of this folder from this caller, while that policy is in force.
    std::shared_ptr<const Policy> hidingPolicy;
    Policy::Children hiding;
    std::mutex mutex;
    std::vector<char> buf = std::vector<char>(64 * 1024);
    size_t pos = 0, len = 0; // unread getdents bytes in buf
    uint64_t next = 0;       // the offset the next entry in buf follows
};

} // namespace

struct FuseSession::State {
    std::string fsname;
    int session = -1;
    std::shared_ptr<Gatekeeper> gate; // under the lock
    // The file system's root holds only the views' roots, by name; nobody but the engine reaches it.
    Node hub;
    mutable std::mutex mutex; // nodes, their names and the views
    std::map<std::pair<dev_t, ino_t>, Node *> nodes;
    std::map<std::string, Node *> views; // name in the hub -> the view's root
    uint64_t lastView = 0;
    // Roots of views taken down whose objects the kernel still keeps (held open, or only cached).
    std::set<Node *> retired;
    std::condition_variable sweep;
    bool sweepWanted = false, ending = false;
    // Each node holds a descriptor: past this many, the kernel is asked to let go of what is
    // not in use.
    size_t nodeHigh = 65536;
    bool shrinkWanted = false;
    std::chrono::steady_clock::time_point nextShrink; // at most one every few seconds
    std::atomic<bool> passthrough{false};
    std::atomic<bool> ringed{false}; // requests come through io_uring
    bool ringAllowed = false;
    std::weak_ptr<State> self;

    ~State()
    {
        for (auto &[name, n] : views)
            retired.insert(n);
        for (auto &[key, n] : nodes)
            retired.insert(n);
        for (Node *n : retired)
            delete n; // closes its descriptor
        if (session >= 0)
            ::close(session);
    }

    std::shared_ptr<Gatekeeper> Gate() const
    {
        std::lock_guard lock(mutex);
        return gate;
    }
    void SetGate(std::shared_ptr<Gatekeeper> g)
    {
        std::lock_guard lock(mutex);
        gate = std::move(g);
    }

    // The node of an id the kernel had from a lookup. The lock orders this thread after the one
    // that made the node (the kernel already does, but through calls no checker sees).
    Node *NodeOf(uint64_t id)
    {
        std::lock_guard lock(mutex);
        return id == FUSE_ROOT_ID ? &hub : reinterpret_cast<Node *>(id);
    }
    uint64_t IdOf(Node *n) { return n == &hub ? FUSE_ROOT_ID : reinterpret_cast<uint64_t>(n); }

    // Every path the node is known by (the lock held); false when some of them could not be
    // made (names deeper than kMaxDepth, more than kMaxPaths of them, a node without a name).
    bool PathsLocked(const Node *n, std::vector<std::string> &out)
    {
        struct Walk {
            const Node *node;
            std::vector<const std::string *> names; // from the node up
        };
        std::vector<Walk> todo;
        todo.push_back({n, {}});
        bool whole = true;
        while (!todo.empty()) {
            Walk w = std::move(todo.back());
            todo.pop_back();
            while (w.node->root.empty()) {
                if (w.node->names.empty() || w.names.size() >= kMaxDepth) {
                    whole = false;
                    break;
                }
                for (size_t i = 1; i < w.node->names.size(); ++i) {
                    if (todo.size() + out.size() >= kMaxPaths) {
                        whole = false;
                        break;
                    }
                    Walk other{w.node->names[i].first, w.names};
                    other.names.push_back(&w.node->names[i].second);
                    todo.push_back(std::move(other));
                }
                w.names.push_back(&w.node->names.front().second);
                w.node = w.node->names.front().first;
            }
            if (w.node->root.empty())
                continue;
            std::string path = w.node->root;
            for (auto it = w.names.rbegin(); it != w.names.rend(); ++it) {
                if (path.back() != '/')
                    path += '/';
                path += **it;
            }
            out.push_back(std::move(path));
        }
        return whole;
    }
    std::vector<std::string> Paths(const Node *n, bool *whole = nullptr)
    {
        std::vector<std::string> out;
        std::lock_guard lock(mutex);
        const bool all = PathsLocked(n, out);
        if (whole)
            *whole = all;
        return out;
    }
    std::string PathOf(const Node *n)
    {
        std::vector<std::string> all = Paths(n);
        return all.empty() ? std::string() : all.front();
    }
    // The root path of the view `n` was first found in; "" when it cannot be told.
    std::string RootOf(const Node *n)
    {
        std::lock_guard lock(mutex);
        for (size_t depth = 0; n && n->root.empty() && depth < kMaxDepth; ++depth)
            n = n->names.empty() ? nullptr : n->names.front().first;
        return n ? n->root : std::string();
    }

    // Asks the kernel to let go of every name in the views taken down; what is no longer open
    // is then forgotten, and the engine gives back its descriptors.
    void SweepRetired(bool everything = false)
    {
        std::vector<std::pair<uint64_t, std::string>> names;
        {
            std::lock_guard lock(mutex);
            if (retired.empty() && !everything)
                return;
            for (const auto &[key, n] : nodes) {
                if (everything) {
                    for (const auto &[parent, name] : n->names)
                        names.emplace_back(IdOf(parent), name);
                    continue;
                }
                const Node *top = n;
                for (size_t depth = 0; top && top->root.empty() && depth < kMaxDepth; ++depth)
                    top = top->names.empty() ? nullptr : top->names.front().first;
                if (top && retired.count(const_cast<Node *>(top)))
                    for (const auto &[parent, name] : n->names)
                        names.emplace_back(IdOf(parent), name);
            }
        }
        for (const auto &[parent, name] : names)
            InvalidateEntry(parent, name);
    }
    void InvalidateEntry(uint64_t parent, const std::string &name)
    {
        fuse_out_header out{};
        fuse_notify_inval_entry_out inval{};
        inval.parent = parent;
        inval.namelen = uint32_t(name.size());
        out.error = FUSE_NOTIFY_INVAL_ENTRY;
        out.len = uint32_t(sizeof out + sizeof inval + name.size() + 1);
        iovec iov[3] = {{&out, sizeof out}, {&inval, sizeof inval}, {const_cast<char *>(name.c_str()), name.size() + 1}};
        [[maybe_unused]] ssize_t r = ::writev(session, iov, 3);
    }
    void WantSweep()
    {
        std::lock_guard lock(mutex);
        if (retired.empty())
            return;
        sweepWanted = true;
        sweep.notify_one();
    }

    // Names deeper than this, or more paths of one object than this, are not made.
    static constexpr size_t kMaxDepth = 1u << 16;
    static constexpr size_t kMaxPaths = 4096;

    void ReleaseLocked(Node *n)
    {
        if (n == &hub || --n->refs > 0)
            return;
        for (auto &[parent, name] : n->names)
            ReleaseLocked(parent);
        if (n->root.empty())
            nodes.erase({n->dev, n->ino});
        else
            retired.erase(n);
        if (n->backing > 0)
            ::ioctl(session, fusek::kIocBackingClose, &n->backing);
        delete n; // closes its descriptor
    }

    void AddNameLocked(Node *n, Node *parent, std::string_view name)
    {
        for (const auto &[p, nm] : n->names)
            if (p == parent && nm == name)
                return;
        if (parent != &hub)
            ++parent->refs;
        n->names.emplace_back(parent, std::string(name));
    }

    // `n` lost the name `name` in `parent`; it keeps one name at least, so it can still be
    // decided on.
    void DropNameLocked(Node *n, Node *parent, std::string_view name)
    {
        auto it = std::find_if(n->names.begin(), n->names.end(),
                               [&](const auto &pn) { return pn.first == parent && pn.second == name; });
        if (it == n->names.end() || n->names.size() == 1)
            return;
        n->names.erase(it);
        ReleaseLocked(parent);
    }
};

namespace {

using State = FuseSession::State;

bool OwnThread(int tid)
{
    return tid == ::getpid() || ::access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0;
}

// Where a request's answer goes: the device it was read from, or the ring entry it came in.
class Sink {
public:
    virtual ~Sink() = default;
    // `parts[0]` is the answer's header.
    virtual void Send(iovec *parts, int count) = 0;
};

class DeviceSink : public Sink {
public:
    explicit DeviceSink(int fd) : fd_(fd) {}
    // ENOENT: the caller was interrupted and no longer waits.
    void Send(iovec *parts, int count) override { [[maybe_unused]] ssize_t r = ::writev(fd_, parts, count); }

private:
    int fd_;
};

class Request {
public:
    Request(State &st, Sink &sink, const fuse_in_header &h, const char *arg, size_t argLen)
        : st(st), sink_(sink), h(h), arg(arg), argLen(argLen)
    {
    }

    template <class T>
    const T *In() const
    {
        return argLen >= sizeof(T) ? reinterpret_cast<const T *>(arg) : nullptr;
    }
    // A NUL-terminated name at `offset` into the arguments, or null.
    const char *Name(size_t offset = 0) const
    {
        if (offset >= argLen)
            return nullptr;
        const void *end = std::memchr(arg + offset, '\0', argLen - offset);
        return end ? arg + offset : nullptr;
    }

    void Reply(int error, const void *data = nullptr, size_t len = 0)
    {
        iovec part{const_cast<void *>(data), len};
        ReplyV(error, &part, error || !len ? 0 : 1);
    }
    void ReplyV(int error, iovec *parts, int count)
    {
        fuse_out_header out{};
        out.error = -error;
        out.unique = h.unique;
        iovec iov[4];
        iov[0] = {&out, sizeof out};
        size_t total = sizeof out;
        for (int i = 0; i < count && i < 3; ++i) {
            iov[i + 1] = parts[i];
            total += parts[i].iov_len;
        }
        out.len = uint32_t(total);
        replied = true;
        // What this request did with its nodes happens before whatever the kernel sends after
        // the answer (a forget may free them): the lock makes that order visible to checkers.
        { std::lock_guard lock(st.mutex); }
        sink_.Send(iov, error ? 1 : count + 1);
    }
    void ReplyErrno() { Reply(errno ? errno : EIO); }

    // 0 to go on, or the error to answer: the policy's decision on `path` for this caller.
    int Check(const std::string &path, uint32_t ops)
    {
        const Policy *p = Policy_();
        if (!p)
            return 0;
        const Decision d = p->Decide([this]() -> const Subject & { return Subject_(); }, path, ops);
        if (!d.deny || Own())
            return 0;
        Gate_()->Denied(Subject_(), path, d);
        return Gate_()->Permissive() ? 0 : EACCES;
    }
    // The same for every name of a node: an object is covered when any of its names is.
    int CheckNode(Node *n, uint32_t ops)
    {
        const Policy *p = Policy_();
        if (!p || !p->active() || !(p->masks() & ops))
            return 0;
        bool whole = true;
        for (const std::string &path : st.Paths(n, &whole))
            if (int e = Check(path, ops))
                return e;
        return whole ? 0 : CheckUnnamed(n, ops);
    }
    // The same for `name` in `folder`, by every name of the folder.
    int CheckChild(Node *folder, std::string_view name, uint32_t ops)
    {
        const Policy *p = Policy_();
        if (!p || !p->active() || !(p->masks() & ops))
            return 0;
        bool whole = true;
        for (const std::string &path : st.Paths(folder, &whole))
            if (int e = Check(Child(path, name), ops))
                return e;
        return whole ? 0 : CheckUnnamed(folder, ops);
    }
    // Making `name` in `folder`: denied when the new object is covered, or the folder is.
    int CheckCreate(Node *folder, std::string_view name, uint32_t bit)
    {
        const Policy *p = Policy_();
        if (!p || !p->active() || !(p->masks() & bit))
            return 0;
        bool whole = true;
        for (const std::string &path : st.Paths(folder, &whole)) {
            if (int e = Check(Child(path, name), bit))
                return e;
            if (int e = Check(path, bit))
                return e;
        }
        return whole ? 0 : CheckUnnamed(folder, bit);
    }
    // An object in this view whose path cannot be told (too deep, too many names): never let
    // through to a process that a rule on anything in the view could deny `ops`.
    int CheckUnnamed(const Node *n, uint32_t ops)
    {
        const Policy *p = Policy_();
        if (!p || Own())
            return 0;
        std::string root = st.RootOf(n);
        if (root.empty())
            root = "/";
        const Decision d = p->DecideBelow(Subject_(), root, ops);
        if (!d.deny)
            return 0;
        Gate_()->Denied(Subject_(), Child(root, "(a path too deep to name)"), d);
        return Gate_()->Permissive() ? 0 : EACCES;
    }
    // Which names of `folder` are hidden from this caller's listings; `hiding` is worked out
    // again only when the policy has changed since `hidingPolicy`.
    void Hiding(const std::string &folder, std::shared_ptr<const Policy> &hidingPolicy, Policy::Children &hiding)
    {
        Policy_();
        if (hidingPolicy == policy_)
            return;
        hidingPolicy = policy_;
        hiding = policy_ && policy_->active() && !Own() ? policy_->ForChildren(Subject_(), folder, op::kList)
                                                       : Policy::Children();
    }
    // The first name a listing hides is recorded as its denial, so a long listing makes one
    // line, not thousands. True when the name is left out.
    bool Hide(const std::string &path, const Decision &d, bool &recorded)
    {
        if (!recorded) {
            recorded = true;
            Gate_()->Denied(Subject_(), path, d);
        }
        return !Gate_()->Permissive();
    }
    // How long the kernel may keep what it learns of `n`: not at all where stat is decided.
    uint64_t CacheSeconds(Node *n)
    {
        const Policy *p = Policy_();
        if (!p || !(p->masks() & op::kStat))
            return kCacheSeconds;
        bool whole = true;
        for (const std::string &path : st.Paths(n, &whole))
            if (p->Deniable(path) & op::kStat)
                return 0;
        return whole ? kCacheSeconds : 0;
    }

    State &st;
    bool replied = false;

private:
    Gatekeeper *Gate_()
    {
        if (!gate_)
            gate_ = st.Gate();
        return gate_.get();
    }
    const Policy *Policy_()
    {
        if (!policyRead_) {
            policy_ = Gate_()->Current();
            policyRead_ = true;
        }
        return policy_ && policy_->active() ? policy_.get() : nullptr;
    }
    // True when the engine itself asks (it never should; it is never denied).
    bool Own()
    {
        if (own_ < 0)
            own_ = OwnThread(int(h.pid)) ? 1 : 0;
        return own_ == 1;
    }
    const Subject &Subject_()
    {
        if (!subjectRead_) {
            subject_ = Gate_()->Who(int(h.pid));
            subjectRead_ = true;
        }
        return subject_;
    }

    Sink &sink_;

public:
    const fuse_in_header &h;
    const char *arg;
    size_t argLen;

private:
    std::shared_ptr<Gatekeeper> gate_;
    std::shared_ptr<const Policy> policy_;
    bool policyRead_ = false;
    Subject subject_;
    bool subjectRead_ = false;
    int own_ = -1;
};

// Finds or makes the node of `name` in `parent` and fills the entry reply.
int Lookup(Request &r, Node *parent, const char *name, fuse_entry_out &e)
{
    State &st = r.st;
    std::memset(&e, 0, sizeof e);
    UniqueFd fd(::openat(parent->fd.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return errno;
    struct stat s;
    if (::fstatat(fd.get(), "", &s, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    Node *n;
    {
        std::lock_guard lock(st.mutex);
        auto it = st.nodes.find({s.st_dev, s.st_ino});
        if (it != st.nodes.end()) {
            n = it->second;
            fd.reset();
        } else {
            n = new Node;
            n->fd = std::move(fd);
            n->dev = s.st_dev;
            n->ino = s.st_ino;
            n->type = s.st_mode & S_IFMT;
            st.nodes.emplace(std::make_pair(s.st_dev, s.st_ino), n);
        }
        st.AddNameLocked(n, parent, name);
        if (n->nlookup++ == 0)
            ++n->refs;
        if (st.nodes.size() > st.nodeHigh && !st.shrinkWanted && std::chrono::steady_clock::now() >= st.nextShrink) {
            st.shrinkWanted = true;
            st.sweep.notify_one();
        }
    }
    e.nodeid = st.IdOf(n);
    e.entry_valid = e.attr_valid = r.CacheSeconds(n);
    FillAttr(e.attr, s);
    return 0;
}

void ReplyEntry(Request &r, Node *parent, const char *name)
{
    fuse_entry_out e;
    if (int err = Lookup(r, parent, name, e))
        return r.Reply(err);
    r.Reply(0, &e, sizeof e);
}

void Forget(State &st, uint64_t id, uint64_t count)
{
    Node *n = st.NodeOf(id);
    if (n == &st.hub)
        return;
    std::lock_guard lock(st.mutex);
    n->nlookup -= std::min(count, n->nlookup);
    if (n->nlookup == 0)
        st.ReleaseLocked(n);
}

// New objects belong to the caller, as if it had made them itself.
void Own(Request &r, Node *parent, const char *name)
{
    struct stat folder{};
    gid_t gid = r.h.gid;
    if (::fstatat(parent->fd.get(), "", &folder, AT_EMPTY_PATH) == 0 && (folder.st_mode & S_ISGID))
        gid = folder.st_gid;
    [[maybe_unused]] int rc = ::fchownat(parent->fd.get(), name, r.h.uid, gid, AT_SYMLINK_NOFOLLOW);
}

// Creations apply the caller's umask (each worker has its own file-system context).
class CallerUmask {
public:
    explicit CallerUmask(uint32_t mask) : old_(::umask(mode_t(mask & 07777))) {}
    ~CallerUmask() { ::umask(old_); }

private:
    mode_t old_;
};

uint32_t OpenOps(uint32_t flags)
{
    uint32_t ops = op::kOpen;
    if (flags & fusek::kOpenForExec)
        return ops | op::kExecute;
    const uint32_t acc = flags & O_ACCMODE;
    if (acc == O_RDONLY || acc == O_RDWR)
        ops |= op::kRead;
    if (acc == O_WRONLY || acc == O_RDWR || (flags & O_TRUNC))
        ops |= op::kWrite;
    return ops;
}

// Registers the node's file with the kernel once; every later open reuses it.
int32_t Backing(State &st, Node *n, int fdHint = -1)
{
    std::lock_guard lock(st.mutex);
    if (n->backing > 0)
        return n->backing;
    UniqueFd opened;
    if (fdHint < 0)
        opened.reset(::open(ProcFd(n->fd.get()).c_str(), O_RDONLY | O_CLOEXEC));
    const int fd = fdHint >= 0 ? fdHint : opened.get();
    if (fd < 0)
        return -errno;
    fusek::BackingMap map{fd, 0, 0};
    const int id = ::ioctl(st.session, fusek::kIocBackingOpen, &map);
    const int err = errno;
    opened.reset();
    if (id <= 0)
        return -(err ? err : EIO);
    n->backing = id;
    return id;
}

// `through`: the kernel may pass reads and writes to the file without the engine. The file goes
// to the kernel's handle (closed at its release), or is closed here.
int OpenedReply(Request &r, Node *n, UniqueFd fd, fusek::OpenOut &out, bool through = true)
{
    out = {};
    if (r.st.passthrough && through) {
        const int32_t id = Backing(r.st, n, fd.get());
        fd.reset();
        if (id < 0)
            return -id;
        out.openFlags = fusek::kOpenPassthrough;
        out.backingId = id;
    } else {
        out.fh = uint64_t(fd.release());
    }
    return 0;
}

void StartRings(State &st);

void OnInit(Request &r)
{
    const auto *in = r.In<fuse_init_in>();
    if (!in)
        return r.Reply(EINVAL);
    fusek::InitOut out{};
    out.major = FUSE_KERNEL_VERSION;
    out.minor = fusek::kMinor;
    if (in->major != FUSE_KERNEL_VERSION)
        return r.Reply(0, &out, 8); // the kernel will offer its major again or give up
    uint64_t have = in->flags;
    if (in->flags & FUSE_INIT_EXT)
        have |= uint64_t(in->flags2) << 32;
    uint64_t want = FUSE_ASYNC_READ | FUSE_ATOMIC_O_TRUNC | FUSE_BIG_WRITES | FUSE_DONT_MASK | FUSE_AUTO_INVAL_DATA |
                    FUSE_PARALLEL_DIROPS | FUSE_MAX_PAGES | FUSE_POSIX_ACL | FUSE_CACHE_SYMLINKS | FUSE_INIT_EXT |
                    fusek::kInitPassthrough | (r.st.ringAllowed ? fusek::kInitOverIoUring : 0);
    want &= have;
    r.st.passthrough = (want & fusek::kInitPassthrough) != 0;
    out.maxReadahead = in->max_readahead;
    out.flags = uint32_t(want);
    out.flags2 = uint32_t(want >> 32);
    out.maxBackground = 64;
    out.congestionThreshold = 48;
    out.maxWrite = kMaxWrite;
    out.timeGran = 1;
    out.maxPages = kMaxPages;
    out.maxStackDepth = r.st.passthrough ? 1 : 0;
    r.Reply(0, &out, sizeof out);
    if (want & fusek::kInitOverIoUring)
        StartRings(r.st);
}

void OnGetattr(Request &r, Node *n)
{
    if (int e = r.CheckNode(n, op::kStat))
        return r.Reply(e);
    struct stat s;
    if (::fstatat(n->fd.get(), "", &s, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0)
        return r.ReplyErrno();
    fuse_attr_out out{};
    out.attr_valid = r.CacheSeconds(n);
    FillAttr(out.attr, s);
    r.Reply(0, &out, sizeof out);
}

// A path that reaches the object itself for calls that take one: through its descriptor, or for
// a symbolic link (which such a path would follow), through its folder.
std::string ObjectPath(State &st, Node *n, bool &noFollow)
{
    noFollow = n->type == S_IFLNK;
    if (!noFollow)
        return ProcFd(n->fd.get());
    std::lock_guard lock(st.mutex);
    if (n->names.empty())
        return ProcFd(n->fd.get());
    return ProcFd(n->names.front().first->fd.get()) + "/" + n->names.front().second;
}

int SetTimes(State &st, Node *n, const fuse_setattr_in &in)
{
    timespec tv[2];
    tv[0].tv_sec = tv[1].tv_sec = 0;
    tv[0].tv_nsec = tv[1].tv_nsec = UTIME_OMIT;
    if (in.valid & FATTR_ATIME_NOW)
        tv[0].tv_nsec = UTIME_NOW;
    else if (in.valid & FATTR_ATIME)
        tv[0] = {time_t(in.atime), long(in.atimensec)};
    if (in.valid & FATTR_MTIME_NOW)
        tv[1].tv_nsec = UTIME_NOW;
    else if (in.valid & FATTR_MTIME)
        tv[1] = {time_t(in.mtime), long(in.mtimensec)};
    bool noFollow;
    const std::string path = ObjectPath(st, n, noFollow);
    return ::utimensat(AT_FDCWD, path.c_str(), tv, noFollow ? AT_SYMLINK_NOFOLLOW : 0);
}

void OnSetattr(Request &r, Node *n)
{
    const auto *in = r.In<fuse_setattr_in>();
    if (!in)
        return r.Reply(EINVAL);
    uint32_t ops = 0;
    if (in->valid & (FATTR_MODE | FATTR_UID | FATTR_GID))
        ops |= op::kSetAttributes;
    if (in->valid & FATTR_SIZE)
        ops |= op::kWrite;
    if (in->valid & (FATTR_ATIME | FATTR_ATIME_NOW))
        ops |= op::kSetLastAccessTime;
    if (in->valid & (FATTR_MTIME | FATTR_MTIME_NOW))
        ops |= op::kSetModificationTime;
    // Changes to the object itself need opening it too.
    if (ops)
        if (int e = r.CheckNode(n, ops | op::kOpen))
            return r.Reply(e);
    const std::string proc = ProcFd(n->fd.get());
    int rc = 0;
    if ((in->valid & FATTR_MODE) && n->type != S_IFLNK)
        rc = ::chmod(proc.c_str(), in->mode & 07777);
    if (rc == 0 && (in->valid & (FATTR_UID | FATTR_GID))) {
        const uid_t uid = (in->valid & FATTR_UID) ? in->uid : uid_t(-1);
        const gid_t gid = (in->valid & FATTR_GID) ? in->gid : gid_t(-1);
        rc = ::fchownat(n->fd.get(), "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
    }
    if (rc == 0 && (in->valid & FATTR_SIZE))
        rc = ::truncate(proc.c_str(), off_t(in->size));
    if (rc == 0 && (in->valid & (FATTR_ATIME | FATTR_MTIME | FATTR_ATIME_NOW | FATTR_MTIME_NOW)))
        rc = SetTimes(r.st, n, *in);
    if (rc != 0)
        return r.ReplyErrno();
    OnGetattr(r, n);
}

void OnReadlink(Request &r, Node *n)
{
    char buf[PATH_MAX];
    const ssize_t len = ::readlinkat(n->fd.get(), "", buf, sizeof buf);
    if (len < 0)
        return r.ReplyErrno();
    r.Reply(0, buf, size_t(len));
}

void OnMake(Request &r, Node *parent, const char *name, uint32_t bit, const std::function<int()> &make)
{
    if (!name)
        return r.Reply(EINVAL);
    if (int e = r.CheckCreate(parent, name, bit))
        return r.Reply(e);
    if (make() != 0)
        return r.ReplyErrno();
    Own(r, parent, name);
    ReplyEntry(r, parent, name);
}

// The node (if the kernel knows it) that `name` in `parent` names now.
Node *Known(State &st, Node *parent, const char *name)
{
    struct stat s;
    if (::fstatat(parent->fd.get(), name, &s, AT_SYMLINK_NOFOLLOW) != 0)
        return nullptr;
    std::lock_guard lock(st.mutex);
    auto it = st.nodes.find({s.st_dev, s.st_ino});
    return it == st.nodes.end() ? nullptr : it->second;
}

void OnRemove(Request &r, Node *parent, uint32_t bit, int flags)
{
    const char *name = r.Name();
    if (!name)
        return r.Reply(EINVAL);
    // Removing an object is done to the object itself: it needs opening it too.
    if (int e = r.CheckChild(parent, name, bit | op::kOpen))
        return r.Reply(e);
    Node *gone = Known(r.st, parent, name);
    if (::unlinkat(parent->fd.get(), name, flags) != 0)
        return r.ReplyErrno();
    if (gone) {
        std::lock_guard lock(r.st.mutex);
        r.st.DropNameLocked(gone, parent, name);
    }
    r.Reply(0);
}

void Rename(Request &r, Node *from, const char *name, uint64_t newdir, const char *newname, uint32_t flags)
{
    State &st = r.st;
    if (!name || !newname)
        return r.Reply(EINVAL);
    Node *to = st.NodeOf(newdir);
    struct stat s{}, t{};
    const bool isDir = ::fstatat(from->fd.get(), name, &s, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(s.st_mode);
    const bool exists = ::fstatat(to->fd.get(), newname, &t, AT_SYMLINK_NOFOLLOW) == 0;
    const bool exchange = flags & RENAME_EXCHANGE;
    // Moving an object, or replacing one, is done to the object itself: it needs opening it too.
    if (int e = r.CheckChild(from, name, (exchange ? op::kRename | op::kReplace : op::kRename) | op::kOpen))
        return r.Reply(e);
    if (exists) {
        if (int e = r.CheckChild(to, newname, (exchange ? op::kRename | op::kReplace : op::kReplace) | op::kOpen))
            return r.Reply(e);
    } else if (int e = r.CheckCreate(to, newname, isDir ? op::kDirCreate : op::kCreate)) {
        return r.Reply(e);
    }
    Node *moved = Known(st, from, name);
    Node *other = exists ? Known(st, to, newname) : nullptr;
    if (::renameat2(from->fd.get(), name, to->fd.get(), newname, flags) != 0)
        return r.ReplyErrno();
    {
        std::lock_guard lock(st.mutex);
        if (other && !exchange)
            st.DropNameLocked(other, to, newname);
        const auto rename = [&](Node *n, Node *oldParent, const char *oldName, Node *newParent, const char *newName) {
            if (!n)
                return;
            auto it = std::find_if(n->names.begin(), n->names.end(),
                                   [&](const auto &pn) { return pn.first == oldParent && pn.second == oldName; });
            if (it == n->names.end())
                return;
            ++newParent->refs;
            Node *released = it->first;
            *it = {newParent, newName};
            st.ReleaseLocked(released);
        };
        rename(moved, from, name, to, newname);
        if (exchange)
            rename(other, to, newname, from, name);
    }
    r.Reply(0);
}

void OnLink(Request &r, Node *parent)
{
    State &st = r.st;
    const auto *in = r.In<fuse_link_in>();
    const char *name = r.Name(sizeof(fuse_link_in));
    if (!in || !name)
        return r.Reply(EINVAL);
    Node *n = st.NodeOf(in->oldnodeid);
    // A new name for an object is made through the object: it needs opening it.
    if (int e = r.CheckNode(n, op::kOpen))
        return r.Reply(e);
    if (int e = r.CheckCreate(parent, name, op::kCreate))
        return r.Reply(e);
    // The new name joins the object's others: decisions on it weigh every name it has.
    if (::linkat(n->fd.get(), "", parent->fd.get(), name, AT_EMPTY_PATH) != 0)
        return r.ReplyErrno();
    ReplyEntry(r, parent, name);
}

// An append-only or immutable file refuses through the view what it refuses without it: the
// view's own inode does not carry those attributes. 0 or the error; `appendOnly` says which.
int FileAttributesRefuse(Node *n, uint32_t flags, bool &appendOnly)
{
    appendOnly = false;
    struct statx x{};
    if (::statx(n->fd.get(), "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_TYPE, &x) != 0)
        return errno;
    const bool writes = (flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC);
    if ((x.stx_attributes & STATX_ATTR_IMMUTABLE) && writes)
        return EPERM;
    if (x.stx_attributes & STATX_ATTR_APPEND) {
        appendOnly = true;
        if (writes && (!(flags & O_APPEND) || (flags & O_TRUNC)))
            return EPERM;
    }
    return 0;
}

void OnOpen(Request &r, Node *n)
{
    const auto *in = r.In<fuse_open_in>();
    if (!in)
        return r.Reply(EINVAL);
    if (int e = r.CheckNode(n, OpenOps(in->flags)))
        return r.Reply(e);
    bool appendOnly = false;
    if (int e = FileAttributesRefuse(n, in->flags, appendOnly))
        return r.Reply(e);
    UniqueFd fd;
    // An append-only file's writes go through the engine's own descriptor, opened to append:
    // the caller may drop O_APPEND later, which a file passed through would then let it.
    if (!r.st.passthrough || (in->flags & O_TRUNC) || appendOnly) {
        const int flags = int(in->flags) & ~(O_CREAT | O_EXCL | O_NOCTTY | O_NOFOLLOW | int(fusek::kOpenForExec));
        fd.reset(::open(ProcFd(n->fd.get()).c_str(), flags | O_CLOEXEC));
        if (!fd)
            return r.ReplyErrno();
    }
    fusek::OpenOut out;
    if (int e = OpenedReply(r, n, std::move(fd), out, !appendOnly))
        return r.Reply(e);
    r.Reply(0, &out, sizeof out);
}

void OnCreate(Request &r, Node *parent)
{
    const auto *in = r.In<fuse_create_in>();
    const char *name = r.Name(sizeof(fuse_create_in));
    if (!in || !name)
        return r.Reply(EINVAL);
    if (int e = r.CheckCreate(parent, name, op::kCreate))
        return r.Reply(e);
    if (int e = r.CheckChild(parent, name, OpenOps(in->flags)))
        return r.Reply(e);
    const int flags = int(in->flags | O_CREAT) & ~(O_NOCTTY | int(fusek::kOpenForExec));
    UniqueFd fd;
    {
        CallerUmask umask(in->umask);
        fd.reset(::openat(parent->fd.get(), name, flags | O_NOFOLLOW | O_CLOEXEC, mode_t(in->mode)));
    }
    if (!fd)
        return r.ReplyErrno();
    Own(r, parent, name);
    fuse_entry_out e;
    if (int err = Lookup(r, parent, name, e))
        return r.Reply(err);
    // A file that was there after all and is append-only keeps its writes with the engine too.
    struct statx x{};
    const bool appendOnly = ::statx(fd.get(), "", AT_EMPTY_PATH, STATX_TYPE, &x) == 0 && (x.stx_attributes & STATX_ATTR_APPEND);
    fusek::OpenOut out;
    if (int err = OpenedReply(r, r.st.NodeOf(e.nodeid), std::move(fd), out, !appendOnly)) {
        Forget(r.st, e.nodeid, 1);
        return r.Reply(err);
    }
    iovec parts[2] = {{&e, sizeof e}, {&out, sizeof out}};
    r.ReplyV(0, parts, 2);
}

void OnRead(Request &r)
{
    const auto *in = r.In<fuse_read_in>();
    if (!in || !in->fh)
        return r.Reply(in ? EIO : EINVAL);
    std::vector<char> buf(std::min<uint32_t>(in->size, kMaxWrite));
    const ssize_t n = ::pread(int(in->fh), buf.data(), buf.size(), off_t(in->offset));
    if (n < 0)
        return r.ReplyErrno();
    r.Reply(0, buf.data(), size_t(n));
}

void OnWrite(Request &r)
{
    const auto *in = r.In<fuse_write_in>();
    if (!in || !in->fh || r.argLen < sizeof *in + in->size)
        return r.Reply(in ? EIO : EINVAL);
    const ssize_t n = ::pwrite(int(in->fh), r.arg + sizeof *in, in->size, off_t(in->offset));
    if (n < 0)
        return r.ReplyErrno();
    fuse_write_out out{uint32_t(n), 0};
    r.Reply(0, &out, sizeof out);
}

void OnRelease(Request &r)
{
    const auto *in = r.In<fuse_release_in>();
    if (in && in->fh) // files passed through have none
        ::close(int(in->fh));
    r.Reply(0);
    r.st.WantSweep();
}

// An fd of the object for calls that need one (sync, allocate).
int Reopen(Node *n, int flags)
{
    return ::open(ProcFd(n->fd.get()).c_str(), flags | O_CLOEXEC);
}

void OnFsync(Request &r, Node *n)
{
    const auto *in = r.In<fuse_fsync_in>();
    UniqueFd fd(Reopen(n, O_RDONLY));
    if (!fd)
        return r.ReplyErrno();
    const int rc = in && (in->fsync_flags & FUSE_FSYNC_FDATASYNC) ? ::fdatasync(fd.get()) : ::fsync(fd.get());
    const int err = errno;
    fd.reset();
    r.Reply(rc == 0 ? 0 : err);
}

void OnFallocate(Request &r, Node *n)
{
    const auto *in = r.In<fuse_fallocate_in>();
    if (!in)
        return r.Reply(EINVAL);
    if (int e = r.CheckNode(n, op::kWrite))
        return r.Reply(e);
    UniqueFd fd(Reopen(n, O_WRONLY));
    if (!fd)
        return r.ReplyErrno();
    const int rc = ::fallocate(fd.get(), int(in->mode), off_t(in->offset), off_t(in->length));
    const int err = errno;
    fd.reset();
    r.Reply(rc == 0 ? 0 : err);
}

void OnOpendir(Request &r, Node *n)
{
    if (int e = r.CheckNode(n, op::kOpen | op::kRead))
        return r.Reply(e);
    auto h = std::make_unique<DirHandle>();
    {
        // Filled under its lock: the listings that use it run on other threads.
        std::lock_guard lock(h->mutex);
        h->fd.reset(::openat(n->fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!h->fd)
            return r.ReplyErrno();
        h->path = r.st.PathOf(n);
    }
    fuse_open_out out{};
    out.fh = reinterpret_cast<uint64_t>(h.release());
    r.Reply(0, &out, sizeof out);
}

struct LinuxDirent64 {
    uint64_t ino;
    int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[];
};

// Fills `out` with the listing from the handle's position on; 0 or the error. A hidden name's
// place is taken by the name shown before it (its offset moves on), so the kernel's next request
// starts where this one stopped and the folder is never read from its start again.
int FillListing(Request &r, DirHandle *h, uint64_t offset, std::vector<char> &out, size_t &used)
{
    std::lock_guard lock(h->mutex);
    r.Hiding(h->path, h->hidingPolicy, h->hiding);
    if (offset != h->next || (offset == 0 && h->len == 0)) {
        ::lseek(h->fd.get(), off_t(offset), SEEK_SET);
        h->pos = h->len = 0;
        h->next = offset;
    }
    fuse_dirent *shown = nullptr; // the last name put in `out`
    for (;;) {
        if (h->pos >= h->len) {
            const long n = ::syscall(SYS_getdents64, h->fd.get(), h->buf.data(), h->buf.size());
            if (n < 0)
                return used == 0 ? errno : 0;
            if (n == 0)
                return 0;
            h->pos = 0;
            h->len = size_t(n);
        }
        const auto *d = reinterpret_cast<const LinuxDirent64 *>(h->buf.data() + h->pos);
        const size_t nameLen = ::strnlen(d->name, h->len - h->pos - offsetof(LinuxDirent64, name));
        const std::string_view name(d->name, nameLen);
        const bool dots = name == "." || name == "..";
        if (!dots && !h->hiding.empty()) {
            const Decision hidden = h->hiding.Decide(name);
            if (hidden.deny && r.Hide(Child(h->path, name), hidden, h->hidRecorded)) {
                h->pos += d->reclen;
                h->next = uint64_t(d->off);
                if (shown)
                    shown->off = h->next;
                continue;
            }
        }
        const size_t size = FUSE_DIRENT_ALIGN(FUSE_NAME_OFFSET + nameLen);
        if (used + size > out.size())
            return 0;
        auto *fd = reinterpret_cast<fuse_dirent *>(out.data() + used);
        fd->ino = d->ino;
        fd->off = uint64_t(d->off);
        fd->namelen = uint32_t(nameLen);
        fd->type = d->type;
        std::memcpy(fd->name, d->name, nameLen);
        std::memset(fd->name + nameLen, 0, size - FUSE_NAME_OFFSET - nameLen);
        shown = fd;
        used += size;
        h->pos += d->reclen;
        h->next = uint64_t(d->off);
    }
}

void OnReaddir(Request &r)
{
    const auto *in = r.In<fuse_read_in>();
    if (!in || !in->fh)
        return r.Reply(EINVAL);
    std::vector<char> out(std::min<uint32_t>(in->size, kMaxWrite));
    size_t used = 0;
    // The answer goes after the handle is let go: the kernel may release it at once.
    if (int err = FillListing(r, reinterpret_cast<DirHandle *>(in->fh), in->offset, out, used))
        return r.Reply(err);
    r.Reply(0, out.data(), used);
}

void OnReleasedir(Request &r)
{
    const auto *in = r.In<fuse_release_in>();
    if (in && in->fh) {
        auto *h = reinterpret_cast<DirHandle *>(in->fh);
        {
            std::lock_guard lock(h->mutex); // after the last listing that used it
            h->fd.reset();
        }
        delete h;
    }
    r.Reply(0);
    r.st.WantSweep();
}

void OnStatfs(Request &r, Node *n)
{
    struct statfs s;
    if (::fstatfs(n->fd.get(), &s) != 0)
        return r.ReplyErrno();
    fuse_statfs_out out{};
    out.st.blocks = s.f_blocks;
    out.st.bfree = s.f_bfree;
    out.st.bavail = s.f_bavail;
    out.st.files = s.f_files;
    out.st.ffree = s.f_ffree;
    out.st.bsize = uint32_t(s.f_bsize);
    out.st.namelen = uint32_t(s.f_namelen);
    out.st.frsize = uint32_t(s.f_frsize);
    r.Reply(0, &out, sizeof out);
}

void OnSetxattr(Request &r, Node *n)
{
    const auto *in = r.In<fuse_setxattr_in>();
    constexpr size_t head = FUSE_COMPAT_SETXATTR_IN_SIZE;
    const char *name = r.Name(head);
    if (!in || !name)
        return r.Reply(EINVAL);
    const size_t valueAt = head + std::strlen(name) + 1;
    if (r.argLen < valueAt + in->size)
        return r.Reply(EINVAL);
    if (int e = r.CheckNode(n, op::kSetAttributes | op::kOpen))
        return r.Reply(e);
    bool noFollow;
    const std::string path = ObjectPath(r.st, n, noFollow);
    const int rc = noFollow ? ::lsetxattr(path.c_str(), name, r.arg + valueAt, in->size, int(in->flags))
                            : ::setxattr(path.c_str(), name, r.arg + valueAt, in->size, int(in->flags));
    r.Reply(rc == 0 ? 0 : errno);
}

void OnRemovexattr(Request &r, Node *n)
{
    const char *name = r.Name();
    if (!name)
        return r.Reply(EINVAL);
    if (int e = r.CheckNode(n, op::kSetAttributes | op::kOpen))
        return r.Reply(e);
    bool noFollow;
    const std::string path = ObjectPath(r.st, n, noFollow);
    const int rc = noFollow ? ::lremovexattr(path.c_str(), name) : ::removexattr(path.c_str(), name);
    r.Reply(rc == 0 ? 0 : errno);
}

void OnGetxattr(Request &r, Node *n, bool list)
{
    const auto *in = r.In<fuse_getxattr_in>();
    const char *name = list ? "" : r.Name(sizeof(fuse_getxattr_in));
    if (!in || !name)
        return r.Reply(EINVAL);
    bool noFollow;
    const std::string path = ObjectPath(r.st, n, noFollow);
    std::vector<char> buf(std::min<uint32_t>(in->size, 1u << 16));
    ssize_t len;
    if (list)
        len = noFollow ? ::llistxattr(path.c_str(), buf.data(), buf.size()) : ::listxattr(path.c_str(), buf.data(), buf.size());
    else
        len = noFollow ? ::lgetxattr(path.c_str(), name, buf.data(), buf.size())
                       : ::getxattr(path.c_str(), name, buf.data(), buf.size());
    if (len < 0)
        return r.ReplyErrno();
    if (in->size == 0) {
        fuse_getxattr_out out{uint32_t(len), 0};
        return r.Reply(0, &out, sizeof out);
    }
    r.Reply(0, buf.data(), size_t(len));
}

// The file system's own root: only the engine reaches it, to bind the views' roots.
void OnHub(Request &r)
{
    State &st = r.st;
    if (r.h.opcode == FUSE_GETATTR) {
        fuse_attr_out out{};
        out.attr.ino = FUSE_ROOT_ID;
        out.attr.mode = S_IFDIR | 0500;
        out.attr.nlink = 2;
        out.attr_valid = kHubSeconds;
        return r.Reply(0, &out, sizeof out);
    }
    if (r.h.opcode != FUSE_LOOKUP || !OwnThread(int(r.h.pid)))
        return r.Reply(EACCES);
    const char *name = r.Name();
    Node *root = nullptr;
    {
        std::lock_guard lock(st.mutex);
        auto it = name ? st.views.find(name) : st.views.end();
        if (it != st.views.end()) {
            root = it->second;
            if (root->nlookup++ == 0)
                ++root->refs;
        }
    }
    if (!root)
        return r.Reply(ENOENT);
    struct stat s{};
    ::fstatat(root->fd.get(), "", &s, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
    fuse_entry_out e{};
    e.nodeid = st.IdOf(root);
    e.entry_valid = kHubSeconds;
    e.attr_valid = r.CacheSeconds(root);
    FillAttr(e.attr, s);
    r.Reply(0, &e, sizeof e);
}

void Handle(Request &r)
{
    State &st = r.st;
    const fuse_in_header &h = r.h;
    if (h.opcode == FUSE_INIT)
        return OnInit(r);
    if (h.opcode == FUSE_FORGET) {
        if (const auto *in = r.In<fuse_forget_in>())
            Forget(st, h.nodeid, in->nlookup);
        return;
    }
    if (h.opcode == FUSE_BATCH_FORGET) {
        const auto *in = r.In<fuse_batch_forget_in>();
        if (!in)
            return;
        const size_t room = (r.argLen - sizeof *in) / sizeof(fuse_forget_one);
        const auto *one = reinterpret_cast<const fuse_forget_one *>(r.arg + sizeof *in);
        for (size_t i = 0; i < std::min<size_t>(in->count, room); ++i)
            Forget(st, one[i].nodeid, one[i].nlookup);
        return;
    }
    if (h.opcode == FUSE_INTERRUPT || h.opcode == FUSE_NOTIFY_REPLY)
        return;
    Node *n = st.NodeOf(h.nodeid);
    if (n == &st.hub)
        return OnHub(r);
    switch (h.opcode) {
    case FUSE_LOOKUP:
        if (const char *name = r.Name())
            return ReplyEntry(r, n, name);
        return r.Reply(EINVAL);
    case FUSE_GETATTR:
        return OnGetattr(r, n);
    case FUSE_SETATTR:
        return OnSetattr(r, n);
    case FUSE_READLINK:
        return OnReadlink(r, n);
    case FUSE_SYMLINK: {
        const char *name = r.Name();
        const char *target = name ? r.Name(std::strlen(name) + 1) : nullptr;
        if (!target)
            return r.Reply(EINVAL);
        return OnMake(r, n, name, op::kCreate, [&] { return ::symlinkat(target, n->fd.get(), name); });
    }
    case FUSE_MKNOD: {
        const auto *in = r.In<fuse_mknod_in>();
        const char *name = r.Name(sizeof(fuse_mknod_in));
        if (!in)
            return r.Reply(EINVAL);
        return OnMake(r, n, name, op::kCreate, [&] {
            CallerUmask umask(in->umask);
            return ::mknodat(n->fd.get(), name, mode_t(in->mode), dev_t(in->rdev));
        });
    }
    case FUSE_MKDIR: {
        const auto *in = r.In<fuse_mkdir_in>();
        const char *name = r.Name(sizeof(fuse_mkdir_in));
        if (!in)
            return r.Reply(EINVAL);
        return OnMake(r, n, name, op::kDirCreate, [&] {
            CallerUmask umask(in->umask);
            return ::mkdirat(n->fd.get(), name, mode_t(in->mode));
        });
    }
    case FUSE_UNLINK:
        return OnRemove(r, n, op::kDelete, 0);
    case FUSE_RMDIR:
        return OnRemove(r, n, op::kDirDelete, AT_REMOVEDIR);
    case FUSE_RENAME: {
        const auto *in = r.In<fuse_rename_in>();
        const char *name = r.Name(sizeof(fuse_rename_in));
        const char *newname = name ? r.Name(sizeof(fuse_rename_in) + std::strlen(name) + 1) : nullptr;
        if (!in)
            return r.Reply(EINVAL);
        return Rename(r, n, name, in->newdir, newname, 0);
    }
    case FUSE_RENAME2: {
        const auto *in = r.In<fuse_rename2_in>();
        const char *name = r.Name(sizeof(fuse_rename2_in));
        const char *newname = name ? r.Name(sizeof(fuse_rename2_in) + std::strlen(name) + 1) : nullptr;
        if (!in)
            return r.Reply(EINVAL);
        return Rename(r, n, name, in->newdir, newname, in->flags);
    }
    case FUSE_LINK:
        return OnLink(r, n);
    case FUSE_OPEN:
        return OnOpen(r, n);
    case FUSE_CREATE:
        return OnCreate(r, n);
    case FUSE_READ:
        return OnRead(r);
    case FUSE_WRITE:
        return OnWrite(r);
    case FUSE_RELEASE:
        return OnRelease(r);
    case FUSE_FSYNC:
        return OnFsync(r, n);
    case FUSE_FALLOCATE:
        return OnFallocate(r, n);
    case FUSE_OPENDIR:
        return OnOpendir(r, n);
    case FUSE_READDIR:
        return OnReaddir(r);
    case FUSE_RELEASEDIR:
        return OnReleasedir(r);
    case FUSE_FSYNCDIR: {
        const auto *in = r.In<fuse_fsync_in>();
        if (!in || !in->fh)
            return r.Reply(EINVAL);
        auto *dir = reinterpret_cast<DirHandle *>(in->fh);
        int err = 0;
        {
            std::lock_guard lock(dir->mutex);
            if (::fsync(dir->fd.get()) != 0)
                err = errno;
        }
        return r.Reply(err);
    }
    case FUSE_STATFS:
        return OnStatfs(r, n);
    case FUSE_SETXATTR:
        return OnSetxattr(r, n);
    case FUSE_GETXATTR:
        return OnGetxattr(r, n, false);
    case FUSE_LISTXATTR:
        return OnGetxattr(r, n, true);
    case FUSE_REMOVEXATTR:
        return OnRemovexattr(r, n);
    case FUSE_DESTROY:
        return r.Reply(0);
    default:
        // FLUSH, ACCESS, LSEEK, COPY_FILE_RANGE, IOCTL, POLL, TMPFILE and newer requests: the
        // kernel then does without them or falls back to the ones above.
        return r.Reply(ENOSYS);
    }
}

// Handles one request; false when it needed no answer (or was not one).
bool Dispatch(State &st, Sink &sink, const char *buf, size_t len)
{
    if (len < sizeof(fuse_in_header))
        return false;
    const auto &h = *reinterpret_cast<const fuse_in_header *>(buf);
    if (h.len != len)
        return false;
    Request r(st, sink, h, buf + sizeof h, len - sizeof h);
    Handle(r);
    return r.replied;
}

// Sweeps the views taken down when a file is closed, and now and then while any is left (a
// process may leave a folder it worked in without closing anything); and when the objects the
// kernel knows grow too many, asks it to let go of those not in use.
void Sweeper(std::shared_ptr<State> st)
{
    std::unique_lock lock(st->mutex);
    while (!st->ending) {
        st->sweep.wait_for(lock, std::chrono::seconds(5), [&] { return st->ending || st->sweepWanted || st->shrinkWanted; });
        if (st->ending)
            break;
        const bool shrink = st->nodes.size() > st->nodeHigh && std::chrono::steady_clock::now() >= st->nextShrink;
        const bool sweep = st->sweepWanted || !st->retired.empty();
        st->sweepWanted = false;
        st->shrinkWanted = false;
        if (!shrink && !sweep)
            continue;
        if (shrink)
            st->nextShrink = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        lock.unlock();
        st->SweepRetired(shrink);
        lock.lock();
    }
}

void Worker(std::shared_ptr<State> st, int fd)
{
    // A file-system context of its own, so creations can take each caller's umask.
    ::unshare(CLONE_FS);
    std::vector<char> buf(kBufferSize);
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR || errno == ENOENT || errno == EAGAIN)
                continue;
            break; // ENODEV: the mount is gone and its last user has left
        }
        DeviceSink sink(fd);
        Dispatch(*st, sink, buf.data(), size_t(n));
    }
    if (fd != st->session)
        ::close(fd);
}

// The size of an operation's own header, which a ring entry carries apart from the rest of its
// arguments (operations without one: 0).
size_t RingHeaderSize(uint32_t opcode)
{
    switch (opcode) {
    case FUSE_GETATTR:
        return sizeof(fuse_getattr_in);
    case FUSE_SETATTR:
        return sizeof(fuse_setattr_in);
    case FUSE_MKNOD:
        return sizeof(fuse_mknod_in);
    case FUSE_MKDIR:
        return sizeof(fuse_mkdir_in);
    case FUSE_RENAME:
        return sizeof(fuse_rename_in);
    case FUSE_RENAME2:
        return sizeof(fuse_rename2_in);
    case FUSE_LINK:
        return sizeof(fuse_link_in);
    case FUSE_OPEN:
    case FUSE_OPENDIR:
        return sizeof(fuse_open_in);
    case FUSE_READ:
    case FUSE_READDIR:
    case FUSE_READDIRPLUS:
        return sizeof(fuse_read_in);
    case FUSE_WRITE:
        return sizeof(fuse_write_in);
    case FUSE_RELEASE:
    case FUSE_RELEASEDIR:
        return sizeof(fuse_release_in);
    case FUSE_FSYNC:
    case FUSE_FSYNCDIR:
        return sizeof(fuse_fsync_in);
    case FUSE_SETXATTR:
        return FUSE_COMPAT_SETXATTR_IN_SIZE;
    case FUSE_GETXATTR:
    case FUSE_LISTXATTR:
        return sizeof(fuse_getxattr_in);
    case FUSE_FLUSH:
        return sizeof(fuse_flush_in);
    case FUSE_ACCESS:
        return sizeof(fuse_access_in);
    case FUSE_CREATE:
        return sizeof(fuse_create_in);
    case FUSE_FALLOCATE:
        return sizeof(fuse_fallocate_in);
    case FUSE_LSEEK:
        return sizeof(fuse_lseek_in);
    case FUSE_COPY_FILE_RANGE:
        return sizeof(fuse_copy_file_range_in);
    default:
        return 0; // lookup, unlink, rmdir, symlink, removexattr, readlink, statfs: names only
    }
}

// One ring entry: the request arrives in its buffers and the answer leaves through them.
class RingEntry : public Sink {
public:
    RingEntry(io_uring &ring, int session, uint16_t qid)
        : ring_(ring), session_(session), qid_(qid), headers_(new fusek::RingHeaders{}), payload_(kBufferSize)
    {
        iov_[0] = {headers_.get(), sizeof(fusek::RingHeaders)};
        iov_[1] = {payload_.data(), payload_.size()};
    }
    bool Register() { return Prepare(fusek::kRingRegister, 0) && io_uring_submit(&ring_) >= 1; }
    // The request just fetched, as the device would have delivered it.
    size_t Request(std::vector<char> &buf) const
    {
        fuse_in_header h;
        std::memcpy(&h, headers_->inOut, sizeof h);
        const size_t head = std::min<size_t>(RingHeaderSize(h.opcode), sizeof headers_->opIn);
        const size_t rest = std::min<size_t>(headers_->ring.payloadSize, payload_.size());
        buf.resize(sizeof h + head + rest);
        h.len = uint32_t(buf.size());
        std::memcpy(buf.data(), &h, sizeof h);
        std::memcpy(buf.data() + sizeof h, headers_->opIn, head);
        std::memcpy(buf.data() + sizeof h + head, payload_.data(), rest);
        return buf.size();
    }
    void Send(iovec *parts, int count) override
    {
        // The answer's header in place of the request's, its data in the payload.
        auto *out = static_cast<fuse_out_header *>(parts[0].iov_base);
        size_t used = 0;
        for (int i = 1; i < count; ++i) {
            if (used + parts[i].iov_len > payload_.size()) {
                out->error = -EIO;
                used = 0;
                break;
            }
            std::memcpy(payload_.data() + used, parts[i].iov_base, parts[i].iov_len);
            used += parts[i].iov_len;
        }
        out->len = uint32_t(sizeof *out + used);
        const uint64_t commit = headers_->ring.commitId;
        std::memcpy(headers_->inOut, out, sizeof *out);
        headers_->ring.payloadSize = uint32_t(used);
        // Submitted with the wait for the next request, in one call.
        Prepare(fusek::kRingCommitAndFetch, commit);
    }

private:
    bool Prepare(uint32_t command, uint64_t commit)
    {
        io_uring_sqe *sqe = io_uring_get_sqe(&ring_);
        if (!sqe)
            return false;
        std::memset(static_cast<void *>(sqe), 0, 2 * sizeof *sqe); // 128-byte entries
        sqe->opcode = IORING_OP_URING_CMD;
        sqe->fd = session_;
        sqe->cmd_op = command;
        sqe->addr = reinterpret_cast<uint64_t>(iov_);
        sqe->len = 2;
        sqe->user_data = reinterpret_cast<uint64_t>(this);
        fusek::RingCommand cmd{};
        cmd.commitId = commit;
        cmd.qid = qid_;
        std::memcpy(sqe->cmd, &cmd, sizeof cmd);
        return true;
    }

    io_uring &ring_;
    int session_;
    uint16_t qid_;
    std::unique_ptr<fusek::RingHeaders> headers_;
    std::vector<char> payload_;
    iovec iov_[2];
};

// liburing maps and unmaps rings with system calls of its own, which the thread checker does not
// see, so a ring may lie where the ring of a thread that has ended lay. Made and taken down under
// one lock, they are ordered.
std::mutex &RingMaps()
{
    static std::mutex maps;
    return maps;
}

void RingWorker(std::shared_ptr<State> st, int cpu)
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    ::sched_setaffinity(0, sizeof one, &one);
    ::unshare(CLONE_FS);
    io_uring ring;
    {
        std::lock_guard lock(RingMaps());
        if (io_uring_queue_init(8, &ring, IORING_SETUP_SQE128 | IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN) != 0 &&
            io_uring_queue_init(8, &ring, IORING_SETUP_SQE128) != 0)
            return;
    }
    {
        // Several entries: requests that came together (a close's release and the next open)
        // are answered after one wake-up.
        std::vector<std::unique_ptr<RingEntry>> entries;
        for (int i = 0; i < kRingEntriesPerThread; ++i)
            entries.push_back(std::make_unique<RingEntry>(ring, st->session, uint16_t(cpu)));
        bool registered = true;
        for (auto &e : entries)
            registered = registered && e->Register();
        std::vector<char> buf;
        bool gone = !registered;
        while (!gone) {
            // The answers prepared last go out with this wait.
            const int rc = io_uring_submit_and_wait(&ring, 1);
            if (rc == -EINTR)
                continue;
            if (rc < 0)
                break;
            io_uring_cqe *cqe = nullptr;
            while (!gone && io_uring_peek_cqe(&ring, &cqe) == 0 && cqe) {
                const int res = cqe->res;
                auto *entry = reinterpret_cast<RingEntry *>(cqe->user_data);
                io_uring_cqe_seen(&ring, cqe);
                if (res < 0) {
                    gone = true; // the connection is gone
                    break;
                }
                const size_t len = entry->Request(buf);
                if (!Dispatch(*st, *entry, buf.data(), len)) {
                    fuse_out_header out{};
                    out.error = -ENOSYS;
                    std::memcpy(&out.unique, buf.data() + offsetof(fuse_in_header, unique), sizeof out.unique);
                    iovec part{&out, sizeof out};
                    entry->Send(&part, 1);
                }
            }
        }
    }
    std::lock_guard lock(RingMaps());
    io_uring_queue_exit(&ring);
}

void StartRings(State &st)
{
    auto self = st.self.lock();
    if (!self)
        return;
    // One ring per CPU the kernel may run a caller on; each CPU's callers are served there.
    const long cpus = ::sysconf(_SC_NPROCESSORS_CONF);
    st.ringed = true;
    for (int cpu = 0; cpu < cpus; ++cpu)
        for (int i = 0; i < kRingThreadsPerCpu; ++i)
            std::thread(RingWorker, self, cpu).detach();
}

// The flags of the mount beneath that a view must carry too, so that it takes none of their
// protection away: set-user-ID programs, devices and programs not to be run, read-only,
// symbolic links not to be followed.
constexpr unsigned kCarriedAttrs = MOUNT_ATTR_RDONLY | MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOEXEC |
                                   MOUNT_ATTR_NOSYMFOLLOW;

unsigned BeneathAttrs(int fd)
{
    struct statfs s{};
    if (::fstatfs(fd, &s) != 0)
        return MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOEXEC; // the safe side
    constexpr long kNoSymFollow = 0x2000; // ST_NOSYMFOLLOW
    unsigned a = 0;
    if (s.f_flags & ST_RDONLY)
        a |= MOUNT_ATTR_RDONLY;
    if (s.f_flags & ST_NOSUID)
        a |= MOUNT_ATTR_NOSUID;
    if (s.f_flags & ST_NODEV)
        a |= MOUNT_ATTR_NODEV;
    if (s.f_flags & ST_NOEXEC)
        a |= MOUNT_ATTR_NOEXEC;
    if (s.f_flags & kNoSymFollow)
        a |= MOUNT_ATTR_NOSYMFOLLOW;
    return a;
}

} // namespace

Subject Gatekeeper::Who(int tid)
{
    return Identify(tid, nullptr);
}

struct FuseView::Handle {
    std::shared_ptr<State> session;
    Node *root = nullptr; // one reference held while mounted
    std::string name;     // in the hub
    // The mount's own root, for unmounting exactly it. Held until then only.
    std::atomic<int> mountFd{-1};
    std::atomic<bool> unmounted{false};
    unsigned attrs = 0; // the mount flags taken from the mount beneath (MOUNT_ATTR_*)
    std::string rootPath;
    int rootFd = -1; // the root node's descriptor (the node keeps it while it lives)
};

FuseView::FuseView(std::unique_ptr<Handle> handle) : h_(std::move(handle)) {}

FuseView::~FuseView()
{
    Unmount();
}

const std::string &FuseView::root() const
{
    return h_->rootPath;
}

std::string FuseView::Place() const
{
    char buf[PATH_MAX];
    const int mnt = h_->mountFd;
    const ssize_t n = mnt >= 0 && !h_->unmounted ? ::readlink(ProcFd(mnt).c_str(), buf, sizeof buf) : -1;
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

int FuseView::rootFd() const
{
    return h_->rootFd;
}

dev_t FuseView::device() const
{
    // From what the kernel keeps: the engine never asks its own view.
    struct statx x{};
    const int mnt = h_->mountFd;
    if (mnt < 0 || ::statx(mnt, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_INO, &x) != 0)
        return 0;
    return makedev(x.stx_dev_major, x.stx_dev_minor);
}

void FuseView::Unmount()
{
    if (h_->unmounted.exchange(true))
        return;
    State &st = *h_->session;
    // Through the descriptor of the mount's own root: exactly this mount goes, wherever it is
    // now and whatever was mounted over it since. Files still open through it are served until
    // they are closed.
    const int mnt = h_->mountFd.exchange(-1);
    if (mnt >= 0) {
        ::umount2(ProcFd(mnt).c_str(), MNT_DETACH);
        ::close(mnt);
    }
    {
        std::lock_guard lock(st.mutex);
        st.views.erase(h_->name);
        if (h_->root->refs > 1)
            st.retired.insert(h_->root);
        st.ReleaseLocked(h_->root);
    }
    // The kernel lets go of the root's name, and of everything beneath that is not open.
    st.InvalidateEntry(FUSE_ROOT_ID, h_->name);
    st.WantSweep();
}

bool FuseView::FollowMountFlags()
{
    const unsigned want = BeneathAttrs(h_->rootFd);
    if (want == h_->attrs || h_->mountFd < 0 || h_->unmounted)
        return true;
    mount_attr attr{};
    attr.attr_set = want;
    attr.attr_clr = kCarriedAttrs & ~want;
    if (::mount_setattr(h_->mountFd, "", AT_EMPTY_PATH, &attr, sizeof attr) != 0)
        return false;
    h_->attrs = want;
    return true;
}

FuseSession::FuseSession(std::shared_ptr<State> state) : state_(std::move(state)) {}

FuseSession::~FuseSession()
{
    // With its last view gone the file system goes; the kernel ends the connection and the
    // readers and rings see it and end, and the last of them frees the state.
    if (master_ >= 0)
        ::close(master_);
    std::lock_guard lock(state_->mutex);
    state_->ending = true;
    state_->sweep.notify_one();
}

std::shared_ptr<FuseSession> FuseSession::Start(Options options, std::shared_ptr<Gatekeeper> gate, std::string &error)
{
    auto st = std::make_shared<State>();
    st->fsname = options.fsname;
    st->gate = std::move(gate);
    st->ringAllowed = options.ring;
    st->self = st;
    st->hub.type = S_IFDIR;
    st->hub.refs = 1;
    st->session = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (st->session < 0) {
        error = std::string("/dev/fuse: ") + std::strerror(errno);
        return nullptr;
    }
    const std::string fd = std::to_string(st->session);
    UniqueFd fs(::fsopen("fuse", FSOPEN_CLOEXEC));
    bool ok = fs.valid();
    for (const auto &[key, value] : {std::pair<const char *, std::string>{"source", st->fsname},
                                     {"subtype", "qxd"},
                                     {"fd", fd},
                                     {"rootmode", "40000"},
                                     {"user_id", "0"},
                                     {"group_id", "0"}})
        ok = ok && ::fsconfig(fs.get(), FSCONFIG_SET_STRING, key, value.c_str(), 0) == 0;
    for (const char *flag : {"default_permissions", "allow_other"})
        ok = ok && ::fsconfig(fs.get(), FSCONFIG_SET_FLAG, flag, nullptr, 0) == 0;
    ok = ok && ::fsconfig(fs.get(), FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) == 0;
    UniqueFd mnt(ok ? ::fsmount(fs.get(), FSMOUNT_CLOEXEC, MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOEXEC) : -1);
    const int err = errno;
    fs.reset();
    if (!mnt) {
        error = std::string("FUSE mount refused (") + std::strerror(err) + ")";
        return nullptr;
    }
    // One reader per worker, a fixed number for every view; the kernel hands each request to
    // one of them.
    const long cpus = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
    const int threads = options.threads > 0 ? options.threads : int(std::clamp(2 * cpus, 2L, 16L));
    for (int i = 0; i < threads; ++i) {
        int dev = st->session;
        if (i > 0) {
            UniqueFd clone(::open("/dev/fuse", O_RDWR | O_CLOEXEC));
            uint32_t master = uint32_t(st->session);
            if (!clone || ::ioctl(clone.get(), FUSE_DEV_IOC_CLONE, &master) != 0)
                continue;
            dev = clone.release(); // the worker closes it when it ends
        }
        std::thread(Worker, st, dev).detach();
    }
    struct rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        st->nodeHigh = std::clamp<size_t>(files.rlim_cur / 4, 256, 65536);
    std::thread(Sweeper, st).detach();
    auto session = std::shared_ptr<FuseSession>(new FuseSession(st));
    session->master_ = mnt.release();
    return session;
}

std::shared_ptr<FuseView> FuseSession::Mount(FuseView::Options options, std::string &error)
{
    State &st = *state_;
    UniqueFd rootFd(options.rootFd); // ours until the view's root node holds it
    struct stat s;
    if (!rootFd || ::fstatat(rootFd.get(), "", &s, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
        error = options.root + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!S_ISDIR(s.st_mode) && !S_ISREG(s.st_mode)) {
        error = options.root + ": neither a folder nor a file";
        return nullptr;
    }
    auto h = std::make_unique<FuseView::Handle>();
    h->session = state_;
    h->rootPath = options.root;
    h->rootFd = options.rootFd;
    auto *root = new Node;
    root->fd = std::move(rootFd);
    root->dev = s.st_dev;
    root->ino = s.st_ino;
    root->type = s.st_mode & S_IFMT;
    root->refs = 1;
    root->root = options.root;
    h->root = root;
    {
        std::lock_guard lock(st.mutex);
        h->name = std::to_string(++st.lastView);
        st.views.emplace(h->name, root);
    }
    auto view = std::shared_ptr<FuseView>(new FuseView(std::move(h)));
    FuseView::Handle &vh = *view->h_;
    // A copy of the view's root in the session's mount, given the flags of the mount beneath.
    const int clone = ::open_tree(master_, vh.name.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC);
    if (clone < 0) {
        error = options.root + ": FUSE mount refused (" + std::strerror(errno) + ")";
        return nullptr; // the view's destructor lets its root go
    }
    vh.mountFd = clone;
    vh.attrs = BeneathAttrs(options.rootFd);
    mount_attr attr{};
    attr.attr_set = vh.attrs;
    attr.attr_clr = kCarriedAttrs & ~vh.attrs;
    // Onto exactly the object the root descriptor names, never onto a view above it; or
    // beneath the dead engine's view standing there.
    constexpr unsigned kBeneath = 0x200; // MOVE_MOUNT_BENEATH
    const int target = options.beneathFd >= 0 ? options.beneathFd : options.rootFd;
    if (::mount_setattr(clone, "", AT_EMPTY_PATH, &attr, sizeof attr) != 0 ||
        ::move_mount(clone, "", target, "",
                     MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH | (options.beneathFd >= 0 ? kBeneath : 0)) != 0) {
        error = options.root + ": FUSE mount refused (" + std::strerror(errno) + ")";
        return nullptr;
    }
    return view;
}

void FuseSession::SetGate(std::shared_ptr<Gatekeeper> gate)
{
    state_->SetGate(std::move(gate));
}

bool FuseSession::passthrough() const
{
    return state_->passthrough;
}

bool FuseSession::ringed() const
{
    return state_->ringed;
}

std::size_t FuseSession::Nodes() const
{
    std::lock_guard lock(state_->mutex);
    return state_->nodes.size() + state_->views.size();
}

void FuseSession::ForgetAttributes()
{
    std::vector<uint64_t> ids;
    {
        std::lock_guard lock(state_->mutex);
        for (auto &[key, n] : state_->nodes)
            ids.push_back(reinterpret_cast<uint64_t>(n));
        for (auto &[name, n] : state_->views)
            ids.push_back(reinterpret_cast<uint64_t>(n));
    }
    for (uint64_t id : ids) {
        fuse_out_header h{};
        fuse_notify_inval_inode_out inval{};
        inval.ino = id;
        inval.off = -1; // attributes only, no data
        h.len = sizeof h + sizeof inval;
        h.error = FUSE_NOTIFY_INVAL_INODE;
        iovec iov[2] = {{&h, sizeof h}, {&inval, sizeof inval}};
        [[maybe_unused]] ssize_t r = ::writev(state_->session, iov, 2);
    }
}

int RemoveStaleMounts(const std::string &fsname)
{
    const std::vector<MountRecord> table = ReadMountTable();
    std::vector<std::string> points;
    for (const MountRecord &m : table)
        if (m.fstype == "fuse.qxd" && m.source == fsname)
            points.push_back(m.point);
    // Deepest first, so no mount is left hidden under another.
    std::sort(points.begin(), points.end(), [](const std::string &a, const std::string &b) { return a.size() > b.size(); });
    int removed = 0;
    for (const std::string &p : points) {
        // Only where ours is the topmost mount: a path names the mount on top.
        std::string top;
        for (const MountRecord &m : table)
            if (m.point == p)
                top = m.fstype + " " + m.source;
        if (top == "fuse.qxd " + fsname && ::umount2(p.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) == 0)
            ++removed;
    }
    return removed;
}

} // namespace vx::qxd
