// Shared by the console's tests: private folders, the message-box and file-dialog answers,
// and the real engine daemon.
#pragma once

#include "platform/gui/filedialog.h"
#include "platform/gui/messagebox.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace vxtest {

// A private home, registry and device folder for the whole test program.
class PrivateEnvironment {
public:
    PrivateEnvironment()
    {
        root_.setAutoRemove(true);
        const QString r = root_.path();
        QDir().mkpath(r + "/home");
        QDir().mkpath(r + "/data");
        QDir().mkpath(r + "/run");
        QDir().mkpath(r + "/dev");
        setenv("HOME", (r + "/home").toUtf8().constData(), 1);
        setenv("XDG_DATA_HOME", (r + "/data").toUtf8().constData(), 1);
        setenv("XDG_CONFIG_HOME", (r + "/home/.config").toUtf8().constData(), 1);
        setenv("XDG_RUNTIME_DIR", (r + "/run").toUtf8().constData(), 1);
        setenv("VELLAMORIX_REGISTRY", (r + "/registry.db").toUtf8().constData(), 1);
        setenv("VELLAMORIX_DEVICE_DIR", (r + "/dev").toUtf8().constData(), 1);
    }
    QString Path() const { return root_.path(); }
    QString DeviceDir() const { return root_.path() + "/dev"; }
    QString Registry() const { return root_.path() + "/registry.db"; }

    // A fresh registry store for the next test.
    void ResetRegistry() const
    {
        for (const char *suffix : {"", "-journal", "-wal", "-shm"})
            QFile::remove(Registry() + suffix);
    }

private:
    QTemporaryDir root_{QDir::tempPath() + "/vx-console-test-XXXXXX"};
};

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

// The real engine daemon on a private device folder, without stored entries.
class Daemon {
public:
    // By default the daemon only keeps entries, and starts without the stored ones.
    explicit Daemon(const QString &deviceDir, QStringList options = {"--no-enforce", "--no-load"})
        : dir_(deviceDir), options_(std::move(options))
    {
    }
    ~Daemon() { Stop(); }

    bool Start()
    {
        const char *build = std::getenv("VX_BUILD_DIR");
        if (!build)
            return false;
        for (const char *name : {"/QXDAnsi", "/QXDUni", "/Global/QXDAnsi", "/Global/QXDUni"})
            QFile::remove(dir_ + name); // sockets left by an earlier run
        process_.setProgram(QString::fromUtf8(build) + "/qxd/qxd-engine");
        // The console's windows run inside the test program, which the engine serves only so.
        process_.setArguments(QStringList{"--device-dir", dir_, "--any-client"} + options_);
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        process_.setReadChannel(QProcess::StandardError);
        process_.start();
        if (!process_.waitForStarted(30000))
            return false;
        // Serving once it says so (waits for the daemon, asserts nothing on time).
        QByteArray log;
        while (!log.contains("qxd-engine: ready")) {
            if (process_.state() != QProcess::Running || !process_.waitForReadyRead(30000)) {
                std::fprintf(stderr, "qxd-engine did not start:\n%s\n", log.constData());
                return false;
            }
            log += process_.readAllStandardError();
        }
        return true;
    }

    void Stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(30000)) {
            process_.kill();
            process_.waitForFinished(30000);
        }
    }

private:
    QString dir_;
    QStringList options_;
    QProcess process_;
};

} // namespace vxtest
