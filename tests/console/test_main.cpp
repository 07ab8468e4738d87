// SPDX-License-Identifier: GPL-3.0-or-later
// The main window against the engine core served in-process, so every request can be counted
// and a failure injected where the window must cope with one.
#include "support/consoletest.h"
#include "console/about.h"
#include "console/main.h"
#include "editor/setting.h"
#include "engine/protector.h"
#include "password/changepwd.h"
#include "password/okpass.h"
#include "password/scrambler.h"
#include "password/setpass.h"
#include "platform/codepage/codepage_qt.h"
#include "platform/exec/exec.h"
#include "platform/gui/application.h"
#include "platform/registry/registry.h"
#include "qxd/inprocess.h"
#include "support/cp949.h"

#include <sqlite3.h>

#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <functional>
#include <set>

namespace {

vxtest::Sandbox g_env;

using vx::qxd::Entry;

Entry MakeEntry(const std::string &path, uint32_t mask, uint8_t flag = 1, const std::string &process = "*")
{
    Entry e;
    e.fileFolder = path;
    e.process = process;
    e.mask = mask;
    e.flag = flag;
    return e;
}

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_env.ResetRegistry();
        FormVellamorix = nullptr;
    }

    void Seed(std::initializer_list<Entry> entries)
    {
        for (const Entry &e : entries)
            ASSERT_TRUE(engine.engine().Append(e));
    }

    std::unique_ptr<TFormVellamorix> Open()
    {
        auto w = std::make_unique<TFormVellamorix>();
        w->PasswordGateOnShow = false;
        return w;
    }

    // Closes the window as the user does (the save runs) and destroys it.
    static void CloseAndDestroy(std::unique_ptr<TFormVellamorix> &w)
    {
        w->close();
        w.reset();
    }

    std::vector<vx::qxd::InProcessBackend::Call> &Calls() { return engine.backend().calls; }

    std::vector<DWORD> ReadIndexes(std::size_t from = 0)
    {
        std::vector<DWORD> indexes;
        for (std::size_t i = from; i < Calls().size(); ++i) {
            if (Calls()[i].params.code == IOCTL_QXD_GET_ENTRY)
                indexes.push_back(Calls()[i].params.inLen);
        }
        return indexes;
    }

    std::size_t CountCalls(uint32_t code, std::size_t from = 0)
    {
        std::size_t n = 0;
        for (std::size_t i = from; i < Calls().size(); ++i)
            n += Calls()[i].params.code == code;
        return n;
    }

    // Fails every request with the given code (and, for a read, the given engine index).
    void Refuse(uint32_t code, DWORD error, std::optional<DWORD> index = std::nullopt)
    {
        engine.backend().intercept = [=](vx::qxd::Channel, const vx::device::ControlParams &p, vx::qxd::Result &r) {
            if (p.code != code || (index && p.inLen != *index))
                return false;
            r = {false, error, 0};
            return true;
        };
    }

    // Fails every read of the given engine index.
    void FailReadsOf(DWORD index) { Refuse(IOCTL_QXD_GET_ENTRY, ERROR_GEN_FAILURE, index); }

    static QStringList RowTexts(TFormVellamorix &w, int row)
    {
        QStringList texts;
        QTreeWidgetItem *item = w.ListView_Proceted->topLevelItem(row);
        for (int c = 0; c < 7; ++c)
            texts << item->text(c);
        return texts;
    }

    static QStringList Captions(TFormVellamorix &w)
    {
        QStringList captions;
        for (int i = 0; i < w.ListView_Proceted->topLevelItemCount(); ++i)
            captions << w.ListView_Proceted->topLevelItem(i)->text(0);
        return captions;
    }

    static void Select(TFormVellamorix &w, int row)
    {
        w.ListView_Proceted->setCurrentItem(w.ListView_Proceted->topLevelItem(row));
        ASSERT_TRUE(w.ListView_Proceted->topLevelItem(row)->isSelected());
    }

    static bool RowCommandsEnabled(TFormVellamorix &w)
    {
        const bool e = w.Menu_DeleteEntry->isEnabled();
        EXPECT_EQ(w.Menu_ModifyEntry->isEnabled(), e);
        EXPECT_EQ(w.PMenu_DeleteEntry->isEnabled(), e);
        EXPECT_EQ(w.PMenu_ModifyEntry->isEnabled(), e);
        return e;
    }

    // Drives the entry editor that the next command opens.
    static void WhenEditorOpens(std::function<void(TForm_SetEntry *)> drive)
    {
        QTimer::singleShot(0, [drive] {
            ASSERT_NE(Form_SetEntry, nullptr);
            drive(Form_SetEntry);
        });
    }

    vx::qxd::ScopedInProcessEngine engine;
    vxtest::MessageRecorder messages;
};

TEST_F(MainWindow, StartSwitchesProtectionOnAndShowsEveryEntry)
{
    Seed({MakeEntry(Cp949("C:\\자료"), 2052), MakeEntry("C:\\b;C:\\b\\*;", 2053, 1, "notepad*"),
          MakeEntry("C:\\c", 0x80000200u)});
    ASSERT_FALSE(engine.engine().Active());
    auto w = Open();
    EXPECT_TRUE(w->Protector->Active());
    EXPECT_TRUE(engine.engine().Active());
    EXPECT_TRUE(w->ListComplete());
    const std::vector<DWORD> reads = ReadIndexes();
    EXPECT_EQ(reads.size(), 6u); // two passes per entry
    EXPECT_EQ(std::set<DWORD>(reads.begin(), reads.end()), (std::set<DWORD>{0, 1, 2}));

    ASSERT_EQ(w->ListView_Proceted->topLevelItemCount(), 3);
    EXPECT_EQ(RowTexts(*w, 0), (QStringList{"C:\\자료", "*", "", "", "접근금지", "2052",
                                            vx::codepage::FromAnsi(MaskToText(2052))}));
    EXPECT_EQ(RowTexts(*w, 1)[1], QString("notepad*"));
    EXPECT_EQ(RowTexts(*w, 1)[4], QString("기타"));
    EXPECT_EQ(RowTexts(*w, 1)[5], QString("2053"));
    EXPECT_EQ(RowTexts(*w, 2)[5], QString("2147484160"));
    EXPECT_EQ(w->ListView_Proceted->selectedItems().size(), 0);
    EXPECT_FALSE(RowCommandsEnabled(*w));

    // Window and columns.
    EXPECT_EQ(w->windowTitle(), QString("Vellamorix"));
    QTreeWidgetItem *header = w->ListView_Proceted->headerItem();
    const QStringList captions{"파일 / 폴더", "접근금지 프로세스", "예외 파일 / 폴더", "예외 프로세스",
                               "보호 아이템", "Oper", "마스크스트링"};
    for (int c = 0; c < 7; ++c)
        EXPECT_EQ(header->text(c), captions[c]);
    for (int c : {2, 3, 5, 6})
        EXPECT_TRUE(w->ListView_Proceted->isColumnHidden(c));
    EXPECT_EQ(w->ListView_Proceted->columnWidth(1), 150);
    EXPECT_EQ(w->ListView_Proceted->columnWidth(4), 150);
    EXPECT_EQ(w->Timer->interval(), 1000);
    EXPECT_TRUE(w->Timer->isActive());
    EXPECT_TRUE(w->Protector->ClearOnDestroy());
    CloseAndDestroy(w);
}

