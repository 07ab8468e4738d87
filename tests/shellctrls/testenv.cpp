// SPDX-License-Identifier: GPL-3.0-or-later
#include "shellctrls/testenv.h"

#include "platform/codepage/codepage_qt.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace shelltest {
namespace {

// Set up before main, so the shell unit sees the private folders from its start.
const bool kReady = (shellenv::Box(), true);

} // namespace

const std::string &Root()
{
    static const std::string root = shellenv::Box().dir;
    return root;
}
std::string DriveC() { return shellenv::Box().C().string(); }
std::string DriveD() { return shellenv::Box().D().string(); }
std::string Home() { return shellenv::Box().home; }
std::string DesktopDir() { return shellenv::Box().desktop; }

void MakeDir(const std::string &path) { fs::create_directories(path); }

void MakeFile(const std::string &path, const std::string &bytes)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

void RemoveAll(const std::string &path)
{
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

PItemIDList IdOf(const std::string &ansiPath)
{
    TRoot root = ansiPath;
    TShellFolder *folder = ResolveRoot(nullptr, std::string(), root);
    PItemIDList id = CopyIdList(folder->FullItemId());
    delete folder;
    return id;
}

std::string PathOf(TShellFolder *folder) { return folder ? folder->ParsingPath() : std::string("<none>"); }

std::string A(const char *utf8) { return vx::codepage::ToAnsi(QString::fromUtf8(utf8)); }
QString U(const std::string &ansi) { return vx::codepage::FromAnsi(ansi); }

} // namespace shelltest
