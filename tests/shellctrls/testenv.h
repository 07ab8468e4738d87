// A private namespace for each test program: drives, home and XDG folders in one temporary folder
// (the shared sandbox of tests/support/shellenv.h), and helpers on it.
#pragma once

#include "shellctrls/ShellCombo.h"
#include "shellctrls/ShellFolder.h"
#include "support/shellenv.h"

#include <QString>
#include <functional>
#include <string>

namespace shelltest {

// The temporary folder of this test program (created before main, removed at exit).
const std::string &Root();
// POSIX folders behind the drives C: and D:, and the home folder.
std::string DriveC();
std::string DriveD();
std::string Home();
std::string DesktopDir();

using shellenv::ExecLog;
using shellenv::MessageLog;
using shellenv::WaitFor;

// Creates a folder (and its parents) / a file with some bytes.
void MakeDir(const std::string &path);
void MakeFile(const std::string &path, const std::string &bytes = "x");
// Removes a folder tree.
void RemoveAll(const std::string &path);

// The full item ID list of a Windows path or root name (owned by the caller: FreeIdList).
PItemIDList IdOf(const std::string &ansiPath);
// The parsing path of a node (e.g. "C:\a\b").
std::string PathOf(TShellFolder *folder);
// The full item ID list of a Windows path, freed with the holder.
struct IdHolder {
    explicit IdHolder(const std::string &path) : id(IdOf(path)) {}
    ~IdHolder() { FreeIdList(id); }
    IdHolder(const IdHolder &) = delete;
    IdHolder &operator=(const IdHolder &) = delete;
    PItemIDList id;
};
// The position of the combo box's entry for a parsing path, or -1.
inline int IndexOfPath(const TCustomShellComboBox &combo, const std::string &path)
{
    for (int i = 0; i < combo.count(); ++i)
        if (PathOf(combo.FolderOfEntry(i)) == path)
            return i;
    return -1;
}
// UTF-8 text -> CP949 bytes and back.
std::string A(const char *utf8);
QString U(const std::string &ansi);

} // namespace shelltest
