// The Qt side of the shell stand-in: popup menus, the property sheet, the rename prompt and the
// system image list. Nothing here runs without a GUI application.
#include "platform/shell/failpoints.h"
#include "platform/shell/folderimpl.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QIcon>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QStyle>
#include <QVBoxLayout>
#include <QWidget>
#include <mutex>

namespace vx::shell {
namespace {

std::mutex g_lock;
PropertySheetHook g_propertyHook;
RenamePromptHook g_renameHook;

QApplication *WidgetApp() { return qobject_cast<QApplication *>(QCoreApplication::instance()); }

// Icon slots of the system image list.
enum IconSlot {
    kFile = 0, kFolder, kFolderOpen, kDrive, kRemovable, kComputer, kDesktop, kDocuments,
    kRecycle, kNetwork, kControls, kLinkFile, kLinkFolder, kSlotCount
};

class ImageList {
public:
    explicit ImageList(bool large) : large_(large) {}
    bool Large() const { return large_; }

private:
    bool large_;
};

ImageList g_small(false), g_large(true);

QStyle::StandardPixmap PixmapFor(int slot)
{
    switch (slot) {
    case kFolder: return QStyle::SP_DirClosedIcon;
    case kFolderOpen: return QStyle::SP_DirOpenIcon;
    case kDrive: return QStyle::SP_DriveHDIcon;
    case kRemovable: return QStyle::SP_DriveFDIcon;
    case kComputer: return QStyle::SP_ComputerIcon;
    case kDesktop: return QStyle::SP_DesktopIcon;
    case kDocuments: return QStyle::SP_DirHomeIcon;
    case kRecycle: return QStyle::SP_TrashIcon;
    case kNetwork: return QStyle::SP_DriveNetIcon;
    case kControls: return QStyle::SP_FileDialogDetailedView;
    case kLinkFile: return QStyle::SP_FileLinkIcon;
    case kLinkFolder: return QStyle::SP_DirLinkIcon;
    default: return QStyle::SP_FileIcon;
    }
}

} // namespace

PropertySheetHook SetPropertySheetHook(PropertySheetHook hook)
{
    std::lock_guard lock(g_lock);
    return std::exchange(g_propertyHook, std::move(hook));
}

RenamePromptHook SetRenamePromptHook(RenamePromptHook hook)
{
    std::lock_guard lock(g_lock);
    return std::exchange(g_renameHook, std::move(hook));
}

HIMAGELIST SystemImageList(bool large) { return large ? &g_large : &g_small; }

int ImageListCount(HIMAGELIST list) { return (list == &g_small || list == &g_large) ? kSlotCount : 0; }

QIcon ImageListIcon(HIMAGELIST list, int index)
{
    if ((list != &g_small && list != &g_large) || index < 0 || index >= kSlotCount || !WidgetApp())
        return QIcon();
    const int px = static_cast<ImageList *>(list)->Large() ? 32 : 16;
    QPixmap pixmap = QApplication::style()->standardIcon(PixmapFor(index)).pixmap(px, px);
    if (pixmap.size() != QSize(px, px))
        pixmap = pixmap.scaled(px, px, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return QIcon(pixmap);
}

namespace detail {

int IconIndexOf(const Location &loc, bool open)
{
    switch (loc.kind) {
    case LocKind::Desktop: return kDesktop;
    case LocKind::Computer: return kComputer;
    case LocKind::Drive: return (loc.last.sfgao & SFGAO_REMOVABLE) ? kRemovable : kDrive;
    case LocKind::Personal: return kDocuments;
    case LocKind::RecycleBin: return kRecycle;
    case LocKind::Special:
        if (loc.csidl == CSIDL_NETWORK)
            return kNetwork;
        if (loc.csidl == CSIDL_CONTROLS || loc.csidl == CSIDL_PRINTERS)
            return kControls;
        return open ? kFolderOpen : kFolder;
    case LocKind::File:
        if (loc.last.sfgao & SFGAO_FOLDER)
            return (loc.last.sfgao & SFGAO_LINK) ? kLinkFolder : (open ? kFolderOpen : kFolder);
        return (loc.last.sfgao & SFGAO_LINK) ? kLinkFile : kFile;
    }
    return kFile;
}

UINT ShowPopupMenu(const Menu &menu, int x, int y, HWND owner)
{
    if (!WidgetApp())
        return 0;
    QMenu popup(static_cast<QWidget *>(owner));
    for (const MenuItem &item : menu.items) {
        if (item.id == 0) {
            popup.addSeparator();
            continue;
        }
        QAction *a = popup.addAction(item.text);
        a->setData(item.id);
        if (item.isDefault) {
            QFont f = a->font();
            f.setBold(true);
            a->setFont(f);
        }
    }
    QAction *chosen = popup.exec(QPoint(x, y));
    return chosen ? chosen->data().toUInt() : 0;
}

bool ShowPropertySheet(const PropertySheetInfo &info)
{
    PropertySheetHook hook;
    {
        std::lock_guard lock(g_lock);
        hook = g_propertyHook;
    }
    if (hook)
        return hook(info);
    if (!WidgetApp())
        return false;
    auto *dialog = new QDialog;
    dialog->setObjectName(QStringLiteral("ShellPropertySheet"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(info.name + QString::fromUtf8(" 속성"));
    auto *layout = new QVBoxLayout(dialog);
    auto *form = new QFormLayout;
    auto add = [&](const char *label, const QString &value, const char *name) {
        auto *v = new QLabel(value, dialog);
        v->setObjectName(QString::fromLatin1(name));
        v->setTextInteractionFlags(Qt::TextSelectableByMouse);
        form->addRow(QString::fromUtf8(label), v);
    };
    add("이름:", info.name, "nameValue");
    add("종류:", info.type, "typeValue");
    add("위치:", info.location, "locationValue");
    add("크기:", info.size, "sizeValue");
    add("수정한 날짜:", info.modified, "modifiedValue");
    add("특성:", info.attributes, "attributesValue");
    layout->addLayout(form);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    layout->addWidget(buttons);
    dialog->show();
    return true;
}

std::optional<QString> PromptRename(const QString &current)
{
    RenamePromptHook hook;
    {
        std::lock_guard lock(g_lock);
        hook = g_renameHook;
    }
    if (hook)
        return hook(current);
    if (!WidgetApp())
        return std::nullopt;
    bool ok = false;
    const QString name = QInputDialog::getText(nullptr, QString::fromUtf8("이름 바꾸기"),
                                               QString::fromUtf8("새 이름:"), QLineEdit::Normal, current, &ok);
    if (!ok)
        return std::nullopt;
    return name;
}

} // namespace detail
} // namespace vx::shell
