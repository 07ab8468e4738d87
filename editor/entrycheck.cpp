#include "editor/entrycheck.h"

EntryRefusal CheckEntryTexts(const std::array<std::optional<AnsiString>, 4> &texts, uint32_t mask, TFPRec &rec)
{
    if (texts[0] && texts[0]->empty())
        return EntryRefusal::EmptyPath;
    for (const std::optional<AnsiString> &t : texts) {
        if (!t)
            return EntryRefusal::NotRepresentable;
    }
    for (const std::optional<AnsiString> &t : texts) {
        if (t->find(',') != AnsiString::npos)
            return EntryRefusal::Comma;
    }
    rec.FileFolder = *texts[0];
    rec.Process = *texts[1];
    rec.ExcludeFileFolder = *texts[2];
    rec.ExcludeProcess = *texts[3];
    rec.Mask = mask;
    return EntryRefusal::None;
}

int RefusedText(const std::array<std::optional<AnsiString>, 4> &texts, EntryRefusal refusal)
{
    for (int i = 0; i < 4; ++i) {
        const std::optional<AnsiString> &t = texts[static_cast<size_t>(i)];
        if ((refusal == EntryRefusal::EmptyPath && i == 0) || (refusal == EntryRefusal::NotRepresentable && !t) ||
            (refusal == EntryRefusal::Comma && t && t->find(',') != AnsiString::npos))
            return i;
    }
    return -1;
}

AnsiString FolderItems(const AnsiString &folder)
{
    return folder + ";" + folder + "\\*;";
}
