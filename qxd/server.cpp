// SPDX-License-Identifier: GPL-3.0-or-later
#include "qxd/server.h"

#include "platform/device/wire.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <utility>
#include <ostream>
#include <vector>

namespace vx::qxd {

namespace {

namespace wire = vx::device::wire;

// Buffered, timed I/O on one client socket (whose send and receive time-outs are the peer
// time-out). Idle waits between requests are WaitForInput's; once input has come, waits give up.
class Peer {
public:
    explicit Peer(int fd) : fd_(fd) {}
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // The file that came with the client's first bytes (its arena's memory), or none; the caller
    // takes it over.
    UniqueFd TakeFile() { return std::move(file_); }

    // Waits until input is there (true) or `stop` says the wait is over (false); looks again
    // every second.
    template <class Stop>
    bool WaitForInput(const Stop &stop)
    {
        while (pos_ == end_) {
            pollfd p{fd_, POLLIN, 0};
            const int r = ::poll(&p, 1, 1000);
            if (r > 0)
                return true;
            if ((r < 0 && errno != EINTR) || stop())
                return false;
        }
        return true;
    }

    // Returns false on end of input or error; throws PeerError on a time-out.
    bool Take(uint8_t *dst, std::size_t len)
    {
        while (len > 0) {
            if (pos_ == end_) {
                if (!Fill())
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
        if (!Take(dst, len))
            throw PeerError{"connection closed in the middle of a request"};
    }
    bool Send(const std::string &data)
    {
        std::size_t done = 0;
        while (done < data.size()) {
            ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false; // error, or the peer took nothing for a whole time-out
            done += std::size_t(n);
        }
        return true;
    }
    void SendOrThrow(const std::string &data)
    {
        if (!Send(data))
            throw PeerError{"peer does not take its messages"};
    }

    // Every byte from now on must come from process `pid` (as the kernel vouches for each
    // message); bytes from any other process break the connection.
    void OnlyFrom(pid_t pid) { sender_ = pid; }

private:
    bool Fill()
    {
        for (;;) {
            const ssize_t n = Receive();
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
            throw PeerError{"peer timed out in the middle of a request"};
        }
    }

    // The next input with the sender's credentials; the first input may carry one file, files
    // sent later are dropped unopened.
    ssize_t Receive()
    {
        iovec iov{buf_.data(), buf_.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(4 * sizeof(int))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd_, &msg, MSG_CMSG_CLOEXEC);
        if (n <= 0)
            return n;
        pid_t from = 0;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET)
                continue;
            if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
                ucred cred;
                std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
                from = cred.pid;
            }
            if (c->cmsg_type != SCM_RIGHTS)
                continue;
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int number;
                std::memcpy(&number, CMSG_DATA(c) + i * sizeof(int), sizeof number);
                UniqueFd received(number); // ours now: kept or closed
                if (first_ && !file_)
                    file_ = std::move(received);
            }
        }
        first_ = false;
        if (sender_ > 0 && from != sender_)
            throw PeerError{"a message came from another process than the one that connected"};
        return n;
    }

    int fd_;
    UniqueFd file_;
    bool first_ = true;
    pid_t sender_ = 0;
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
    // request. A peer that closes instead is simply done; any other message breaks the format.
    enum class Pending { Taken, Closed, Broken };
    std::string TakePosted() { return std::exchange(posted_, {}); }
    Pending TakePendingAnswers()
    {
        for (; pendingAnswers_ > 0; --pendingAnswers_) {
            uint8_t answer[wire::kWriteAnswerSize];
            if (!peer_.Take(answer, 4))
                return Pending::Closed;
            if (wire::Get32(answer) != wire::kWriteAnswer)
                return Pending::Broken;
            peer_.TakeOrThrow(answer + 4, sizeof answer - 4);
        }
        return Pending::Taken;
    }

private:
    Peer &peer_;
    std::string posted_;
    int pendingAnswers_ = 0;
};

