#include "qxd/server.h"

#include "qxd/wire.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <ostream>
#include <vector>

namespace vx::qxd {

namespace {

// Buffered, timed I/O on one client socket. Idle waits between requests are unbounded; waits in
// the middle of a request give up after the peer timeout.
class Peer {
public:
    explicit Peer(int fd) : fd_(fd) {}

    // Returns false on end of input or error; throws PeerError on a mid-request timeout.
    bool Take(uint8_t *dst, std::size_t len, bool idle)
    {
        while (len > 0) {
            if (pos_ == end_) {
                if (!Fill(idle))
                    return false;
            }
            const std::size_t n = std::min(len, end_ - pos_);
            std::memcpy(dst, buf_.data() + pos_, n);
            pos_ += n;
            dst += n;
            len -= n;
        }
        return true;
    }
    void TakeOrThrow(uint8_t *dst, std::size_t len)
    {
        if (!Take(dst, len, false))
            throw PeerError{"connection closed in the middle of a request"};
    }
    bool Send(const std::string &data)
    {
        std::size_t done = 0;
        while (done < data.size()) {
            pollfd p{fd_, POLLOUT, 0};
            int r = ::poll(&p, 1, Server::kPeerTimeoutMs);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                return false;
            done += std::size_t(n);
        }
        return true;
    }
    void SendOrThrow(const std::string &data)
    {
        if (!Send(data))
            throw PeerError{"peer does not take its messages"};
    }

private:
    bool Fill(bool idle)
    {
        for (;;) {
            ssize_t n = ::recv(fd_, buf_.data(), buf_.size(), MSG_DONTWAIT);
            if (n > 0) {
                pos_ = 0;
                end_ = std::size_t(n);
                return true;
            }
            if (n == 0)
                return false;
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            pollfd p{fd_, POLLIN, 0};
            int r = ::poll(&p, 1, idle ? -1 : Server::kPeerTimeoutMs);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                return false;
            if (r == 0)
                throw PeerError{"peer timed out in the middle of a request"};
        }
    }

    int fd_;
    std::vector<uint8_t> buf_ = std::vector<uint8_t>(65536);
    std::size_t pos_ = 0, end_ = 0;
};

// Caller memory reached through READ and WRITE messages; every batch is one round trip.
class SocketMemory final : public MemoryAccess {
public:
    explicit SocketMemory(Peer &peer) : peer_(peer) {}

    void ReadMany(std::span<ReadOp> ops) override
    {
        std::string out;
        for (const auto &op : ops) {
            wire::Put32(out, wire::kRead);
            wire::Put64(out, op.addr);
            wire::Put32(out, op.len);
        }
        peer_.SendOrThrow(out);
        for (auto &op : ops) {
            uint8_t header[wire::kReadAnswerHeader];
            peer_.TakeOrThrow(header, sizeof header);
            if (wire::Get32(header) != wire::kReadAnswer)
                throw PeerError{"unexpected message instead of a read answer"};
            op.status = wire::Get32(header + 4);
            if (op.status == 0) {
                op.out->resize(op.len);
                peer_.TakeOrThrow(reinterpret_cast<uint8_t *>(op.out->data()), op.len);
            }
        }
    }

    void WriteMany(std::span<WriteOp> ops) override
    {
        std::string out;
        for (const auto &op : ops) {
            wire::Put32(out, wire::kWrite);
            wire::Put64(out, op.addr);
            wire::Put32(out, uint32_t(op.data.size()));
            out += op.data;
        }
        peer_.SendOrThrow(out);
        for (auto &op : ops) {
            uint8_t answer[wire::kWriteAnswerSize];
            peer_.TakeOrThrow(answer, sizeof answer);
            if (wire::Get32(answer) != wire::kWriteAnswer)
                throw PeerError{"unexpected message instead of a write answer"};
            op.status = wire::Get32(answer + 4);
        }
    }

    void PostWrite(uint64_t addr, std::string data) override
    {
        wire::Put32(posted_, wire::kWrite);
        wire::Put64(posted_, addr);
        wire::Put32(posted_, uint32_t(data.size()));
        posted_ += data;
        ++pendingAnswers_;
    }

