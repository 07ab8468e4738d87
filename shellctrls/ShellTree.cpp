// SPDX-License-Identifier: GPL-3.0-or-later
#include "shellctrls/ShellTree.h"

#include "platform/codepage/codepage_qt.h"
#include "platform/exec/exec.h"
#include "platform/gui/application.h"
#include "platform/gui/messagebox.h"
#include "platform/drives/drives.h"
#include "shellctrls/ShellCombo.h"
#include "shellctrls/ShellList.h"
#include "shellctrls/ShellNotifier.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QStyledItemDelegate>
#include <QTreeWidgetItemIterator>
#include <algorithm>
#include <cctype>
#include <memory>

// ---- shared by the three controls ----

namespace vx::shellctrls {

WaitCursor::WaitCursor()
{
    Active_ = qobject_cast<QApplication *>(QCoreApplication::instance()) != nullptr;
    if (Active_)
        QApplication::setOverrideCursor(Qt::WaitCursor);
}

WaitCursor::~WaitCursor()
{
    if (Active_)
        QApplication::restoreOverrideCursor();
}

bool SameRootText(const AnsiString &A, const AnsiString &B)
{
    if (A.size() != B.size())
        return false;
    for (size_t i = 0; i < A.size(); ++i) {
        const auto x = static_cast<unsigned char>(A[i]);
        const auto y = static_cast<unsigned char>(B[i]);
        if (x >= 0x80 || y >= 0x80) {
            if (x != y)
                return false;
            if (i + 1 < A.size()) { // a two-byte character: its trail byte exactly
                ++i;
                if (A[i] != B[i])
                    return false;
            }
            continue;
        }
        if (std::tolower(x) != std::tolower(y))
            return false;
    }
    return true;
}

AnsiString PathPart(const AnsiString &Path)
{
    size_t end = 0;
    for (size_t i = 0; i < Path.size();) {
        const char c = Path[i];
        const int n = vx::codepage::AnsiCharLength(static_cast<unsigned char>(c));
        if (n == 1 && (c == '\\' || c == ':'))
            end = i + 1;
        i += static_cast<size_t>(std::max(n, 1));
    }
    return Path.substr(0, std::min(end, Path.size()));
}

QString LocalFolder(const AnsiString &Path)
{
    if (std::optional<std::string> posix = vx::shell::WindowsToPosix(Path))
        return QString::fromStdString(*posix);
    if (!Path.empty() && Path.front() == '/')
        return QString::fromStdString(vx::codepage::AnsiToUtf8(Path));
    return QString();
}

void ReportErrors(const std::function<void()> &Action)
{
    try {
        Action();
    } catch (const std::exception &e) {
        vx::gui::ReportException(e);
    }
}

} // namespace vx::shellctrls

TShellRootedControl::TShellRootedControl(TShellObjectTypes Types) : ObjectTypes_(Types)
{
    SHFILEINFOA info{};
    SystemSmallImages_ = reinterpret_cast<HIMAGELIST>(
        SHGetFileInfoA("C:\\", 0, &info, sizeof info, SHGFI_SYSICONINDEX | SHGFI_SMALLICON));
}

TShellRootedControl::~TShellRootedControl()
{
    delete std::exchange(RootShellFolder_, nullptr);
}

bool TShellRootedControl::TakeRoot(const TRoot &Value)
{
    if (vx::shellctrls::SameRootText(Value, Root_))
        return false;
    PreviousRoot_ = Root_;
    Root_ = Value;
    return true;
}

using namespace vx::shellctrls;

namespace {

constexpr UINT WM_DRAWITEM = 0x2B;
constexpr UINT WM_MEASUREITEM = 0x2C;
constexpr UINT WM_INITMENUPOPUP = 0x117;
constexpr UINT WM_MENUCHAR = 0x120;

constexpr int kNodeType = QTreeWidgetItem::UserType + 0x5354;

QString U(const AnsiString &ansi)
{
    return vx::codepage::FromAnsi(ansi);
}

} // namespace

// ---- node ----

TShellTreeNode::TShellTreeNode(TShellFolder *Folder) : QTreeWidgetItem(kNodeType), Data_(Folder)
{
    setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable);
    setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

TShellTreeNode::~TShellTreeNode()
{
    delete std::exchange(Data_, nullptr);
}

void TShellTreeNode::SetData(TShellFolder *Folder)
{
    if (Folder == Data_)
        return;
    delete std::exchange(Data_, Folder);
}

TShellFolder *TShellTreeNode::TakeData()
{
    return std::exchange(Data_, nullptr);
}

void TShellTreeNode::DeferShellImages(bool Icons, bool Overlay)
{
    IconsPending_ = Icons;
    OverlayPending_ = Overlay;
}

void TShellTreeNode::TakeShellImages() const
{
    if (IconsPending_) {
        IconsPending_ = false;
        if (Data_) {
            ImageIndex_ = ShellIconIndex(Data_->FullItemId(), false, false);
            SelectedIndex_ = ShellIconIndex(Data_->FullItemId(), false, true);
        }
        // An open icon of index 0 shows the closed one.
        if (SelectedIndex_ == 0)
            SelectedIndex_ = ImageIndex_;
    }
    if (OverlayPending_) {
        OverlayPending_ = false;
        if (Data_ && Data_->Traits().Contains(stShared))
            OverlayIndex_ = 0;
    }
}

