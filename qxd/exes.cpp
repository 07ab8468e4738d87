// SPDX-License-Identifier: GPL-3.0-or-later
#include "qxd/exes.h"

#include "qxd/fuseview.h"

#include <cerrno>
#include <cstring>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vx::qxd {

namespace {

// A netlink header, a connector header and the operation, laid out as the kernel reads them.
constexpr size_t kListenSize = NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_cn_mcast_op));

} // namespace

Subject Identify(int tid, const Programs *programs)
{
    Subject s;
    s.pid = tid;
    s.exe = ExecutableOf(tid);
    const std::optional<FileId> id = IdOfExecutable(tid);
    if (s.exe.empty() || !id)
        return s;
    s.pathTrue = IdOfPath(s.exe) == id;
    s.trusted = programs && programs->Contains(*id) && Unaltered(tid, *id);
    return s;
}

ExecutableCache::ExecutableCache(std::shared_ptr<const Programs> programs) : programs_(std::move(programs))
{
    UniqueFd s(::socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_CONNECTOR));
    if (!s)
        return;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = CN_IDX_PROC;
    addr.nl_pid = 0;
    alignas(nlmsghdr) char m[kListenSize] = {};
    auto *header = reinterpret_cast<nlmsghdr *>(m);
    header->nlmsg_len = kListenSize;
    header->nlmsg_type = NLMSG_DONE;
    auto *message = static_cast<cn_msg *>(NLMSG_DATA(header));
    message->id = {CN_IDX_PROC, CN_VAL_PROC};
    message->len = sizeof(proc_cn_mcast_op);
    const proc_cn_mcast_op op = PROC_CN_MCAST_LISTEN;
    std::memcpy(message->data, &op, sizeof op);
    // A larger queue, so bursts of process events do not overflow it between requests.
    const int size = 4 << 20;
    ::setsockopt(s.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    if (::bind(s.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::send(s.get(), m, sizeof m, 0) != ssize_t(sizeof m))
        return;
    sock_ = std::move(s);
}

void ExecutableCache::DrainLocked()
{
    alignas(nlmsghdr) char buf[16384];
    for (;;) {
        const ssize_t n = ::recv(sock_.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == ENOBUFS) {
                exes_.clear(); // events were lost: nothing cached can be trusted
                continue;
            }
            return; // EAGAIN: nothing more queued
        }
        int len = int(n);
        for (auto *h = reinterpret_cast<nlmsghdr *>(buf); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
            const auto *msg = static_cast<const cn_msg *>(NLMSG_DATA(h));
            if (h->nlmsg_len < NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_event)))
                continue;
            // The event follows the 20-byte connector header, so it is not aligned for its type.
            proc_event ev;
            std::memcpy(&ev, msg->data, sizeof ev);
            if (ev.what == proc_event::PROC_EVENT_EXEC)
                exes_.clear(); // the program's other threads and its leader's id change with it
            else if (ev.what == proc_event::PROC_EVENT_EXIT)
                exes_.erase(ev.event_data.exit.process_pid);
        }
    }
}

Subject ExecutableCache::Of(int tid)
{
    if (!sock_)
        return Identify(tid, programs_.get());
    std::lock_guard lock(mutex_);
    DrainLocked();
    auto it = exes_.find(tid);
    if (it != exes_.end())
        return it->second;
    Subject s = Identify(tid, programs_.get());
    if (!s.exe.empty()) {
        if (exes_.size() >= kMaxEntries)
            exes_.clear();
        exes_.emplace(tid, s);
    }
    return s;
}

void ExecutableCache::Clear()
{
    std::lock_guard lock(mutex_);
    exes_.clear();
}

} // namespace vx::qxd
