// The task allocator: zero-filled blocks that list walkers can bound their reads by. Blocks live
// in 64 KiB chunks of one size class each (a large block gets a chunk of its own); a two-level
// page table maps any address to its chunk, so finding the block that holds a pointer takes two
// lock-free loads. Allocation and release take the allocator's lock.
#include "platform/shell/failpoints.h"
#include "platform/shell/shell.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <memory>
#include <mutex>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define VX_TASKMEM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VX_TASKMEM_ASAN 1
#endif
#endif
#ifdef VX_TASKMEM_ASAN
#include <sanitizer/asan_interface.h>
#define VX_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define VX_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define VX_POISON(p, n) ((void)(p), (void)(n))
#define VX_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace vx::shell {
namespace {

constexpr size_t kChunk = size_t(64) << 10;
constexpr unsigned kPageShift = 12;                        // chunks start and end on 4 KiB pages
constexpr size_t kPage = size_t(1) << kPageShift;
constexpr unsigned kLeafBits = 18;
constexpr unsigned kTopBits = 47 - kPageShift - kLeafBits; // user addresses below 2^47
constexpr size_t kLargest = 16384;                          // larger blocks get chunks of their own

// Slot sizes: 16-byte steps to 256, then four steps per doubling up to kLargest.
constexpr auto kClasses = [] {
    std::array<uint32_t, 16 + 4 * 6> sizes{};
    size_t n = 0;
    for (uint32_t s = 16; s <= 256; s += 16)
        sizes[n++] = s;
    for (uint32_t base = 256; base < kLargest; base *= 2)
        for (uint32_t k = 1; k <= 4; ++k)
            sizes[n++] = base + base / 4 * k;
    return sizes;
}();
static_assert(kClasses.back() == kLargest);

int ClassOf(size_t size)
{
    if (size <= 256)
        return static_cast<int>((size + 15) / 16) - 1;
    return static_cast<int>(std::lower_bound(kClasses.begin(), kClasses.end(), size) - kClasses.begin());
}

struct Chunk {
    uint8_t *base = nullptr;
    size_t span = 0;         // bytes of the chunk
    uint32_t slotSize = 0;   // bytes per slot
    uint32_t slotCount = 0;
    int cls = -1;            // size class; -1 for a large block
    uint32_t used = 0;       // slots handed out (under the lock)
    uint32_t fresh = 0;      // slots never handed out start here (under the lock)
    size_t partialPos = SIZE_MAX; // position in its class's list of chunks with room
    std::vector<uint32_t> released; // slots given back (under the lock)
    std::unique_ptr<std::atomic<uint32_t>[]> sizes; // size of the block in each slot; 0 when free
};

class TaskAllocator final : public IMalloc {
public:
    // The page table's levels are zeroed mappings: only the entries written are ever touched.
    TaskAllocator() : top_(static_cast<Leaf *>(std::calloc(size_t(1) << kTopBits, sizeof(Leaf)))) {}

    HRESULT QueryInterface(REFIID riid, void **ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IMalloc) {
            *ppv = static_cast<IMalloc *>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 1; }  // process-wide object
    ULONG Release() override { return 1; }

