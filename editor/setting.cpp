// SPDX-License-Identifier: GPL-3.0-or-later
#include "editor/setting.h"

#include "editor/entrycheck.h"

#include "platform/codepage/codepage_qt.h"
#include "platform/gui/application.h"
#include "platform/gui/ime.h"
#include "platform/gui/messagebox.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

TForm_SetEntry *Form_SetEntry = nullptr;
int FolderTarget = 0;
std::function<void()> OpenFolderPicker;

namespace {

const QString kIme = QStringLiteral("한국어(한글) (MS-IME98)");

QString U(const AnsiString &ansi)
{
    return vx::codepage::FromAnsi(ansi);
}

AnsiString A(const QString &text)
{
    return vx::codepage::ToAnsi(text);
}

QPushButton *MakeButton(QWidget *parent, const char *name, const QString &caption, const QString &hint,
                        const QRect &geometry)
{
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setToolTip(hint);
    b->setGeometry(geometry);
    return b;
}

QLineEdit *MakeEdit(QWidget *parent, const char *name, bool required, const QRect &geometry)
{
    auto *e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setGeometry(geometry);
    if (required) {
        QPalette p = e->palette();
        p.setColor(QPalette::Base, QApplication::palette().color(QPalette::ToolTipBase));
        p.setColor(QPalette::Text, QApplication::palette().color(QPalette::ToolTipText));
        e->setPalette(p);
    }
    vx::gui::SetImeName(e, kIme);
    return e;
}

QLabel *MakeLabel(QWidget *parent, const QString &text, const QRect &geometry)
{
    auto *l = new QLabel(text, parent);
    l->setGeometry(geometry);
    return l;
}

QComboBox *MakeCombo(QWidget *parent, const char *name, bool editable, const QString &hint,
                     const QRect &geometry)
{
    auto *c = new QComboBox(parent);
    c->setObjectName(QString::fromLatin1(name));
    c->setEditable(editable);
    // Typed text never joins the five items.
    c->setInsertPolicy(QComboBox::NoInsert);
    c->setToolTip(hint);
    c->setGeometry(geometry);
    c->addItems({QString(), QStringLiteral("*"), QStringLiteral("Exploler*"), QStringLiteral("Notepad*"),
                 QStringLiteral("Wordpad*")});
    c->setCurrentIndex(-1);
    return c;
}

} // namespace

