// The engine client against the real qxd-engine daemon.
#include "engine/protector.h"
#include "platform/device/arena.h"
#include "platform/device/device.h"
#include "platform/device/wire.h"
#include "platform/registry/registry.h"
#include "qxd/daemon_fixture.h"
#include "qxd/server.h"
#include "support/cp949.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

using namespace qxdtest;
namespace wire = vx::device::wire;

namespace {

// The roads by which the engine reaches a client's memory.
constexpr const char *kRoads[] = {"shared", "kernel", "stub"};

int32_t Add(TVeskFileProtector &p, const std::string &path, const std::string &proc = "*", uint32_t mask = FP_READ)
{
    return p.AddEntry(mask, path, "", proc, "", nullptr, 0, nullptr, 0, nullptr, 1);
}

struct Row {
    std::string path, exclPath, proc, exclProc;
    uint32_t mask = 0;
    bool operator==(const Row &) const = default;
};

[[maybe_unused]] void PrintTo(const Row &r, std::ostream *os)
{
    *os << "{" << r.path << ", " << r.exclPath << ", " << r.proc << ", " << r.exclProc << ", " << r.mask << "}";
}

std::vector<Row> ReadAll(TVeskFileProtector &p)
{
    std::vector<Row> rows;
    uint32_t count = 0;
    if (!p.GetEntryCount(count))
        return rows;
    for (uint32_t i = 0; i < count; ++i) {
        Row r;
        uint32_t sd = 0, c1 = 0, c2 = 0;
        uint8_t flag = 0;
        EXPECT_TRUE(p.GetEntry(int32_t(i), r.mask, r.path, r.exclPath, r.proc, r.exclProc, nullptr, sd, c1, nullptr,
                               c2, nullptr, flag));
        rows.push_back(r);
    }
    return rows;
}

std::string Control(uint32_t code, uint64_t inAddr, uint32_t inLen, uint64_t outAddr, uint32_t outLen)
{
    return wire::EncodeControl({code, inAddr, inLen, outAddr, outLen});
}

void EntriesOutliveTheClient(const std::vector<std::string> &args)
{
    vxtest::Sandbox home;
    Daemon daemon(home, args);
    ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();

    // A client in its own process adds two entries and exits.
    pid_t child = fork();
    if (child == 0) {
        int rc = 0;
        {
            TVeskFileProtector p(nullptr);
            if (Add(p, "C:\\first", "*", FP_PRESET_NOACCESS) != 0)
                rc = 1;
            if (p.AddEntry(FP_PRESET_READONLY, Cp949("C:\\문서"), Cp949("C:\\문서\\x"), "notepad*", "a.exe", nullptr, 0,
                           nullptr, 0, nullptr, 1) != 1)
                rc = 2;
            p.SetActive(true);
            if (!p.Active())
                rc = 3;
        }
        _exit(rc);
    }
    int st = 0;
    if (!WaitChild(child, st)) {
        kill(child, SIGKILL);
        waitpid(child, &st, 0);
        FAIL() << "the client process did not finish; the engine's log:\n" << daemon.Log();
    }
    ASSERT_TRUE(WIFEXITED(st));
    ASSERT_EQ(WEXITSTATUS(st), 0);

    TVeskFileProtector p(nullptr);
    EXPECT_TRUE(p.Success());
    EXPECT_EQ(p.NumEntries(), 2u);
    const std::vector<Row> rows = ReadAll(p);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (Row{"C:\\first", "", "*", "", FP_PRESET_NOACCESS}));
    EXPECT_EQ(rows[1], (Row{Cp949("C:\\문서"), Cp949("C:\\문서\\x"), "notepad*", "a.exe", FP_PRESET_READONLY}));

    // Change and delete, then a third client sees the result.
    EXPECT_TRUE(p.ModifyEntry(1, FP_LIST, "C:\\changed", "", "*", "", nullptr, 0, nullptr, 0, nullptr, 1));
    EXPECT_TRUE(p.DeleteEntry(0));
    EXPECT_FALSE(p.DeleteEntry(1));
    EXPECT_EQ(p.NumEntriesUnicode(), 1u);
    std::vector<Row> after = ReadAll(p);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0], (Row{"C:\\changed", "", "*", "", FP_LIST}));
    EXPECT_EQ(daemon.Stop(), 0);
    EXPECT_NE(daemon.Log().find("stopped"), std::string::npos);
}

TEST(Daemon, EntriesOutliveTheClientAndAreSeenByAnother)
{
    EntriesOutliveTheClient({"--no-load"});
}

TEST(Daemon, AClientOfferingItsArenaIsServedFromSharedMemory)
{
    vxtest::Sandbox home;
    Daemon daemon(home);
    ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
    {
        TVeskFileProtector p(nullptr);
        ASSERT_EQ(Add(p, "C:\\shared"), 0);
        EXPECT_EQ(ReadAll(p), (std::vector<Row>{{"C:\\shared", "", "*", "", FP_READ}}));
    }
    EXPECT_EQ(daemon.Stop(), 0);
    if (vx::device::ArenaFile() < 0)
        GTEST_SKIP() << "this system offers no sealed memory files";
    EXPECT_NE(daemon.Log().find("QXDAnsi disconnected after 5 request(s) (memory shared)"), std::string::npos)
        << daemon.Log();
}