// The caller's memory for one connection, on one of three roads with the same results: shared
// (the arena's file, offered by the client with its first bytes, mapped here: no round trip, no
// system call), the kernel's cross-process calls (where permitted), or the caller's stub. Every
// road serves exactly the arena's block area and refuses everything else with ERROR_NOACCESS,
// so the engine's answers do not depend on the road taken.
class ConnectionMemory final : public MemoryAccess {
public:
    ConnectionMemory(Peer &peer, pid_t pid, MemoryRoad road) : stub_(peer), pid_(pid), road_(road) {}
    ~ConnectionMemory() override
    {
        if (shared_)
            ::munmap(shared_, std::size_t(hi_ - base_));
    }
    ConnectionMemory(const ConnectionMemory &) = delete;
    ConnectionMemory &operator=(const ConnectionMemory &) = delete;

    // The file the client offered with its first bytes (-1: none). Mapped when the road allows
    // it and it is what it says: ordinary shared memory (no huge pages, which could run out
    // under the engine's hands) sealed so that it cannot shrink, of the size its header names,
    // whose header names an arena below 4 GiB. Closed in any case.
    void Offer(UniqueFd file)
    {
        if (!file)
            return;
        struct stat st{};
        struct statfs fs{};
        const int seals = ::fcntl(file.get(), F_GET_SEALS);
        const bool usable = (road_ == MemoryRoad::Auto || road_ == MemoryRoad::Shared) && ::fstat(file.get(), &st) == 0 &&
                            ::fstatfs(file.get(), &fs) == 0 && fs.f_type == TMPFS_MAGIC &&
                            S_ISREG(st.st_mode) && uint64_t(st.st_size) > wire::kArenaHeaderSize &&
                            uint64_t(st.st_size) <= (1ull << 32) && seals >= 0 && (seals & F_SEAL_SHRINK) &&
                            !(seals & (F_SEAL_WRITE | F_SEAL_FUTURE_WRITE));
        void *map = usable ? ::mmap(nullptr, std::size_t(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, file.get(), 0)
                           : MAP_FAILED;
        file.reset();
        if (map == MAP_FAILED)
            return;
        const auto *header = static_cast<const uint8_t *>(map);
        const uint64_t base = wire::Get64(header + 16), size = wire::Get64(header + 24);
        if (std::memcmp(header, wire::kArenaMagic, sizeof wire::kArenaMagic) != 0 || size != uint64_t(st.st_size) ||
            base % 4096 != 0 || base > (1ull << 32) - size) {
            ::munmap(map, std::size_t(st.st_size));
            return;
        }
        shared_ = static_cast<uint8_t *>(map);
        base_ = base;
        lo_ = base + wire::kArenaHeaderSize;
        hi_ = base + size;
        reach_ = Reach::Shared;
    }

    void ReadMany(std::span<ReadOp> ops) override
    {
        if (!Direct())
            return stub_.ReadMany(ops);
        if (reach_ == Reach::Shared) {
            for (auto &op : ops) {
                op.status = Inside(op.addr, op.len) ? 0 : kErrNoAccess;
                if (op.status == 0)
                    op.out->assign(reinterpret_cast<const char *>(shared_ + (op.addr - base_)), op.len);
            }
            return;
        }
        // Everything in one call when every piece lies in the arena; piece by piece otherwise.
        bool batch = ops.size() <= kBatch;
        for (const auto &op : ops)
            batch = batch && Inside(op.addr, op.len);
        if (batch) {
            iovec local[kBatch], remote[kBatch];
            std::size_t n = 0, total = 0;
            for (auto &op : ops) {
                op.out->resize(op.len);
                if (op.len) {
                    local[n] = {op.out->data(), op.len};
                    remote[n] = {reinterpret_cast<void *>(op.addr), op.len};
                    total += op.len;
                    ++n;
                }
            }
            if (total == 0 || ::process_vm_readv(pid_, local, n, remote, n, 0) == ssize_t(total)) {
                for (auto &op : ops)
                    op.status = 0;
                return;
            }
        }
        for (auto &op : ops) {
            if (!Inside(op.addr, op.len)) {
                op.status = kErrNoAccess;
                continue;
            }
            op.out->resize(op.len);
            iovec l{op.out->data(), op.len};
            iovec r{reinterpret_cast<void *>(op.addr), op.len};
            const ssize_t n = op.len ? ::process_vm_readv(pid_, &l, 1, &r, 1, 0) : 0;
            if (n == ssize_t(op.len)) {
                op.status = 0;
            } else if (n >= 0 || !Fallback()) {
                op.status = kErrNoAccess;
            } else {
                return stub_.ReadMany(ops);
            }
        }
    }

    void WriteMany(std::span<WriteOp> ops) override
    {
        if (!Direct())
            return stub_.WriteMany(ops);
        if (reach_ == Reach::Shared) {
            for (auto &op : ops) {
                op.status = Inside(op.addr, op.data.size()) ? 0 : kErrNoAccess;
                if (op.status == 0 && !op.data.empty())
                    std::memcpy(shared_ + (op.addr - base_), op.data.data(), op.data.size());
            }
            return;
        }
        bool batch = ops.size() <= kBatch;
        for (const auto &op : ops)
            batch = batch && Inside(op.addr, op.data.size());
        if (batch) {
            iovec local[kBatch], remote[kBatch];
            std::size_t n = 0, total = 0;
            for (auto &op : ops) {
                if (!op.data.empty()) {
                    local[n] = {op.data.data(), op.data.size()};
                    remote[n] = {reinterpret_cast<void *>(op.addr), op.data.size()};
                    total += op.data.size();
                    ++n;
                }
            }
            if (total == 0 || ::process_vm_writev(pid_, local, n, remote, n, 0) == ssize_t(total)) {
                for (auto &op : ops)
                    op.status = 0;
                return;
            }
        }
        for (std::size_t i = 0; i < ops.size(); ++i) {
            auto &op = ops[i];
            if (!Inside(op.addr, op.data.size())) {
                op.status = kErrNoAccess;
                continue;
            }
            iovec l{op.data.data(), op.data.size()};
            iovec r{reinterpret_cast<void *>(op.addr), op.data.size()};
            const ssize_t n = op.data.empty() ? 0 : ::process_vm_writev(pid_, &l, 1, &r, 1, 0);
            if (n == ssize_t(op.data.size())) {
                op.status = 0;
            } else if (n >= 0 || !Fallback()) {
                op.status = kErrNoAccess;
            } else {
                return stub_.WriteMany(ops.subspan(i));
            }
        }
    }

    void PostWrite(uint64_t addr, std::string data) override
    {
        if (Direct())
            Write(addr, std::move(data));
        else
            stub_.PostWrite(addr, std::move(data));
    }
    bool ReadAheadPays() override { return !Direct(); }
    void PostWriteMany(std::span<WriteOp> ops) override
    {
        if (Direct())
            WriteMany(ops);
        else
            stub_.PostWriteMany(ops);
    }

    std::string TakePosted() { return stub_.TakePosted(); }
    SocketMemory::Pending TakePendingAnswers() { return stub_.TakePendingAnswers(); }

    // The road this connection took, for its log line ("" before it reached any memory).
    std::string Road() const
    {
        char line[120];
        switch (reach_) {
        case Reach::Undecided:
            return "";
        case Reach::Shared:
            return " (memory shared)";
        default:
            if (measured_)
                std::snprintf(line, sizeof line,
                              " (memory reached %s: %.1f us with kernel calls, %.1f us through the stub)",
                              reach_ == Reach::Kernel ? "with kernel calls" : "through the stub", kernelUs_, stubUs_);
            else
                std::snprintf(line, sizeof line, " (memory reached %s)",
                              reach_ == Reach::Kernel ? "with kernel calls" : "through the stub");
            return line;
        }
    }

private:
    enum class Reach { Undecided, Shared, Kernel, Stub };
    static constexpr std::size_t kBatch = 16;
    static constexpr int kMeasureRounds = 5;

    bool Inside(uint64_t addr, uint64_t len) const { return addr >= lo_ && addr <= hi_ && len <= hi_ - addr; }

    // The kernel refused us this process (permissions, process gone): use the stub from now on.
    bool Fallback()
    {
        if (errno == EFAULT)
            return false; // a hole inside the arena: refused like the stub refuses it
        reach_ = Reach::Stub;
        return true;
    }

    // True when the memory is reached without the stub; the road is settled at the first use.
    bool Direct()
    {
        if (reach_ == Reach::Undecided) {
            const bool kernel = (road_ == MemoryRoad::Auto || road_ == MemoryRoad::Kernel) && pid_ > 0 && Locate();
            reach_ = kernel ? Reach::Kernel : Reach::Stub;
            if (kernel && road_ == MemoryRoad::Auto)
                Measure();
        }
        return reach_ == Reach::Shared || reach_ == Reach::Kernel;
    }

    // Looks for the arena among the caller's mappings below 4 GiB by its header.
    bool Locate()
    {
        std::FILE *maps = std::fopen(("/proc/" + std::to_string(pid_) + "/maps").c_str(), "re");
        if (!maps)
            return false;
        bool found = false;
        char line[512];
        while (std::fgets(line, sizeof line, maps)) {
            unsigned long long lo = 0, hi = 0;
            char perms[8] = {};
            if (std::sscanf(line, "%llx-%llx %7s", &lo, &hi, perms) != 3 || hi > (1ull << 32) || perms[0] != 'r' ||
                perms[1] != 'w' || hi - lo <= wire::kArenaHeaderSize)
                continue;
            uint8_t header[32];
            iovec local{header, sizeof header};
            iovec remote{reinterpret_cast<void *>(lo), sizeof header};
            if (::process_vm_readv(pid_, &local, 1, &remote, 1, 0) != ssize_t(sizeof header)) {
                if (errno == EPERM || errno == ESRCH || errno == ENOSYS)
                    break;
                continue;
            }
            if (std::memcmp(header, wire::kArenaMagic, sizeof wire::kArenaMagic) != 0 || wire::Get64(header + 16) != lo ||
                wire::Get64(header + 24) != hi - lo)
                continue;
            base_ = lo;
            lo_ = lo + wire::kArenaHeaderSize;
            hi_ = hi;
            found = true;
            break;
        }
        std::fclose(maps);
        return found;
    }

    // Times the kernel's calls against the stub and keeps the faster: a request reaches the
    // caller's memory with at most one read and one write through the kernel, where the stub
    // needs one more round trip (its writes go with the answer). Medians of a few rounds taken
    // in turn: a read and write of the arena's header through the kernel (written back as it
    // was; the caller never changes it) against a read through the stub.
    void Measure()
    {
        using Clock = std::chrono::steady_clock;
        uint8_t header[32];
        iovec local{header, sizeof header};
        iovec remote{reinterpret_cast<void *>(base_), sizeof header};
        std::vector<double> kernel, stub;
        for (int i = 0; i < kMeasureRounds; ++i) {
            const auto t0 = Clock::now();
            if (::process_vm_readv(pid_, &local, 1, &remote, 1, 0) != ssize_t(sizeof header) ||
                ::process_vm_writev(pid_, &local, 1, &remote, 1, 0) != ssize_t(sizeof header)) {
                reach_ = Reach::Stub;
                return;
            }
            const auto t1 = Clock::now();
            std::string scratch;
            stub_.Read(lo_, sizeof header, scratch);
            const auto t2 = Clock::now();
            kernel.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            stub.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
        }
        auto median = [](std::vector<double> &v) {
            std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(v.size() / 2), v.end());
            return v[v.size() / 2];
        };
        kernelUs_ = median(kernel);
        stubUs_ = median(stub);
        measured_ = true;
        reach_ = kernelUs_ <= stubUs_ ? Reach::Kernel : Reach::Stub;
    }

