// SPDX-License-Identifier: GPL-3.0-or-later
// Shared by the console's and the editor's tests: the message-box and file-dialog answers, and
// the real engine daemon on the test program's sandbox.
#pragma once

#include "platform/gui/filedialog.h"
#include "platform/gui/messagebox.h"
#include "support/daemon.h"
#include "support/sandbox.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTest>
#include <deque>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace vxtest {

inline QString Q(const std::string &utf8)
{
    return QString::fromStdString(utf8);
}

// Records every message box and answers OK.
class MessageRecorder {
public:
    MessageRecorder()
    {
        previous_ = vx::gui::SetMessageBoxHook([this](const vx::gui::MessageBoxCall &call) {
            texts.push_back(call.text);
            captions.push_back(call.caption);
            return vx::gui::IDOK;
        });
    }
    ~MessageRecorder() { vx::gui::SetMessageBoxHook(std::move(previous_)); }
    QStringList texts;
    QStringList captions;

private:
    vx::gui::MessageBoxHook previous_;
};

// Answers file dialogs from a queue (nullopt = cancel) and records what they were asked.
class FileDialogScript {
public:
    FileDialogScript()
    {
        previous_ = vx::gui::SetFileDialogHook([this](const vx::gui::FileDialogCall &call) {
            calls.push_back(call);
            if (answers.empty())
                return std::optional<QStringList>();
            std::optional<QStringList> next = answers.front();
            answers.pop_front();
            return next;
        });
    }
    ~FileDialogScript() { vx::gui::SetFileDialogHook(std::move(previous_)); }
    std::deque<std::optional<QStringList>> answers;
    std::vector<vx::gui::FileDialogCall> calls;

private:
    vx::gui::FileDialogHook previous_;
};

// The real engine on the sandbox's device folder, ready to serve, or null (the test has then
// failed). Sockets a killed engine left are removed first. By default it only keeps entries and
// starts without the stored ones.
inline std::unique_ptr<Daemon> StartEngine(const Sandbox &box, std::vector<std::string> args = {"--no-load"},
                                           bool enforce = false)
{
    for (const char *name : {"/QXDAnsi", "/QXDUni", "/Global/QXDAnsi", "/Global/QXDUni"})
        ::unlink((box.deviceDir + name).c_str());
    auto engine = std::make_unique<Daemon>(box, std::move(args), "daemon.log", enforce);
    if (!engine->WaitReady()) {
        ADD_FAILURE() << "qxd-engine did not start:\n" << engine->Log();
        return nullptr;
    }
    return engine;
}

} // namespace vxtest
