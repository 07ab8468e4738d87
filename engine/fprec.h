// SPDX-License-Identifier: GPL-3.0-or-later
// The entry record and the operation mask's presets and texts. The mask's bits and the entry
// block shared with the engine are in contract/qxd.h.
#pragma once

#include "contract/qxd.h"
#include "platform/common/ansistring.h"

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

// The console's four presets.
constexpr uint32_t FP_PRESET_FULLHIDDEN = FP_OPEN | FP_LIST | FP_CREATE; // 0xA04
constexpr uint32_t FP_PRESET_READONLY = FP_RENAME | FP_DELETE | FP_WRITE | FP_CREATE | FP_REPLACE | FP_DIR_DELETE |
                                        FP_DIR_CREATE | FP_SET_ATTRIBUTES; // 0x1078B0
constexpr uint32_t FP_PRESET_NOACCESS = FP_OPEN | FP_CREATE; // 0x804
constexpr uint32_t FP_PRESET_INVISIBLE = FP_LIST; // 0x200

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