TEST_F(MainWindow, UnreachableEngine)
{
    engine.backend().failOpen = ERROR_FILE_NOT_FOUND;
    {
        TRegistry reg; // what an earlier close stored
        ASSERT_TRUE(reg.OpenKey(EntryKeyPath, true));
        reg.WriteInteger(EntryCountValueName, 1);
        reg.WriteString("0", "C:\\kept,*,,,2052");
    }
    auto w = Open();
    EXPECT_EQ(w->StatusText(0), QString("연결 안됨"));
    EXPECT_EQ(w->ListView_Proceted->topLevelItemCount(), 0);
    EXPECT_FALSE(w->Protector->Active());
    EXPECT_FALSE(w->ListComplete());
    w->TimerTimer();
    EXPECT_EQ(w->StatusText(0), QString("보호 중지"));
    EXPECT_FALSE(w->Menu_Active->isChecked());
    EXPECT_TRUE(w->Menu_NotActive->isChecked());
    EXPECT_TRUE(w->ToolButton1->isEnabled());
    EXPECT_FALSE(w->ToolButton2->isEnabled());

    w->Menu_RefreshClick();
    WhenEditorOpens([](TForm_SetEntry *d) {
        d->Edit_FileFolder->setText("C:\\new");
        d->B_OK->click();
    });
    w->Menu_AddEntryClick();
    EXPECT_EQ(messages.texts, (QStringList{"연결 안됨", "연결 안됨"}));
    EXPECT_EQ(w->ListView_Proceted->topLevelItemCount(), 0);

    // The close does not wipe what the store held, and says that it saved nothing.
    CloseAndDestroy(w);
    EXPECT_EQ(messages.texts, (QStringList{"연결 안됨", "연결 안됨", "엔트리 목록을 저장하지 못했습니다."}));
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(EntryKeyPath));
    EXPECT_EQ(reg.ReadString("0"), "C:\\kept,*,,,2052");
}

TEST_F(MainWindow, RefreshReadsExactlyTheReportedEntries)
{
    auto w = Open();
    std::size_t mark = Calls().size();
    w->Menu_RefreshClick();
    EXPECT_EQ(CountCalls(IOCTL_QXD_GET_ENTRY_COUNT, mark), 1u);
    EXPECT_TRUE(ReadIndexes(mark).empty());
    EXPECT_EQ(w->ListView_Proceted->topLevelItemCount(), 0);

    Seed({MakeEntry("C:\\a", 1), MakeEntry("C:\\b", 2), MakeEntry("C:\\c", 3)});
    mark = Calls().size();
    w->ToolButton9->click();
    const std::vector<DWORD> reads = ReadIndexes(mark);
    EXPECT_EQ(std::set<DWORD>(reads.begin(), reads.end()), (std::set<DWORD>{0, 1, 2}));
    EXPECT_EQ(Captions(*w), (QStringList{"C:\\a", "C:\\b", "C:\\c"}));

    // A failed refresh keeps the rows and says so.
    Refuse(IOCTL_QXD_GET_ENTRY_COUNT, ERROR_GEN_FAILURE);
    w->Menu_RefreshClick();
    EXPECT_EQ(messages.texts, QStringList{"연결 안됨"});
    EXPECT_EQ(Captions(*w), (QStringList{"C:\\a", "C:\\b", "C:\\c"}));
    engine.backend().intercept = nullptr;
    CloseAndDestroy(w);
}

TEST_F(MainWindow, SelectionShowsTheDetailsAndEnablesTheRowCommands)
{
    Entry e = MakeEntry("C:\\a", FP_PRESET_READONLY, 1, "notepad*");
    e.excludeFileFolder = "C:\\a\\tmp";
    e.excludeProcess = "backup*";
    Seed({MakeEntry("C:\\z", 0), e});
    auto w = Open();
    Select(*w, 1);
    ASSERT_EQ(w->TreeView_Entry->topLevelItemCount(), 1);
    QTreeWidgetItem *top = w->TreeView_Entry->topLevelItem(0);
    EXPECT_EQ(top->text(0), QString("파일 / 폴더 : C:\\a"));
    EXPECT_TRUE(top->isExpanded());
    ASSERT_EQ(top->childCount(), 4);
    EXPECT_EQ(top->child(0)->text(0), QString("접근금지 프로세스 : notepad*"));
    EXPECT_EQ(top->child(1)->text(0), QString("예외 파일 / 폴더 : C:\\a\\tmp"));
    EXPECT_EQ(top->child(2)->text(0), QString("예외 프로세스 : backup*"));
    EXPECT_EQ(top->child(3)->text(0),
              QString("보호 아이템 : ") + vx::codepage::FromAnsi(MaskToText(FP_PRESET_READONLY)));
    EXPECT_TRUE(RowCommandsEnabled(*w));
    EXPECT_FALSE(w->PMenu_CheckProtection->isEnabled());
    // The open folder on top, closed folders below it and on every row.
    ASSERT_EQ(w->ImageList.size(), 2);
    EXPECT_EQ(top->icon(0).cacheKey(), w->ImageList[1].cacheKey());
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(top->child(i)->icon(0).cacheKey(), w->ImageList[0].cacheKey());
    for (int row = 0; row < 2; ++row)
        EXPECT_EQ(w->ListView_Proceted->topLevelItem(row)->icon(0).cacheKey(), w->ImageList[0].cacheKey());

    // The context menu of the list.
    emit w->ListView_Proceted->customContextMenuRequested(QPoint(5, 5));
    EXPECT_TRUE(w->PopupMenu_ListView->isVisible());
    const QList<QAction *> items = w->PopupMenu_ListView->actions();
    ASSERT_EQ(items.size(), 5);
    EXPECT_EQ(items[0]->text(), QString("엔트리 추가"));
    EXPECT_EQ(items[2]->text(), QString("엔트리 수정"));
    EXPECT_TRUE(items[3]->isSeparator());
    EXPECT_EQ(items[4]->text(), QString("보호 검사"));
    w->PopupMenu_ListView->hide();

    w->ListView_Proceted->clearSelection();
    EXPECT_EQ(w->TreeView_Entry->topLevelItemCount(), 0);
    EXPECT_FALSE(RowCommandsEnabled(*w));
    CloseAndDestroy(w);
}

