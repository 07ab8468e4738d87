// SPDX-License-Identifier: GPL-3.0-or-later
// The application object: the default error report, the help viewer behind the shell, and the
// end of the program when the main window closes.
#include "support/consoletest.h"
#include "console/about.h"
#include "console/datafiles.h"
#include "console/main.h"
#include "editor/folder.h"
#include "editor/setting.h"
#include "engine/protector.h"
#include "password/changepwd.h"
#include "password/okpass.h"
#include "password/setpass.h"
#include "platform/codepage/codepage_qt.h"
#include "platform/exec/exec.h"
#include "platform/gui/application.h"
#include "platform/gui/helpviewer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QToolButton>
#include <QPointer>
#include <QTimer>
#include <qpa/qplatformwindow.h>
#include <stdexcept>

namespace {

vxtest::Sandbox g_env;

class Throwing : public QWidget {
protected:
    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::User)
            throw std::runtime_error("레지스트리에 쓸 수 없습니다");
        if (e->type() == QEvent::Type(QEvent::User + 1)) // a name quoted in CP949
            throw std::runtime_error("cannot write '" + vx::codepage::ToAnsi(QString("암호")) + "'");
        return QWidget::event(e);
    }
};

// The title a desktop platform (X11, Wayland) shows for a window: the platform plugins format it
// with this routine of the platform window.
class ShownTitle : public QPlatformWindow {
public:
    static QString Of(const QWidget &w) { return formatWindowTitle(w.windowTitle(), QString::fromUtf8(" \u2014 ")); }
};

TEST(Application, ReportsErrorsThatLeaveAHandlerAndGoesOn)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int argc = 1;
    char name[] = "test_console_app";
    char *argv[] = {name, nullptr};
    vx::gui::TApplication app(argc, argv);
    app.SetTitle("Vellamorix");
    app.SetHelpFile("C:\\Vellamorix\\vellamorix.hlp");
    EXPECT_EQ(app.Title(), QString("Vellamorix"));
    EXPECT_EQ(app.HelpFile(), QString("C:\\Vellamorix\\vellamorix.hlp"));

    // Every window shows its own title exactly, without the program's name appended.
    {
        TFormVellamorix main; // no engine here
        main.PasswordGateOnShow = false;
        TForm_SetEntry editor;
        Tfindfolder picker;
        TFormsetpass setpass;
        TFormokpass okpass;
        TFormchangepwd changepwd;
        TAboutBox about;
        const std::vector<std::pair<QWidget *, QString>> windows = {
            {&main, "Vellamorix"},      {&editor, "엔트리 관리자"}, {&picker, "폴더 찾기"},
            {&setpass, "Vellamorix"},   {&okpass, "Vellamorix"},  {&changepwd, "Vellamorix"},
            {&about, "Vellamorix  정보"}};
        for (const auto &[window, title] : windows) {
            window->show();
            EXPECT_EQ(window->windowTitle(), title);
            EXPECT_EQ(ShownTitle::Of(*window), title);
            window->hide();
        }
        main.Protector->SetClearOnDestroy(false);
        vx::gui::SetMainForm(nullptr);
    }

    vxtest::MessageRecorder messages;
    Throwing widget;
    QEvent user(QEvent::User);
    EXPECT_FALSE(QApplication::sendEvent(&widget, &user));
    // Also from the event loop.
    QTimer::singleShot(0, &widget, [&] { QCoreApplication::postEvent(&widget, new QEvent(QEvent::User)); });
    QTimer::singleShot(0, &widget, [&] {
        QTimer::singleShot(0, &app, [] { QCoreApplication::quit(); });
    });
    app.exec();
    ASSERT_EQ(messages.texts.size(), 2);
    EXPECT_EQ(messages.texts[0], QString("레지스트리에 쓸 수 없습니다"));
    EXPECT_EQ(messages.texts[1], QString("레지스트리에 쓸 수 없습니다"));
    QEvent ansi(QEvent::Type(QEvent::User + 1));
    QApplication::sendEvent(&widget, &ansi);
    ASSERT_EQ(messages.texts.size(), 3);
    EXPECT_EQ(messages.texts[2], QString("cannot write '암호'"));
    EXPECT_EQ(messages.captions[0], QString("Vellamorix"));

    // The help file opens in the platform's viewer through the shell.
    const char *build = std::getenv("VX_BUILD_DIR");
    ASSERT_NE(build, nullptr);
    const QString help = QString::fromUtf8(build) + "/console/Vellamorix.hlp";
    const std::string file = vx::codepage::Utf8ToAnsi(help.toStdString());
    EXPECT_GT(ShellExecuteA(nullptr, "open", file.c_str(), nullptr, nullptr, SW_SHOWNORMAL), 32);
    auto *viewer = qobject_cast<QTextBrowser *>(vx::gui::HelpViewerWindow());
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(viewer->windowTitle(), QString("Vellamorix 도움말"));
    EXPECT_TRUE(viewer->toPlainText().contains("엔트리 관리자"));
    EXPECT_TRUE(viewer->toPlainText().contains("F5"));
    EXPECT_LE(ShellExecuteA(nullptr, "open", "/nonexistent/Vellamorix.hlp", nullptr, nullptr, SW_SHOWNORMAL), 32);

    // Closing the main window ends the program even while the help viewer is open.
    QPointer<QWidget> viewerWindow = viewer;
    auto *main = new TFormVellamorix; // no engine here
    vx::gui::SetMainForm(main);
    main->PasswordGateOnShow = false;
    main->show();
    QTimer::singleShot(0, main, [main] { main->ToolButton11->click(); });
    EXPECT_EQ(app.exec(), 0);
    EXPECT_FALSE(main->isVisible());
    EXPECT_TRUE(viewerWindow.isNull() || !viewerWindow->isVisible()); // closed with the program
    delete main;
}

// The console's files are found beside the program (build tree) and in ../share/vellamorix
// (installed); beside it wins, and a file that is nowhere is looked for beside it.
TEST(Application, FindsItsFilesBesideItOrWhereTheyAreInstalled)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString bin = root.path() + "/usr/bin", share = root.path() + "/usr/share/vellamorix";
    ASSERT_TRUE(QDir().mkpath(bin) && QDir().mkpath(share));
    const auto touch = [](const QString &path) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly);
    };
    ASSERT_TRUE(touch(share + "/Vellamorix.hlp"));
    EXPECT_EQ(vx::console::DataFile("Vellamorix.hlp", bin), share + "/Vellamorix.hlp");
    ASSERT_TRUE(touch(bin + "/Vellamorix.hlp"));
    EXPECT_EQ(vx::console::DataFile("Vellamorix.hlp", bin), bin + "/Vellamorix.hlp");
    EXPECT_EQ(vx::console::DataFile("vellamorix.png", bin), bin + "/vellamorix.png");

    // The build tree holds both beside the console.
    const char *build = std::getenv("VX_BUILD_DIR");
    ASSERT_NE(build, nullptr);
    for (const char *name : {"Vellamorix.hlp", "vellamorix.png"}) {
        const QString path = vx::console::DataFile(name, QString::fromUtf8(build) + "/console");
        EXPECT_TRUE(QFile::exists(path)) << path.toStdString();
    }
}

} // namespace