// One request by hand, this process serving the engine's reads and writes from its arena as
// the device stub does. The control message carries `file` when it is not -1.
struct Done {
    bool arrived = false;
    uint32_t ok = 0, error = 0, bytes = 0;
};
Done RunByHand(RawClient &c, const wire::Control &control, int file = -1)
{
    const std::string msg = wire::EncodeControl(control);
    if (!(file >= 0 ? c.SendWithFile(msg, file) : c.Send(msg)))
        return {};
    for (;;) {
        const std::string head = c.Recv(16);
        if (head.size() != 16)
            return {};
        const auto *h = reinterpret_cast<const uint8_t *>(head.data());
        const uint32_t kind = wire::Get32(h);
        if (kind == wire::kDone)
            return {true, wire::Get32(h + 4), wire::Get32(h + 8), wire::Get32(h + 12)};
        const uint64_t addr = wire::Get64(h + 4);
        const uint32_t len = wire::Get32(h + 12);
        std::string answer;
        if (kind == wire::kRead) {
            std::string data(len, '\0');
            const uint32_t status = vx::device::StubRead(addr, len, data.data());
            wire::Put32(answer, wire::kReadAnswer);
            wire::Put32(answer, status);
            if (status == 0)
                answer += data;
        } else if (kind == wire::kWrite) {
            const std::string data = c.Recv(len);
            wire::Put32(answer, wire::kWriteAnswer);
            wire::Put32(answer, vx::device::StubWrite(addr, data.data(), len));
        } else {
            return {};
        }
        if (!c.Send(answer))
            return {};
    }
}

