// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/vxctl/entryfile.h"

#include "console/entrystore.h"
#include "editor/entrycheck.h"
#include "platform/codepage/codepage.h"
#include "platform/common/json.h"
#include "tools/vxctl/ops.h"
#include "tools/vxreg/regfile.h"

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <strings.h>

namespace vx::ctl {
namespace {

void Escape(std::string &out, unsigned char c)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", c);
    out += buf;
}

void AppendAscii(std::string &out, char c)
{
    switch (c) {
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    case '\n': out += "\\n"; break;
    case '\r': out += "\\r"; break;
    case '\t': out += "\\t"; break;
    default:
        if (static_cast<unsigned char>(c) < 0x20)
            Escape(out, static_cast<unsigned char>(c));
        else
            out += c;
    }
}

void AppendRawByte(std::string &out, unsigned char c)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\udc%02x", c);
    out += buf;
}

} // namespace

std::string JsonString(const AnsiString &cp949)
{
    std::string out = "\"";
    size_t i = 0;
    while (i < cp949.size()) {
        const unsigned char c = static_cast<unsigned char>(cp949[i]);
        if (c < 0x80) {
            AppendAscii(out, static_cast<char>(c));
            ++i;
            continue;
        }
        // A double-byte character that converts and comes back to the same bytes goes as UTF-8;
        // anything else is escaped byte by byte, starting with this one.
        if (vx::codepage::AnsiCharLength(c) == 2 && i + 1 < cp949.size()) {
            const std::string pair = cp949.substr(i, 2);
            const std::string utf8 = vx::codepage::AnsiToUtf8(pair);
            if (utf8 != "\xEF\xBF\xBD" && vx::codepage::Utf8ToAnsi(utf8) == pair) {
                out += utf8;
                i += 2;
                continue;
            }
        }
        AppendRawByte(out, c);
        ++i;
    }
    return out + "\"";
}

std::string JsonUtf8String(const std::string &bytes)
{
    std::string out = "\"";
    size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            AppendAscii(out, static_cast<char>(c));
            ++i;
        } else if (const size_t len = vx::codepage::Utf8Length(bytes, i)) {
            out.append(bytes, i, len);
            i += len;
        } else {
            AppendRawByte(out, c);
            ++i;
        }
    }
    return out + "\"";
}

std::string EntriesJson(const std::vector<TFPRec> &entries, bool posix)
{
    std::string out = "{\"paths\": \"";
    out += posix ? "posix" : "console";
    out += "\", \"entries\": [";
    for (size_t i = 0; i < entries.size(); ++i) {
        const TFPRec &e = entries[i];
        const auto path = [posix](const AnsiString &field) {
            return posix ? JsonUtf8String(PosixItems(field)) : JsonString(field);
        };
        out += i ? ",\n  " : "\n  ";
        out += "{\"index\": " + std::to_string(i);
        out += ", \"path\": " + path(e.FileFolder);
        out += ", \"process\": " + JsonString(e.Process);
        out += ", \"exclude_path\": " + path(e.ExcludeFileFolder);
        out += ", \"exclude_process\": " + JsonString(e.ExcludeProcess);
        out += ", \"mask\": " + std::to_string(e.Mask);
        out += ", \"preset\": " + JsonString(MaskPresetName(e.Mask));
        out += ", \"deny\": [";
        const std::vector<std::string> names = OperationNames(e.Mask);
        for (size_t k = 0; k < names.size(); ++k)
            out += (k ? ", \"" : "\"") + names[k] + "\"";
        out += "], \"operations\": " + JsonString(MaskToText(e.Mask)) + "}";
    }
    out += entries.empty() ? "]}\n" : "\n]}\n";
    return out;
}

// ---- Reading JSON ----

