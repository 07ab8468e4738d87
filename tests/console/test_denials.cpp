// The denial history window and the notification, offscreen: from record files made here
// (malformed, unreadable) and from a real enforcing engine in permissive mode, whose records
// come from real processes.
#include "support/consoletest.h"
#include "console/denials.h"
#include "console/main.h"
#include "engine/denials.h"
#include "engine/fprec.h"
#include "engine/protector.h"
#include "platform/codepage/codepage_qt.h"
#include "platform/gui/application.h"
#include "support/enforcing.h"

#include <QAction>
#include <QSystemTrayIcon>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>

namespace {

vxtest::Sandbox g_env;

std::string RecordFile()
{
    return vx::denials::RecordPath(g_env.deviceDir);
}

// Runs the event loop until `done` or `ms` have passed; the outcome of `done`.
bool WaitFor(const std::function<bool()> &done, int ms = 10000)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QTest::qWait(20);
    return done();
}

std::string Line(int pid, const std::string &exe, const std::string &posix, const std::string &drive, int entry,
                 const std::string &fileFolder, const char *time = "2026-12-08T10:00:00.000001Z")
{
    return std::string(R"({"time":")") + time + R"(","pid":)" + std::to_string(pid) + R"(,"exe":")" + exe +
           R"(","operation":"write","mask":128,"path":")" + drive + R"(","posixPath":")" + posix + R"(","entry":)" +
           std::to_string(entry) + R"(,"entryFileFolder":")" + fileFolder + R"(","entryProcess":"*","permissive":false})" + "\n";
}

void Append(const std::string &text)
{
    std::ofstream(RecordFile(), std::ios::app) << text;
}

QStringList Column(QTreeWidget *list, int column, bool visibleOnly = false)
{
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (!visibleOnly || !list->topLevelItem(i)->isHidden())
            out << list->topLevelItem(i)->text(column);
    return out;
}

class HistoryFromFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir().mkpath(vxtest::Q(g_env.deviceDir));
        QFile::remove(QString::fromStdString(RecordFile()));
        QFile::remove(QString::fromStdString(RecordFile() + ".1"));
    }
    void TearDown() override { QFile::remove(QString::fromStdString(RecordFile())); }
    vxtest::MessageRecorder messages;
};

// Newest first, with MaskToText's names; a malformed line is a one-line note and the rest shows;
// the filter matches program or path; 지우기 empties the view and later records still come.
TEST_F(HistoryFromFiles, FillsNotesMalformedFiltersAndClears)
{
    Append(Line(11, "/usr/bin/editor", "/srv/a.txt", "C:\\\\srv\\\\a.txt", 0, "C:\\\\srv\\\\*;"));
    Append("{\"time\": broken\n");
    Append(Line(12, "/opt/tool", "/srv/문서.txt", "C:\\\\srv\\\\문서.txt", 1, "C:\\\\srv\\\\문서.txt;",
                "2026-12-08T10:00:01.000001Z"));
    vx::console::TFormDenials form(nullptr, RecordFile(), nullptr);
    form.show();
    EXPECT_EQ(form.windowTitle(), QString("차단 기록"));
    QTreeWidget *list = form.ListView_Denials;
    ASSERT_EQ(list->topLevelItemCount(), 2);
    const QStringList header = {"시간", "프로그램", "작업", "파일/폴더", "엔트리"};
    for (int c = 0; c < 5; ++c)
        EXPECT_EQ(list->headerItem()->text(c), header[c]);
    EXPECT_EQ(Column(list, 1), QStringList({"/opt/tool", "/usr/bin/editor"}));
    EXPECT_EQ(Column(list, 2)[0], vx::codepage::FromAnsi(MaskToText(FP_WRITE)));
    EXPECT_EQ(Column(list, 3), QStringList({"C:\\srv\\문서.txt", "C:\\srv\\a.txt"}));
    EXPECT_EQ(Column(list, 4), QStringList({"1: C:\\srv\\문서.txt;", "0: C:\\srv\\*;"}));
    EXPECT_FALSE(form.Label_Note->isHidden());
    EXPECT_TRUE(form.Label_Note->text().contains("2번째 줄")) << form.Label_Note->text().toStdString();

    form.Edit_Filter->setText("TOOL");
    EXPECT_EQ(Column(list, 1, true), QStringList({"/opt/tool"}));
    form.Edit_Filter->setText("a.txt");
    EXPECT_EQ(Column(list, 1, true), QStringList({"/usr/bin/editor"}));
    form.Edit_Filter->setText("/srv/문서");
    EXPECT_EQ(Column(list, 1, true), QStringList({"/opt/tool"}));
    form.Edit_Filter->setText("nothing like it");
    EXPECT_TRUE(Column(list, 1, true).isEmpty());
    form.Edit_Filter->clear();
    EXPECT_EQ(Column(list, 1, true).size(), 2);

    QTest::mouseClick(form.Button_Clear, Qt::LeftButton);
    EXPECT_EQ(list->topLevelItemCount(), 0);
    Append(Line(13, "/bin/late", "/srv/b", "C:\\\\srv\\\\b", 0, "C:\\\\srv\\\\*;", "2026-12-08T10:00:02.000001Z"));
    ASSERT_TRUE(WaitFor([&] { return list->topLevelItemCount() == 1; }));
    EXPECT_EQ(list->topLevelItem(0)->text(1), QString("/bin/late"));
    EXPECT_TRUE(messages.texts.isEmpty()) << messages.texts.join('|').toStdString();
}

