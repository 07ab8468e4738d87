// SPDX-License-Identifier: GPL-3.0-or-later
#include "qxd/linkguard.h"
#include "qxd/paths.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace vx::qxd {

namespace {

constexpr uint64_t kMarks = FAN_OPEN_PERM | FAN_OPEN_EXEC_PERM | FAN_ACCESS_PERM;
constexpr uint64_t kFolderMarks = kMarks | FAN_EVENT_ON_CHILD;

uint32_t AccessOps(uint64_t flags)
{
    const uint64_t acc = flags & O_ACCMODE;
    uint32_t ops = 0;
    if (acc == O_RDONLY || acc == O_RDWR)
        ops |= op::kRead;
    if (acc == O_WRONLY || acc == O_RDWR || (flags & O_TRUNC))
        ops |= op::kWrite;
    return ops;
}

} // namespace

uint32_t OpenIntent(int pid)
{
#if defined(__x86_64__)
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long long nr = -1;
    unsigned long long args[6] = {};
    in >> nr;
    for (auto &a : args)
        in >> std::hex >> a;
    if (!in)
        return 0;
    switch (nr) {
    case SYS_open:
        return AccessOps(args[1]);
    case SYS_openat:
    case SYS_open_by_handle_at:
        return AccessOps(args[2]);
    case SYS_creat:
        return op::kWrite;
    case SYS_openat2: {
        uint64_t flags = 0;
        iovec local{&flags, sizeof flags}, remote{reinterpret_cast<void *>(args[2]), sizeof flags};
        if (::process_vm_readv(pid, &local, 1, &remote, 1, 0) != ssize_t(sizeof flags))
            return 0;
        return AccessOps(flags);
    }
    case SYS_execve:
    case SYS_execveat:
        return op::kExecute;
    default:
        return 0;
    }
#else
    (void)pid;
    return 0;
#endif
}

LinkGuard::LinkGuard(UniqueFd fd, std::shared_ptr<Gatekeeper> gate) : fan_(std::move(fd)), gate_(std::move(gate))
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) == 0) {
        stop_[0].reset(ends[0]);
        stop_[1].reset(ends[1]);
    }
    thread_ = std::thread([this] { Listen(); });
}

std::unique_ptr<LinkGuard> LinkGuard::Create(std::shared_ptr<Gatekeeper> gate, std::string &reason)
{
    UniqueFd fd(::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_LARGEFILE | O_CLOEXEC));
    if (!fd) {
        reason = std::string("fanotify permission events are not available (") + std::strerror(errno) + ")";
        return nullptr;
    }
    return std::unique_ptr<LinkGuard>(new LinkGuard(std::move(fd), std::move(gate)));
}

LinkGuard::~LinkGuard()
{
    Shutdown();
}

void LinkGuard::Shutdown()
{
    if (thread_.joinable()) {
        const char c = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_[1].get(), &c, 1);
        thread_.join();
    }
    // Only the listener asked the gate; the gate (the enforcer) owns this guard, so the tie is cut
    // here, or neither would ever be freed.
    gate_.reset();
    // Closing the group removes its marks and lets every waiting caller through.
    fan_.reset();
    for (UniqueFd &fd : stop_)
        fd.reset();
    std::lock_guard lock(mutex_);
    watched_.clear();
    folders_.clear();
}

namespace {

// The id of the mount `fd` was reached through; 0 when the kernel does not say.
uint64_t MountOf(int fd)
{
    struct statx x{};
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MNT_ID, &x) != 0 || !(x.stx_mask & STATX_MNT_ID))
        return 0;
    return x.stx_mnt_id;
}

} // namespace

LinkGuard::Failures LinkGuard::Watch(const std::vector<Target> &targets)
{
    Failures failed;
    if (!fan_)
        return failed;
    std::map<std::pair<dev_t, ino_t>, const Target *> next;
    for (const Target &t : targets)
        next.emplace(std::make_pair(t.dev, t.ino), &t);
    std::lock_guard lock(mutex_);
    for (auto it = watched_.begin(); it != watched_.end();) {
        if (next.count(it->first)) {
            ++it;
            continue;
        }
        ::fanotify_mark(fan_.get(), FAN_MARK_REMOVE, kMarks, AT_FDCWD, ProcFd(it->second.fd.get()).c_str());
        it = watched_.erase(it);
    }
    for (const auto &[key, t] : next) {
        auto it = watched_.find(key);
        if (it != watched_.end()) {
            it->second.path = t->path; // the name decisions use
            it->second.ownMount = t->foreignOnly ? MountOf(it->second.fd.get()) : 0;
            continue;
        }
        UniqueFd fd(::fcntl(t->fd, F_DUPFD_CLOEXEC, 0));
        if (!fd || ::fanotify_mark(fan_.get(), FAN_MARK_ADD, kMarks, AT_FDCWD, ProcFd(fd.get()).c_str()) != 0) {
            failed.emplace_back(t->path, std::strerror(errno));
            continue;
        }
        const uint64_t own = t->foreignOnly ? MountOf(fd.get()) : 0;
        watched_.emplace(key, Watch_{t->path, std::move(fd), own});
    }
    return failed;
}

