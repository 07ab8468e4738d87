// The entry editor's checks on its four texts, without its window, so that entries made on the
// command line follow the same rules; and the items the folder picker adds for a folder.
#pragma once

#include "engine/fprec.h"

#include <array>
#include <cstdint>
#include <optional>

// Why a record is refused, in the order the editor checks.
enum class EntryRefusal {
    None,
    EmptyPath,        // the path (required) is empty
    NotRepresentable, // a text holds a character CP949 cannot hold
    Comma,            // a text holds ",", which would split the stored entry text
};

// The four texts in the editor's order (path, process, excluded path, excluded process): each the
// CP949 bytes of its field, or nothing when CP949 cannot hold the field's text. With None, `rec`
// gets the texts and `mask`; otherwise `rec` is left alone.
EntryRefusal CheckEntryTexts(const std::array<std::optional<AnsiString>, 4> &texts, uint32_t mask, TFPRec &rec);

// The index (0..3) of the first text the refusal is about; -1 for None.
int RefusedText(const std::array<std::optional<AnsiString>, 4> &texts, EntryRefusal refusal);

// The items the folder picker adds to a path field for folder F: "F;F\*;".
AnsiString FolderItems(const AnsiString &folder);
