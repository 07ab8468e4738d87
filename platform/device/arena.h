// The process-wide arena: memory mapped below 4 GiB whose addresses fit the engine's 32-bit
// address fields. Every buffer whose address reaches the engine lives here; the engine's reads
// and writes are served only inside the arena (never elsewhere in the process).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vx::device {

// Zero-filled block of `size` bytes (at least 1), 16-byte aligned, address below 4 GiB.
// Returns nullptr when the arena is exhausted or cannot be mapped. Thread-safe.
void *ArenaAlloc(std::size_t size);
// Releases a block from ArenaAlloc; nullptr is ignored, a pointer not from the arena is ignored.
void ArenaFree(void *p);

// True when [addr, addr + len) lies inside one live arena allocation (len 0: addr inside one).
bool InArena(uint64_t addr, uint64_t len);
inline bool InArena(const void *p, uint64_t len)
{
    return InArena(reinterpret_cast<uintptr_t>(p), len);
}

// True when [addr, addr + len) lies inside the arena's mapping (its block area, live or not):
// what the device stub serves to the engine.
bool InArenaMapping(uint64_t addr, uint64_t len);

// The 32-bit form of an address for the entry block (0 for nullptr). Only meaningful for
// arena memory, whose addresses all fit.
inline uint32_t Addr32(const void *p)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

// The arena's memory as a file (a sealed memfd that can neither shrink nor grow), for an engine
// that maps it instead of asking the stub for every read and write; -1 where the arena is
// private memory. Maps the arena when it is not yet. A child that a fork makes gets an arena of
// its own, a copy of the parent's as it is when the child starts, in a file of its own.
int ArenaFile();

// Bytes currently allocated (for tests and benchmarks).
std::size_t ArenaBytesInUse();

// Owning arena block, movable, freed on destruction. Example (the change command's buffer):
//   vx::device::ArenaBuffer sd(65536);
//   Protector->GetEntry(i, mask, a, b, c, d, sd.data(), size = 65536, ...);
class ArenaBuffer {
public:
    ArenaBuffer() = default;
    explicit ArenaBuffer(std::size_t size) : data_(ArenaAlloc(size)), size_(data_ ? size : 0) {}
    ~ArenaBuffer() { ArenaFree(data_); }
    ArenaBuffer(const ArenaBuffer &) = delete;
    ArenaBuffer &operator=(const ArenaBuffer &) = delete;
    ArenaBuffer(ArenaBuffer &&o) noexcept : data_(o.data_), size_(o.size_) { o.data_ = nullptr; o.size_ = 0; }
    ArenaBuffer &operator=(ArenaBuffer &&o) noexcept
    {
        if (this != &o) {
            ArenaFree(data_);
            data_ = o.data_;
            size_ = o.size_;
            o.data_ = nullptr;
            o.size_ = 0;
        }
        return *this;
    }

    void *data() const { return data_; }
    uint8_t *bytes() const { return static_cast<uint8_t *>(data_); }
    std::size_t size() const { return size_; }
    uint32_t address() const { return Addr32(data_); }
    explicit operator bool() const { return data_ != nullptr; }

private:
    void *data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace vx::device
