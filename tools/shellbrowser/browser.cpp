// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/shellbrowser/browser.h"

#include "platform/codepage/codepage_qt.h"
#include "platform/gui/application.h"
#include "shellctrls/ShellCombo.h"
#include "shellctrls/ShellList.h"
#include "shellctrls/ShellTree.h"

#include <QAction>
#include <QActionGroup>
#include <QLabel>
#include <QMenuBar>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>

namespace {

template <class F>
void Reported(F &&action)
{
    try {
        action();
    } catch (const std::exception &error) {
        vx::gui::ReportException(error);
    }
}

} // namespace

TShellBrowserWindow::TShellBrowserWindow(const std::string &Root, QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("ShellBrowser"));
    setWindowTitle(QString::fromUtf8("셸 탐색기"));
    resize(900, 600);

    Combo_ = new TShellComboBox(this);
    Combo_->setObjectName(QStringLiteral("ShellComboBox"));
    auto *splitter = new QSplitter(this);
    Tree_ = new TShellTreeView(splitter);
    Tree_->setObjectName(QStringLiteral("ShellTreeView"));
    List_ = new TShellListView(splitter);
    List_->setObjectName(QStringLiteral("ShellListView"));
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 3);
    setCentralWidget(splitter);

    QToolBar *bar = addToolBar(QString::fromUtf8("주소"));
    bar->setObjectName(QStringLiteral("AddressBar"));
    bar->setMovable(false);
    QAction *up = bar->addAction(QString::fromUtf8("위로"), this, [this] { Reported([this] { List_->BrowseUp(); }); });
    up->setObjectName(QStringLiteral("ActionUp"));
    QAction *refresh = bar->addAction(QString::fromUtf8("새로 고침"), this, [this] { Reported([this] { List_->RefreshFolder(); }); });
    refresh->setObjectName(QStringLiteral("ActionRefresh"));
    bar->addWidget(Combo_);
    Combo_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

    QMenu *view = menuBar()->addMenu(QString::fromUtf8("보기(&V)"));
    auto *styles = new QActionGroup(this);
    const struct {
        const char *name;
        const char *text;
        TViewStyle style;
    } kStyles[] = {{"ActionIcons", "큰 아이콘", vsIcon},
                   {"ActionSmallIcons", "작은 아이콘", vsSmallIcon},
                   {"ActionList", "목록", vsList},
                   {"ActionDetails", "자세히", vsReport}};
    for (const auto &entry : kStyles) {
        QAction *action = view->addAction(QString::fromUtf8(entry.text));
        action->setObjectName(QString::fromLatin1(entry.name));
        action->setCheckable(true);
        action->setChecked(entry.style == vsReport);
        styles->addAction(action);
        const TViewStyle style = entry.style;
        connect(action, &QAction::triggered, this, [this, style] { Reported([this, style] { List_->SetViewStyle(style); }); });
    }
    view->addSeparator();
    QAction *autoRefresh = view->addAction(QString::fromUtf8("자동으로 새로 고침"));
    autoRefresh->setObjectName(QStringLiteral("ActionAutoRefresh"));
    autoRefresh->setCheckable(true);
    connect(autoRefresh, &QAction::toggled, this, [this](bool on) {
        Reported([this, on] {
            List_->SetAutoRefresh(on);
            Tree_->SetAutoRefresh(on);
        });
    });
    QAction *hidden = view->addAction(QString::fromUtf8("숨김 파일 표시"));
    hidden->setObjectName(QStringLiteral("ActionHidden"));
    hidden->setCheckable(true);
    connect(hidden, &QAction::toggled, this, [this](bool on) {
        Reported([this, on] {
            TShellObjectTypes types{otFolders, otNonFolders};
            if (on)
                types.Include(otHidden);
            List_->SetObjectTypes(types);
        });
    });

    Status_ = new QLabel(this);
    statusBar()->addWidget(Status_, 1);
    connect(List_, &TCustomShellListView::FolderChanged, this, &TShellBrowserWindow::UpdateStatus);

    List_->SetViewStyle(vsReport);
    // Linked from the tree's side; the combo box drives the list as well.
    Tree_->SetShellComboBox(Combo_);
    Tree_->SetShellListView(List_);
    Combo_->SetShellListView(List_);
    Tree_->SetRoot(Root);
    UpdateStatus();
}

TShellBrowserWindow::~TShellBrowserWindow() = default;

QAction *TShellBrowserWindow::Action(const char *name) const
{
    return findChild<QAction *>(QString::fromLatin1(name));
}

void TShellBrowserWindow::UpdateStatus()
{
    TShellFolder *folder = List_->RootShellFolder();
    const QString path = folder ? vx::codepage::FromAnsi(folder->ParsingPath()) : QString();
    Status_->setText(QString::fromUtf8("%1 — 항목 %2개").arg(path).arg(List_->EntryCount()));
    setWindowTitle(QString::fromUtf8("셸 탐색기 — %1").arg(path));
}
