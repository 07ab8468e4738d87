// Shared set-up of the shell control tests: one private temporary folder per test program that
// holds the drives C: and D:, the home folder with its desktop, the XDG places, the registry
// store and the device folder, so nothing outside it is read or changed. Also the seams that
// keep a test from blocking: message boxes answered at once, shell executions recorded.
#pragma once

#include "platform/exec/exec.h"
#include "platform/gui/messagebox.h"
#include "shellctrls/ShellFolder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QThread>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace shellenv {

namespace fs = std::filesystem;

class Sandbox {
public:
    Sandbox()
    {
        std::string pattern = (fs::temp_directory_path() / "vx-shellctrls-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        base_ = pattern;
        for (const char *dir : {"c", "d", "home", "home/Desktop", "data", "config", "cache", "runtime"})
            fs::create_directories(base_ / dir);
        fs::permissions(base_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
        ::setenv("HOME", (base_ / "home").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (base_ / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (base_ / "config").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (base_ / "cache").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (base_ / "runtime").c_str(), 1);
        ::setenv("XDG_DESKTOP_DIR", (base_ / "home/Desktop").c_str(), 1);
        ::setenv("VELLAMORIX_REGISTRY", (base_ / "registry.db").c_str(), 1);
        ::setenv("VELLAMORIX_DEVICE_DIR", (base_ / "runtime").c_str(), 1);
        const std::string drives = "C:=" + C().string() + ",D:=" + D().string();
        ::setenv("VELLAMORIX_DRIVES", drives.c_str(), 1);
        ::unsetenv("VELLAMORIX_WINVER");
    }
    ~Sandbox()
    {
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    const fs::path &Base() const { return base_; }
    fs::path C() const { return base_ / "c"; }
    fs::path D() const { return base_ / "d"; }
    fs::path Home() const { return base_ / "home"; }
    fs::path Desktop() const { return base_ / "home" / "Desktop"; }

private:
    fs::path base_;
};

// The sandbox of this test program; call it before main (from a namespace-scope initialiser),
// so the shell unit sees the private folders from its start.
inline Sandbox &Box()
{
    static Sandbox box;
    return box;
}

// Processes events until Condition holds (true) or TimeoutMs pass (false). The QTRY_ macros
// report to QtTest, not to GoogleTest, so tests assert on this result instead.
inline bool WaitFor(const std::function<bool()> &Condition, int TimeoutMs = 30000)
{
    QElapsedTimer clock;
    clock.start();
    while (!Condition()) {
        if (clock.elapsed() > TimeoutMs)
            return Condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

// Message boxes are answered with OK at once; their texts are kept in order.
class MessageLog {
public:
    MessageLog()
    {
        previous_ = vx::gui::SetMessageBoxHook([this](const vx::gui::MessageBoxCall &call) {
            texts.push_back(call.text);
            return vx::gui::IDOK;
        });
    }
    ~MessageLog() { vx::gui::SetMessageBoxHook(previous_); }
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    std::vector<QString> texts;

private:
    vx::gui::MessageBoxHook previous_;
};

// Shell executions are recorded instead of run.
class ExecLog {
public:
    ExecLog()
    {
        previous_ = vx::platform::SetShellExecHandler([this](const vx::platform::ShellExecRequest &request) {
            requests.push_back(request);
            return true;
        });
    }
    ~ExecLog() { vx::platform::SetShellExecHandler(previous_); }
    ExecLog(const ExecLog &) = delete;
    ExecLog &operator=(const ExecLog &) = delete;

    std::vector<vx::platform::ShellExecRequest> requests;

private:
    vx::platform::ShellExecHandler previous_;
};

// An item ID list freed with its holder.
class IdList {
public:
    IdList() = default;
    explicit IdList(PItemIDList list) : p_(list) {}
    ~IdList() { FreeIdList(p_); }
    IdList(const IdList &) = delete;
    IdList &operator=(const IdList &) = delete;

    PItemIDList get() const { return p_; }

private:
    PItemIDList p_ = nullptr;
};

} // namespace shellenv
