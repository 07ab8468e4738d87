// Caller memory for driving the engine core directly: a few regions at made-up addresses.
#pragma once

#include "qxd/core.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

class FakeMemory final : public vx::qxd::MemoryAccess {
public:
    // Places bytes at `addr` (a region of its own).
    void Put(uint64_t addr, std::string bytes) { regions_[addr] = std::move(bytes); }
    std::string &At(uint64_t addr) { return regions_.at(addr); }

    void ReadMany(std::span<ReadOp> ops) override
    {
        ++batches;
        for (auto &op : ops) {
            ++reads;
            const std::string *r = Find(op.addr, op.len);
            if (!r) {
                // Like a transport that sizes its buffers before it knows the outcome.
                op.out->assign(std::min<uint64_t>(op.len, 1u << 16), '?');
                op.status = 998;
                continue;
            }
            *op.out = r->substr(op.addr - base_, op.len);
            op.status = 0;
        }
    }
    void WriteMany(std::span<WriteOp> ops) override
    {
        ++batches;
        for (auto &op : ops) {
            ++writes;
            op.status = Apply(op.addr, op.data);
        }
    }

    // Applied at once, not counted as a batch: a transport sends these with the answer.
    void PostWrite(uint64_t addr, std::string data) override
    {
        ++posted;
        postedStatus = postedStatus ? postedStatus : Apply(addr, data);
    }

    bool ReadAheadPays() override { return readAheadPays; }
    bool readAheadPays = true;

    // Batches of reads and of waited-for writes; single reads and writes; posted writes and the
    // first refusal among them.
    int batches = 0, reads = 0, writes = 0, posted = 0;
    uint32_t postedStatus = 0;

private:
    uint32_t Apply(uint64_t addr, const std::string &data)
    {
        std::string *r = Find(addr, data.size());
        if (!r)
            return 998;
        std::memcpy(r->data() + (addr - base_), data.data(), data.size());
        return 0;
    }

    std::string *Find(uint64_t addr, uint64_t len)
    {
        auto it = regions_.upper_bound(addr);
        if (it == regions_.begin())
            return nullptr;
        --it;
        if (addr - it->first > it->second.size() || len > it->second.size() - (addr - it->first))
            return nullptr;
        base_ = it->first;
        return &it->second;
    }

    std::map<uint64_t, std::string> regions_;
    uint64_t base_ = 0;
};
