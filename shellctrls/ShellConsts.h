// Message texts of the shell controls, by resource number, and their formatting.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

using AnsiString = std::string;

constexpr int SShellColumnNameId = 65520;
constexpr int SShellColumnSizeId = 65521;
constexpr int SShellColumnTypeId = 65522;
constexpr int SShellColumnModifiedId = 65523;
constexpr int SShellNoDetailsId = 65524;
constexpr int SMissingColumnDetailsId = 65525;
constexpr int SRenameFailedId = 65526;
constexpr int SCannotSetRootId = 65527;

extern const char *const SShellColumnName;       // "Name"
extern const char *const SShellColumnSize;       // "Size"
extern const char *const SShellColumnType;       // "Type"
extern const char *const SShellColumnModified;   // "Modified"
extern const char *const SShellNoDetails;        // details of %s, error code $%x
extern const char *const SMissingColumnDetails;  // "%s: Missing call to LoadColumnDetails"
extern const char *const SRenameFailed;          // "Rename to %s failed"
extern const char *const SCannotSetRoot;         // a root that cannot be set, %s the root text

// The text of a resource number; empty for an unknown number.
AnsiString LoadResString(int id);

// Replaces %s (text), %d (signed decimal), %x (upper-case hexadecimal) in order; "%%" is "%".
// Missing arguments leave the placeholder empty; extra arguments are ignored.
using ShellFormatArg = std::variant<AnsiString, int64_t, uint32_t>;
AnsiString ShellFormat(const AnsiString &format, const std::vector<ShellFormatArg> &args);
