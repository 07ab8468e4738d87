#include "console/enginesave.h"

#include "engine/protector.h"

#include <climits>

TEntryRow EntryRowOf(const TFPRec &rec)
{
    return {rec.FileFolder,
            {rec.Process, rec.ExcludeFileFolder, rec.ExcludeProcess, MaskPresetName(rec.Mask), MaskToDecimal(rec.Mask),
             MaskToText(rec.Mask)}};
}

bool ReadEngineEntry(TVeskFileProtector &p, int32_t index, TFPRec &rec, uint8_t &flag)
{
    uint32_t sdSize = 0, list1 = 0, list2 = 0;
    flag = 0;
    return p.GetEntry(index, rec.Mask, rec.FileFolder, rec.ExcludeFileFolder, rec.Process, rec.ExcludeProcess,
                      nullptr, sdSize, list1, nullptr, list2, nullptr, flag);
}

bool ReadEngineEntries(TVeskFileProtector &p, std::vector<TFPRec> &entries)
{
    entries.clear();
    uint32_t count = 0;
    if (!p.GetEntryCount(count))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        TFPRec rec;
        uint8_t flag = 0;
        if (i > static_cast<uint32_t>(INT32_MAX) || !ReadEngineEntry(p, static_cast<int32_t>(i), rec, flag))
            return false;
        entries.push_back(std::move(rec));
    }
    return true;
}

EngineSave SaveEngineEntries(TVeskFileProtector &p, std::chrono::milliseconds busyWait)
{
    std::vector<TFPRec> entries;
    if (!ReadEngineEntries(p, entries))
        return EngineSave::EngineUnreadable;
    std::vector<TEntryRow> rows;
    rows.reserve(entries.size());
    for (const TFPRec &rec : entries)
        rows.push_back(EntryRowOf(rec));
    return SaveEntryStore(rows, busyWait) ? EngineSave::Saved : EngineSave::NotWritable;
}
