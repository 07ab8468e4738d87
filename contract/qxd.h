// SPDX-License-Identifier: GPL-3.0-or-later
// The interface between the protection engine and its clients: the control codes, the answer to
// a request whose buffers are too small, the default credential, the operation mask's bits and
// the 84-byte block in which one entry travels. The engine (qxd/) and the console's client
// (engine/) both build against this header; it includes nothing but the standard library.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// Control codes: device type 0xA024, FILE_ANY_ACCESS, METHOD_NEITHER, functions 0xBFF to 0xC06.
constexpr uint32_t QxdControlCode(uint32_t function)
{
    return 0xA024u << 16 | 0u << 14 | function << 2 | 3u;
}
constexpr uint32_t IOCTL_QXD_ADD_ENTRY = QxdControlCode(0xBFF);
constexpr uint32_t IOCTL_QXD_DELETE_ENTRY = QxdControlCode(0xC00);
constexpr uint32_t IOCTL_QXD_START = QxdControlCode(0xC01);
constexpr uint32_t IOCTL_QXD_STOP = QxdControlCode(0xC02);
constexpr uint32_t IOCTL_QXD_CLEAR_ENTRIES = QxdControlCode(0xC03);
constexpr uint32_t IOCTL_QXD_GET_ENTRY = QxdControlCode(0xC04);
constexpr uint32_t IOCTL_QXD_MODIFY_ENTRY = QxdControlCode(0xC05);
constexpr uint32_t IOCTL_QXD_GET_ENTRY_COUNT = QxdControlCode(0xC06);

static_assert(IOCTL_QXD_ADD_ENTRY == 0xA0242FFF);
static_assert(IOCTL_QXD_DELETE_ENTRY == 0xA0243003);
static_assert(IOCTL_QXD_START == 0xA0243007);
static_assert(IOCTL_QXD_STOP == 0xA024300B);
static_assert(IOCTL_QXD_CLEAR_ENTRIES == 0xA024300F);
static_assert(IOCTL_QXD_GET_ENTRY == 0xA0243013);
static_assert(IOCTL_QXD_MODIFY_ENTRY == 0xA0243017);
static_assert(IOCTL_QXD_GET_ENTRY_COUNT == 0xA024301B);

// The engine's answer when GetEntry's buffers are too small; the needed lengths are in the block.
constexpr uint32_t QXD_ERROR_MORE_DATA = 0xE0050004;

// The credential every request carries until the client sets another.
inline constexpr char QXD_DEFAULT_PASSWORD[] = "Mirok Dune Sentinel";

// Operation mask: a set bit denies the operation.
constexpr uint32_t FP_OPEN = 0x00000004;
constexpr uint32_t FP_GET_LAST_ACCESS_TIME = 0x00000008;
constexpr uint32_t FP_RENAME = 0x00000010;
constexpr uint32_t FP_DELETE = 0x00000020;
constexpr uint32_t FP_READ = 0x00000040;
constexpr uint32_t FP_WRITE = 0x00000080;
constexpr uint32_t FP_GET_ATTRIBUTES = 0x00000100;
constexpr uint32_t FP_LIST = 0x00000200;
constexpr uint32_t FP_EXECUTE = 0x00000400;
constexpr uint32_t FP_CREATE = 0x00000800;
constexpr uint32_t FP_REPLACE = 0x00001000;
constexpr uint32_t FP_DIR_DELETE = 0x00002000;
constexpr uint32_t FP_DIR_CREATE = 0x00004000;
constexpr uint32_t FP_GET_CREATION_TIME = 0x00008000;
constexpr uint32_t FP_GET_MODIFICATION_TIME = 0x00010000;
constexpr uint32_t FP_SET_LAST_ACCESS_TIME = 0x00020000;
constexpr uint32_t FP_SET_CREATION_TIME = 0x00040000;
constexpr uint32_t FP_SET_MODIFICATION_TIME = 0x00080000;
constexpr uint32_t FP_SET_ATTRIBUTES = 0x00100000;

