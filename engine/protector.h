// SPDX-License-Identifier: GPL-3.0-or-later
// TVeskFileProtector: the console's client of the protection engine. Opens the engine's ANSI
// and Unicode devices, switches protection on and off, carries the credential with every
// request and performs the entry operations. Operations never throw to the caller (except a
// refused empty password): they return their outcome, set the channel's Success flag and raise
// OnError / OnErrorUnicode when attached.
//
// Buffers handed to the engine by address (SecurityDescriptor, List1, List2) may be ordinary
// memory: the component copies them through arena scratch buffers. Arena memory
// (vx::device::ArenaBuffer, platform/device/arena.h) is used in place without a copy.
#pragma once

#include "contract/qxd.h"
#include "engine/fprec.h"

#include <cstdint>
#include <functional>
#include <string>

class TVeskFileProtector;

// ErrorType: 1 open, 3 modify, 4 get entry, 5 delete, 6 count, 7 start/stop, 8 add, 9 clear.
using TOnError = std::function<void(TVeskFileProtector *Sender, uint32_t ErrorType, uint32_t ErrorCode)>;
using TOnHash = std::function<void(TVeskFileProtector *Sender, const AnsiString &szFileName,
                                   const AnsiString &szProcess, uint32_t dwFile)>;

// Error types passed to OnError / OnErrorUnicode.
constexpr uint32_t QXD_ERR_OPEN = 1;
constexpr uint32_t QXD_ERR_MODIFY = 3;
constexpr uint32_t QXD_ERR_GET_ENTRY = 4;
constexpr uint32_t QXD_ERR_DELETE = 5;
constexpr uint32_t QXD_ERR_COUNT = 6;
constexpr uint32_t QXD_ERR_ACTIVE = 7;
constexpr uint32_t QXD_ERR_ADD = 8;
constexpr uint32_t QXD_ERR_CLEAR = 9;

// How many GetEntry passes may answer "more data" before GetEntry gives up (error type 4).
constexpr int QXD_GET_ENTRY_MAX_PASSES = 4;

class TVeskFileProtector {
public:
    // Opens both devices (names and open parameters by GetVersion). Owner is not used beyond
    // being kept; it may be null.
    explicit TVeskFileProtector(void *Owner = nullptr);
    // The same with the error handlers attached before the devices are opened, so that a failed
    // open is reported (type 1).
    TVeskFileProtector(void *Owner, TOnError OnErrorHandler, TOnError OnErrorUnicodeHandler);
    // Sends the clear request on each open channel whose ClearOnDestroy flag is set (type 9 on
    // failure), then closes both devices.
    ~TVeskFileProtector();
    TVeskFileProtector(const TVeskFileProtector &) = delete;
    TVeskFileProtector &operator=(const TVeskFileProtector &) = delete;

    void *Owner() const { return Owner_; }

    bool ClearOnDestroy() const { return ClearOnDestroy_; }
    void SetClearOnDestroy(bool Value) { ClearOnDestroy_ = Value; }
    bool ClearOnDestroyUnicode() const { return ClearOnDestroyUnicode_; }
    void SetClearOnDestroyUnicode(bool Value) { ClearOnDestroyUnicode_ = Value; }

    // Count request; 4294967295 on failure (error type 6).
    uint32_t NumEntries();
    uint32_t NumEntriesUnicode();

    bool Success() const { return Success_; }
    bool SuccessUnicode() const { return SuccessUnicode_; }

    // Writing a different value sends start or stop; Active changes only on success.
    // Afterwards, if the channel's Success is false, error type 7 is raised.
    bool Active() const { return Active_; }
    void SetActive(bool Value);
    bool ActiveUnicode() const { return ActiveUnicode_; }
    void SetActiveUnicode(bool Value);

    // Empty text: throws std::out_of_range and keeps the credential in force.
    const AnsiString &Password() const { return Password_; }
    void SetPassword(const AnsiString &Value);
    const std::u16string &PasswordUnicode() const { return PasswordUnicode_; }
    void SetPasswordUnicode(const std::u16string &Value);

    TOnError OnError;
    TOnError OnErrorUnicode;
    TOnHash OnHash; // never raised

    // Entry operations, ANSI channel.
    bool GetEntryCount(uint32_t &Count);
    // Index of the new entry (count - 1), or -1 on failure.
    int32_t AddEntry(uint32_t Mask, const AnsiString &FileFolder, const AnsiString &ExcludeFileFolder,
                     const AnsiString &Process, const AnsiString &ExcludeProcess,
                     void *SecurityDescriptor, uint32_t List1Count, void *List1, uint32_t List2Count,
                     void *List2, uint8_t EntryFlag);
    bool ModifyEntry(int32_t Index, uint32_t Mask, const AnsiString &FileFolder,
                     const AnsiString &ExcludeFileFolder, const AnsiString &Process,
                     const AnsiString &ExcludeProcess, void *SecurityDescriptor, uint32_t List1Count,
                     void *List1, uint32_t List2Count, void *List2, uint8_t EntryFlag);
    bool DeleteEntry(int32_t Index);
    // SecurityDescriptorSize: in capacity of SecurityDescriptor (0 without one), out the
    // descriptor's length. List counts: in capacity in 6-byte items, out the engine's counts.
    // The size and counts are reported back also on failure; the strings are empty on failure.
    bool GetEntry(int32_t Index, uint32_t &Mask, AnsiString &FileFolder, AnsiString &ExcludeFileFolder,
                  AnsiString &Process, AnsiString &ExcludeProcess, void *SecurityDescriptor,
                  uint32_t &SecurityDescriptorSize, uint32_t &List1Count, void *List1,
                  uint32_t &List2Count, void *List2, uint8_t &EntryFlag);

private:
    struct Impl;
    void RaiseError(bool Unicode, uint32_t ErrorType, uint32_t ErrorCode);
    bool ShortRequest(bool Unicode, uint32_t Code, uint32_t OutLen, uint32_t *BytesReturned);
    void SetChannelActive(bool Unicode, bool Value);
    uint32_t ChannelCount(bool Unicode);
    int32_t SendEntry(bool Modify, int32_t Index, uint32_t Mask, const AnsiString &FileFolder,
                      const AnsiString &ExcludeFileFolder, const AnsiString &Process,
                      const AnsiString &ExcludeProcess, void *SecurityDescriptor, uint32_t List1Count,
                      void *List1, uint32_t List2Count, void *List2, uint8_t EntryFlag);

    void *Owner_ = nullptr;
    Impl *Impl_ = nullptr;
    bool Success_ = false;
    bool SuccessUnicode_ = false;
    bool ClearOnDestroy_ = false;
    bool ClearOnDestroyUnicode_ = false;
    bool Active_ = false;
    bool ActiveUnicode_ = false;
    AnsiString Password_;
    std::u16string PasswordUnicode_;
};

namespace vx::engine {

// The security-descriptor length routine bound at program start: GetSecurityDescriptorLength
// looked up in the loaded "Advapi32.dll", or a fallback returning 0 when it is not found.
using SecDescLengthFn = uint32_t (*)(void *);
SecDescLengthFn BoundSecurityDescriptorLength();
// Binds (again) the routine; done once automatically at start.
void BindSecurityDescriptorLength();

} // namespace vx::engine
