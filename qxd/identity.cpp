// SPDX-License-Identifier: GPL-3.0-or-later
#include "qxd/identity.h"

#include "platform/common/uniquefd.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vx::qxd {

namespace {

std::optional<FileId> IdOf(const struct stat &st)
{
    return FileId{st.st_dev, st.st_ino};
}

// Owned by root and writable by nobody else.
bool RootOnly(const struct stat &st)
{
    return st.st_uid == 0 && !(st.st_mode & (S_IWGRP | S_IWOTH));
}

// `path` and every folder above it are root's alone; `inode` is what the caller saw mapped.
bool RootsFile(const std::string &path, ino_t inode)
{
    struct stat st{};
    if (path.empty() || path.front() != '/' || ::stat(path.c_str(), &st) != 0 || st.st_ino != inode || !RootOnly(st))
        return false;
    for (std::string folder = path; folder.size() > 1;) {
        folder.resize(std::max<size_t>(folder.rfind('/'), 1));
        if (::stat(folder.c_str(), &st) != 0 || !RootOnly(st))
            return false;
    }
    return true;
}

// The inode of the other end of Unix socket `fd`, asked of the kernel's socket diagnostics.
std::optional<ino_t> PeerInode(int fd)
{
    struct stat own{};
    if (::fstat(fd, &own) != 0)
        return std::nullopt;
    const UniqueFd nl(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!nl)
        return std::nullopt;
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } ask{};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST;
    ask.request.sdiag_family = AF_UNIX;
    ask.request.udiag_states = ~0u;
    ask.request.udiag_ino = uint32_t(own.st_ino);
    ask.request.udiag_show = UDIAG_SHOW_PEER;
    ask.request.udiag_cookie[0] = ask.request.udiag_cookie[1] = ~0u;
    std::optional<ino_t> peer;
    alignas(nlmsghdr) char buf[8192];
    timeval timeout{1, 0};
    ::setsockopt(nl.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::send(nl.get(), &ask, sizeof ask, 0) == ssize_t(sizeof ask)) {
        const ssize_t n = ::recv(nl.get(), buf, sizeof buf, 0);
        int len = int(n);
        for (auto *h = reinterpret_cast<nlmsghdr *>(buf); n > 0 && NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg)))
                break;
            const auto *msg = static_cast<const unix_diag_msg *>(NLMSG_DATA(h));
            if (msg->udiag_ino != uint32_t(own.st_ino))
                break;
            int rest = int(h->nlmsg_len - NLMSG_LENGTH(sizeof *msg));
            for (auto *a = reinterpret_cast<rtattr *>(const_cast<unix_diag_msg *>(msg) + 1); RTA_OK(a, rest);
                 a = RTA_NEXT(a, rest)) {
                if (a->rta_type == UNIX_DIAG_PEER && RTA_PAYLOAD(a) >= sizeof(uint32_t)) {
                    uint32_t value;
                    std::memcpy(&value, RTA_DATA(a), sizeof value);
                    peer = ino_t(value);
                }
            }
            break;
        }
    }
    return peer;
}

} // namespace

std::string ExecutableOf(int pid)
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf);
    if (n <= 0)
        return {};
    std::string path(buf, size_t(n));
    constexpr std::string_view deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return path;
}

std::optional<FileId> IdOfPath(const std::string &path)
{
    struct stat st{};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return IdOf(st);
}

std::optional<FileId> IdOfExecutable(int pid)
{
    // The kernel's link to the mapped file, followed by the kernel: right in any mount namespace.
    return IdOfPath("/proc/" + std::to_string(pid) + "/exe");
}

ProgramPaths ProgramPaths::Beside(const std::string &engineExe)
{
    std::string prefix = engineExe.substr(0, engineExe.rfind('/'));
    prefix = prefix.substr(0, prefix.rfind('/'));
    ProgramPaths p;
    for (const char *name : {"console/Vellamorix", "tools/vxctl/vxctl", "bin/Vellamorix", "bin/vxctl"})
        p.clients.push_back(prefix + "/" + name);
    p.all = p.clients;
    for (const char *name : {"tools/vxreg/vxreg", "bin/vxreg", "qxd/qxd-engine", "sbin/qxd-engine"})
        p.all.push_back(prefix + "/" + name);
    return p;
}

