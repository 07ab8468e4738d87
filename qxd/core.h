// SPDX-License-Identifier: GPL-3.0-or-later
// The protection engine's core: the ordered entry list, the protection state, the credential,
// and the handling of one control request. Transport-free: the caller's memory is reached
// through MemoryAccess, so the same core runs in-process, behind the daemon's sockets and
// under the fuzzer. Thread-safe: the state lock is never held while caller memory is accessed.
#pragma once

#include "contract/qxd.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vx::qxd {

// Error codes the engine answers with.
constexpr uint32_t kErrInvalidFunction = 1;
constexpr uint32_t kErrAccessDenied = 5;
constexpr uint32_t kErrNotEnoughMemory = 8;
constexpr uint32_t kErrInvalidParameter = 87;
constexpr uint32_t kErrNoAccess = 998;
constexpr uint32_t kErrMoreData = QXD_ERROR_MORE_DATA;

// Control codes (contract/qxd.h).
constexpr uint32_t kAddEntry = IOCTL_QXD_ADD_ENTRY;
constexpr uint32_t kDeleteEntry = IOCTL_QXD_DELETE_ENTRY;
constexpr uint32_t kStart = IOCTL_QXD_START;
constexpr uint32_t kStop = IOCTL_QXD_STOP;
constexpr uint32_t kClearEntries = IOCTL_QXD_CLEAR_ENTRIES;
constexpr uint32_t kGetEntry = IOCTL_QXD_GET_ENTRY;
constexpr uint32_t kModifyEntry = IOCTL_QXD_MODIFY_ENTRY;
constexpr uint32_t kGetEntryCount = IOCTL_QXD_GET_ENTRY_COUNT;

constexpr uint32_t kBlockSize = TFPEntryBlock::Size;

// Sane bounds on what one entry may hold and on the list as a whole.
constexpr uint32_t kMaxStringLen = 1u << 20;       // per text, bytes
constexpr uint32_t kMaxPasswordLen = 4096;         // bytes (ANSI) or characters (Unicode)
constexpr uint32_t kMaxSecDescLen = 65536;         // bytes
constexpr uint32_t kMaxListCount = 65536;          // items of 6 bytes per list
constexpr std::size_t kMaxEntries = 1000000;
constexpr uint64_t kMaxStoredBytes = 512ull << 20; // all entries' texts, descriptors, lists

inline constexpr const auto &kDefaultCredential = QXD_DEFAULT_PASSWORD;

enum class Channel { Ansi, Unicode };

struct Entry {
    std::string fileFolder;
    std::string excludeFileFolder;
    std::string process;
    std::string excludeProcess;
    uint32_t mask = 0;
    uint8_t flag = 0;
    std::string secDesc; // raw bytes
    std::string list1;   // 6 bytes per item
    std::string list2;

    uint64_t StoredBytes() const
    {
        return fileFolder.size() + excludeFileFolder.size() + process.size() +
               excludeProcess.size() + secDesc.size() + list1.size() + list2.size();
    }
    bool operator==(const Entry &) const = default;
};

// Thrown by a MemoryAccess whose peer broke the protocol or went away; the request is abandoned
// without touching the state and the connection is dropped.
struct PeerError {
    const char *what;
};

// The caller's memory as the engine sees it. Each operation returns 0 or the refusal code
// (ERROR_NOACCESS for an address outside the caller's arena).
class MemoryAccess {
public:
    struct ReadOp {
        uint64_t addr;
        uint32_t len;
        std::string *out; // resized to len on success
        uint32_t status = 0;
    };
    struct WriteOp {
        uint64_t addr;
        std::string data;
        uint32_t status = 0;
    };
    virtual ~MemoryAccess() = default;
    // Performs every operation in order and fills in each status; implementations may overlap
    // them (one round trip for the lot).
    virtual void ReadMany(std::span<ReadOp> ops) = 0;
    virtual void WriteMany(std::span<WriteOp> ops) = 0;

    uint32_t Read(uint64_t addr, uint32_t len, std::string &out)
    {
        ReadOp op{addr, len, &out};
        ReadMany({&op, 1});
        return op.status;
    }
    uint32_t Write(uint64_t addr, std::string data)
    {
        WriteOp op{addr, std::move(data)};
        WriteMany({&op, 1});
        return op.status;
    }

    // A write into memory that was just read successfully, whose outcome does not change the
    // answer: a transport may deliver it together with the answer instead of waiting for it.
    virtual void PostWrite(uint64_t addr, std::string data) { Write(addr, std::move(data)); }
    // False where a write costs no more than the read that would vouch for it (memory reached
    // directly); the engine then reads nothing ahead.
    virtual bool ReadAheadPays() { return true; }
    // Several such writes, in order.
    virtual void PostWriteMany(std::span<WriteOp> ops)
    {
        for (auto &op : ops)
            PostWrite(op.addr, std::move(op.data));
    }

    // Where this caller's credential was found last time. The engine reads that place again in
    // the same batch as the next entry block and uses it only when the block still points there.
    uint64_t credentialAddr = 0;
    uint32_t credentialLen = 0;
    // Around where this caller's read-back texts went last time. The engine reads there ahead
    // too; writes that fall inside memory just read go with the answer.
    uint64_t textsAddr = 0;
    uint32_t textsLen = 0;
};

struct Request {
    Channel channel = Channel::Ansi;
    uint32_t code = 0;
    uint64_t inAddr = 0;
    uint32_t inLen = 0;
    uint64_t outAddr = 0;
    uint32_t outLen = 0;
};

struct Result {
    bool ok = false;
    uint32_t error = 0;
    uint32_t bytesReturned = 0;
};

class Engine {
public:
    Engine();

    // Credential for both channels: the ANSI bytes and the UTF-16 text. Empty texts are refused.
    bool SetCredential(std::string ansi, std::u16string wide);

    // Handles one request. Never throws except PeerError from `memory`.
    Result Handle(const Request &request, MemoryAccess &memory);

    // Direct access for the loader, tests and benchmarks.
    bool Append(Entry entry); // false when the bounds would be exceeded
    std::size_t Count() const;
    std::optional<Entry> At(std::size_t index) const;
    bool Active() const;
    void SetActive(bool active);

    // The entries and the protection state, read together.
    std::pair<std::vector<Entry>, bool> Snapshot() const;
    // Called (outside the state lock) after every change of the entries or of the protection
    // state; it must not block.
    void SetObserver(std::function<void()> observer);

private:
    void Changed();

    Result ShortRequest(const Request &request, MemoryAccess &memory);
    Result PutEntry(const Request &request, MemoryAccess &memory);
    Result GetEntry(const Request &request, MemoryAccess &memory);
    bool CredentialMatches(Channel channel, const std::string &bytes) const;

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    uint64_t storedBytes_ = 0;
    bool active_ = false;
    std::string credentialAnsi_;
    std::string credentialWide_; // UTF-16LE bytes
    std::function<void()> observer_;
};

// UTF-16 text as little-endian bytes.
std::string Utf16Bytes(const std::u16string &text);

} // namespace vx::qxd
