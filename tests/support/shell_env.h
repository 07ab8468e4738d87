// SPDX-License-Identifier: GPL-3.0-or-later
// Test helper: a private home, XDG folders and drive map for one test, on a fresh temporary
// folder. Drive T: is the folder "t" inside it.
#pragma once

#include "platform/codepage/codepage_qt.h"
#include "platform/shell/shell.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

class ShellTestEnv {
public:
    ShellTestEnv()
    {
        char pattern[] = "/tmp/vx-shell-XXXXXX";
        root_ = ::mkdtemp(pattern);
        std::filesystem::create_directories(root_ + "/home/Desktop");
        std::filesystem::create_directories(root_ + "/t");
        std::filesystem::create_directories(root_ + "/config");
        std::filesystem::create_directories(root_ + "/data");
        Set("HOME", root_ + "/home");
        Set("XDG_CONFIG_HOME", root_ + "/config");
        Set("XDG_DATA_HOME", root_ + "/data");
        Set("XDG_CACHE_HOME", root_ + "/cache");
        Set("VELLAMORIX_DRIVES", "C:=/,T:=" + root_ + "/t");
        Set("VELLAMORIX_WINVER", std::nullopt);
    }
    ~ShellTestEnv()
    {
        for (auto &[name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
        std::error_code ec;
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(root_, ec);
    }

    void Set(const std::string &name, const std::optional<std::string> &value)
    {
        if (!saved_.count(name)) {
            const char *old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }

    const std::string &Root() const { return root_; }
    // The POSIX path of a path below drive T: ("a/b").
    std::string T(const std::string &rel = "") const { return rel.empty() ? root_ + "/t" : root_ + "/t/" + rel; }
    std::string Home(const std::string &rel = "") const { return rel.empty() ? root_ + "/home" : root_ + "/home/" + rel; }

    void File(const std::string &posix, const std::string &content = "x") const
    {
        std::filesystem::create_directories(std::filesystem::path(posix).parent_path());
        std::ofstream(posix, std::ios::binary) << content;
    }
    void Dir(const std::string &posix) const { std::filesystem::create_directories(posix); }

private:
    std::string root_;
    std::map<std::string, std::optional<std::string>> saved_;
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
