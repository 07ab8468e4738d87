// The task allocator: zero-filled blocks, with a registry of live blocks so that list walkers
// can bound their reads.
#include "platform/shell/failpoints.h"
#include "platform/shell/shell.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>

namespace vx::shell {
namespace {

class TaskAllocator final : public IMalloc {
public:
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
        void *p = std::calloc(1, size);
        if (!p)
            return nullptr;
        std::lock_guard lock(mutex_);
        blocks_[reinterpret_cast<uintptr_t>(p)] = size;
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
        if (!pv)
            return;
        {
            std::lock_guard lock(mutex_);
            auto it = blocks_.find(reinterpret_cast<uintptr_t>(pv));
            if (it == blocks_.end())
                return; // not ours: never hand foreign memory to free()
            blocks_.erase(it);
        }
        std::free(pv);
    }
    size_t GetSize(void *pv) override
    {
        std::lock_guard lock(mutex_);
        auto it = blocks_.find(reinterpret_cast<uintptr_t>(pv));
        return it == blocks_.end() ? static_cast<size_t>(-1) : it->second;
    }
    int DidAlloc(void *pv) override { return GetSize(pv) == static_cast<size_t>(-1) ? 0 : 1; }
    void HeapMinimize() override {}

    size_t BytesFrom(const void *p)
    {
        const auto addr = reinterpret_cast<uintptr_t>(p);
        std::lock_guard lock(mutex_);
        auto it = blocks_.upper_bound(addr);
        if (it == blocks_.begin())
            return 0;
        --it;
        if (addr >= it->first && addr < it->first + it->second)
            return it->first + it->second - addr;
        return 0;
    }
    size_t Count()
    {
        std::lock_guard lock(mutex_);
        return blocks_.size();
    }

private:
    static constexpr size_t kMaxBlock = size_t(256) << 20;
    std::mutex mutex_;
    std::map<uintptr_t, size_t> blocks_;
};

TaskAllocator &Allocator()
{
    static TaskAllocator *allocator = new TaskAllocator; // lives to process exit
    return *allocator;
}

std::mutex g_failLock;
std::map<FailPoint, HRESULT> g_failures;

} // namespace

namespace detail {
HRESULT TakeFailure(FailPoint point)
{
    std::lock_guard lock(g_failLock);
    auto it = g_failures.find(point);
    if (it == g_failures.end())
        return S_OK;
    const HRESULT hr = it->second;
    g_failures.erase(it);
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
