// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/device/device.h"

#include "platform/common/uniquefd.h"
#include "platform/device/arena.h"
#include "platform/device/wire.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <grp.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <strings.h>
#include <unordered_map>
#include <vector>

namespace vx::device {

namespace {

using Clock = std::chrono::steady_clock;

// Counted in every child a fork makes, so that a connection knows when it is used by a process
// other than the one that opened it.
std::atomic<unsigned> g_forks{0};

void CountFork()
{
    g_forks.fetch_add(1, std::memory_order_relaxed);
}

unsigned Forks()
{
    [[maybe_unused]] static const int registered = ::pthread_atfork(nullptr, nullptr, &CountFork);
    return g_forks.load(std::memory_order_relaxed);
}

// A folder the sockets may be trusted in: a directory of this user or root that nobody else can
// write to. 0, ERROR_FILE_NOT_FOUND or ERROR_ACCESS_DENIED.
DWORD CheckFolder(const std::string &dir)
{
    struct stat st{};
    if (::stat(dir.c_str(), &st) != 0)
        return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    if (!S_ISDIR(st.st_mode))
        return ERROR_FILE_NOT_FOUND;
    if ((st.st_uid != ::geteuid() && st.st_uid != 0) || (st.st_mode & (S_IWGRP | S_IWOTH)))
        return ERROR_ACCESS_DENIED;
    return 0;
}

// Connects to the engine's socket at `path` in the folders `folders` (outermost first); none with
// `error` on failure. The folders and the process at the other end must be this user's or root's.
UniqueFd ConnectSocket(const std::string &path, const std::vector<std::string> &folders, DWORD &error)
{
    error = ERROR_FILE_NOT_FOUND;
    for (const std::string &dir : folders)
        if ((error = CheckFolder(dir)) != 0)
            return {};
    error = ERROR_FILE_NOT_FOUND;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path))
        return {};
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return {};
    int rc;
    do
        rc = ::connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        if (errno == EACCES || errno == EPERM)
            error = ERROR_ACCESS_DENIED;
        return {};
    }
    ucred peer{};
    socklen_t len = sizeof peer;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 || (peer.uid != ::geteuid() && peer.uid != 0)) {
        error = ERROR_ACCESS_DENIED;
        return {};
    }
    error = 0;
    return fd;
}

// One connection to the engine's socket; serves the engine's READ and WRITE messages from the
// arena while a request is in flight. What one request makes it hold is bounded (an input
// buffer and at most kFlushAt bytes of answers; larger read answers go out straight from the
// arena), and every request ends by its deadline, however the engine behaves.
class SocketConnection final : public DeviceConnection {
public:
    SocketConnection(UniqueFd fd, std::string path, std::vector<std::string> folders)
        : fd_(std::move(fd)), forks_(Forks()), path_(std::move(path)), folders_(std::move(folders)), timeoutMs_(EngineTimeoutMs()),
          in_(new uint8_t[kInSize])
    {
        out_.reserve(kFlushAt + kCopyAt + 64);
        SetSocketTimeout(timeoutMs_);
    }

