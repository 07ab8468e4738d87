#include "tools/vxctl/ops.h"

#include "editor/entrycheck.h"
#include "platform/codepage/codepage.h"
#include "platform/drives/drives.h"

namespace vx::ctl {

const std::vector<NamedBit> kOperations = {
    {"create", FP_CREATE},          {"open", FP_OPEN},
    {"read", FP_READ},              {"write", FP_WRITE},
    {"rename", FP_RENAME},          {"delete", FP_DELETE},
    {"replace", FP_REPLACE},        {"folder-create", FP_DIR_CREATE},
    {"folder-delete", FP_DIR_DELETE}, {"attributes", FP_SET_ATTRIBUTES},
    {"execute", FP_EXECUTE},        {"list", FP_LIST},
};

const std::vector<NamedBit> kPresets = {
    {"read-only", FP_PRESET_READONLY},
    {"no-access", FP_PRESET_NOACCESS},
    {"fully-hidden", FP_PRESET_FULLHIDDEN},
    {"invisible", FP_PRESET_INVISIBLE},
};

uint32_t OperationBits()
{
    uint32_t bits = 0;
    for (const NamedBit &op : kOperations)
        bits |= op.bits;
    return bits;
}

std::optional<uint32_t> ParseOperations(std::string_view list, std::string &bad)
{
    uint32_t mask = 0;
    if (list.empty())
        return mask;
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t end = list.find(',', pos);
        if (end == std::string_view::npos)
            end = list.size();
        const std::string_view name = list.substr(pos, end - pos);
        const NamedBit *found = nullptr;
        for (const NamedBit &op : kOperations) {
            if (name == op.name)
                found = &op;
        }
        if (!found) {
            bad = std::string(name);
            return std::nullopt;
        }
        mask |= found->bits;
        pos = end + 1;
    }
    return mask;
}

std::vector<std::string> OperationNames(uint32_t mask)
{
    std::vector<std::string> names;
    for (const NamedBit &op : kOperations) {
        if (mask & op.bits)
            names.emplace_back(op.name);
    }
    return names;
}

std::optional<uint32_t> PresetMask(std::string_view name)
{
    for (const NamedBit &preset : kPresets) {
        if (name == preset.name)
            return preset.bits;
    }
    return std::nullopt;
}

std::optional<AnsiString> ToCp949(std::string_view utf8)
{
    AnsiString bytes = vx::codepage::Utf8ToAnsi(utf8);
    if (vx::codepage::AnsiToUtf8(bytes) != utf8)
        return std::nullopt;
    return bytes;
}

namespace {

// The console's form of one item, without the closing ";".
std::optional<AnsiString> ConsoleForm(std::string_view typed, bool posix, std::string &why)
{
    if (!posix) {
        std::optional<AnsiString> bytes = ToCp949(typed);
        if (!bytes)
            why = "CP949 cannot hold " + std::string(typed);
        return bytes;
    }
    if (!ToCp949(typed)) {
        why = "CP949 cannot hold " + std::string(typed);
        return std::nullopt;
    }
    std::optional<std::string> windows = vx::shell::PosixToWindows(typed);
    if (!windows)
        why = "no drive of the drive map holds " + std::string(typed) + " (an absolute path is needed)";
    return windows;
}

} // namespace

std::optional<AnsiString> PathItem(std::string_view typed, bool posix, std::string &why)
{
    if (typed.empty()) {
        why = "an empty path";
        return std::nullopt;
    }
    std::optional<AnsiString> item = ConsoleForm(typed, posix, why);
    if (item && item->back() != ';')
        *item += ';';
    return item;
}

std::optional<AnsiString> FolderItem(std::string_view typed, bool posix, std::string &why)
{
    if (typed.empty()) {
        why = "an empty folder";
        return std::nullopt;
    }
    std::optional<AnsiString> folder = ConsoleForm(typed, posix, why);
    if (!folder)
        return std::nullopt;
    while (folder->size() > 3 && folder->back() == '\\')
        folder->pop_back();
    return FolderItems(*folder);
}

std::string PosixItems(const AnsiString &field)
{
    std::string out;
    size_t pos = 0;
    while (pos < field.size()) {
        size_t end = field.find(';', pos);
        const bool closed = end != AnsiString::npos;
        if (!closed)
            end = field.size();
        const std::string_view item(field.data() + pos, end - pos);
        const std::optional<std::string> posix = vx::shell::WindowsToPosix(item);
        out += posix ? *posix : vx::codepage::AnsiToUtf8(item);
        if (closed)
            out += ';';
        pos = end + 1;
    }
    return out;
}

} // namespace vx::ctl
