// Device I/O: the arena, device names, versions, the descriptor length routine, and the socket
// client serving a scripted engine's reads and writes.
#include "platform/device/arena.h"
#include "platform/device/device.h"
#include "platform/device/wire.h"
#include "qxd/daemon_fixture.h"
#include "qxd/loader.h"
#include "qxd/server.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace qxdtest;
namespace wire = vx::device::wire;
using vx::device::ArenaAlloc;
using vx::device::ArenaBuffer;
using vx::device::ArenaFree;
using vx::device::InArena;

namespace {

// A scripted engine on "\\.\QXDAnsi": accepts `connections` clients one after another and runs
// `script` on each connection (Conn::index counts them from 0).
class ScriptedEngine {
public:
    struct Conn {
        int fd;
        int index = 0;
        void Send(const std::string &b) { ASSERT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size())); }
        std::string Recv(std::size_t n)
        {
            std::string out(n, '\0');
            std::size_t got = 0;
            while (got < n) {
                ssize_t r = ::recv(fd, out.data() + got, n - got, 0);
                if (r <= 0)
                    return "";
                got += std::size_t(r);
            }
            return out;
        }
    };

    ScriptedEngine(const std::string &dir, std::function<void(Conn &)> script, int connections = 1)
    {
        mkdir(dir.c_str(), 0700);
        listen_ = Bind(dir + "/QXDAnsi");
        EXPECT_EQ(listen(listen_, 4), 0);
        thread_ = std::thread([this, script, connections] {
            for (int i = 0; i < connections; ++i) {
                Conn c{accept(listen_, nullptr, nullptr), i};
                if (c.fd < 0)
                    break;
                ++accepted;
                script(c);
                ::close(c.fd);
            }
        });
    }
    std::atomic<int> accepted{0};
    ~ScriptedEngine()
    {
        ::shutdown(listen_, SHUT_RDWR); // a client that never connected ends the wait for it
        thread_.join();
        ::close(listen_);
    }

    // A socket bound at `path` (the file exists while it is open).
    static int Bind(const std::string &path)
    {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << path;
        return fd;
    }

private:
    int listen_ = -1;
    std::thread thread_;
};

uint32_t U32(const std::string &s, std::size_t off)
{
    return wire::Get32(reinterpret_cast<const uint8_t *>(s.data()) + off);
}

TEST(Arena, BlocksLieBelowFourGiBAreZeroedAndBounded)
{
    void *a = ArenaAlloc(100);
    void *b = ArenaAlloc(65536);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_LT(reinterpret_cast<uintptr_t>(b) + 65536, uintptr_t(1) << 32);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    std::memset(a, 0xFF, 100);
    EXPECT_TRUE(InArena(a, 100));
    EXPECT_TRUE(InArena(static_cast<char *>(a) + 99, 1));
    EXPECT_FALSE(InArena(a, 101)) << "not past the block, even into the rounding";
    EXPECT_FALSE(InArena(static_cast<char *>(a) + 100, 0));
    EXPECT_FALSE(InArena(static_cast<char *>(a) - 1, 2));
    int onStack = 0;
    EXPECT_FALSE(InArena(&onStack, 4));
    EXPECT_FALSE(InArena(uint64_t(0), 1));
    EXPECT_FALSE(InArena(reinterpret_cast<uintptr_t>(a), ~uint64_t(0)));
    ArenaFree(a);
    EXPECT_FALSE(InArena(a, 1)) << "freed memory is no longer served";
    void *c = ArenaAlloc(100);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(std::memcmp(c, std::string(100, '\0').data(), 100), 0) << "reused memory comes back zeroed";
    ArenaFree(c);
    ArenaFree(b);
    ArenaFree(&onStack); // ignored
    EXPECT_EQ(ArenaAlloc(std::size_t(1) << 40), nullptr);

    ArenaBuffer one(10);
    const uint32_t address = one.address();
    ArenaBuffer two(std::move(one));
    EXPECT_FALSE(one);
    EXPECT_EQ(two.address(), address);
    EXPECT_TRUE(InArena(two.data(), 10));
}