TEST_F(MainWindow, AddAppendsARowWithoutReReading)
{
    Seed({MakeEntry("C:\\first", 0)});
    auto w = Open();
    Select(*w, 0);
    std::size_t mark = Calls().size();
    WhenEditorOpens([](TForm_SetEntry *d) {
        EXPECT_EQ(d->Edit_Process->text(), QString("*"));
        d->Edit_FileFolder->setText("C:\\새 폴더;");
        d->Edit_ExcludeProcess->setText("x*");
        d->B_FullHidden->click();
        d->B_OK->click();
    });
    w->ToolButton5->click();
    EXPECT_EQ(CountCalls(IOCTL_QXD_ADD_ENTRY, mark), 1u);
    EXPECT_TRUE(ReadIndexes(mark).empty());
    ASSERT_EQ(engine.engine().Count(), 2u);
    const Entry added = *engine.engine().At(1);
    EXPECT_EQ(added.fileFolder, Cp949("C:\\새 폴더;"));
    EXPECT_EQ(added.process, "*");
    EXPECT_EQ(added.excludeProcess, "x*");
    EXPECT_EQ(added.mask, FP_PRESET_FULLHIDDEN);
    EXPECT_EQ(added.flag, 1);
    ASSERT_EQ(w->ListView_Proceted->topLevelItemCount(), 2);
    EXPECT_EQ(RowTexts(*w, 1)[4], QString("완전감춤"));
    EXPECT_FALSE(w->ListView_Proceted->topLevelItem(1)->isSelected());
    EXPECT_TRUE(w->ListView_Proceted->topLevelItem(0)->isSelected());
    EXPECT_EQ(TFormVellamorix::RowEngineIndex(w->ListView_Proceted->topLevelItem(1)), 1);

    // A cancelled editor sends nothing.
    mark = Calls().size();
    WhenEditorOpens([](TForm_SetEntry *d) { d->B_Cancle->click(); });
    w->Menu_AddEntry->trigger();
    EXPECT_EQ(Calls().size(), mark);

    // A refused add shows the failure and adds no row.
    Refuse(IOCTL_QXD_ADD_ENTRY, ERROR_ACCESS_DENIED);
    WhenEditorOpens([](TForm_SetEntry *d) {
        d->Edit_FileFolder->setText("C:\\x");
        d->B_OK->click();
    });
    w->PMenu_AddEntry2->trigger();
    EXPECT_EQ(messages.texts, QStringList{"연결 안됨"});
    EXPECT_EQ(w->ListView_Proceted->topLevelItemCount(), 2);
    engine.backend().intercept = nullptr;
    CloseAndDestroy(w);
}

TEST_F(MainWindow, DeleteRemovesExactlyTheChosenEntry)
{
    Seed({MakeEntry("C:\\a", 1), MakeEntry("C:\\b", 2), MakeEntry("C:\\c", 3)});
    auto w = Open();
    std::size_t mark = Calls().size();
    w->ToolButton6->click(); // no selection
    w->ToolButton7->click();
    EXPECT_EQ(messages.texts, (QStringList{"선택된 엔트리가 없습니다.", "선택된 엔트리가 없습니다."}));
    EXPECT_EQ(Calls().size(), mark);

    Select(*w, 1);
    w->ToolButton6->click();
    ASSERT_EQ(engine.engine().Count(), 2u);
    EXPECT_EQ(engine.engine().At(0)->fileFolder, "C:\\a");
    EXPECT_EQ(engine.engine().At(1)->fileFolder, "C:\\c");
    EXPECT_EQ(Captions(*w), (QStringList{"C:\\a", "C:\\c"}));
    EXPECT_EQ(TFormVellamorix::RowEngineIndex(w->ListView_Proceted->topLevelItem(1)), 1);
    EXPECT_EQ(w->TreeView_Entry->topLevelItemCount(), 0);

    // Later rows moved down with the engine: deleting the last one still hits "C:\c".
    Select(*w, 1);
    w->Menu_DeleteEntry->trigger();
    ASSERT_EQ(engine.engine().Count(), 1u);
    EXPECT_EQ(engine.engine().At(0)->fileFolder, "C:\\a");
    EXPECT_EQ(Captions(*w), QStringList{"C:\\a"});

    // A refused delete keeps the row.
    Refuse(IOCTL_QXD_DELETE_ENTRY, ERROR_ACCESS_DENIED);
    Select(*w, 0);
    w->PMenu_DeleteEntry->trigger();
    EXPECT_EQ(messages.texts.back(), QString("삭제 안됨"));
    EXPECT_EQ(Captions(*w), QStringList{"C:\\a"});
    engine.backend().intercept = nullptr;
    CloseAndDestroy(w);
}

TEST_F(MainWindow, ChangeRewritesTheRowInPlace)
{
    Seed({MakeEntry("C:\\a", 1), MakeEntry("C:\\b", FP_PRESET_NOACCESS, 1, "notepad*"), MakeEntry("C:\\c", 3)});
    auto w = Open();
    Select(*w, 1);
    WhenEditorOpens([](TForm_SetEntry *d) {
        EXPECT_EQ(d->Edit_FileFolder->text(), QString("C:\\b"));
        EXPECT_EQ(d->Edit_Process->text(), QString("notepad*"));
        EXPECT_TRUE(d->Cr->isChecked());
        EXPECT_TRUE(d->Open->isChecked());
        d->Edit_FileFolder->setText("C:\\b2");
        d->B_ReadOnly->click();
        d->B_OK->click();
    });
    w->ToolButton7->click();
    EXPECT_TRUE(messages.texts.isEmpty());
    ASSERT_EQ(engine.engine().Count(), 3u);
    EXPECT_EQ(engine.engine().At(1)->fileFolder, "C:\\b2");
    EXPECT_EQ(engine.engine().At(1)->mask, FP_PRESET_READONLY);
    EXPECT_EQ(engine.engine().At(1)->flag, 1);
    EXPECT_EQ(Captions(*w), (QStringList{"C:\\a", "C:\\b2", "C:\\c"}));
    EXPECT_EQ(RowTexts(*w, 1)[4], QString("읽기전용"));
    EXPECT_EQ(RowTexts(*w, 1)[5], QString("1079472"));
    ASSERT_EQ(w->TreeView_Entry->topLevelItemCount(), 1);
    EXPECT_EQ(w->TreeView_Entry->topLevelItem(0)->text(0), QString("파일 / 폴더 : C:\\b2"));
    EXPECT_TRUE(RowCommandsEnabled(*w));

    // A cancelled editor changes nothing.
    WhenEditorOpens([](TForm_SetEntry *d) {
        d->Edit_FileFolder->setText("C:\\never");
        d->B_Cancle->click();
    });
    const std::size_t mark = Calls().size();
    w->Menu_ModifyEntry->trigger();
    EXPECT_EQ(CountCalls(IOCTL_QXD_MODIFY_ENTRY, mark), 0u);
    EXPECT_EQ(engine.engine().At(1)->fileFolder, "C:\\b2");
    CloseAndDestroy(w);
}