    void *Alloc(size_t cb) override
    {
        if (cb > kMaxBlock || detail::TakeFailure(FailPoint::AllocateIdList) != S_OK)
            return nullptr;
        // At least a terminator's worth, so that a zero-size block still reads as an empty list.
        const size_t size = cb < 2 ? 2 : cb;
        uint8_t *p = nullptr;
        {
            std::lock_guard lock(mutex_);
            p = size > kLargest ? TakeLarge(size) : TakeSlot(ClassOf(size), size);
        }
        if (!p)
            return nullptr;
        VX_UNPOISON(p, size);
        std::memset(p, 0, size);
        live_.fetch_add(1, std::memory_order_relaxed);
        return p;
    }
    void *Realloc(void *pv, size_t cb) override
    {
        if (!pv)
            return Alloc(cb);
        if (cb == 0) {
            Free(pv);
            return nullptr;
        }
        const size_t old = GetSize(pv);
        if (old == static_cast<size_t>(-1) || cb > kMaxBlock)
            return nullptr;
        void *p = Alloc(cb);
        if (!p)
            return nullptr;
        std::memcpy(p, pv, old < cb ? old : cb);
        Free(pv);
        return p;
    }
    void Free(void *pv) override
    {
        Chunk *c = ChunkOf(pv);
        if (!c)
            return; // not ours: never hand foreign memory to free()
        const size_t offset = static_cast<size_t>(static_cast<uint8_t *>(pv) - c->base);
        if (offset % c->slotSize != 0)
            return; // inside a block, not its start
        const uint32_t slot = static_cast<uint32_t>(offset / c->slotSize);
        std::lock_guard lock(mutex_);
        const uint32_t size = c->sizes[slot].load(std::memory_order_relaxed);
        if (size == 0)
            return; // already free
        c->sizes[slot].store(0, std::memory_order_release);
        live_.fetch_sub(1, std::memory_order_relaxed);
        VX_POISON(static_cast<uint8_t *>(pv), c->slotSize);
        GiveBack(c, slot);
    }
    size_t GetSize(void *pv) override
    {
        Chunk *c = ChunkOf(pv);
        if (!c)
            return static_cast<size_t>(-1);
        const size_t offset = static_cast<size_t>(static_cast<uint8_t *>(pv) - c->base);
        if (offset % c->slotSize != 0)
            return static_cast<size_t>(-1);
        const uint32_t size = c->sizes[offset / c->slotSize].load(std::memory_order_acquire);
        return size ? size : static_cast<size_t>(-1);
    }
    int DidAlloc(void *pv) override { return GetSize(pv) == static_cast<size_t>(-1) ? 0 : 1; }
    void HeapMinimize() override {}

    size_t BytesFrom(const void *p)
    {
        Chunk *c = ChunkOf(p);
        if (!c)
            return 0;
        const size_t offset = static_cast<size_t>(static_cast<const uint8_t *>(p) - c->base);
        const size_t slot = offset / c->slotSize;
        const size_t size = c->sizes[slot].load(std::memory_order_acquire);
        const size_t within = offset - slot * c->slotSize;
        return within < size ? size - within : 0;
    }
    size_t Count() { return live_.load(std::memory_order_relaxed); }

private:
    static constexpr size_t kMaxBlock = size_t(256) << 20;
    using Leaf = Chunk **; // one entry per page

    Chunk *ChunkOf(const void *p) const
    {
        const uintptr_t page = reinterpret_cast<uintptr_t>(p) >> kPageShift;
        if (!p || !top_ || (page >> kLeafBits) >= (uintptr_t(1) << kTopBits))
            return nullptr;
        Leaf leaf = std::atomic_ref<Leaf>(top_[page >> kLeafBits]).load(std::memory_order_acquire);
        return leaf ? std::atomic_ref<Chunk *>(leaf[page & ((uintptr_t(1) << kLeafBits) - 1)])
                          .load(std::memory_order_acquire)
                    : nullptr;
    }

    // Enters (or, with null, clears) the chunk for each of its pages. Under the lock.
    bool MapPages(const Chunk &c, Chunk *value)
    {
        const uintptr_t first = reinterpret_cast<uintptr_t>(c.base) >> kPageShift;
        const uintptr_t last = (reinterpret_cast<uintptr_t>(c.base) + c.span - 1) >> kPageShift;
        if (!top_ || (last >> kLeafBits) >= (uintptr_t(1) << kTopBits))
            return false;
        for (uintptr_t page = first; page <= last; ++page) {
            std::atomic_ref<Leaf> slot(top_[page >> kLeafBits]);
            Leaf leaf = slot.load(std::memory_order_relaxed);
            if (!leaf) {
                if (!value)
                    continue;
                leaf = static_cast<Leaf>(std::calloc(size_t(1) << kLeafBits, sizeof(Chunk *)));
                if (!leaf)
                    return false;
                slot.store(leaf, std::memory_order_release);
            }
            std::atomic_ref<Chunk *>(leaf[page & ((uintptr_t(1) << kLeafBits) - 1)]).store(value, std::memory_order_release);
        }
        return true;
    }

    Chunk *NewChunk(size_t span, uint32_t slotSize, int cls)
    {
        auto c = std::make_unique<Chunk>();
        c->base = static_cast<uint8_t *>(std::aligned_alloc(kPage, span));
        if (!c->base)
            return nullptr;
        c->span = span;
        c->slotSize = slotSize;
        c->slotCount = static_cast<uint32_t>(span / slotSize);
        c->cls = cls;
        c->sizes.reset(new (std::nothrow) std::atomic<uint32_t>[c->slotCount]());
        if (!c->sizes || !MapPages(*c, c.get())) {
            MapPages(*c, nullptr);
            std::free(c->base);
            return nullptr;
        }
        VX_POISON(c->base, span);
        return c.release();
    }