// The engine's note on how the n-th client of QXDAnsi was served (waits for it boundedly).
std::string AnsiClientNote(Daemon &daemon, std::size_t n)
{
    const std::string marker = "client of QXDAnsi disconnected after ";
    for (int i = 0; i < 1000; ++i) {
        const std::string log = daemon.Log();
        std::size_t at = std::string::npos, from = 0;
        for (std::size_t k = 0; k < n; ++k, from = at + 1)
            if ((at = log.find(marker, from)) == std::string::npos)
                break;
        if (at != std::string::npos)
            return log.substr(at, log.find('\n', at) - at);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "";
}

// A client that offers no usable file (an older one, or a false one) is served all the same, on
// the road measured faster at its first request; a false file is never mapped.
TEST(Daemon, AClientOfferingNoUsableArenaIsServedOnTheRoadMeasuredFaster)
{
    vxtest::Sandbox home;
    Daemon daemon(home);
    ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
    vx::device::ArenaBuffer pass(20);
    std::memcpy(pass.data(), "Mirok Dune Sentinel", 20);
    const wire::Control count{IOCTL_QXD_GET_ENTRY_COUNT, pass.address(), 19, 0, 0};

    // No file, a file that is no memory, an unsealed copy of the arena's header, and a sealed
    // file shorter than the size its header names.
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    const int unsealed = memfd_create("unsealed", MFD_CLOEXEC);
    ASSERT_EQ(ftruncate(unsealed, 1 << 20), 0);
    const int shortFile = memfd_create("short", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    ASSERT_EQ(ftruncate(shortFile, 8192), 0);
    uint64_t header = pass.address() & ~uint64_t(0xFFF);
    while (std::memcmp(reinterpret_cast<const void *>(header), wire::kArenaMagic, 16) != 0)
        header -= 4096;
    for (int f : {unsealed, shortFile})
        ASSERT_EQ(pwrite(f, reinterpret_cast<const void *>(header), 32, 0), 32);
    ASSERT_EQ(fcntl(shortFile, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW), 0);

    const int offers[] = {-1, devNull, unsealed, shortFile};
    for (std::size_t i = 0; i < std::size(offers); ++i) {
        {
            RawClient client(home.deviceDir + "/QXDAnsi");
            ASSERT_TRUE(client.connected());
            const Done done = RunByHand(client, count, offers[i]);
            EXPECT_TRUE(done.arrived && done.ok == 1 && done.bytes == 0) << "offer " << i;
        }
        // "(memory reached ROAD: K us with kernel calls, S us through the stub)" when measured.
        const std::string note = AnsiClientNote(daemon, i + 1);
        const std::string head = "(memory reached ";
        const std::size_t at = note.find(head), colon = note.find(": ", at);
        const std::size_t middle = colon == std::string::npos ? colon : note.find(" us with kernel calls, ", colon);
        if (at == std::string::npos || middle == std::string::npos) {
            // Where the kernel does not let the engine reach the client, the stub is the only road.
            EXPECT_TRUE(note.ends_with("(memory reached through the stub)")) << "offer " << i << ": " << note;
            continue;
        }
        const std::string road = note.substr(at + head.size(), colon - at - head.size());
        const double kernel = std::stod(note.substr(colon + 2));
        const double stub = std::stod(note.substr(middle + 23));
        EXPECT_TRUE(road == "with kernel calls" || road == "through the stub") << note;
        EXPECT_GT(kernel, 0);
        EXPECT_GT(stub, 0);
        EXPECT_TRUE(note.ends_with(" us through the stub)")) << note;
        EXPECT_EQ(road == "with kernel calls", kernel <= stub) << note;
    }
    for (int f : {devNull, unsealed, shortFile})
        close(f);

    // The arena's own file, offered by hand, is taken.
    if (vx::device::ArenaFile() >= 0) {
        {
            RawClient client(home.deviceDir + "/QXDAnsi");
            const Done done = RunByHand(client, count, vx::device::ArenaFile());
            EXPECT_TRUE(done.arrived && done.ok == 1);
        }
        EXPECT_TRUE(AnsiClientNote(daemon, std::size(offers) + 1).ends_with("(memory shared)"))
            << AnsiClientNote(daemon, std::size(offers) + 1);
    }
    EXPECT_EQ(daemon.Stop(), 0);
}

TEST(Daemon, EntriesOutliveTheClientThroughTheStubOnly)
{
    EntriesOutliveTheClient({"--no-load", "--stub-only"});
}

// Entries whose texts grow and shrink from one to the next, read back in both directions: the
// engine's writes go wherever this client's buffers are, whether it guessed their place or not.
TEST(Daemon, TextsOfChangingLengthsReadBackExactlyOnEveryRoad)
{
    for (const char *road : kRoads) {
        vxtest::Sandbox home;
        Daemon daemon(home, {"--no-load", "--memory", road});
        ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
        auto client = std::make_unique<TVeskFileProtector>(nullptr);
        TVeskFileProtector &p = *client;
        std::vector<Row> expected;
        const std::size_t lengths[] = {1, 300, 2, 40, 4000, 7, 64, 65, 1};
        for (std::size_t i = 0; i < std::size(lengths); ++i) {
            Row r;
            r.path = "C:\\" + std::string(lengths[i], char('a' + i));
            r.exclPath = i % 2 ? "" : r.path + Cp949("\\제외");
            r.proc = i % 3 ? "*" : std::string(lengths[std::size(lengths) - 1 - i], 'p');
            r.exclProc = i % 4 ? "" : "x.exe";
            r.mask = uint32_t(i) << 28 | FP_READ;
            ASSERT_EQ(p.AddEntry(r.mask, r.path, r.exclPath, r.proc, r.exclProc, nullptr, 0, nullptr, 0, nullptr, 1),
                      int32_t(i))
                << road;
            expected.push_back(r);
        }
        EXPECT_EQ(ReadAll(p), expected) << road;
        for (int i = int(expected.size()) - 1; i >= 0; --i) {
            Row r;
            uint32_t sd = 0, c1 = 0, c2 = 0;
            uint8_t flag = 0;
            ASSERT_TRUE(p.GetEntry(i, r.mask, r.path, r.exclPath, r.proc, r.exclProc, nullptr, sd, c1, nullptr, c2,
                                   nullptr, flag));
            EXPECT_EQ(r, expected[std::size_t(i)]) << road << " entry " << i;
            EXPECT_EQ(flag, 1);
        }
        // Other arena memory taken between reads moves the buffers; still exact.
        std::vector<vx::device::ArenaBuffer> held;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            held.emplace_back(16 * (i + 1));
            Row r;
            uint32_t sd = 0, c1 = 0, c2 = 0;
            uint8_t flag = 0;
            ASSERT_TRUE(p.GetEntry(int32_t(i), r.mask, r.path, r.exclPath, r.proc, r.exclProc, nullptr, sd, c1,
                                   nullptr, c2, nullptr, flag));
            EXPECT_EQ(r, expected[i]) << road << " entry " << i;
        }
        // A client that leaves after a read-back has done nothing wrong.
        client.reset();
        EXPECT_EQ(daemon.Stop(), 0);
        const std::string log = daemon.Log();
        EXPECT_NE(log.find("disconnected after"), std::string::npos) << log;
        EXPECT_EQ(log.find("dropped:"), std::string::npos) << log;
    }
}

TEST(Daemon, WrongCredentialIsRefused)
{
    vxtest::Sandbox home;
    Daemon daemon(home, {"--no-load", "--credential", "다른 암호"});
    ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
    TVeskFileProtector p(nullptr);
    std::vector<std::pair<uint32_t, uint32_t>> events;
    p.OnError = [&](TVeskFileProtector *, uint32_t t, uint32_t c) { events.push_back({t, c}); };
    p.OnErrorUnicode = p.OnError;
    EXPECT_TRUE(p.Success()) << "the devices open";
    EXPECT_EQ(p.NumEntries(), 0xFFFFFFFFu);
    EXPECT_EQ(Add(p, "C:\\x"), -1);
    p.SetActive(true);
    EXPECT_FALSE(p.Active());
    EXPECT_EQ(p.NumEntriesUnicode(), 0xFFFFFFFFu);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0], std::make_pair(QXD_ERR_COUNT, ERROR_ACCESS_DENIED));
    EXPECT_EQ(events[1], std::make_pair(QXD_ERR_ADD, ERROR_ACCESS_DENIED));
    EXPECT_EQ(events[2], std::make_pair(QXD_ERR_ACTIVE, ERROR_ACCESS_DENIED));
    EXPECT_EQ(events[3], std::make_pair(QXD_ERR_COUNT, ERROR_ACCESS_DENIED));

    p.SetPassword(Cp949("다른 암호"));
    p.SetPasswordUnicode(u"다른 암호");
    EXPECT_EQ(Add(p, "C:\\x"), 0);
    EXPECT_EQ(p.NumEntriesUnicode(), 1u);
    p.SetActiveUnicode(true);
    EXPECT_TRUE(p.ActiveUnicode());
}