TForm_SetEntry::TForm_SetEntry(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("Form_SetEntry"));
    setWindowTitle(QStringLiteral("엔트리 관리자"));
    setFont(QFont(QStringLiteral("굴림"), 9));
    setFixedSize(626, 272);
    setWindowFlags((windowFlags() | Qt::MSWindowsFixedSizeDialogHint) & ~Qt::WindowContextHelpButtonHint);
    // Centred on the desktop, whichever window opened it.
    vx::gui::CentreOnScreen(this);

    // Selection: the four text rows.
    GroupBox1 = new QGroupBox(QStringLiteral(" 선 택 "), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(8, 4, 610, 128);
    const int labelX = 4, editX = 142, editW = 339, c1X = 485, c2X = 550, cW = 54;
    const int rows[4] = {22, 48, 74, 100};
    MakeLabel(GroupBox1, QStringLiteral(" 보호할 파일/폴더 (필수)"), QRect(labelX, rows[0], 136, 21));
    MakeLabel(GroupBox1, QStringLiteral(" 차단할 프로세스  (필수)"), QRect(labelX, rows[1], 136, 21));
    MakeLabel(GroupBox1, QStringLiteral(" 제외할 파일/폴더"), QRect(labelX, rows[2], 136, 21));
    MakeLabel(GroupBox1, QStringLiteral(" 제외할 프로세스"), QRect(labelX, rows[3], 136, 21));

    Edit_FileFolder = MakeEdit(GroupBox1, "Edit_FileFolder", true, QRect(editX, rows[0], editW, 21));
    Edit_Process = MakeEdit(GroupBox1, "Edit_Process", true, QRect(editX, rows[1], editW, 21));
    Edit_Process->setText(QStringLiteral("*"));
    Edit_ExcludeFileFolder = MakeEdit(GroupBox1, "Edit_ExcludeFileFolder", false, QRect(editX, rows[2], editW, 21));
    Edit_ExcludeProcess = MakeEdit(GroupBox1, "Edit_ExcludeProcess", false, QRect(editX, rows[3], editW, 21));

    const QString fileCaption = QStringLiteral("파일"), fileHint = QStringLiteral("파일 찾기");
    const QString folderCaption = QStringLiteral("폴더"), folderHint = QStringLiteral("폴더 찾기");
    const QString userCaption = QStringLiteral("사용자"), userHint = QStringLiteral("직접 찾기");
    Button18 = MakeButton(GroupBox1, "Button18", fileCaption, fileHint, QRect(c1X, rows[0], 62, 21));
    Button19 = MakeButton(GroupBox1, "Button19", folderCaption, folderHint, QRect(c2X, rows[0], cW, 21));
    Combo_Process = MakeCombo(GroupBox1, "Combo_Process", true, QStringLiteral("차단할 프로세스 고르기"),
                              QRect(c1X, rows[1], 62, 21));
    Combo_Process->setEditText(QStringLiteral("All(*)"));
    Button20 = MakeButton(GroupBox1, "Button20", userCaption, userHint, QRect(c2X, rows[1], cW, 21));
    Button22 = MakeButton(GroupBox1, "Button22", fileCaption, fileHint, QRect(c1X, rows[2], 62, 21));
    Button23 = MakeButton(GroupBox1, "Button23", folderCaption, folderHint, QRect(c2X, rows[2], cW, 21));
    Combo_Exclude = MakeCombo(GroupBox1, "Combo_Exclude", false, QStringLiteral("제외할 프로세스 고르기"),
                              QRect(c1X, rows[3], 62, 21));
    Button24 = MakeButton(GroupBox1, "Button24", userCaption, userHint, QRect(c2X, rows[3], cW, 21));

    // Item settings: presets, operation boxes, closing buttons.
    GroupBox2 = new QGroupBox(QStringLiteral(" 아이템 설정 "), this);
    GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
    GroupBox2->setGeometry(8, 136, 610, 128);
    MakeLabel(GroupBox2, QStringLiteral("접근  보임"), QRect(12, 16, 60, 16));
    struct Preset {
        QPushButton **button;
        const char *name;
        QString caption, hint, legend;
    };
    const Preset presets[] = {
        {&B_ReadOnly, "B_ReadOnly", QStringLiteral("읽기전용"), QStringLiteral("오직 읽기만 된다."),
         QStringLiteral("O    O")},
        {&B_NoAccess, "B_NoAccess", QStringLiteral("접근금지"), QStringLiteral("접근이 금지된다."),
         QStringLiteral("X    O")},
        {&B_FullHidden, "B_FullHidden", QStringLiteral("완전감춤"),
         QStringLiteral("접근이 금지되고, 눈에 보이지 않는다."), QStringLiteral("X    X")},
        {&B_Invisible, "B_Invisible", QStringLiteral("보이지않게"),
         QStringLiteral("경로를 알면 접근 가능하고, 눈에 보이지 않는다."), QStringLiteral("O    X")},
    };
    int y = 34;
    for (const Preset &p : presets) {
        MakeLabel(GroupBox2, p.legend, QRect(16, y + 2, 56, 18));
        *p.button = MakeButton(GroupBox2, p.name, p.caption, p.hint, QRect(74, y, 82, 21));
        y += 22;
    }

    struct Op {
        QCheckBox **box;
        const char *name;
        QString caption, hint;
        int col, row, width;
    };
    const Op ops[] = {
        {&Cr, "Cr", QStringLiteral("생성"), QStringLiteral("생성금지"), 0, 0, 90},
        {&Open, "Open", QStringLiteral("열기"), QStringLiteral("열기금지"), 1, 0, 90},
        {&Read, "Read", QStringLiteral("읽기"), QStringLiteral("읽기금지"), 2, 0, 90},
        {&Write, "Write", QStringLiteral("쓰기"), QStringLiteral("쓰기금지"), 3, 0, 90},
        {&Rename, "Rename", QStringLiteral("이름수정"), QStringLiteral("이름수정금지"), 0, 1, 90},
        {&Delete, "Delete", QStringLiteral("삭제"), QStringLiteral("삭제금지"), 1, 1, 90},
        {&Replace, "Replace", QStringLiteral("교체"), QStringLiteral("교체금지"), 2, 1, 90},
        {&Dir_Create, "Dir_Create", QStringLiteral("폴더생성"), QStringLiteral("폴더생성금지"), 3, 1, 90},
        {&Dir_Delete, "Dir_Delete", QStringLiteral("폴더삭제"), QStringLiteral("폴더삭제금지"), 0, 2, 90},
        {&Attr_Set, "Attr_Set", QStringLiteral("속성변경"), QStringLiteral("속성변경금지"), 1, 2, 90},
        {&List, "List", QStringLiteral("보이기"), QStringLiteral("보이기금지"), 2, 2, 90},
        {&Execute, "Execute", QStringLiteral("실행하기( NT/2K/XP용)"), QStringLiteral("실행하기금지"), 3, 2, 160},
    };
    for (const Op &o : ops) {
        auto *box = new QCheckBox(o.caption, GroupBox2);
        box->setObjectName(QString::fromLatin1(o.name));
        box->setToolTip(o.hint);
        box->setGeometry(172 + o.col * 90, 20 + o.row * 24, o.width, 20);
        *o.box = box;
    }

    B_Init = MakeButton(GroupBox2, "B_Init", QStringLiteral("초기화"), QStringLiteral("체크 설정을 초기화한다."),
                        QRect(172, 96, 82, 23));
    B_OK = MakeButton(GroupBox2, "B_OK", QStringLiteral("등 록"), QString(), QRect(430, 94, 80, 25));
    B_Cancle = MakeButton(GroupBox2, "B_Cancle", QStringLiteral("취 소"), QString(), QRect(518, 94, 80, 25));
    B_OK->setDefault(true);

    OpenDialog.Options = vx::gui::ofHideReadOnly | vx::gui::ofAllowMultiSelect | vx::gui::ofEnableSizing;
    TFPRec design;
    design.Process = "*";
    LoadTexts(design);

    connect(Button18, &QPushButton::clicked, this, [this] { Button18Click(); });
    connect(Button19, &QPushButton::clicked, this, [this] { Button19Click(); });
    connect(Button20, &QPushButton::clicked, this, [this] { Button20Click(); });
    connect(Button22, &QPushButton::clicked, this, [this] { Button22Click(); });
    connect(Button23, &QPushButton::clicked, this, [this] { Button23Click(); });
    connect(Button24, &QPushButton::clicked, this, [this] { Button24Click(); });
    connect(Combo_Process, &QComboBox::activated, this, [this] { Combo_ProcessChange(); });
    connect(Combo_Exclude, &QComboBox::activated, this, [this] { Combo_ExcludeChange(); });
    connect(B_ReadOnly, &QPushButton::clicked, this, [this] { B_ReadOnlyClick(); });
    connect(B_NoAccess, &QPushButton::clicked, this, [this] { B_NoAccessClick(); });
    connect(B_FullHidden, &QPushButton::clicked, this, [this] { B_FullHiddenClick(); });
    connect(B_Invisible, &QPushButton::clicked, this, [this] { B_InvisibleClick(); });
    connect(B_Init, &QPushButton::clicked, this, [this] { B_InitClick(); });
    connect(B_OK, &QPushButton::clicked, this, [this] { B_OKClick(); });
    connect(B_Cancle, &QPushButton::clicked, this, [this] { done(2); });
}

