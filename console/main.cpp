// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/main.h"

#include "console/about.h"
#include "console/datafiles.h"
#include "console/denials.h"
#include "console/enginesave.h"
#include "console/images.h"
#include "editor/setting.h"
#include "engine/protector.h"
#include "password/changepwd.h"
#include "password/okpass.h"
#include "password/scrambler.h"
#include "password/setpass.h"
#include "platform/codepage/codepage_qt.h"
#include "platform/device/arena.h"
#include "platform/exec/exec.h"
#include "platform/gui/application.h"
#include "platform/gui/messagebox.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

TFormVellamorix *FormVellamorix = nullptr;

namespace {

const QString kNotConnected = QStringLiteral("연결 안됨");
const QString kNoSelection = QStringLiteral("선택된 엔트리가 없습니다.");
const QString kNotDeleted = QStringLiteral("삭제 안됨");
const QString kNotModified = QStringLiteral("수정 안됨");
const QString kNotSaved = QStringLiteral("엔트리 목록을 저장하지 못했습니다.");

// The close waits this long at most for a registry store another process holds locked.
constexpr std::chrono::seconds kCloseSaveWait{2};

// Row data: the engine index the row is bound to, and the entry's exact bytes.
constexpr int RoleIndex = Qt::UserRole;
constexpr int RoleFileFolder = Qt::UserRole + 1;
constexpr int RoleExcludeFileFolder = Qt::UserRole + 2;
constexpr int RoleProcess = Qt::UserRole + 3;
constexpr int RoleExcludeProcess = Qt::UserRole + 4;
constexpr int RoleMask = Qt::UserRole + 5;

QString U(const AnsiString &ansi)
{
    return vx::codepage::FromAnsi(ansi);
}

QByteArray Bytes(const AnsiString &ansi)
{
    return QByteArray(ansi.data(), static_cast<qsizetype>(ansi.size()));
}

AnsiString FromBytes(const QVariant &v)
{
    const QByteArray b = v.toByteArray();
    return AnsiString(b.constData(), static_cast<std::size_t>(b.size()));
}

// A named widget whose children stack from the top without margins or gaps.
QVBoxLayout *Stack(QWidget *widget, const char *name)
{
    widget->setObjectName(QString::fromLatin1(name));
    auto *layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    return layout;
}

QLabel *HeaderStrip(QWidget *parent, const char *name, const QString &caption)
{
    auto *l = new QLabel(caption, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setFixedHeight(21);
    l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    l->setFrameShape(QFrame::Panel);
    l->setFrameShadow(QFrame::Raised);
    l->setIndent(4);
    return l;
}

} // namespace

TFormVellamorix::TFormVellamorix(QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("FormVellamorix"));
    setWindowTitle(QStringLiteral("Vellamorix"));
    setFont(QFont(QStringLiteral("굴림"), 9));
    resize(682, 476);
    vx::gui::CentreOnScreen(this);
    if (!vx::gui::MainForm())
        vx::gui::SetMainForm(this);
    if (!FormVellamorix)
        FormVellamorix = this;

    for (const QPixmap &image : vx::console::FolderImages())
        ImageList << QIcon(image);
    BuildMenus();
    BuildToolBar();
    BuildPanels();

    Timer = new QTimer(this);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setInterval(1000);
    connect(Timer, &QTimer::timeout, this, [this] { TimerTimer(); });
    Timer->start();

    // The engine client with the window's stored settings.
    Protector = std::make_unique<TVeskFileProtector>(this);
    Protector->SetClearOnDestroy(true);
    Protector->SetClearOnDestroyUnicode(false);
    Protector->SetActive(false);
    Protector->SetActiveUnicode(false);

    FormCreate();

    // Denials recorded while the console runs raise a notification that opens the history.
    Notifier = new vx::console::DenialNotifier(this, vx::denials::RecordPath(), [this] { Menu_DenialsClick(); });
}

TFormVellamorix::~TFormVellamorix()
{
    if (FormVellamorix == this)
        FormVellamorix = nullptr;
}

