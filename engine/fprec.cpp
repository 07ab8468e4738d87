// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fprec.h"

namespace {

struct MaskPiece {
    uint32_t bit;
    const char *text;
};

// Shown in this order, which is not the order of the bits. Texts are CP949.
constexpr MaskPiece kPieces[] = {
    {FP_OPEN, "\xBF\xAD\xB1\xE2, "}, // "열기, "
    {FP_RENAME, "\xC0\xCC\xB8\xA7\xBC\xF6\xC1\xA4, "}, // "이름수정, "
    {FP_DELETE, "\xBB\xE8\xC1\xA6, "}, // "삭제, "
    {FP_EXECUTE, "\xBD\xC7\xC7\xE0\xC7\xCF\xB1\xE2, "}, // "실행하기, "
    {FP_READ, "\xC0\xD0\xB1\xE2, "}, // "읽기, "
    {FP_WRITE, "\xBE\xB2\xB1\xE2, "}, // "쓰기, "
    {FP_LIST, "\xBA\xB8\xC0\xCC\xB1\xE2, "}, // "보이기, "
    {FP_CREATE, "\xBB\xFD\xBC\xBA, "}, // "생성, "
    {FP_REPLACE, "\xB1\xB3\xC3\xBC, "}, // "교체, "
    {FP_DIR_CREATE, "\xC6\xFA\xB4\xF5\xBB\xFD\xBC\xBA, "}, // "폴더생성, "
    {FP_DIR_DELETE, "\xC6\xFA\xB4\xF5\xBB\xE8\xC1\xA6, "}, // "폴더삭제, "
    {FP_GET_ATTRIBUTES, "Retreive attributes, "}, // "Retreive attributes, "
    {FP_SET_ATTRIBUTES, "\xBC\xD3\xBC\xBA\xBA\xAF\xB0\xE6, "}, // "속성변경, "
    {FP_GET_LAST_ACCESS_TIME, "Retreive last access time, "}, // "Retreive last access time, "
    {FP_SET_LAST_ACCESS_TIME, "Change last access time, "}, // "Change last access time, "
    {FP_GET_CREATION_TIME, "Retreive creation time, "}, // "Retreive creation time, "
    {FP_SET_CREATION_TIME, "Change creation time, "}, // "Change creation time, "
    {FP_GET_MODIFICATION_TIME, "Retreive modification time, "}, // "Retreive modification time, "
    {FP_SET_MODIFICATION_TIME, "Change modification time, "}, // "Change modification time, "
};

constexpr MaskPiece kPresets[] = {
    {FP_PRESET_FULLHIDDEN, "\xBF\xCF\xC0\xFC\xB0\xA8\xC3\xE3"}, // "완전감춤"
    {FP_PRESET_READONLY, "\xC0\xD0\xB1\xE2\xC0\xFC\xBF\xEB"}, // "읽기전용"
    {FP_PRESET_NOACCESS, "\xC1\xA2\xB1\xD9\xB1\xDD\xC1\xF6"}, // "접근금지"
    {FP_PRESET_INVISIBLE, "\xBA\xB8\xC0\xCC\xC1\xF6\xBE\xCA\xB0\xD4"}, // "보이지않게"
};

constexpr const char *kOther = "\xB1\xE2\xC5\xB8"; // "기타"

} // namespace

AnsiString MaskToText(uint32_t mask)
{
    if (mask == FP_ALL)
        return "Inaccessable or users filtered.";
    AnsiString text;
    for (const MaskPiece &piece : kPieces) {
        if (mask & piece.bit)
            text += piece.text;
    }
    if (text.size() < 2)
        return text;
    text.pop_back();      // the final space
    text.back() = '.';    // the final comma
    return text;
}

AnsiString MaskPresetName(uint32_t mask)
{
    for (const MaskPiece &preset : kPresets) {
        if (mask == preset.bit)
            return preset.text;
    }
    return kOther;
}

AnsiString MaskToDecimal(uint32_t mask)
{
    return std::to_string(mask);
}
