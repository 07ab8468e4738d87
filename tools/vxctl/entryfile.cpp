#include "tools/vxctl/entryfile.h"

#include "console/entrystore.h"
#include "editor/entrycheck.h"
#include "platform/codepage/codepage.h"
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

// Length of the well-formed UTF-8 sequence at `i`, 0 when there is none.
size_t Utf8Length(const std::string &s, size_t i)
{
    const unsigned char lead = static_cast<unsigned char>(s[i]);
    size_t len = 0;
    uint32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        cp = lead & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (size_t k = 1; k < len; ++k) {
        const unsigned char c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
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
        } else if (const size_t len = Utf8Length(bytes, i)) {
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

// A JSON string as read: UTF-8 text with the escaped bytes taken apart, in order.
struct JText {
    struct Piece {
        bool raw; // one escaped byte
        std::string bytes;
    };
    std::vector<Piece> pieces;

    std::string Utf8() const // escaped bytes as they are
    {
        std::string s;
        for (const Piece &p : pieces)
            s += p.bytes;
        return s;
    }
    bool HasRaw() const
    {
        for (const Piece &p : pieces) {
            if (p.raw)
                return true;
        }
        return false;
    }
    // CP949 bytes: text converted, escaped bytes as they are; nullopt when CP949 cannot hold a character.
    std::optional<AnsiString> Cp949() const
    {
        AnsiString out;
        for (const Piece &p : pieces) {
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
};

struct JValue {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    std::string number; // as written
    JText text;
    std::vector<JValue> items;
    std::vector<std::pair<std::string, JValue>> members;
};

class JsonReader {
public:
    explicit JsonReader(const std::string &text) : s_(text) {}

    bool Document(JValue &v, std::string &why)
    {
        if (s_.compare(0, 3, "\xEF\xBB\xBF") == 0)
            pos_ = 3;
        if (!Value(v, 0) || (Space(), pos_ != s_.size())) {
            why = error_.empty() ? "unexpected text" : error_;
            why = "JSON, line " + std::to_string(Line()) + ": " + why;
            return false;
        }
        return true;
    }

private:
    int Line() const
    {
        int line = 1;
        for (size_t i = 0; i < pos_ && i < s_.size(); ++i)
            line += s_[i] == '\n';
        return line;
    }
    bool Fail(const std::string &why)
    {
        if (error_.empty())
            error_ = why;
        return false;
    }
    void Space()
    {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }
    bool Literal(const char *word)
    {
        const std::string w(word);
        if (s_.compare(pos_, w.size(), w) != 0)
            return Fail("unexpected text");
        pos_ += w.size();
        return true;
    }
    bool Value(JValue &v, int depth)
    {
        if (depth > 64)
            return Fail("nested too deeply");
        Space();
        if (pos_ >= s_.size())
            return Fail("the text ends early");
        const char c = s_[pos_];
        if (c == '{')
            return ObjectValue(v, depth);
        if (c == '[')
            return ArrayValue(v, depth);
        if (c == '"') {
            v.kind = JValue::String;
            return StringValue(v.text);
        }
        if (c == 't' || c == 'f') {
            v.kind = JValue::Bool;
            v.boolean = c == 't';
            return Literal(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            v.kind = JValue::Null;
            return Literal("null");
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            v.kind = JValue::Number;
            const size_t start = pos_;
            while (pos_ < s_.size() && std::string_view("+-.eE0123456789").find(s_[pos_]) != std::string_view::npos)
                ++pos_;
            v.number = s_.substr(start, pos_ - start);
            return true;
        }
        return Fail("unexpected text");
    }
    bool ObjectValue(JValue &v, int depth)
    {
        v.kind = JValue::Object;
        ++pos_;
        Space();
        if (pos_ < s_.size() && s_[pos_] == '}') {
            ++pos_;
            return true;
        }
        while (true) {
            Space();
            JText key;
            if (pos_ >= s_.size() || s_[pos_] != '"')
                return Fail("a member name is expected");
            if (!StringValue(key))
                return false;
            if (key.HasRaw())
                return Fail("an escaped byte in a member name");
            Space();
            if (pos_ >= s_.size() || s_[pos_] != ':')
                return Fail("\":\" is expected");
            ++pos_;
            JValue member;
            if (!Value(member, depth + 1))
                return false;
            const std::string name = key.Utf8();
            for (const auto &m : v.members) {
                if (m.first == name)
                    return Fail("\"" + name + "\" is given twice");
            }
            v.members.emplace_back(name, std::move(member));
            Space();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return Fail("\",\" or \"}\" is expected");
        }
    }
    bool ArrayValue(JValue &v, int depth)
    {
        v.kind = JValue::Array;
        ++pos_;
        Space();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            ++pos_;
            return true;
        }
        while (true) {
            JValue item;
            if (!Value(item, depth + 1))
                return false;
            v.items.push_back(std::move(item));
            Space();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return Fail("\",\" or \"]\" is expected");
        }
    }
    bool Hex4(uint32_t &cp)
    {
        if (pos_ + 4 > s_.size())
            return Fail("a short \\u escape");
        cp = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[pos_++];
            cp <<= 4;
            if (c >= '0' && c <= '9')
                cp |= uint32_t(c - '0');
            else if (c >= 'a' && c <= 'f')
                cp |= uint32_t(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                cp |= uint32_t(c - 'A' + 10);
            else
                return Fail("a bad \\u escape");
        }
        return true;
    }
    bool StringValue(JText &text)
    {
        ++pos_; // the opening quote
        std::string run;
        const auto flush = [&] {
            if (!run.empty())
                text.pieces.push_back({false, std::move(run)});
            run.clear();
        };
        while (true) {
            if (pos_ >= s_.size())
                return Fail("a text is not closed");
            const unsigned char c = static_cast<unsigned char>(s_[pos_]);
            if (c == '"') {
                ++pos_;
                flush();
                return true;
            }
            if (c < 0x20)
                return Fail("a control character in a text");
            if (c >= 0x80) {
                const size_t len = Utf8Length(s_, pos_);
                if (!len)
                    return Fail("the file is not UTF-8");
                run.append(s_, pos_, len);
                pos_ += len;
                continue;
            }
            if (c != '\\') {
                run += char(c);
                ++pos_;
                continue;
            }
            if (++pos_ >= s_.size())
                return Fail("a text is not closed");
            const char e = s_[pos_++];
            switch (e) {
            case '"': run += '"'; break;
            case '\\': run += '\\'; break;
            case '/': run += '/'; break;
            case 'b': run += '\b'; break;
            case 'f': run += '\f'; break;
            case 'n': run += '\n'; break;
            case 'r': run += '\r'; break;
            case 't': run += '\t'; break;
            case 'u': {
                uint32_t cp = 0;
                if (!Hex4(cp))
                    return false;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    uint32_t low = 0;
                    if (s_.compare(pos_, 2, "\\u") != 0 || (pos_ += 2, !Hex4(low)) || low < 0xDC00 || low > 0xDFFF)
                        return Fail("a lone high surrogate");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC80 && cp <= 0xDCFF) {
                    // An escaped byte that did not convert.
                    flush();
                    text.pieces.push_back({true, std::string(1, char(cp - 0xDC00))});
                    break;
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return Fail("a lone low surrogate");
                }
                vx::codepage::AppendUtf8(run, cp);
                break;
            }
            default:
                return Fail("a bad escape");
            }
        }
    }

    const std::string &s_;
    size_t pos_ = 0;
    std::string error_;
};

const JValue *Member(const JValue &object, const char *name)
{
    for (const auto &m : object.members) {
        if (m.first == name)
            return &m.second;
    }
    return nullptr;
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
            std::optional<AnsiString> bytes = t.Cp949();
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
        const std::string text = t.Utf8();
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
    const JValue *maskValue = Member(row, "mask");
    const JValue *deny = Member(row, "deny");
    const JValue *preset = Member(row, "preset");
    std::optional<uint32_t> fromMask, fromDeny;
    if (maskValue) {
        const std::string &n = maskValue->number;
        bool digits = maskValue->kind == JValue::Number && !n.empty() && n.size() <= 10;
        for (char c : n)
            digits = digits && c >= '0' && c <= '9';
        if (!digits || std::stoull(n) > 0xFFFFFFFFull) {
            why = "mask must be a whole number from 0 to 4294967295";
            return false;
        }
        fromMask = static_cast<uint32_t>(std::stoull(n));
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
            const std::optional<uint32_t> b = ParseOperations(t->Utf8(), bad);
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
        const std::string name = preset->text.Utf8();
        if (const std::optional<uint32_t> presetMask = PresetMask(name)) {
            if ((fromMask || fromDeny) && mask != *presetMask) {
                why = "preset " + name + " does not match the operations";
                return false;
            }
            mask = *presetMask;
        } else {
            // The preset name the list shows: it must name what the mask makes.
            const std::optional<AnsiString> cp = preset->text.Cp949();
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
    if (!PathField(Member(row, "path"), Member(row, "folder"), posix, texts[0], why, "path") ||
        !PathField(Member(row, "exclude_path"), Member(row, "exclude_folder"), posix, texts[2], why, "exclude_path"))
        return false;
    for (int i : {1, 3}) {
        const JValue *v = Member(row, kFieldNames[i]);
        if (!v) {
            texts[size_t(i)] = AnsiString(i == 1 ? "*" : "");
            continue;
        }
        if (v->kind != JValue::String) {
            why = std::string(kFieldNames[i]) + " must be a text";
            return false;
        }
        texts[size_t(i)] = v->text.Cp949();
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
    JsonReader reader(text);
    if (!reader.Document(doc, why))
        return false;
    const JValue *list = &doc;
    bool posix = false;
    if (doc.kind == JValue::Object) {
        for (const auto &m : doc.members) {
            if (m.first != "entries" && m.first != "paths") {
                why = "unknown member \"" + m.first + "\" (expected \"entries\" and \"paths\")";
                return false;
            }
        }
        list = Member(doc, "entries");
        if (const JValue *paths = Member(doc, "paths")) {
            const std::string form = paths->kind == JValue::String ? paths->text.Utf8() : "";
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
