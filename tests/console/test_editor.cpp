// The entry editor through its real widgets: presets, masks, browse results, validation.
#include "consoletest.h"
#include "editor/setting.h"
#include "platform/gui/ime.h"
#include "support/cp949.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <functional>

namespace {

vxtest::PrivateEnvironment g_env;

// Runs ShowEntryEditor with `drive` acting on the open dialog once it is shown.
int RunEditor(TFPRec &rec, std::function<void(TForm_SetEntry *)> drive, int mode = EDITOR_MODE_ADD)
{
    bool ran = false;
    QTimer::singleShot(0, [&] {
        ran = true;
        TForm_SetEntry *d = Form_SetEntry;
        if (!d)
            return;
        drive(d);
        if (d->isVisible() && Form_SetEntry == d) // the test left it open: cancel
            d->B_Cancle->click();
    });
    const int result = ShowEntryEditor(mode, rec);
    EXPECT_TRUE(ran);
    return result;
}

std::vector<QCheckBox *> Boxes(TForm_SetEntry *d)
{
    return {d->Cr, d->Open, d->Read, d->Write, d->Rename, d->Delete, d->Replace, d->Dir_Create,
            d->Dir_Delete, d->Attr_Set, d->Execute, d->List};
}

std::vector<QString> Checked(TForm_SetEntry *d)
{
    std::vector<QString> names;
    for (QCheckBox *b : Boxes(d)) {
        if (b->isChecked())
            names.push_back(b->objectName());
    }
    return names;
}

uint32_t MaskAfterOk(TForm_SetEntry &d)
{
    d.Edit_FileFolder->setText("C:\\x");
    d.B_OK->click();
    EXPECT_EQ(d.result(), 1);
    return d.Record().Mask;
}

TEST(EntryEditor, NewEntryStartsEmptyAndEmptyPathIsRefused)
{
    vxtest::MessageRecorder messages;
    TFPRec rec;
    rec.Process = "*";
    const int result = RunEditor(rec, [](TForm_SetEntry *d) {
        EXPECT_EQ(d->windowTitle(), QString("엔트리 관리자"));
        EXPECT_TRUE(Checked(d).empty());
        EXPECT_EQ(d->Edit_Process->text(), QString("*"));
        EXPECT_TRUE(d->Edit_FileFolder->text().isEmpty());
        EXPECT_TRUE(d->Edit_ExcludeFileFolder->text().isEmpty());
        EXPECT_TRUE(d->Edit_ExcludeProcess->text().isEmpty());
        EXPECT_EQ(d->Combo_Process->currentText(), QString("All(*)"));
        EXPECT_EQ(d->Combo_Exclude->currentIndex(), -1);
        EXPECT_EQ(d->size(), QSize(626, 272));
        d->Edit_Process->clear(); // only the path is required
        d->B_OK->click();
    });
    EXPECT_EQ(result, 2);
    ASSERT_EQ(messages.texts.size(), 1);
    EXPECT_EQ(messages.texts[0], QString("필수 항목이 비었습니다."));
    EXPECT_EQ(rec, TFPRec{});
    EXPECT_EQ(Form_SetEntry, nullptr);
}

TEST(EntryEditor, ReadOnlyMaskShowsItsBoxesAndComesBackUnchanged)
{
    TFPRec rec{Cp949("C:\\자료;"), "", "notepad*", "", 1079472};
    const int result = RunEditor(rec, [](TForm_SetEntry *d) {
        const std::vector<QString> expected{"Cr", "Write", "Rename", "Delete", "Replace", "Dir_Create",
                                            "Dir_Delete", "Attr_Set"};
        EXPECT_EQ(Checked(d), expected);
        EXPECT_EQ(d->Edit_FileFolder->text(), QString("C:\\자료;"));
        d->B_OK->click();
    }, EDITOR_MODE_CHANGE);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(rec.Mask, 1079472u);
    EXPECT_EQ(rec.FileFolder, Cp949("C:\\자료;"));
    EXPECT_EQ(rec.Process, "notepad*");
}

TEST(EntryEditor, BitsWithoutABoxAreDropped)
{
    TFPRec rec{"C:\\a", "", "*", "", FP_PRESET_NOACCESS | FP_GET_LAST_ACCESS_TIME | 0x80000000u};
    EXPECT_EQ(RunEditor(rec, [](TForm_SetEntry *d) { d->B_OK->click(); }), 1);
    EXPECT_EQ(rec.Mask, FP_PRESET_NOACCESS);
}

TEST(EntryEditor, EachBoxIsOneBitWithItsHint)
{
    const std::pair<const char *, uint32_t> bits[] = {
        {"Cr", 0x800},     {"Open", 0x4},         {"Read", 0x40},        {"Write", 0x80},
        {"Rename", 0x10},  {"Delete", 0x20},      {"Replace", 0x1000},   {"Dir_Create", 0x4000},
        {"Dir_Delete", 0x2000}, {"Attr_Set", 0x100000}, {"Execute", 0x400}, {"List", 0x200}};
    for (const auto &[name, bit] : bits) {
        TForm_SetEntry d;
        auto *box = d.findChild<QCheckBox *>(name);
        ASSERT_NE(box, nullptr) << name;
        EXPECT_EQ(box->toolTip(), box->text().section('(', 0, 0) + "금지") << name;
        box->setChecked(true);
        EXPECT_EQ(MaskAfterOk(d), bit) << name;
    }
}

TEST(EntryEditor, PresetsReplaceEveryBox)
{
    const std::pair<const char *, uint32_t> presets[] = {{"B_ReadOnly", 0x1078B0},
                                                         {"B_NoAccess", 0x804},
                                                         {"B_FullHidden", 0xA04},
                                                         {"B_Invisible", 0x200},
                                                         {"B_Init", 0}};
    for (const auto &[name, mask] : presets) {
        TForm_SetEntry d;
        d.Write->setChecked(true);
        d.Execute->setChecked(true);
        auto *button = d.findChild<QPushButton *>(name);
        ASSERT_NE(button, nullptr) << name;
        button->click();
        EXPECT_EQ(MaskAfterOk(d), mask) << name;
    }
    // The boxes stay free to change after a preset.
    TForm_SetEntry d;
    d.B_NoAccess->click();
    d.List->setChecked(true);
    EXPECT_EQ(MaskAfterOk(d), 0xA04u);
}

TEST(EntryEditor, FileBrowseListsEveryFileAndCancelEmptiesTheField)
{
    vxtest::FileDialogScript dialogs;
    TForm_SetEntry d;
    dialogs.answers.push_back(QStringList{"C:\\a.txt", "C:\\b.txt", "C:\\c.txt"});
    d.Button18->click();
    EXPECT_EQ(d.Edit_FileFolder->text(), QString("C:\\a.txt;C:\\b.txt;C:\\c.txt;"));
    ASSERT_EQ(dialogs.calls.size(), 1u);
    EXPECT_EQ(dialogs.calls[0].filter,
              QString("실행 파일(*.exe;*.com;*.dll;*.vxd;*.386)|*.exe;*.com;*.dll;*.vxd;*.386|"
                      "문서 파일(*.doc;*.txt;*.hwp)|*.doc;*.txt;*.hwp|"
                      "그림 파일(*.jpg;*.gif;*.bmp)|*.jpg;*.gif;*.bmp|모든 파일(*.*)|*.*"));
    EXPECT_EQ(dialogs.calls[0].filterIndex, 1);
    EXPECT_TRUE(dialogs.calls[0].options & vx::gui::ofAllowMultiSelect);
    EXPECT_TRUE(dialogs.calls[0].options & vx::gui::ofHideReadOnly);

    dialogs.answers.push_back(std::nullopt);
    d.Button18->click();
    EXPECT_TRUE(d.Edit_FileFolder->text().isEmpty());

    // The excluded field has its own button; the protected field is untouched.
    d.Edit_FileFolder->setText("keep");
    dialogs.answers.push_back(QStringList{"D:\\x.doc"});
    d.Button22->click();
    EXPECT_EQ(d.Edit_ExcludeFileFolder->text(), QString("D:\\x.doc;"));
    EXPECT_EQ(d.Edit_FileFolder->text(), QString("keep"));
}

TEST(EntryEditor, ProgramBrowseMakesANamePattern)
{
    vxtest::FileDialogScript dialogs;
    TForm_SetEntry d;
    dialogs.answers.push_back(QStringList{"C:\\Windows\\notepad.exe", "C:\\other.exe"});
    d.Button20->click();
    EXPECT_EQ(d.Edit_Process->text(), QString("notepad*"));
    EXPECT_EQ(dialogs.calls.back().filter, QString("프로세스(*.exe;*.com)|*.exe;*.com"));

    dialogs.answers.push_back(QStringList{"C:\\tools\\my.tool.exe"});
    d.Button24->click();
    EXPECT_EQ(d.Edit_ExcludeProcess->text(), QString("my*"));

    dialogs.answers.push_back(std::nullopt); // cancel changes nothing
    d.Button24->click();
    EXPECT_EQ(d.Edit_ExcludeProcess->text(), QString("my*"));

    EXPECT_EQ(ProcessPatternFromFile("C:\\bin\\tool"), QString("*"));
    EXPECT_EQ(ProcessPatternFromFile("/usr/bin/x.y"), QString("x*"));
    EXPECT_EQ(ProcessPatternFromFile("C:\\dir.d\\prog"), QString("*"));
}

TEST(EntryEditor, ComboChoicesReplaceTheField)
{
    TForm_SetEntry d;
    d.Edit_ExcludeProcess->setText("old");
    d.Combo_Exclude->setCurrentIndex(0);
    emit d.Combo_Exclude->activated(0);
    EXPECT_TRUE(d.Edit_ExcludeProcess->text().isEmpty());
    d.Combo_Process->setCurrentIndex(3);
    emit d.Combo_Process->activated(3);
    EXPECT_EQ(d.Edit_Process->text(), QString("Notepad*"));
    const QStringList items{"", "*", "Exploler*", "Notepad*", "Wordpad*"};
    for (QComboBox *c : {d.Combo_Process, d.Combo_Exclude}) {
        ASSERT_EQ(c->count(), items.size());
        for (int i = 0; i < items.size(); ++i)
            EXPECT_EQ(c->itemText(i), items[i]);
    }
    // Typing into the process list's own field neither fails nor changes the process field,
    // and the typed text does not join the items.
    d.Combo_Process->setEditText("typed");
    d.Combo_ProcessChange();
    EXPECT_EQ(d.Edit_Process->text(), QString("Notepad*"));
    vxtest::MessageRecorder messages; // nothing is expected; never a modal box
    d.Combo_Process->setEditText("typed2");
    QTest::keyClick(d.Combo_Process->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(d.Combo_Process->count(), items.size());
    EXPECT_EQ(d.Combo_Process->findText("typed2"), -1);
    EXPECT_EQ(d.Edit_Process->text(), QString("Notepad*"));
    EXPECT_FALSE(d.Combo_Exclude->isEditable());
}

TEST(EntryEditor, CancelCloseBoxAndEscape)
{
    TFPRec rec{"C:\\a", "C:\\b", "*", "x*", 0x804};
    EXPECT_EQ(RunEditor(rec, [](TForm_SetEntry *d) { d->B_Cancle->click(); }), 2);
    EXPECT_EQ(rec, TFPRec{});

    rec = TFPRec{"C:\\a", "", "*", "", 0x804};
    EXPECT_EQ(RunEditor(rec, [](TForm_SetEntry *d) { d->close(); }), 2);
    EXPECT_EQ(rec, TFPRec{});

    rec = TFPRec{"C:\\a", "", "*", "", 0x804};
    bool stillOpen = false;
    EXPECT_EQ(RunEditor(rec, [&](TForm_SetEntry *d) {
                  QTest::keyClick(d, Qt::Key_Escape);
                  stillOpen = d->isVisible();
                  d->B_OK->click();
              }),
              1);
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(rec.Mask, 0x804u);
}

TEST(EntryEditor, EnterInAFieldRegisters)
{
    TFPRec rec{"", "", "*", "", 0};
    EXPECT_EQ(RunEditor(rec, [](TForm_SetEntry *d) {
                  d->Edit_FileFolder->setText("C:\\typed");
                  d->Write->setChecked(true);
                  QTest::keyClick(d->Edit_FileFolder, Qt::Key_Return);
              }),
              1);
    EXPECT_EQ(rec.FileFolder, "C:\\typed");
    EXPECT_EQ(rec.Mask, FP_WRITE);

    // Also from a check box and from the process list; a focused button takes Enter itself.
    const auto enterIn = [](auto field) {
        return [field](TForm_SetEntry *d) {
            d->Edit_FileFolder->setText("C:\\x");
            QWidget *target = field(d);
            target->setFocus();
            QTest::keyClick(target, Qt::Key_Return);
        };
    };
    rec = TFPRec{};
    EXPECT_EQ(RunEditor(rec, enterIn([](TForm_SetEntry *d) -> QWidget * { return d->List; })), 1);
    rec = TFPRec{};
    EXPECT_EQ(RunEditor(rec, enterIn([](TForm_SetEntry *d) -> QWidget * { return d->Combo_Exclude; })), 1);
    rec = TFPRec{};
    EXPECT_EQ(RunEditor(rec, enterIn([](TForm_SetEntry *d) -> QWidget * { return d->Combo_Process; })), 1);
    rec = TFPRec{};
    EXPECT_EQ(RunEditor(rec, enterIn([](TForm_SetEntry *d) -> QWidget * { return d->B_Cancle; })), 2);
}

TEST(EntryEditor, FolderButtonsSetTheTargetAndOpenThePicker)
{
    std::vector<int> targets;
    OpenFolderPicker = [&] {
        targets.push_back(FolderTarget);
        // The picker writes through the global editor reference.
        ASSERT_NE(Form_SetEntry, nullptr);
        QLineEdit *field = FolderTarget == 1 ? Form_SetEntry->Edit_FileFolder : Form_SetEntry->Edit_ExcludeFileFolder;
        field->setText(field->text() + "C:\\Data;C:\\Data\\*;");
    };
    TFPRec rec{"", "", "*", "", 0};
    EXPECT_EQ(RunEditor(rec, [](TForm_SetEntry *d) {
                  d->Button19->click();
                  d->Button23->click();
                  d->B_OK->click();
              }),
              1);
    OpenFolderPicker = nullptr;
    EXPECT_EQ(targets, (std::vector<int>{1, 2}));
    EXPECT_EQ(rec.FileFolder, "C:\\Data;C:\\Data\\*;");
    EXPECT_EQ(rec.ExcludeFileFolder, "C:\\Data;C:\\Data\\*;");

    // Without a picker the buttons still set the target and nothing fails.
    TForm_SetEntry d;
    d.Button23->click();
    EXPECT_EQ(FolderTarget, 2);
    d.Button19->click();
    EXPECT_EQ(FolderTarget, 1);
}

TEST(EntryEditor, TextFieldsAskForTheKoreanInputMethod)
{
    TForm_SetEntry d;
    QLineEdit other; // asks for another method, so each field's own request is seen
    vx::gui::SetImeName(&other, "other");
    for (QLineEdit *e : {d.Edit_FileFolder, d.Edit_Process, d.Edit_ExcludeFileFolder, d.Edit_ExcludeProcess}) {
        QFocusEvent otherIn(QEvent::FocusIn);
        QApplication::sendEvent(&other, &otherIn);
        ASSERT_EQ(vx::gui::LastRequestedIme(), QString("other"));
        QFocusEvent in(QEvent::FocusIn);
        QApplication::sendEvent(e, &in);
        EXPECT_EQ(vx::gui::LastRequestedIme(), QString("한국어(한글) (MS-IME98)")) << e->objectName().toStdString();
    }
    // Required fields are yellow, optional ones are not.
    EXPECT_NE(d.Edit_FileFolder->palette().color(QPalette::Base), d.Edit_ExcludeFileFolder->palette().color(QPalette::Base));
    EXPECT_EQ(d.Edit_FileFolder->palette().color(QPalette::Base), d.Edit_Process->palette().color(QPalette::Base));
}

TEST(EntryEditor, CentredOnTheDesktopWhoeverOpensIt)
{
    QWidget opener;
    opener.setGeometry(0, 0, 200, 100);
    opener.show();
    TForm_SetEntry d(&opener);
    d.show();
    const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE((d.geometry().center() - centre).manhattanLength(), 10); // frame margins aside
    EXPECT_EQ(d.size(), QSize(626, 272));
    EXPECT_EQ(d.minimumSize(), d.maximumSize()); // not resizable
}

TEST(FileDialogSeam, LocalPathsTakeTheDriveForm)
{
    setenv("VELLAMORIX_DRIVES", "C:=/,D:=/srv/data", 1);
    EXPECT_EQ(vx::gui::ToDrivePath("/home/a.txt"), QString("C:\\home\\a.txt"));
    EXPECT_EQ(vx::gui::ToDrivePath("/srv/data/x/y.doc"), QString("D:\\x\\y.doc"));
    EXPECT_EQ(vx::gui::ToDrivePath("/srv/database"), QString("C:\\srv\\database"));
    setenv("VELLAMORIX_DRIVES", "D:=/srv", 1);
    EXPECT_EQ(vx::gui::ToDrivePath("/etc/passwd"), QString("/etc/passwd"));
    unsetenv("VELLAMORIX_DRIVES");
}

} // namespace