namespace {

using JText = vx::json::Text;
using JValue = vx::json::Value;

// CP949 bytes: text converted, escaped bytes as they are; nullopt when CP949 cannot hold a character.
std::optional<AnsiString> Cp949(const JText &text)
{
    AnsiString out;
    for (const JText::Piece &p : text.pieces) {
        if (p.raw) {
            out += p.bytes;
            continue;
        }
        const std::optional<AnsiString> converted = ToCp949(p.bytes);
        if (!converted)
            return std::nullopt;
        out += *converted;
    }
    return out;
}

// The strings of a string or an array of strings.
bool Strings(const JValue &v, std::vector<const JText *> &out)
{
    if (v.kind == JValue::String) {
        out.push_back(&v.text);
        return true;
    }
    if (v.kind != JValue::Array)
        return false;
    for (const JValue &item : v.items) {
        if (item.kind != JValue::String)
            return false;
        out.push_back(&item.text);
    }
    return true;
}

// A path field from "path"/"exclude_path" (a text as written, or a list of items each closed by
// ";") and "folder"/"exclude_folder" (folders added as the picker adds them).
bool PathField(const JValue *paths, const JValue *folders, bool posix, std::optional<AnsiString> &field,
               std::string &why, const char *name)
{
    field = AnsiString();
    const auto add = [&](const JText &t, bool folder, bool closeItem) {
        if (!posix) {
            std::optional<AnsiString> bytes = Cp949(t);
            if (!bytes) {
                field.reset(); // the editor's "CP949 cannot hold it"
                return true;
            }
            if (folder)
                *bytes = FolderItems(*bytes);
            else if (closeItem && !bytes->empty() && bytes->back() != ';')
                *bytes += ';';
            *field += *bytes;
            return true;
        }
        // POSIX items: each mapped through the drive map.
        const std::string text = t.Bytes();
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find(';', pos);
            if (end == std::string::npos || folder)
                end = text.size();
            std::string item = text.substr(pos, end - pos);
            pos = end + 1;
            if (item.empty())
                continue;
            std::optional<AnsiString> mapped = folder ? FolderItem(item, true, why) : PathItem(item, true, why);
            if (!mapped) {
                why = std::string(name) + ": " + why;
                return false;
            }
            *field += *mapped;
        }
        return true;
    };
    std::vector<const JText *> texts;
    if (paths) {
        if (!Strings(*paths, texts)) {
            why = std::string(name) + " must be a text or a list of texts";
            return false;
        }
        for (const JText *t : texts) {
            if (!add(*t, false, paths->kind == JValue::Array))
                return false;
            if (!field)
                return true;
        }
    }
    texts.clear();
    if (folders) {
        if (!Strings(*folders, texts)) {
            why = std::string(name) + " folders must be a text or a list of texts";
            return false;
        }
        for (const JText *t : texts) {
            if (!add(*t, true, false))
                return false;
            if (!field)
                return true;
        }
    }
    return true;
}

bool MaskOf(const JValue &row, uint32_t &mask, std::string &why)
{
    const JValue *maskValue = row.Member("mask");
    const JValue *deny = row.Member("deny");
    const JValue *preset = row.Member("preset");
    std::optional<uint32_t> fromMask, fromDeny;
    if (maskValue) {
        const std::optional<int64_t> n = vx::json::WholeNumber(*maskValue);
        if (!n || maskValue->number[0] == '-' || *n > 0xFFFFFFFFll) {
            why = "mask must be a whole number from 0 to 4294967295";
            return false;
        }
        fromMask = static_cast<uint32_t>(*n);
    }
    if (deny) {
        std::vector<const JText *> names;
        if (!Strings(*deny, names)) {
            why = "deny must be a list of operations";
            return false;
        }
        uint32_t bits = 0;
        for (const JText *t : names) {
            std::string bad;
            const std::optional<uint32_t> b = ParseOperations(t->Bytes(), bad);
            if (!b) {
                why = "unknown operation \"" + bad + "\" in deny";
                return false;
            }
            bits |= *b;
        }
        fromDeny = bits;
    }
    if (!fromMask && !fromDeny && !preset) {
        why = "no mask, deny or preset";
        return false;
    }
    if (fromMask && fromDeny && (*fromMask & OperationBits()) != *fromDeny) {
        why = "deny does not match mask";
        return false;
    }
    mask = fromMask ? *fromMask : fromDeny ? *fromDeny : 0;
    if (preset) {
        if (preset->kind != JValue::String) {
            why = "preset must be a text";
            return false;
        }
        const std::string name = preset->text.Bytes();
        if (const std::optional<uint32_t> presetMask = PresetMask(name)) {
            if ((fromMask || fromDeny) && mask != *presetMask) {
                why = "preset " + name + " does not match the operations";
                return false;
            }
            mask = *presetMask;
        } else {
            // The preset name the list shows: it must name what the mask makes.
            const std::optional<AnsiString> cp = Cp949(preset->text);
            if (!cp || (!fromMask && !fromDeny) || MaskPresetName(mask) != *cp) {
                why = "preset \"" + name + "\" is not one of read-only, no-access, fully-hidden, invisible" +
                      ((fromMask || fromDeny) ? " nor the name of the mask's preset" : "");
                return false;
            }
        }
    }
    return true;
}