    bool Control(const ControlParams &p, DWORD &bytesReturned, DWORD &error) override
    {
        std::lock_guard lock(mutex_);
        bytesReturned = 0;
        try {
            // An engine that closed this connection as idle served nothing of the request: it
            // goes again, once, on a new connection.
            bool again = false;
            const bool ok = Exchange(p, bytesReturned, error, again);
            if (!again)
                return ok;
            Reconnect();
            return Exchange(p, bytesReturned, error, again);
        } catch (...) {
            // Nothing may leave the call; the exchange cannot go on in an unknown state.
            Broken(error);
            error = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
    }

private:
    static constexpr std::size_t kInSize = 65536;
    // Read answers up to this size are copied and go out together; larger ones are sent from
    // the arena at once.
    static constexpr std::size_t kCopyAt = 16384;
    // Answers waiting to go out are sent once they reach this size.
    static constexpr std::size_t kFlushAt = 65536;
    // A wait may overrun the request's deadline by this much rather than reset the socket's
    // time-outs at every request.
    static constexpr int kSlackMs = 50;

    bool Exchange(const ControlParams &p, DWORD &bytesReturned, DWORD &error, bool &again)
    {
        again = false;
        // The engine says nothing between requests but that it closes the connection (or it
        // has gone): a connection it closed is made again before the request, not failed.
        if (forks_ != Forks() || (!broken_ && Hungup()))
            Reconnect();
        if (broken_) {
            error = ERROR_BROKEN_PIPE;
            return false;
        }
        deadline_ = Clock::now() + std::chrono::milliseconds(timeoutMs_);
        if (socketTimeoutMs_ != timeoutMs_)
            SetSocketTimeout(timeoutMs_);
        // Answers still pending from the last request travel with this one.
        wire::Put32(out_, wire::kControl);
        wire::Put32(out_, p.code);
        wire::Put64(out_, reinterpret_cast<uintptr_t>(p.inBuffer));
        wire::Put32(out_, p.inLen);
        wire::Put64(out_, reinterpret_cast<uintptr_t>(p.outBuffer));
        wire::Put32(out_, p.outLen);
        for (bool first = true;; first = false) {
            uint8_t header[16];
            if (!Take(header, 4)) {
                // Closed before the request reached it (the request could not be sent whole).
                again = first && !timedOut_ && ClosingPending();
                return Broken(error);
            }
            const uint32_t kind = wire::Get32(header);
            if (kind == wire::kClosing && first) {
                again = true;
                return Broken(error);
            }
            if (kind == wire::kDone) {
                if (!Take(header + 4, 12))
                    return Broken(error);
                // Answers to writes that came with DONE go out with the next request.
                const uint32_t ok = wire::Get32(header + 4);
                if (ok > 1)
                    return Broken(error);
                bytesReturned = wire::Get32(header + 12);
                error = ok ? 0 : wire::Get32(header + 8);
                if (!ok && error == 0)
                    error = ERROR_GEN_FAILURE;
                return ok == 1;
            }
            if (kind != wire::kRead && kind != wire::kWrite)
                return Broken(error);
            if (!Take(header + 4, 12))
                return Broken(error);
            const uint64_t addr = wire::Get64(header + 4);
            const uint32_t len = wire::Get32(header + 12);
            if (kind == wire::kRead) {
                const bool allowed = len <= wire::kMaxTransfer && InArenaMapping(addr, len);
                wire::Put32(out_, wire::kReadAnswer);
                wire::Put32(out_, allowed ? 0 : ERROR_NOACCESS);
                if (allowed && len > kCopyAt) {
                    if (!Send(reinterpret_cast<const void *>(addr), len))
                        return Broken(error);
                } else if (allowed) {
                    out_.append(reinterpret_cast<const char *>(addr), len);
                }
            } else {
                if (len > wire::kMaxTransfer)
                    return Broken(error);
                // Taken straight into the arena; a refused write is read past.
                const DWORD status = InArenaMapping(addr, len) ? 0 : ERROR_NOACCESS;
                if (status == 0 ? !Take(reinterpret_cast<uint8_t *>(addr), len) : !Skip(len))
                    return Broken(error);
                wire::Put32(out_, wire::kWriteAnswer);
                wire::Put32(out_, status);
            }
            if (out_.size() >= kFlushAt && !Send(nullptr, 0))
                return Broken(error);
        }
    }

    // A process forked off with this handle gets a connection of its own: the engine knows its
    // clients by the connecting process, and the parent's connection and pending answers stay
    // the parent's.
    void Reconnect()
    {
        fd_.reset();
        DWORD error = 0;
        fd_ = ConnectSocket(path_, folders_, error);
        forks_ = Forks();
        broken_ = !fd_.valid();
        timedOut_ = false;
        offered_ = false;
        out_.clear();
        pos_ = end_ = 0;
        if (fd_.valid())
            SetSocketTimeout(timeoutMs_);
    }

    // True when input waits between requests: the engine closes the connection, or is gone.
    bool Hungup()
    {
        if (pos_ != end_)
            return true;
        pollfd p{fd_.get(), POLLIN, 0};
        return !fd_.valid() || ::poll(&p, 1, 0) != 0;
    }

    // True when the engine's next message is that it closes the connection.
    bool ClosingPending()
    {
        uint8_t kind[4];
        std::size_t have = std::min<std::size_t>(end_ - pos_, sizeof kind);
        std::memcpy(kind, in_.get() + pos_, have);
        if (have < sizeof kind) {
            const ssize_t n = ::recv(fd_.get(), kind + have, sizeof kind - have, MSG_DONTWAIT | MSG_PEEK);
            have += n > 0 ? std::size_t(n) : 0;
        }
        return have == sizeof kind && wire::Get32(kind) == wire::kClosing;
    }

    bool Broken(DWORD &error)
    {
        broken_ = true;
        if (fd_.valid())
            ::shutdown(fd_.get(), SHUT_RDWR);
        error = timedOut_ ? ERROR_SEM_TIMEOUT : ERROR_BROKEN_PIPE;
        return false;
    }

    void SetSocketTimeout(int ms)
    {
        const timeval limit{ms / 1000, (ms % 1000) * 1000};
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        socketTimeoutMs_ = ms;
    }

    // Before each wait: false once the request's deadline has passed; otherwise the socket's
    // time-outs end the wait by the deadline.
    bool TimeLeft()
    {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
        if (left <= 0) {
            timedOut_ = true;
            return false;
        }
        if (left + kSlackMs < socketTimeoutMs_)
            SetSocketTimeout(int(left));
        return true;
    }

    // Sends the pending answers followed by `len` bytes at `data`. The connection's first bytes
    // carry the arena's file, so that the engine can map the arena instead of asking for every
    // read and write (an engine that does not take it loses nothing).
    bool Send(const void *data, std::size_t len)
    {
        iovec iov[2] = {{out_.data(), out_.size()}, {const_cast<void *>(data), len}};
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = 2;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        const int file = offered_ ? -1 : ArenaFile();
        if (file >= 0) {
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            cmsghdr *c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &file, sizeof file);
        }
        while (iov[0].iov_len + iov[1].iov_len > 0) {
            if (!TimeLeft())
                return false;
            const ssize_t n = ::sendmsg(fd_.get(), &msg, MSG_NOSIGNAL);
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            if (n <= 0)
                return false;
            offered_ = true;
            msg.msg_control = nullptr;
            msg.msg_controllen = 0;
            std::size_t done = std::size_t(n);
            for (iovec &v : iov) {
                const std::size_t step = std::min(done, v.iov_len);
                v.iov_base = static_cast<char *>(v.iov_base) + step;
                v.iov_len -= step;
                done -= step;
            }
            if (iov[0].iov_len == 0) {
                msg.msg_iov = iov + 1;
                msg.msg_iovlen = 1;
            }
        }
        out_.clear();
        return true;
    }

