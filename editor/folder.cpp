// SPDX-License-Identifier: GPL-3.0-or-later
#include "editor/folder.h"

#include "editor/setting.h"
#include "editor/entrycheck.h"
#include "platform/codepage/codepage_qt.h"
#include "platform/gui/application.h"
#include "platform/gui/messagebox.h"
#include "platform/drives/drives.h"
#include "platform/shell/shell.h"
#include "shellctrls/ShellFolder.h"
#include "shellctrls/ShellTree.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

Tfindfolder *findfolder = nullptr;

namespace {

constexpr int kWidth = 329;
constexpr int kHeight = 310;
constexpr int kTreeWidth = 273;
constexpr int kTreeHeight = 201;

// The editor field the picker fills: 1 the protected path, anything else the excluded path.
QLineEdit *TargetField()
{
    if (!Form_SetEntry)
        return nullptr;
    return FolderTarget == 1 ? Form_SetEntry->Edit_FileFolder : Form_SetEntry->Edit_ExcludeFileFolder;
}

// True when the path, as the editor takes it, names the folder exactly: every character of its
// names has a CP949 form, and no name holds a "\" that would read as two folders.
bool NamesFolderExactly(const AnsiString &path, LPCITEMIDLIST fullId)
{
    if (vx::codepage::ToAnsi(vx::codepage::FromAnsi(path)) != path)
        return false;
    const std::optional<std::string> native = vx::shell::NativePathOf(fullId);
    const std::optional<std::string> named = vx::shell::WindowsToPosix(path);
    if (!native || !named)
        return true; // no drive path (a "::{...}" name): the shell's own name for the folder
    return named == native;
}

} // namespace

Tfindfolder::Tfindfolder(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("findfolder"));
    setWindowTitle(QStringLiteral("폴더 찾기"));
    setWindowIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    setSizeGripEnabled(true);
    resize(kWidth, kHeight);

    Label1 = new QLabel(QStringLiteral("마우스 오른쪽 버튼으로 계속 추가할 수 있습니다. "), this);
    Label1->setObjectName(QStringLiteral("Label1"));

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    N1 = PopupMenu1->addAction(QStringLiteral("추가하기"));
    N1->setObjectName(QStringLiteral("N1"));
    connect(N1, &QAction::triggered, this, [this] { N1Click(); });

    ShellTreeView1 = new TShellTreeView(this);
    ShellTreeView1->setObjectName(QStringLiteral("ShellTreeView1"));
    ShellTreeView1->BeginLoad();
    ShellTreeView1->SetObjectTypes(TShellObjectTypes{otFolders});
    ShellTreeView1->SetRoot(TRoot("rfMyComputer"));
    ShellTreeView1->SetUseShellImages(true);
    ShellTreeView1->SetAutoRefresh(false);
    ShellTreeView1->SetIndent(19);
    ShellTreeView1->SetRightClickSelect(true);
    ShellTreeView1->SetShowRoot(false);
    ShellTreeView1->SetPopupMenu(PopupMenu1);
    ShellTreeView1->setMinimumSize(120, 80);

    Button1 = new QPushButton(QStringLiteral("추가하기"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button2 = new QPushButton(QStringLiteral("확 인"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button3 = new QPushButton(QStringLiteral("취 소"), this);
    Button3->setObjectName(QStringLiteral("Button3"));
    for (QPushButton *b : {Button1, Button2, Button3})
        b->setAutoDefault(false);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    buttons->addWidget(Button3);
    buttons->addStretch(1);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addWidget(ShellTreeView1, 1);
    layout->addLayout(buttons);
    // At the window's first size the tree is 273 x 201 pixels; it grows and shrinks with the
    // window. The margins take what the label and the buttons leave.
    const int spacing = std::max(0, layout->spacing());
    const int spareWidth = std::max(0, kWidth - kTreeWidth);
    const int spareHeight = std::max(0, kHeight - kTreeHeight - Label1->sizeHint().height() -
                                            Button1->sizeHint().height() - 2 * spacing);
    layout->setContentsMargins(spareWidth / 2, spareHeight / 2, spareWidth - spareWidth / 2,
                               spareHeight - spareHeight / 2);

    setTabOrder(ShellTreeView1, Button2);
    setTabOrder(Button2, Button1);
    setTabOrder(Button1, Button3);

    // A root that cannot be resolved leaves an empty tree; the error is reported, not fatal.
    try {
        ShellTreeView1->Loaded();
    } catch (const std::exception &e) {
        vx::gui::ReportException(e);
    }
}

void Tfindfolder::AddSelectedFolder()
{
    QLineEdit *target = TargetField();
    TShellFolder *folder = ShellTreeView1->SelectedShellFolder();
    if (!target || !folder)
        return;
    const AnsiString path = folder->ParsingPath();
    if (!NamesFolderExactly(path, folder->FullItemId())) {
        vx::gui::ShowMessage(vx::codepage::NotRepresentableMessage());
        return;
    }
    target->setText(target->text() + vx::codepage::FromAnsi(FolderItems(path)));
}

void Tfindfolder::Button1Click() { AddSelectedFolder(); }

void Tfindfolder::N1Click() { AddSelectedFolder(); }

void Tfindfolder::Button2Click()
{
    QLineEdit *target = TargetField();
    if (target && target->text().isEmpty()) {
        vx::gui::ShowMessage(QStringLiteral("추가한 폴더가 없습니다."));
        return;
    }
    done(1);
}

void Tfindfolder::Button3Click()
{
    if (QLineEdit *target = TargetField())
        target->clear();
    done(2);
}

void InstallFolderPicker(QWidget *owner)
{
    if (!findfolder) {
        findfolder = new Tfindfolder(owner);
        QObject::connect(findfolder, &QObject::destroyed, [] { findfolder = nullptr; });
    }
    OpenFolderPicker = [] {
        if (findfolder)
            findfolder->exec();
    };
}
