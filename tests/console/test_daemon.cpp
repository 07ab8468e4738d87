// The console against the real engine daemon: what a user does from start to close, and a
// second start that shows the entries the engine kept.
#include "support/consoletest.h"
#include "console/main.h"
#include "editor/setting.h"
#include "engine/protector.h"
#include "password/okpass.h"
#include "password/scrambler.h"
#include "password/setpass.h"
#include "platform/gui/application.h"
#include "platform/registry/registry.h"
#include "support/cp949.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <functional>

namespace {

vxtest::Sandbox g_env;

void WhenEditorOpens(std::function<void(TForm_SetEntry *)> drive)
{
    QTimer::singleShot(0, [drive] {
        ASSERT_NE(Form_SetEntry, nullptr);
        drive(Form_SetEntry);
    });
}

QStringList Captions(TFormVellamorix &w)
{
    QStringList captions;
    for (int i = 0; i < w.ListView_Proceted->topLevelItemCount(); ++i)
        captions << w.ListView_Proceted->topLevelItem(i)->text(0);
    return captions;
}

std::unique_ptr<TFormVellamorix> Start()
{
    auto w = std::make_unique<TFormVellamorix>();
    vx::gui::SetMainForm(w.get());
    w->PasswordGateOnShow = false;
    w->show();
    return w;
}

class WithDaemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_env.ResetRegistry();
        daemon = vxtest::StartEngine(g_env);
        ASSERT_TRUE(daemon);
    }
    std::unique_ptr<vxtest::Daemon> daemon;
    vxtest::MessageRecorder messages;
};

TEST_F(WithDaemon, AddChangeDeleteRefreshAndASecondStart)
{
    auto w = Start();
    EXPECT_TRUE(w->Protector->Active());
    EXPECT_EQ(w->ListView_Proceted->topLevelItemCount(), 0);

    // First start: a new password.
    QTimer::singleShot(0, [] {
        ASSERT_NE(Formsetpass, nullptr);
        Formsetpass->MaskEdit1->setText("관리자");
        Formsetpass->MaskEdit2->setText("관리자");
        QTest::keyClick(Formsetpass->MaskEdit2, Qt::Key_Return);
    });
    w->FormShow();
    ASSERT_TRUE(w->isVisible());

    const char *paths[] = {"C:\\Data;C:\\Data\\*;", "C:\\문서\\a.txt;", "C:\\tmp"};
    for (const char *path : paths) {
        WhenEditorOpens([path](TForm_SetEntry *d) {
            d->Edit_FileFolder->setText(QString::fromUtf8(path));
            d->B_NoAccess->click();
            d->B_OK->click();
        });
        w->ToolButton5->click();
    }
    EXPECT_EQ(Captions(*w), (QStringList{"C:\\Data;C:\\Data\\*;", "C:\\문서\\a.txt;", "C:\\tmp"}));

    // Change the second entry.
    w->ListView_Proceted->setCurrentItem(w->ListView_Proceted->topLevelItem(1));
    WhenEditorOpens([](TForm_SetEntry *d) {
        EXPECT_EQ(d->Edit_FileFolder->text(), QString("C:\\문서\\a.txt;"));
        EXPECT_TRUE(d->Cr->isChecked() && d->Open->isChecked());
        d->Edit_Process->setText("notepad*");
        d->Edit_ExcludeProcess->setText("backup*");
        d->B_ReadOnly->click();
        d->B_OK->click();
    });
    w->Menu_ModifyEntry->trigger();
    QTreeWidgetItem *row = w->ListView_Proceted->topLevelItem(1);
    EXPECT_EQ(row->text(1), QString("notepad*"));
    EXPECT_EQ(row->text(4), QString("읽기전용"));
    ASSERT_EQ(w->TreeView_Entry->topLevelItemCount(), 1);
    EXPECT_EQ(w->TreeView_Entry->topLevelItem(0)->child(2)->text(0), QString("예외 프로세스 : backup*"));

    // Delete the first one, then read everything back from the engine.
    w->ListView_Proceted->setCurrentItem(w->ListView_Proceted->topLevelItem(0));
    w->ToolButton6->click();
    w->Menu_Refresh->trigger();
    EXPECT_EQ(Captions(*w), (QStringList{"C:\\문서\\a.txt;", "C:\\tmp"}));
    EXPECT_EQ(w->ListView_Proceted->topLevelItem(0)->text(5), QString("1079472"));
    EXPECT_TRUE(messages.texts.isEmpty());

    // Close: the rows go to the registry, the entries stay in the engine.
    w->Menu_Close->trigger();
    EXPECT_FALSE(w->isVisible());
    w.reset();
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKeyReadOnly(EntryKeyPath));
        EXPECT_EQ(reg.ReadDword(EntryCountValueName), std::optional<DWORD>(2));
        EXPECT_EQ(reg.ReadString("0"), Cp949("C:\\문서\\a.txt;") + ",notepad*,,backup*,1079472");
        EXPECT_EQ(reg.ReadString("1"), "C:\\tmp,*,,,2052");
    }

    // A later start shows the same entries and asks for the password.
    w = Start();
    EXPECT_EQ(Captions(*w), (QStringList{"C:\\문서\\a.txt;", "C:\\tmp"}));
    QTimer::singleShot(0, [] {
        ASSERT_NE(Formokpass, nullptr);
        Formokpass->MaskEdit1->setText("관리자");
        Formokpass->Button1->click();
    });
    w->FormShow();
    EXPECT_TRUE(w->isVisible());
    w->close();
    w.reset();
    delete Formsetpass;
    delete Formokpass;
}

