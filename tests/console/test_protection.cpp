// A new user's protection, from the console to a real process: a no-access entry made in the
// editor is refused to cat at once, and again after the engine starts anew with the entries the
// console saved at its close. Needs root (the engine enforces as root); the engine's mounts stay
// in this test's own mount namespace.
#include "support/consoletest.h"
#include "console/main.h"
#include "editor/setting.h"
#include "engine/protector.h"
#include "platform/gui/application.h"
#include "support/enforcing.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>


namespace {

vxtest::Sandbox g_env;

struct Outcome {
    int code = -1;
    QString error;
};

Outcome RunProgram(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished(30000);
        return {};
    }
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardError())};
}

class Protection : public vxtest::EnforcingTest {
protected:
    void SetUp() override
    {
        EnforcingTest::SetUp();
        if (Stopped())
            return;
        g_env.ResetRegistry();
    }
};

TEST_F(Protection, ANoAccessEntryMadeInTheConsoleIsRefusedToCat)
{
    const QString demo = vxtest::Q(g_env.dir) + "/demo";
    ASSERT_TRUE(QDir().mkpath(demo));
    {
        QFile f(demo + "/a.txt");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("hello\n");
    }
    auto engine = vxtest::StartEngine(g_env, {"--no-load"}, true);
    ASSERT_TRUE(engine);

    auto w = std::make_unique<TFormVellamorix>();
    vx::gui::SetMainForm(w.get());
    w->PasswordGateOnShow = false;
    w->show();
    ASSERT_TRUE(w->Protector->Active());
    QString win = "C:" + demo;
    win.replace('/', '\\');
    QTimer::singleShot(0, [&] {
        ASSERT_NE(Form_SetEntry, nullptr);
        Form_SetEntry->Edit_FileFolder->setText(win + "\\*;" + win + ";");
        Form_SetEntry->B_NoAccess->click();
        Form_SetEntry->B_OK->click();
    });
    w->ToolButton5->click();
    ASSERT_EQ(w->ListView_Proceted->topLevelItemCount(), 1);
    EXPECT_EQ(w->ListView_Proceted->topLevelItem(0)->text(4), QString("접근금지"));

    // At once: cat cannot read it, and nothing can be made in the folder.
    Outcome cat = RunProgram("cat", {demo + "/a.txt"});
    EXPECT_NE(cat.code, 0);
    EXPECT_TRUE(cat.error.contains("Permission denied")) << cat.error.toStdString();
    EXPECT_NE(RunProgram("sh", {"-c", "echo x > '" + demo + "/n'"}).code, 0);

    // Protection switched off in the console lets everything through; the close then saves.
    w->Menu_NotActive->trigger();
    EXPECT_EQ(RunProgram("cat", {demo + "/a.txt"}).code, 0);
    w->Menu_Close->trigger();
    w.reset();

    // A new engine loads what was saved and enforces it before any console runs.
    engine->Stop();
    engine = vxtest::StartEngine(g_env, {}, true);
    ASSERT_TRUE(engine);
    cat = RunProgram("cat", {demo + "/a.txt"});
    EXPECT_NE(cat.code, 0);
    EXPECT_TRUE(cat.error.contains("Permission denied")) << cat.error.toStdString();
    EXPECT_FALSE(QFile::exists(demo + "/n"));
    engine->Stop();
    EXPECT_EQ(RunProgram("cat", {demo + "/a.txt"}).code, 0) << "nothing stays enforced once the engine has stopped";
}

} // namespace