void TForm_SetEntry::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept(); // Escape does not close the editor.
        return;
    }
    QDialog::keyPressEvent(event);
}

namespace {

struct OpBit {
    QCheckBox *TForm_SetEntry::*box;
    uint32_t bit;
};

// In the order of ClearOperationChecks.
constexpr OpBit kOpBits[] = {
    {&TForm_SetEntry::Cr, FP_CREATE},          {&TForm_SetEntry::Open, FP_OPEN},
    {&TForm_SetEntry::Read, FP_READ},          {&TForm_SetEntry::Write, FP_WRITE},
    {&TForm_SetEntry::Rename, FP_RENAME},      {&TForm_SetEntry::Delete, FP_DELETE},
    {&TForm_SetEntry::Replace, FP_REPLACE},    {&TForm_SetEntry::Dir_Create, FP_DIR_CREATE},
    {&TForm_SetEntry::Dir_Delete, FP_DIR_DELETE}, {&TForm_SetEntry::Attr_Set, FP_SET_ATTRIBUTES},
    {&TForm_SetEntry::Execute, FP_EXECUTE},    {&TForm_SetEntry::List, FP_LIST},
};

} // namespace

void TForm_SetEntry::SetOperationChecks(uint32_t mask)
{
    for (const OpBit &o : kOpBits)
        (this->*o.box)->setChecked((mask & o.bit) != 0);
}

