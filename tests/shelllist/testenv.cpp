#include "testenv.h"

#include "platform/codepage/codepage.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace shelltest {
namespace {

struct Environment {
    std::string root;
    Environment()
    {
        char pattern[] = "/tmp/vx-shelllist-XXXXXX";
        if (!::mkdtemp(pattern))
            std::abort();
        root = pattern;
        for (const char *sub : {"c", "d", "home", "home/Desktop", "data", "config", "cache", "runtime"})
            fs::create_directories(root + "/" + sub);
        ::setenv("HOME", (root + "/home").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (root + "/cache").c_str(), 1);
        fs::permissions(root + "/runtime", fs::perms::owner_all, fs::perm_options::replace);
        ::setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
        ::setenv("XDG_DESKTOP_DIR", (root + "/home/Desktop").c_str(), 1);
        ::setenv("VELLAMORIX_DRIVES", ("C:=" + root + "/c,D:=" + root + "/d").c_str(), 1);
        ::setenv("VELLAMORIX_REGISTRY", (root + "/registry.db").c_str(), 1);
        ::setenv("VELLAMORIX_DEVICE_DIR", (root + "/runtime").c_str(), 1);
        ::unsetenv("VELLAMORIX_WINVER");
    }
    ~Environment()
    {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

Environment &Env()
{
    static Environment env;
    return env;
}

// Set up before main, so the shell unit sees the private folders from its start.
const bool kReady = (Env(), true);

} // namespace

const std::string &Root() { return Env().root; }
std::string DriveC() { return Root() + "/c"; }
std::string DriveD() { return Root() + "/d"; }
std::string Home() { return Root() + "/home"; }
std::string DesktopDir() { return Root() + "/home/Desktop"; }

bool WaitFor(const std::function<bool()> &Condition, int TimeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!Condition()) {
        if (clock.elapsed() > TimeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

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