const char *const kFieldNames[] = {"path", "process", "exclude_path", "exclude_process"};

bool JsonRow(const JValue &row, bool posix, TFPRec &rec, std::string &why)
{
    if (row.kind != JValue::Object) {
        why = "an entry must be an object";
        return false;
    }
    static const char *const known[] = {"index", "path", "folder", "process", "exclude_path", "exclude_folder",
                                        "exclude_process", "mask", "deny", "preset", "operations"};
    for (const auto &m : row.members) {
        bool ok = false;
        for (const char *k : known)
            ok = ok || m.first == k;
        if (!ok) {
            why = "unknown member \"" + m.first + "\"";
            return false;
        }
    }
    std::array<std::optional<AnsiString>, 4> texts;
    if (!PathField(row.Member("path"), row.Member("folder"), posix, texts[0], why, "path") ||
        !PathField(row.Member("exclude_path"), row.Member("exclude_folder"), posix, texts[2], why, "exclude_path"))
        return false;
    for (int i : {1, 3}) {
        const JValue *v = row.Member(kFieldNames[i]);
        if (!v) {
            texts[size_t(i)] = AnsiString(i == 1 ? "*" : "");
            continue;
        }
        if (v->kind != JValue::String) {
            why = std::string(kFieldNames[i]) + " must be a text";
            return false;
        }
        texts[size_t(i)] = Cp949(v->text);
    }
    uint32_t mask = 0;
    if (!MaskOf(row, mask, why))
        return false;
    const EntryRefusal refusal = CheckEntryTexts(texts, mask, rec);
    const int field = RefusedText(texts, refusal);
    switch (refusal) {
    case EntryRefusal::None:
        return true;
    case EntryRefusal::EmptyPath:
        why = "the path is empty (it is required)";
        return false;
    case EntryRefusal::NotRepresentable:
        why = std::string(kFieldNames[field]) + " holds a character CP949 cannot hold";
        return false;
    case EntryRefusal::Comma:
        why = std::string(kFieldNames[field]) + " holds \",\"";
        return false;
    }
    return false;
}

bool ReadJson(const std::string &text, std::vector<TFPRec> &entries, std::string &why)
{
    JValue doc;
    vx::json::Error error;
    const std::string_view body = text.starts_with("\xEF\xBB\xBF") ? std::string_view(text).substr(3) : std::string_view(text);
    if (!vx::json::Parse(body, doc, error)) {
        why = "JSON, " + error.Describe();
        return false;
    }
    const JValue *list = &doc;
    bool posix = false;
    if (doc.kind == JValue::Object) {
        for (const auto &m : doc.members) {
            if (m.first != "entries" && m.first != "paths") {
                why = "unknown member \"" + m.first + "\" (expected \"entries\" and \"paths\")";
                return false;
            }
        }
        list = doc.Member("entries");
        if (const JValue *paths = doc.Member("paths")) {
            const std::string form = paths->kind == JValue::String ? paths->text.Bytes() : "";
            if (form != "posix" && form != "console") {
                why = "\"paths\" must be \"console\" or \"posix\"";
                return false;
            }
            posix = form == "posix";
        }
    }
    if (!list || list->kind != JValue::Array) {
        why = "no list of entries (an array, or an object with \"entries\")";
        return false;
    }
    std::vector<TFPRec> out;
    for (size_t i = 0; i < list->items.size(); ++i) {
        TFPRec rec;
        if (!JsonRow(list->items[i], posix, rec, why)) {
            why = "entry " + std::to_string(i) + ": " + why;
            return false;
        }
        out.push_back(std::move(rec));
    }
    entries = std::move(out);
    return true;
}