void TFormVellamorix::BuildMenus()
{
    CoolBar1 = new QWidget(this);
    QVBoxLayout *bands = Stack(CoolBar1, "CoolBar1");

    ToolBar1 = new QWidget(CoolBar1);
    QVBoxLayout *menuBand = Stack(ToolBar1, "ToolBar1");
    MainMenu = new QMenuBar(ToolBar1);
    MainMenu->setObjectName(QStringLiteral("MainMenu"));
    MainMenu->setNativeMenuBar(false);
    menuBand->addWidget(MainMenu);
    bands->addWidget(ToolBar1);

    const auto menu = [this](const char *name, const QString &caption) {
        QMenu *m = MainMenu->addMenu(caption);
        m->setObjectName(QString::fromLatin1(name));
        m->menuAction()->setObjectName(QString::fromLatin1(name));
        return m;
    };
    const auto item = [this](QMenu *m, const char *name, const QString &caption, const QKeySequence &key) {
        QAction *a = m->addAction(caption);
        a->setObjectName(QString::fromLatin1(name));
        if (!key.isEmpty())
            a->setShortcut(key);
        return a;
    };
    const auto separator = [](QMenu *m, const char *name) { m->addSeparator()->setObjectName(QString::fromLatin1(name)); };

    Menu_File = menu("Menu_File", QStringLiteral("파일(&F)"));
    Menu_Active = item(Menu_File, "Menu_Active", QStringLiteral("보호 시작(&A)"), QKeySequence(Qt::CTRL | Qt::Key_A));
    Menu_NotActive = item(Menu_File, "Menu_NotActive", QStringLiteral("보호 중지(&S)"), QKeySequence(Qt::CTRL | Qt::Key_S));
    separator(Menu_File, "N2");
    Menu_Close = item(Menu_File, "Menu_Close", QStringLiteral("닫기(&C)"), QKeySequence(Qt::CTRL | Qt::Key_C));
    Menu_Active->setCheckable(true);
    Menu_NotActive->setCheckable(true);
    Menu_Active->setChecked(true);

    Menu_Edit = menu("Menu_Edit", QStringLiteral("편집(&E)"));
    Menu_AddEntry = item(Menu_Edit, "Menu_AddEntry", QStringLiteral("엔트리 추가(&A)"), QKeySequence(Qt::Key_F2));
    Menu_DeleteEntry = item(Menu_Edit, "Menu_DeleteEntry", QStringLiteral("엔트리 삭제(&D)"), QKeySequence(Qt::Key_F3));
    Menu_ModifyEntry = item(Menu_Edit, "Menu_ModifyEntry", QStringLiteral("엔트리 수정(&M)"), QKeySequence(Qt::Key_F4));
    separator(Menu_Edit, "N1");
    Menu_Refresh = item(Menu_Edit, "Menu_Refresh", QStringLiteral("새로고침(&R)"), QKeySequence(Qt::Key_F5));

    Menu_View = menu("Menu_View", QStringLiteral("보기(&V)"));
    N2221 = item(Menu_View, "N2221", QStringLiteral("툴바(&T)"), QKeySequence(Qt::CTRL | Qt::Key_T));
    separator(Menu_View, "N8");
    ProtectedInformation1 = item(Menu_View, "ProtectedInformation1", QStringLiteral("보호 정보(&I)"),
                                 QKeySequence(Qt::CTRL | Qt::Key_I));
    Menu_Denials = item(Menu_View, "Menu_Denials", QStringLiteral("차단 기록(&L)"), QKeySequence(Qt::CTRL | Qt::Key_L));
    N2221->setCheckable(true);
    N2221->setChecked(true);
    ProtectedInformation1->setCheckable(true);
    ProtectedInformation1->setChecked(true);

    Menu_Option = menu("Menu_Option", QStringLiteral("설정(&O)"));
    Menu_Password = item(Menu_Option, "Menu_Password", QStringLiteral("암호 변경(&P)"), QKeySequence(Qt::CTRL | Qt::Key_P));

    Menu_Help = menu("Menu_Help", QStringLiteral("도움말(&H)"));
    Menu_HelpACT = item(Menu_Help, "Menu_HelpACT", QStringLiteral("도움말(&H)"), QKeySequence(Qt::Key_F1));
    separator(Menu_Help, "N3");
    Menu_About = item(Menu_Help, "Menu_About", QStringLiteral("정보 (&A)"), QKeySequence());

    PopupMenu_ListView = new QMenu(this);
    PopupMenu_ListView->setObjectName(QStringLiteral("PopupMenu_ListView"));
    PMenu_AddEntry2 = item(PopupMenu_ListView, "PMenu_AddEntry2", QStringLiteral("엔트리 추가"), QKeySequence());
    PMenu_DeleteEntry = item(PopupMenu_ListView, "PMenu_DeleteEntry", QStringLiteral("엔트리 삭제"), QKeySequence());
    PMenu_ModifyEntry = item(PopupMenu_ListView, "PMenu_ModifyEntry", QStringLiteral("엔트리 수정"), QKeySequence());
    separator(PopupMenu_ListView, "N7");
    PMenu_CheckProtection = item(PopupMenu_ListView, "PMenu_CheckProtection", QStringLiteral("보호 검사"), QKeySequence());
    PMenu_CheckProtection->setEnabled(false); // never enabled

    connect(Menu_Active, &QAction::triggered, this, [this] { Menu_ActiveClick(); });
    connect(Menu_NotActive, &QAction::triggered, this, [this] { Menu_NotActiveClick(); });
    connect(Menu_Close, &QAction::triggered, this, [this] { Menu_CloseClick(); });
    connect(Menu_AddEntry, &QAction::triggered, this, [this] { Menu_AddEntryClick(); });
    connect(Menu_DeleteEntry, &QAction::triggered, this, [this] { Menu_DeleteEntryClick(); });
    connect(Menu_ModifyEntry, &QAction::triggered, this, [this] { Menu_ModifyEntryClick(); });
    connect(Menu_Refresh, &QAction::triggered, this, [this] { Menu_RefreshClick(); });
    connect(N2221, &QAction::triggered, this, [this] { N2221Click(); });
    connect(ProtectedInformation1, &QAction::triggered, this, [this] { ProtectedInformation1Click(); });
    connect(Menu_Denials, &QAction::triggered, this, [this] { Menu_DenialsClick(); });
    connect(Menu_Password, &QAction::triggered, this, [this] { Menu_PasswordClick(); });
    connect(Menu_HelpACT, &QAction::triggered, this, [this] { Menu_HelpACTClick(); });
    connect(Menu_About, &QAction::triggered, this, [this] { Menu_AboutClick(); });
    connect(PMenu_AddEntry2, &QAction::triggered, this, [this] { Menu_AddEntryClick(); });
    connect(PMenu_DeleteEntry, &QAction::triggered, this, [this] { Menu_DeleteEntryClick(); });
    connect(PMenu_ModifyEntry, &QAction::triggered, this, [this] { Menu_ModifyEntryClick(); });

    setMenuWidget(CoolBar1);
}