int TShellTreeNode::ImageIndex() const
{
    TakeShellImages();
    return ImageIndex_;
}

void TShellTreeNode::SetImageIndex(int Index)
{
    TakeShellImages();
    ImageIndex_ = Index;
}

int TShellTreeNode::SelectedIndex() const
{
    TakeShellImages();
    return SelectedIndex_;
}

void TShellTreeNode::SetSelectedIndex(int Index)
{
    TakeShellImages();
    SelectedIndex_ = Index;
}

int TShellTreeNode::OverlayIndex() const
{
    TakeShellImages();
    return OverlayIndex_;
}

void TShellTreeNode::SetOverlayIndex(int Index)
{
    TakeShellImages();
    OverlayIndex_ = Index;
}

bool TShellTreeNode::HasChildren() const
{
    TakeButton(true);
    if (ButtonDecided_ >= 0)
        return ButtonDecided_ == 1 || childCount() > 0;
    return childIndicatorPolicy() == QTreeWidgetItem::ShowIndicator || childCount() > 0;
}

void TShellTreeNode::SetHasChildren(bool Value)
{
    ButtonPending_ = false;
    ButtonDecided_ = -1;
    setChildIndicatorPolicy(Value ? QTreeWidgetItem::ShowIndicator
                                  : QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

void TShellTreeNode::DeferHasChildren(DWORD Kinds)
{
    SetHasChildren(true);
    ButtonPending_ = true;
    ButtonKinds_ = Kinds;
}

void TShellTreeNode::TakeButton(bool Apply) const
{
    if (!ButtonPending_)
        return;
    ButtonPending_ = false;
    bool has = false;
    if (Data_) {
        if (ButtonKinds_ && Data_->FolderIntf())
            has = HasContent(Data_->FolderIntf(), ButtonKinds_);
        else
            has = Data_->HasSubfolders();
    }
    auto *self = const_cast<TShellTreeNode *>(this);
    auto *tree = dynamic_cast<TCustomShellTreeView *>(treeWidget());
    if (Apply || !tree) {
        self->SetHasChildren(has);
        return;
    }
    // Inside a paint the view's layout must not change: the tree applies it right after.
    ButtonDecided_ = has ? 1 : 0;
    tree->ApplyButtonLater(self);
}

int TShellTreeNode::Level() const
{
    int level = 0;
    for (QTreeWidgetItem *p = parent(); p; p = p->parent())
        ++level;
    return level;
}

void TShellTreeNode::DeferText()
{
    TextDeferred_ = true;
    DeferredText_.reset();
}

void TShellTreeNode::setData(int column, int role, const QVariant &value)
{
    if (column == 0 && (role == Qt::DisplayRole || role == Qt::EditRole))
        TextDeferred_ = false;
    QTreeWidgetItem::setData(column, role, value);
}

QVariant TShellTreeNode::data(int column, int role) const
{
    if (role == Qt::DisplayRole || role == Qt::DecorationRole)
        TakeButton(false); // the node is being drawn: decide its button now
    if (TextDeferred_ && column == 0 && (role == Qt::DisplayRole || role == Qt::EditRole)) {
        if (!DeferredText_) {
            try {
                DeferredText_ = Data_ ? U(Data_->DisplayText()) : QString();
            } catch (const std::exception &) {
                return QString(); // asked again the next time
            }
        }
        return *DeferredText_;
    }
    if (role != Qt::DecorationRole || column != 0)
        return QTreeWidgetItem::data(column, role);
    auto *tree = dynamic_cast<TCustomShellTreeView *>(treeWidget());
    if (!tree)
        return QVariant();
    auto *self = const_cast<TShellTreeNode *>(this);
    const bool selected = tree->Selected() == this;
    if (tree->HasImages()) {
        if (selected)
            tree->GetSelectedIndex(self);
        else
            tree->GetImageIndex(self);
    }
    const QIcon icon = tree->ImageIcon(selected ? SelectedIndex() : ImageIndex());
    return icon.isNull() ? QVariant() : QVariant(icon);
}

// ---- selection: the hook runs before the selection changes and may refuse it ----

class TShellTreeSelection : public QItemSelectionModel {
public:
    TShellTreeSelection(QAbstractItemModel *model, TCustomShellTreeView *tree)
        : QItemSelectionModel(model, tree), tree_(tree)
    {
    }

    void setCurrentIndex(const QModelIndex &index, QItemSelectionModel::SelectionFlags command) override
    {
        if (!Allowed(index, command))
            return;
        Pass pass(inside_);
        QItemSelectionModel::setCurrentIndex(index, command);
    }

    void select(const QModelIndex &index, QItemSelectionModel::SelectionFlags command) override
    {
        if (!Allowed(index, command))
            return;
        Pass pass(inside_);
        QItemSelectionModel::select(index, command);
    }

    void select(const QItemSelection &selection, QItemSelectionModel::SelectionFlags command) override
    {
        const QModelIndex target = selection.isEmpty() ? QModelIndex() : QModelIndex(selection.first().topLeft());
        if (!Allowed(target, command))
            return;
        Pass pass(inside_);
        QItemSelectionModel::select(selection, command);
    }

private:
    struct Pass {
        explicit Pass(int &n) : n_(n) { ++n_; }
        ~Pass() { --n_; }
        int &n_;
    };

    bool Allowed(const QModelIndex &index, QItemSelectionModel::SelectionFlags command)
    {
        if (inside_ > 0 || !(command & QItemSelectionModel::Select) || !index.isValid() || isSelected(index))
            return true;
        Pass pass(inside_);
        try {
            return tree_->CanChange(tree_->NodeOf(index));
        } catch (const std::exception &e) {
            vx::gui::ReportException(e);
            return true;
        }
    }

    TCustomShellTreeView *tree_;
    int inside_ = 0;
};

// ---- label editing: the finished edit renames the item ----

class TShellTreeDelegate : public QStyledItemDelegate {
public:
    explicit TShellTreeDelegate(TCustomShellTreeView *tree) : QStyledItemDelegate(tree), tree_(tree) {}

    void setModelData(QWidget *editor, QAbstractItemModel *, const QModelIndex &index) const override
    {
        auto *line = qobject_cast<QLineEdit *>(editor);
        if (!line)
            return;
        tree_->Edit(tree_->NodeOf(index), line->text());
    }

private:
    TCustomShellTreeView *tree_;
};

// ---- the tree ----

TCustomShellTreeView::TCustomShellTreeView(QWidget *parent)
    : QTreeWidget(parent), TShellRootedControl(TShellObjectTypes{otFolders})
{
    setColumnCount(1);
    setHeaderHidden(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformRowHeights(true);
    setIconSize(QSize(16, 16));
    setRootIsDecorated(false);
    setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);

    QItemSelectionModel *old = selectionModel();
    Selection_ = new TShellTreeSelection(model(), this);
    setSelectionModel(Selection_);
    delete old;
    // The item bookkeeping of the base widget follows the new selection model, as it did the old.
    connect(Selection_, SIGNAL(currentChanged(QModelIndex, QModelIndex)), this,
            SLOT(_q_emitCurrentItemChanged(QModelIndex, QModelIndex)));
    connect(Selection_, SIGNAL(selectionChanged(QItemSelection, QItemSelection)), this,
            SLOT(_q_selectionChanged(QItemSelection, QItemSelection)));
    setItemDelegate(new TShellTreeDelegate(this));

    // Idle until an OnChange is given: no watcher thread.
    ChangeWatcher_ = new TShellChangeNotifier(this);

    connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem *item) { ItemExpanded(item); });
    connect(this, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem *item) { ItemCollapsed(item); });
    connect(Selection_, &QItemSelectionModel::selectionChanged, this, [this] {
        if (OnChange)
            OnChange(this, Selected());
    });
}