TEST(Daemon, BadInputIsRefusedAndEveryoneElseIsStillServed)
{
    vxtest::Sandbox home;
    Daemon daemon(home, {"--no-load", "--stub-only"});
    ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
    const std::string ansi = home.deviceDir + "/Global/QXDAnsi";

    TVeskFileProtector p(nullptr);
    ASSERT_EQ(Add(p, "C:\\keep", "*", FP_PRESET_INVISIBLE), 0);
    const std::vector<Row> before = ReadAll(p);

    // A client that stalls in the middle of a request: it never answers the engine's read.
    RawClient staller(ansi);
    ASSERT_TRUE(staller.connected());
    ASSERT_TRUE(staller.Send(Control(IOCTL_QXD_ADD_ENTRY, 0x10000, 84, 0, 0)));
    const std::string read = staller.Recv(wire::kReadSize);
    ASSERT_EQ(read.size(), wire::kReadSize);
    EXPECT_EQ(wire::Get32(reinterpret_cast<const uint8_t *>(read.data())), uint32_t(wire::kRead));

    // Meanwhile the others are served.
    EXPECT_EQ(p.NumEntries(), 1u);
    EXPECT_EQ(Add(p, "C:\\while-stalled"), 1);
    EXPECT_TRUE(p.DeleteEntry(1));

    // Truncated and garbled messages.
    {
        RawClient c(ansi);
        ASSERT_TRUE(c.Send(std::string("\x01\x00\x00", 3)));
        c.Close();
    }
    {
        RawClient c(ansi);
        std::string bad;
        wire::Put32(bad, 99);
        bad += std::string(28, '\x7F');
        ASSERT_TRUE(c.Send(bad));
        EXPECT_TRUE(c.Closed()) << "an unknown message kind ends the connection";
    }
    {
        // Answers the engine's read with the wrong message.
        RawClient c(ansi);
        ASSERT_TRUE(c.Send(Control(IOCTL_QXD_GET_ENTRY_COUNT, 0x20000, 19, 0, 0)));
        ASSERT_EQ(c.Recv(wire::kReadSize).size(), wire::kReadSize);
        std::string wrong;
        wire::Put32(wrong, wire::kWriteAnswer);
        wire::Put32(wrong, 0);
        ASSERT_TRUE(c.Send(wrong));
        EXPECT_TRUE(c.Closed());
    }
    {
        // Promises the data, then leaves in the middle of it.
        RawClient c(ansi);
        ASSERT_TRUE(c.Send(Control(IOCTL_QXD_ADD_ENTRY, 0x20000, 84, 0, 0)));
        ASSERT_EQ(c.Recv(wire::kReadSize).size(), wire::kReadSize);
        std::string partial;
        wire::Put32(partial, wire::kReadAnswer);
        wire::Put32(partial, 0);
        partial += std::string(40, '\x01');
        ASSERT_TRUE(c.Send(partial));
        c.Close();
    }
    {
        // A refused address: the request fails with the caller's code, the connection stays.
        RawClient c(ansi);
        ASSERT_TRUE(c.Send(Control(IOCTL_QXD_ADD_ENTRY, 0x30000, 84, 0, 0)));
        ASSERT_EQ(c.Recv(wire::kReadSize).size(), wire::kReadSize);
        std::string refuse;
        wire::Put32(refuse, wire::kReadAnswer);
        wire::Put32(refuse, ERROR_NOACCESS);
        ASSERT_TRUE(c.Send(refuse));
        const std::string done = c.Recv(wire::kDoneSize);
        ASSERT_EQ(done.size(), wire::kDoneSize);
        const auto *d = reinterpret_cast<const uint8_t *>(done.data());
        EXPECT_EQ(wire::Get32(d), uint32_t(wire::kDone));
        EXPECT_EQ(wire::Get32(d + 4), 0u);
        EXPECT_EQ(wire::Get32(d + 8), ERROR_NOACCESS);
        // An unknown code on the same connection.
        ASSERT_TRUE(c.Send(Control(0xA0243FFF, 0, 0, 0, 0)));
        const std::string done2 = c.Recv(wire::kDoneSize);
        ASSERT_EQ(done2.size(), wire::kDoneSize);
        EXPECT_EQ(wire::Get32(reinterpret_cast<const uint8_t *>(done2.data()) + 8), ERROR_INVALID_FUNCTION);
    }

    // The staller gives up; nothing it started changed the list.
    staller.Close();
    EXPECT_EQ(ReadAll(p), before);
    EXPECT_EQ(Add(p, "C:\\after"), 1);
    EXPECT_EQ(daemon.Stop(), 0);
    const std::string log = daemon.Log();
    EXPECT_NE(log.find("dropped"), std::string::npos) << log;
}