void TFormVellamorix::BuildToolBar()
{
    ToolBar = new QToolBar(CoolBar1);
    ToolBar->setObjectName(QStringLiteral("ToolBar"));
    ToolBar->setFixedHeight(22);
    ToolBar->setIconSize(QSize(16, 16));
    ToolBar->setMovable(false);
    ToolBar->setFloatable(false);
    static_cast<QVBoxLayout *>(CoolBar1->layout())->addWidget(ToolBar);

    const auto button = [this](const char *name, int image, const QString &hint, auto handler) {
        auto *b = new QToolButton(ToolBar);
        b->setObjectName(QString::fromLatin1(name));
        b->setIcon(vx::console::ToolIcon(image));
        b->setToolTip(hint);
        b->setAutoRaise(true);
        ToolBar->addWidget(b);
        connect(b, &QToolButton::clicked, this, handler);
        return b;
    };
    const auto separator = [this](const char *name) {
        auto *s = new QWidget(ToolBar);
        s->setObjectName(QString::fromLatin1(name));
        s->setFixedWidth(8);
        ToolBar->addWidget(s);
    };
    ToolButton1 = button("ToolButton1", 7, QStringLiteral("보호시작"), [this] { Menu_ActiveClick(); });
    ToolButton2 = button("ToolButton2", 6, QStringLiteral("보호 멈춤"), [this] { Menu_NotActiveClick(); });
    separator("ToolButton4");
    ToolButton5 = button("ToolButton5", 0, QStringLiteral("엔트리 추가"), [this] { Menu_AddEntryClick(); });
    ToolButton6 = button("ToolButton6", 1, QStringLiteral("엔트리 삭제"), [this] { Menu_DeleteEntryClick(); });
    ToolButton7 = button("ToolButton7", 2, QStringLiteral("엔트리 수정"), [this] { Menu_ModifyEntryClick(); });
    separator("ToolButton8");
    ToolButton9 = button("ToolButton9", 4, QStringLiteral("새로고침"), [this] { Menu_RefreshClick(); });
    ToolButton13 = button("ToolButton13", 5, QStringLiteral("도움말"), [this] { Menu_HelpACTClick(); });
    separator("ToolButton12");
    ToolButton11 = button("ToolButton11", 3, QStringLiteral("닫기"), [this] { ToolButton11Click(); });
}

