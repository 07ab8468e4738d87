// libFuzzer target over the engine's socket layer: the framing of what a client sends, the
// memory file it may offer with its first bytes, and its answers to the engine's READ and WRITE
// messages. One connection per input, served by the daemon's own code over a socket pair; what
// the engine sends back must be whole messages of the protocol, and it must keep no descriptor.
// Built only with -DVX_FUZZ=ON and clang; run by bench/fuzz_engine.sh.
//
// Input: byte 0 = flags (1: offer a memory file, 2: Unicode channel, 4: the file sealed against
// shrinking, 8: its header starts with the arena's mark, 16: a second file with the first
// bytes, 32: a file with the second part, which the engine must drop, 64: this program is served
// as one of the project's clients, each message checked to come from it, instead of any client); byte 1 = how many of the
// client's bytes go in the first part; bytes 2-3 = length of the file's contents after its
// header page, which follow the 12 bytes of this head; bytes 4-11 = the base and size its header
// names (32-bit little-endian each); then what the client sends: CONTROL messages and answers,
// as on the wire.
#include "bench/fuzz_session.h"
#include "platform/device/wire.h"
#include "qxd/core.h"
#include "qxd/identity.h"
#include "qxd/server.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using namespace vx::qxd;
using namespace vx::qxd::fuzz;
namespace wire = vx::device::wire;

namespace {

void Check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_qxd_socket: %s\n", what);
        std::abort();
    }
}

// The lowest free descriptor: a descriptor the engine kept would raise it.
int LowestFree()
{
    const int fd = ::dup(0);
    ::close(fd);
    return fd;
}

int MemoryFile(const uint8_t *head, const uint8_t *image, std::size_t imageLen, uint8_t flags)
{
    const int fd = ::memfd_create("arena", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    std::string contents(wire::kArenaHeaderSize, '\0');
    if (flags & 8)
        std::memcpy(contents.data(), wire::kArenaMagic, sizeof wire::kArenaMagic);
    std::string fields;
    wire::Put64(fields, wire::Get32(head));
    wire::Put64(fields, wire::Get32(head + 4));
    std::memcpy(contents.data() + 16, fields.data(), fields.size());
    contents.append(reinterpret_cast<const char *>(image), imageLen);
    if (::write(fd, contents.data(), contents.size()) != ssize_t(contents.size())) {
        ::close(fd);
        return -1;
    }
    if (flags & 4)
        ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK);
    return fd;
}

bool SendPart(int fd, const uint8_t *data, std::size_t len, int file, int second)
{
    iovec iov{const_cast<uint8_t *>(data), len};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
    const int files[2] = {file, second};
    const int count = (file >= 0) + (second >= 0);
    if (count > 0) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(count * sizeof(int));
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(count * sizeof(int));
        std::memcpy(CMSG_DATA(c), file >= 0 ? files : files + 1, count * sizeof(int));
    }
    return ::sendmsg(fd, &msg, MSG_NOSIGNAL) == ssize_t(len);
}

// Reads what the engine sent and checks it is a sequence of whole messages; returns the number
// of DONE messages.
std::size_t CheckAnswers(int fd)
{
    std::string out;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            break;
        out.append(buf, std::size_t(n));
    }
    std::size_t pos = 0, done = 0;
    const auto *p = reinterpret_cast<const uint8_t *>(out.data());
    while (pos < out.size()) {
        Check(out.size() - pos >= 4, "a message cut short");
        const uint32_t kind = wire::Get32(p + pos);
        std::size_t len = 0;
        switch (kind) {
        case wire::kRead:
            len = wire::kReadSize;
            break;
        case wire::kWrite:
            Check(out.size() - pos >= wire::kWriteHeader, "a write header cut short");
            Check(wire::Get32(p + pos + 12) <= wire::kMaxTransfer, "a write larger than the protocol allows");
            len = wire::kWriteHeader + wire::Get32(p + pos + 12);
            break;
        case wire::kDone:
            len = wire::kDoneSize;
            Check(out.size() - pos >= len, "a done message cut short");
            Check(wire::Get32(p + pos + 4) <= 1, "a done message neither ok nor failed");
            ++done;
            break;
        default:
            Check(false, "a message of no kind the protocol knows");
        }
        Check(out.size() - pos >= len, "a message cut short");
        pos += len;
    }
    return done;
}