    // More input; pending answers go out before the connection waits.
    bool Fill()
    {
        if (!out_.empty() && !Send(nullptr, 0))
            return false;
        for (;;) {
            if (!TimeLeft())
                return false;
            const ssize_t n = ::recv(fd_.get(), in_.get(), kInSize, 0);
            if (n > 0) {
                pos_ = 0;
                end_ = std::size_t(n);
                return true;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            return false;
        }
    }

    // Copies `len` bytes of input to `dst`.
    bool Take(uint8_t *dst, std::size_t len)
    {
        while (len > 0) {
            if (pos_ == end_ && !Fill())
                return false;
            const std::size_t n = std::min(len, end_ - pos_);
            std::memcpy(dst, in_.get() + pos_, n);
            pos_ += n;
            dst += n;
            len -= n;
        }
        return true;
    }

    // Reads past `len` bytes of input.
    bool Skip(std::size_t len)
    {
        while (len > 0) {
            if (pos_ == end_ && !Fill())
                return false;
            const std::size_t n = std::min(len, end_ - pos_);
            pos_ += n;
            len -= n;
        }
        return true;
    }

    UniqueFd fd_;
    unsigned forks_;
    std::string path_;
    std::vector<std::string> folders_;
    const int timeoutMs_;
    int socketTimeoutMs_ = 0;
    Clock::time_point deadline_;
    std::mutex mutex_;
    bool broken_ = false;
    bool timedOut_ = false;
    bool offered_ = false;
    std::string out_;
    std::unique_ptr<uint8_t[]> in_;
    std::size_t pos_ = 0, end_ = 0;
};

class SocketBackend final : public DeviceBackend {
public:
    std::unique_ptr<DeviceConnection> Open(const OpenParams &params, DWORD &error) override
    {
        error = ERROR_FILE_NOT_FOUND;
        const std::string dir = DeviceDirectory();
        auto path = DeviceSocketPath(dir, params.name);
        if (!path)
            return nullptr;
        std::vector<std::string> folders{dir};
        if (path->size() > dir.size() + 1 && path->compare(dir.size() + 1, 7, "Global/") == 0)
            folders.push_back(dir + "/Global");
        UniqueFd fd = ConnectSocket(*path, folders, error);
        if (!fd)
            return nullptr;
        error = 0;
        return std::make_unique<SocketConnection>(std::move(fd), *path, std::move(folders));
    }
};

struct Devices {
    std::mutex mutex;
    std::shared_ptr<DeviceBackend> backend;
    std::unordered_map<uintptr_t, std::shared_ptr<DeviceConnection>> handles;
    uintptr_t next = 0x1000;
    std::set<std::string> hidden;
};

Devices &TheDevices()
{
    static Devices *d = new Devices; // lives until the process ends
    return *d;
}

std::shared_ptr<DeviceConnection> Lookup(HANDLE h)
{
    Devices &d = TheDevices();
    std::lock_guard lock(d.mutex);
    auto it = d.handles.find(reinterpret_cast<uintptr_t>(h));
    return it == d.handles.end() ? nullptr : it->second;
}

char g_advapi32; // the module handle GetModuleHandleA gives for advapi32

std::atomic<int> g_engineTimeoutMs{30000};

} // namespace