TCustomShellTreeView::~TCustomShellTreeView()
{
    delete std::exchange(ChangeWatcher_, nullptr);
    ClearNodes();
    delete std::exchange(RootShellFolder_, nullptr);
}

// ---- properties ----

void TCustomShellTreeView::SetRoot(const TRoot &Value)
{
    if (TakeRoot(Value))
        ApplyRoot();
}

void TCustomShellTreeView::SetObjectTypes(TShellObjectTypes Value)
{
    ObjectTypes_ = Value;
    ApplyRoot();
}

void TCustomShellTreeView::SetAutoRefresh(bool Value)
{
    AutoRefresh_ = Value;
    if (Loading_)
        return;
    delete std::exchange(ChangeWatcher_, nullptr);
    if (!Value)
        return;
    TShellFolder *folder = WatchNode_ ? WatchNode_->Data() : RootShellFolder_;
    if (!folder)
        return; // nothing resolved yet: nothing to watch
    ChangeWatcher_ = new TShellChangeNotifier(this);
    ChangeWatcher_->SetWatchSubTree(false);
    ChangeWatcher_->SetRoot(folder->ParsingPath());
    ChangeWatcher_->SetOnChange([this] { RefreshSelected(); });
}

void TCustomShellTreeView::SetUseShellImages(bool Value)
{
    UseShellImages_ = Value;
    RefreshImages();
}

void TCustomShellTreeView::SetImages(std::vector<QIcon> Images)
{
    Images_ = std::move(Images);
    RefreshImages();
}

void TCustomShellTreeView::ClearImages()
{
    Images_.reset();
    RefreshImages();
}

// The image list in use: the control's own, else the shell's when UseShellImages, else none.
QIcon TCustomShellTreeView::ImageIcon(int Index) const
{
    if (Images_) {
        if (Index < 0 || Index >= static_cast<int>(Images_->size()))
            return QIcon();
        return (*Images_)[static_cast<size_t>(Index)];
    }
    if (!UseShellImages_ || !SystemSmallImages_)
        return QIcon();
    return CachedShellIcon(Index);
}

QIcon TCustomShellTreeView::CachedShellIcon(int Index) const
{
    if (Index < 0 || Index >= vx::shell::ImageListCount(SystemSmallImages_))
        return QIcon();
    if (ShellIcons_.empty())
        ShellIcons_.resize(static_cast<size_t>(vx::shell::ImageListCount(SystemSmallImages_)));
    QIcon &icon = ShellIcons_[static_cast<size_t>(Index)];
    if (icon.isNull())
        icon = vx::shell::ImageListIcon(SystemSmallImages_, Index);
    return icon;
}

