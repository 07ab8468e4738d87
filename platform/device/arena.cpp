// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/device/arena.h"

#include "platform/common/uniquefd.h"
#include "platform/device/wire.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>

namespace vx::device {

namespace {

constexpr std::size_t kArenaSize = 256u << 20;
constexpr std::size_t kAlign = 16;
constexpr uint64_t kLimit = 1ull << 32;

// A file of the arena's size whose memory may be mapped by the engine as well: sealed so that it
// can neither shrink nor grow. -1 where the system offers none.
int NewArenaFile()
{
    UniqueFd fd(::memfd_create("vellamorix-arena", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd)
        return -1;
    if (::ftruncate(fd.get(), off_t(kArenaSize)) != 0 ||
        ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0)
        return -1;
    return fd.release();
}

// Maps the arena below 4 GiB: shared memory of `fd`, or private memory when `fd` is -1.
void *MapLow(int fd)
{
    const int kind = fd >= 0 ? MAP_SHARED : MAP_PRIVATE | MAP_ANONYMOUS;
    void *p = mmap(nullptr, kArenaSize, PROT_READ | PROT_WRITE, kind | MAP_NORESERVE | MAP_32BIT, fd, 0);
    if (p != MAP_FAILED && reinterpret_cast<uint64_t>(p) + kArenaSize <= kLimit)
        return p;
    if (p != MAP_FAILED)
        munmap(p, kArenaSize);
    // Fall back to hints below 4 GiB.
    for (uint64_t hint = 0x40000000; hint + kArenaSize <= kLimit; hint += 0x10000000) {
        p = mmap(reinterpret_cast<void *>(hint), kArenaSize, PROT_READ | PROT_WRITE,
                 kind | MAP_NORESERVE | MAP_FIXED_NOREPLACE, fd, 0);
        if (p != MAP_FAILED && reinterpret_cast<uint64_t>(p) == hint)
            return p;
        if (p != MAP_FAILED)
            munmap(p, kArenaSize);
    }
    return MAP_FAILED;
}

void BeforeFork();
void AfterForkInParent();
void AfterForkInChild();

struct Arena {
    std::mutex mutex;
    uint8_t *base = nullptr;
    std::atomic<uint8_t *> mapped{nullptr}; // base, once mapped
    std::atomic<int> file{-1};              // the shared memory's file, -1 for private memory
    std::atomic<uint64_t> used{0};          // end of the highest block ever handed out
    bool tried = false;
    std::map<uint64_t, std::size_t> freeBlocks; // offset -> size, coalesced
    std::map<uint64_t, std::size_t> liveBlocks; // address -> requested size
    std::map<uint64_t, std::size_t> liveRounded;
    std::size_t inUse = 0;

    // Maps the arena on first use, below 4 GiB: shared memory where the system offers it, so
    // that the engine can reach it without a round trip; private memory otherwise.
    bool Ensure()
    {
        if (base)
            return true;
        if (tried)
            return false;
        tried = true;
        UniqueFd fd(NewArenaFile());
        void *p = MapLow(fd.get());
        if (p == MAP_FAILED && fd) {
            fd.reset();
            p = MapLow(-1);
        }
        if (p == MAP_FAILED)
            return false;
        base = static_cast<uint8_t *>(p);
        // The header page names the arena; blocks come after it.
        namespace wire = vx::device::wire;
        std::memcpy(base, wire::kArenaMagic, sizeof wire::kArenaMagic);
        const uint64_t fields[2] = {reinterpret_cast<uint64_t>(base), kArenaSize};
        std::memcpy(base + 16, fields, sizeof fields);
        freeBlocks.emplace(wire::kArenaHeaderSize, kArenaSize - wire::kArenaHeaderSize);
        used.store(wire::kArenaHeaderSize);
        // A fork never finds the arena's books half-written.
        ::pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild);
        file.store(fd.release());
        mapped.store(base);
        return true;
    }

    void *Alloc(std::size_t size)
    {
        if (size == 0)
            size = 1;
        if (size > kArenaSize)
            return nullptr;
        const std::size_t rounded = (size + kAlign - 1) & ~(kAlign - 1);
        std::lock_guard lock(mutex);
        if (!Ensure())
            return nullptr;
        for (auto it = freeBlocks.begin(); it != freeBlocks.end(); ++it) {
            if (it->second < rounded)
                continue;
            const uint64_t offset = it->first;
            const std::size_t rest = it->second - rounded;
            freeBlocks.erase(it);
            if (rest)
                freeBlocks.emplace(offset + rounded, rest);
            uint8_t *p = base + offset;
            if (offset + rounded > used.load())
                used.store(offset + rounded);
            liveBlocks.emplace(reinterpret_cast<uint64_t>(p), size);
            liveRounded.emplace(reinterpret_cast<uint64_t>(p), rounded);
            inUse += size;
            std::memset(p, 0, rounded);
            return p;
        }
        return nullptr;
    }

    void Free(void *ptr)
    {
        if (!ptr)
            return;
        std::lock_guard lock(mutex);
        const uint64_t addr = reinterpret_cast<uint64_t>(ptr);
        auto live = liveBlocks.find(addr);
        if (live == liveBlocks.end())
            return;
        inUse -= live->second;
        liveBlocks.erase(live);
        auto roundedIt = liveRounded.find(addr);
        std::size_t size = roundedIt->second;
        liveRounded.erase(roundedIt);
        uint64_t offset = addr - reinterpret_cast<uint64_t>(base);
        // Give the pages of a large block back to the system.
        if (size >= (1u << 20)) {
            const uint64_t page = 4096;
            const uint64_t from = (offset + page - 1) & ~(page - 1);
            const uint64_t to = (offset + size) & ~(page - 1);
            if (to > from)
                madvise(base + from, to - from, file.load() >= 0 ? MADV_REMOVE : MADV_DONTNEED);
        }
        // Coalesce with the neighbours.
        auto next = freeBlocks.lower_bound(offset);
        if (next != freeBlocks.end() && next->first == offset + size) {
            size += next->second;
            next = freeBlocks.erase(next);
        }
        if (next != freeBlocks.begin()) {
            auto prev = std::prev(next);
            if (prev->first + prev->second == offset) {
                offset = prev->first;
                size += prev->second;
                freeBlocks.erase(prev);
            }
        }
        freeBlocks.emplace(offset, size);
    }

    bool Contains(uint64_t addr, uint64_t len)
    {
        std::lock_guard lock(mutex);
        auto it = liveBlocks.upper_bound(addr);
        if (it == liveBlocks.begin())
            return false;
        --it;
        const uint64_t start = it->first, end = it->first + it->second;
        if (addr < start || addr >= end)
            return false;
        return len <= end - addr;
    }
};

Arena &TheArena()
{
    static Arena *arena = new Arena; // lives until the process ends
    return *arena;
}

void BeforeFork()
{
    TheArena().mutex.lock();
}

void AfterForkInParent()
{
    TheArena().mutex.unlock();
}

// In a child that a fork made: the arena becomes the child's own, a copy of the parent's as it
// is now, in a file of its own; private memory when no file can be made.
void AfterForkInChild()
{
    Arena &a = TheArena();
    a.mutex.unlock();
    const int old = a.file.load();
    uint8_t *base = a.mapped.load();
    if (old < 0 || !base)
        return;
    const std::size_t used = std::min<uint64_t>(a.used.load(), kArenaSize);
    UniqueFd fresh(NewArenaFile());
    bool copied = fresh.valid();
    for (std::size_t done = 0; copied && done < used;) {
        const ssize_t n = ::pwrite(fresh.get(), base + done, used - done, off_t(done));
        copied = n > 0;
        done += copied ? std::size_t(n) : 0;
    }
    const int rw = PROT_READ | PROT_WRITE;
    if (copied && mmap(base, kArenaSize, rw, MAP_SHARED | MAP_FIXED | MAP_NORESERVE, fresh.get(), 0) == base) {
        a.file.store(fresh.release());
    } else {
        fresh.reset();
        void *copy = mmap(nullptr, kArenaSize, rw, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (copy != MAP_FAILED) {
            std::memcpy(copy, base, used);
            if (mremap(copy, kArenaSize, kArenaSize, MREMAP_MAYMOVE | MREMAP_FIXED, base) != base)
                munmap(copy, kArenaSize);
        }
        a.file.store(-1);
    }
    ::close(old); // the file the arena held until here, owned by it
}

} // namespace

void *ArenaAlloc(std::size_t size)
{
    return TheArena().Alloc(size);
}

void ArenaFree(void *p)
{
    TheArena().Free(p);
}

bool InArena(uint64_t addr, uint64_t len)
{
    return TheArena().Contains(addr, len);
}

bool InArenaMapping(uint64_t addr, uint64_t len)
{
    const uint8_t *base = TheArena().mapped.load();
    if (!base)
        return false;
    const uint64_t lo = reinterpret_cast<uint64_t>(base) + vx::device::wire::kArenaHeaderSize;
    const uint64_t hi = reinterpret_cast<uint64_t>(base) + kArenaSize;
    return addr >= lo && addr <= hi && len <= hi - addr;
}

int ArenaFile()
{
    Arena &a = TheArena();
    if (!a.mapped.load()) {
        std::lock_guard lock(a.mutex);
        a.Ensure();
    }
    return a.file.load();
}

std::size_t ArenaBytesInUse()
{
    Arena &a = TheArena();
    std::lock_guard lock(a.mutex);
    return a.inUse;
}

} // namespace vx::device
