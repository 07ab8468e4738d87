// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/protector.h"

#include "platform/device/arena.h"
#include "platform/device/device.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

using vx::device::Addr32;
using vx::device::ArenaAlloc;
using vx::device::ArenaFree;
using vx::device::InArena;

namespace {

// One pair of device handles and one bytes-returned variable for the whole program.
HANDLE g_ansiDevice = INVALID_HANDLE_VALUE;
HANDLE g_uniDevice = INVALID_HANDLE_VALUE;
DWORD g_bytesReturned = 0;

uint32_t NoSecurityDescriptorLength(void *)
{
    return 0;
}

vx::engine::SecDescLengthFn g_secDescLength = &NoSecurityDescriptorLength;

struct BindAtStart {
    BindAtStart() { vx::engine::BindSecurityDescriptorLength(); }
} g_bindAtStart;

constexpr DWORD ERROR_INVALID_DATA = 13;

// An arena copy of caller memory, or the caller's memory itself when it already is in the arena.
struct EngineBuffer {
    void *arena = nullptr; // owned scratch, or null
    void *caller = nullptr;
    uint32_t address = 0;
    bool failed = false;

    EngineBuffer() = default;
    EngineBuffer(void *p, uint64_t size, bool copyIn)
    {
        caller = p;
        if (!p)
            return;
        if (size == 0 || InArena(p, size)) {
            address = InArena(p, 0) ? Addr32(p) : 0;
            return;
        }
        if (size > 0xFFFFFFFFull || !(arena = ArenaAlloc(size))) {
            failed = true;
            return;
        }
        if (copyIn)
            std::memcpy(arena, p, size);
        address = Addr32(arena);
    }
    ~EngineBuffer() { ArenaFree(arena); }
    EngineBuffer(const EngineBuffer &) = delete;
    EngineBuffer &operator=(const EngineBuffer &) = delete;

    // Hands what the engine wrote back to the caller's own memory.
    void CopyOut(uint64_t size) const
    {
        if (arena && caller && size)
            std::memcpy(caller, arena, size);
    }
};

// The scratch copies go away with the operation; leave no address of them in the block.
void ForgetScratch(TFPEntryBlock &b, const EngineBuffer &secDesc, const EngineBuffer &list1, const EngineBuffer &list2)
{
    if (secDesc.arena)
        b.SecDescPtr = 0;
    if (list1.arena)
        b.List1Ptr = 0;
    if (list2.arena)
        b.List2Ptr = 0;
}

} // namespace

namespace vx::engine {

SecDescLengthFn BoundSecurityDescriptorLength()
{
    return g_secDescLength;
}

void BindSecurityDescriptorLength()
{
    HMODULE advapi = GetModuleHandleA("Advapi32.dll");
    FARPROC proc = advapi ? GetProcAddress(advapi, "GetSecurityDescriptorLength") : nullptr;
    g_secDescLength = proc ? reinterpret_cast<SecDescLengthFn>(proc) : &NoSecurityDescriptorLength;
}

} // namespace vx::engine

struct TVeskFileProtector::Impl {
    TFPEntryBlock *blockAnsi = nullptr;    // arena
    TFPEntryBlock *blockUnicode = nullptr; // arena
    char *passwordAnsi = nullptr;          // arena, text + zero byte
    char16_t *passwordWide = nullptr;      // arena, text + zero code unit

    ~Impl()
    {
        ArenaFree(blockAnsi);
        ArenaFree(blockUnicode);
        ArenaFree(passwordAnsi);
        ArenaFree(passwordWide);
    }
};

TVeskFileProtector::TVeskFileProtector(void *Owner) : TVeskFileProtector(Owner, nullptr, nullptr) {}