void TFormVellamorix::BuildPanels()
{
    Panel1 = new QWidget(this);
    QVBoxLayout *middle = Stack(Panel1, "Panel1");
    Panel3 = HeaderStrip(Panel1, "Panel3", QStringLiteral("보호중인 파일/폴더"));
    middle->addWidget(Panel3);

    ListView_Proceted = new QTreeWidget(Panel1);
    ListView_Proceted->setObjectName(QStringLiteral("ListView_Proceted"));
    ListView_Proceted->setToolTip(QStringLiteral("현재 보호중인 엔트리 목록"));
    ListView_Proceted->setRootIsDecorated(false);
    ListView_Proceted->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView_Proceted->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView_Proceted->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView_Proceted->setSortingEnabled(false);
    ListView_Proceted->setFrameShape(QFrame::NoFrame);
    ListView_Proceted->setIconSize(QSize(16, 16));
    ListView_Proceted->setContextMenuPolicy(Qt::CustomContextMenu);
    ListView_Proceted->setHeaderLabels({QStringLiteral("파일 / 폴더"), QStringLiteral("접근금지 프로세스"),
                                        QStringLiteral("예외 파일 / 폴더"), QStringLiteral("예외 프로세스"),
                                        QStringLiteral("보호 아이템"), QStringLiteral("Oper"),
                                        QStringLiteral("마스크스트링")});
    QHeaderView *header = ListView_Proceted->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    ListView_Proceted->setColumnWidth(1, 150);
    ListView_Proceted->setColumnWidth(4, 150);
    // Width-0 columns hold data for the detail tree and the store.
    for (int hidden : {2, 3, 5, 6})
        ListView_Proceted->setColumnHidden(hidden, true);
    // Selection stays visible without focus.
    QPalette lp = ListView_Proceted->palette();
    lp.setColor(QPalette::Inactive, QPalette::Highlight, lp.color(QPalette::Active, QPalette::Highlight));
    lp.setColor(QPalette::Inactive, QPalette::HighlightedText, lp.color(QPalette::Active, QPalette::HighlightedText));
    ListView_Proceted->setPalette(lp);
    middle->addWidget(ListView_Proceted, 1);

    Panel4 = new QWidget(Panel1);
    QVBoxLayout *bottom = Stack(Panel4, "Panel4");
    Panel4->setFixedHeight(178);
    Panel5 = HeaderStrip(Panel4, "Panel5", QStringLiteral("보호 엔트리 정보"));
    bottom->addWidget(Panel5);
    TreeView_Entry = new QTreeWidget(Panel4);
    TreeView_Entry->setObjectName(QStringLiteral("TreeView_Entry"));
    TreeView_Entry->setToolTip(QStringLiteral("엔트리의 상세정보"));
    TreeView_Entry->setHeaderHidden(true);
    TreeView_Entry->setIndentation(19);
    TreeView_Entry->setFrameShape(QFrame::NoFrame);
    TreeView_Entry->setIconSize(QSize(16, 16));
    bottom->addWidget(TreeView_Entry, 1);
    middle->addWidget(Panel4);

    setCentralWidget(Panel1);

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setToolTip(QStringLiteral("현재 보호모드"));
    StatusBar->setSizeGripEnabled(true);
    StatusPanel0 = new QLabel(StatusBar);
    StatusPanel0->setObjectName(QStringLiteral("StatusPanel0"));
    StatusPanel0->setFixedWidth(100);
    StatusPanel0->setAlignment(Qt::AlignCenter);
    StatusPanel1 = new QLabel(StatusBar);
    StatusPanel1->setObjectName(QStringLiteral("StatusPanel1"));
    StatusPanel1->setFixedWidth(50);
    StatusBar->addWidget(StatusPanel0);
    StatusBar->addWidget(StatusPanel1);
    setStatusBar(StatusBar);

    connect(ListView_Proceted, &QTreeWidget::itemSelectionChanged, this, [this] {
        const QList<QTreeWidgetItem *> selected = ListView_Proceted->selectedItems();
        ListView_ProcetedSelectItem(selected.value(0), !selected.isEmpty());
    });
    connect(ListView_Proceted, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        PopupMenu_ListView->popup(ListView_Proceted->viewport()->mapToGlobal(pos));
    });
    SetRowCommands(false);
}