// ---- Reading REGEDIT4 ----

bool ReadRegFile(const std::string &text, std::vector<TFPRec> &entries, std::string &why)
{
    std::vector<vx::regfile::Op> ops;
    vx::regfile::ParseError error;
    if (!vx::regfile::Parse(text, ops, error)) {
        why = "line " + std::to_string(error.line) + ": " + error.message;
        return false;
    }
    const std::string key = EntryKeyPath;
    const auto isEntryKey = [&](const AnsiString &path) { return ::strcasecmp(path.c_str(), key.c_str()) == 0; };
    bool found = false;
    std::optional<uint32_t> count;
    std::map<uint32_t, AnsiString> rows;
    for (const vx::regfile::Op &op : ops) {
        if (!isEntryKey(op.path))
            continue; // other keys are not entries
        const std::string where = "line " + std::to_string(op.line) + ": ";
        if (op.kind == vx::regfile::Op::DeleteKey || op.kind == vx::regfile::Op::DeleteValue) {
            why = where + "a deletion in the entry key";
            return false;
        }
        found = true;
        if (op.kind != vx::regfile::Op::Value)
            continue;
        const TRegValue &v = op.value;
        if (::strcasecmp(v.Name.c_str(), EntryCountValueName) == 0) {
            if (v.Type != REG_DWORD || v.Data.size() != 4) {
                why = where + "EntryCount is not a dword";
                return false;
            }
            uint32_t n = 0;
            for (int b = 3; b >= 0; --b)
                n = (n << 8) | static_cast<unsigned char>(v.Data[size_t(b)]);
            count = n;
            continue;
        }
        bool digits = !v.Name.empty() && v.Name.size() <= 10 && (v.Name == "0" || v.Name[0] != '0');
        for (char c : v.Name)
            digits = digits && c >= '0' && c <= '9';
        if (!digits || std::stoull(v.Name) > 0xFFFFFFFFull) {
            why = where + "value \"" + vx::codepage::AnsiToUtf8(v.Name) + "\" is no entry";
            return false;
        }
        if (v.Type != REG_SZ) {
            why = where + "entry " + v.Name + " is not a text";
            return false;
        }
        const size_t zero = v.Data.find('\0');
        rows[static_cast<uint32_t>(std::stoull(v.Name))] = zero == std::string::npos ? v.Data : v.Data.substr(0, zero);
    }
    if (!found) {
        why = "no key HKEY_LOCAL_MACHINE\\" + key;
        return false;
    }
    if (!count) {
        why = "no EntryCount in the entry key";
        return false;
    }
    if (!rows.empty() && rows.rbegin()->first >= *count) {
        why = "entry " + std::to_string(rows.rbegin()->first) + " lies beyond EntryCount " + std::to_string(*count);
        return false;
    }
    std::vector<TFPRec> out;
    for (uint32_t i = 0; i < *count; ++i) {
        const auto row = rows.find(i);
        if (row == rows.end()) {
            why = "entry " + std::to_string(i) + " is missing";
            return false;
        }
        TFPRec parsed;
        if (!ParseEntryText(row->second, parsed)) {
            why = "entry " + std::to_string(i) + ": not five fields with a decimal mask";
            return false;
        }
        TFPRec rec;
        const EntryRefusal refusal = CheckEntryTexts({parsed.FileFolder, parsed.Process, parsed.ExcludeFileFolder,
                                                      parsed.ExcludeProcess},
                                                     parsed.Mask, rec);
        if (refusal != EntryRefusal::None) {
            why = "entry " + std::to_string(i) + ": the path is empty (it is required)";
            return false;
        }
        out.push_back(std::move(rec));
    }
    entries = std::move(out);
    return true;
}

} // namespace

bool ReadEntryFile(const std::string &text, std::vector<TFPRec> &entries, std::string &why)
{
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (start < text.size() && (text[start] == ' ' || text[start] == '\t' || text[start] == '\r' || text[start] == '\n'))
        ++start;
    // A REGEDIT4 file names its format first; its key lines start with "[" like a JSON list.
    if (text.compare(start, 8, "REGEDIT4") == 0)
        return ReadRegFile(text, entries, why);
    return ReadJson(text, entries, why);
}

} // namespace vx::ctl