TVeskFileProtector::TVeskFileProtector(void *Owner, TOnError OnErrorHandler, TOnError OnErrorUnicodeHandler)
    : OnError(std::move(OnErrorHandler)), OnErrorUnicode(std::move(OnErrorUnicodeHandler)), Owner_(Owner),
      Impl_(new Impl)
{
    Impl &d = *Impl_;
    d.blockAnsi = static_cast<TFPEntryBlock *>(ArenaAlloc(TFPEntryBlock::Size));
    d.blockUnicode = static_cast<TFPEntryBlock *>(ArenaAlloc(TFPEntryBlock::Size));
    if (!d.blockAnsi || !d.blockUnicode) {
        delete Impl_;
        throw std::bad_alloc();
    }
    try {
        SetPassword(QXD_DEFAULT_PASSWORD);
        std::u16string wide;
        for (const char *p = QXD_DEFAULT_PASSWORD; *p; ++p)
            wide.push_back(char16_t(*p));
        SetPasswordUnicode(wide);
    } catch (...) {
        delete Impl_;
        throw;
    }

    const DWORD version = GetVersion();
    const char *ansiName = "\\\\.\\Global\\QXDAnsi";
    const char *uniName = "\\\\.\\Global\\QXDUni";
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD flags = 0;
    if (version & 0x80000000u) { // the 95 family
        ansiName = "\\\\.\\QXDAnsi";
        uniName = "\\\\.\\QXDUni";
        access = 0;
        flags = FILE_FLAG_OVERLAPPED | FILE_FLAG_DELETE_ON_CLOSE;
    } else if ((version & 0xFF) < 5) { // NT before 2000
        ansiName = "\\\\.\\QXDAnsi";
        uniName = "\\\\.\\QXDUni";
    }
    g_ansiDevice = CreateFileA(ansiName, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    const DWORD ansiError = GetLastError();
    g_uniDevice = CreateFileA(uniName, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    const DWORD uniError = GetLastError();

    Success_ = g_ansiDevice != INVALID_HANDLE_VALUE;
    SuccessUnicode_ = g_uniDevice != INVALID_HANDLE_VALUE;
    if (!Success_)
        RaiseError(false, QXD_ERR_OPEN, ansiError);
    if (!SuccessUnicode_)
        RaiseError(true, QXD_ERR_OPEN, uniError);
}

TVeskFileProtector::~TVeskFileProtector()
{
    try {
        for (bool unicode : {false, true}) {
            HANDLE &device = unicode ? g_uniDevice : g_ansiDevice;
            if (device == INVALID_HANDLE_VALUE)
                continue;
            if ((unicode ? ClearOnDestroyUnicode_ : ClearOnDestroy_) &&
                !ShortRequest(unicode, IOCTL_QXD_CLEAR_ENTRIES, 0, &g_bytesReturned))
                RaiseError(unicode, QXD_ERR_CLEAR, GetLastError());
            CloseHandle(device);
            device = INVALID_HANDLE_VALUE;
        }
    } catch (...) {
        // A handler that throws while the component goes away: the devices are closed all the same.
        if (g_ansiDevice != INVALID_HANDLE_VALUE)
            CloseHandle(g_ansiDevice);
        if (g_uniDevice != INVALID_HANDLE_VALUE)
            CloseHandle(g_uniDevice);
        g_ansiDevice = g_uniDevice = INVALID_HANDLE_VALUE;
    }
    delete Impl_;
}

// A request whose input is the channel's password copy with the channel's PasswordLen (in
// characters on the Unicode channel) and which has no output buffer.
bool TVeskFileProtector::ShortRequest(bool Unicode, uint32_t Code, uint32_t OutLen, uint32_t *BytesReturned)
{
    const Impl &d = *Impl_;
    return DeviceIoControl(Unicode ? g_uniDevice : g_ansiDevice, Code,
                           Unicode ? static_cast<void *>(d.passwordWide) : static_cast<void *>(d.passwordAnsi),
                           (Unicode ? d.blockUnicode : d.blockAnsi)->PasswordLen, nullptr, OutLen, BytesReturned,
                           nullptr) != 0;
}

void TVeskFileProtector::RaiseError(bool Unicode, uint32_t ErrorType, uint32_t ErrorCode)
{
    const TOnError &handler = Unicode ? OnErrorUnicode : OnError;
    if (handler)
        handler(this, ErrorType, ErrorCode);
}

void TVeskFileProtector::SetPassword(const AnsiString &Value)
{
    if (Value.empty())
        throw std::out_of_range("the engine password cannot be empty");
    if (Value.size() >= 0xFFFFFFFFu)
        throw std::out_of_range("the engine password is too long");
    char *copy = static_cast<char *>(ArenaAlloc(Value.size() + 1));
    if (!copy)
        throw std::bad_alloc();
    std::memcpy(copy, Value.data(), Value.size());
    copy[Value.size()] = '\0';
    ArenaFree(Impl_->passwordAnsi);
    Impl_->passwordAnsi = copy;
    Password_ = Value;
    Impl_->blockAnsi->PasswordLen = uint32_t(Value.size());
    Impl_->blockAnsi->PasswordPtr = Addr32(copy);
}

void TVeskFileProtector::SetPasswordUnicode(const std::u16string &Value)
{
    if (Value.empty())
        throw std::out_of_range("the engine password cannot be empty");
    if (Value.size() >= 0x7FFFFFFFu)
        throw std::out_of_range("the engine password is too long");
    auto *copy = static_cast<char16_t *>(ArenaAlloc(2 * Value.size() + 2));
    if (!copy)
        throw std::bad_alloc();
    std::memcpy(copy, Value.data(), 2 * Value.size());
    copy[Value.size()] = u'\0';
    ArenaFree(Impl_->passwordWide);
    Impl_->passwordWide = copy;
    PasswordUnicode_ = Value;
    Impl_->blockUnicode->PasswordLen = uint32_t(Value.size());
    Impl_->blockUnicode->PasswordPtr = Addr32(copy);
}

void TVeskFileProtector::SetChannelActive(bool Unicode, bool Value)
{
    bool &active = Unicode ? ActiveUnicode_ : Active_;
    bool &success = Unicode ? SuccessUnicode_ : Success_;
    if (Value != active) {
        success = ShortRequest(Unicode, Value ? IOCTL_QXD_START : IOCTL_QXD_STOP, 0, &g_bytesReturned);
        if (success)
            active = Value;
    }
    // Raised also when nothing was sent but the channel's last request had failed.
    if (!success)
        RaiseError(Unicode, QXD_ERR_ACTIVE, GetLastError());
}

void TVeskFileProtector::SetActive(bool Value)
{
    SetChannelActive(false, Value);
}

void TVeskFileProtector::SetActiveUnicode(bool Value)
{
    SetChannelActive(true, Value);
}

uint32_t TVeskFileProtector::ChannelCount(bool Unicode)
{
    bool &success = Unicode ? SuccessUnicode_ : Success_;
    success = ShortRequest(Unicode, IOCTL_QXD_GET_ENTRY_COUNT, 0, &g_bytesReturned);
    if (!success) {
        RaiseError(Unicode, QXD_ERR_COUNT, GetLastError());
        return 0xFFFFFFFFu;
    }
    return g_bytesReturned;
}

uint32_t TVeskFileProtector::NumEntries()
{
    return ChannelCount(false);
}

uint32_t TVeskFileProtector::NumEntriesUnicode()
{
    return ChannelCount(true);
}

bool TVeskFileProtector::GetEntryCount(uint32_t &Count)
{
    DWORD count = 0;
    Success_ = ShortRequest(false, IOCTL_QXD_GET_ENTRY_COUNT, 0, &count);
    Count = count;
    if (!Success_)
        RaiseError(false, QXD_ERR_COUNT, GetLastError());
    return Success_;
}

int32_t TVeskFileProtector::AddEntry(uint32_t Mask, const AnsiString &FileFolder, const AnsiString &ExcludeFileFolder,
                                     const AnsiString &Process, const AnsiString &ExcludeProcess,
                                     void *SecurityDescriptor, uint32_t List1Count, void *List1,
                                     uint32_t List2Count, void *List2, uint8_t EntryFlag)
{
    return SendEntry(false, 0, Mask, FileFolder, ExcludeFileFolder, Process, ExcludeProcess, SecurityDescriptor,
                     List1Count, List1, List2Count, List2, EntryFlag);
}

bool TVeskFileProtector::ModifyEntry(int32_t Index, uint32_t Mask, const AnsiString &FileFolder,
                                     const AnsiString &ExcludeFileFolder, const AnsiString &Process,
                                     const AnsiString &ExcludeProcess, void *SecurityDescriptor,
                                     uint32_t List1Count, void *List1, uint32_t List2Count, void *List2,
                                     uint8_t EntryFlag)
{
    return SendEntry(true, Index, Mask, FileFolder, ExcludeFileFolder, Process, ExcludeProcess, SecurityDescriptor,
                     List1Count, List1, List2Count, List2, EntryFlag) == 0;
}

// Add (result: index or -1) and modify (result: 0 on success, -1 on failure).
int32_t TVeskFileProtector::SendEntry(bool Modify, int32_t Index, uint32_t Mask, const AnsiString &FileFolder,
                                      const AnsiString &ExcludeFileFolder, const AnsiString &Process,
                                      const AnsiString &ExcludeProcess, void *SecurityDescriptor,
                                      uint32_t List1Count, void *List1, uint32_t List2Count, void *List2,
                                      uint8_t EntryFlag)
{
    TFPEntryBlock &b = *Impl_->blockAnsi;
    const AnsiString *texts[4] = {&FileFolder, &ExcludeFileFolder, &Process, &ExcludeProcess};
    uint32_t *lens[4] = {&b.FileFolderLen, &b.ExcludeFileFolderLen, &b.ProcessLen, &b.ExcludeProcessLen};
    uint32_t *ptrs[4] = {&b.FileFolderPtr, &b.ExcludeFileFolderPtr, &b.ProcessPtr, &b.ExcludeProcessPtr};
    char *copies[4] = {nullptr, nullptr, nullptr, nullptr};
    auto release = [&] {
        for (int i = 0; i < 4; ++i) {
            ArenaFree(copies[i]);
            copies[i] = nullptr;
            *ptrs[i] = 0;
        }
    };

    b.Mask = Mask;
    for (int i = 0; i < 4; ++i)
        *ptrs[i] = 0;
    uint64_t total = uint64_t(TFPEntryBlock::Size) + 5 + b.PasswordLen;
    for (int i = 0; i < 4; ++i) {
        const std::size_t len = texts[i]->size();
        if (len > 0xFFFFFFFFu) {
            release();
            return -1;
        }
        *lens[i] = uint32_t(len);
        total += len;
        copies[i] = static_cast<char *>(ArenaAlloc(len + 1));
        if (!copies[i]) {
            release();
            return -1;
        }
        std::memcpy(copies[i], texts[i]->data(), len);
        copies[i][len] = '\0';
        *ptrs[i] = Addr32(copies[i]);
    }
    b.EntryFlag = EntryFlag;
    const uint32_t secDescLen = SecurityDescriptor ? g_secDescLength(SecurityDescriptor) : 0;
    total += secDescLen + TFPEntryBlock::ListItemSize * (uint64_t(List1Count) + List2Count);
    if (total > 0xFFFFFFFFull) {
        release();
        return -1;
    }
    EngineBuffer secDesc(SecurityDescriptor, secDescLen, true);
    EngineBuffer list1(List1, TFPEntryBlock::ListItemSize * List1Count, true);
    EngineBuffer list2(List2, TFPEntryBlock::ListItemSize * List2Count, true);
    if (secDesc.failed || list1.failed || list2.failed) {
        release();
        return -1;
    }
    b.SecDescPtr = secDesc.address;
    b.SecDescLen = secDescLen;
    b.List1Count = List1Count;
    b.List2Count = List2Count;
    b.List1Ptr = list1.address;
    b.List2Ptr = list2.address;
    b.TotalSize = uint32_t(total);

    Success_ = DeviceIoControl(g_ansiDevice, Modify ? IOCTL_QXD_MODIFY_ENTRY : IOCTL_QXD_ADD_ENTRY, &b,
                               TFPEntryBlock::Size, nullptr, Modify ? DWORD(Index) : 0, &g_bytesReturned,
                               nullptr) != 0;
    const DWORD error = GetLastError();
    release();
    ForgetScratch(b, secDesc, list1, list2);
    if (!Success_) {
        RaiseError(false, Modify ? QXD_ERR_MODIFY : QXD_ERR_ADD, error);
        return -1;
    }
    if (Modify)
        return 0;
    return int32_t(NumEntries() - 1);
}

bool TVeskFileProtector::DeleteEntry(int32_t Index)
{
    Success_ = ShortRequest(false, IOCTL_QXD_DELETE_ENTRY, DWORD(Index), &g_bytesReturned);
    if (!Success_)
        RaiseError(false, QXD_ERR_DELETE, GetLastError());
    return Success_;
}

bool TVeskFileProtector::GetEntry(int32_t Index, uint32_t &Mask, AnsiString &FileFolder,
                                  AnsiString &ExcludeFileFolder, AnsiString &Process, AnsiString &ExcludeProcess,
                                  void *SecurityDescriptor, uint32_t &SecurityDescriptorSize, uint32_t &List1Count,
                                  void *List1, uint32_t &List2Count, void *List2, uint8_t &EntryFlag)
{
    TFPEntryBlock &b = *Impl_->blockAnsi;
    AnsiString *texts[4] = {&FileFolder, &ExcludeFileFolder, &Process, &ExcludeProcess};
    uint32_t *lens[4] = {&b.FileFolderLen, &b.ExcludeFileFolderLen, &b.ProcessLen, &b.ExcludeProcessLen};
    uint32_t *ptrs[4] = {&b.FileFolderPtr, &b.ExcludeFileFolderPtr, &b.ProcessPtr, &b.ExcludeProcessPtr};
    // One arena block per pass holds the four texts, each with room for its closing zero.
    char *textBlock = nullptr;
    char *buffers[4] = {nullptr, nullptr, nullptr, nullptr};
    uint32_t capacity[4] = {0, 0, 0, 0};
    auto releaseTexts = [&] {
        ArenaFree(textBlock);
        textBlock = nullptr;
        for (int i = 0; i < 4; ++i) {
            buffers[i] = nullptr;
            *ptrs[i] = 0;
        }
    };

    for (int i = 0; i < 4; ++i) {
        *ptrs[i] = 0;
        *lens[i] = 0;
    }
    // The caller's capacities, restored before every pass: the engine overwrites them with what
    // it needs, and a descriptor or list larger than the caller's buffer must never be written.
    const uint32_t secDescIn = SecurityDescriptorSize, list1In = List1Count, list2In = List2Count;
    const uint32_t secDescCapacity = SecurityDescriptor ? secDescIn : 0;
    const uint32_t list1Capacity = List1 ? list1In : 0;
    const uint32_t list2Capacity = List2 ? list2In : 0;
    EngineBuffer secDesc(SecurityDescriptor, secDescCapacity, false);
    EngineBuffer list1(List1, TFPEntryBlock::ListItemSize * list1Capacity, false);
    EngineBuffer list2(List2, TFPEntryBlock::ListItemSize * list2Capacity, false);
    // Leaves the block with no address of memory that is gone or that the caller did not give.
    auto finish = [&](bool ok, bool raise, DWORD error) {
        releaseTexts();
        ForgetScratch(b, secDesc, list1, list2);
        if (!ok) {
            for (AnsiString *t : texts)
                t->clear();
            if (raise)
                RaiseError(false, QXD_ERR_GET_ENTRY, error);
        }
        return ok;
    };
    if (secDesc.failed || list1.failed || list2.failed)
        return finish(false, false, 0);

    for (int pass = 1;; ++pass) {
        b.SecDescPtr = secDesc.address;
        b.SecDescLen = secDescIn;
        b.List1Count = list1In;
        b.List2Count = list2In;
        b.List1Ptr = list1.address;
        b.List2Ptr = list2.address;
        uint64_t room = 0;
        for (int i = 0; i < 4; ++i) {
            capacity[i] = *lens[i];
            if (capacity[i])
                room += uint64_t(capacity[i]) + 1;
        }
        if (room) {
            if (room > 0xFFFFFFFFull || !(textBlock = static_cast<char *>(ArenaAlloc(room))))
                return finish(false, false, 0);
            char *next = textBlock;
            for (int i = 0; i < 4; ++i) {
                if (!capacity[i])
                    continue;
                buffers[i] = next;
                *ptrs[i] = Addr32(next);
                next += std::size_t(capacity[i]) + 1;
            }
        }

        Success_ = DeviceIoControl(g_ansiDevice, IOCTL_QXD_GET_ENTRY, nullptr, DWORD(Index), &b,
                                   TFPEntryBlock::Size, &g_bytesReturned, nullptr) != 0;
        const DWORD error = GetLastError();
        SecurityDescriptorSize = b.SecDescLen;
        List1Count = b.List1Count;
        List2Count = b.List2Count;

        if (Success_) {
            for (int i = 0; i < 4; ++i)
                if (*lens[i] > capacity[i]) // the engine claims more than it was given room for
                    return finish(false, true, ERROR_INVALID_DATA);
            for (int i = 0; i < 4; ++i)
                texts[i]->assign(buffers[i] ? buffers[i] : "", *lens[i]);
            secDesc.CopyOut(std::min(b.SecDescLen, secDescCapacity));
            list1.CopyOut(TFPEntryBlock::ListItemSize * std::min(b.List1Count, list1Capacity));
            list2.CopyOut(TFPEntryBlock::ListItemSize * std::min(b.List2Count, list2Capacity));
            Mask = b.Mask;
            EntryFlag = b.EntryFlag;
            return finish(true, false, 0);
        }
        releaseTexts();
        if (error != QXD_ERROR_MORE_DATA)
            return finish(false, true, error);
        // Ask again only when the engine wants longer texts than it had, and only a few times:
        // a descriptor or list larger than the caller's buffer never fits however often we ask.
        bool longer = false;
        for (int i = 0; i < 4; ++i)
            longer = longer || *lens[i] > capacity[i];
        const bool othersFit = (!SecurityDescriptor || b.SecDescLen <= secDescCapacity) &&
                               (!List1 || b.List1Count <= list1Capacity) && (!List2 || b.List2Count <= list2Capacity);
        if (!longer || !othersFit || pass >= QXD_GET_ENTRY_MAX_PASSES)
            return finish(false, true, error);
    }
}