QString TFormVellamorix::StatusText(int panel) const
{
    return panel == 0 ? StatusPanel0->text() : StatusPanel1->text();
}

void TFormVellamorix::SetRowCommands(bool enabled)
{
    Menu_DeleteEntry->setEnabled(enabled);
    Menu_ModifyEntry->setEnabled(enabled);
    PMenu_DeleteEntry->setEnabled(enabled);
    PMenu_ModifyEntry->setEnabled(enabled);
}

void TFormVellamorix::SetRow(QTreeWidgetItem *item, const TFPRec &rec, int engineIndex)
{
    item->setText(0, U(rec.FileFolder));
    item->setText(1, U(rec.Process));
    item->setText(2, U(rec.ExcludeFileFolder));
    item->setText(3, U(rec.ExcludeProcess));
    item->setText(4, U(MaskPresetName(rec.Mask)));
    item->setText(5, U(MaskToDecimal(rec.Mask)));
    item->setText(6, U(MaskToText(rec.Mask)));
    item->setIcon(0, ImageList.value(0));
    item->setData(0, RoleIndex, engineIndex);
    item->setData(0, RoleFileFolder, Bytes(rec.FileFolder));
    item->setData(0, RoleExcludeFileFolder, Bytes(rec.ExcludeFileFolder));
    item->setData(0, RoleProcess, Bytes(rec.Process));
    item->setData(0, RoleExcludeProcess, Bytes(rec.ExcludeProcess));
    item->setData(0, RoleMask, static_cast<quint32>(rec.Mask));
}

QTreeWidgetItem *TFormVellamorix::AppendRow(const TFPRec &rec, int engineIndex)
{
    auto *item = new QTreeWidgetItem;
    SetRow(item, rec, engineIndex);
    ListView_Proceted->addTopLevelItem(item);
    return item;
}

TFPRec TFormVellamorix::RowRecord(const QTreeWidgetItem *item)
{
    TFPRec rec;
    rec.FileFolder = FromBytes(item->data(0, RoleFileFolder));
    rec.ExcludeFileFolder = FromBytes(item->data(0, RoleExcludeFileFolder));
    rec.Process = FromBytes(item->data(0, RoleProcess));
    rec.ExcludeProcess = FromBytes(item->data(0, RoleExcludeProcess));
    rec.Mask = item->data(0, RoleMask).toUInt();
    return rec;
}

int TFormVellamorix::RowEngineIndex(const QTreeWidgetItem *item)
{
    if (!item)
        return -1;
    bool ok = false;
    const int index = item->data(0, RoleIndex).toInt(&ok);
    return ok ? index : -1;
}

std::vector<TEntryRow> TFormVellamorix::EntryRows() const
{
    std::vector<TEntryRow> rows;
    for (int i = 0; i < ListView_Proceted->topLevelItemCount(); ++i)
        rows.push_back(EntryRowOf(RowRecord(ListView_Proceted->topLevelItem(i))));
    return rows;
}

int TFormVellamorix::ResolveEngineIndex(const TFPRec &rec, int boundIndex, bool &moved)
{
    moved = false;
    TFPRec found;
    uint8_t flag = 0;
    if (boundIndex >= 0 && ReadEngineEntry(*Protector, boundIndex, found, flag) && found == rec)
        return boundIndex;
    // The row is not where it was bound (an entry before it was not read, or the engine's list
    // changed): look for it.
    uint32_t count = 0;
    if (!Protector->GetEntryCount(count))
        return -2;
    for (uint32_t i = 0; i < count && i <= static_cast<uint32_t>(INT32_MAX); ++i) {
        if (static_cast<int>(i) == boundIndex)
            continue;
        if (ReadEngineEntry(*Protector, static_cast<int32_t>(i), found, flag) && found == rec) {
            moved = true;
            return static_cast<int>(i);
        }
    }
    return -1;
}

void TFormVellamorix::ShiftIndicesAfterDelete(int deletedIndex)
{
    for (int i = 0; i < ListView_Proceted->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = ListView_Proceted->topLevelItem(i);
        const int index = RowEngineIndex(item);
        if (index > deletedIndex)
            item->setData(0, RoleIndex, index - 1);
    }
}

void TFormVellamorix::FormCreate()
{
    uint32_t count = 0;
    if (Protector->GetEntryCount(count)) {
        Protector->SetActive(true);
        FillEntryList(count);
    } else {
        Protector->SetActive(false);
        listComplete_ = false;
        StatusPanel0->setText(kNotConnected);
    }
}