    // Posted writes go out just before the answer; their answers are taken before the next
    // request.
    std::string TakePosted() { return std::exchange(posted_, {}); }
    bool TakePendingAnswers()
    {
        for (; pendingAnswers_ > 0; --pendingAnswers_) {
            uint8_t answer[wire::kWriteAnswerSize];
            if (!peer_.Take(answer, sizeof answer, true) || wire::Get32(answer) != wire::kWriteAnswer)
                return false;
        }
        return true;
    }

private:
    Peer &peer_;
    std::string posted_;
    int pendingAnswers_ = 0;
};

const char *ChannelName(Channel c)
{
    return c == Channel::Ansi ? "QXDAnsi" : "QXDUni";
}

} // namespace

Server::Server(std::shared_ptr<Engine> engine, std::string deviceDir, std::ostream &log, bool verbose)
    : engine_(std::move(engine)), dir_(std::move(deviceDir)), log_(log), verbose_(verbose)
{
}

Server::~Server()
{
    Stop();
}

void Server::Log(const std::string &line)
{
    std::lock_guard lock(logMutex_);
    log_ << "qxd-engine: " << line << std::endl;
}

bool Server::Start(std::string &error)
{
    for (const std::string &d : {dir_, dir_ + "/Global"}) {
        if (::mkdir(d.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + d + ": " + std::strerror(errno);
            return false;
        }
        struct stat st{};
        if (::stat(d.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            error = d + " is not a directory";
            return false;
        }
        if (st.st_uid != ::getuid()) {
            error = d + " belongs to another user";
            return false;
        }
    }
    const std::string lockPath = dir_ + "/.qxd-engine.lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) {
        error = "cannot open " + lockPath + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        error = "another qxd-engine already serves " + dir_;
        ::close(lockFd_);
        lockFd_ = -1;
        return false;
    }
    const struct {
        const char *rel;
        Channel channel;
    } names[] = {{"QXDAnsi", Channel::Ansi},
                 {"QXDUni", Channel::Unicode},
                 {"Global/QXDAnsi", Channel::Ansi},
                 {"Global/QXDUni", Channel::Unicode}};
    for (const auto &n : names) {
        const std::string path = dir_ + "/" + n.rel;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof(addr.sun_path)) {
            error = "socket path too long: " + path;
            Stop();
            return false;
        }
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        // A socket left by a daemon that did not stop cleanly: the lock says nobody serves it.
        ::unlink(path.c_str());
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            Stop();
            return false;
        }
        const mode_t old = ::umask(0177);
        const int rc = ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::umask(old);
        if (rc != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 64) != 0) {
            error = "cannot serve " + path + ": " + std::strerror(errno);
            ::close(fd);
            Stop();
            return false;
        }
        listeners_.push_back({fd, path, n.channel});
    }
    Log("serving " + dir_ + " (QXDAnsi, QXDUni, Global\\QXDAnsi, Global\\QXDUni)");
    return true;
}

void Server::Run(int stopFd)
{
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({stopFd, POLLIN, 0});
        for (const auto &l : listeners_)
            fds.push_back({l.fd, POLLIN, 0});
        int r = ::poll(fds.data(), fds.size(), 1000);
        if (r < 0 && errno != EINTR) {
            Log(std::string("poll failed: ") + std::strerror(errno));
            return;
        }
        if (r > 0 && fds[0].revents)
            return;
        std::size_t i = 1;
        for (const auto &l : listeners_) {
            if (r > 0 && (fds[i].revents & POLLIN))
                Accept(l);
            ++i;
        }
        Reap(false);
    }
}

void Server::Accept(const Listener &listener)
{
    for (;;) {
        int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                Log(std::string("accept failed: ") + std::strerror(errno));
            return;
        }
        auto conn = std::make_unique<Connection>();
        conn->fd = fd;
        conn->channel = listener.channel;
        Connection &ref = *conn;
        connections_.push_back(std::move(conn));
        ucred cred{};
        socklen_t len = sizeof cred;
        std::string who = "client";
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0)
            who = "client pid " + std::to_string(cred.pid);
        Log(who + " connected to " + ChannelName(listener.channel));
        try {
            ref.thread = std::thread([this, &ref] { Serve(ref); });
        } catch (const std::system_error &) {
            Log("cannot start a thread for a client; dropped");
            ref.done = true;
        }
    }
}

void Server::Serve(Connection &connection)
{
    Peer peer(connection.fd);
    SocketMemory memory(peer);
    uint64_t requests = 0;
    std::string reason = "disconnected";
    try {
        for (;;) {
            if (!memory.TakePendingAnswers()) {
                reason = "dropped: no answer to a write";
                break;
            }
            uint8_t msg[wire::kControlSize];
            if (!peer.Take(msg, 4, true))
                break;
            if (wire::Get32(msg) != wire::kControl) {
                reason = "dropped: unexpected message kind " + std::to_string(wire::Get32(msg));
                break;
            }
            peer.TakeOrThrow(msg + 4, wire::kControlSize - 4);
            const wire::Control c = wire::DecodeControl(msg);
            const Result result =
                engine_->Handle(Request{connection.channel, c.code, c.inAddr, c.inLen, c.outAddr, c.outLen}, memory);
            ++requests;
            if (verbose_ || !result.ok) {
                char line[160];
                std::snprintf(line, sizeof line, "%s request 0x%08X %s (error %u, returned %u)",
                              ChannelName(connection.channel), c.code, result.ok ? "done" : "failed",
                              result.error, result.bytesReturned);
                Log(line);
            }
            std::string done = memory.TakePosted();
            wire::EncodeDone(done, result.ok, result.error, result.bytesReturned);
            if (!peer.Send(done)) {
                reason = "dropped: cannot send the answer";
                break;
            }
        }
    } catch (const PeerError &e) {
        reason = std::string("dropped: ") + e.what;
    }
    Log("client of " + std::string(ChannelName(connection.channel)) + " " + reason + " after " +
        std::to_string(requests) + " request(s)");
    ::shutdown(connection.fd, SHUT_RDWR);
    connection.done = true;
}

void Server::Reap(bool all)
{
    for (auto it = connections_.begin(); it != connections_.end();) {
        Connection &c = **it;
        if (all && !c.done)
            ::shutdown(c.fd, SHUT_RDWR);
        if (all || c.done) {
            if (c.thread.joinable())
                c.thread.join();
            ::close(c.fd);
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::Stop()
{
    Reap(true);
    for (auto &l : listeners_) {
        ::close(l.fd);
        ::unlink(l.path.c_str());
    }
    listeners_.clear();
    if (lockFd_ >= 0) {
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

} // namespace vx::qxd
