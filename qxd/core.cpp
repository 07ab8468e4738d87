// SPDX-License-Identifier: GPL-3.0-or-later
#include "qxd/core.h"

#include "platform/device/wire.h"

#include <algorithm>
#include <cstddef>

namespace vx::qxd {

namespace {

namespace wire = vx::device::wire;

// Field offsets in the 84-byte entry block.
enum : std::size_t {
    kTotalSize = offsetof(TFPEntryBlock, TotalSize),
    kFileFolderLen = offsetof(TFPEntryBlock, FileFolderLen),
    kPasswordLen = offsetof(TFPEntryBlock, PasswordLen),
    kMask = offsetof(TFPEntryBlock, Mask),
    kFileFolderPtr = offsetof(TFPEntryBlock, FileFolderPtr),
    kPasswordPtr = offsetof(TFPEntryBlock, PasswordPtr),
    kEntryFlag = offsetof(TFPEntryBlock, EntryFlag),
    kSecDescLen = offsetof(TFPEntryBlock, SecDescLen),
    kSecDescPtr = offsetof(TFPEntryBlock, SecDescPtr),
    kList1Count = offsetof(TFPEntryBlock, List1Count),
    kList2Count = offsetof(TFPEntryBlock, List2Count),
    kList1Ptr = offsetof(TFPEntryBlock, List1Ptr),
    kList2Ptr = offsetof(TFPEntryBlock, List2Ptr),
};
// The four texts' lengths and addresses follow each other, as StrLen / StrPtr read them.
static_assert(offsetof(TFPEntryBlock, ExcludeProcessLen) == kFileFolderLen + 4 * 3);
static_assert(offsetof(TFPEntryBlock, ExcludeProcessPtr) == kFileFolderPtr + 4 * 3);

constexpr uint32_t kListItem = TFPEntryBlock::ListItemSize;
// Most memory read ahead around a caller's last read-back texts.
constexpr uint64_t kMaxReadAhead = 16384;

struct Block {
    std::string raw; // 84 bytes

