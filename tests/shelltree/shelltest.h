// Shared set-up of the shell tree tests: a private home, XDG places and a drive map whose C: and
// D: are temporary folders, so nothing outside them is read or changed.
#pragma once

#include "platform/codepage/codepage.h"
#include "shellctrls/ShellFolder.h"

#include <QString>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace shelltest {

namespace fs = std::filesystem;

class Sandbox {
public:
    Sandbox()
    {
        std::string pattern = (fs::temp_directory_path() / "vx-shelltree-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        base_ = pattern;
        for (const char *dir : {"home", "home/Desktop", "data", "config", "cache", "runtime", "c", "d"})
            fs::create_directories(base_ / dir);
        fs::permissions(base_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
        setenv("HOME", (base_ / "home").c_str(), 1);
        setenv("XDG_DATA_HOME", (base_ / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (base_ / "config").c_str(), 1);
        setenv("XDG_CACHE_HOME", (base_ / "cache").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (base_ / "runtime").c_str(), 1);
        setenv("XDG_DESKTOP_DIR", (base_ / "home/Desktop").c_str(), 1);
        setenv("VELLAMORIX_REGISTRY", (base_ / "registry.db").c_str(), 1);
        setenv("VELLAMORIX_DEVICE_DIR", (base_ / "runtime").c_str(), 1);
        const std::string drives = "C:=" + (base_ / "c").string() + ",D:=" + (base_ / "d").string();
        setenv("VELLAMORIX_DRIVES", drives.c_str(), 1);
    }
    ~Sandbox()
    {
        std::error_code ec;
        fs::remove_all(base_, ec);
    }
    const fs::path &Base() const { return base_; }
    fs::path C() const { return base_ / "c"; }
    fs::path D() const { return base_ / "d"; }

private:
    fs::path base_;
};

// One per test executable, made before main.
inline Sandbox &Box()
{
    static Sandbox box;
    return box;
}

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

struct IdList {
    PItemIDList p = nullptr;
    IdList() = default;
    explicit IdList(PItemIDList list) : p(list) {}
    IdList(const IdList &) = delete;
    IdList &operator=(const IdList &) = delete;
    ~IdList() { FreeIdList(p); }
    PItemIDList get() const { return p; }
};

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