void TFormVellamorix::FillEntryList(uint32_t Count)
{
    ListView_Proceted->clear();
    ListView_ProcetedSelectItem(nullptr, false);
    bool complete = true;
    for (uint32_t i = 0; i < Count && i <= static_cast<uint32_t>(INT32_MAX); ++i) {
        TFPRec rec;
        uint8_t flag = 0;
        if (ReadEngineEntry(*Protector, static_cast<int32_t>(i), rec, flag))
            AppendRow(rec, static_cast<int>(i));
        else
            complete = false; // the entry gets no row; later rows keep their own index
    }
    listComplete_ = complete;
}

void TFormVellamorix::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (!showHandled_) {
        showHandled_ = true;
        if (PasswordGateOnShow)
            QMetaObject::invokeMethod(this, [this] { FormShow(); }, Qt::QueuedConnection);
    }
}

void TFormVellamorix::FormShow()
{
    AnsiString stored;
    bool unreadable = false;
    try {
        stored = ReadStoredPassword();
    } catch (const std::exception &) {
        // Not "no password": the prompt asks, and its check reports why it accepts nothing.
        unreadable = true;
    }
    bool passed = false;
    const int closesBefore = closeQueries_;
    if (stored.empty() && !unreadable) {
        if (!Formsetpass)
            Formsetpass = new TFormsetpass(this);
        Formsetpass->exec();
        passed = Formsetpass && Formsetpass->Passed();
    } else {
        if (!Formokpass)
            Formokpass = new TFormokpass(this);
        Formokpass->exec();
        passed = Formokpass && Formokpass->Passed();
    }
    if (passed || closed_)
        return;
    // The gate was left without a password: the console must not stay usable. The dialog's
    // exit steps asked for the close already unless this is not the main form.
    if (closeQueries_ == closesBefore)
        close();
    if (!closed_) {
        // The close did not happen (this window is not the one that ends the program): leave
        // anyway, entries kept.
        closed_ = true;
        Protector->SetClearOnDestroy(false);
        Timer->stop();
        hide();
        if (dynamic_cast<vx::gui::TApplication *>(QCoreApplication::instance()))
            QCoreApplication::exit(1);
    }
}

void TFormVellamorix::TimerTimer()
{
    const bool active = Protector->Active();
    StatusPanel0->setText(active ? QStringLiteral("보호 시작") : QStringLiteral("보호 중지"));
    Menu_Active->setChecked(active);
    Menu_NotActive->setChecked(!active);
    ToolButton1->setEnabled(!active);
    ToolButton2->setEnabled(active);
}

void TFormVellamorix::SwitchProtection(bool on)
{
    Protector->SetActive(on);
    // A checkable item flips its own mark when chosen; the marks show the engine's state.
    Menu_Active->setChecked(Protector->Active());
    Menu_NotActive->setChecked(!Protector->Active());
    ToolButton1->setEnabled(!on);
    ToolButton2->setEnabled(on);
}

void TFormVellamorix::Menu_ActiveClick()
{
    SwitchProtection(true);
}

void TFormVellamorix::Menu_NotActiveClick()
{
    SwitchProtection(false);
}

void TFormVellamorix::Menu_AddEntryClick()
{
    TFPRec entry;
    entry.Process = "*";
    entry.Mask = 0;
    if (ShowEntryEditor(EDITOR_MODE_ADD, entry) != 1)
        return;
    const int32_t index = Protector->AddEntry(entry.Mask, entry.FileFolder, entry.ExcludeFileFolder, entry.Process,
                                              entry.ExcludeProcess, nullptr, 0, nullptr, 0, nullptr, 1);
    if (index == -1) {
        // With the count request succeeding after all, the entry may be in the engine
        // without a row: the list no longer speaks for the engine.
        if (Protector->Success())
            listComplete_ = false;
        vx::gui::ShowMessage(kNotConnected);
        return;
    }
    // An index below -1 means the entry went in but its place is unknown; the row is then
    // found by its contents when it is next deleted or changed.
    AppendRow(entry, index >= 0 ? index : -1);
}