    SocketMemory stub_;
    pid_t pid_;
    MemoryRoad road_;
    Reach reach_ = Reach::Undecided;
    uint8_t *shared_ = nullptr;
    bool measured_ = false;
    double kernelUs_ = 0, stubUs_ = 0;
    uint64_t base_ = 0, lo_ = 0, hi_ = 0;
};

const char *ChannelName(Channel c)
{
    return c == Channel::Ansi ? "QXDAnsi" : "QXDUni";
}

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

Server::Server(std::shared_ptr<Engine> engine, std::string deviceDir, std::ostream &log, bool verbose, MemoryRoad road)
    : engine_(std::move(engine)), dir_(std::move(deviceDir)), log_(log), verbose_(verbose), road_(road),
      clients_(ProgramPaths::Beside(ExecutableOf(int(::getpid()))).clients)
{
}

std::string Server::Refusal(const Connection &connection)
{
    if (connection.pid <= 0)
        return "its process is not known";
    clients_.Refresh(); // a console built or installed anew while the engine runs
    const std::optional<FileId> exe = IdOfExecutable(connection.pid);
    if (!exe || !clients_.Contains(*exe))
        return "it is not one of the project's clients";
    std::string why;
    if (!Unaltered(connection.pid, *exe, &why))
        return why;
    if (!HoldsPeerClosedOnExec(connection.pid, connection.fd.get()))
        return "its connection was not made by the program it runs now";
    return {};
}

