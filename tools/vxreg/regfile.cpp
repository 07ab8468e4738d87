#include "tools/vxreg/regfile.h"

#include <cstdio>

namespace vx::regfile {
namespace {

constexpr size_t kWrapColumn = 77;

bool StartsWithNoCase(const AnsiString &text, const char *prefix, size_t &length)
{
    length = std::char_traits<char>::length(prefix);
    if (text.size() < length)
        return false;
    return vx::registry::FoldName(text.substr(0, length)) == vx::registry::FoldName(prefix);
}

std::string Escape(const AnsiString &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

std::string Hex2(unsigned char byte)
{
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02x", byte);
    return buf;
}

// A REG_SZ that is plain text with one terminating zero and no line breaks is written as a string.
bool IsPlainString(const TRegValue &value)
{
    if (value.Type != REG_SZ || value.Data.empty() || value.Data.back() != '\0')
        return false;
    const std::string text = value.Data.substr(0, value.Data.size() - 1);
    return text.find_first_of(std::string("\0\r\n", 3)) == std::string::npos;
}

void AppendKey(TRegistry &reg, std::string &out)
{
    out += "[HKEY_LOCAL_MACHINE";
    if (!reg.CurrentPath().empty())
        out += "\\" + reg.CurrentPath();
    out += "]\r\n";
    for (const TRegValue &value : reg.ReadValues())
        out += FormatValue(value);
    out += "\r\n";
    const AnsiString path = reg.CurrentPath();
    for (const AnsiString &sub : reg.GetKeyNames()) {
        if (reg.OpenKeyReadOnly("\\" + (path.empty() ? sub : path + "\\" + sub)))
            AppendKey(reg, out);
    }
}

std::string Trim(const std::string &s)
{
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return std::string();
    const size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// Reads a quoted text starting at s[pos] == '"'; pos ends after the closing quote.
bool ReadQuoted(const std::string &s, size_t &pos, AnsiString &out)
{
    if (pos >= s.size() || s[pos] != '"')
        return false;
    ++pos;
    out.clear();
    while (pos < s.size()) {
        const char c = s[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\' && pos + 1 < s.size() && (s[pos + 1] == '\\' || s[pos + 1] == '"')) {
            out += s[pos + 1];
            pos += 2;
            continue;
        }
        out += c;
        ++pos;
    }
    return false;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHexBytes(const std::string &list, std::string &out)
{
    out.clear();
    const std::string body = Trim(list);
    if (body.empty())
        return true;
    size_t pos = 0;
    while (true) {
        const size_t comma = body.find(',', pos);
        const std::string item = Trim(body.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        if (item.empty() || item.size() > 2)
            return false;
        int v = 0;
        for (char c : item) {
            const int d = HexDigit(c);
            if (d < 0)
                return false;
            v = v * 16 + d;
        }
        out += static_cast<char>(v);
        if (comma == std::string::npos)
            return true;
        pos = comma + 1;
    }
}

bool ParseData(const std::string &data, TRegValue &value, bool &remove)
{
    remove = false;
    const std::string d = Trim(data);
    if (d == "-") {
        remove = true;
        return true;
    }
    if (!d.empty() && d[0] == '"') {
        size_t pos = 0;
        AnsiString text;
        if (!ReadQuoted(d, pos, text) || pos != d.size())
            return false;
        value.Type = REG_SZ;
        value.Data = text + '\0';
        return true;
    }
    size_t n = 0;
    if (StartsWithNoCase(d, "dword:", n)) {
        const std::string digits = Trim(d.substr(n));
        if (digits.empty() || digits.size() > 8)
            return false;
        uint32_t v = 0;
        for (char c : digits) {
            const int x = HexDigit(c);
            if (x < 0)
                return false;
            v = v * 16 + static_cast<uint32_t>(x);
        }
        value.Type = REG_DWORD;
        value.Data.assign(4, '\0');
        for (int i = 0; i < 4; ++i)
            value.Data[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
        return true;
    }
    if (StartsWithNoCase(d, "hex:", n)) {
        value.Type = REG_BINARY;
        return ParseHexBytes(d.substr(n), value.Data);
    }
    if (StartsWithNoCase(d, "hex(", n)) {
        const size_t close = d.find("):", n);
        if (close == std::string::npos || close == n || close - n > 8)
            return false;
        uint32_t type = 0;
        for (size_t i = n; i < close; ++i) {
            const int x = HexDigit(d[i]);
            if (x < 0)
                return false;
            type = type * 16 + static_cast<uint32_t>(x);
        }
        value.Type = type;
        return ParseHexBytes(d.substr(close + 2), value.Data);
    }
    return false;
}

} // namespace

bool SplitRootPath(const AnsiString &full, AnsiString &path)
{
    size_t n = 0;
    if (!StartsWithNoCase(full, "HKEY_LOCAL_MACHINE", n) && !StartsWithNoCase(full, "HKLM", n))
        return false;
    if (full.size() > n && full[n] != '\\')
        return false;
    path = full.size() > n ? full.substr(n + 1) : AnsiString();
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    return true;
}

std::string FormatValue(const TRegValue &value)
{
    std::string line = value.Name.empty() ? std::string("@") : "\"" + Escape(value.Name) + "\"";
    line += '=';
    if (IsPlainString(value))
        return line + "\"" + Escape(value.Data.substr(0, value.Data.size() - 1)) + "\"\r\n";
    if (value.Type == REG_DWORD && value.Data.size() == 4) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = (v << 8) | static_cast<unsigned char>(value.Data[static_cast<size_t>(i)]);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", v);
        return line + buf + "\r\n";
    }
    if (value.Type == REG_BINARY) {
        line += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", value.Type);
        line += buf;
    }
    std::string out;
    for (size_t i = 0; i < value.Data.size(); ++i) {
        std::string piece = Hex2(static_cast<unsigned char>(value.Data[i]));
        if (i + 1 < value.Data.size())
            piece += ',';
        if (line.size() + piece.size() > kWrapColumn) {
            out += line + "\\\r\n";
            line = "  ";
        }
        line += piece;
    }
    return out + line + "\r\n";
}

bool ExportKey(TRegistry &reg, const AnsiString &path, std::string &out)
{
    if (!reg.OpenKeyReadOnly("\\" + path))
        return false;
    out = "REGEDIT4\r\n\r\n";
    AppendKey(reg, out);
    reg.CloseKey();
    return true;
}

bool Parse(const std::string &text, std::vector<Op> &ops, ParseError &error)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        if (nl == std::string::npos)
            break;
        pos = nl + 1;
    }
    auto fail = [&](int line, const std::string &message) {
        error.line = line;
        error.message = message;
        return false;
    };

    size_t first = 0;
    while (first < lines.size() && Trim(lines[first]).empty())
        ++first;
    std::string header = first < lines.size() ? lines[first] : std::string();
    if (header.rfind("\xEF\xBB\xBF", 0) == 0)
        header.erase(0, 3);
    if (Trim(header) != "REGEDIT4")
        return fail(static_cast<int>(first + 1), "not a REGEDIT4 file (the first line must be REGEDIT4)");

    bool haveKey = false;
    bool keyDeleted = false;
    AnsiString currentPath;
    for (size_t i = first + 1; i < lines.size(); ++i) {
        const int lineNo = static_cast<int>(i + 1);
        std::string line = Trim(lines[i]);
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            if (line.back() != ']')
                return fail(lineNo, "malformed key line");
            AnsiString name = line.substr(1, line.size() - 2);
            const bool del = !name.empty() && name[0] == '-';
            if (del)
                name.erase(0, 1);
            AnsiString path;
            if (!SplitRootPath(name, path))
                return fail(lineNo, "only HKEY_LOCAL_MACHINE keys can be imported");
            if (path.find("\\\\") != std::string::npos || (!path.empty() && path[0] == '\\') ||
                (del && path.empty()))
                return fail(lineNo, "malformed key name");
            ops.push_back(Op{del ? Op::DeleteKey : Op::Key, path, {}, lineNo});
            haveKey = true;
            keyDeleted = del;
            currentPath = path;
            continue;
        }
        if (line[0] != '"' && line[0] != '@')
            return fail(lineNo, "malformed line");
        if (!haveKey || keyDeleted)
            return fail(lineNo, "value outside a key");
        TRegValue value;
        size_t p = 0;
        if (line[0] == '@') {
            p = 1;
        } else if (!ReadQuoted(line, p, value.Name)) {
            return fail(lineNo, "malformed value name");
        }
        while (p < line.size() && (line[p] == ' ' || line[p] == '\t'))
            ++p;
        if (p >= line.size() || line[p] != '=')
            return fail(lineNo, "missing '=' after the value name");
        std::string data = line.substr(p + 1);
        // Hex data may continue over several lines, each but the last ending in a backslash.
        const std::string start = Trim(data);
        size_t n = 0;
        if (StartsWithNoCase(start, "hex", n)) {
            while (!data.empty() && Trim(data).back() == '\\') {
                data = Trim(data);
                data.pop_back();
                if (++i >= lines.size())
                    return fail(lineNo, "hex data continues past the end of the file");
                data += Trim(lines[i]);
            }
        }
        bool remove = false;
        if (!ParseData(data, value, remove))
            return fail(lineNo, "malformed value data");
        ops.push_back(Op{remove ? Op::DeleteValue : Op::Value, currentPath, value, lineNo});
    }
    return true;
}

bool Apply(const std::vector<Op> &ops, std::string &error)
{
    TRegistry reg;
    reg.RootKey = HKEY_LOCAL_MACHINE;
    try {
        TRegistryTransaction transaction(reg);
        if (!transaction.Active()) {
            error = "cannot write the registry store " + vx::registry::StorePath();
            return false;
        }
        for (const Op &op : ops) {
            switch (op.kind) {
            case Op::Key:
                if (!reg.OpenKey("\\" + op.path, true)) {
                    error = "line " + std::to_string(op.line) + ": cannot create the key";
                    return false;
                }
                break;
            case Op::DeleteKey:
                reg.CloseKey();
                reg.DeleteKey("\\" + op.path); // a missing key is already gone
                break;
            case Op::Value:
                reg.WriteValue(op.value.Name, op.value.Type, op.value.Data);
                break;
            case Op::DeleteValue:
                reg.DeleteValue(op.value.Name);
                break;
            }
        }
        reg.CloseKey();
        transaction.Commit();
    } catch (const ERegistryException &e) {
        error = e.what();
        return false;
    }
    return true;
}

} // namespace vx::regfile
