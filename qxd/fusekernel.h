// The kernel's FUSE protocol: the system header, and the parts of protocol 7.40 (passthrough)
// and 7.42 (io_uring) that the installed header predates. The kernel tells at INIT which of them
// it knows.
#pragma once

#include <linux/fuse.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace vx::qxd::fusek {

constexpr uint32_t kMinor = 40;

// INIT flags beyond the installed header.
constexpr uint64_t kInitPassthrough = 1ull << 37;

// Open reply flag: reads, writes and mappings go to the backing file without the daemon.
constexpr uint32_t kOpenPassthrough = 1u << 7;

// The open reply of 7.40: the padding became the backing file's id.
struct OpenOut {
    uint64_t fh;
    uint32_t openFlags;
    int32_t backingId;
};
static_assert(sizeof(OpenOut) == sizeof(fuse_open_out));

// The INIT reply of 7.40: the first unused word became the stack depth of backing files.
struct InitOut {
    uint32_t major;
    uint32_t minor;
    uint32_t maxReadahead;
    uint32_t flags;
    uint16_t maxBackground;
    uint16_t congestionThreshold;
    uint32_t maxWrite;
    uint32_t timeGran;
    uint16_t maxPages;
    uint16_t mapAlignment;
    uint32_t flags2;
    uint32_t maxStackDepth;
    uint32_t unused[6];
};
static_assert(sizeof(InitOut) == sizeof(fuse_init_out));

struct BackingMap {
    int32_t fd;
    uint32_t flags;
    uint64_t padding;
};

constexpr unsigned long kIocBackingOpen = _IOW(FUSE_DEV_IOC_MAGIC, 1, BackingMap);
constexpr unsigned long kIocBackingClose = _IOW(FUSE_DEV_IOC_MAGIC, 2, uint32_t);

// The open flag the kernel sets when it opens a program to run it.
constexpr uint32_t kOpenForExec = 0x20;

// FUSE over io_uring (7.42): each CPU's requests come to a ring of the server's own.

constexpr uint64_t kInitOverIoUring = 1ull << 41;

struct RingEntryInOut {
    uint64_t flags;
    uint64_t commitId; // to answer the request with
    uint32_t payloadSize;
    uint32_t padding;
    uint64_t reserved;
};

// The first buffer of a ring entry: the request's header (then the answer's), the operation's
// own header, and the entry's bookkeeping.
struct RingHeaders {
    char inOut[128];
    char opIn[128];
    RingEntryInOut ring;
};

// The command block of an io_uring command (in the 128-byte submission entry).
struct RingCommand {
    uint64_t flags;
    uint64_t commitId;
    uint16_t qid;
    uint8_t padding[6];
};

constexpr uint32_t kRingRegister = 1;
constexpr uint32_t kRingCommitAndFetch = 2;

} // namespace vx::qxd::fusek
