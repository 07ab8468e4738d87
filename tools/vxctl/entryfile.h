// The entry lists vxctl reads and writes: its JSON form (texts in UTF-8, a byte that does not
// convert written as the escape \udcXX and read back to the same byte) and a REGEDIT4 file of the
// registry entry store's key as vxreg export writes it.
#pragma once

#include "engine/fprec.h"

#include <string>
#include <vector>

namespace vx::ctl {

// A CP949 text as a JSON string, quotes included.
std::string JsonString(const AnsiString &cp949);
// Bytes meant as UTF-8 (POSIX paths) as a JSON string; bytes that are no UTF-8 are escaped alike.
std::string JsonUtf8String(const std::string &bytes);

// The list in JSON, one entry per line: index, the four texts, the mask, its preset name, the
// operations it denies (English names) and MaskToText's text. With `posix` the paths are POSIX.
std::string EntriesJson(const std::vector<TFPRec> &entries, bool posix);

// Reads an entry list: the JSON form (an object with "entries", or an array of entries) or a
// REGEDIT4 file holding the entry key. Every row is checked as the editor checks an entry; the
// first bad one fails the whole file with `why` naming it.
bool ReadEntryFile(const std::string &text, std::vector<TFPRec> &entries, std::string &why);

} // namespace vx::ctl
