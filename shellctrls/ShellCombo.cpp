// SPDX-License-Identifier: GPL-3.0-or-later
#include "shellctrls/ShellCombo.h"

#include "platform/codepage/codepage_qt.h"
#include "platform/gui/application.h"
#include "shellctrls/ShellList.h"
#include "shellctrls/ShellTree.h"

#include <QAbstractItemView>
#include <QLineEdit>
#include <QPainter>
#include <QStandardItemModel>
#include <QStyle>
#include <QStyledItemDelegate>
#include <exception>
#include <algorithm>
#include <utility>

using namespace vx::shellctrls;

namespace {

// Draws each entry of the drop-down list indented by its level.
class IndentDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem shifted(option);
        shifted.rect.adjust(Indent(index), 0, 0, 0);
        QStyledItemDelegate::paint(painter, shifted, index);
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.rwidth() += Indent(index);
        return size;
    }

private:
    static int Indent(const QModelIndex &index)
    {
        return std::max(0, index.data(TCustomShellComboBox::IndentRole).toInt()) *
               TCustomShellComboBox::IndentWidth;
    }
};

} // namespace


TCustomShellComboBox::TCustomShellComboBox(QWidget *parent)
    : QComboBox(parent), TShellRootedControl(TShellObjectTypes{otFolders})
{
    // The plain drop-down style: an edit field with a list.
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setItemDelegate(new IndentDelegate(this));
    setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    setMinimumContentsLength(20);

    connect(this, &QComboBox::currentIndexChanged, this, &TCustomShellComboBox::OnCurrentIndexChanged);
    connect(this, &QComboBox::activated, this, &TCustomShellComboBox::OnActivated);
    if (QLineEdit *edit = lineEdit())
        connect(edit, &QLineEdit::returnPressed, this, &TCustomShellComboBox::OnEditReturn);

    // The window exists from here on: build the entries from the root. Without a desktop the
    // combo box stays empty.
    ApplyImages();
    try {
        BuildEntries();
    } catch (const std::exception &) {
    }
}

TCustomShellComboBox::~TCustomShellComboBox()
{
    Destroying_ = true;
    disconnect(this, nullptr, this, nullptr);
    ClearEntries();
    delete RootShellFolder_;
    RootShellFolder_ = nullptr;
}

TCustomShellTreeView *TCustomShellComboBox::ShellTreeView() const { return ShellTreeView_.data(); }
TCustomShellListView *TCustomShellComboBox::ShellListView() const { return ShellListView_.data(); }

// ---- properties ----

void TCustomShellComboBox::SetRoot(const TRoot &Value)
{
    if (TakeRoot(Value))
        ApplyRoot();
}

void TCustomShellComboBox::SetObjectTypes(TShellObjectTypes Value)
{
    ObjectTypes_ = Value;
    ApplyRoot();
}

void TCustomShellComboBox::SetUseShellImages(bool Value)
{
    UseShellImages_ = Value;
    ApplyImages();
}

void TCustomShellComboBox::SetImages(std::vector<QIcon> Images)
{
    Images_ = std::move(Images);
    ApplyImages();
}

void TCustomShellComboBox::SetShellTreeView(TCustomShellTreeView *Value)
{
    ShellTreeView_ = Value;
}

void TCustomShellComboBox::SetShellListView(TCustomShellListView *Value)
{
    Relink<TCustomShellListView, TCustomShellComboBox>(ShellListView_, Value, this, &TCustomShellListView::ShellComboBox,
                                                       &TCustomShellListView::SetShellComboBox);
}

// ---- entries ----

void TCustomShellComboBox::BeginUpdate() { ++UpdateCount_; }

void TCustomShellComboBox::EndUpdate()
{
    if (UpdateCount_ > 0)
        --UpdateCount_;
}

#define VX_COMBO_UPDATE ScopeUpdate updateGuard_([this] { BeginUpdate(); }, [this] { EndUpdate(); })