// Bad requests through the device layer; the codes must not depend on how the engine reaches
// the caller's memory.
std::vector<DWORD> DeviceLayerRefusals()
{
    std::vector<DWORD> codes;
    HANDLE h = CreateFileA("\\\\.\\Global\\QXDAnsi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    DWORD bytes = 0;
    auto call = [&](DWORD code, void *in, DWORD inLen, DWORD outLen) {
        const bool ok = DeviceIoControl(h, code, in, inLen, nullptr, outLen, &bytes, nullptr);
        codes.push_back(ok ? 0 : GetLastError());
    };
    TFPEntryBlock stackBlock{};
    call(IOCTL_QXD_ADD_ENTRY, &stackBlock, 84, 0);
    vx::device::ArenaBuffer pass(20), block(84), text(8);
    std::memcpy(pass.data(), "Mirok Dune Sentinel", 20);
    std::memcpy(text.data(), "C:\\evil", 8);
    auto *b = static_cast<TFPEntryBlock *>(block.data());
    b->PasswordLen = 19;
    b->PasswordPtr = pass.address();
    b->FileFolderLen = 7;
    b->FileFolderPtr = text.address();
    b->TotalSize = 84 + 5 + 19 + 7 + 1; // one too many
    call(IOCTL_QXD_ADD_ENTRY, block.data(), 84, 0);
    b->TotalSize -= 1;
    b->FileFolderLen = 6; // not closed by a zero at its length
    b->TotalSize -= 1;
    call(IOCTL_QXD_ADD_ENTRY, block.data(), 84, 0);
    b->FileFolderLen = 1u << 30; // beyond bounds
    b->TotalSize += (1u << 30) - 6;
    call(IOCTL_QXD_ADD_ENTRY, block.data(), 84, 0);
    b->FileFolderLen = 7;
    b->TotalSize = 84 + 5 + 19 + 7;
    // Outside the arena: the first pages are never mapped. (A stack address cut to 32 bits may
    // land inside the arena's mapping and be served.)
    b->ProcessPtr = 0x1000;
    b->ProcessLen = 0;
    call(IOCTL_QXD_ADD_ENTRY, block.data(), 84, 0);
    call(IOCTL_QXD_DELETE_ENTRY, pass.data(), 19, 5);
    call(0x12345678, pass.data(), 19, 0);
    call(IOCTL_QXD_GET_ENTRY_COUNT, &stackBlock, 19, 0);
    call(IOCTL_QXD_GET_ENTRY_COUNT, pass.data(), 19, 0);
    codes.push_back(bytes);
    CloseHandle(h);
    return codes;
}

TEST(Daemon, RefusalsAreTheSameOnEveryRoad)
{
    const std::vector<DWORD> expected = {ERROR_NOACCESS,          ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER,
                                         ERROR_INVALID_PARAMETER, ERROR_NOACCESS,          ERROR_INVALID_PARAMETER,
                                         ERROR_INVALID_FUNCTION,  ERROR_NOACCESS,          0,
                                         1};
    for (const char *mode : kRoads) {
        vxtest::Sandbox home;
        Daemon daemon(home, {"--no-load", "--memory", mode});
        ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
        {
            TVeskFileProtector p(nullptr);
            ASSERT_EQ(Add(p, "C:\\keep"), 0);
            EXPECT_EQ(DeviceLayerRefusals(), expected) << mode;
            EXPECT_EQ(ReadAll(p), (std::vector<Row>{{"C:\\keep", "", "*", "", FP_READ}})) << mode;
        }
        EXPECT_EQ(daemon.Stop(), 0);
    }
}

// An add request's block: the default password in `pass`, the path at `text`, the process
// pattern at `proc` (its zero ends both exclusion lists).
TFPEntryBlock AddBlock(const vx::device::ArenaBuffer &pass, uint32_t text, uint32_t textLen, uint32_t proc, uint32_t procLen)
{
    TFPEntryBlock b{};
    b.PasswordLen = 19;
    b.PasswordPtr = pass.address();
    b.FileFolderLen = textLen;
    b.FileFolderPtr = text;
    b.ProcessLen = procLen;
    b.ProcessPtr = proc;
    b.ExcludeFileFolderPtr = b.ExcludeProcessPtr = proc + procLen;
    b.TotalSize = 84 + 5 + 19 + textLen + procLen;
    return b;
}

// A process forked off with an open handle is served from its own memory, and the parent's
// connection goes on working.
TEST(Daemon, AForkedChildUsingAnInheritedHandleIsServedAsItself)
{
    for (const char *road : kRoads) {
        vxtest::Sandbox home;
        Daemon daemon(home, {"--no-load", "--memory", road});
        ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
        HANDLE h = CreateFileA("\\\\.\\QXDAnsi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        vx::device::ArenaBuffer pass(20), block(84), text(16), empty(1);
        std::memcpy(pass.data(), "Mirok Dune Sentinel", 20);
        auto add = [&](const char *path) {
            std::memset(text.data(), 0, 16);
            std::memcpy(text.data(), path, std::strlen(path));
            const TFPEntryBlock b = AddBlock(pass, text.address(), uint32_t(std::strlen(path)), empty.address(), 0);
            std::memcpy(block.data(), &b, 84);
            DWORD bytes = 0;
            return DeviceIoControl(h, IOCTL_QXD_ADD_ENTRY, block.data(), 84, nullptr, 0, &bytes, nullptr) != 0;
        };
        ASSERT_TRUE(add("C:\\parent"));
        pid_t child = fork();
        if (child == 0)
            _exit(add("C:\\child") && std::string(static_cast<char *>(text.data())) == "C:\\child" ? 0 : 1);
        int st = 0;
        if (!WaitChild(child, st)) {
            kill(child, SIGKILL);
            waitpid(child, &st, 0);
            FAIL() << "the child did not finish; the engine's log:\n" << daemon.Log();
        }
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << road;
        // The engine neither read nor wrote the parent's copy of the buffers for the child.
        EXPECT_EQ(std::string(static_cast<char *>(text.data())), "C:\\parent") << road;
        EXPECT_TRUE(add("C:\\again")) << road;
        CloseHandle(h);
        TVeskFileProtector p(nullptr);
        std::vector<std::string> paths;
        for (const Row &r : ReadAll(p))
            paths.push_back(r.path);
        EXPECT_EQ(paths, (std::vector<std::string>{"C:\\parent", "C:\\child", "C:\\again"})) << road;
        if (road == std::string("shared") && vx::device::ArenaFile() >= 0) {
            // The parent's and the child's arenas were both shared, each its own.
            std::string notes = AnsiClientNote(daemon, 1) + "\n" + AnsiClientNote(daemon, 2);
            EXPECT_NE(notes.find("after 1 request(s) (memory shared)"), std::string::npos) << daemon.Log();
            EXPECT_NE(notes.find("after 2 request(s) (memory shared)"), std::string::npos) << daemon.Log();
        }
    }
}

TEST(Daemon, ServesManyClientsAtOnce)
{
    vxtest::Sandbox home;
    Daemon daemon(home);
    ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
    constexpr int kThreads = 4, kAdds = 25;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            HANDLE h = CreateFileA(t % 2 ? "\\\\.\\QXDAnsi" : "\\\\.\\Global\\QXDAnsi", GENERIC_READ | GENERIC_WRITE, 0,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
            if (h == INVALID_HANDLE_VALUE) {
                ++failures;
                return;
            }
            vx::device::ArenaBuffer pass(20), block(84), text(32), proc(2);
            std::memcpy(pass.data(), "Mirok Dune Sentinel", 20);
            std::memcpy(proc.data(), "*", 2);
            for (int i = 0; i < kAdds; ++i) {
                const std::string path = "C:\\t" + std::to_string(t) + "\\" + std::to_string(i);
                std::memset(text.data(), 0, 32);
                std::memcpy(text.data(), path.data(), path.size());
                const TFPEntryBlock b = AddBlock(pass, text.address(), uint32_t(path.size()), proc.address(), 1);
                std::memcpy(block.data(), &b, 84);
                DWORD bytes = 0;
                if (!DeviceIoControl(h, IOCTL_QXD_ADD_ENTRY, block.data(), 84, nullptr, 0, &bytes, nullptr))
                    ++failures;
                if (!DeviceIoControl(h, IOCTL_QXD_GET_ENTRY_COUNT, pass.data(), 19, nullptr, 0, &bytes, nullptr))
                    ++failures;
            }
            CloseHandle(h);
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    TVeskFileProtector p(nullptr);
    const std::vector<Row> rows = ReadAll(p);
    ASSERT_EQ(rows.size(), std::size_t(kThreads * kAdds));
    // Each client's entries keep their own order.
    for (int t = 0; t < kThreads; ++t) {
        int next = 0;
        for (const Row &r : rows) {
            if (r.path.rfind("C:\\t" + std::to_string(t) + "\\", 0) == 0) {
                EXPECT_EQ(r.path, "C:\\t" + std::to_string(t) + "\\" + std::to_string(next++));
            }
        }
        EXPECT_EQ(next, kAdds);
    }
}

// A user's clients beyond its share take the place of the one idle the longest, which is told
// so; while every one of them is in the middle of a request, a further one is turned away at once.
TEST(Daemon, ClientsBeyondTheLimitAreTurnedAway)
{
    vxtest::Sandbox home;
    Daemon daemon(home, {"--no-load", "--stub-only"});
    ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
    const std::string ansi = home.deviceDir + "/QXDAnsi";
    // A request the engine waits on the client for (it asks to read the credential)...
    auto start = [](RawClient &c) {
        return c.Send(Control(IOCTL_QXD_GET_ENTRY_COUNT, 0x40, 19, 0, 0)) && c.Recv(wire::kReadSize).size() == wire::kReadSize;
    };
    // ... and its end.
    auto finish = [](RawClient &c) {
        std::string refuse;
        wire::Put32(refuse, wire::kReadAnswer);
        wire::Put32(refuse, ERROR_NOACCESS);
        return c.Send(refuse) && c.Recv(wire::kDoneSize).size() == wire::kDoneSize;
    };
    std::vector<std::unique_ptr<RawClient>> clients;
    for (std::size_t i = 0; i < vx::qxd::Server::kMaxConnectionsPerUser; ++i) {
        clients.push_back(std::make_unique<RawClient>(ansi));
        ASSERT_TRUE(start(*clients.back())) << i;
    }
    RawClient extra(ansi);
    EXPECT_TRUE(extra.Closed());
    EXPECT_NE(daemon.Log().find("too many clients"), std::string::npos);
    for (auto &c : clients)
        EXPECT_TRUE(finish(*c));
    // All idle now: the next one takes the place of the first.
    RawClient next(ansi);
    EXPECT_TRUE(start(next) && finish(next));
    std::string closing;
    wire::Put32(closing, wire::kClosing);
    EXPECT_EQ(clients.front()->Recv(4), closing);
    EXPECT_TRUE(clients.front()->Closed());
}

TEST(Daemon, RefusesASecondDaemonAndRemovesItsSocketsOnStop)
{
    vxtest::Sandbox home;
    Daemon first(home);
    ASSERT_TRUE(first.WaitReady()) << first.Log();
    Daemon second(home, {"--no-load"}, "second.log");
    EXPECT_EQ(second.WaitExit(), 1);
    EXPECT_NE(second.Log().find("another qxd-engine already serves"), std::string::npos) << second.Log();
    for (const char *name : {"/QXDAnsi", "/QXDUni", "/Global/QXDAnsi", "/Global/QXDUni"})
        EXPECT_TRUE(std::filesystem::exists(home.deviceDir + name)) << name;
    {
        TVeskFileProtector p(nullptr);
        EXPECT_EQ(p.NumEntries(), 0u) << "the first daemon still serves";
    }
    EXPECT_EQ(first.Stop(), 0);
    for (const char *name : {"/QXDAnsi", "/QXDUni", "/Global/QXDAnsi", "/Global/QXDUni"})
        EXPECT_FALSE(std::filesystem::exists(home.deviceDir + name)) << name;
    // With no daemon the devices do not open.
    TVeskFileProtector p(nullptr);
    EXPECT_FALSE(p.Success());
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    // A stale socket left behind does not keep a new daemon from starting.
    Daemon third(home, {"--no-load"}, "third.log");
    ASSERT_TRUE(third.WaitReady()) << third.Log();
    EXPECT_EQ(third.Stop(SIGINT), 0);
    EXPECT_FALSE(std::filesystem::exists(home.deviceDir + "/Global/QXDAnsi"));
}

TEST(Daemon, PlainSpellingsAndTheUnicodeChannel)
{
    vxtest::Sandbox home;
    setenv("VELLAMORIX_WINVER", "0x05650004", 1); // NT 4: names without Global
    Daemon daemon(home);
    ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
    {
        TVeskFileProtector p(nullptr);
        EXPECT_TRUE(p.Success());
        EXPECT_TRUE(p.SuccessUnicode());
        EXPECT_EQ(Add(p, "C:\\nt4"), 0);
        EXPECT_EQ(p.NumEntriesUnicode(), 1u);
        p.SetActiveUnicode(true);
        EXPECT_TRUE(p.ActiveUnicode());
        p.SetActiveUnicode(false);
        EXPECT_FALSE(p.ActiveUnicode());
        p.SetClearOnDestroyUnicode(true);
    }
    unsetenv("VELLAMORIX_WINVER");
    TVeskFileProtector p(nullptr);
    EXPECT_EQ(p.NumEntries(), 0u) << "the Unicode clear at destruction emptied the list";
}

TEST(Daemon, LoadsStoredEntriesAndSkipsUnreadableRows)
{
    vxtest::Sandbox home;
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\TOVRA\\Vellamorix\\Entry", true));
        reg.WriteInteger("EntryCount", 4);
        reg.WriteString("0", "C:\\a,*,,,2052");
        reg.WriteString("1", "not an entry");
        reg.WriteString("2", Cp949("C:\\한글,notepad*,C:\\한글\\x,b.exe,4294967295"));
        reg.WriteString("3", "C:\\a,b,c,*,,,512"); // a comma inside a field: ambiguous
    }
    {
        Daemon daemon(home, {});
        ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
        TVeskFileProtector p(nullptr);
        const std::vector<Row> rows = ReadAll(p);
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[0], (Row{"C:\\a", "", "*", "", 2052}));
        EXPECT_EQ(rows[1], (Row{Cp949("C:\\한글"), Cp949("C:\\한글\\x"), "notepad*", "b.exe", 4294967295u}));
        EXPECT_EQ(daemon.Stop(), 0);
        const std::string log = daemon.Log();
        EXPECT_NE(log.find("stored entry 1 cannot be read"), std::string::npos) << log;
        EXPECT_NE(log.find("stored entry 3 cannot be read"), std::string::npos) << log;
        EXPECT_NE(log.find("loaded 2 stored entries"), std::string::npos) << log;
        EXPECT_EQ(log.find("missing"), std::string::npos) << log;
    }
    {
        // A count far beyond the rows present is not followed row by row, and a row past a gap
        // is still loaded.
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\TOVRA\\Vellamorix\\Entry", true));
        reg.WriteInteger("EntryCount", -1);
        reg.WriteString("9", "C:\\nine,*,,,512");
        reg.WriteString("07", "C:\\not a row name,*,,,512");
        Daemon daemon(home, {}, "huge.log");
        ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
        TVeskFileProtector p(nullptr);
        const std::vector<Row> rows = ReadAll(p);
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_EQ(rows[2], (Row{"C:\\nine", "", "*", "", 512}));
        EXPECT_EQ(daemon.Stop(), 0);
        const std::string log = daemon.Log();
        EXPECT_NE(log.find("EntryCount 4294967295 but the key holds 7 values"), std::string::npos) << log;
        EXPECT_NE(log.find("stored entries 4 to 8 are missing"), std::string::npos) << log;
        EXPECT_NE(log.find("stored entries 10 to 999999 are missing"), std::string::npos) << log;
        EXPECT_NE(log.find("loaded 3 stored entries"), std::string::npos) << log;
    }
    {
        Daemon daemon(home, {"--no-load"}, "noload.log");
        ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
        TVeskFileProtector p(nullptr);
        EXPECT_EQ(p.NumEntries(), 0u);
    }
}

TEST(Daemon, CreatesAMissingDeviceDirectory)
{
    vxtest::Sandbox home;
    const std::string nested = home.dir + "/a/b/devices";
    Daemon daemon(home, {"--no-load", "--device-dir", nested});
    ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
    EXPECT_EQ(std::filesystem::status(nested).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    EXPECT_EQ(std::filesystem::status(nested + "/Global").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    for (const char *name : {"/QXDAnsi", "/QXDUni", "/Global/QXDAnsi", "/Global/QXDUni"}) {
        EXPECT_TRUE(std::filesystem::is_socket(nested + name)) << name;
        EXPECT_EQ(std::filesystem::status(nested + name).permissions() & std::filesystem::perms::all,
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
            << name;
    }
    setenv("VELLAMORIX_DEVICE_DIR", nested.c_str(), 1);
    TVeskFileProtector p(nullptr);
    EXPECT_EQ(p.NumEntriesUnicode(), 0u);
}

TEST(Daemon, RefusesADeviceFolderOthersCanWrite)
{
    vxtest::Sandbox home;
    const std::string shared = home.dir + "/shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(chmod(shared.c_str(), 0775), 0);
    Daemon daemon(home, {"--no-load", "--device-dir", shared});
    EXPECT_EQ(daemon.WaitExit(), 1);
    EXPECT_NE(daemon.Log().find("can be written by other users"), std::string::npos) << daemon.Log();
    EXPECT_FALSE(std::filesystem::exists(shared + "/QXDAnsi"));
}

TEST(Daemon, AClientRefusesTheEngineInAFolderOthersCanWriteAsAFailedOpen)
{
    vxtest::Sandbox home;
    Daemon daemon(home);
    ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
    ASSERT_EQ(chmod(home.deviceDir.c_str(), 0770), 0);
    std::vector<std::pair<uint32_t, uint32_t>> errors;
    auto record = [&](TVeskFileProtector *, uint32_t type, uint32_t code) { errors.emplace_back(type, code); };
    {
        TVeskFileProtector p(nullptr, record, record);
        EXPECT_FALSE(p.Success());
        EXPECT_FALSE(p.SuccessUnicode());
        EXPECT_EQ(errors, (std::vector<std::pair<uint32_t, uint32_t>>{{1, ERROR_ACCESS_DENIED}, {1, ERROR_ACCESS_DENIED}}));
        EXPECT_EQ(p.NumEntries(), 0xFFFFFFFFu);
    }
    ASSERT_EQ(chmod(home.deviceDir.c_str(), 0700), 0);
    TVeskFileProtector p(nullptr);
    EXPECT_EQ(p.NumEntries(), 0u);
    // The refused client never reached the engine: once the second client's two connections
    // are seen (the engine takes them in order), they are the only ones.
    auto count = [](const std::string &log, const std::string &what) {
        std::size_t n = 0;
        for (std::size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
            ++n;
        return n;
    };
    std::string log;
    for (int i = 0; i < 500; ++i) {
        log = daemon.Log();
        if (count(log, "connected to QXDAnsi") > 0 && count(log, "connected to QXDUni") > 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(count(log, " connected to "), 2u) << log;
}

TEST(Daemon, HelpAndBadOptions)
{
    vxtest::Sandbox home;
    Daemon help(home, {"--help"}, "help.log");
    EXPECT_EQ(help.WaitExit(), 0);
    Daemon bad(home, {"--bogus"}, "bad.log");
    EXPECT_EQ(bad.WaitExit(), 2);
    EXPECT_NE(bad.Log().find("--device-dir DIR"), std::string::npos);
    Daemon empty(home, {"--credential", ""}, "empty.log");
    EXPECT_EQ(empty.WaitExit(), 2);
}

} // namespace