    uint32_t U32(std::size_t off) const { return wire::Get32(reinterpret_cast<const uint8_t *>(raw.data()) + off); }
    void Set(std::size_t off, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            raw[off + i] = char(v >> (8 * i));
    }
    uint32_t StrLen(int i) const { return U32(kFileFolderLen + 4 * i); }
    uint32_t StrPtr(int i) const { return U32(kFileFolderPtr + 4 * i); }
};

Result Fail(uint32_t error)
{
    return Result{false, error, 0};
}

Result Ok(uint32_t bytes = 0)
{
    return Result{true, 0, bytes};
}

// A text read with its closing zero: the zero must be at `len` and nowhere before.
bool TerminatedAt(const std::string &bytes, uint32_t len)
{
    return bytes.size() == std::size_t(len) + 1 && bytes[len] == '\0' &&
           bytes.find('\0') == std::size_t(len);
}

const std::string &Field(const Entry &e, int i)
{
    switch (i) {
    case 0: return e.fileFolder;
    case 1: return e.excludeFileFolder;
    case 2: return e.process;
    default: return e.excludeProcess;
    }
}

// `text` followed by its closing zero.
std::string WithZero(const std::string &text)
{
    std::string out;
    out.reserve(text.size() + 1);
    out.append(text).push_back('\0');
    return out;
}

} // namespace

std::string Utf16Bytes(const std::u16string &text)
{
    std::string out;
    out.reserve(text.size() * 2);
    for (char16_t c : text) {
        out.push_back(char(c & 0xFF));
        out.push_back(char(c >> 8));
    }
    return out;
}

Engine::Engine()
{
    std::u16string wide;
    for (const char *p = kDefaultCredential; *p; ++p)
        wide.push_back(char16_t(*p));
    SetCredential(kDefaultCredential, wide);
}

bool Engine::SetCredential(std::string ansi, std::u16string wide)
{
    if (ansi.empty() || wide.empty() || ansi.size() > kMaxPasswordLen || wide.size() > kMaxPasswordLen)
        return false;
    std::lock_guard lock(mutex_);
    credentialAnsi_ = std::move(ansi);
    credentialWide_ = Utf16Bytes(wide);
    return true;
}

bool Engine::CredentialMatches(Channel channel, const std::string &bytes) const
{
    std::lock_guard lock(mutex_);
    return bytes == (channel == Channel::Ansi ? credentialAnsi_ : credentialWide_);
}

bool Engine::Append(Entry entry)
{
    std::unique_lock lock(mutex_);
    const uint64_t bytes = entry.StoredBytes();
    if (entries_.size() >= kMaxEntries || storedBytes_ + bytes > kMaxStoredBytes)
        return false;
    entries_.push_back(std::move(entry));
    storedBytes_ += bytes;
    lock.unlock();
    Changed();
    return true;
}

std::size_t Engine::Count() const
{
    std::lock_guard lock(mutex_);
    return entries_.size();
}

std::optional<Entry> Engine::At(std::size_t index) const
{
    std::lock_guard lock(mutex_);
    if (index >= entries_.size())
        return std::nullopt;
    return entries_[index];
}

bool Engine::Active() const
{
    std::lock_guard lock(mutex_);
    return active_;
}

void Engine::SetActive(bool active)
{
    {
        std::lock_guard lock(mutex_);
        active_ = active;
    }
    Changed();
}

std::pair<std::vector<Entry>, bool> Engine::Snapshot() const
{
    std::lock_guard lock(mutex_);
    return {entries_, active_};
}

void Engine::SetObserver(std::function<void()> observer)
{
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void Engine::Changed()
{
    std::function<void()> observer;
    {
        std::lock_guard lock(mutex_);
        observer = observer_;
    }
    if (observer)
        observer();
}

Result Engine::Handle(const Request &request, MemoryAccess &memory)
{
    Result result;
    switch (request.code) {
    case kGetEntryCount:
        return ShortRequest(request, memory);
    case kStart:
    case kStop:
    case kClearEntries:
        result = ShortRequest(request, memory);
        break;
    case kDeleteEntry:
        if (request.channel != Channel::Ansi)
            return Fail(kErrInvalidFunction);
        result = ShortRequest(request, memory);
        break;
    case kAddEntry:
    case kModifyEntry:
        if (request.channel != Channel::Ansi)
            return Fail(kErrInvalidFunction);
        result = PutEntry(request, memory);
        break;
    case kGetEntry:
        if (request.channel != Channel::Ansi)
            return Fail(kErrInvalidFunction);
        return GetEntry(request, memory);
    default:
        return Fail(kErrInvalidFunction);
    }
    if (result.ok)
        Changed();
    return result;
}

// Requests whose input is the credential alone: start, stop, clear, count, delete.
Result Engine::ShortRequest(const Request &request, MemoryAccess &memory)
{
    if (request.inLen > kMaxPasswordLen)
        return Fail(kErrInvalidParameter);
    if (request.inLen == 0)
        return Fail(kErrAccessDenied);
    const uint32_t bytes = request.channel == Channel::Ansi ? request.inLen : request.inLen * 2;
    std::string credential;
    if (uint32_t status = memory.Read(request.inAddr, bytes, credential))
        return Fail(status);
    if (!CredentialMatches(request.channel, credential))
        return Fail(kErrAccessDenied);

    std::lock_guard lock(mutex_);
    switch (request.code) {
    case kStart:
        active_ = true;
        return Ok();
    case kStop:
        active_ = false;
        return Ok();
    case kClearEntries:
        entries_.clear();
        entries_.shrink_to_fit();
        storedBytes_ = 0;
        return Ok();
    case kGetEntryCount:
        return Ok(uint32_t(entries_.size()));
    case kDeleteEntry: {
        const uint32_t index = request.outLen;
        if (index >= entries_.size())
            return Fail(kErrInvalidParameter);
        storedBytes_ -= entries_[index].StoredBytes();
        entries_.erase(entries_.begin() + index);
        return Ok();
    }
    default:
        return Fail(kErrInvalidFunction);
    }
}

// Add (appended) and modify (replaced in place, index in the output length).
Result Engine::PutEntry(const Request &request, MemoryAccess &memory)
{
    const bool modify = request.code == kModifyEntry;
    if (request.inLen != kBlockSize)
        return Fail(kErrInvalidParameter);
    Block block;
    if (uint32_t status = memory.Read(request.inAddr, kBlockSize, block.raw))
        return Fail(status);

    const uint32_t passwordLen = block.U32(kPasswordLen);
    const uint32_t secDescLen = block.U32(kSecDescLen);
    const uint32_t list1Count = block.U32(kList1Count);
    const uint32_t list2Count = block.U32(kList2Count);
    if (passwordLen == 0)
        return Fail(kErrAccessDenied);
    if (passwordLen > kMaxPasswordLen || secDescLen > kMaxSecDescLen || list1Count > kMaxListCount ||
        list2Count > kMaxListCount)
        return Fail(kErrInvalidParameter);
    uint64_t total = kBlockSize + 5ull + passwordLen + secDescLen + uint64_t(kListItem) * (list1Count + list2Count);
    for (int i = 0; i < 4; ++i) {
        if (block.StrLen(i) > kMaxStringLen)
            return Fail(kErrInvalidParameter);
        total += block.StrLen(i);
    }
    if (total != block.U32(kTotalSize))
        return Fail(kErrInvalidParameter);

    // One batch: the credential, the four texts, the descriptor and the lists.
    std::string password, texts[4], secDesc, list1, list2;
    std::vector<MemoryAccess::ReadOp> ops;
    ops.push_back({block.U32(kPasswordPtr), passwordLen + 1, &password});
    int textOp[4];
    for (int i = 0; i < 4; ++i) {
        textOp[i] = -1;
        if (block.StrPtr(i) == 0 && block.StrLen(i) == 0)
            continue; // empty text without a buffer
        textOp[i] = int(ops.size());
        ops.push_back({block.StrPtr(i), block.StrLen(i) + 1, &texts[i]});
    }
    if (secDescLen > 0) {
        if (block.U32(kSecDescPtr) == 0)
            return Fail(kErrInvalidParameter);
        ops.push_back({block.U32(kSecDescPtr), secDescLen, &secDesc});
    }
    // A list count without a list: modify keeps the entry's own list when the count matches.
    const uint32_t listCount[2] = {list1Count, list2Count};
    const std::size_t listPtr[2] = {kList1Ptr, kList2Ptr};
    std::string *listData[2] = {&list1, &list2};
    bool keepList[2] = {false, false};
    for (int l = 0; l < 2; ++l) {
        if (listCount[l] == 0)
            continue;
        if (block.U32(listPtr[l]) != 0)
            ops.push_back({block.U32(listPtr[l]), listCount[l] * kListItem, listData[l]});
        else if (modify)
            keepList[l] = true;
        else
            return Fail(kErrInvalidParameter);
    }
    memory.ReadMany(ops);

    if (ops[0].status)
        return Fail(ops[0].status);
    if (!TerminatedAt(password, passwordLen))
        return Fail(kErrInvalidParameter);
    password.resize(passwordLen);
    if (!CredentialMatches(Channel::Ansi, password))
        return Fail(kErrAccessDenied);
    for (const auto &op : ops)
        if (op.status)
            return Fail(op.status);
    for (int i = 0; i < 4; ++i) {
        if (textOp[i] < 0)
            continue;
        if (!TerminatedAt(texts[i], block.StrLen(i)))
            return Fail(kErrInvalidParameter);
        texts[i].resize(block.StrLen(i));
    }

    Entry entry;
    entry.fileFolder = std::move(texts[0]);
    entry.excludeFileFolder = std::move(texts[1]);
    entry.process = std::move(texts[2]);
    entry.excludeProcess = std::move(texts[3]);
    entry.mask = block.U32(kMask);
    entry.flag = uint8_t(block.raw[kEntryFlag]);
    entry.secDesc = std::move(secDesc);
    entry.list1 = std::move(list1);
    entry.list2 = std::move(list2);

    std::lock_guard lock(mutex_);
    if (!modify) {
        if (entries_.size() >= kMaxEntries || storedBytes_ + entry.StoredBytes() > kMaxStoredBytes)
            return Fail(kErrNotEnoughMemory);
        storedBytes_ += entry.StoredBytes();
        entries_.push_back(std::move(entry));
        return Ok();
    }
    const uint32_t index = request.outLen;
    if (index >= entries_.size())
        return Fail(kErrInvalidParameter);
    Entry &old = entries_[index];
    const std::string *oldList[2] = {&old.list1, &old.list2};
    std::string *newList[2] = {&entry.list1, &entry.list2};
    for (int l = 0; l < 2; ++l) {
        if (!keepList[l])
            continue;
        if (oldList[l]->size() != std::size_t(listCount[l]) * kListItem)
            return Fail(kErrInvalidParameter);
        *newList[l] = *oldList[l];
    }
    const uint64_t after = storedBytes_ - old.StoredBytes() + entry.StoredBytes();
    if (after > kMaxStoredBytes)
        return Fail(kErrNotEnoughMemory);
    storedBytes_ = after;
    old = std::move(entry);
    return Ok();
}

// Read back one entry (index in the input length) into the caller's block and buffers.
Result Engine::GetEntry(const Request &request, MemoryAccess &memory)
{
    if (request.outLen != kBlockSize)
        return Fail(kErrInvalidParameter);
    // The block, the credential where this caller kept it last time and the memory around its
    // last read-back texts, in one batch.
    Block block;
    std::string password, ahead;
    std::vector<MemoryAccess::ReadOp> first{{request.outAddr, kBlockSize, &block.raw}};
    const std::size_t credentialOp = first.size();
    if (memory.credentialLen > 0)
        first.push_back({memory.credentialAddr, memory.credentialLen + 1, &password});
    const std::size_t aheadOp = first.size();
    const uint64_t aheadAddr = memory.textsAddr;
    if (memory.textsLen > 0 && memory.ReadAheadPays())
        first.push_back({aheadAddr, memory.textsLen, &ahead});
    memory.ReadMany(first);
    if (first[0].status)
        return Fail(first[0].status);
    const uint32_t passwordLen = block.U32(kPasswordLen);
    if (passwordLen == 0)
        return Fail(kErrAccessDenied);
    if (passwordLen > kMaxPasswordLen)
        return Fail(kErrInvalidParameter);
    const bool reuse = credentialOp < first.size() && memory.credentialLen > 0 && first[credentialOp].status == 0 &&
                       memory.credentialAddr == block.U32(kPasswordPtr) && memory.credentialLen == passwordLen;
    if (!reuse) {
        password.clear();
        if (uint32_t status = memory.Read(block.U32(kPasswordPtr), passwordLen + 1, password))
            return Fail(status);
    }
    if (!TerminatedAt(password, passwordLen))
        return Fail(kErrInvalidParameter);
    password.resize(passwordLen);
    if (!CredentialMatches(Channel::Ansi, password))
        return Fail(kErrAccessDenied);
    memory.credentialAddr = block.U32(kPasswordPtr);
    memory.credentialLen = passwordLen;

    // The lengths the entry needs and, when the caller's buffers take them, the writes that hand
    // it over: built under the lock straight from the entry, each text copied once.
    const bool wantDesc = block.U32(kSecDescPtr) != 0;
    const bool wantList1 = block.U32(kList1Ptr) != 0;
    const bool wantList2 = block.U32(kList2Ptr) != 0;
    std::vector<MemoryAccess::WriteOp> ops;
    bool fits = true;
    {
        std::lock_guard lock(mutex_);
        if (request.inLen >= entries_.size())
            return Fail(kErrInvalidParameter);
        const Entry &e = entries_[request.inLen];
        const uint32_t descLen = uint32_t(e.secDesc.size());
        const uint32_t count1 = uint32_t(e.list1.size() / kListItem);
        const uint32_t count2 = uint32_t(e.list2.size() / kListItem);
        for (int i = 0; i < 4; ++i)
            fits = fits && block.StrLen(i) >= Field(e, i).size();
        fits = fits && (!wantDesc || block.U32(kSecDescLen) >= descLen);
        fits = fits && (!wantList1 || block.U32(kList1Count) >= count1);
        fits = fits && (!wantList2 || block.U32(kList2Count) >= count2);

        for (int i = 0; i < 4; ++i)
            block.Set(kFileFolderLen + 4 * i, uint32_t(Field(e, i).size()));
        block.Set(kSecDescLen, descLen);
        block.Set(kList1Count, count1);
        block.Set(kList2Count, count2);

        if (fits) {
            block.Set(kMask, e.mask);
            block.raw[kEntryFlag] = char(e.flag);
            ops.reserve(8);
            for (int i = 0; i < 4; ++i) {
                if (Field(e, i).empty() && block.StrPtr(i) == 0)
                    continue;
                ops.push_back({block.StrPtr(i), WithZero(Field(e, i))});
            }
            if (wantDesc && descLen > 0)
                ops.push_back({block.U32(kSecDescPtr), e.secDesc});
            if (wantList1 && count1 > 0)
                ops.push_back({block.U32(kList1Ptr), e.list1});
            if (wantList2 && count2 > 0)
                ops.push_back({block.U32(kList2Ptr), e.list2});
        }
    }

    if (!fits) {
        // The block was just read from this place, so the write goes with the answer.
        memory.PostWrite(request.outAddr, block.raw);
        return Fail(kErrMoreData);
    }

    const std::size_t textWrites = ops.size();
    ops.push_back({request.outAddr, block.raw});

    // Memory read successfully in this request takes the writes as surely as it gave the reads.
    const bool aheadRead = aheadOp < first.size() && first[aheadOp].status == 0;
    auto within = [](uint64_t addr, std::size_t len, uint64_t lo, uint64_t size) {
        return addr >= lo && len <= size && addr - lo <= size - len;
    };
    bool known = true;
    for (const auto &op : ops)
        known = known && (within(op.addr, op.data.size(), request.outAddr, kBlockSize) ||
                          (aheadRead && within(op.addr, op.data.size(), aheadAddr, ahead.size())));
    auto remember = [&] {
        uint64_t lo = UINT64_MAX, hi = 0;
        for (std::size_t i = 0; i < textWrites; ++i) {
            lo = std::min(lo, ops[i].addr);
            hi = std::max(hi, ops[i].addr + ops[i].data.size());
        }
        if (lo < hi) {
            memory.textsAddr = lo;
            memory.textsLen = uint32_t(std::min<uint64_t>(2 * (hi - lo) + 256, kMaxReadAhead));
        }
    };
    if (known) {
        remember();
        memory.PostWriteMany(ops);
        return Ok(kBlockSize);
    }
    memory.WriteMany(ops);
    for (const auto &op : ops)
        if (op.status)
            return Fail(op.status);
    remember();
    return Ok(kBlockSize);
}

} // namespace vx::qxd