void TFormVellamorix::Menu_DeleteEntryClick()
{
    const QList<QTreeWidgetItem *> selected = ListView_Proceted->selectedItems();
    if (selected.isEmpty()) {
        vx::gui::ShowMessage(kNoSelection);
        return;
    }
    QTreeWidgetItem *item = selected.first();
    bool moved = false;
    const int index = ResolveEngineIndex(RowRecord(item), RowEngineIndex(item), moved);
    if (index < 0) {
        vx::gui::ShowMessage(kNotDeleted);
        if (index == -1) {
            // The engine no longer holds the row's entry: show what it holds.
            uint32_t count = 0;
            if (Protector->GetEntryCount(count))
                FillEntryList(count);
        }
        return;
    }
    if (!Protector->DeleteEntry(index)) {
        vx::gui::ShowMessage(kNotDeleted);
        return;
    }
    if (moved) {
        // Rows were bound to the wrong entries: rebind them all.
        uint32_t count = 0;
        if (Protector->GetEntryCount(count)) {
            FillEntryList(count);
            return;
        }
    }
    // No other row takes the selection of the deleted one.
    ListView_Proceted->clearSelection();
    ListView_Proceted->setCurrentItem(nullptr, 0, QItemSelectionModel::NoUpdate);
    delete item;
    ShiftIndicesAfterDelete(index);
    ListView_Proceted->clearSelection();
}

void TFormVellamorix::Menu_ModifyEntryClick()
{
    const QList<QTreeWidgetItem *> selected = ListView_Proceted->selectedItems();
    if (selected.isEmpty()) {
        vx::gui::ShowMessage(kNoSelection);
        return;
    }
    QTreeWidgetItem *item = selected.first();
    const TFPRec rowRec = RowRecord(item);
    bool moved = false;
    int index = ResolveEngineIndex(rowRec, RowEngineIndex(item), moved);
    if (index == -2) {
        vx::gui::ShowMessage(kNotConnected);
        return;
    }
    if (index == -1) {
        vx::gui::ShowMessage(kNotModified);
        uint32_t count = 0;
        if (Protector->GetEntryCount(count))
            FillEntryList(count);
        return;
    }

    // Released on every path when the command ends.
    vx::device::ArenaBuffer descriptor(65536);
    uint32_t descriptorSize = descriptor ? 65536 : 0;
    uint32_t list1Count = 0, list2Count = 0;
    uint8_t entryFlag = 0;
    TFPRec entry;
    if (!Protector->GetEntry(index, entry.Mask, entry.FileFolder, entry.ExcludeFileFolder, entry.Process,
                             entry.ExcludeProcess, descriptor.data(), descriptorSize, list1Count, nullptr,
                             list2Count, nullptr, entryFlag)) {
        vx::gui::ShowMessage(kNotConnected);
        return;
    }
    const TFPRec before = entry;
    if (ShowEntryEditor(EDITOR_MODE_CHANGE, entry) != 1)
        return;

    // The engine's list may have changed while the editor was open: find the entry again.
    bool movedSince = false;
    index = ResolveEngineIndex(before, index, movedSince);
    if (index < 0) {
        vx::gui::ShowMessage(kNotModified);
        uint32_t count = 0;
        if (index == -1 && Protector->GetEntryCount(count))
            FillEntryList(count);
        return;
    }
    if (!Protector->ModifyEntry(index, entry.Mask, entry.FileFolder, entry.ExcludeFileFolder, entry.Process,
                                entry.ExcludeProcess, nullptr, list1Count, nullptr, list2Count, nullptr,
                                entryFlag)) {
        vx::gui::ShowMessage(kNotModified);
        return;
    }
    if (moved || movedSince) {
        uint32_t count = 0;
        if (Protector->GetEntryCount(count)) {
            FillEntryList(count);
            item = nullptr;
            for (int i = 0; i < ListView_Proceted->topLevelItemCount() && !item; ++i) {
                if (RowEngineIndex(ListView_Proceted->topLevelItem(i)) == index)
                    item = ListView_Proceted->topLevelItem(i);
            }
            if (!item)
                return;
            const QSignalBlocker block(ListView_Proceted);
            item->setSelected(true);
            ListView_Proceted->setCurrentItem(item);
        }
    }
    SetRow(item, entry, index);
    ListView_ProcetedSelectItem(item, entryFlag != 0);
}

void TFormVellamorix::Menu_RefreshClick()
{
    uint32_t count = 0;
    if (Protector->GetEntryCount(count))
        FillEntryList(count);
    else
        vx::gui::ShowMessage(kNotConnected);
}