    void DropChunk(Chunk *c)
    {
        MapPages(*c, nullptr);
        VX_UNPOISON(c->base, c->span);
        std::free(c->base);
        delete c;
    }

    uint8_t *TakeLarge(size_t size)
    {
        const size_t span = (size + kPage - 1) & ~(kPage - 1);
        Chunk *c = NewChunk(span, static_cast<uint32_t>(span), -1);
        if (!c)
            return nullptr;
        c->used = 1;
        c->sizes[0].store(static_cast<uint32_t>(size), std::memory_order_release);
        return c->base;
    }

    uint8_t *TakeSlot(int cls, size_t size)
    {
        std::vector<Chunk *> &room = partial_[static_cast<size_t>(cls)];
        if (room.empty()) {
            Chunk *c = NewChunk(kChunk, kClasses[static_cast<size_t>(cls)], cls);
            if (!c)
                return nullptr;
            c->partialPos = room.size();
            room.push_back(c);
        }
        Chunk *c = room.back();
        uint32_t slot;
        if (!c->released.empty()) {
            slot = c->released.back();
            c->released.pop_back();
        } else {
            slot = c->fresh++;
        }
        if (++c->used == c->slotCount)
            Unlist(c);
        c->sizes[slot].store(static_cast<uint32_t>(size), std::memory_order_release);
        return c->base + size_t(slot) * c->slotSize;
    }

    void Unlist(Chunk *c)
    {
        std::vector<Chunk *> &room = partial_[static_cast<size_t>(c->cls)];
        Chunk *moved = room.back();
        room[c->partialPos] = moved;
        moved->partialPos = c->partialPos;
        room.pop_back();
        c->partialPos = SIZE_MAX;
    }

    void GiveBack(Chunk *c, uint32_t slot)
    {
        if (c->cls < 0) {
            DropChunk(c);
            return;
        }
        std::vector<Chunk *> &room = partial_[static_cast<size_t>(c->cls)];
        --c->used;
        c->released.push_back(slot);
        if (c->partialPos == SIZE_MAX) {
            c->partialPos = room.size();
            room.push_back(c);
        }
        // An empty chunk goes back to the heap unless it is the only one of its class with room.
        if (c->used == 0 && room.size() > 1) {
            Unlist(c);
            DropChunk(c);
        }
    }

    std::mutex mutex_;
    Leaf *top_; // lives to process exit, as the allocator
    std::array<std::vector<Chunk *>, kClasses.size()> partial_;
    std::atomic<size_t> live_{0};
};

TaskAllocator &Allocator()
{
    static TaskAllocator *allocator = new TaskAllocator; // lives to process exit
    return *allocator;
}

std::mutex g_failLock;
std::map<FailPoint, HRESULT> g_failures;
std::atomic<size_t> g_pending{0}; // entries in g_failures: most calls need not take the lock

} // namespace

namespace detail {
HRESULT TakeFailure(FailPoint point)
{
    if (g_pending.load(std::memory_order_acquire) == 0)
        return S_OK;
    std::lock_guard lock(g_failLock);
    auto it = g_failures.find(point);
    if (it == g_failures.end())
        return S_OK;
    const HRESULT hr = it->second;
    g_failures.erase(it);
    g_pending.store(g_failures.size(), std::memory_order_release);
    return hr;
}
IMalloc &TaskMalloc() { return Allocator(); }
} // namespace detail

void FailNext(FailPoint point, HRESULT hr)
{
    std::lock_guard lock(g_failLock);
    if (hr == S_OK)
        g_failures.erase(point);
    else
        g_failures[point] = hr;
    g_pending.store(g_failures.size(), std::memory_order_release);
}

size_t TaskMemBytesFrom(const void *p) { return p ? Allocator().BytesFrom(p) : 0; }
size_t TaskMemBlockCount() { return Allocator().Count(); }

} // namespace vx::shell

HRESULT SHGetMalloc(IMalloc **ppMalloc)
{
    if (!ppMalloc)
        return E_INVALIDARG;
    *ppMalloc = nullptr;
    if (HRESULT hr = vx::shell::detail::TakeFailure(vx::shell::FailPoint::GetMalloc); hr != S_OK)
        return hr;
    *ppMalloc = &vx::shell::Allocator();
    return S_OK;
}