TEST_F(MainWindow, ChangeOfAnEntryWithFlagZero)
{
    Seed({MakeEntry("C:\\zero", 0x804, 0)});
    auto w = Open();
    Select(*w, 0);
    WhenEditorOpens([](TForm_SetEntry *d) {
        d->Edit_FileFolder->setText("C:\\zero2");
        d->B_OK->click();
    });
    w->Menu_ModifyEntryClick();
    EXPECT_EQ(engine.engine().At(0)->fileFolder, "C:\\zero2");
    EXPECT_EQ(engine.engine().At(0)->flag, 0); // the flag read back is sent again
    EXPECT_EQ(Captions(*w), QStringList{"C:\\zero2"});
    EXPECT_TRUE(w->ListView_Proceted->topLevelItem(0)->isSelected());
    EXPECT_EQ(w->TreeView_Entry->topLevelItemCount(), 0);
    EXPECT_FALSE(RowCommandsEnabled(*w));
    CloseAndDestroy(w);
}

TEST_F(MainWindow, RowsStayBoundToTheirEntriesWhenAReadFails)
{
    Seed({MakeEntry("C:\\a", 1), MakeEntry("C:\\unreadable", 2), MakeEntry("C:\\c", 3), MakeEntry("C:\\d", 4)});
    FailReadsOf(1);
    auto w = Open();
    engine.backend().intercept = nullptr;
    EXPECT_EQ(Captions(*w), (QStringList{"C:\\a", "C:\\c", "C:\\d"}));
    EXPECT_FALSE(w->ListComplete());
    EXPECT_EQ(TFormVellamorix::RowEngineIndex(w->ListView_Proceted->topLevelItem(1)), 2);

    // Changing the second row changes "C:\c", not the entry that could not be read.
    Select(*w, 1);
    WhenEditorOpens([](TForm_SetEntry *d) {
        EXPECT_EQ(d->Edit_FileFolder->text(), QString("C:\\c"));
        d->Edit_FileFolder->setText("C:\\c2");
        d->B_OK->click();
    });
    w->Menu_ModifyEntryClick();
    EXPECT_EQ(engine.engine().At(1)->fileFolder, "C:\\unreadable");
    EXPECT_EQ(engine.engine().At(2)->fileFolder, "C:\\c2");

    // Deleting it removes "C:\c2" only.
    Select(*w, 1);
    w->Menu_DeleteEntryClick();
    ASSERT_EQ(engine.engine().Count(), 3u);
    EXPECT_EQ(engine.engine().At(1)->fileFolder, "C:\\unreadable");
    EXPECT_EQ(engine.engine().At(2)->fileFolder, "C:\\d");
    EXPECT_EQ(Captions(*w), (QStringList{"C:\\a", "C:\\d"}));

    // The rows miss an entry, but the close reads the engine's list again: what the engine
    // holds is saved, the entry that had no row included.
    CloseAndDestroy(w);
    EXPECT_TRUE(messages.texts.isEmpty());
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(EntryKeyPath));
    EXPECT_EQ(reg.ReadDword(EntryCountValueName), std::optional<DWORD>(3));
    EXPECT_EQ(reg.ReadString("0"), "C:\\a,*,,,1");
    EXPECT_EQ(reg.ReadString("1"), "C:\\unreadable,*,,,2");
    EXPECT_EQ(reg.ReadString("2"), "C:\\d,*,,,4");
}

TEST_F(MainWindow, EntriesMovedBehindTheWindowAreFoundBeforeADelete)
{
    Seed({MakeEntry("C:\\a", 1), MakeEntry("C:\\b", 2), MakeEntry("C:\\c", 3)});
    auto w = Open();
    // The engine's list changes behind the rows (the first entry goes).
    ASSERT_TRUE(w->Protector->DeleteEntry(0));
    Select(*w, 2); // "C:\c", bound to index 2, now at 1
    w->Menu_DeleteEntryClick();
    EXPECT_TRUE(messages.texts.isEmpty());
    ASSERT_EQ(engine.engine().Count(), 1u);
    EXPECT_EQ(engine.engine().At(0)->fileFolder, "C:\\b");
    EXPECT_EQ(Captions(*w), QStringList{"C:\\b"}); // the list was read again

    // A row whose entry is gone is not deleted in its place.
    ASSERT_TRUE(w->Protector->DeleteEntry(0));
    ASSERT_GE(w->Protector->AddEntry(5, "C:\\other", "", "*", "", nullptr, 0, nullptr, 0, nullptr, 1), 0);
    Select(*w, 0);
    w->Menu_DeleteEntryClick();
    EXPECT_EQ(messages.texts, QStringList{"삭제 안됨"});
    ASSERT_EQ(engine.engine().Count(), 1u);
    EXPECT_EQ(engine.engine().At(0)->fileFolder, "C:\\other");
    EXPECT_EQ(Captions(*w), QStringList{"C:\\other"});
    w->Protector->SetClearOnDestroy(false);
    w.reset();
}

TEST_F(MainWindow, ProtectionSwitch)
{
    auto w = Open();
    ASSERT_TRUE(engine.engine().Active());
    w->ToolButton2->click();
    EXPECT_FALSE(engine.engine().Active());
    EXPECT_FALSE(w->ToolButton2->isEnabled());
    EXPECT_TRUE(w->ToolButton1->isEnabled());
    w->TimerTimer();
    EXPECT_EQ(w->StatusText(0), QString("보호 중지"));
    w->Menu_Active->trigger();
    EXPECT_TRUE(engine.engine().Active());
    w->TimerTimer();
    EXPECT_EQ(w->StatusText(0), QString("보호 시작"));
    EXPECT_TRUE(w->Menu_Active->isChecked());
    EXPECT_FALSE(w->Menu_NotActive->isChecked());
    EXPECT_FALSE(w->ToolButton1->isEnabled());
    EXPECT_TRUE(w->ToolButton2->isEnabled());

    // A refused stop leaves protection on; the next tick shows it.
    Refuse(IOCTL_QXD_STOP, ERROR_ACCESS_DENIED);
    w->Menu_NotActiveClick();
    EXPECT_TRUE(engine.engine().Active());
    w->TimerTimer();
    EXPECT_EQ(w->StatusText(0), QString("보호 시작"));
    EXPECT_TRUE(w->Menu_Active->isChecked());
    EXPECT_FALSE(w->ToolButton1->isEnabled());
    EXPECT_TRUE(w->ToolButton2->isEnabled());
    EXPECT_TRUE(messages.texts.isEmpty());
    engine.backend().intercept = nullptr;
    CloseAndDestroy(w);
}

