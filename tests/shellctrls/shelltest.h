// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the shell tree tests on the shared sandbox: a private home, XDG places and a drive
// map whose C: and D: are temporary folders, so nothing outside them is read or changed.
#pragma once

#include "platform/codepage/codepage_qt.h"
#include "shellctrls/ShellFolder.h"
#include "support/shellenv.h"

#include <QString>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace shelltest {

namespace fs = std::filesystem;

using shellenv::Box;
using shellenv::ExecLog;
using shellenv::IdList;
using shellenv::MessageLog;
using shellenv::WaitFor;

inline void MakeDirs(const fs::path &p)
{
    fs::create_directories(p);
}

inline void MakeFile(const fs::path &p, const std::string &content = "x")
{
    fs::create_directories(p.parent_path());
    std::ofstream(p) << content;
}

// A fresh folder on drive C: for one test: returns its POSIX path; `win` gets "C:\name".
inline fs::path CaseDir(const std::string &name, std::string *win = nullptr)
{
    const fs::path p = Box().C() / name;
    fs::remove_all(p);
    fs::create_directories(p);
    if (win)
        *win = "C:\\" + name;
    return p;
}

// The full item ID list of a Windows path (CP949) through the desktop's parser.
inline PItemIDList ParsePath(const std::string &ansi)
{
    ComPtr<IShellFolder> desktop = DesktopFolder();
    const std::u16string wide = vx::codepage::FromAnsi(ansi).toStdU16String();
    ULONG eaten = static_cast<ULONG>(wide.size());
    ULONG attributes = 0;
    PItemIDList list = nullptr;
    if (desktop->ParseDisplayName(nullptr, nullptr, reinterpret_cast<LPCWSTR>(wide.c_str()), &eaten, &list,
                                  &attributes) != S_OK)
        return nullptr;
    return list;
}

inline PItemIDList SpecialList(int csidl)
{
    PItemIDList list = nullptr;
    SHGetSpecialFolderLocation(nullptr, csidl, &list);
    return list;
}

inline QString Q(const AnsiString &ansi)
{
    return vx::codepage::FromAnsi(ansi);
}

} // namespace shelltest
