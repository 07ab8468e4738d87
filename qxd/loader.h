// Loads the entries kept in the registry store's entry key into the engine at start.
#pragma once

#include "qxd/core.h"

#include <iosfwd>
#include <optional>
#include <string>

namespace vx::qxd {

// HKEY_LOCAL_MACHINE key and values written by the console at every close.
inline constexpr char kEntryKey[] = "SOFTWARE\\TOVRA\\Vellamorix\\Entry";

// One stored text "path,process,exclpath,exclproc,maskdecimal". A text that does not split
// into exactly five pieces (a comma inside a field makes the pieces ambiguous), has an empty
// path or a mask that is not an unsigned 32-bit decimal gives nothing.
std::optional<Entry> ParseStoredEntry(const std::string &text);

// Appends every readable stored entry in order; rows that cannot be read are reported on `log`
// and skipped. Returns the number loaded.
std::size_t LoadStoredEntries(Engine &engine, std::ostream &log);

} // namespace vx::qxd
