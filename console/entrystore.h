// The registry entry store: at every close the console writes the rows of its entry list under
// HKEY_LOCAL_MACHINE\SOFTWARE\TOVRA\Vellamorix\Entry ("EntryCount" and one text per row).
#pragma once

#include "engine/fprec.h"

#include <chrono>
#include <optional>
#include <vector>

class TRegistry;

extern const char *const EntryKeyPath;       // "SOFTWARE\TOVRA\Vellamorix\Entry"
extern const char *const EntryCountValueName; // "EntryCount"

// One row of the entry list: caption (the path) and sub-items (process, excluded path, excluded
// process, preset name, mask in decimal, mask text).
struct TEntryRow {
    AnsiString Caption;
    std::vector<AnsiString> SubItems;
};

// Caption and sub-items 0, 1, 2 and 4 joined by ","; a missing sub-item counts as empty.
AnsiString EntryText(const TEntryRow &row);

// Deletes the entry key with everything under it; false when it was missing or access is refused.
bool DeleteEntryKey();
bool DeleteEntryKey(TRegistry &reg);

// The close-query save: deletes the key, opens it with creation, writes "EntryCount" and the
// rows under "0".."N-1", all in one transaction. False, with the store left as it was, when the
// store cannot be written (no rights) or the key cannot be made. A failed write, or a store that
// another process keeps locked for longer than busyWait, throws ERegistryException and leaves the
// earlier contents whole.
bool SaveEntryStore(const std::vector<TEntryRow> &rows, std::chrono::milliseconds busyWait = std::chrono::seconds(15));

// What the key holds, for the outside reader (the engine at start).
struct TStoredEntries {
    bool KeyFound = false;
    // One slot per index 0..EntryCount-1 (never more slots than values in the key); empty where
    // the value is missing or not a string.
    std::vector<std::optional<AnsiString>> Rows;
};
TStoredEntries ReadEntryStore();

// Splits an entry text into a record. Needs exactly five fields and a mask of decimal digits
// within 0..4294967295; a text with a comma inside a field is ambiguous and is refused.
bool ParseEntryText(const AnsiString &text, TFPRec &rec);
