// The entry editor through its real widgets: presets, masks, browse results, validation.
#include "support/consoletest.h"
#include "editor/setting.h"
#include "platform/gui/ime.h"
#include "support/cp949.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <functional>

namespace {

vxtest::Sandbox g_env;

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

// B_OK hands nothing on changed: a character CP949 lacks is refused with the dialog left open as
// typed, and a field the user did not edit gives back its own bytes, also bytes that are not
// valid CP949.
TEST(EntryEditor, TextsCp949CannotHoldAreRefusedAndUntouchedFieldsKeepTheirBytes)
{
    vxtest::MessageRecorder messages;
    const AnsiString invalid = "C:\\\xFF\x80x\xA1"; // a lone lead byte at the end too
    TFPRec rec{invalid, Cp949("C:\\자료"), "n*", "\x81", FP_PRESET_NOACCESS};
    EXPECT_EQ(RunEditor(rec, [](TForm_SetEntry *d) { d->B_OK->click(); }, EDITOR_MODE_CHANGE), 1);
    EXPECT_EQ(rec, (TFPRec{invalid, Cp949("C:\\자료"), "n*", "\x81", FP_PRESET_NOACCESS}));
    EXPECT_TRUE(messages.texts.isEmpty());

    // Typed text the code page cannot hold, in any field: refused, everything stays as typed.
    const QString cafe = QString::fromUtf8("C:\\café");
    for (int field = 0; field < 4; ++field) {
        rec = TFPRec{"C:\\a", "", "*", "", FP_PRESET_NOACCESS};
        bool open = false;
        QStringList texts;
        const int result = RunEditor(rec, [&](TForm_SetEntry *d) {
            QLineEdit *fields[] = {d->Edit_FileFolder, d->Edit_Process, d->Edit_ExcludeFileFolder,
                                   d->Edit_ExcludeProcess};
            fields[field]->setText(field == 0 ? cafe : QString::fromUtf8("😀*"));
            d->B_Invisible->click();
            d->B_OK->click();
            open = d->isVisible();
            for (QLineEdit *f : fields)
                texts << f->text();
            EXPECT_TRUE(d->List->isChecked() && !d->Open->isChecked());
            EXPECT_EQ(d->Record(), TFPRec{});
        });
        EXPECT_TRUE(open) << field;
        EXPECT_EQ(result, 2) << field; // cancelled by the test afterwards
        QStringList want{"C:\\a", "*", "", ""};
        want[field] = field == 0 ? cafe : QString::fromUtf8("😀*");
        EXPECT_EQ(texts, want) << field;
    }
    EXPECT_EQ(messages.texts, QStringList(4, QString("CP949로 나타낼 수 없는 글자가 있습니다.")));

    // After the refusal the user mends the field and registers; the untouched fields still
    // give back their own bytes.
    messages.texts.clear();
    rec = TFPRec{invalid, "", "\xFE", "", 0};
    EXPECT_EQ(RunEditor(rec, [&](TForm_SetEntry *d) {
                  d->Edit_ExcludeFileFolder->setText(cafe);
                  d->B_OK->click();
                  ASSERT_TRUE(d->isVisible());
                  d->Edit_ExcludeFileFolder->setText("C:\\cafe");
                  d->B_OK->click();
              }, EDITOR_MODE_CHANGE),
              1);
    EXPECT_EQ(rec, (TFPRec{invalid, "C:\\cafe", "\xFE", "", 0}));
    EXPECT_EQ(messages.texts.size(), 1);

    // An edited field that still shows a byte CP949 has no character for cannot be handed on.
    messages.texts.clear();
    rec = TFPRec{invalid, "", "*", "", 0};
    bool open = false;
    RunEditor(rec, [&](TForm_SetEntry *d) {
        d->Edit_FileFolder->setText(d->Edit_FileFolder->text() + ";");
        d->B_OK->click();
        open = d->isVisible();
    }, EDITOR_MODE_CHANGE);
    EXPECT_TRUE(open);
    EXPECT_EQ(messages.texts, QStringList{"CP949로 나타낼 수 없는 글자가 있습니다."});

    // Typed back to what it showed: the field is the entry's own again.
    rec = TFPRec{invalid, "", "*", "", 0};
    EXPECT_EQ(RunEditor(rec, [&](TForm_SetEntry *d) {
                  const QString shown = d->Edit_FileFolder->text();
                  d->Edit_FileFolder->setText("C:\\other");
                  d->Edit_FileFolder->setText(shown);
                  d->B_OK->click();
              }, EDITOR_MODE_CHANGE),
              1);
    EXPECT_EQ(rec.FileFolder, invalid);
}

// The stored entry text joins its fields with ",": a field holding one would split it, and the
// engine would drop the entry at its next start.
TEST(EntryEditor, CommaInAnyTextFieldIsRefused)
{
    vxtest::MessageRecorder messages;
    for (int field = 0; field < 4; ++field) {
        TFPRec rec{"C:\\a", "", "*", "", 0};
        bool open = false;
        QString typed;
        RunEditor(rec, [&](TForm_SetEntry *d) {
            QLineEdit *fields[] = {d->Edit_FileFolder, d->Edit_Process, d->Edit_ExcludeFileFolder,
                                   d->Edit_ExcludeProcess};
            fields[field]->setText("C:\\a,b");
            d->B_OK->click();
            open = d->isVisible();
            typed = fields[field]->text();
        });
        EXPECT_TRUE(open) << field;
        EXPECT_EQ(typed, QString("C:\\a,b")) << field;
    }
    // Also a comma the entry already held, untouched.
    TFPRec rec{"C:\\x", "", "a,b*", "", 0};
    bool open = false;
    RunEditor(rec, [&](TForm_SetEntry *d) {
        d->B_OK->click();
        open = d->isVisible();
    }, EDITOR_MODE_CHANGE);
    EXPECT_TRUE(open);
    EXPECT_EQ(messages.texts, QStringList(5, QString("쉼표(,)는 쓸 수 없습니다.")));

    // Without the comma the entry registers.
    messages.texts.clear();
    rec = TFPRec{"C:\\x", "", "a,b*", "", 0};
    EXPECT_EQ(RunEditor(rec, [](TForm_SetEntry *d) {
                  d->Edit_Process->setText("a*");
                  d->B_OK->click();
              }, EDITOR_MODE_CHANGE),
              1);
    EXPECT_EQ(rec.Process, "a*");
    EXPECT_TRUE(messages.texts.isEmpty());
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
    // The program filter first, then every file: programs here mostly have no extension.
    EXPECT_EQ(dialogs.calls.back().filter, QString("프로세스(*.exe;*.com)|*.exe;*.com|모든 파일(*)|*"));
    EXPECT_EQ(dialogs.calls.back().filterIndex, 1);

    dialogs.answers.push_back(QStringList{"C:\\tools\\my.tool.exe"});
    d.Button24->click();
    EXPECT_EQ(d.Edit_ExcludeProcess->text(), QString("my*"));

    dialogs.answers.push_back(std::nullopt); // cancel changes nothing
    d.Button24->click();
    EXPECT_EQ(d.Edit_ExcludeProcess->text(), QString("my*"));

    // A name without a "." is the name and "*", never "*" alone (every process).
    dialogs.answers.push_back(QStringList{"C:\\usr\\bin\\bash"});
    d.Button20->click();
    EXPECT_EQ(d.Edit_Process->text(), QString("bash*"));
    EXPECT_EQ(ProcessPatternFromFile("C:\\bin\\tool"), QString("tool*"));
    EXPECT_EQ(ProcessPatternFromFile("/usr/bin/x.y"), QString("x*"));
    EXPECT_EQ(ProcessPatternFromFile("C:\\dir.d\\prog"), QString("prog*"));
    EXPECT_EQ(ProcessPatternFromFile("C:\\x\\.profile"), QString(".profile*"));
    EXPECT_EQ(ProcessPatternFromFile("C:\\x\\.hidden.sh"), QString(".hidden*"));
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

// The names of the filters the real file dialog lists, read while it is open; the dialog is then
// cancelled.
QStringList FilterNamesShownBy(const std::function<void()> &open)
{
    QStringList shown;
    std::function<void()> look = [&] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *dialog = qobject_cast<QFileDialog *>(w);
            if (!dialog || !dialog->isVisible())
                continue;
            if (auto *combo = dialog->findChild<QComboBox *>(QStringLiteral("fileTypeCombo")))
                for (int i = 0; i < combo->count(); ++i)
                    shown << combo->itemText(i);
            dialog->reject();
            return;
        }
        QTimer::singleShot(10, look); // not shown yet
    };
    QTimer::singleShot(0, look);
    open();
    return shown;
}

TEST(FileDialogSeam, TheDialogListsEachDescriptionExactly)
{
    TForm_SetEntry d;
    EXPECT_EQ(FilterNamesShownBy([&] { d.Button18->click(); }),
              (QStringList{"실행 파일(*.exe;*.com;*.dll;*.vxd;*.386)", "문서 파일(*.doc;*.txt;*.hwp)",
                           "그림 파일(*.jpg;*.gif;*.bmp)", "모든 파일(*.*)"}));
    EXPECT_EQ(FilterNamesShownBy([&] { d.Button24->click(); }), (QStringList{"프로세스(*.exe;*.com)", "모든 파일(*)"}));

    // What each description lets through: "*.*" is every file, as on Windows.
    EXPECT_EQ(vx::gui::QtFilters("모든 파일(*.*)|*.*|프로세스(*.exe;*.com)|*.exe;*.com"),
              (QStringList{"모든 파일(*.*) (*)", "프로세스(*.exe;*.com) (*.exe *.com)"}));
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