// A record this user may not read is a note, said once, with no message box; the window stays
// usable and shows the records once they can be read. A missing record is a note too.
TEST_F(HistoryFromFiles, UnreadableAndMissingRecordAreNotes)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "reading as another user takes root";
    vx::console::TFormDenials form(nullptr, RecordFile(), nullptr);
    EXPECT_FALSE(form.Label_Note->isHidden());
    EXPECT_TRUE(form.Label_Note->text().contains("없습니다")) << form.Label_Note->text().toStdString();

    Append(Line(21, "/bin/x", "/srv/c", "C:\\\\srv\\\\c", 0, "C:\\\\srv\\\\*;"));
    ASSERT_EQ(::chmod(RecordFile().c_str(), 0640), 0);
    ::chmod(g_env.dir.c_str(), 0755);
    ::chmod(g_env.deviceDir.c_str(), 0755);
    const int uid = ::setfsuid(65534);
    const int gid = ::setfsgid(65534);
    form.ReadRecord();
    form.ReadRecord();
    ::setfsuid(uid);
    ::setfsgid(gid);
    EXPECT_EQ(form.ListView_Denials->topLevelItemCount(), 0);
    EXPECT_TRUE(form.Label_Note->text().contains("vellamorix")) << form.Label_Note->text().toStdString();
    form.ReadRecord();
    EXPECT_EQ(form.ListView_Denials->topLevelItemCount(), 1);
    EXPECT_TRUE(messages.texts.isEmpty());
}

// A record with thousands of lines is read a piece at a time, the window answering between them.
TEST_F(HistoryFromFiles, LargeRecordIsReadInPieces)
{
    std::string text;
    const std::string one = Line(1, "/bin/many", "/srv/m", "C:\\\\srv\\\\m", 0, "C:\\\\srv\\\\*;");
    while (text.size() < 3 * vx::console::TFormDenials::kReadPiece)
        text += one;
    Append(text);
    vx::console::TFormDenials form(nullptr, RecordFile(), nullptr);
    const int first = form.ListView_Denials->topLevelItemCount();
    EXPECT_GT(first, 0);
    EXPECT_LT(size_t(first), text.size() / one.size()) << "the first read takes only a piece";
    ASSERT_TRUE(WaitFor([&] {
        return form.ListView_Denials->topLevelItemCount() ==
               std::min<int>(vx::console::TFormDenials::kMaxRows, int(text.size() / one.size()));
    }));
}

// The freedesktop notification service, played by this test on a session bus of its own.
class FakeNotifications : public QDBusVirtualObject {
public:
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.member() != "Notify")
            return false;
        calls << message.arguments();
        connection.send(message.createReply(QVariant::fromValue(uint(7))));
        return true;
    }
    QList<QList<QVariant>> calls;
};

