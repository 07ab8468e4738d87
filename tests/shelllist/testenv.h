// A private namespace for each test program: drives, home and XDG folders in one temporary folder.
#pragma once

#include "shellctrls/ShellFolder.h"

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

// Processes events until Condition holds or TimeoutMs pass; true when it holds. (The QTRY_
// macros report to QTestLib, not to GoogleTest, so they are not used here.)
bool WaitFor(const std::function<bool()> &Condition, int TimeoutMs = 15000);

// Creates a folder (and its parents) / a file with some bytes.
void MakeDir(const std::string &path);
void MakeFile(const std::string &path, const std::string &bytes = "x");
// Removes a folder tree.
void RemoveAll(const std::string &path);

// The full item ID list of a Windows path or root name (owned by the caller: FreeIdList).
PItemIDList IdOf(const std::string &ansiPath);
// The parsing path of a node (e.g. "C:\a\b").
std::string PathOf(TShellFolder *folder);
// UTF-8 text -> CP949 bytes and back.
std::string A(const char *utf8);
QString U(const std::string &ansi);

} // namespace shelltest
