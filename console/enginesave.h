// The engine's entries as the registry entry store keeps them: what the console's close saves,
// and what the command line saves, through the same code.
#pragma once

#include "console/entrystore.h"

#include <chrono>
#include <cstdint>
#include <vector>

class TVeskFileProtector;

// The row the entry list shows for an entry, as the entry store takes it.
TEntryRow EntryRowOf(const TFPRec &rec);

// Reads one entry with no descriptor and no lists.
bool ReadEngineEntry(TVeskFileProtector &p, int32_t index, TFPRec &rec, uint8_t &flag);

// Every entry the engine holds now, in its order; false when any of them cannot be read.
bool ReadEngineEntries(TVeskFileProtector &p, std::vector<TFPRec> &entries);

enum class EngineSave {
    Saved,
    EngineUnreadable, // the whole list could not be read: the stored rows stay
    NotWritable,      // no right to write the store: nothing was touched
};

// Reads the engine's whole list again and writes it with SaveEntryStore. Throws what
// SaveEntryStore throws (the earlier contents stay whole).
EngineSave SaveEngineEntries(TVeskFileProtector &p, std::chrono::milliseconds busyWait);