TEST_F(MainWindow, ViewTogglesMenusAndShortcuts)
{
    auto w = Open();
    w->show();
    w->N2221->trigger();
    EXPECT_FALSE(w->N2221->isChecked());
    EXPECT_TRUE(w->ToolBar->isHidden());
    EXPECT_FALSE(w->MainMenu->isHidden());
    w->N2221->trigger();
    EXPECT_FALSE(w->ToolBar->isHidden());
    w->ProtectedInformation1->trigger();
    EXPECT_TRUE(w->Panel4->isHidden());
    EXPECT_FALSE(w->ListView_Proceted->isHidden());
    w->ProtectedInformation1->trigger();
    EXPECT_FALSE(w->Panel4->isHidden());

    const std::pair<QAction *, QKeySequence> keys[] = {
        {w->Menu_Active, QKeySequence("Ctrl+A")},   {w->Menu_NotActive, QKeySequence("Ctrl+S")},
        {w->Menu_Close, QKeySequence("Ctrl+C")},    {w->Menu_AddEntry, QKeySequence("F2")},
        {w->Menu_DeleteEntry, QKeySequence("F3")},  {w->Menu_ModifyEntry, QKeySequence("F4")},
        {w->Menu_Refresh, QKeySequence("F5")},      {w->N2221, QKeySequence("Ctrl+T")},
        {w->ProtectedInformation1, QKeySequence("Ctrl+I")}, {w->Menu_Denials, QKeySequence("Ctrl+L")},
        {w->Menu_Password, QKeySequence("Ctrl+P")},
        {w->Menu_HelpACT, QKeySequence("F1")}};
    for (const auto &[action, key] : keys)
        EXPECT_EQ(action->shortcut(), key) << action->objectName().toStdString();
    EXPECT_EQ(w->Menu_About->text(), QString("정보 (&A)"));
    for (const char *name : {"ToolButton1", "ToolButton2", "ToolButton5", "ToolButton6", "ToolButton7",
                             "ToolButton9", "ToolButton13", "ToolButton11", "Menu_File", "Menu_Edit",
                             "Menu_View", "Menu_Option", "Menu_Help", "PopupMenu_ListView", "Panel3", "Panel5",
                             "StatusBar", "CoolBar1", "ToolBar1"})
        EXPECT_NE(w->findChild<QObject *>(name), nullptr) << name;
    EXPECT_EQ(w->ToolButton6->toolTip(), QString("엔트리 삭제"));

    // The short-cuts reach their commands from the window's focus widget.
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    w->ListView_Proceted->setFocus();
    QWidget *focus = QApplication::focusWidget() ? QApplication::focusWidget() : w.get();
    Seed({MakeEntry("C:\\keyed", 0)});
    QTest::keyClick(focus, Qt::Key_F5);
    EXPECT_EQ(Captions(*w), QStringList{"C:\\keyed"});
    WhenEditorOpens([](TForm_SetEntry *d) {
        d->Edit_FileFolder->setText("C:\\f2");
        d->B_OK->click();
    });
    QTest::keyClick(focus, Qt::Key_F2);
    EXPECT_EQ(Captions(*w), (QStringList{"C:\\keyed", "C:\\f2"}));
    w->activateWindow(); // back from the modal editor
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    QTest::keyClick(focus, Qt::Key_F3); // disabled while no row is selected
    EXPECT_TRUE(messages.texts.isEmpty());
    EXPECT_EQ(engine.engine().Count(), 2u);
    Select(*w, 0);
    QTest::keyClick(focus, Qt::Key_F3);
    EXPECT_EQ(Captions(*w), QStringList{"C:\\f2"});
    QTest::keyClick(focus, Qt::Key_T, Qt::ControlModifier);
    EXPECT_TRUE(w->ToolBar->isHidden());
    QTest::keyClick(focus, Qt::Key_S, Qt::ControlModifier);
    EXPECT_FALSE(engine.engine().Active());
    QTest::keyClick(focus, Qt::Key_A, Qt::ControlModifier);
    EXPECT_TRUE(engine.engine().Active());
    QTest::keyClick(focus, Qt::Key_C, Qt::ControlModifier);
    EXPECT_FALSE(w->isVisible());
    w.reset();
}

TEST_F(MainWindow, HelpAboutAndPasswordCommands)
{
    std::vector<vx::platform::ShellExecRequest> opened;
    vx::platform::SetShellExecHandler([&](const vx::platform::ShellExecRequest &r) {
        opened.push_back(r);
        return true;
    });
    auto w = Open();
    w->ToolButton13->click();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].verb, "open");
    EXPECT_EQ(QString::fromStdString(opened[0].file),
              QCoreApplication::applicationDirPath() + "/Vellamorix.hlp");
    EXPECT_EQ(opened[0].show, SW_SHOWNORMAL);
    EXPECT_TRUE(opened[0].parameters.empty());
    EXPECT_TRUE(opened[0].directory.empty());

    // The about box: a new one each time, gone when it closes.
    std::vector<QString> titles;
    for (int i = 0; i < 2; ++i) {
        QTimer::singleShot(0, [&] {
            ASSERT_NE(AboutBox, nullptr);
            titles.push_back(AboutBox->windowTitle());
            EXPECT_EQ(AboutBox->size(), QSize(388, 199));
            EXPECT_EQ(AboutBox->Panel1->text(), QString("Compiled on 6'th July 2002 "));
            EXPECT_TRUE(AboutBox->OKButton->isDefault());
            EXPECT_EQ(AboutBox->OKButton->text(), QString("OK"));
            EXPECT_EQ(AboutBox->Label1->text(), QString("Vellamorix (Ver 1.0)"));
            EXPECT_EQ(AboutBox->Label3->text(), "URL : " + TAboutBox::WebAddress());
            EXPECT_EQ(AboutBox->Label3->cursor().shape(), Qt::PointingHandCursor);
            EXPECT_FALSE(AboutBox->Label6->text().isEmpty());
            EXPECT_EQ(AboutBox->Panel7->size(), QSize(343, 4));
            EXPECT_EQ(AboutBox->Panel8->size(), QSize(343, 4));
            EXPECT_EQ(AboutBox->Image1->pixmap().size(), QSize(225, 41));
            EXPECT_TRUE(AboutBox->Panel1->alignment() & Qt::AlignRight);
            EXPECT_EQ(AboutBox->Panel1->y() + AboutBox->Panel1->height(), 199); // along the bottom edge
            AboutBox->Label3Click();
            AboutBox->OKButton->click();
        });
        w->Menu_About->trigger();
        EXPECT_EQ(AboutBox, nullptr);
        int boxes = 0;
        for (QWidget *top : QApplication::topLevelWidgets())
            boxes += dynamic_cast<TAboutBox *>(top) != nullptr;
        EXPECT_EQ(boxes, 0);
    }
    EXPECT_EQ(titles, (std::vector<QString>{"Vellamorix  정보", "Vellamorix  정보"}));
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(QString::fromStdString(opened[1].file), TAboutBox::WebAddress());

    // The password menu shows the change dialog modally.
    bool shown = false;
    QTimer::singleShot(0, [&] {
        ASSERT_NE(Formchangepwd, nullptr);
        shown = Formchangepwd->isVisible();
        Formchangepwd->Button2->click();
    });
    w->Menu_Password->trigger();
    EXPECT_TRUE(shown);
    vx::platform::SetShellExecHandler(nullptr);
    CloseAndDestroy(w);
    delete Formchangepwd;
    Formchangepwd = nullptr;
}

