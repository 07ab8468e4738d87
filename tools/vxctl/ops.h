// What vxctl's options name: the editor's twelve operations and four presets in English, and
// path items as the console writes them (through the drive map) or as POSIX paths.
#pragma once

#include "engine/fprec.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx::ctl {

struct NamedBit {
    const char *name;
    uint32_t bits;
};

// The editor's twelve operations, in the order its check boxes are cleared.
extern const std::vector<NamedBit> kOperations;
// The four presets.
extern const std::vector<NamedBit> kPresets;
// The bits of the twelve operations.
uint32_t OperationBits();

// "open,read" -> the mask; nullopt with `bad` set to the first unknown name. Empty names between
// commas are refused; the empty text is the empty mask.
std::optional<uint32_t> ParseOperations(std::string_view list, std::string &bad);
// The names of the twelve operations a mask denies, in kOperations order.
std::vector<std::string> OperationNames(uint32_t mask);
// "read-only" etc. -> the preset's mask.
std::optional<uint32_t> PresetMask(std::string_view name);

// UTF-8 -> CP949 bytes; nullopt when CP949 cannot hold the text.
std::optional<AnsiString> ToCp949(std::string_view utf8);

// One path item as typed (UTF-8): with `posix`, a POSIX path mapped through the drive map; else the
// console's form, taken as it is. Closed by ";" unless it is already. nullopt with `why` set when
// the item cannot be written as the console writes it.
std::optional<AnsiString> PathItem(std::string_view typed, bool posix, std::string &why);
// The items the folder picker adds for a folder typed like PathItem.
std::optional<AnsiString> FolderItem(std::string_view typed, bool posix, std::string &why);

// A path field (CP949, items closed by ";") with each item shown as a POSIX path where the drive
// map names it (UTF-8 bytes); an item no drive holds is shown as it is.
std::string PosixItems(const AnsiString &field);

} // namespace vx::ctl