uint32_t TForm_SetEntry::OperationMask() const
{
    uint32_t mask = 0;
    for (const OpBit &o : kOpBits) {
        if ((this->*o.box)->isChecked())
            mask |= o.bit;
    }
    return mask;
}

void TForm_SetEntry::ClearOperationChecks()
{
    for (const OpBit &o : kOpBits)
        (this->*o.box)->setChecked(false);
}

void TForm_SetEntry::ApplyPreset(uint32_t mask)
{
    // A preset never keeps a box the user checked before.
    ClearOperationChecks();
    SetOperationChecks(mask);
}

void TForm_SetEntry::B_ReadOnlyClick() { ApplyPreset(FP_PRESET_READONLY); }
void TForm_SetEntry::B_NoAccessClick() { ApplyPreset(FP_PRESET_NOACCESS); }
void TForm_SetEntry::B_FullHiddenClick() { ApplyPreset(FP_PRESET_FULLHIDDEN); }
void TForm_SetEntry::B_InvisibleClick() { ApplyPreset(FP_PRESET_INVISIBLE); }

void TForm_SetEntry::B_InitClick()
{
    ClearOperationChecks();
}

void TForm_SetEntry::FileBrowse(QLineEdit *target)
{
    OpenDialog.Filter = QStringLiteral("실행 파일(*.exe;*.com;*.dll;*.vxd;*.386)|*.exe;*.com;*.dll;*.vxd;*.386|"
                                       "문서 파일(*.doc;*.txt;*.hwp)|*.doc;*.txt;*.hwp|"
                                       "그림 파일(*.jpg;*.gif;*.bmp)|*.jpg;*.gif;*.bmp|"
                                       "모든 파일(*.*)|*.*");
    OpenDialog.FilterIndex = 1;
    QString result;
    if (OpenDialog.Execute(this)) {
        for (const QString &file : OpenDialog.Files())
            result += file + QLatin1Char(';');
    }
    // A cancelled dialog empties the field as well.
    target->setText(result);
}

QString ProcessPatternFromFile(const QString &path)
{
    const int sep = std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    const QString name = path.mid(sep + 1);
    // Programs here mostly have no extension; "*" alone would stand for every process.
    const int dot = name.indexOf(QLatin1Char('.'), name.startsWith(QLatin1Char('.')) ? 1 : 0);
    return (dot < 0 ? name : name.left(dot)) + QLatin1Char('*');
}

QString CommaRefusedMessage()
{
    return QStringLiteral("쉼표(,)는 쓸 수 없습니다.");
}

void TForm_SetEntry::ProgramBrowse(QLineEdit *target)
{
    OpenDialog.Filter = QStringLiteral("프로세스(*.exe;*.com)|*.exe;*.com|모든 파일(*)|*");
    OpenDialog.FilterIndex = 1;
    if (!OpenDialog.Execute(this))
        return;
    target->setText(ProcessPatternFromFile(OpenDialog.FileName()));
}

void TForm_SetEntry::OpenFolderFor(int target)
{
    FolderTarget = target;
    if (OpenFolderPicker)
        OpenFolderPicker();
}

void TForm_SetEntry::Button18Click() { FileBrowse(Edit_FileFolder); }
void TForm_SetEntry::Button19Click() { OpenFolderFor(1); }
void TForm_SetEntry::Button20Click() { ProgramBrowse(Edit_Process); }
void TForm_SetEntry::Button22Click() { FileBrowse(Edit_ExcludeFileFolder); }
void TForm_SetEntry::Button23Click() { OpenFolderFor(2); }
void TForm_SetEntry::Button24Click() { ProgramBrowse(Edit_ExcludeProcess); }