TEST_F(MainWindow, CloseSavesTheRowsAndLeavesTheEntriesInTheEngine)
{
    Seed({MakeEntry("C:\\a,b", 0x804), MakeEntry(Cp949("C:\\한글"), 0xFFFFFFFFu, 1, "n*")});
    {
        TRegistry reg; // a longer list from an earlier close
        ASSERT_TRUE(reg.OpenKey(EntryKeyPath, true));
        for (int i = 0; i < 12; ++i)
            reg.WriteString(std::to_string(i), "old");
    }
    auto w = Open();
    w->Menu_CloseClick();
    EXPECT_FALSE(w->Protector->ClearOnDestroy());
    w.reset();
    EXPECT_EQ(engine.engine().Count(), 2u);
    EXPECT_EQ(CountCalls(IOCTL_QXD_CLEAR_ENTRIES), 0u);

    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(EntryKeyPath));
    EXPECT_EQ(reg.ReadDword(EntryCountValueName), std::optional<DWORD>(2));
    EXPECT_EQ(reg.ReadString("0"), "C:\\a,b,*,,,2052");
    EXPECT_EQ(reg.ReadString("1"), Cp949("C:\\한글") + ",n*,,,4294967295");
    EXPECT_FALSE(reg.ValueExists("2"));
    EXPECT_FALSE(reg.ValueExists("11"));
}

TEST_F(MainWindow, EmptiedListIsSavedAsEmpty)
{
    Seed({MakeEntry("C:\\a", 1)});
    auto w = Open();
    Select(*w, 0);
    w->Menu_DeleteEntryClick();
    w->ToolButton11->click();
    w.reset();
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(EntryKeyPath));
    EXPECT_EQ(reg.ReadDword(EntryCountValueName), std::optional<DWORD>(0));
    EXPECT_EQ(reg.GetValueNames().size(), 1u);
}

TEST_F(MainWindow, FirstStartAsksForANewPassword)
{
    auto w = Open();
    QTimer::singleShot(0, [] {
        ASSERT_NE(Formsetpass, nullptr);
        ASSERT_TRUE(Formsetpass->isVisible());
        Formsetpass->MaskEdit1->setText("pw");
        Formsetpass->MaskEdit2->setText("pw");
        Formsetpass->Button1->click();
    });
    w->FormShow();
    EXPECT_TRUE(CheckPassword("pw"));
    EXPECT_TRUE(w->Protector->ClearOnDestroy()); // still running: no close happened
    CloseAndDestroy(w);
    delete Formsetpass;
    Formsetpass = nullptr;
}

// A stored password that cannot be read is never "no password": the prompt asks, accepts
// nothing and says why; no new password can be set in its place.
TEST_F(MainWindow, AStoredPasswordThatCannotBeReadKeepsThePrompt)
{
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(PasswordKeyPath, true));
        reg.WriteInteger(PasswordValueName, 1); // not a text
    }
    auto w = Open();
    vx::gui::SetMainForm(w.get());
    w->show();
    bool prompted = false, setShown = false, stayed = false;
    QTimer::singleShot(0, [&] {
        setShown = Formsetpass && Formsetpass->isVisible();
        prompted = Formokpass && Formokpass->isVisible();
        if (!Formokpass) {
            if (Formsetpass)
                Formsetpass->reject(); // ends the program instead of hanging the test
            return;
        }
        Formokpass->MaskEdit1->setText("anything");
        Formokpass->Button1->click();
        stayed = Formokpass->isVisible() && !Formokpass->Passed();
        Formokpass->Button2->click(); // leave
    });
    w->FormShow();
    EXPECT_TRUE(prompted);
    EXPECT_FALSE(setShown);
    EXPECT_TRUE(stayed);
    ASSERT_EQ(messages.texts.size(), 1); // the error report, not a verdict
    EXPECT_NE(messages.texts[0], QString("암호가 틀렸습니다."));
    EXPECT_FALSE(w->isVisible());
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(PasswordKeyPath));
    EXPECT_EQ(reg.ReadDword(PasswordValueName), std::optional<DWORD>(1)); // nothing set in its place
    w.reset();
    delete Formokpass;
    Formokpass = nullptr;
}

TEST_F(MainWindow, QuittingThePromptClosesTheWindowAndSaves)
{
    Seed({MakeEntry("C:\\kept", 0x200)});
    ASSERT_TRUE(StorePassword("pw"));
    auto w = Open();
    vx::gui::SetMainForm(w.get());
    w->show();
    QTimer::singleShot(0, [] {
        ASSERT_NE(Formokpass, nullptr);
        Formokpass->MaskEdit1->setText("wrong");
        Formokpass->Button1->click();
        EXPECT_TRUE(Formokpass->isVisible());
        Formokpass->close(); // the close box
    });
    w->FormShow();
    EXPECT_FALSE(w->isVisible());
    EXPECT_FALSE(w->Protector->ClearOnDestroy());
    EXPECT_EQ(messages.texts, QStringList{"암호가 틀렸습니다."});
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(EntryKeyPath));
    EXPECT_EQ(reg.ReadString("0"), "C:\\kept,*,,,512");
    w.reset();
    EXPECT_EQ(engine.engine().Count(), 1u);
    delete Formokpass;
    Formokpass = nullptr;
}

TEST_F(MainWindow, TheRightPasswordOpensTheConsole)
{
    ASSERT_TRUE(StorePassword("pw"));
    auto w = Open();
    vx::gui::SetMainForm(w.get());
    w->show();
    QTimer::singleShot(0, [] {
        Formokpass->MaskEdit1->setText("pw");
        QTest::keyClick(Formokpass->MaskEdit1, Qt::Key_Return);
    });
    w->FormShow();
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(messages.texts.isEmpty());
    CloseAndDestroy(w);
    delete Formokpass;
    Formokpass = nullptr;
}

