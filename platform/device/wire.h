// The engine's socket protocol, shared by the engine daemon and the device client.
// All integers little-endian; every message starts with u32 kind.
//   1 CONTROL   client -> engine  u32 code, u64 inAddr, u32 inLen, u64 outAddr, u32 outLen
//   2 READ      engine -> client  u64 addr, u32 len
//   3 READ ans  client -> engine  u32 status, then len bytes when status is 0
//   4 WRITE     engine -> client  u64 addr, u32 len, len bytes
//   5 WRITE ans client -> engine  u32 status
//   6 DONE      engine -> client  u32 ok, u32 error, u32 bytesReturned (ends the request)
//   7 CLOSING   engine -> client  (nothing more) the engine closes a connection that holds no
//                                 request in progress; nothing the client sent after the last
//                                 DONE is served, so it may send that again on a new connection
// A peer that breaks the format is disconnected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace vx::device::wire {

enum Kind : uint32_t {
    kControl = 1,
    kRead = 2,
    kReadAnswer = 3,
    kWrite = 4,
    kWriteAnswer = 5,
    kDone = 6,
    kClosing = 7,
};

constexpr std::size_t kControlSize = 4 + 4 + 8 + 4 + 8 + 4; // 32
constexpr std::size_t kReadSize = 4 + 8 + 4;                // 16
constexpr std::size_t kReadAnswerHeader = 4 + 4;            // 8, then data
constexpr std::size_t kWriteHeader = 4 + 8 + 4;             // 16, then data
constexpr std::size_t kWriteAnswerSize = 4 + 4;             // 8
constexpr std::size_t kDoneSize = 4 + 4 + 4 + 4;            // 16

// Largest READ or WRITE payload either side accepts.
constexpr uint32_t kMaxTransfer = 16u << 20;

// The caller's arena (the only memory the engine may reach) starts with a header page that
// names it, so that an engine allowed to reach the caller's memory directly can find it:
//   char magic[16] = kArenaMagic; u64 base; u64 size.
// The engine's accesses are served in [base + kArenaHeaderSize, base + size).
inline constexpr char kArenaMagic[16] = {'V', 'E', 'L', 'L', 'A', 'M', 'O', 'R', 'I', 'X', '-', 'A', 'R', 'E', 'N', 'A'};
constexpr uint64_t kArenaHeaderSize = 4096;

inline void Put32(std::string &out, uint32_t v)
{
    char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    out.append(b, 4);
}
inline void Put64(std::string &out, uint64_t v)
{
    Put32(out, uint32_t(v));
    Put32(out, uint32_t(v >> 32));
}
inline uint32_t Get32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t Get64(const uint8_t *p)
{
    return uint64_t(Get32(p)) | uint64_t(Get32(p + 4)) << 32;
}

struct Control {
    uint32_t code = 0;
    uint64_t inAddr = 0;
    uint32_t inLen = 0;
    uint64_t outAddr = 0;
    uint32_t outLen = 0;
};

inline std::string EncodeControl(const Control &c)
{
    std::string out;
    out.reserve(kControlSize);
    Put32(out, kControl);
    Put32(out, c.code);
    Put64(out, c.inAddr);
    Put32(out, c.inLen);
    Put64(out, c.outAddr);
    Put32(out, c.outLen);
    return out;
}
// `p` holds kControlSize bytes starting with the kind.
inline Control DecodeControl(const uint8_t *p)
{
    return Control{Get32(p + 4), Get64(p + 8), Get32(p + 16), Get64(p + 20), Get32(p + 28)};
}

inline void EncodeDone(std::string &out, bool ok, uint32_t error, uint32_t bytesReturned)
{
    Put32(out, kDone);
    Put32(out, ok ? 1 : 0);
    Put32(out, error);
    Put32(out, bytesReturned);
}

} // namespace vx::device::wire
