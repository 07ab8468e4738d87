// libFuzzer target over the engine core's request handling. Built only with -DVX_FUZZ=ON and
// clang; run by bench/fuzz_engine.sh.
//
// Input: byte 0 = after how many memory accesses the caller "disconnects" (0: never);
// bytes 1-2 = length of the caller memory image placed at 0x100; then the image; then requests
// of 18 bytes: channel, code selector, inAddr, inLen, outAddr, outLen (32-bit little-endian).
// The credential lies at 0x10 (ANSI, zero-terminated) and 0x40 (UTF-16, zero-terminated).
#include "qxd/core.h"
#include "platform/device/wire.h"
#include "bench/fuzz_session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace vx::qxd;
using namespace vx::qxd::fuzz;
namespace wire = vx::device::wire;

namespace {

class Memory final : public MemoryAccess {
public:
    Memory(const uint8_t *image, std::size_t size, int failAfter) : failAfter_(failAfter)
    {
        const std::string cred = kDefaultCredential;
        regions_.push_back({0x10, cred + std::string(1, '\0')});
        std::string wide;
        for (char c : cred) {
            wide.push_back(c);
            wide.push_back('\0');
        }
        regions_.push_back({0x40, wide + std::string(2, '\0')});
        regions_.push_back({0x100, std::string(reinterpret_cast<const char *>(image), size)});
    }
    void ReadMany(std::span<ReadOp> ops) override
    {
        for (auto &op : ops) {
            Tick();
            std::string *r = Find(op.addr, op.len);
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
        for (auto &op : ops) {
            Tick();
            std::string *r = Find(op.addr, op.data.size());
            if (!r) {
                op.status = 998;
                continue;
            }
            std::memcpy(r->data() + (op.addr - base_), op.data.data(), op.data.size());
            op.status = 0;
        }
    }

private:
    struct Region {
        uint64_t addr;
        std::string bytes;
    };
    void Tick()
    {
        if (failAfter_ > 0 && --failAfter_ == 0)
            throw PeerError{"gone"};
    }
    std::string *Find(uint64_t addr, uint64_t len)
    {
        for (auto &r : regions_) {
            if (addr >= r.addr && addr - r.addr <= r.bytes.size() && len <= r.bytes.size() - (addr - r.addr)) {
                base_ = r.addr;
                return &r.bytes;
            }
        }
        return nullptr;
    }
    std::vector<Region> regions_;
    uint64_t base_ = 0;
    int failAfter_;
};

std::vector<Entry> Snapshot(const Engine &e)
{
    std::vector<Entry> all;
    for (std::size_t i = 0; i < e.Count(); ++i)
        all.push_back(*e.At(i));
    return all;
}

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

// With VX_FUZZ_SEED_DIR set, writes the starting sessions there before fuzzing.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (const char *dir = std::getenv("VX_FUZZ_SEED_DIR")) {
        for (uint8_t failAfter : {0, 3, 7}) {
            const std::string seed = SeedSession(failAfter);
            const std::string path = std::string(dir) + "/seed-" + std::to_string(failAfter);
            if (std::FILE *f = std::fopen(path.c_str(), "wb")) {
                std::fwrite(seed.data(), 1, seed.size(), f);
                std::fclose(f);
            }
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size < 3)
        return 0;
    const int failAfter = data[0] % 16;
    std::size_t imageLen = (data[1] | data[2] << 8) % 4097;
    if (imageLen > size - 3)
        imageLen = size - 3;
    Memory memory(data + 3, imageLen, failAfter);
    Engine engine;
    const uint8_t *p = data + 3 + imageLen;
    std::size_t left = size - 3 - imageLen;
    while (left >= 18) {
        Request r;
        r.channel = p[0] & 1 ? Channel::Unicode : Channel::Ansi;
        r.code = p[1] < 8 * 30 ? kCodes[p[1] % 8] : wire::Get32(p + 2);
        r.inAddr = wire::Get32(p + 2);
        r.inLen = wire::Get32(p + 6);
        r.outAddr = wire::Get32(p + 10);
        r.outLen = wire::Get32(p + 14);
        p += 18;
        left -= 18;

        const std::vector<Entry> before = Snapshot(engine);
        Result result;
        try {
            result = engine.Handle(r, memory);
        } catch (const PeerError &) {
            Check(Snapshot(engine) == before); // a caller gone mid-request changes nothing
            return 0;
        }
        const std::vector<Entry> after = Snapshot(engine);
        if (!result.ok) {
            Check(after == before);
            Check(result.error != 0);
            continue;
        }
        switch (r.code) {
        case kAddEntry:
            Check(after.size() == before.size() + 1);
            Check(std::equal(before.begin(), before.end(), after.begin()));
            break;
        case kDeleteEntry:
            Check(after.size() + 1 == before.size());
            break;
        case kClearEntries:
            Check(after.empty());
            break;
        case kModifyEntry:
            Check(after.size() == before.size());
            break;
        case kGetEntryCount:
            Check(result.bytesReturned == before.size() && after == before);
            break;
        default:
            Check(after == before);
        }
    }
    return 0;
}