LinkGuard::Failures LinkGuard::WatchFolders(const std::vector<Folder> &folders)
{
    Failures failed;
    if (!fan_)
        return failed;
    std::map<std::pair<dev_t, ino_t>, const Folder *> next;
    for (const Folder &f : folders)
        next.emplace(std::make_pair(f.dev, f.ino), &f);
    std::lock_guard lock(mutex_);
    for (auto it = folders_.begin(); it != folders_.end();) {
        if (next.count(it->first)) {
            ++it;
            continue;
        }
        ::fanotify_mark(fan_.get(), FAN_MARK_REMOVE, kFolderMarks, AT_FDCWD, ProcFd(it->second.fd.get()).c_str());
        it = folders_.erase(it);
    }
    for (const auto &[key, f] : next) {
        if (auto it = folders_.find(key); it != folders_.end()) {
            it->second.ownMount = f->foreignOnly ? MountOf(it->second.fd.get()) : 0;
            continue;
        }
        UniqueFd fd(::fcntl(f->fd, F_DUPFD_CLOEXEC, 0));
        if (!fd || ::fanotify_mark(fan_.get(), FAN_MARK_ADD, kFolderMarks, AT_FDCWD, ProcFd(fd.get()).c_str()) != 0) {
            failed.emplace_back(f->root, std::strerror(errno));
            continue;
        }
        const uint64_t own = f->foreignOnly ? MountOf(fd.get()) : 0;
        folders_.emplace(key, FolderWatch{std::move(fd), f->place, f->root, own});
    }
    return failed;
}

std::size_t LinkGuard::FoldersWatched() const
{
    std::lock_guard lock(mutex_);
    return folders_.size();
}

std::string LinkGuard::DecisionPath(int eventFd, bool &unnamed, uint64_t &ownMount) const
{
    ownMount = 0;
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(ProcFd(eventFd).c_str(), buf, sizeof buf);
    unnamed = n <= 0 || size_t(n) >= sizeof buf;
    if (unnamed)
        return {};
    const std::string path(buf, size_t(n));
    const FolderWatch *found = nullptr;
    bool foreignOnly = true;
    for (const auto &[key, f] : folders_)
        if (path == f.place || IsBelow(path, f.place)) {
            found = found ? found : &f;
            foreignOnly = foreignOnly && f.ownMount;
        }
    if (!found)
        return {};
    ownMount = foreignOnly ? found->ownMount : 0;
    return found->root + path.substr(found->place == "/" ? 0 : found->place.size());
}

std::size_t LinkGuard::Watched() const
{
    std::lock_guard lock(mutex_);
    return watched_.size();
}

void LinkGuard::Answer(int eventFd, int pid, uint64_t mask)
{
    uint32_t response = FAN_ALLOW;
    std::string path;
    std::vector<std::string> unnamedIn; // the watched folders' roots, when the object has no name
    struct stat s{};
    if (pid != ::getpid() && ::fstat(eventFd, &s) == 0) {
        std::lock_guard lock(mutex_);
        auto it = watched_.find({s.st_dev, s.st_ino});
        bool unnamed = false;
        uint64_t ownMount = 0;
        if (it != watched_.end()) {
            path = it->second.path;
            ownMount = it->second.ownMount;
        } else if (!folders_.empty()) {
            path = DecisionPath(eventFd, unnamed, ownMount);
        }
        // Watched for another mount namespace alone, reached through the engine's own mount of
        // it: the view passing the file through, already decided.
        if (ownMount && MountOf(eventFd) == ownMount)
            path.clear();
        // Too deep to name: it lies in one of the watched folders of its file system.
        if (unnamed)
            for (const auto &[key, f] : folders_)
                if (key.first == s.st_dev)
                    unnamedIn.push_back(f.root);
    }
    if (!path.empty() || !unnamedIn.empty()) {
        uint32_t ops = 0;
        if (mask & FAN_OPEN_EXEC_PERM)
            ops |= op::kOpen | op::kExecute;
        if (mask & FAN_ACCESS_PERM)
            ops |= op::kRead;
        if (mask & FAN_OPEN_PERM) {
            // The event does not say how the file is opened; the waiting call does. What
            // cannot be told is decided as the widest open.
            const uint32_t intent = OpenIntent(pid);
            ops |= op::kOpen | (intent ? intent & ~op::kExecute : op::kRead | op::kWrite);
        }
        auto policy = gate_->Current();
        if (policy) {
            Subject subject = gate_->Who(pid);
            Decision d = path.empty() ? Decision{} : policy->Decide(subject, path, ops);
            for (size_t i = 0; i < unnamedIn.size() && !d.deny; ++i) {
                d = policy->DecideBelow(subject, unnamedIn[i], ops);
                path = unnamedIn[i] + "/(a path too deep to name)";
            }
            if (d.deny) {
                gate_->Denied(subject, path, d);
                if (!gate_->Permissive())
                    response = FAN_DENY;
            }
        }
    }
    fanotify_response r{eventFd, response};
    [[maybe_unused]] ssize_t n = ::write(fan_.get(), &r, sizeof r);
}

void LinkGuard::Listen()
{
    alignas(fanotify_event_metadata) char buf[4096];
    for (;;) {
        pollfd p[2] = {{fan_.get(), POLLIN, 0}, {stop_[0].get(), POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (p[1].revents)
            return;
        const ssize_t len = ::read(fan_.get(), buf, sizeof buf);
        if (len <= 0)
            continue;
        auto *m = reinterpret_cast<fanotify_event_metadata *>(buf);
        for (ssize_t left = len; FAN_EVENT_OK(m, left); m = FAN_EVENT_NEXT(m, left)) {
            if (m->vers != FANOTIFY_METADATA_VERSION || m->fd < 0)
                continue;
            const UniqueFd event(m->fd); // the kernel's descriptor of the object, ours to close
            if (m->mask & kMarks)
                Answer(event.get(), int(m->pid), m->mask);
        }
    }
}

} // namespace vx::qxd
