#include "shellctrls/ShellConsts.h"

#include <cstdio>

const char *const SShellColumnName = "Name";
const char *const SShellColumnSize = "Size";
const char *const SShellColumnType = "Type";
const char *const SShellColumnModified = "Modified";
const char *const SShellNoDetails = "Unable to retrieve folder details for \"%s\". Error code $%x";
const char *const SMissingColumnDetails = "%s: Missing call to LoadColumnDetails";
const char *const SRenameFailed = "Rename to %s failed";
const char *const SCannotSetRoot = "Cannot set the root folder to \"%s\"";

AnsiString LoadResString(int id)
{
    switch (id) {
    case SShellColumnNameId: return SShellColumnName;
    case SShellColumnSizeId: return SShellColumnSize;
    case SShellColumnTypeId: return SShellColumnType;
    case SShellColumnModifiedId: return SShellColumnModified;
    case SShellNoDetailsId: return SShellNoDetails;
    case SMissingColumnDetailsId: return SMissingColumnDetails;
    case SRenameFailedId: return SRenameFailed;
    case SCannotSetRootId: return SCannotSetRoot;
    default: return AnsiString();
    }
}

AnsiString ShellFormat(const AnsiString &format, const std::vector<ShellFormatArg> &args)
{
    AnsiString out;
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c != '%' || i + 1 >= format.size()) {
            out += c;
            continue;
        }
        const char spec = format[++i];
        if (spec == '%') {
            out += '%';
            continue;
        }
        if (spec != 's' && spec != 'd' && spec != 'x') {
            out += '%';
            out += spec;
            continue;
        }
        if (next >= args.size())
            continue;
        const ShellFormatArg &arg = args[next++];
        char buf[32];
        if (const auto *s = std::get_if<AnsiString>(&arg)) {
            out += *s;
        } else if (const auto *n = std::get_if<int64_t>(&arg)) {
            std::snprintf(buf, sizeof buf, spec == 'x' ? "%llX" : "%lld",
                          spec == 'x' ? static_cast<long long>(static_cast<uint64_t>(*n)) : static_cast<long long>(*n));
            out += buf;
        } else {
            const uint32_t u = std::get<uint32_t>(arg);
            std::snprintf(buf, sizeof buf, spec == 'x' ? "%X" : "%u", u);
            out += buf;
        }
    }
    return out;
}
