// SPDX-License-Identifier: GPL-3.0-or-later
// The engine tests' daemon (the shared one, on a sandbox) and a client speaking the wire format
// by hand.
#pragma once

#include "support/daemon.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace qxdtest {

using vxtest::Daemon;
using vxtest::Exec;
using vxtest::Slurp;
using vxtest::WaitChild;

// A bare socket client speaking the wire format by hand.
class RawClient {
public:
    explicit RawClient(const std::string &path)
    {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~RawClient() { Close(); }
    void Close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    bool connected() const { return connected_; }
    bool Send(const std::string &bytes) { return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size()); }
    // The same with a file descriptor passed along (SCM_RIGHTS).
    bool SendWithFile(const std::string &bytes, int file)
    {
        iovec iov{const_cast<char *>(bytes.data()), bytes.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &file, sizeof file);
        return ::sendmsg(fd_, &msg, MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // Reads exactly n bytes; empty when the peer closed first. Waits as long as the engine takes.
    std::string Recv(std::size_t n)
    {
        std::string out(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            if (!Wait())
                return "";
            ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
            if (r <= 0)
                return "";
            got += std::size_t(r);
        }
        return out;
    }
    // True when the engine closed the connection.
    bool Closed()
    {
        char c;
        return Wait() && ::recv(fd_, &c, 1, 0) == 0;
    }
    // Guards against a hang only; a healthy engine answers at once.
    bool Wait()
    {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 60000) == 1;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

} // namespace qxdtest
