// REGEDIT4 text files: the format the platform's registry editor exports, CP949 strings and
// CRLF line ends.
#pragma once

#include "platform/registry/registry.h"

#include <string>
#include <vector>

namespace vx::regfile {

// "HKEY_LOCAL_MACHINE\a\b" or "HKLM\a\b" (any case) -> "a\b". False for another root.
bool SplitRootPath(const AnsiString &full, AnsiString &path);

// One value as a REGEDIT4 line (or several, for long hex data), CRLF included.
std::string FormatValue(const TRegValue &value);

// The key at path and everything under it, as a whole REGEDIT4 file. False when it is missing.
bool ExportKey(TRegistry &reg, const AnsiString &path, std::string &out);

struct Op {
    enum Kind { Key, DeleteKey, Value, DeleteValue } kind = Key;
    AnsiString path; // for every kind: the key concerned (without the root)
    TRegValue value; // Value and DeleteValue
    int line = 0;
};

struct ParseError {
    int line = 0;
    std::string message;
};

// Reads a whole file. Stops at the first malformed line.
bool Parse(const std::string &text, std::vector<Op> &ops, ParseError &error);

// Applies parsed operations in one transaction: all of them, or none (error set).
bool Apply(const std::vector<Op> &ops, std::string &error);

} // namespace vx::regfile