// Bits 1 to 22: the engine's "inaccessible" value.
constexpr uint32_t FP_ALL = 0x007FFFFE;

// The block in which one entry travels between a client and the engine. Little-endian, 32-bit
// addresses, exactly 84 bytes; the texts, password, descriptor and lists it points to follow
// it in the client's memory.
struct TFPEntryBlock {
    uint32_t TotalSize;
    uint32_t FileFolderLen;
    uint32_t ExcludeFileFolderLen;
    uint32_t ProcessLen;
    uint32_t ExcludeProcessLen;
    uint32_t PasswordLen;
    uint32_t Mask;
    uint8_t Reserved[8];
    uint32_t FileFolderPtr;
    uint32_t ExcludeFileFolderPtr;
    uint32_t ProcessPtr;
    uint32_t ExcludeProcessPtr;
    uint32_t PasswordPtr;
    uint8_t EntryFlag;
    uint8_t Padding[3];
    uint32_t SecDescLen;
    uint32_t SecDescPtr;
    uint32_t List1Count;
    uint32_t List2Count;
    uint32_t List1Ptr;
    uint32_t List2Ptr;

    static constexpr std::size_t Size = 84;
    // Bytes of one item of List1 / List2.
    static constexpr std::size_t ListItemSize = 6;
    using Bytes = std::array<uint8_t, Size>;

    Bytes ToBytes() const
    {
        Bytes bytes;
        std::memcpy(bytes.data(), this, Size);
        return bytes;
    }
    // Reads Size bytes.
    static TFPEntryBlock FromBytes(const uint8_t *bytes)
    {
        TFPEntryBlock block;
        std::memcpy(&block, bytes, Size);
        return block;
    }
};

static_assert(std::endian::native == std::endian::little, "the entry block is little-endian");
static_assert(sizeof(TFPEntryBlock) == TFPEntryBlock::Size);
static_assert(std::is_trivially_copyable_v<TFPEntryBlock>);
static_assert(std::is_standard_layout_v<TFPEntryBlock>);
static_assert(offsetof(TFPEntryBlock, TotalSize) == 0);
static_assert(offsetof(TFPEntryBlock, FileFolderLen) == 4);
static_assert(offsetof(TFPEntryBlock, ExcludeFileFolderLen) == 8);
static_assert(offsetof(TFPEntryBlock, ProcessLen) == 12);
static_assert(offsetof(TFPEntryBlock, ExcludeProcessLen) == 16);
static_assert(offsetof(TFPEntryBlock, PasswordLen) == 20);
static_assert(offsetof(TFPEntryBlock, Mask) == 24);
static_assert(offsetof(TFPEntryBlock, Reserved) == 28);
static_assert(offsetof(TFPEntryBlock, FileFolderPtr) == 36);
static_assert(offsetof(TFPEntryBlock, ExcludeFileFolderPtr) == 40);
static_assert(offsetof(TFPEntryBlock, ProcessPtr) == 44);
static_assert(offsetof(TFPEntryBlock, ExcludeProcessPtr) == 48);
static_assert(offsetof(TFPEntryBlock, PasswordPtr) == 52);
static_assert(offsetof(TFPEntryBlock, EntryFlag) == 56);
static_assert(offsetof(TFPEntryBlock, Padding) == 57);
static_assert(offsetof(TFPEntryBlock, SecDescLen) == 60);
static_assert(offsetof(TFPEntryBlock, SecDescPtr) == 64);
static_assert(offsetof(TFPEntryBlock, List1Count) == 68);
static_assert(offsetof(TFPEntryBlock, List2Count) == 72);
static_assert(offsetof(TFPEntryBlock, List1Ptr) == 76);
static_assert(offsetof(TFPEntryBlock, List2Ptr) == 80);