TEST_F(MainWindow, PanelsMenusAndToolButtonsAsLaidOut)
{
    auto w = Open();
    w->show();
    EXPECT_EQ(w->Panel3->text(), QString("보호중인 파일/폴더"));
    EXPECT_EQ(w->Panel5->text(), QString("보호 엔트리 정보"));
    EXPECT_EQ(w->Panel3->height(), 21);
    EXPECT_EQ(w->Panel5->height(), 21);
    EXPECT_TRUE(w->Panel3->alignment() & Qt::AlignLeft);
    EXPECT_EQ(w->Panel4->height(), 178);
    EXPECT_EQ(w->ToolBar->height(), 22);
    EXPECT_EQ(w->ListView_Proceted->toolTip(), QString("현재 보호중인 엔트리 목록"));
    EXPECT_EQ(w->TreeView_Entry->toolTip(), QString("엔트리의 상세정보"));
    EXPECT_EQ(w->StatusBar->toolTip(), QString("현재 보호모드"));
    EXPECT_EQ(w->TreeView_Entry->indentation(), 19);
    EXPECT_EQ(w->StatusPanel0->width(), 100);
    EXPECT_EQ(w->StatusPanel1->width(), 50);
    EXPECT_TRUE(w->StatusPanel0->alignment() & Qt::AlignHCenter);
    EXPECT_TRUE(w->StatusText(1).isEmpty());
    EXPECT_EQ(w->ListView_Proceted->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(w->ListView_Proceted->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_FALSE(w->ListView_Proceted->isSortingEnabled());
    EXPECT_EQ(w->ListView_Proceted->header()->sectionResizeMode(0), QHeaderView::Stretch); // fills the rest
    EXPECT_EQ(w->ListView_Proceted->frameShape(), QFrame::NoFrame);
    EXPECT_EQ(w->TreeView_Entry->frameShape(), QFrame::NoFrame);
    EXPECT_EQ(w->ListView_Proceted->editTriggers(), QAbstractItemView::NoEditTriggers);
    const QPalette lp = w->ListView_Proceted->palette(); // the selection stays visible without focus
    EXPECT_EQ(lp.color(QPalette::Inactive, QPalette::Highlight), lp.color(QPalette::Active, QPalette::Highlight));
    EXPECT_EQ(w->ListView_Proceted->contextMenuPolicy(), Qt::CustomContextMenu);

    // The menu bar: captions in order, each submenu's items with their first states.
    struct Item {
        QString caption;
        bool separator, checkable, checked, enabled;
    };
    const std::vector<std::pair<QString, std::vector<Item>>> menus = {
        {"파일(&F)",
         {{"보호 시작(&A)", false, true, true, true}, {"보호 중지(&S)", false, true, false, true},
          {"", true, false, false, true}, {"닫기(&C)", false, false, false, true}}},
        {"편집(&E)",
         {{"엔트리 추가(&A)", false, false, false, true}, {"엔트리 삭제(&D)", false, false, false, false},
          {"엔트리 수정(&M)", false, false, false, false}, {"", true, false, false, true},
          {"새로고침(&R)", false, false, false, true}}},
        {"보기(&V)",
         {{"툴바(&T)", false, true, true, true}, {"", true, false, false, true},
          {"보호 정보(&I)", false, true, true, true}, {"차단 기록(&L)", false, false, false, true}}},
        {"설정(&O)", {{"암호 변경(&P)", false, false, false, true}}},
        {"도움말(&H)",
         {{"도움말(&H)", false, false, false, true}, {"", true, false, false, true},
          {"정보 (&A)", false, false, false, true}}},
    };
    const QList<QAction *> bar = w->MainMenu->actions();
    ASSERT_EQ(bar.size(), static_cast<qsizetype>(menus.size()));
    for (std::size_t m = 0; m < menus.size(); ++m) {
        EXPECT_EQ(bar[m]->text(), menus[m].first);
        ASSERT_NE(bar[m]->menu(), nullptr);
        const QList<QAction *> items = bar[m]->menu()->actions();
        ASSERT_EQ(items.size(), static_cast<qsizetype>(menus[m].second.size())) << menus[m].first.toStdString();
        for (std::size_t i = 0; i < menus[m].second.size(); ++i) {
            const Item &want = menus[m].second[i];
            const std::string where = menus[m].first.toStdString() + " #" + std::to_string(i);
            EXPECT_EQ(items[i]->isSeparator(), want.separator) << where;
            if (want.separator)
                continue;
            EXPECT_EQ(items[i]->text(), want.caption) << where;
            EXPECT_EQ(items[i]->isCheckable(), want.checkable) << where;
            EXPECT_EQ(items[i]->isChecked(), want.checked) << where;
            EXPECT_EQ(items[i]->isEnabled(), want.enabled) << where;
        }
    }

    // The tool buttons left to right, with the 8-wide separators between the groups.
    const std::vector<std::pair<QString, QString>> tools = {
        {"ToolButton1", "보호시작"},  {"ToolButton2", "보호 멈춤"}, {"ToolButton4", ""},
        {"ToolButton5", "엔트리 추가"}, {"ToolButton6", "엔트리 삭제"}, {"ToolButton7", "엔트리 수정"},
        {"ToolButton8", ""},          {"ToolButton9", "새로고침"},  {"ToolButton13", "도움말"},
        {"ToolButton12", ""},         {"ToolButton11", "닫기"}};
    const QList<QAction *> toolActions = w->ToolBar->actions();
    ASSERT_EQ(toolActions.size(), static_cast<qsizetype>(tools.size()));
    int lastX = -1;
    for (std::size_t i = 0; i < tools.size(); ++i) {
        QWidget *tool = w->ToolBar->widgetForAction(toolActions[i]);
        ASSERT_NE(tool, nullptr);
        EXPECT_EQ(tool->objectName(), tools[i].first);
        EXPECT_GT(tool->x(), lastX) << tools[i].first.toStdString();
        lastX = tool->x();
        if (tools[i].second.isEmpty()) {
            EXPECT_EQ(tool->width(), 8) << tools[i].first.toStdString();
        } else {
            EXPECT_EQ(tool->toolTip(), tools[i].second);
            EXPECT_TRUE(tool->isEnabled() || tool == w->ToolButton1) << tools[i].first.toStdString();
        }
    }
    CloseAndDestroy(w);
}

TEST_F(MainWindow, FirstTimerTickReplacesTheStartUpText)
{
    engine.backend().failOpen = ERROR_FILE_NOT_FOUND;
    auto w = Open();
    w->show();
    ASSERT_EQ(w->StatusText(0), QString("연결 안됨"));
    // The window's own timer, not a direct call (waits for it without asserting on time).
    for (int i = 0; i < 600 && w->StatusText(0) == QString("연결 안됨"); ++i)
        QTest::qWait(50);
    EXPECT_EQ(w->StatusText(0), QString("보호 중지"));
    EXPECT_TRUE(w->Menu_NotActive->isChecked());
    EXPECT_FALSE(w->Menu_Active->isChecked());
    EXPECT_FALSE(w->ToolButton2->isEnabled());
    CloseAndDestroy(w);
}

// Makes the store refuse the value named `name` until the returned guard goes.
class RefusedWrite {
public:
    explicit RefusedWrite(const char *name)
    {
        const std::string sql = std::string("CREATE TRIGGER refuse BEFORE INSERT ON vals WHEN NEW.name = CAST('") +
                                name + "' AS BLOB) BEGIN SELECT RAISE(ABORT, 'disk full'); END";
        ok_ = Exec(sql.c_str());
    }
    ~RefusedWrite() { Exec("DROP TRIGGER IF EXISTS refuse"); }
    bool ok() const { return ok_; }

private:
    static bool Exec(const char *sql)
    {
        sqlite3 *db = nullptr;
        bool ok = sqlite3_open(g_env.registry.c_str(), &db) == SQLITE_OK &&
                  sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(db);
        return ok;
    }
    bool ok_ = false;
};

void StoreOldRows()
{
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(EntryKeyPath, true));
    reg.WriteInteger(EntryCountValueName, 2);
    reg.WriteString("0", "C:\\old0,*,,,512");
    reg.WriteString("1", "C:\\old1,*,,,512");
}

void ExpectOldRows()
{
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(EntryKeyPath));
    EXPECT_EQ(reg.ReadDword(EntryCountValueName), std::optional<DWORD>(2));
    EXPECT_EQ(reg.ReadString("0"), "C:\\old0,*,,,512");
    EXPECT_EQ(reg.ReadString("1"), "C:\\old1,*,,,512");
    EXPECT_FALSE(reg.ValueExists("2"));
}

