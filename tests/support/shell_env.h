// SPDX-License-Identifier: GPL-3.0-or-later
// Test helper: a sandbox for one test whose drive T: is the folder "t" inside it (C: is /).
#pragma once

#include "platform/codepage/codepage_qt.h"
#include "platform/shell/shell.h"
#include "support/sandbox.h"

#include <filesystem>
#include <fstream>
#include <string>

class ShellTestEnv : public vxtest::Sandbox {
public:
    ShellTestEnv()
    {
        std::filesystem::create_directories(dir + "/t");
        Set("VELLAMORIX_DRIVES", "C:=/,T:=" + dir + "/t");
    }

    // The POSIX path of a path below drive T: ("a/b").
    std::string T(const std::string &rel = "") const { return rel.empty() ? dir + "/t" : dir + "/t/" + rel; }
    std::string Home(const std::string &rel = "") const { return rel.empty() ? home : home + "/" + rel; }

    void File(const std::string &posix, const std::string &content = "x") const
    {
        std::filesystem::create_directories(std::filesystem::path(posix).parent_path());
        std::ofstream(posix, std::ios::binary) << content;
    }
    void Dir(const std::string &posix) const { std::filesystem::create_directories(posix); }
};

// Parses a CP949 display name through the desktop; nullptr on failure (hr gets the result).
inline LPITEMIDLIST ParseName(IShellFolder *desktop, const std::string &ansi, HRESULT *hr = nullptr)
{
    const QString wide = vx::codepage::FromAnsi(ansi);
    LPITEMIDLIST list = nullptr;
    ULONG eaten = 0, attributes = 0;
    const HRESULT r = desktop->ParseDisplayName(nullptr, nullptr, reinterpret_cast<LPCWSTR>(wide.utf16()), &eaten,
                                                &list, &attributes);
    if (hr)
        *hr = r;
    return r == S_OK ? list : nullptr;
}

// The text of a STRRET, freeing a wide one.
inline std::string StrRetToAnsi(STRRET &s)
{
    if (s.uType == STRRET_CSTR)
        return std::string(s.cStr);
    if (s.uType == STRRET_WSTR && s.pOleStr) {
        std::string text = vx::codepage::ToAnsi(QString::fromUtf16(s.pOleStr));
        IMalloc *m = nullptr;
        SHGetMalloc(&m);
        m->Free(s.pOleStr);
        s.pOleStr = nullptr;
        return text;
    }
    return std::string();
}

inline std::string NameOf(IShellFolder *folder, LPCITEMIDLIST id, DWORD flags)
{
    STRRET s{};
    if (folder->GetDisplayNameOf(id, flags, &s) != S_OK)
        return "<failed>";
    return StrRetToAnsi(s);
}

inline void FreeList(void *p)
{
    IMalloc *m = nullptr;
    SHGetMalloc(&m);
    m->Free(p);
}
