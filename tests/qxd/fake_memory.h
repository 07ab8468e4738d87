// Caller memory for driving the engine core directly: a few regions at made-up addresses.
#pragma once

#include "qxd/core.h"

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
            std::string *r = Find(op.addr, op.data.size());
            if (!r) {
                op.status = 998;
                continue;
            }
            std::memcpy(r->data() + (op.addr - base_), op.data.data(), op.data.size());
            op.status = 0;
        }
    }

    void PostWrite(uint64_t addr, std::string data) override
    {
        ++posted;
        Write(addr, std::move(data));
    }

    int batches = 0, reads = 0, writes = 0, posted = 0;

private:
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