// Without a tray, a burst of denials is one Notify call to the desktop's notification service,
// and the service's "default" action (a click) opens the history.
TEST_F(HistoryFromFiles, NotificationServiceWithoutATray)
{
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "offscreen has no tray";
    const QString address = "unix:path=" + vxtest::Q(g_env.dir) + "/bus";
    QProcess bus;
    bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1", "--address=" + address});
    if (!bus.waitForStarted(10000))
        GTEST_SKIP() << "dbus-daemon is not installed, so no session bus can be made here";
    ASSERT_TRUE(bus.waitForReadyRead(10000)) << "dbus-daemon gave no address";
    setenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8().constData(), 1);
    {
        QDBusConnection connection = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "vx-fake-service");
        ASSERT_TRUE(connection.isConnected());
        FakeNotifications fake;
        ASSERT_TRUE(connection.registerVirtualObject("/org/freedesktop/Notifications", &fake));
        ASSERT_TRUE(connection.registerService("org.freedesktop.Notifications"));

        QWidget window;
        int opened = 0;
        vx::console::DenialNotifier notifier(&window, RecordFile(), [&] { ++opened; });
        Append(Line(31, "/usr/bin/one", "/srv/1", "C:\\\\srv\\\\1", 0, "C:\\\\srv\\\\*;"));
        Append(Line(32, "/usr/bin/two", "/srv/2", "C:\\\\srv\\\\2", 0, "C:\\\\srv\\\\*;"));
        Append(Line(33, "/usr/bin/three", "/srv/3", "C:\\\\srv\\\\3", 0, "C:\\\\srv\\\\*;"));
        ASSERT_TRUE(WaitFor([&] { return !fake.calls.isEmpty(); }));
        QTest::qWait(vx::console::DenialNotifier::kSettleMs + 500);
        ASSERT_EQ(fake.calls.size(), 1);
        const QList<QVariant> &call = fake.calls[0];
        ASSERT_EQ(call.size(), 8);
        EXPECT_TRUE(call[3].toString().contains("3건")) << call[3].toString().toStdString();
        EXPECT_TRUE(call[4].toString().contains("three")) << call[4].toString().toStdString();
        EXPECT_TRUE(call[4].toString().contains("C:\\srv\\3")) << call[4].toString().toStdString();
        EXPECT_TRUE(call[5].toStringList().contains("default"));

        // The service says its notification was clicked.
        QDBusMessage clicked = QDBusMessage::createSignal("/org/freedesktop/Notifications",
                                                          "org.freedesktop.Notifications", "ActionInvoked");
        clicked << uint(7) << QString("default");
        ASSERT_TRUE(connection.send(clicked));
        EXPECT_TRUE(WaitFor([&] { return opened == 1; }));
        connection.unregisterService("org.freedesktop.Notifications");
        connection.unregisterObject("/org/freedesktop/Notifications");
    }
    QDBusConnection::disconnectFromBus("vx-fake-service");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    bus.terminate();
    if (!bus.waitForFinished(10000)) {
        bus.kill();
        bus.waitForFinished(10000);
    }
}