Server::~Server()
{
    Stop();
}

void Server::Log(const std::string &line)
{
    const std::string text = "qxd-engine: " + line + "\n";
    std::lock_guard lock(logMutex_);
    log_.write(text.data(), std::streamsize(text.size()));
    log_.flush();
}

bool Server::Start(std::string &error)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(dir_).parent_path(), ec);
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
        if (st.st_uid != ::geteuid()) {
            error = d + " belongs to another user";
            return false;
        }
        if (st.st_mode & (S_IWGRP | S_IWOTH)) {
            error = d + " can be written by other users; clients refuse such a folder";
            return false;
        }
        if (group_ != gid_t(-1) && (::chown(d.c_str(), uid_t(-1), group_) != 0 || ::chmod(d.c_str(), 0750) != 0)) {
            error = "cannot hand " + d + " to its group: " + std::strerror(errno);
            return false;
        }
    }
    const std::string lockPath = dir_ + "/.qxd-engine.lock";
    lockFd_.reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lockFd_) {
        error = "cannot open " + lockPath + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(lockFd_.get(), LOCK_EX | LOCK_NB) != 0) {
        error = "another qxd-engine already serves " + dir_;
        lockFd_.reset();
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
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd) {
            error = std::string("socket: ") + std::strerror(errno);
            Stop();
            return false;
        }
        const bool shared = group_ != gid_t(-1);
        const mode_t old = ::umask(shared ? 0117 : 0177);
        const int rc = ::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::umask(old);
        if (rc != 0 || (shared && ::chown(path.c_str(), uid_t(-1), group_) != 0) ||
            ::chmod(path.c_str(), shared ? 0660 : 0600) != 0 || ::listen(fd.get(), 64) != 0) {
            error = "cannot serve " + path + ": " + std::strerror(errno);
            fd.reset();
            Stop();
            return false;
        }
        // Each message comes with its sender's credentials, also those sent before the accept.
        const int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
        listeners_.push_back({std::move(fd), path, n.channel});
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
            fds.push_back({l.fd.get(), POLLIN, 0});
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
        Expire();
    }
}