// What a client that serves the engine's reads and writes from `memory` (address, bytes) sends
// for `requests` (18 bytes each, as in the request target's sessions) on one channel.
std::string Record(std::vector<std::pair<uint64_t, std::string>> memory, const std::string &requests, bool unicode)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return {};
    const timeval limit{2, 0};
    for (int fd : pair) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    std::thread engine([&] {
        std::ostream nowhere(nullptr);
        Server server(std::make_shared<Engine>(), "/nonexistent", nowhere);
        server.AllowAnyClient();
        server.ServeSocket(pair[0], unicode ? Channel::Unicode : Channel::Ansi, 0);
    });
    std::string sent;
    const auto send = [&](const std::string &bytes) {
        sent += bytes;
        return ::send(pair[1], bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    };
    const auto take = [&](std::size_t n) {
        std::string out(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = ::recv(pair[1], out.data() + got, n - got, 0);
            if (r <= 0)
                return std::string();
            got += std::size_t(r);
        }
        return out;
    };
    const auto find = [&](uint64_t addr, uint64_t len) -> std::string * {
        for (auto &[at, bytes] : memory)
            if (addr >= at && addr - at <= bytes.size() && len <= bytes.size() - (addr - at))
                return &bytes;
        return nullptr;
    };
    for (std::size_t i = 0; i + 18 <= requests.size(); i += 18) {
        const auto *r = reinterpret_cast<const uint8_t *>(requests.data() + i);
        if ((r[0] & 1) != unicode)
            continue;
        if (!send(wire::EncodeControl({kCodes[r[1] % 8], wire::Get32(r + 2), wire::Get32(r + 6), wire::Get32(r + 10),
                                       wire::Get32(r + 14)})))
            break;
        for (;;) {
            std::string h = take(4);
            if (h.empty())
                break;
            const uint32_t kind = wire::Get32(reinterpret_cast<const uint8_t *>(h.data()));
            if (kind == wire::kDone) {
                take(wire::kDoneSize - 4);
                break;
            }
            h += take(wire::kReadSize - 4);
            if (h.size() != wire::kReadSize)
                break;
            const uint64_t addr = wire::Get64(reinterpret_cast<const uint8_t *>(h.data()) + 4);
            const uint32_t len = wire::Get32(reinterpret_cast<const uint8_t *>(h.data()) + 12);
            std::string answer;
            std::string *region = find(addr, len);
            if (kind == wire::kRead) {
                wire::Put32(answer, wire::kReadAnswer);
                wire::Put32(answer, region ? 0 : 998);
                if (region)
                    for (auto &[base, bytes] : memory)
                        if (&bytes == region)
                            answer += bytes.substr(std::size_t(addr - base), len);
            } else {
                const std::string data = take(len);
                for (auto &[base, bytes] : memory)
                    if (&bytes == region)
                        bytes.replace(std::size_t(addr - base), len, data);
                wire::Put32(answer, wire::kWriteAnswer);
                wire::Put32(answer, region ? 0 : 998);
            }
            if (!send(answer))
                break;
        }
    }
    ::shutdown(pair[1], SHUT_WR);
    engine.join();
    ::close(pair[0]);
    ::close(pair[1]);
    return sent;
}

} // namespace

// With VX_FUZZ_SEED_DIR set, writes starting sessions there before fuzzing: the request target's
// session as a client on each channel sends it, with and without its memory offered.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *dir = std::getenv("VX_FUZZ_SEED_DIR");
    if (!dir)
        return 0;
    const std::string session = SeedSession(0);
    const std::size_t imageLen = uint8_t(session[1]) | uint8_t(session[2]) << 8;
    const std::string image = session.substr(3, imageLen), requests = session.substr(3 + imageLen);
    const std::string cred = kDefaultCredential;
    std::string wide;
    for (char c : cred)
        wide += std::string{c, '\0'};
    for (const bool unicode : {false, true}) {
        const std::string stream =
            Record({{0x10, cred + std::string(1, '\0')}, {0x40, wide + std::string(2, '\0')}, {0x100, image}}, requests, unicode);
        for (const uint8_t offer : {0, 1 | 4 | 8}) {
            std::string seed(12, '\0');
            seed[0] = char(offer | (unicode ? 2 : 0));
            seed[1] = char(std::min<std::size_t>(stream.size(), 200));
            if (offer) {
                seed[2] = char(image.size() & 0xFF);
                seed[3] = char(image.size() >> 8);
                Put32At(seed, 4, 0x10000);
                Put32At(seed, 8, uint32_t(wire::kArenaHeaderSize + image.size()));
                seed += image;
            }
            seed += stream;
            const std::string path = std::string(dir) + "/seed-" + (unicode ? "unicode" : "ansi") + (offer ? "-shared" : "");
            if (std::FILE *f = std::fopen(path.c_str(), "wb")) {
                std::fwrite(seed.data(), 1, seed.size(), f);
                std::fclose(f);
            }
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size < 12)
        return 0;
    const uint8_t flags = data[0];
    const std::size_t imageLen = std::min<std::size_t>((data[2] | data[3] << 8) % 8192, size - 12);
    const uint8_t *stream = data + 12 + imageLen;
    const std::size_t len = size - 12 - imageLen, firstLen = std::min<std::size_t>(data[1], len);

    const int before = LowestFree();
    int pair[2];
    Check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "no socket pair");
    // Short time-outs: a peer that stops sending is given up, never waited for.
    const timeval limit{0, 200000};
    ::setsockopt(pair[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(pair[0], SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const int big = 4 << 20;
    ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    ::setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    const int on = 1;
    ::setsockopt(pair[0], SOL_SOCKET, SO_PASSCRED, &on, sizeof on);

    const int file = (flags & 1) ? MemoryFile(data + 4, data + 12, imageLen, flags) : -1;
    const int second = (flags & 16) ? ::memfd_create("second", MFD_CLOEXEC) : -1;
    const int late = (flags & 32) ? ::memfd_create("late", MFD_CLOEXEC) : -1;
    bool sent = SendPart(pair[1], stream, firstLen, file, second);
    if (len > firstLen)
        sent = SendPart(pair[1], stream + firstLen, len - firstLen, late, -1) && sent;
    for (int fd : {file, second, late})
        if (fd >= 0)
            ::close(fd);
    ::shutdown(pair[1], SHUT_WR);

    std::size_t controls = 0;
    for (std::size_t i = 0; i + 4 <= len; ++i)
        controls += wire::Get32(stream + i) == wire::kControl;

    {
        std::ostream nowhere(nullptr);
        Server server(std::make_shared<Engine>(), "/nonexistent", nowhere);
        pid_t pid = 0;
        if (flags & 64) {
            server.ServeOnly({ExecutableOf(int(::getpid()))});
            pid = ::getpid();
        } else {
            server.AllowAnyClient();
        }
        server.ServeSocket(pair[0], (flags & 2) ? Channel::Unicode : Channel::Ansi, pid);
    }
    const std::size_t done = CheckAnswers(pair[1]);
    Check(!sent || done <= controls, "more answers than requests");
    ::close(pair[0]);
    ::close(pair[1]);
    Check(LowestFree() == before, "the engine kept a descriptor");
    return 0;
}
