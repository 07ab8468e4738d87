// SPDX-License-Identifier: GPL-3.0-or-later
// Shared set-up of the shell control tests: one sandbox per test program that also holds the
// drives C: and D:, so nothing outside it is read or changed. Also the seams that keep a test
// from blocking: message boxes answered at once, shell executions recorded.
#pragma once

#include "platform/exec/exec.h"
#include "platform/gui/messagebox.h"
#include "shellctrls/ShellFolder.h"
#include "support/sandbox.h"

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

// The sandbox of a shell test program, whose drives C: and D: are the folders "c" and "d" in it.
class ShellSandbox : public vxtest::Sandbox {
public:
    ShellSandbox()
    {
        fs::create_directories(C());
        fs::create_directories(D());
        Set("VELLAMORIX_DRIVES", "C:=" + C().string() + ",D:=" + D().string());
    }
    fs::path C() const { return fs::path(dir) / "c"; }
    fs::path D() const { return fs::path(dir) / "d"; }
};

// The sandbox of this test program; call it before main (from a namespace-scope initialiser),
// so the shell unit sees the private folders from its start.
inline ShellSandbox &Box()
{
    static ShellSandbox box;
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