void Server::Accept(const Listener &listener)
{
    for (;;) {
        UniqueFd fd(::accept4(listener.fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                Log(std::string("accept failed: ") + std::strerror(errno));
            return;
        }
        Reap(false);
        ucred cred{};
        socklen_t len = sizeof cred;
        const bool known = ::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
        const uid_t uid = known ? cred.uid : uid_t(-1);
        if (!Admit(uid)) {
            Log("too many clients in requests; a new connection to " + std::string(ChannelName(listener.channel)) +
                " refused");
            continue;
        }
        timeval timeout{kPeerTimeoutMs / 1000, (kPeerTimeoutMs % 1000) * 1000};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        const int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
        auto conn = std::make_unique<Connection>();
        conn->fd = std::move(fd);
        conn->channel = listener.channel;
        conn->uid = uid;
        conn->idleSinceMs = NowMs();
        Connection &ref = *conn;
        connections_.push_back(std::move(conn));
        std::string who = "client";
        if (known) {
            who = "client pid " + std::to_string(cred.pid);
            ref.pid = cred.pid;
        }
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
    Peer peer(connection.fd.get());
    if (!anyClient_)
        peer.OnlyFrom(connection.pid);
    ConnectionMemory memory(peer, connection.pid, road_);
    uint64_t requests = 0;
    std::string reason = "disconnected";
    try {
        for (;;) {
            // Idle until the client's next bytes; then busy, unless the engine has begun to close
            // the connection, in which case nothing more is served.
            connection.idleSinceMs = NowMs();
            connection.phase = Phase::Idle;
            Phase idle = Phase::Idle;
            if (!peer.WaitForInput([&] { return connection.phase == Phase::Closing; }) ||
                !connection.phase.compare_exchange_strong(idle, Phase::Busy)) {
                if (connection.phase == Phase::Closing)
                    reason = "closed while idle";
                break;
            }
            if (const auto pending = memory.TakePendingAnswers(); pending != SocketMemory::Pending::Taken) {
                if (pending == SocketMemory::Pending::Broken)
                    reason = "dropped: unexpected message instead of a write answer";
                break;
            }
            uint8_t msg[wire::kControlSize];
            if (!peer.Take(msg, 4))
                break;
            if (wire::Get32(msg) != wire::kControl) {
                reason = "dropped: unexpected message kind " + std::to_string(wire::Get32(msg));
                break;
            }
            peer.TakeOrThrow(msg + 4, wire::kControlSize - 4);
            if (requests == 0 && !anyClient_) {
                if (const std::string why = Refusal(connection); !why.empty()) {
                    Log("client pid " + std::to_string(connection.pid) + " (" + ExecutableOf(connection.pid) +
                        ") refused: " + why);
                    std::string denied;
                    wire::EncodeDone(denied, false, kErrAccessDenied, 0);
                    peer.Send(denied);
                    reason = "dropped: not served";
                    break;
                }
            }
            if (requests == 0)
                memory.Offer(peer.TakeFile());
            const wire::Control c = wire::DecodeControl(msg);
            const Result result =
                engine_->Handle(Request{connection.channel, c.code, c.inAddr, c.inLen, c.outAddr, c.outLen}, memory);
            ++requests;
            // "More data" is the normal first answer when an entry is read back.
            if (verbose_ || (!result.ok && result.error != kErrMoreData)) {
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
        std::to_string(requests) + " request(s)" + memory.Road());
    ::shutdown(connection.fd.get(), SHUT_RDWR);
    connection.done = true;
}

void Server::Reap(bool all)
{
    for (auto it = connections_.begin(); it != connections_.end();) {
        Connection &c = **it;
        if (all && !c.done)
            ::shutdown(c.fd.get(), SHUT_RDWR);
        if (all || c.done) {
            if (c.thread.joinable())
                c.thread.join();
            it = connections_.erase(it); // closes its socket, now that its thread is gone
        } else {
            ++it;
        }
    }
}

bool Server::CloseIdle(Connection &connection)
{
    Phase idle = Phase::Idle;
    if (!connection.phase.compare_exchange_strong(idle, Phase::Closing))
        return false;
    std::string closing;
    wire::Put32(closing, wire::kClosing);
    [[maybe_unused]] const ssize_t n = ::send(connection.fd.get(), closing.data(), closing.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(connection.fd.get(), SHUT_RDWR);
    return true;
}

bool Server::Admit(uid_t uid)
{
    // Connections still served, by user.
    std::map<uid_t, std::size_t> held;
    std::size_t total = 0;
    for (const auto &c : connections_)
        if (!c->done && c->phase != Phase::Closing) {
            ++held[c->uid];
            ++total;
        }
    const bool userFull = held[uid] >= kMaxConnectionsPerUser;
    if (!userFull && total < kMaxConnections)
        return true;
    // The one idle the longest of this user, or else of the user holding the most.
    for (;;) {
        Connection *oldest = nullptr;
        for (const auto &c : connections_) {
            if (c->done || c->phase != Phase::Idle || (userFull && c->uid != uid))
                continue;
            if (!oldest || (!userFull && held[c->uid] != held[oldest->uid] ? held[c->uid] > held[oldest->uid]
                                                                         : c->idleSinceMs < oldest->idleSinceMs))
                oldest = c.get();
        }
        if (!oldest)
            return false;
        if (CloseIdle(*oldest)) {
            Log("client pid " + std::to_string(oldest->pid) + " closed while idle to make room for another");
            return true;
        }
    }
}

void Server::Expire()
{
    const int64_t now = NowMs();
    for (const auto &c : connections_)
        if (!c->done && c->phase == Phase::Idle && now - c->idleSinceMs > idleTimeoutMs_)
            CloseIdle(*c);
}

void Server::ServeSocket(int fd, Channel channel, pid_t pid)
{
    Connection connection;
    // A descriptor of its own on the caller's socket: the caller closes `fd`.
    connection.fd.reset(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!connection.fd)
        return;
    connection.channel = channel;
    connection.pid = pid;
    Serve(connection);
}

void Server::Stop()
{
    Reap(true);
    for (auto &l : listeners_) {
        l.fd.reset();
        ::unlink(l.path.c_str());
    }
    listeners_.clear();
    lockFd_.reset();
}

} // namespace vx::qxd
