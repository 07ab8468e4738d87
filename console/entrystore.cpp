#include "console/entrystore.h"

#include "platform/registry/registry.h"

#include <algorithm>
#include <string>

const char *const EntryKeyPath = "SOFTWARE\\TOVRA\\Vellamorix\\Entry";
const char *const EntryCountValueName = "EntryCount";

namespace {

const AnsiString &SubItem(const TEntryRow &row, size_t i)
{
    static const AnsiString empty;
    return i < row.SubItems.size() ? row.SubItems[i] : empty;
}

} // namespace

AnsiString EntryText(const TEntryRow &row)
{
    return row.Caption + "," + SubItem(row, 0) + "," + SubItem(row, 1) + "," + SubItem(row, 2) + "," +
           SubItem(row, 4);
}

bool DeleteEntryKey(TRegistry &reg)
{
    reg.RootKey = HKEY_LOCAL_MACHINE;
    return reg.DeleteKey(EntryKeyPath);
}

bool DeleteEntryKey()
{
    TRegistry reg;
    return DeleteEntryKey(reg);
}

bool SaveEntryStore(const std::vector<TEntryRow> &rows, std::chrono::milliseconds busyWait)
{
    TRegistry reg;
    reg.RootKey = HKEY_LOCAL_MACHINE;
    reg.SetBusyDeadline(std::chrono::steady_clock::now() + busyWait);
    // Without write rights the transaction does not start: nothing is touched.
    TRegistryTransaction transaction(reg);
    if (!transaction.Active())
        return false;
    DeleteEntryKey(reg);
    if (!reg.OpenKey(EntryKeyPath, true))
        return false; // rolled back: the delete does not stay either
    reg.WriteInteger(EntryCountValueName, static_cast<int32_t>(rows.size()));
    for (size_t i = 0; i < rows.size(); ++i)
        reg.WriteString(std::to_string(i), EntryText(rows[i]));
    reg.CloseKey();
    transaction.Commit();
    return true;
}

TStoredEntries ReadEntryStore()
{
    TStoredEntries out;
    TRegistry reg(KEY_READ);
    reg.RootKey = HKEY_LOCAL_MACHINE;
    if (!reg.OpenKeyReadOnly(EntryKeyPath))
        return out;
    out.KeyFound = true;
    const std::optional<DWORD> count = reg.ReadDword(EntryCountValueName);
    if (!count)
        return out;
    // A damaged count must not make us reserve billions of slots.
    const size_t limit = reg.GetValueNames().size();
    const size_t n = std::min<size_t>(*count, limit);
    out.Rows.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const std::optional<TRegValue> v = reg.ReadValue(std::to_string(i));
        if (v && v->Type == REG_SZ)
            out.Rows.push_back(reg.ReadString(std::to_string(i)));
        else
            out.Rows.push_back(std::nullopt);
    }
    return out;
}

bool ParseEntryText(const AnsiString &text, TFPRec &rec)
{
    std::vector<AnsiString> fields;
    size_t pos = 0;
    while (true) {
        const size_t comma = text.find(',', pos);
        fields.push_back(text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    if (fields.size() != 5)
        return false;
    const AnsiString &maskText = fields[4];
    if (maskText.empty() || maskText.size() > 10)
        return false;
    uint64_t mask = 0;
    for (char c : maskText) {
        if (c < '0' || c > '9')
            return false;
        mask = mask * 10 + static_cast<uint64_t>(c - '0');
    }
    if (mask > 0xFFFFFFFFull)
        return false;
    rec.FileFolder = fields[0];
    rec.Process = fields[1];
    rec.ExcludeFileFolder = fields[2];
    rec.ExcludeProcess = fields[3];
    rec.Mask = static_cast<uint32_t>(mask);
    return true;
}