// The real engine, enforcing in permissive mode, and real processes (a copy of the shell named
// "victim" writing into a covered folder).
class HistoryFromEngine : public vxtest::EnforcingTest {
protected:
    void SetUp() override
    {
        EnforcingTest::SetUp();
        if (Stopped())
            return;
        g_env.ResetRegistry();
        QFile::remove(QString::fromStdString(RecordFile()));
        folder = vxtest::Q(g_env.dir) + "/data/prot";
        QDir().mkpath(folder);
        victim = vxtest::Q(g_env.dir) + "/victim";
        QFile::remove(victim);
        ASSERT_TRUE(QFile::copy("/bin/dash", victim));
        QFile::setPermissions(victim, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        daemon = vxtest::StartEngine(g_env, {"--no-load", "--permissive"}, true);
        ASSERT_TRUE(daemon);
        previousHook = vx::console::SetNotificationHook([this](const QString &title, const QString &text) {
            notifications << title + " | " + text;
        });
        w = std::make_unique<TFormVellamorix>();
        vx::gui::SetMainForm(w.get());
        w->PasswordGateOnShow = false;
        w->show();
        ASSERT_EQ(w->Protector->AddEntry(FP_WRITE, Drive(folder) + "\\*;", "", "victim", "", nullptr, 0,
                                         nullptr, 0, nullptr, 1),
                  0);
        w->Menu_RefreshClick();
        ASSERT_EQ(w->ListView_Proceted->topLevelItemCount(), 1);
    }
    void TearDown() override
    {
        w.reset();
        vx::console::SetNotificationHook(std::move(previousHook));
        if (daemon)
            daemon->Stop();
    }
    static std::string Drive(const QString &posix)
    {
        QString d = "C:" + posix;
        d.replace('/', '\\');
        return vx::codepage::Utf8ToAnsi(d.toStdString());
    }
    // The victim writes over `name` in the covered folder (made first by this test, which the
    // entry does not name); true when it could (permissive mode).
    bool Write(const QString &name)
    {
        QFile made(folder + "/" + name);
        if (!made.open(QIODevice::WriteOnly))
            return false;
        made.close();
        QProcess p;
        p.start(victim, {"-c", "echo x > \"$1\"", "victim", folder + "/" + name});
        return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    std::unique_ptr<vxtest::Daemon> daemon;
    vx::console::NotificationHook previousHook;
    QStringList notifications;
    QString folder, victim;
    std::unique_ptr<TFormVellamorix> w;
    vxtest::MessageRecorder messages;
};

TEST_F(HistoryFromEngine, ShowsFollowsFiltersSelectsAndNotifiesOncePerBurst)
{
    // The menu item is the last of 보기, with its key.
    ASSERT_NE(w->Menu_Denials, nullptr);
    EXPECT_EQ(w->Menu_View->actions().back(), w->Menu_Denials);
    EXPECT_EQ(w->Menu_Denials->text(), QString("차단 기록(&L)"));
    EXPECT_EQ(w->Menu_Denials->shortcut(), QKeySequence("Ctrl+L"));

    // A burst of five denials: one notification, counting them all, naming the last.
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(Write(QString("burst%1").arg(i)));
    ASSERT_TRUE(WaitFor([&] { return !notifications.isEmpty(); }));
    ASSERT_EQ(notifications.size(), 1);
    EXPECT_TRUE(notifications[0].contains("5건")) << notifications[0].toStdString();
    EXPECT_TRUE(notifications[0].contains("허용 모드")) << notifications[0].toStdString();
    EXPECT_TRUE(notifications[0].contains("victim")) << notifications[0].toStdString();
    EXPECT_TRUE(notifications[0].contains("burst4")) << notifications[0].toStdString();

    // Clicking it opens the history, which fills from the engine's record.
    EXPECT_EQ(w->FormDenials, nullptr);
    w->Notifier->Activate();
    ASSERT_NE(w->FormDenials, nullptr);
    EXPECT_TRUE(w->FormDenials->isVisible());
    EXPECT_FALSE(w->FormDenials->isModal());
    QTreeWidget *list = w->FormDenials->ListView_Denials;
    ASSERT_TRUE(WaitFor([&] { return list->topLevelItemCount() == 5; })) << list->topLevelItemCount();
    const QString where = QString::fromStdString(vx::codepage::AnsiToUtf8(Drive(folder)));
    EXPECT_EQ(list->topLevelItem(0)->text(1), victim);
    EXPECT_TRUE(list->topLevelItem(0)->text(2).startsWith(vx::codepage::FromAnsi(MaskToText(FP_WRITE))))
        << list->topLevelItem(0)->text(2).toStdString();
    EXPECT_EQ(list->topLevelItem(0)->text(3), where + "\\burst4");
    EXPECT_EQ(list->topLevelItem(4)->text(3), where + "\\burst0");
    EXPECT_EQ(list->topLevelItem(0)->text(4), "0: " + where + "\\*;");

    // It follows a new denial while open.
    ASSERT_TRUE(Write("later"));
    ASSERT_TRUE(WaitFor([&] { return list->topLevelItemCount() == 6; }));
    EXPECT_EQ(list->topLevelItem(0)->text(3), where + "\\later");

    // Filter by path, then by program.
    w->FormDenials->Edit_Filter->setText("later");
    EXPECT_EQ(Column(list, 3, true), QStringList({where + "\\later"}));
    w->FormDenials->Edit_Filter->setText("victim");
    EXPECT_EQ(Column(list, 3, true).size(), 6);
    w->FormDenials->Edit_Filter->clear();

    // Selecting a row selects its entry in the main list.
    w->ListView_Proceted->setCurrentItem(nullptr);
    w->ListView_Proceted->clearSelection();
    list->setCurrentItem(list->topLevelItem(2));
    ASSERT_NE(w->ListView_Proceted->currentItem(), nullptr);
    EXPECT_EQ(TFormVellamorix::RowEngineIndex(w->ListView_Proceted->currentItem()), 0);
    EXPECT_TRUE(w->ListView_Proceted->currentItem()->isSelected());

    // Once the entry is gone, nothing is selected and the window says why.
    ASSERT_TRUE(w->Protector->DeleteEntry(0));
    w->Menu_RefreshClick();
    ASSERT_EQ(w->ListView_Proceted->topLevelItemCount(), 0);
    list->setCurrentItem(list->topLevelItem(3));
    EXPECT_FALSE(w->FormDenials->Label_Note->isHidden());
    EXPECT_TRUE(messages.texts.isEmpty()) << messages.texts.join('|').toStdString();

    // One notification for the later denial, not more: the five are not counted again.
    ASSERT_TRUE(WaitFor([&] { return notifications.size() >= 2; }, 12000));
    EXPECT_TRUE(notifications[1].contains("1건")) << notifications[1].toStdString();
    QTest::qWait(vx::console::DenialNotifier::kQuietMs + 500);
    EXPECT_EQ(notifications.size(), 2);
}

} // namespace