// Through the real engine: an entry whose path is not valid CP949 keeps its bytes when only its
// mask is changed, and texts the stored list could not keep are refused before the engine sees
// them.
TEST_F(WithDaemon, EntriesKeepTheirBytesAndRefusedTextsNeverReachTheEngine)
{
    auto w = Start();
    const AnsiString odd = "/srv/caf\xC3\xA9"; // a UTF-8 name: no valid CP949
    ASSERT_GE(w->Protector->AddEntry(FP_PRESET_NOACCESS, odd, "", "*", "", nullptr, 0, nullptr, 0, nullptr, 1), 0);
    w->Menu_RefreshClick();
    ASSERT_EQ(w->ListView_Proceted->topLevelItemCount(), 1);

    w->ListView_Proceted->setCurrentItem(w->ListView_Proceted->topLevelItem(0));
    WhenEditorOpens([](TForm_SetEntry *d) {
        d->B_ReadOnly->click();
        d->B_OK->click();
    });
    w->Menu_ModifyEntry->trigger();
    uint32_t count = 0;
    ASSERT_TRUE(w->Protector->GetEntryCount(count));
    ASSERT_EQ(count, 1u);
    TFPRec rec;
    uint32_t sd = 0, l1 = 0, l2 = 0;
    uint8_t flag = 0;
    ASSERT_TRUE(w->Protector->GetEntry(0, rec.Mask, rec.FileFolder, rec.ExcludeFileFolder, rec.Process,
                                       rec.ExcludeProcess, nullptr, sd, l1, nullptr, l2, nullptr, flag));
    EXPECT_EQ(rec.FileFolder, odd);
    EXPECT_EQ(rec.Mask, FP_PRESET_READONLY);
    EXPECT_TRUE(messages.texts.isEmpty());

    // A new entry for "C:\café" or with a comma: refused in the open editor, then cancelled.
    for (const QString &path : {QString::fromUtf8("C:\\café"), QString("C:\\a,b")}) {
        bool open = false;
        WhenEditorOpens([&](TForm_SetEntry *d) {
            d->Edit_FileFolder->setText(path);
            d->B_OK->click();
            open = d->isVisible();
            d->B_Cancle->click();
        });
        w->ToolButton5->click();
        EXPECT_TRUE(open);
    }
    EXPECT_EQ(messages.texts,
              (QStringList{"CP949로 나타낼 수 없는 글자가 있습니다.", "쉼표(,)는 쓸 수 없습니다."}));
    ASSERT_TRUE(w->Protector->GetEntryCount(count));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(w->ListView_Proceted->topLevelItemCount(), 1);

    // The close saves the entry's own bytes.
    w->Menu_Close->trigger();
    w.reset();
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(EntryKeyPath));
    EXPECT_EQ(reg.ReadString("0"), odd + ",*,,,1079472");
}

// The close saves what the engine holds then; with the engine gone it keeps the stored rows,
// says so once and ends.
TEST_F(WithDaemon, CloseSavesTheEnginesListOrSaysItCouldNot)
{
    auto w = Start();
    WhenEditorOpens([](TForm_SetEntry *d) {
        d->Edit_FileFolder->setText("C:\\mine");
        d->B_OK->click();
    });
    w->ToolButton5->click();
    // One more reaches the engine without a row (as from another client).
    ASSERT_GE(w->Protector->AddEntry(512, "C:\\theirs", "", "*", "", nullptr, 0, nullptr, 0, nullptr, 1), 0);
    EXPECT_EQ(Captions(*w), QStringList{"C:\\mine"});
    w->Menu_Close->trigger();
    w.reset();
    EXPECT_TRUE(messages.texts.isEmpty()) << messages.texts.join("|").toStdString();
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKeyReadOnly(EntryKeyPath));
        EXPECT_EQ(reg.ReadDword(EntryCountValueName), std::optional<DWORD>(2));
        EXPECT_EQ(reg.ReadString("0"), "C:\\mine,*,,,0");
        EXPECT_EQ(reg.ReadString("1"), "C:\\theirs,*,,,512");
    }

    // The engine stops while the console is open.
    w = Start();
    ASSERT_EQ(w->ListView_Proceted->topLevelItemCount(), 2);
    daemon->Stop();
    w->Menu_Close->trigger();
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(messages.texts, QStringList{"엔트리 목록을 저장하지 못했습니다."});
    w.reset();
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(EntryKeyPath));
    EXPECT_EQ(reg.ReadDword(EntryCountValueName), std::optional<DWORD>(2));
    EXPECT_EQ(reg.ReadString("1"), "C:\\theirs,*,,,512");
}

TEST(WithoutDaemon, TheConsoleStartsAndConnectsOnceTheEngineRuns)
{
    g_env.ResetRegistry();
    vxtest::MessageRecorder messages;
    for (const char *name : {"/QXDAnsi", "/QXDUni", "/Global/QXDAnsi", "/Global/QXDUni"})
        QFile::remove(vxtest::Q(g_env.deviceDir) + name);
    auto w = Start();
    EXPECT_EQ(w->StatusText(0), QString("연결 안됨"));
    EXPECT_FALSE(w->Protector->Active());
    w->Menu_RefreshClick();
    EXPECT_EQ(messages.texts, QStringList{"연결 안됨"});
    w->Protector->SetClearOnDestroy(false);
    w->close();
    w.reset();
    EXPECT_EQ(messages.texts, (QStringList{"연결 안됨", "엔트리 목록을 저장하지 못했습니다."}));
    // Nothing was reached, so nothing was written over.
    TRegistry reg;
    EXPECT_FALSE(reg.OpenKeyReadOnly(EntryKeyPath) && reg.ValueExists(EntryCountValueName));
}

} // namespace
