#include "platform/device/device.h"

#include "platform/device/arena.h"
#include "platform/device/wire.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <strings.h>
#include <unordered_map>
#include <vector>

namespace vx::device {

namespace {

namespace wire = vx::device::wire;

// Connects to the engine's socket at `path`; -1 on failure.
int ConnectSocket(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path))
        return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int rc;
    do
        rc = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        ::close(fd);
        return -1;
    }
    // An engine that stops answering fails the call instead of holding the caller forever.
    const int ms = EngineTimeoutMs();
    const timeval limit{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

// One connection to the engine's socket; serves the engine's READ and WRITE messages from the
// arena while a request is in flight.
class SocketConnection final : public DeviceConnection {
public:
    SocketConnection(int fd, std::string path) : fd_(fd), pid_(::getpid()), path_(std::move(path)) {}
    ~SocketConnection() override { ::close(fd_); }

    bool Control(const ControlParams &p, DWORD &bytesReturned, DWORD &error) override
    {
        std::lock_guard lock(mutex_);
        bytesReturned = 0;
        if (pid_ != ::getpid())
            Reconnect();
        if (broken_) {
            error = ERROR_BROKEN_PIPE;
            return false;
        }
        // Answers still pending from the last request travel with this one.
        out_ += wire::EncodeControl({p.code, reinterpret_cast<uintptr_t>(p.inBuffer), p.inLen,
                                    reinterpret_cast<uintptr_t>(p.outBuffer), p.outLen});
        for (;;) {
            uint8_t header[16];
            if (!Take(header, 4))
                return Broken(error);
            const uint32_t kind = wire::Get32(header);
            if (kind == wire::kRead) {
                if (!Take(header + 4, 12))
                    return Broken(error);
                const uint64_t addr = wire::Get64(header + 4);
                const uint32_t len = wire::Get32(header + 12);
                const bool allowed = len <= wire::kMaxTransfer && InArenaMapping(addr, len);
                wire::Put32(out_, wire::kReadAnswer);
                wire::Put32(out_, allowed ? 0 : ERROR_NOACCESS);
                if (allowed)
                    out_.append(reinterpret_cast<const char *>(addr), len);
            } else if (kind == wire::kWrite) {
                if (!Take(header + 4, 12))
                    return Broken(error);
                const uint64_t addr = wire::Get64(header + 4);
                const uint32_t len = wire::Get32(header + 12);
                if (len > wire::kMaxTransfer)
                    return Broken(error);
                scratch_.resize(len);
                if (len && !Take(scratch_.data(), len))
                    return Broken(error);
                const DWORD status = StubWrite(addr, scratch_.data(), len);
                wire::Put32(out_, wire::kWriteAnswer);
                wire::Put32(out_, status);
            } else if (kind == wire::kDone) {
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
            } else {
                return Broken(error);
            }
        }
    }

private:
    // A process forked off with this handle gets a connection of its own: the engine knows its
    // clients by the connecting process, and the parent's connection and pending answers stay
    // the parent's.
    void Reconnect()
    {
        ::close(fd_);
        fd_ = ConnectSocket(path_);
        pid_ = ::getpid();
        broken_ = fd_ < 0;
        timedOut_ = false;
        out_.clear();
        in_.clear();
        pos_ = 0;
    }

    bool Broken(DWORD &error)
    {
        broken_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        error = timedOut_ ? ERROR_SEM_TIMEOUT : ERROR_BROKEN_PIPE;
        return false;
    }

    // A send or receive that found the socket's time-out elapsed.
    bool Failed(ssize_t n)
    {
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            timedOut_ = true;
        return false;
    }

    bool Flush()
    {
        std::size_t done = 0;
        while (done < out_.size()) {
            ssize_t n = ::send(fd_, out_.data() + done, out_.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return Failed(n);
            done += std::size_t(n);
        }
        out_.clear();
        return true;
    }

    // Copies `len` bytes of input; pending answers go out before the connection waits.
    bool Take(uint8_t *dst, std::size_t len)
    {
        while (len > 0) {
            if (pos_ == in_.size()) {
                if (!out_.empty() && !Flush())
                    return false;
                in_.resize(65536);
                ssize_t n;
                do
                    n = ::recv(fd_, in_.data(), in_.size(), 0);
                while (n < 0 && errno == EINTR);
                if (n <= 0) {
                    in_.clear();
                    pos_ = 0;
                    return Failed(n);
                }
                in_.resize(std::size_t(n));
                pos_ = 0;
            }
            const std::size_t n = std::min(len, in_.size() - pos_);
            std::memcpy(dst, in_.data() + pos_, n);
            pos_ += n;
            dst += n;
            len -= n;
        }
        return true;
    }

    int fd_;
    pid_t pid_;
    std::string path_;
    std::mutex mutex_;
    bool broken_ = false;
    bool timedOut_ = false;
    std::string out_;
    std::vector<uint8_t> in_;
    std::size_t pos_ = 0;
    std::vector<uint8_t> scratch_;
};

class SocketBackend final : public DeviceBackend {
public:
    std::unique_ptr<DeviceConnection> Open(const OpenParams &params, DWORD &error) override
    {
        error = ERROR_FILE_NOT_FOUND;
        auto path = DeviceSocketPath(DeviceDirectory(), params.name);
        if (!path)
            return nullptr;
        const int fd = ConnectSocket(*path);
        if (fd < 0)
            return nullptr;
        error = 0;
        return std::make_unique<SocketConnection>(fd, *path);
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

std::string DeviceDirectory()
{
    if (const char *dir = std::getenv("VELLAMORIX_DEVICE_DIR"); dir && *dir)
        return dir;
    if (const char *run = std::getenv("XDG_RUNTIME_DIR"); run && *run)
        return std::string(run) + "/vellamorix";
    return "/tmp/vellamorix-" + std::to_string(::getuid());
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
    const bool ok = conn->Control({dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize},
                                  bytes, error);
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