Programs::Programs(std::vector<std::string> paths) : paths_(std::move(paths))
{
    Refresh();
}

void Programs::Replace(std::vector<std::string> paths)
{
    {
        std::lock_guard lock(mutex_);
        paths_ = std::move(paths);
    }
    Refresh();
}

bool Programs::Refresh()
{
    std::vector<std::string> paths;
    {
        std::lock_guard lock(mutex_);
        paths = paths_;
    }
    std::vector<FileId> ids;
    for (const std::string &p : paths)
        if (const auto id = IdOfPath(p))
            ids.push_back(*id);
    std::lock_guard lock(mutex_);
    const bool changed = ids != ids_;
    ids_ = std::move(ids);
    return changed;
}

bool Programs::Contains(const FileId &id) const
{
    std::lock_guard lock(mutex_);
    return std::find(ids_.begin(), ids_.end(), id) != ids_.end();
}

bool Unaltered(int pid, const FileId &exe, std::string *why)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    auto fail = [&](std::string reason) {
        if (why)
            *why = std::move(reason);
        return false;
    };
    {
        std::ifstream status(proc + "/status");
        std::string line;
        bool seen = false;
        while (std::getline(status, line))
            if (line.compare(0, 10, "TracerPid:") == 0) {
                seen = true;
                if (std::atoi(line.c_str() + 10) != 0)
                    return fail("it is being traced by process " + std::to_string(std::atoi(line.c_str() + 10)));
            }
        if (!seen)
            return fail("its state cannot be read");
    }
    std::FILE *maps = std::fopen((proc + "/maps").c_str(), "re");
    if (!maps)
        return fail("its mappings cannot be read");
    char line[PATH_MAX + 256];
    bool ok = true;
    std::string foreign;
    while (ok && std::fgets(line, sizeof line, maps)) {
        char perms[8] = {};
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        int pathAt = 0;
        if (std::sscanf(line, "%*x-%*x %7s %*x %x:%x %llu %n", perms, &major, &minor, &inode, &pathAt) < 4 ||
            perms[2] != 'x' || inode == 0)
            continue;
        std::string path = pathAt > 0 ? line + pathAt : "";
        while (!path.empty() && (path.back() == '\n' || path.back() == ' '))
            path.pop_back();
        if (inode == exe.ino && makedev(major, minor) == exe.dev)
            continue;
        if (inode == exe.ino && IdOfPath(path) == exe)
            continue;
        if (!RootsFile(path, ino_t(inode))) {
            ok = false;
            foreign = path.empty() ? "an unnamed file" : path;
        }
    }
    std::fclose(maps);
    if (!ok)
        return fail("it runs code from " + foreign + ", which is not root's alone");
    return true;
}

bool HoldsPeerClosedOnExec(int pid, int socketFd)
{
    const std::optional<ino_t> peer = PeerInode(socketFd);
    if (!peer)
        return false;
    const std::string want = "socket:[" + std::to_string(*peer) + "]";
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = ::opendir(fdDir.c_str());
    if (!dir)
        return false;
    bool held = false;
    while (dirent *d = ::readdir(dir)) {
        if (d->d_name[0] == '.')
            continue;
        char target[64];
        const ssize_t n = ::readlinkat(::dirfd(dir), d->d_name, target, sizeof target);
        if (n <= 0 || std::string_view(target, size_t(n)) != want)
            continue;
        std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + d->d_name);
        std::string line;
        bool closeOnExec = false;
        while (std::getline(info, line))
            if (line.compare(0, 6, "flags:") == 0)
                closeOnExec = (std::strtoul(line.c_str() + 6, nullptr, 8) & O_CLOEXEC) != 0;
        // One copy that would outlive an exec is enough to refuse.
        held = closeOnExec;
        if (!held)
            break;
    }
    ::closedir(dir);
    return held;
}

} // namespace vx::qxd