int EngineTimeoutMs() { return g_engineTimeoutMs.load(); }

int SetEngineTimeoutMs(int ms) { return g_engineTimeoutMs.exchange(ms > 0 ? ms : 1); }

bool SystemEngineServes(const std::string &dir, const std::string &groupName)
{
    struct stat st{};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0)
        return false;
    group entry{}, *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getgrnam_r(groupName.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        found->gr_gid != st.st_gid)
        return false;
    struct stat socket{};
    return ::stat((dir + "/Global/QXDAnsi").c_str(), &socket) == 0 && S_ISSOCK(socket.st_mode);
}

std::string ChooseDeviceDirectory(const std::string &deviceDirEnv, bool systemEngine, const std::string &runtimeDir,
                                  unsigned uid)
{
    if (!deviceDirEnv.empty())
        return deviceDirEnv;
    if (systemEngine)
        return kSystemDeviceDir;
    if (!runtimeDir.empty())
        return runtimeDir + "/vellamorix";
    if (uid == 0)
        return kSystemDeviceDir;
    return "/tmp/vellamorix-" + std::to_string(uid);
}

std::string DeviceDirectory()
{
    auto env = [](const char *name) {
        const char *value = std::getenv(name);
        return std::string(value ? value : "");
    };
    const std::string dir = env("VELLAMORIX_DEVICE_DIR");
    return ChooseDeviceDirectory(dir, dir.empty() && SystemEngineServes(), env("XDG_RUNTIME_DIR"), ::geteuid());
}

std::optional<std::string> DeviceSocketPath(const std::string &dir, const std::string &deviceName)
{
    static const std::string prefix = "\\\\.\\";
    if (deviceName.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    std::string rest = deviceName.substr(prefix.size());
    std::string sub;
    if (rest.size() > 7 && strncasecmp(rest.c_str(), "Global\\", 7) == 0) {
        sub = "Global/";
        rest = rest.substr(7);
    }
    if (rest.empty() || rest == "." || rest == ".." || rest.find_first_of("\\/:*?\"<>|") != std::string::npos)
        return std::nullopt;
    for (unsigned char c : rest)
        if (c < 0x20)
            return std::nullopt;
    return dir + "/" + sub + rest;
}

DWORD StubRead(uint64_t addr, uint32_t len, void *dst)
{
    if (!InArenaMapping(addr, len))
        return ERROR_NOACCESS;
    if (len)
        std::memcpy(dst, reinterpret_cast<const void *>(addr), len);
    return 0;
}

DWORD StubWrite(uint64_t addr, const void *src, uint32_t len)
{
    if (!InArenaMapping(addr, len))
        return ERROR_NOACCESS;
    if (len)
        std::memcpy(reinterpret_cast<void *>(addr), src, len);
    return 0;
}

std::shared_ptr<DeviceBackend> SetDeviceBackend(std::shared_ptr<DeviceBackend> backend)
{
    Devices &d = TheDevices();
    std::lock_guard lock(d.mutex);
    std::swap(d.backend, backend);
    return backend;
}

void SetExportHidden(const std::string &procName, bool hidden)
{
    Devices &d = TheDevices();
    std::lock_guard lock(d.mutex);
    if (hidden)
        d.hidden.insert(procName);
    else
        d.hidden.erase(procName);
}

} // namespace vx::device

using namespace vx::device;