void TFormVellamorix::ListView_ProcetedSelectItem(QTreeWidgetItem *Item, bool Selected)
{
    TreeView_Entry->clear();
    if (!Selected || !Item) {
        SetRowCommands(false);
        return;
    }
    QTreeWidgetItem *header = ListView_Proceted->headerItem();
    const auto line = [header](int column, const QString &text) {
        return header->text(column) + QStringLiteral(" : ") + text;
    };
    auto *top = new QTreeWidgetItem(TreeView_Entry, {line(0, Item->text(0))});
    top->setIcon(0, ImageList.value(1));
    const std::pair<int, int> details[] = {{1, 1}, {2, 2}, {3, 3}, {4, 6}};
    for (const auto &[captionColumn, textColumn] : details) {
        auto *child = new QTreeWidgetItem(top, {line(captionColumn, Item->text(textColumn))});
        child->setIcon(0, ImageList.value(0));
    }
    top->setExpanded(true);
    SetRowCommands(true);
}

void TFormVellamorix::N2221Click()
{
    ToolBar->setVisible(N2221->isChecked());
}

void TFormVellamorix::ProtectedInformation1Click()
{
    Panel4->setVisible(ProtectedInformation1->isChecked());
}

void TFormVellamorix::Menu_DenialsClick()
{
    if (!FormDenials)
        FormDenials = new vx::console::TFormDenials(this, vx::denials::RecordPath(), [this](int index, const std::string &f) {
            return SelectEntryRow(index, f);
        });
    FormDenials->show();
    FormDenials->raise();
    FormDenials->activateWindow();
}

bool TFormVellamorix::SelectEntryRow(int index, const std::string &fileFolder)
{
    const AnsiString ansi = vx::codepage::Utf8ToAnsi(fileFolder);
    QTreeWidgetItem *found = nullptr;
    for (int i = 0; i < ListView_Proceted->topLevelItemCount(); ++i) {
        QTreeWidgetItem *row = ListView_Proceted->topLevelItem(i);
        const bool same = fileFolder.empty() || RowRecord(row).FileFolder == ansi;
        if (same && RowEngineIndex(row) == index) {
            found = row;
            break;
        }
        if (same && !fileFolder.empty() && !found)
            found = row; // the entry moved to another index since
    }
    if (!found)
        return false;
    ListView_Proceted->setCurrentItem(found);
    ListView_Proceted->scrollToItem(found);
    return true;
}

void TFormVellamorix::Menu_PasswordClick()
{
    if (!Formchangepwd)
        Formchangepwd = new TFormchangepwd(this);
    Formchangepwd->exec();
}

void TFormVellamorix::Menu_HelpACTClick()
{
    const QString path = vx::console::DataFile(QStringLiteral("Vellamorix.hlp"));
    const std::string file = vx::codepage::Utf8ToAnsi(path.toStdString());
    ShellExecuteA(this, "open", file.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void TFormVellamorix::Menu_AboutClick()
{
    ShowAboutBox();
}

void TFormVellamorix::Menu_CloseClick()
{
    close();
}

void TFormVellamorix::ToolButton11Click()
{
    close();
}

bool TFormVellamorix::DeleteEntryKey()
{
    return ::DeleteEntryKey();
}

bool TFormVellamorix::ReadEngineEntries(std::vector<TFPRec> &entries)
{
    return ::ReadEngineEntries(*Protector, entries);
}

bool TFormVellamorix::FormCloseQuery()
{
    Protector->SetClearOnDestroy(false);
    // What the engine holds now is what its next start must load: the list is read again, so
    // rows that missed an entry (or an entry added elsewhere) do not decide it. Without the
    // whole list the stored rows stay; the user is told, and the close goes on.
    QString failure;
    try {
        if (SaveEngineEntries(*Protector, kCloseSaveWait) != EngineSave::Saved)
            failure = kNotSaved; // the list could not be read whole, or no right to write the store
    } catch (const std::exception &error) {
        // Store errors are ASCII apart from quoted names in CP949.
        failure = kNotSaved + QStringLiteral("\n") + vx::codepage::FromAnsi(error.what());
    }
    if (!failure.isEmpty())
        vx::gui::ShowMessage(failure);
    return true;
}

void TFormVellamorix::closeEvent(QCloseEvent *event)
{
    if (closed_) {
        event->accept();
        return;
    }
    ++closeQueries_;
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    closed_ = true;
    Timer->stop();
    event->accept();
    // Closing the main window ends the program, also while other windows (help) are open.
    if (vx::gui::MainForm() == this && dynamic_cast<vx::gui::TApplication *>(QCoreApplication::instance()))
        QCoreApplication::quit();
}