void TCustomShellTreeView::RefreshImages()
{
    if (SettingImages_)
        return;
    FlagGuard setting(SettingImages_);
    viewport()->update();
}

TCustomShellComboBox *TCustomShellTreeView::ShellComboBox() const
{
    return ShellComboBox_.data();
}

void TCustomShellTreeView::SetShellComboBox(TCustomShellComboBox *Value)
{
    Relink<TCustomShellComboBox, TCustomShellTreeView>(
        ShellComboBox_, Value, this, &TCustomShellComboBox::ShellTreeView, &TCustomShellComboBox::SetShellTreeView,
        [this](TCustomShellComboBox *combo) { combo->SetRoot(Root_); });
}

TCustomShellListView *TCustomShellTreeView::ShellListView() const
{
    return ShellListView_.data();
}

void TCustomShellTreeView::SetShellListView(TCustomShellListView *Value)
{
    Relink<TCustomShellListView, TCustomShellTreeView>(
        ShellListView_, Value, this, &TCustomShellListView::ShellTreeView, &TCustomShellListView::SetShellTreeView,
        [this](TCustomShellListView *list) { list->SetRoot(Root_); });
}

void TCustomShellTreeView::SetReadOnly(bool Value)
{
    ReadOnly_ = Value;
    setEditTriggers(Value ? QAbstractItemView::NoEditTriggers
                          : QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
}

QMenu *TCustomShellTreeView::PopupMenu() const
{
    return PopupMenu_.data();
}

void TCustomShellTreeView::SetPopupMenu(QMenu *Menu, bool AutoPopup)
{
    PopupMenu_ = Menu;
    PopupAutoPopup_ = AutoPopup;
}

// ---- nodes ----

TShellTreeNode *TCustomShellTreeView::NodeOf(const QModelIndex &Index) const
{
    QTreeWidgetItem *item = itemFromIndex(Index);
    return item && item->type() == kNodeType ? static_cast<TShellTreeNode *>(item) : nullptr;
}

TShellFolder *TCustomShellTreeView::NodeFolder(QTreeWidgetItem *Node)
{
    return Node && Node->type() == kNodeType ? static_cast<TShellTreeNode *>(Node)->Data() : nullptr;
}

TShellTreeNode *TCustomShellTreeView::FirstNode() const
{
    QTreeWidgetItem *item = topLevelItem(0);
    return item && item->type() == kNodeType ? static_cast<TShellTreeNode *>(item) : nullptr;
}

int TCustomShellTreeView::NodeCount() const
{
    int n = 0;
    for (QTreeWidgetItemIterator it(const_cast<TCustomShellTreeView *>(this)); *it; ++it)
        ++n;
    return n;
}

TShellTreeNode *TCustomShellTreeView::NodeAt(int Index) const
{
    if (Index < 0)
        return nullptr;
    QTreeWidgetItemIterator it(const_cast<TCustomShellTreeView *>(this));
    for (int i = 0; *it && i < Index; ++i)
        ++it;
    QTreeWidgetItem *item = *it;
    return item && item->type() == kNodeType ? static_cast<TShellTreeNode *>(item) : nullptr;
}

TShellFolder *TCustomShellTreeView::FolderAt(int Index) const
{
    TShellTreeNode *node = NodeAt(Index);
    return node ? node->Data() : nullptr;
}

TShellTreeNode *TCustomShellTreeView::Selected() const
{
    const QModelIndexList rows = selectionModel()->selectedIndexes();
    return rows.isEmpty() ? nullptr : NodeOf(rows.first());
}

TShellFolder *TCustomShellTreeView::SelectedShellFolder() const
{
    TShellTreeNode *node = Selected();
    return node ? node->Data() : nullptr;
}

void TCustomShellTreeView::SetSelected(TShellTreeNode *Node)
{
    if (!Node) {
        selectionModel()->clearSelection();
        selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
        return;
    }
    setCurrentItem(Node);
}

TShellTreeNode *TCustomShellTreeView::TopNode() const
{
    QTreeWidgetItem *item = itemAt(0, 0);
    return item && item->type() == kNodeType ? static_cast<TShellTreeNode *>(item) : nullptr;
}

void TCustomShellTreeView::SetTopNode(TShellTreeNode *Node)
{
    if (Node)
        scrollToItem(Node, QAbstractItemView::PositionAtTop);
}

void TCustomShellTreeView::BeginUpdate()
{
    if (UpdateCount_++ == 0)
        setUpdatesEnabled(false);
}

void TCustomShellTreeView::EndUpdate()
{
    if (--UpdateCount_ == 0)
        setUpdatesEnabled(true);
}

void TCustomShellTreeView::ClearNodes()
{
    ScopeUpdate update([this] { BeginUpdate(); }, [this] { EndUpdate(); });
    // Deleting a node frees its folder object (and those of its children).
    clear();
}

// ---- root ----

void TCustomShellTreeView::ApplyRoot()
{
    if (Syncing_)
        return;
    FlagGuard syncing(Syncing_);
    BuildRoot();
    if (TCustomShellComboBox *combo = ShellComboBox_.data())
        combo->SetRoot(Root_);
    if (TCustomShellListView *list = ShellListView_.data())
        list->SetRoot(Root_);
}

void TCustomShellTreeView::BuildRoot()
{
    if (Loading_)
        return;
    std::optional<std::string> error;
    try {
        RootShellFolder_ = ResolveRoot(RootShellFolder_, PreviousRoot_, Root_);
    } catch (const std::exception &e) {
        error = e.what();
    }
    Built_ = true;
    if (RootShellFolder_) {
        FlagGuard building(BuildingRoot_);
        if (topLevelItemCount() > 0)
            ClearNodes();
        auto *node = new TShellTreeNode(
            new TShellFolder(nullptr, RootShellFolder_->FullItemId(), RootShellFolder_->FolderIntf()));
        addTopLevelItem(node);
        TShellFolder *folder = node->Data();
        node->setText(0, U(ItemNameOf(DesktopFolder().Get(), folder->FullItemId(), SHGDN_NORMAL)));
        if (UseShellImages_ && !HasImages()) {
            node->SetImageIndex(ShellIconIndex(folder->FullItemId(), false, false));
            node->SetSelectedIndex(ShellIconIndex(folder->FullItemId(), false, true));
        }
        node->SetHasChildren(folder->HasSubfolders());
        ExpandNode(node);
        SetSelected(node);
    }
    if (error)
        throw EShellError(*error);
}

void TCustomShellTreeView::Loaded()
{
    Loading_ = false;
    BuildRoot();
}

void TCustomShellTreeView::showEvent(QShowEvent *event)
{
    QTreeWidget::showEvent(event);
    // A tree made at run time builds itself when it is first shown.
    if (Built_ || Loading_ || BuildingRoot_)
        return;
    try {
        if (topLevelItemCount() > 0)
            ClearNodes();
        BuildRoot();
    } catch (const std::exception &e) {
        vx::gui::ReportException(e);
    }
}

// ---- expanding and filling ----

void TCustomShellTreeView::ExpandNode(TShellTreeNode *Node)
{
    if (!Node || Node->isExpanded() || !Node->HasChildren())
        return;
    if (!CanExpand(Node) || Node->childCount() == 0)
        return;
    ++ExpandingByCode_;
    Node->setExpanded(true);
    --ExpandingByCode_;
    if (OnExpanded)
        OnExpanded(this, Node);
}

void TCustomShellTreeView::CollapseNode(TShellTreeNode *Node)
{
    if (!Node || !Node->isExpanded())
        return;
    bool allow = true;
    if (OnCollapsing)
        OnCollapsing(this, Node, allow);
    if (!allow)
        return;
    ++ExpandingByCode_;
    Node->setExpanded(false);
    --ExpandingByCode_;
    if (OnCollapsed)
        OnCollapsed(this, Node);
}

void TCustomShellTreeView::ItemExpanded(QTreeWidgetItem *Item)
{
    if (ExpandingByCode_ || Item->type() != kNodeType)
        return;
    auto *node = static_cast<TShellTreeNode *>(Item);
    bool allowed = true;
    try {
        allowed = CanExpand(node);
    } catch (const std::exception &e) {
        vx::gui::ReportException(e);
        allowed = false;
    }
    if (!allowed || node->childCount() == 0) {
        ++ExpandingByCode_;
        node->setExpanded(false);
        --ExpandingByCode_;
        return;
    }
    if (OnExpanded)
        OnExpanded(this, node);
}

void TCustomShellTreeView::ItemCollapsed(QTreeWidgetItem *Item)
{
    if (ExpandingByCode_ || Item->type() != kNodeType)
        return;
    auto *node = static_cast<TShellTreeNode *>(Item);
    bool allow = true;
    if (OnCollapsing)
        OnCollapsing(this, node, allow);
    if (!allow) {
        ++ExpandingByCode_;
        node->setExpanded(true);
        --ExpandingByCode_;
        return;
    }
    if (OnCollapsed)
        OnCollapsed(this, node);
}

bool TCustomShellTreeView::CanExpand(TShellTreeNode *Node)
{
    bool result = true;
    if (OnExpanding)
        OnExpanding(this, Node, result);
    if (result) {
        if (TShellFolder *folder = Node->Data()) {
            if (folder->IsFolderItem()) {
                if (Node->HasChildren() && Node->childCount() == 0)
                    FillNode(Node);
            } else {
                const AnsiString path = folder->ParsingPath();
                const AnsiString dir = PathPart(path);
                ShellExecuteA(this, nullptr, path.c_str(), nullptr, dir.c_str(), SW_HIDE);
            }
        }
    }
    Node->SetHasChildren(Node->childCount() > 0);
    return result;
}

namespace {
// Two items of one folder in the shell's order: the answer's low 16 bits, signed.
int CompareInFolder(IShellFolder *container, LPCITEMIDLIST a, LPCITEMIDLIST b)
{
    return HRESULT_CODE_SHORT(container->CompareIDs(0, a, b));
}
} // namespace

void TCustomShellTreeView::FillNode(TShellTreeNode *Node)
{
    WaitCursor cursor;
    ScopeUpdate update([this] { BeginUpdate(); }, [this] { EndUpdate(); });
    TShellFolder *parentFolder = Node->Data();
    if (!parentFolder || !parentFolder->FolderIntf())
        return;
    ComPtr<IEnumIDList> items;
    HRESULT hr = E_FAIL;
    try {
        hr = parentFolder->FolderIntf()->EnumObjects(vx::gui::MainForm(), EnumFlagsOf(ObjectTypes_), items.Put());
    } catch (const std::exception &) {
        return;
    }
    if (hr != S_OK || !items)
        return;

    // Each child with its item ID beside it, so the sort compares IDs without going through
    // the nodes and their folder objects.
    std::vector<std::unique_ptr<TShellTreeNode>> children;
    std::vector<LPCITEMIDLIST> ids;
    LPITEMIDLIST item = nullptr;
    ULONG fetched = 0;
    while (items->Next(1, &item, &fetched) == S_OK && item) {
        IdListPtr owned(item);
        item = nullptr;
        auto child = std::make_unique<TShellTreeNode>();
        if (SetUpNode(child.get(), owned.get(), Node)) {
            ids.push_back(child->Data()->ItemId()); // SetUpNode gave it a folder object
            children.push_back(std::move(child));
        }
    }
    // The shell's own order for this folder, as CompareNodes gives it (every child's container
    // is this folder), each item ID read once.
    QList<QTreeWidgetItem *> list;
    list.reserve(static_cast<qsizetype>(children.size()));
    for (size_t i : vx::shell::FolderOrder(parentFolder->FolderIntf(), ids))
        list.append(children[i].release());
    Node->addChildren(list);
}

bool TCustomShellTreeView::SetUpNode(TShellTreeNode *NewNode, LPCITEMIDLIST Item, TShellTreeNode *ParentNode)
{
    TShellFolder *parentFolder = ParentNode->Data();
    ComPtr<IShellFolder> folder = BindSubfolder(parentFolder ? parentFolder->FolderIntf() : nullptr, Item, nullptr);
    NewNode->SetData(new TShellFolder(parentFolder, Item, folder.Get()));
    TShellFolder *f = NewNode->Data();
    // The text, the icons and the shared mark are taken from the shell when the node is first
    // drawn: a folder of thousands of items asks only for those on screen.
    NewNode->DeferText();
    const bool shellIcons = UseShellImages_ && !HasImages();
    if (!shellIcons && NewNode->SelectedIndex() == 0)
        NewNode->SetSelectedIndex(NewNode->ImageIndex());
    NewNode->DeferShellImages(shellIcons, true);
    // The button: from the sub-folders, or with files listed from whether the folder yields an
    // item; decided when the node is first drawn or asked, so a large folder does not open
    // every one of its sub-folders at once.
    NewNode->DeferHasChildren(ObjectTypes_.Contains(otNonFolders) ? EnumFlagsOf(ObjectTypes_) : 0);
    bool canAdd = true;
    if (OnAddFolder)
        OnAddFolder(this, f, canAdd);
    return canAdd;
}

int TCustomShellTreeView::CompareNodes(TShellTreeNode *Node1, TShellTreeNode *Node2) const
{
    TShellFolder *a = Node1->Data();
    TShellFolder *b = Node2->Data();
    if (!a || !b)
        return 0;
    IShellFolder *container = a->ContainerIntf();
    if (!container)
        return 0;
    return CompareInFolder(container, a->ItemId(), b->ItemId());
}

// ---- selection ----

bool TCustomShellTreeView::CanChange(TShellTreeNode *Node)
{
    bool result = true;
    if (OnChanging)
        OnChanging(this, Node, result);
    if (!result || Syncing_ || !Node)
        return result;
    TShellFolder *folder = Node->Data();
    // The watcher is off while the companions follow, and back on, watching the new node, on
    // every way out: a companion that fails does not stop the watching for good.
    struct Rewatch {
        TCustomShellTreeView &tree;
        TShellTreeNode *node;
        bool keep;
        ~Rewatch()
        {
            tree.WatchNode_ = node;
            try {
                tree.SetAutoRefresh(keep);
            } catch (const std::exception &e) {
                vx::gui::ReportException(e);
            }
            tree.WatchNode_ = nullptr;
        }
    } rewatch{*this, Node, AutoRefresh_};
    SetAutoRefresh(false);
    if (folder && !folder->IsFolderItem())
        folder = folder->ParentFolder();
    if (folder) {
        FlagGuard syncing(Syncing_);
        if (TCustomShellComboBox *combo = ShellComboBox_.data())
            combo->FollowItemId(folder->FullItemId());
        if (TCustomShellListView *list = ShellListView_.data())
            list->FollowItemId(folder->FullItemId());
    }
    return result;
}

void TCustomShellTreeView::RefreshSelected()
{
    if (TShellTreeNode *node = Selected())
        RefreshNode(node);
}

// ---- label editing ----

void TCustomShellTreeView::EditNode(TShellTreeNode *Node)
{
    if (Node)
        editItem(Node, 0);
}

void TCustomShellTreeView::Edit(TShellTreeNode *Node, const QString &Text)
{
    QString s = Text;
    if (OnEdited)
        OnEdited(this, Node, s);
    if (!Node || !Node->Data())
        return;
    // The label may show a name CP949 cannot hold only approximately: an unchanged label
    // renames nothing, and no new name is handed on changed.
    if (s == Node->text(0))
        return;
    if (!vx::codepage::IsAnsiRepresentable(s)) {
        vx::gui::ShowMessage(vx::codepage::NotRepresentableMessage());
        return;
    }
    try {
        if (Node->Data()->RenameTo(s)) {
            Node->setText(0, s);
            Rebind(Node);
        }
    } catch (const std::exception &e) {
        // The shell refused: the old name stays; the message is reported here rather than
        // thrown through the item view.
        vx::gui::ReportException(e);
    }
}

// After a rename the node's folder interface and its children's item ID lists still name the
// old path: bind the folder anew and let the children be read again (re-expanding when open).
void TCustomShellTreeView::Rebind(TShellTreeNode *Node)
{
    TShellFolder *folder = Node->Data();
    if (!folder)
        return;
    TShellTreeNode *parentNode = Node->ParentNode();
    TShellFolder *parentFolder = parentNode ? parentNode->Data() : nullptr;
    if (parentNode && !parentFolder)
        return;
    const bool wasExpanded = Node->isExpanded();
    // The top node's item list is a full one: the desktop binds it.
    ComPtr<IShellFolder> desktop = parentFolder ? ComPtr<IShellFolder>() : DesktopFolder();
    ComPtr<IShellFolder> bound =
        BindSubfolder(parentFolder ? parentFolder->FolderIntf() : desktop.Get(), folder->ItemId(), nullptr);
    ScopeUpdate update([this] { BeginUpdate(); }, [this] { EndUpdate(); });
    Node->SetData(new TShellFolder(parentFolder, folder->ItemId(), bound.Get()));
    const QList<QTreeWidgetItem *> children = Node->takeChildren();
    qDeleteAll(children);
    TShellFolder *renamed = Node->Data();
    Node->SetHasChildren(renamed->HasSubfolders());
    if (ObjectTypes_.Contains(otNonFolders) && renamed->FolderIntf())
        Node->SetHasChildren(HasContent(renamed->FolderIntf(), EnumFlagsOf(ObjectTypes_)));
    if (wasExpanded) {
        ++ExpandingByCode_;
        Node->setExpanded(false);
        --ExpandingByCode_;
        ExpandNode(Node);
    }
}

void TCustomShellTreeView::ApplyButtonLater(TShellTreeNode *Node)
{
    ButtonsToApply_.emplace_back(indexFromItem(Node));
    if (ButtonsToApply_.size() == 1)
        QMetaObject::invokeMethod(this, [this] { ApplyButtons(); }, Qt::QueuedConnection);
}

void TCustomShellTreeView::ApplyButtons()
{
    std::vector<QPersistentModelIndex> pending;
    pending.swap(ButtonsToApply_);
    for (const QPersistentModelIndex &index : pending) {
        TShellTreeNode *node = NodeOf(index);
        if (node && node->ButtonDecided_ >= 0)
            node->SetHasChildren(node->ButtonDecided_ == 1);
    }
}

// ---- images ----

void TCustomShellTreeView::GetImageIndex(TShellTreeNode *Node)
{
    if (OnGetImageIndex)
        OnGetImageIndex(this, Node);
}

void TCustomShellTreeView::GetSelectedIndex(TShellTreeNode *Node)
{
    if (OnGetSelectedIndex)
        OnGetSelectedIndex(this, Node);
}

// ---- refresh and navigation ----

TShellTreeNode *TCustomShellTreeView::FindNodeById(LPCITEMIDLIST FullId, TShellTreeNode *Start) const
{
    if (!FullId || !Start)
        return nullptr;
    ComPtr<IShellFolder> desktop = DesktopFolder();
    const int level = Start->Level();
    for (QTreeWidgetItemIterator it(Start); *it; ++it) {
        QTreeWidgetItem *item = *it;
        if (item != Start) {
            int depth = 0;
            for (QTreeWidgetItem *p = item->parent(); p; p = p->parent())
                ++depth;
            if (depth <= level)
                break;
        }
        TShellFolder *folder = NodeFolder(item);
        if (folder && desktop->CompareIDs(0, FullId, folder->FullItemId()) == 0)
            return static_cast<TShellTreeNode *>(item);
    }
    return nullptr;
}

void TCustomShellTreeView::RefreshNode(TShellTreeNode *Node)
{
    if (!Node || !Node->Data() || !Node->Data()->FolderIntf())
        return;
    TShellTreeNode *top = TopNode();
    TShellTreeNode *selected = Selected();
    IdListPtr topId(top && top->Data() ? CopyIdList(top->Data()->FullItemId()) : nullptr);
    IdListPtr selId(selected && selected->Data() ? CopyIdList(selected->Data()->FullItemId()) : nullptr);

    ScopeUpdate update([this] { BeginUpdate(); }, [this] { EndUpdate(); });
    WaitCursor cursor;

    TShellTreeNode *parentNode = Node->ParentNode();
    TShellFolder *old = Node->Data();
    auto *newNode = new TShellTreeNode(
        new TShellFolder(parentNode ? parentNode->Data() : nullptr, old->ItemId(), old->FolderIntf()));
    if (parentNode)
        parentNode->insertChild(parentNode->indexOfChild(Node), newNode);
    else
        insertTopLevelItem(indexOfTopLevelItem(Node), newNode);

    FillNode(newNode);
    TShellFolder *folder = newNode->Data();
    newNode->SetImageIndex(ShellIconIndex(folder->FullItemId(), false, false));
    newNode->SetSelectedIndex(ShellIconIndex(folder->FullItemId(), false, true));
    newNode->SetHasChildren(folder->HasSubfolders());
    newNode->setText(0, U(folder->DisplayText()));

    // Re-expand below the new node what was expanded below the old one.
    std::vector<TShellTreeNode *> expanded;
    const int level = Node->Level();
    for (QTreeWidgetItemIterator it(Node); *it; ++it) {
        QTreeWidgetItem *item = *it;
        if (item != Node) {
            int depth = 0;
            for (QTreeWidgetItem *p = item->parent(); p; p = p->parent())
                ++depth;
            if (depth <= level)
                break;
        }
        if (item->isExpanded() && item->type() == kNodeType)
            expanded.push_back(static_cast<TShellTreeNode *>(item));
    }
    for (TShellTreeNode *v : expanded) {
        if (!v->Data())
            continue;
        if (TShellTreeNode *found = FindNodeById(v->Data()->FullItemId(), newNode))
            ExpandNode(found);
    }

    delete Node;

    if (selId)
        SetSelected(FindNodeById(selId.get(), FirstNode()));
    if (topId)
        SetTopNode(FindNodeById(topId.get(), FirstNode()));
}

void TCustomShellTreeView::NavigateToId(LPCITEMIDLIST FullId)
{
    if (Syncing_ || Loading_)
        return;
    if (TShellFolder *selected = SelectedShellFolder())
        if (SameItemId(selected->FullItemId(), FullId))
            return;
    FlagGuard syncing(Syncing_);
    ScopeUpdate update([this] { BeginUpdate(); }, [this] { EndUpdate(); });
    IdListListPtr ancestors(AncestorIdLists(FullId));
    TShellTreeNode *start = FirstNode();
    if (ancestors) {
        for (PItemIDList ancestor : *ancestors) {
            if (TShellTreeNode *node = FindNodeById(ancestor, start)) {
                ExpandNode(node);
                start = node;
            }
        }
    }
    TShellTreeNode *found = FindNodeById(FullId, start);
    SetSelected(found);
    if (!found)
        return;
    scrollToItem(found);
    if (TCustomShellListView *list = ShellListView_.data())
        list->FollowItemId(found->Data()->FullItemId());
    if (TCustomShellComboBox *combo = ShellComboBox_.data())
        combo->FollowItemId(found->Data()->FullItemId());
}

// ---- menus and the shell's commands ----

bool TCustomShellTreeView::MenuMessage(UINT Msg, WPARAM WParam, LPARAM LParam, LRESULT &Result)
{
    switch (Msg) {
    case WM_DRAWITEM:
    case WM_MEASUREITEM:
    case WM_INITMENUPOPUP:
    case WM_MENUCHAR:
        if (IContextMenu2 *menu = ActiveMenu2()) {
            menu->HandleMenuMsg(Msg, WParam, LParam);
            Result = 0;
        }
        return true;
    default:
        return false;
    }
}

void TCustomShellTreeView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::RightButton && !RightClickSelect_) {
        event->accept();
        return;
    }
    QTreeWidget::mousePressEvent(event);
}

