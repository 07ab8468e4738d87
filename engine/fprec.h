// The entry record, the operation mask and the 84-byte entry block shared with the engine.
#pragma once

#include "platform/common/ansistring.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

// One protection entry as the console handles it.
struct TFPRec {
    AnsiString FileFolder;
    AnsiString ExcludeFileFolder;
    AnsiString Process;
    AnsiString ExcludeProcess;
    uint32_t Mask = 0;

    bool operator==(const TFPRec &) const = default;
};

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

constexpr uint32_t FP_PRESET_FULLHIDDEN = FP_OPEN | FP_LIST | FP_CREATE; // 0xA04
constexpr uint32_t FP_PRESET_READONLY = FP_RENAME | FP_DELETE | FP_WRITE | FP_CREATE | FP_REPLACE |
                                        FP_DIR_DELETE | FP_DIR_CREATE | FP_SET_ATTRIBUTES; // 0x1078B0
constexpr uint32_t FP_PRESET_NOACCESS = FP_OPEN | FP_CREATE; // 0x804
constexpr uint32_t FP_PRESET_INVISIBLE = FP_LIST;            // 0x200

static_assert(FP_PRESET_FULLHIDDEN == 0x00000A04);
static_assert(FP_PRESET_READONLY == 0x001078B0);
static_assert(FP_PRESET_NOACCESS == 0x00000804);
static_assert(FP_PRESET_INVISIBLE == 0x00000200);

// Readable list of denied operations, e.g. "열기, 생성." (CP949 bytes).
AnsiString MaskToText(uint32_t mask);

// Preset name of a mask by exact comparison ("완전감춤", "읽기전용", "접근금지",
// "보이지않게"), "기타" for any other value (CP949 bytes).
AnsiString MaskPresetName(uint32_t mask);

// Unsigned decimal form of a mask, as shown in the list and written to the registry.
AnsiString MaskToDecimal(uint32_t mask);

// The block in which one entry travels between the engine client and the engine.
// Little-endian, 32-bit addresses, exactly 84 bytes.
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
    using Bytes = std::array<uint8_t, Size>;

    Bytes ToBytes() const;
    static TFPEntryBlock FromBytes(const uint8_t *bytes); // reads Size bytes
};

static_assert(std::endian::native == std::endian::little, "the entry block is little-endian");
static_assert(sizeof(TFPEntryBlock) == 84);
static_assert(std::is_trivially_copyable_v<TFPEntryBlock>);
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