TEST(Arena, SharedAsASealedFileAForkedChildGetsACopyOfItsOwn)
{
    ArenaBuffer text(16);
    std::memcpy(text.data(), "parent", 7);
    const int file = vx::device::ArenaFile();
    if (file < 0)
        GTEST_SKIP() << "this system offers no sealed memory files; the arena is private memory";
    struct stat st{};
    ASSERT_EQ(fstat(file, &st), 0);
    EXPECT_EQ(fcntl(file, F_GET_SEALS) & (F_SEAL_SHRINK | F_SEAL_GROW), F_SEAL_SHRINK | F_SEAL_GROW);
    // The file is the arena: what is written in one shows in the other.
    char viaFile[7] = {};
    uint64_t header = text.address() & ~uint64_t(0xFFF);
    while (std::memcmp(reinterpret_cast<const void *>(header), wire::kArenaMagic, 16) != 0)
        header -= 4096;
    ASSERT_EQ(pread(file, viaFile, 7, off_t(text.address() - header)), 7);
    EXPECT_STREQ(viaFile, "parent");

    const pid_t child = fork();
    if (child == 0) {
        // The arena as the parent had it, in a file of its own; allocation still works.
        struct stat mine{};
        const int own = vx::device::ArenaFile();
        bool ok = own >= 0 && fstat(own, &mine) == 0 && mine.st_ino != st.st_ino;
        ok = ok && std::strcmp(static_cast<char *>(text.data()), "parent") == 0;
        std::memcpy(text.data(), "child", 6);
        ArenaBuffer more(100);
        ok = ok && more && InArena(more.data(), 100);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_TRUE(WaitChild(child, status, 30));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_STREQ(static_cast<char *>(text.data()), "parent") << "the child wrote into the parent's arena";
}

TEST(DeviceNames, MapToSocketsUnderTheDeviceDirectory)
{
    EXPECT_EQ(vx::device::DeviceSocketPath("/d", "\\\\.\\QXDAnsi"), "/d/QXDAnsi");
    EXPECT_EQ(vx::device::DeviceSocketPath("/d", "\\\\.\\Global\\QXDUni"), "/d/Global/QXDUni");
    for (const char *bad : {"", "QXDAnsi", "C:\\QXDAnsi", "\\\\.\\", "\\\\.\\Global\\", "\\\\.\\a/b", "\\\\.\\..",
                            "\\\\.\\x\\y", "\\\\?\\QXDAnsi"})
        EXPECT_FALSE(vx::device::DeviceSocketPath("/d", bad)) << bad;

    vxtest::Sandbox home;
    EXPECT_EQ(vx::device::DeviceDirectory(), home.deviceDir);
    unsetenv("VELLAMORIX_DEVICE_DIR");
    const bool system = vx::device::SystemEngineServes();
    EXPECT_EQ(vx::device::DeviceDirectory(), system ? "/run/vellamorix" : home.runtime + "/vellamorix");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(vx::device::DeviceDirectory(), system || geteuid() == 0 ? "/run/vellamorix"
                                                                      : "/tmp/vellamorix-" + std::to_string(geteuid()));
}

TEST(DeviceNames, DefaultFolderInItsOrder)
{
    using vx::device::ChooseDeviceDirectory;
    // The variable first, whatever else holds.
    EXPECT_EQ(ChooseDeviceDirectory("/d", true, "/run/user/1000", 1000), "/d");
    EXPECT_EQ(ChooseDeviceDirectory("/d", false, "", 0), "/d");
    // A system engine next, for root as for anyone who reaches it.
    EXPECT_EQ(ChooseDeviceDirectory("", true, "/run/user/1000", 1000), "/run/vellamorix");
    EXPECT_EQ(ChooseDeviceDirectory("", true, "", 1000), "/run/vellamorix");
    // Then the user's runtime folder, root's included.
    EXPECT_EQ(ChooseDeviceDirectory("", false, "/run/user/1000", 1000), "/run/user/1000/vellamorix");
    EXPECT_EQ(ChooseDeviceDirectory("", false, "/run/user/0", 0), "/run/user/0/vellamorix");
    // Without one: root's own folder under /run, nobody else's under /tmp.
    EXPECT_EQ(ChooseDeviceDirectory("", false, "", 0), "/run/vellamorix");
    EXPECT_EQ(ChooseDeviceDirectory("", false, "", 1000), "/tmp/vellamorix-1000");
}

TEST(DeviceNames, SystemEngineOnlyInAFolderOfRootsAndTheEnginesGroup)
{
    vxtest::Sandbox home;
    const std::string dir = home.dir + "/system";
    ASSERT_EQ(mkdir(dir.c_str(), 0750), 0);
    ASSERT_EQ(mkdir((dir + "/Global").c_str(), 0750), 0);
    EXPECT_FALSE(vx::device::SystemEngineServes(home.dir + "/missing"));
    EXPECT_FALSE(vx::device::SystemEngineServes(dir)) << "no socket";
    const int socketFd = ScriptedEngine::Bind(dir + "/Global/QXDAnsi");
    group entry{}, *found = nullptr;
    std::vector<char> buffer(16384);
    const bool groupExists =
        getgrnam_r(vx::device::kEngineGroup, &entry, buffer.data(), buffer.size(), &found) == 0 && found;
    if (geteuid() != 0 || !groupExists) {
        EXPECT_FALSE(vx::device::SystemEngineServes(dir)) << "not root's folder of the engine's group";
        close(socketFd);
        GTEST_SKIP() << "needs root and the group " << vx::device::kEngineGroup << " for the positive case";
    }
    EXPECT_FALSE(vx::device::SystemEngineServes(dir)) << "root's group, not the engine's";
    ASSERT_EQ(chown(dir.c_str(), 0, found->gr_gid), 0);
    EXPECT_TRUE(vx::device::SystemEngineServes(dir));
    ASSERT_EQ(chown(dir.c_str(), 65534, found->gr_gid), 0);
    EXPECT_FALSE(vx::device::SystemEngineServes(dir)) << "not root's";
    close(socketFd);
}

TEST(DeviceVersion, ReportsXpUnlessTold)
{
    unsetenv("VELLAMORIX_WINVER");
    EXPECT_EQ(GetVersion() & 0xFFFF, 0x0105u);
    EXPECT_EQ(GetVersion() & 0x80000000u, 0u);
    setenv("VELLAMORIX_WINVER", "0xC0000A04", 1);
    EXPECT_EQ(GetVersion(), 0xC0000A04u);
    setenv("VELLAMORIX_WINVER", "4", 1);
    EXPECT_EQ(GetVersion(), 4u);
    setenv("VELLAMORIX_WINVER", "five", 1);
    EXPECT_EQ(GetVersion() & 0xFFFF, 0x0105u);
    setenv("VELLAMORIX_WINVER", "0x1FFFFFFFF", 1);
    EXPECT_EQ(GetVersion() & 0xFFFF, 0x0105u);
    unsetenv("VELLAMORIX_WINVER");
}

TEST(DeviceHandles, MissingDevicesAndBadHandles)
{
    vxtest::Sandbox home;
    EXPECT_EQ(CreateFileA("\\\\.\\QXDAnsi", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileA("not a device", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileA(nullptr, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    DWORD bytes = 7;
    EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, 1, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x1234)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(DeviceStub, ServesOnlyTheArena)
{
    ArenaBuffer buf(8);
    std::memcpy(buf.data(), "abcdefgh", 8);
    char out[16] = {};
    EXPECT_EQ(vx::device::StubRead(buf.address(), 8, out), 0u);
    EXPECT_EQ(std::memcmp(out, "abcdefgh", 8), 0);
    EXPECT_EQ(vx::device::StubWrite(buf.address() + 4, "WXYZ", 4), 0u);
    EXPECT_EQ(std::memcmp(buf.data(), "abcdWXYZ", 8), 0);
    // Outside the arena: the stack, the null page, the arena's header page, past its end.
    EXPECT_EQ(vx::device::StubWrite(reinterpret_cast<uintptr_t>(out), "x", 1), ERROR_NOACCESS);
    EXPECT_EQ(out[0], 'a');
    EXPECT_EQ(vx::device::StubRead(0, 1, out), ERROR_NOACCESS);
    EXPECT_EQ(vx::device::StubRead(reinterpret_cast<uintptr_t>(out), 4, out + 8), ERROR_NOACCESS);
    // Walk down to the first page served; the page below it is the arena's header, not served.
    uint64_t first = buf.address() & ~uint64_t(0xFFF);
    while (first >= 8192 && vx::device::StubRead(first - 4096, 1, out) == 0)
        first -= 4096;
    EXPECT_EQ(std::memcmp(reinterpret_cast<const void *>(first - 4096), wire::kArenaMagic, 16), 0);
    EXPECT_EQ(wire::Get64(reinterpret_cast<const uint8_t *>(first - 4096) + 16), first - 4096);
    EXPECT_FALSE(vx::device::InArenaMapping(buf.address(), ~uint64_t(0)));
    EXPECT_FALSE(vx::device::InArenaMapping(~uint64_t(0) - 4, 8));
}

TEST(SecurityDescriptorLength, SelfRelativeAbsoluteAndBroken)
{
    HMODULE advapi = GetModuleHandleA("ADVAPI32.DLL");
    ASSERT_NE(advapi, nullptr);
    EXPECT_EQ(GetModuleHandleA("shell32.dll"), nullptr);
    EXPECT_NE(GetProcAddress(advapi, "GetSecurityDescriptorLength"), nullptr);
    EXPECT_EQ(GetProcAddress(advapi, "NoSuchRoutine"), nullptr);
    vx::device::SetExportHidden("GetSecurityDescriptorLength", true);
    EXPECT_EQ(GetProcAddress(advapi, "GetSecurityDescriptorLength"), nullptr);
    vx::device::SetExportHidden("GetSecurityDescriptorLength", false);

    ArenaBuffer sd(64);
    uint8_t *p = sd.bytes();
    p[0] = 1;
    p[3] = 0x80; // self-relative
    EXPECT_EQ(GetSecurityDescriptorLength(p), 20u);
    p[8] = 20; // group SID at 20 with 2 sub-authorities: 16 bytes
    p[21] = 2;
    p[12] = 36; // SACL at 36, 24 bytes
    p[38] = 24;
    EXPECT_EQ(GetSecurityDescriptorLength(p), 60u);
    p[38] = 40; // would run past the 64-byte block
    EXPECT_EQ(GetSecurityDescriptorLength(p), 0u);
    p[12] = 250; // component outside the block
    EXPECT_EQ(GetSecurityDescriptorLength(p), 0u);
    p[3] = 0; // absolute form
    EXPECT_EQ(GetSecurityDescriptorLength(p), 20u);
    p[0] = 2; // unknown revision
    EXPECT_EQ(GetSecurityDescriptorLength(p), 0u);
    EXPECT_EQ(GetSecurityDescriptorLength(nullptr), 0u);
}

TEST(DeviceClient, ServesTheEnginesReadsAndWritesFromTheArenaOnly)
{
    vxtest::Sandbox home;
    ArenaBuffer in(16), out(16);
    std::memcpy(in.data(), "request-payload", 16);
    char outside[16] = "not the arena";
    const uint64_t inAddr = in.address(), outAddr = out.address(), stackAddr = reinterpret_cast<uintptr_t>(outside);
    {
        ScriptedEngine engine(home.deviceDir, [&](ScriptedEngine::Conn &c) {
            const std::string control = c.Recv(wire::kControlSize);
            ASSERT_EQ(control.size(), wire::kControlSize);
            const wire::Control got = wire::DecodeControl(reinterpret_cast<const uint8_t *>(control.data()));
            EXPECT_EQ(got.code, 0xA0243013u);
            EXPECT_EQ(got.inAddr, inAddr);
            EXPECT_EQ(got.inLen, 16u);
            EXPECT_EQ(got.outAddr, outAddr);
            EXPECT_EQ(got.outLen, 3u);
            // Two reads in one go: the arena one is served, the other refused.
            std::string msg;
            wire::Put32(msg, wire::kRead);
            wire::Put64(msg, inAddr);
            wire::Put32(msg, 16);
            wire::Put32(msg, wire::kRead);
            wire::Put64(msg, stackAddr);
            wire::Put32(msg, 4);
            c.Send(msg);
            const std::string a1 = c.Recv(8 + 16);
            EXPECT_EQ(U32(a1, 0), uint32_t(wire::kReadAnswer));
            EXPECT_EQ(U32(a1, 4), 0u);
            EXPECT_EQ(a1.substr(8), std::string("request-payload\0", 16));
            const std::string a2 = c.Recv(8);
            EXPECT_EQ(U32(a2, 4), ERROR_NOACCESS);
            // Writes: into the arena, past its block, outside it.
            msg.clear();
            for (auto [addr, text] : {std::pair<uint64_t, std::string>{outAddr, "written"},
                                      {0x10, "null page"},
                                      {stackAddr, "evil"}}) {
                wire::Put32(msg, wire::kWrite);
                wire::Put64(msg, addr);
                wire::Put32(msg, uint32_t(text.size()));
                msg += text;
            }
            c.Send(msg);
            const std::string w = c.Recv(3 * 8);
            EXPECT_EQ(U32(w, 4), 0u);
            EXPECT_EQ(U32(w, 12), ERROR_NOACCESS);
            EXPECT_EQ(U32(w, 20), ERROR_NOACCESS);
            msg.clear();
            wire::EncodeDone(msg, true, 0, 42);
            c.Send(msg);

            // Second request: failed with a code.
            ASSERT_EQ(c.Recv(wire::kControlSize).size(), wire::kControlSize);
            msg.clear();
            wire::EncodeDone(msg, false, 0xE0050004u, 0);
            c.Send(msg);

            // Third request: answered with garbage.
            ASSERT_EQ(c.Recv(wire::kControlSize).size(), wire::kControlSize);
            msg.clear();
            wire::Put32(msg, 77);
            wire::Put32(msg, 0);
            c.Send(msg);
        });
        HANDLE h = CreateFileA("\\\\.\\QXDAnsi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DWORD bytes = 0;
        EXPECT_TRUE(DeviceIoControl(h, 0xA0243013, in.data(), 16, out.data(), 3, &bytes, nullptr));
        EXPECT_EQ(bytes, 42u);
        EXPECT_EQ(std::string(static_cast<char *>(out.data()), 7), "written");
        EXPECT_EQ(std::string(outside), "not the arena");

        EXPECT_FALSE(DeviceIoControl(h, 1, nullptr, 0, nullptr, 0, &bytes, nullptr));
        EXPECT_EQ(GetLastError(), 0xE0050004u);

        EXPECT_FALSE(DeviceIoControl(h, 1, nullptr, 0, nullptr, 0, &bytes, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
        // The connection stays broken; the handle still closes.
        EXPECT_FALSE(DeviceIoControl(h, 1, nullptr, 0, nullptr, 0, &bytes, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
        EXPECT_TRUE(CloseHandle(h));
        EXPECT_FALSE(CloseHandle(h));
    }
}

TEST(DeviceClient, AnEngineThatStopsAnsweringFailsTheCallInsteadOfHanging)
{
    vxtest::Sandbox home;
    const int previous = vx::device::SetEngineTimeoutMs(300);
    {
        // Takes the request and the start of a read answer's wait, then goes silent until the
        // client gives up and shuts the connection.
        ScriptedEngine engine(home.deviceDir, [](ScriptedEngine::Conn &c) {
            ASSERT_EQ(c.Recv(wire::kControlSize).size(), wire::kControlSize);
            EXPECT_EQ(c.Recv(1), "");
        });
        HANDLE h = CreateFileA("\\\\.\\QXDAnsi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DWORD bytes = 7;
        EXPECT_FALSE(DeviceIoControl(h, 0xA0243013, nullptr, 0, nullptr, 0, &bytes, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
        EXPECT_EQ(bytes, 0u);
        // A late answer cannot be mistaken for the next request's.
        EXPECT_FALSE(DeviceIoControl(h, 0xA0243013, nullptr, 0, nullptr, 0, &bytes, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
        EXPECT_TRUE(CloseHandle(h));
    }
    vx::device::SetEngineTimeoutMs(previous);
}

std::string Done(uint32_t bytes)
{
    std::string msg;
    wire::EncodeDone(msg, true, 0, bytes);
    return msg;
}

std::string Closing()
{
    std::string msg;
    wire::Put32(msg, wire::kClosing);
    return msg;
}

// An engine closes connections that hold no request: the client makes a new one at its next
// request, and a request the engine answered with "closing" instead of serving goes again on a
// new connection, so a handle survives its user's idle time.
TEST(DeviceClient, AConnectionTheEngineClosesIsMadeAgain)
{
    vxtest::Sandbox home;
    std::atomic<int> served{0};
    {
        ScriptedEngine engine(
            home.deviceDir,
            [&](ScriptedEngine::Conn &c) {
                if (c.index == 0) {
                    ASSERT_EQ(c.Recv(wire::kControlSize).size(), wire::kControlSize);
                    c.Send(Done(1));
                    ++served;
                    // The second request arrives as the engine closes the connection: not served.
                    ASSERT_EQ(c.Recv(wire::kControlSize).size(), wire::kControlSize);
                    c.Send(Closing());
                    return;
                }
                ASSERT_EQ(c.Recv(wire::kControlSize).size(), wire::kControlSize);
                c.Send(Done(uint32_t(c.index) + 1));
                ++served;
                if (c.index == 1)
                    c.Send(Closing()); // closed while idle
            },
            3);
        HANDLE h = CreateFileA("\\\\.\\QXDAnsi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DWORD bytes = 0;
        EXPECT_TRUE(DeviceIoControl(h, 0xA024301B, nullptr, 0, nullptr, 0, &bytes, nullptr));
        EXPECT_EQ(bytes, 1u);
        EXPECT_TRUE(DeviceIoControl(h, 0xA024301B, nullptr, 0, nullptr, 0, &bytes, nullptr)) << GetLastError();
        EXPECT_EQ(bytes, 2u) << "sent again on the second connection";
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the second connection is closed meanwhile
        EXPECT_TRUE(DeviceIoControl(h, 0xA024301B, nullptr, 0, nullptr, 0, &bytes, nullptr)) << GetLastError();
        EXPECT_EQ(bytes, 3u) << "made again before the request";
        EXPECT_TRUE(CloseHandle(h));
    }
    EXPECT_EQ(served, 3) << "each request served once";
}

// A connection lost in the middle of a request (the engine may have carried it out) is not
// taken for a closing: the request fails and is not sent a second time.
TEST(DeviceClient, ARequestCutOffIsNotSentTwice)
{
    vxtest::Sandbox home;
    ScriptedEngine engine(
        home.deviceDir,
        [](ScriptedEngine::Conn &c) {
            ASSERT_EQ(c.Recv(wire::kControlSize).size(), wire::kControlSize);
            // Gone without a word.
        },
        2);
    HANDLE h = CreateFileA("\\\\.\\QXDAnsi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(h, 0xA024301B, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    EXPECT_EQ(engine.accepted, 1);
    EXPECT_TRUE(CloseHandle(h));
}

// The engine's own server: a connection idle past the idle time is told so and closed; one in
// the middle of a request is not, however long its client takes within the peer time-out; a
// client whose connection was closed is served again at its next request.
TEST(EngineServer, IdleConnectionsAreClosedAndTheirClientsServedAgain)
{
    vxtest::Sandbox home;
    std::ostringstream log;
    auto server = std::make_unique<vx::qxd::Server>(std::make_shared<vx::qxd::Engine>(), home.deviceDir, log, false,
                                                    vx::qxd::MemoryRoad::Stub);
    server->AllowAnyClient();
    server->SetIdleTimeoutMs(300);
    std::string error;
    ASSERT_TRUE(server->Start(error)) << error;
    int stop[2];
    ASSERT_EQ(::pipe2(stop, O_CLOEXEC), 0);
    std::thread run([&] { server->Run(stop[0]); });

    RawClient idle(home.deviceDir + "/QXDAnsi");
    ASSERT_TRUE(idle.connected());
    EXPECT_EQ(idle.Recv(4), Closing()) << "told before it is closed";
    EXPECT_TRUE(idle.Closed());

    // A request whose client answers the engine's read only after twice the idle time.
    RawClient slow(home.deviceDir + "/QXDAnsi");
    ASSERT_TRUE(slow.Send(wire::EncodeControl({vx::qxd::kGetEntryCount, 0x10000, 19, 0, 0})));
    const std::string read = slow.Recv(wire::kReadSize);
    ASSERT_EQ(read.size(), wire::kReadSize);
    EXPECT_EQ(U32(read, 0), uint32_t(wire::kRead));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::string answer;
    wire::Put32(answer, wire::kReadAnswer);
    wire::Put32(answer, 0);
    answer += std::string(vx::qxd::kDefaultCredential);
    ASSERT_EQ(answer.size(), 8u + 19u);
    ASSERT_TRUE(slow.Send(answer));
    const std::string done = slow.Recv(wire::kDoneSize);
    ASSERT_EQ(done.size(), wire::kDoneSize) << "the request in progress was cut off";
    EXPECT_EQ(U32(done, 0), uint32_t(wire::kDone));

    // A real client thinking longer than the idle time between two requests.
    ArenaBuffer cred(20);
    std::memcpy(cred.data(), vx::qxd::kDefaultCredential, 19);
    HANDLE h = CreateFileA("\\\\.\\QXDAnsi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD count = 7;
    EXPECT_TRUE(DeviceIoControl(h, vx::qxd::kGetEntryCount, cred.data(), 19, nullptr, 0, &count, nullptr)) << GetLastError();
    EXPECT_EQ(count, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    count = 7;
    EXPECT_TRUE(DeviceIoControl(h, vx::qxd::kGetEntryCount, cred.data(), 19, nullptr, 0, &count, nullptr)) << GetLastError();
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(CloseHandle(h));

    ::close(stop[1]);
    run.join();
    ::close(stop[0]);
    server.reset();
    std::size_t closed = 0;
    for (std::size_t at = log.str().find("closed while idle"); at != std::string::npos;
         at = log.str().find("closed while idle", at + 1))
        ++closed;
    EXPECT_GE(closed, 2u) << log.str();
}

// The threads of this process.
int Threads()
{
    int n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

// One user cannot take every slot: another user's 300 connections, each stalled in the middle
// of a request (which the engine cannot close as idle), are held to that user's share, and a
// client of this user is still served at once.
TEST(EngineServer, OneUserCannotTakeEverySlot)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "connecting as another user needs root";
    vxtest::Sandbox home;
    ASSERT_EQ(::chmod(home.dir.c_str(), 0755), 0);
    std::ostringstream log;
    auto server = std::make_unique<vx::qxd::Server>(std::make_shared<vx::qxd::Engine>(), home.deviceDir, log, false,
                                                    vx::qxd::MemoryRoad::Stub);
    server->AllowAnyClient();
    server->ShareWithGroup(65534);
    std::string error;
    ASSERT_TRUE(server->Start(error)) << error;
    int stop[2], ready[2], hold[2];
    ASSERT_EQ(::pipe2(stop, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(hold, O_CLOEXEC), 0);
    std::thread run([&] { server->Run(stop[0]); });
    const int base = Threads();

    const std::string ansi = home.deviceDir + "/QXDAnsi";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(hold[1]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            _exit(1);
        int opened = 0;
        for (int i = 0; i < 300; ++i) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::snprintf(a.sun_path, sizeof a.sun_path, "%s", ansi.c_str());
            if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::send(fd, "\x01", 1, MSG_NOSIGNAL) == 1)
                ++opened;
        }
        [[maybe_unused]] ssize_t w = ::write(ready[1], &opened, sizeof opened);
        char c;
        [[maybe_unused]] ssize_t r = ::read(hold[0], &c, 1);
        _exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    int opened = 0;
    pollfd p{ready[0], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 30000), 1);
    ASSERT_EQ(::read(ready[0], &opened, sizeof opened), ssize_t(sizeof opened));
    EXPECT_EQ(opened, 300) << "the other user reached the engine";
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the engine takes in what it accepted

    RawClient mine(ansi);
    ASSERT_TRUE(mine.Send(wire::EncodeControl({vx::qxd::kGetEntryCount, 0x10000, 19, 0, 0})));
    const std::string read = mine.Recv(wire::kReadSize);
    EXPECT_EQ(read.size(), wire::kReadSize) << "a client of this user is served";
    const int during = Threads();
    EXPECT_LE(during, base + int(vx::qxd::Server::kMaxConnectionsPerUser) + 2)
        << "threads before: " << base << ", with the other user's 300 connections: " << during;

    ::close(hold[1]);
    int st = 0;
    if (!WaitChild(child, st, 30)) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &st, 0);
    }
    mine.Close();
    ::close(stop[1]);
    run.join();
    ::close(stop[0]);
    ::close(ready[0]);
    server.reset();
    EXPECT_NE(log.str().find("too many clients"), std::string::npos) << "the rest were turned away";
}

HANDLE OpenAnsi(const char *name = "\\\\.\\QXDAnsi")
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// The process's resident memory in KiB.
long ResidentKiB()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

TEST(DeviceClient, AnEngineThatFloodsReadsNeitherHoldsMemoryNorThrows)
{
    vxtest::Sandbox home;
    const int previous = vx::device::SetEngineTimeoutMs(1000);
    ArenaBuffer anchor(16);
    // Reads of the largest size allowed, inside the arena, whose answers the engine never takes:
    // 4096 of them would be 64 GiB of answers.
    const uint64_t addr = anchor.address() & ~uint64_t(0xFFF);
    ASSERT_TRUE(vx::device::InArenaMapping(addr, wire::kMaxTransfer));
    {
        ScriptedEngine engine(home.deviceDir, [&](ScriptedEngine::Conn &c) {
            ASSERT_EQ(c.Recv(wire::kControlSize).size(), wire::kControlSize);
            std::string msg;
            for (int i = 0; i < 4096; ++i) {
                wire::Put32(msg, wire::kRead);
                wire::Put64(msg, addr);
                wire::Put32(msg, wire::kMaxTransfer);
            }
            ::send(c.fd, msg.data(), msg.size(), MSG_NOSIGNAL);
            pollfd hangUp{c.fd, POLLRDHUP, 0};
            ::poll(&hangUp, 1, 10000);
        });
        HANDLE h = OpenAnsi();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        const long before = ResidentKiB();
        const auto start = std::chrono::steady_clock::now();
        DWORD bytes = 7;
        BOOL ok = TRUE_;
        EXPECT_NO_THROW(ok = DeviceIoControl(h, 0xA0243013, nullptr, 0, nullptr, 0, &bytes, nullptr));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
        EXPECT_LT(ResidentKiB() - before, 64 * 1024) << "KiB held for the engine's reads";
        EXPECT_LT(seconds, 5.0);
        EXPECT_TRUE(CloseHandle(h));
    }
    vx::device::SetEngineTimeoutMs(previous);
}

TEST(DeviceClient, AnEngineThatTricklesBytesIsCutOffAtTheRequestsDeadline)
{
    vxtest::Sandbox home;
    const int previous = vx::device::SetEngineTimeoutMs(500);
    ArenaBuffer word(4);
    std::atomic<bool> stop{false};
    {
        // One byte every 20 ms, each read of four bytes a complete message: never silent for
        // long, never done. Gives up after 10 s so that a client without a deadline fails the
        // test instead of hanging it.
        ScriptedEngine engine(home.deviceDir, [&](ScriptedEngine::Conn &c) {
            ASSERT_EQ(c.Recv(wire::kControlSize).size(), wire::kControlSize);
            std::string msg;
            wire::Put32(msg, wire::kRead);
            wire::Put64(msg, word.address());
            wire::Put32(msg, 4);
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            for (std::size_t i = 0; !stop && std::chrono::steady_clock::now() < until; ++i) {
                if (::send(c.fd, msg.data() + i % msg.size(), 1, MSG_NOSIGNAL) != 1)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        HANDLE h = OpenAnsi();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        const auto start = std::chrono::steady_clock::now();
        DWORD bytes = 7;
        EXPECT_FALSE(DeviceIoControl(h, 0xA0243013, nullptr, 0, nullptr, 0, &bytes, nullptr));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        stop = true;
        EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
        EXPECT_GE(seconds, 0.45);
        EXPECT_LT(seconds, 3.0);
        // The connection is given up; the next request fails at once.
        EXPECT_FALSE(DeviceIoControl(h, 0xA0243013, nullptr, 0, nullptr, 0, &bytes, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
        EXPECT_TRUE(CloseHandle(h));
    }
    vx::device::SetEngineTimeoutMs(previous);
}

// An engine that answers every request at once with success.
void AnswerEverything(ScriptedEngine::Conn &c)
{
    while (c.Recv(wire::kControlSize).size() == wire::kControlSize) {
        std::string msg;
        wire::EncodeDone(msg, true, 0, 1);
        c.Send(msg);
    }
}

TEST(DeviceClient, RefusesDeviceFoldersOthersCanWrite)
{
    vxtest::Sandbox home;
    ScriptedEngine engine(home.deviceDir, AnswerEverything);
    mkdir((home.deviceDir + "/Global").c_str(), 0700);
    const int global = ScriptedEngine::Bind(home.deviceDir + "/Global/QXDAnsi");
    for (mode_t mode : {0770, 0707, 0722}) {
        ASSERT_EQ(chmod(home.deviceDir.c_str(), mode), 0);
        EXPECT_EQ(OpenAnsi(), INVALID_HANDLE_VALUE) << std::oct << mode;
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << std::oct << mode;
    }
    // The inner folder of the Global spelling is checked too.
    ASSERT_EQ(chmod(home.deviceDir.c_str(), 0700), 0);
    ASSERT_EQ(chmod((home.deviceDir + "/Global").c_str(), 0770), 0);
    EXPECT_EQ(OpenAnsi("\\\\.\\Global\\QXDAnsi"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // Read and search rights for others are fine.
    ASSERT_EQ(chmod(home.deviceDir.c_str(), 0755), 0);
    HANDLE h = OpenAnsi();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(h, 0xA024301B, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_TRUE(CloseHandle(h));
    close(global);
}

TEST(DeviceClient, RefusesADeviceFolderOfAnotherUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a folder to another user";
    vxtest::Sandbox home;
    ScriptedEngine engine(home.deviceDir, AnswerEverything);
    ASSERT_EQ(chown(home.deviceDir.c_str(), 65534, 65534), 0);
    EXPECT_EQ(OpenAnsi(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // Root's folder of another group is root's: trusted.
    ASSERT_EQ(chown(home.deviceDir.c_str(), 0, 65534), 0);
    HANDLE h = OpenAnsi();
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST(DeviceClient, RefusesAnEngineRunningAsAnotherUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can run a process as another user";
    vxtest::Sandbox home;
    ASSERT_EQ(mkdir(home.deviceDir.c_str(), 0700), 0);
    // The socket is made by root in root's folder; the process that listens on it is another
    // user's (its credentials are those in force at listen()).
    const int fd = ScriptedEngine::Bind(home.deviceDir + "/QXDAnsi");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        alarm(20);
        if (setgid(65534) != 0 || setuid(65534) != 0 || listen(fd, 4) != 0)
            _exit(1);
        [[maybe_unused]] ssize_t w = write(ready[1], "x", 1);
        const int c = accept(fd, nullptr, nullptr);
        char buf[64];
        while (c >= 0 && read(c, buf, sizeof buf) > 0) {
        }
        _exit(0);
    }
    close(fd);
    close(ready[1]);
    char x = 0;
    ASSERT_EQ(read(ready[0], &x, 1), 1) << "the engine as another user did not start";
    close(ready[0]);
    EXPECT_EQ(OpenAnsi(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    int status = 0;
    EXPECT_TRUE(WaitChild(child, status, 30));
}

TEST(StoredEntries, TextsSplitIntoFiveFields)
{
    auto e = vx::qxd::ParseStoredEntry("C:\\a;C:\\a\\*;,notepad*,C:\\a\\x,b.exe,1079472");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->fileFolder, "C:\\a;C:\\a\\*;");
    EXPECT_EQ(e->process, "notepad*");
    EXPECT_EQ(e->excludeFileFolder, "C:\\a\\x");
    EXPECT_EQ(e->excludeProcess, "b.exe");
    EXPECT_EQ(e->mask, 1079472u);
    EXPECT_EQ(e->flag, 1);
    EXPECT_EQ(vx::qxd::ParseStoredEntry("C:\\a,*,,,4294967295")->mask, 4294967295u);
    for (const char *bad : {"", "C:\\a,*,,", "C:\\a,*,,,", ",*,,,1", "C:\\a,*,,,4294967296", "C:\\a,*,,,-1",
                            "C:\\a,*,,,12x", "C:\\a,*,,,99999999999", "C:\\a,b,*,,,1"})
        EXPECT_FALSE(vx::qxd::ParseStoredEntry(bad)) << bad;
}

} // namespace