void TCustomShellTreeView::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *popup = PopupMenu_.data();
    if (AutoContextMenus_ && (!popup || !PopupAutoPopup_)) {
        const QPoint pos = viewport()->mapTo(this, event->pos());
        try {
            ShowShellMenu(this, SelectedShellFolder(), pos.x(), pos.y());
        } catch (const std::exception &e) {
            vx::gui::ReportException(e);
        }
        return;
    }
    if (popup && PopupAutoPopup_) {
        popup->popup(event->globalPos());
        event->accept();
        return;
    }
    QTreeWidget::contextMenuEvent(event);
}

void TCustomShellTreeView::VerbInvoking(const AnsiString &Verb, bool &Handled)
{
    const QString verb = U(Verb).toLower();
    if (verb == QLatin1String("rename")) {
        if (TShellTreeNode *node = Selected()) {
            EditNode(node);
            Handled = true;
        }
    } else if (verb == QLatin1String("open")) {
        TShellFolder *folder = SelectedShellFolder();
        if (!folder)
            return;
        SavedCurrentDir_ = QDir::currentPath().toStdString();
        const QString dir = LocalFolder(PathPart(folder->ParsingPath()));
        if (!dir.isEmpty())
            QDir::setCurrent(dir);
    }
}

void TCustomShellTreeView::VerbInvoked(const AnsiString &Verb, bool Succeeded)
{
    TShellTreeNode *node = Selected();
    if (!Succeeded || !node)
        return;
    const QString verb = U(Verb).toLower();
    if (verb == QLatin1String("delete")) {
        // The node goes when nothing is left at its path; an item without a local path goes
        // when the shell reports the delete done.
        TShellFolder *folder = node->Data();
        bool gone = true;
        if (folder) {
            if (std::optional<std::string> posix = vx::shell::NativePathOf(folder->FullItemId())) {
                const QFileInfo info(QString::fromStdString(*posix));
                gone = !info.exists() && !info.isSymLink();
            }
        }
        if (gone)
            delete node;
    } else if (verb == QLatin1String("paste")) {
        RefreshNode(node);
    } else if (verb == QLatin1String("open")) {
        if (!SavedCurrentDir_.empty())
            QDir::setCurrent(QString::fromStdString(SavedCurrentDir_));
    }
}