HANDLE CreateFileA(const char *lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   void *lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    OpenParams params;
    params.name = lpFileName ? lpFileName : "";
    params.desiredAccess = dwDesiredAccess;
    params.shareMode = dwShareMode;
    params.securityAttributes = lpSecurityAttributes != nullptr;
    params.creationDisposition = dwCreationDisposition;
    params.flagsAndAttributes = dwFlagsAndAttributes;
    params.templateFile = hTemplateFile != nullptr;

    Devices &d = TheDevices();
    std::shared_ptr<DeviceBackend> backend;
    {
        std::lock_guard lock(d.mutex);
        backend = d.backend;
    }
    static SocketBackend sockets;
    DWORD error = ERROR_FILE_NOT_FOUND;
    std::unique_ptr<DeviceConnection> conn =
        backend ? backend->Open(params, error) : sockets.Open(params, error);
    if (!conn) {
        SetLastError(error ? error : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard lock(d.mutex);
    const uintptr_t h = d.next;
    d.next += 4;
    d.handles.emplace(h, std::move(conn));
    SetLastError(0);
    return reinterpret_cast<HANDLE>(h);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void *lpInBuffer, DWORD nInBufferSize,
                     void *lpOutBuffer, DWORD nOutBufferSize, DWORD *lpBytesReturned,
                     void *lpOverlapped)
{
    std::shared_ptr<DeviceConnection> conn = Lookup(hDevice);
    if (!conn) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE_;
    }
    if (lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE_;
    }
    DWORD bytes = 0, error = 0;
    bool ok = false;
    try {
        ok = conn->Control({dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize}, bytes, error);
    } catch (const std::bad_alloc &) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        error = ERROR_GEN_FAILURE;
    }
    if (lpBytesReturned)
        *lpBytesReturned = bytes;
    SetLastError(ok ? 0 : error);
    return ok ? TRUE_ : FALSE_;
}

BOOL CloseHandle(HANDLE hObject)
{
    std::shared_ptr<DeviceConnection> conn;
    {
        Devices &d = TheDevices();
        std::lock_guard lock(d.mutex);
        auto it = d.handles.find(reinterpret_cast<uintptr_t>(hObject));
        if (it == d.handles.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE_;
        }
        conn = std::move(it->second);
        d.handles.erase(it);
    }
    conn.reset();
    return TRUE_;
}

DWORD GetVersion()
{
    if (const char *v = std::getenv("VELLAMORIX_WINVER"); v && *v) {
        char *end = nullptr;
        errno = 0;
        unsigned long value = std::strtoul(v, &end, 0);
        if (errno == 0 && end && *end == '\0' && value <= 0xFFFFFFFFul)
            return DWORD(value);
    }
    return 0x0A280105; // 5.1, build 2600
}

HMODULE GetModuleHandleA(const char *lpModuleName)
{
    if (!lpModuleName)
        return nullptr;
    if (strcasecmp(lpModuleName, "advapi32.dll") == 0 || strcasecmp(lpModuleName, "advapi32") == 0)
        return &g_advapi32;
    SetLastError(126); // ERROR_MOD_NOT_FOUND
    return nullptr;
}

FARPROC GetProcAddress(HMODULE hModule, const char *lpProcName)
{
    if (hModule != &g_advapi32 || !lpProcName)
        return nullptr;
    Devices &d = TheDevices();
    std::lock_guard lock(d.mutex);
    if (std::strcmp(lpProcName, "GetSecurityDescriptorLength") == 0 && !d.hidden.count(lpProcName))
        return reinterpret_cast<FARPROC>(&GetSecurityDescriptorLength);
    SetLastError(127); // ERROR_PROC_NOT_FOUND
    return nullptr;
}

namespace {

// Arena memory is read only inside its allocation; other memory is the caller's to vouch for.
bool Readable(const uint8_t *p, uint64_t len)
{
    if (!InArena(p, 0))
        return true;
    return InArena(p, len);
}

uint32_t Le32(const uint8_t *p)
{
    return vx::device::wire::Get32(p);
}

} // namespace

DWORD GetSecurityDescriptorLength(void *pSecurityDescriptor)
{
    const auto *sd = static_cast<const uint8_t *>(pSecurityDescriptor);
    if (!sd || !Readable(sd, 20) || sd[0] != 1)
        return 0;
    const uint16_t control = uint16_t(sd[2] | sd[3] << 8);
    if (!(control & 0x8000))
        return 20; // absolute form: the header alone
    uint64_t end = 20;
    // Owner and group SIDs: 8 bytes + 4 per sub-authority.
    for (int off : {4, 8}) {
        const uint32_t at = Le32(sd + off);
        if (!at)
            continue;
        if (!Readable(sd, uint64_t(at) + 8))
            return 0;
        end = std::max<uint64_t>(end, uint64_t(at) + 8 + 4ull * sd[at + 1]);
    }
    // SACL and DACL: their own size field.
    for (int off : {12, 16}) {
        const uint32_t at = Le32(sd + off);
        if (!at)
            continue;
        if (!Readable(sd, uint64_t(at) + 8))
            return 0;
        end = std::max<uint64_t>(end, uint64_t(at) + uint16_t(sd[at + 2] | sd[at + 3] << 8));
    }
    if (end > 0xFFFFFFFFull || !Readable(sd, end))
        return 0;
    return DWORD(end);
}