// A save the store refuses halfway: nothing of it stays, the user is told in one message, and
// the console ends all the same, leaving the entries in the engine.
TEST_F(MainWindow, CloseWhoseSaveIsRefusedSaysSoAndEnds)
{
    Seed({MakeEntry("C:\\a", 1), MakeEntry("C:\\b", 2), MakeEntry("C:\\c", 3)});
    StoreOldRows();
    auto w = Open();
    vx::gui::SetMainForm(w.get());
    w->show();
    {
        RefusedWrite refused("1");
        ASSERT_TRUE(refused.ok());
        w->Menu_CloseClick();
    }
    ASSERT_EQ(messages.texts.size(), 1);
    EXPECT_TRUE(messages.texts[0].startsWith("엔트리 목록을 저장하지 못했습니다.\n")) << messages.texts[0].toStdString();
    EXPECT_EQ(messages.captions[0], QApplication::applicationName());
    EXPECT_FALSE(w->isVisible());
    EXPECT_FALSE(w->Protector->ClearOnDestroy());
    ExpectOldRows(); // nothing of the failed save is kept
    w.reset();
    EXPECT_EQ(engine.engine().Count(), 3u);
}

// The engine's list cannot be read at close: the stored rows stay (the rows shown may be
// incomplete), the user is told once, and the console ends.
TEST_F(MainWindow, CloseWithoutTheEnginesListKeepsTheStoredRowsAndSaysSo)
{
    Seed({MakeEntry("C:\\a", 1), MakeEntry("C:\\b", 2)});
    StoreOldRows();
    auto w = Open();
    vx::gui::SetMainForm(w.get());
    w->show();
    ASSERT_EQ(Captions(*w), (QStringList{"C:\\a", "C:\\b"}));
    FailReadsOf(1);
    w->ToolButton11->click();
    EXPECT_EQ(messages.texts, QStringList{"엔트리 목록을 저장하지 못했습니다."});
    EXPECT_FALSE(w->isVisible());
    ExpectOldRows();

    // The same when the count cannot be had.
    messages.texts.clear();
    w = Open();
    Refuse(IOCTL_QXD_GET_ENTRY_COUNT, ERROR_GEN_FAILURE);
    w->Menu_CloseClick();
    EXPECT_EQ(messages.texts, QStringList{"엔트리 목록을 저장하지 못했습니다."});
    ExpectOldRows();
    engine.backend().intercept = nullptr;
    w.reset();
    EXPECT_EQ(engine.engine().Count(), 2u);
}

// What the engine holds at close is saved, also entries another client added meanwhile and
// without those it deleted.
TEST_F(MainWindow, CloseSavesTheEnginesListAsItIsThen)
{
    Seed({MakeEntry("C:\\a", 1), MakeEntry("C:\\b", 2)});
    auto w = Open();
    ASSERT_EQ(Captions(*w), (QStringList{"C:\\a", "C:\\b"}));
    ASSERT_TRUE(engine.engine().Append(MakeEntry("C:\\elsewhere", 512)));
    CloseAndDestroy(w);
    EXPECT_TRUE(messages.texts.isEmpty());
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(EntryKeyPath));
    EXPECT_EQ(reg.ReadDword(EntryCountValueName), std::optional<DWORD>(3));
    EXPECT_EQ(reg.ReadString("2"), "C:\\elsewhere,*,,,512");
}

// Another program keeps the store locked: the close gives up after a short wait (not the
// store's usual 15 s), says so, and ends; the stored rows stay.
TEST_F(MainWindow, LockedStoreEndsTheCloseAfterAShortWait)
{
    Seed({MakeEntry("C:\\a", 1)});
    StoreOldRows();
    auto w = Open();
    vx::gui::SetMainForm(w.get());
    w->show();
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(g_env.registry.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    QElapsedTimer timer;
    timer.start();
    w->Menu_CloseClick();
    const qint64 waited = timer.elapsed();
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_LT(waited, 10000); // bounded by the close's own wait, far below the store's 15 s
    ASSERT_EQ(messages.texts.size(), 1);
    EXPECT_TRUE(messages.texts[0].startsWith("엔트리 목록을 저장하지 못했습니다."));
    EXPECT_FALSE(w->isVisible());
    ExpectOldRows();
    w.reset();
    EXPECT_EQ(engine.engine().Count(), 1u);
}

TEST_F(MainWindow, QuittingThePromptWhileTheSaveIsRefusedStillEndsTheConsole)
{
    Seed({MakeEntry("C:\\a", 1), MakeEntry("C:\\b", 2)});
    ASSERT_TRUE(StorePassword("pw"));
    StoreOldRows();
    auto w = Open();
    vx::gui::SetMainForm(w.get());
    w->show();
    RefusedWrite refused("0");
    ASSERT_TRUE(refused.ok());
    QTimer::singleShot(0, [] {
        ASSERT_NE(Formokpass, nullptr);
        Formokpass->Button2->click();
    });
    w->FormShow();
    ASSERT_EQ(messages.texts.size(), 1); // the refused save, reported
    EXPECT_TRUE(messages.texts[0].startsWith("엔트리 목록을 저장하지 못했습니다."));
    EXPECT_FALSE(w->isVisible());       // but the console is not left open without a password
    EXPECT_FALSE(w->Protector->ClearOnDestroy());
    ExpectOldRows();
    w.reset();
    EXPECT_EQ(engine.engine().Count(), 2u);
    delete Formokpass;
    Formokpass = nullptr;
}

TEST_F(MainWindow, CloseWithoutRightsToTheStoreSaysSoAndEnds)
{
    Seed({MakeEntry("C:\\a", 1)});
    StoreOldRows();
    const QString blocker = vxtest::Q(g_env.dir) + "/blocker-main";
    {
        QFile file(blocker);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    auto w = Open();
    w->show();
    setenv("VELLAMORIX_REGISTRY", (blocker + "/registry.db").toUtf8().constData(), 1);
    w->Menu_CloseClick();
    setenv("VELLAMORIX_REGISTRY", g_env.registry.c_str(), 1);
    EXPECT_FALSE(w->isVisible()); // the close goes on
    EXPECT_EQ(messages.texts, QStringList{"엔트리 목록을 저장하지 못했습니다."});
    EXPECT_FALSE(w->Protector->ClearOnDestroy());
    w.reset();
    EXPECT_EQ(engine.engine().Count(), 1u);
    ExpectOldRows();
    QFile::remove(blocker);
}

} // namespace