void TCustomShellComboBox::ApplyRoot()
{
    FlagGuard syncing(Syncing_);
    ClearEntries();
    BuildEntries();
    // Each companion is told, even when another one fails; the first failure is raised after.
    std::exception_ptr error;
    if (TCustomShellTreeView *tree = ShellTreeView()) {
        try {
            tree->SetRoot(Root_);
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (TCustomShellListView *list = ShellListView()) {
        try {
            list->SetRoot(Root_);
        } catch (...) {
            if (!error)
                error = std::current_exception();
        }
    }
    if (error)
        std::rethrow_exception(error);
}

void TCustomShellComboBox::ClearEntries()
{
    VX_COMBO_UPDATE;
    clear();
    EntryFolders_.clear();
}

void TCustomShellComboBox::BuildEntries()
{
    VX_COMBO_UPDATE;
    ClearEntries();
    try {
        RootShellFolder_ = ResolveRoot(RootShellFolder_, PreviousRoot_, Root_);
    } catch (const EShellError &) {
        // Root is back at its previous value and the old root node is alive: show that root
        // again, then report.
        if (RootShellFolder_ && !Destroying_) {
            try {
                FillFromRoot();
            } catch (const std::exception &) {
                ClearEntries();
            }
        }
        throw;
    }
    FillFromRoot();
}

void TCustomShellComboBox::FillFromRoot()
{
    auto folder = std::make_unique<TShellFolder>(nullptr, RootShellFolder_->FullItemId(), RootShellFolder_->FolderIntf());
    TShellFolder *top = folder.get();
    EntryFolders_.push_back(std::move(folder));
    const int image = EntryImage(top);
    AddEntry(0, top->DisplayText(), top, image, image);
    FillRootEntries();
    setCurrentIndex(0);
    if (UseShellImages_)
        ApplyImages();
}

int TCustomShellComboBox::EntryImage(TShellFolder *Folder) const
{
    if (!UseShellImages_ || !Folder)
        return -1;
    return ShellIconIndex(Folder->FullItemId(), false, false);
}

void TCustomShellComboBox::FillRootEntries()
{
    VX_COMBO_UPDATE;
    AddSubfolders(0, RootShellFolder_);
    if (Root_ != "rfDesktop")
        return;
    PItemIDList computer = nullptr;
    const HRESULT located = SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &computer);
    IdListPtr drives(computer);
    if (located != S_OK || !drives)
        return;
    const int index = IndexOfId(drives.get());
    if (index >= 0)
        AddSubfolders(index, FolderOfEntry(index));
}

void TCustomShellComboBox::AddSubfolders(int Index, TShellFolder *Parent)
{
    if (!Parent || !Parent->FolderIntf())
        return;
    ComPtr<IEnumIDList> items;
    const HRESULT r = Parent->FolderIntf()->EnumObjects(nullptr, EnumFlagsOf(ObjectTypes_), items.Put());
    if (r != S_OK || !items)
        throw EShellResultError(r != S_OK ? r : E_FAIL);

    struct SortScope {
        std::vector<PItemIDList> lists;
        ~SortScope()
        {
            SortParent = nullptr;
            for (PItemIDList list : lists)
                FreeIdList(list);
        }
    } scope;
    SortParent = Parent;
    VX_COMBO_UPDATE;
    PItemIDList item = nullptr;
    ULONG fetched = 0;
    while (items->Next(1, &item, &fetched) == S_OK && item) {
        scope.lists.push_back(item);
        item = nullptr;
    }
    IShellFolder *order = Parent->FolderIntf();
    std::stable_sort(scope.lists.begin(), scope.lists.end(), [order](PItemIDList a, PItemIDList b) {
        if (!SortParent)
            return false;
        return HRESULT_CODE_SHORT(order->CompareIDs(0, a, b)) < 0;
    });
    for (size_t k = 0; k < scope.lists.size(); ++k) {
        TShellFolder *folder = MakeEntryFolder(Parent, scope.lists[k]);
        const int position = Index + 1 + static_cast<int>(k);
        const int image = EntryImage(folder);
        AddEntry(position, folder->DisplayText(), folder, image, image);
        if (OnGetItemImage && UseShellImages_) {
            int imageIndex = EntryImageIndex(position);
            OnGetItemImage(this, position, imageIndex);
            SetEntryImageIndex(position, imageIndex);
        }
    }
}

TShellFolder *TCustomShellComboBox::MakeEntryFolder(TShellFolder *Parent, LPCITEMIDLIST Id)
{
    ComPtr<IShellFolder> sub = BindSubfolder(Parent ? Parent->FolderIntf() : nullptr, Id, nullptr);
    auto folder = std::make_unique<TShellFolder>(Parent, Id, sub.Get());
    TShellFolder *raw = folder.get();
    EntryFolders_.push_back(std::move(folder));
    return raw;
}

void TCustomShellComboBox::InsertEntry(int Position, const AnsiString &Caption, TShellFolder *Folder)
{
    AddEntry(Position, Caption, Folder, EntryImage(Folder), -1);
}

void TCustomShellComboBox::AddEntry(int Position, const AnsiString &Caption, TShellFolder *Folder, int Image,
                                    int SelectedImage)
{
    VX_COMBO_UPDATE;
    Position = std::clamp(Position, 0, count());
    insertItem(Position, IconFor(Image), vx::codepage::FromAnsi(Caption));
    setItemData(Position, QVariant::fromValue(static_cast<void *>(Folder)), FolderRole);
    setItemData(Position, Folder ? Folder->Depth() : 0, IndentRole);
    setItemData(Position, Image, ImageRole);
    setItemData(Position, SelectedImage, SelectedImageRole);
}

TShellFolder *TCustomShellComboBox::FolderOfEntry(int Index) const
{
    if (count() == 0 || Index < 0)
        return nullptr;
    Index = std::min(Index, count() - 1);
    return static_cast<TShellFolder *>(itemData(Index, FolderRole).value<void *>());
}

TShellFolder *TCustomShellComboBox::SelectedShellFolder() const
{
    return currentIndex() >= 0 ? FolderOfEntry(currentIndex()) : nullptr;
}

int TCustomShellComboBox::IndexOfId(LPCITEMIDLIST FullId) const
{
    if (!FullId)
        return -1;
    ComPtr<IShellFolder> desktop = DesktopFolder();
    for (int i = count() - 1; i >= 0; --i) {
        TShellFolder *folder = FolderOfEntry(i);
        if (folder && HRESULT_CODE_SHORT(desktop->CompareIDs(0, FullId, folder->FullItemId())) == 0)
            return i;
    }
    return -1;
}

int TCustomShellComboBox::EntryIndent(int Index) const
{
    return (Index >= 0 && Index < count()) ? itemData(Index, IndentRole).toInt() : -1;
}

int TCustomShellComboBox::EntryImageIndex(int Index) const
{
    return (Index >= 0 && Index < count()) ? itemData(Index, ImageRole).toInt() : -1;
}

void TCustomShellComboBox::SetEntryImageIndex(int Index, int ImageIndex)
{
    if (Index < 0 || Index >= count())
        return;
    setItemData(Index, ImageIndex, ImageRole);
    setItemIcon(Index, IconFor(ImageIndex));
}

// ---- images ----

QIcon TCustomShellComboBox::IconFor(int ImageIndex) const
{
    if (ImageIndex < 0)
        return QIcon();
    if (!Images_.empty())
        return ImageIndex < static_cast<int>(Images_.size()) ? Images_[static_cast<size_t>(ImageIndex)] : QIcon();
    if (UseShellImages_ && SystemSmallImages_)
        return vx::shell::ImageListIcon(SystemSmallImages_, ImageIndex);
    return QIcon();
}

void TCustomShellComboBox::ApplyImages()
{
    // The image list in force: the own list if set, else the shell's when wanted, else none.
    for (int i = 0; i < count(); ++i)
        setItemIcon(i, IconFor(itemData(i, ImageRole).toInt()));
    const int side = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
    setIconSize(QSize(side, side));
}

// ---- following and driving ----

void TCustomShellComboBox::ShowPath(LPCITEMIDLIST FullId)
{
    VX_COMBO_UPDATE;
    BuildEntries();
    if (!FullId)
        return;
    IdListListPtr ancestors(AncestorIdLists(FullId));
    if (!ancestors)
        return;
    int index = -1;
    size_t found = 0;
    for (size_t k = ancestors->size(); k-- > 0;) {
        index = IndexOfId((*ancestors)[k]);
        if (index >= 0) {
            found = k;
            break;
        }
    }
    if (index < 0)
        return;
    for (size_t k = found + 1; k < ancestors->size(); ++k) {
        IdListPtr last(LastItemOf((*ancestors)[k]));
        TShellFolder *folder = MakeEntryFolder(FolderOfEntry(index), last.get());
        InsertEntry(index + 1, folder->DisplayText(), folder);
        ++index;
    }
    int position = IndexOfId(FullId);
    if (position < 0) {
        IdListPtr last(LastItemOf(FullId));
        TShellFolder *folder = MakeEntryFolder(FolderOfEntry(index), last.get());
        InsertEntry(index + 1, folder->DisplayText(), folder);
        position = index + 1;
    }
    setCurrentIndex(position);
}

void TCustomShellComboBox::FollowItemId(LPCITEMIDLIST FullId)
{
    if (Syncing_ || !FullId)
        return;
    if (TShellFolder *selected = SelectedShellFolder(); selected && SameItemId(selected->FullItemId(), FullId))
        return;
    FlagGuard syncing(Syncing_);
    ShowPath(FullId);
}

void TCustomShellComboBox::MoveCompanions()
{
    FlagGuard syncing(Syncing_);
    TShellFolder *folder = SelectedShellFolder();
    if (!folder)
        return;
    // The entries may be rebuilt while the companions move: work on a copy of the list.
    IdListPtr id(CopyIdList(folder->FullItemId()));
    if (TCustomShellTreeView *tree = ShellTreeView())
        tree->NavigateToId(id.get());
    if (TCustomShellListView *list = ShellListView())
        list->FollowItemId(id.get());
}

void TCustomShellComboBox::Change()
{
    if (Updating() || Destroying_)
        return;
    emit Changed();
    if (currentIndex() < 0 || Syncing_)
        return;
    if (DroppedDown_) {
        ChangedWhileDropped_ = true;
        return;
    }
    MoveCompanions();
}

void TCustomShellComboBox::Click()
{
    if (Destroying_ || currentIndex() < 0)
        return;
    TShellFolder *folder = SelectedShellFolder();
    if (!folder)
        return;
    FlagGuard syncing(Syncing_);
    IdListPtr id(CopyIdList(folder->FullItemId()));
    ShowPath(id.get());
}

void TCustomShellComboBox::OnCurrentIndexChanged(int)
{
    // Reached from the user's choice: errors are reported, not thrown into the widget.
    ReportErrors([this] { Change(); });
}

void TCustomShellComboBox::OnActivated(int)
{
    ReportErrors([this] { Click(); });
}

void TCustomShellComboBox::OnEditReturn()
{
    // A path typed into the edit field: show it and move the companions there.
    QLineEdit *edit = lineEdit();
    if (!edit || Destroying_)
        return;
    const AnsiString text = vx::codepage::ToAnsi(edit->text().trimmed());
    TShellFolder *selected = SelectedShellFolder();
    if (text.empty() || (selected && text == selected->DisplayText())) {
        if (selected)
            edit->setText(itemText(currentIndex()));
        return;
    }
    try {
        TRoot path = text;
        TShellFolder *target = ResolveRoot(nullptr, AnsiString(), path);
        std::unique_ptr<TShellFolder> owner(target);
        {
            FlagGuard syncing(Syncing_);
            ShowPath(target->FullItemId());
        }
        if (IndexOfId(target->FullItemId()) >= 0)
            MoveCompanions();
    } catch (const std::exception &error) {
        if (currentIndex() >= 0)
            edit->setText(itemText(currentIndex()));
        vx::gui::ReportException(error);
    }
}

void TCustomShellComboBox::showPopup()
{
    DroppedDown_ = true;
    ChangedWhileDropped_ = false;
    QComboBox::showPopup();
}

void TCustomShellComboBox::hidePopup()
{
    QComboBox::hidePopup();
    DroppedDown_ = false;
    if (ChangedWhileDropped_) {
        // The choice made in the list is confirmed now.
        ChangedWhileDropped_ = false;
        if (!Syncing_ && currentIndex() >= 0)
            ReportErrors([this] { MoveCompanions(); });
    }
}