void TForm_SetEntry::Combo_ProcessChange()
{
    const int index = Combo_Process->currentIndex();
    if (index >= 0)
        Edit_Process->setText(Combo_Process->itemText(index));
}

void TForm_SetEntry::Combo_ExcludeChange()
{
    const int index = Combo_Exclude->currentIndex();
    if (index >= 0)
        Edit_ExcludeProcess->setText(Combo_Exclude->itemText(index));
}

void TForm_SetEntry::B_OKClick()
{
    uint32_t mask = 0;
    const std::pair<QCheckBox *, uint32_t> order[] = {
        {Read, FP_READ},     {Write, FP_WRITE},      {Open, FP_OPEN},           {Rename, FP_RENAME},
        {Delete, FP_DELETE}, {List, FP_LIST},        {Cr, FP_CREATE},           {Replace, FP_REPLACE},
        {Attr_Set, FP_SET_ATTRIBUTES}, {Dir_Create, FP_DIR_CREATE}, {Dir_Delete, FP_DIR_DELETE},
        {Execute, FP_EXECUTE},
    };
    for (const auto &[box, bit] : order) {
        if (box->isChecked())
            mask |= bit;
    }
    // The texts go on exactly: nothing replaced, and no field that would split the stored text.
    std::array<std::optional<AnsiString>, 4> texts;
    for (size_t i = 0; i < texts.size(); ++i) {
        AnsiString bytes;
        if (FieldBytes(i, bytes))
            texts[i] = std::move(bytes);
    }
    switch (CheckEntryTexts(texts, mask, Record_)) {
    case EntryRefusal::None:
        done(1);
        return;
    case EntryRefusal::EmptyPath:
        vx::gui::ShowMessage(QStringLiteral("필수 항목이 비었습니다."));
        done(2);
        return;
    case EntryRefusal::NotRepresentable:
        vx::gui::ShowMessage(vx::codepage::NotRepresentableMessage());
        return;
    case EntryRefusal::Comma:
        vx::gui::ShowMessage(CommaRefusedMessage());
        return;
    }
}

std::array<QLineEdit *, 4> TForm_SetEntry::TextFields() const
{
    return {Edit_FileFolder, Edit_Process, Edit_ExcludeFileFolder, Edit_ExcludeProcess};
}

void TForm_SetEntry::LoadTexts(const TFPRec &entry)
{
    const std::array<const AnsiString *, 4> texts = {&entry.FileFolder, &entry.Process, &entry.ExcludeFileFolder,
                                                     &entry.ExcludeProcess};
    const std::array<QLineEdit *, 4> fields = TextFields();
    for (size_t i = 0; i < fields.size(); ++i) {
        fields[i]->setText(U(*texts[i]));
        LoadedBytes_[i] = *texts[i];
        LoadedTexts_[i] = fields[i]->text(); // as shown: a field may cut a very long text
    }
}

bool TForm_SetEntry::FieldBytes(size_t i, AnsiString &bytes) const
{
    const QString text = TextFields()[i]->text();
    if (text == LoadedTexts_[i]) {
        bytes = LoadedBytes_[i];
        return true;
    }
    if (!vx::codepage::IsAnsiRepresentable(text))
        return false;
    bytes = A(text);
    return true;
}

int ShowEntryEditor(int mode, TFPRec &entry)
{
    (void)mode; // the editor looks and behaves the same for adding and changing
    // Owned by the application for its one use; destroyed before returning.
    QPointer<TForm_SetEntry> dialog = new TForm_SetEntry(QApplication::activeWindow());
    TForm_SetEntry *const previous = Form_SetEntry;
    Form_SetEntry = dialog;
    dialog->SetOperationChecks(entry.Mask);
    dialog->LoadTexts(entry);
    dialog->exec();
    int result = 2;
    if (dialog) {
        entry = dialog->Record();
        result = dialog->result();
        delete dialog.data();
    } else {
        entry = TFPRec{};
    }
    Form_SetEntry = previous;
    return result;
}
