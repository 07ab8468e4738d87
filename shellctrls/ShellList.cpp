// SPDX-License-Identifier: GPL-3.0-or-later
#include "shellctrls/ShellList.h"

#include "platform/codepage/codepage_qt.h"
#include "platform/exec/exec.h"
#include "platform/gui/application.h"
#include "platform/gui/messagebox.h"
#include "platform/drives/drives.h"
#include "shellctrls/ShellCombo.h"
#include "shellctrls/ShellNotifier.h"
#include "shellctrls/ShellTree.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFontMetrics>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QListView>
#include <QMouseEvent>
#include <QStackedLayout>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <cctype>
#include <exception>
#include <unordered_map>

using namespace vx::shellctrls;

// ---- the virtual model: every text and image is asked of the entry when a view needs it ----

class TShellListModel : public QAbstractTableModel {
public:
    explicit TShellListModel(TCustomShellListView *owner) : QAbstractTableModel(owner), Owner(owner) {}

    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : Count;
    }

    int columnCount(const QModelIndex &parent = QModelIndex()) const override
    {
        if (parent.isValid())
            return 0;
        return Owner->ViewStyle_ == vsReport ? std::max(1, static_cast<int>(Owner->Columns_.size())) : 1;
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        const int row = index.row();
        if (!index.isValid() || row < 0 || row >= Count || row >= Owner->EntryCount())
            return QVariant();
        TShellFolder *folder = Owner->Entries_[static_cast<size_t>(row)];
        if (!folder)
            return QVariant();
        const int column = index.column();
        try {
            switch (role) {
            case Qt::DisplayRole:
            case Qt::EditRole:
                if (column == 0)
                    return vx::codepage::FromAnsi(folder->DisplayText());
                return DetailText(folder, column);
            case Qt::DecorationRole:
                if (column != 0)
                    return QVariant();
                return Icon(folder);
            case Qt::TextAlignmentRole:
                if (column > 0 && column < static_cast<int>(Owner->Columns_.size()))
                    return QVariant::fromValue(Alignment(Owner->Columns_[static_cast<size_t>(column)].Alignment));
                return QVariant();
            default:
                return QVariant();
            }
        } catch (const std::exception &) {
            // An entry that vanished or cannot be read shows empty texts.
            return QVariant();
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || section < 0 || section >= static_cast<int>(Owner->Columns_.size()))
            return QVariant();
        const auto &column = Owner->Columns_[static_cast<size_t>(section)];
        if (role == Qt::DisplayRole)
            return column.Caption;
        if (role == Qt::TextAlignmentRole)
            return QVariant::fromValue(Alignment(column.Alignment));
        return QVariant();
    }

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        Qt::ItemFlags f = QAbstractTableModel::flags(index);
        if (index.isValid() && index.column() == 0)
            f |= Qt::ItemIsEditable;
        return f;
    }

    bool setData(const QModelIndex &index, const QVariant &value, int role) override
    {
        if (role != Qt::EditRole || !index.isValid() || index.column() != 0)
            return false;
        ReportErrors([&] { Owner->LabelEdited(index.row(), value.toString()); });
        return true;
    }

    void BeginReset()
    {
        if (ResetDepth++ == 0)
            beginResetModel();
    }
    void EndReset()
    {
        if (ResetDepth > 0 && --ResetDepth == 0)
            endResetModel();
    }
    void SetCount(int count)
    {
        BeginReset();
        Count = count;
        EndReset();
    }
    void RedrawRow(int row)
    {
        if (row >= 0 && row < Count)
            emit dataChanged(index(row, 0), index(row, columnCount() - 1));
    }
    void ColumnsChanged()
    {
        BeginReset();
        EndReset();
    }
    void ClearIcons() { Icons.clear(); }

    int Count = 0;

private:
    static Qt::Alignment Alignment(int format)
    {
        switch (format) {
        case LVCFMT_RIGHT:
            return Qt::AlignRight | Qt::AlignVCenter;
        case LVCFMT_CENTER:
            return Qt::AlignHCenter | Qt::AlignVCenter;
        default:
            return Qt::AlignLeft | Qt::AlignVCenter;
        }
    }

    QVariant DetailText(TShellFolder *folder, int column) const
    {
        if (Owner->ViewStyle_ != vsReport)
            return QVariant();
        const int columns = static_cast<int>(Owner->Columns_.size());
        if (column >= columns)
            return QVariant();
        folder->LoadColumnDetails(Owner->RootShellFolder_, static_cast<QWidget *>(Owner), columns);
        if (folder->DetailTexts().empty())
            return QString();
        return vx::codepage::FromAnsi(folder->DetailText(column));
    }

    QVariant Icon(TShellFolder *folder) const
    {
        const bool large = Owner->ViewStyle_ == vsIcon;
        const int index = folder->IconIndex(large);
        if (index < 0)
            return QVariant();
        HIMAGELIST list = large ? Owner->SystemLargeImages_ : Owner->SystemSmallImages_;
        if (!list)
            return QVariant();
        const qint64 key = (static_cast<qint64>(index) << 1) | (large ? 1 : 0);
        auto found = Icons.find(key);
        if (found == Icons.end())
            found = Icons.emplace(key, vx::shell::ImageListIcon(list, index)).first;
        return found->second;
    }

    TCustomShellListView *Owner;
    int ResetDepth = 0;
    mutable std::unordered_map<qint64, QIcon> Icons;
};

// ---- the two item views: icons / small icons / list, and report ----

// The one item view shown: QListView for the icon, small icon and list styles, QTreeView for
// the report style. Keys, double clicks, context menus and typed text go to the list view.
template <class View>
class TShellListItemView : public View {
public:
    explicit TShellListItemView(TCustomShellListView *owner) : View(owner), Owner(owner) {}

    void keyboardSearch(const QString &search) override { Owner->KeyboardSearch(search); }
    bool Editing() const { return this->state() == QAbstractItemView::EditingState; }

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        View::keyPressEvent(event);
        Owner->KeyDown(event);
    }
    void mouseDoubleClickEvent(QMouseEvent *event) override
    {
        View::mouseDoubleClickEvent(event);
        Owner->DblClick(event->position().toPoint());
    }
    void contextMenuEvent(QContextMenuEvent *event) override
    {
        if (Owner->ContextPopup(this->viewport()->mapTo(Owner, event->pos())))
            event->accept();
        else
            View::contextMenuEvent(event);
    }

private:
    TCustomShellListView *Owner;
};

// ---- the list view ----

TCustomShellListView::TCustomShellListView(QWidget *parent)
    : QWidget(parent), TShellRootedControl(TShellObjectTypes{otFolders, otNonFolders})
{
    SHFILEINFOA info{};
    SystemLargeImages_ = reinterpret_cast<HIMAGELIST>(SHGetFileInfoA("C:\\", 0, &info, sizeof info, SHGFI_SYSICONINDEX));

    Model_ = new TShellListModel(this);
    IconView_ = new TShellListItemView<QListView>(this);
    ReportView_ = new TShellListItemView<QTreeView>(this);
    IconView_->setModel(Model_);
    ReportView_->setModel(Model_);
    Selection_ = new QItemSelectionModel(Model_, this);
    IconView_->setSelectionModel(Selection_);
    ReportView_->setSelectionModel(Selection_);

    for (QAbstractItemView *view : {static_cast<QAbstractItemView *>(IconView_), static_cast<QAbstractItemView *>(ReportView_)}) {
        view->setSelectionMode(QAbstractItemView::SingleSelection);
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        view->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
        view->setContextMenuPolicy(Qt::DefaultContextMenu);
    }
    // The list control is virtual: only the rows drawn are asked for their data.
    IconView_->setUniformItemSizes(true);
    IconView_->setLayoutMode(QListView::Batched);
    IconView_->setBatchSize(500);
    ReportView_->setUniformRowHeights(true);
    ReportView_->setRootIsDecorated(false);
    ReportView_->setItemsExpandable(false);
    ReportView_->setAllColumnsShowFocus(true);
    ReportView_->header()->setStretchLastSection(false);

    Stack_ = new QStackedLayout(this);
    Stack_->setContentsMargins(0, 0, 0, 0);
    Stack_->addWidget(IconView_);
    Stack_->addWidget(ReportView_);
    setFocusProxy(IconView_);
    ApplyViewStyle();

    // The window exists from here on: resolve the root and show it. Without a desktop the view
    // stays empty.
    try {
        RootShellFolder_ = ResolveRoot(RootShellFolder_, PreviousRoot_, Root_);
        Reload();
    } catch (const std::exception &) {
    }
}

TCustomShellListView::~TCustomShellListView()
{
    Destroying_ = true;
    // The views and the model read this object's fields: they go first.
    delete IconView_;
    IconView_ = nullptr;
    delete ReportView_;
    ReportView_ = nullptr;
    delete Model_;
    Model_ = nullptr;
    delete ChangeWatcher_;
    ChangeWatcher_ = nullptr;
    ClearEntries();
    delete RootShellFolder_;
    RootShellFolder_ = nullptr;
}

TCustomShellTreeView *TCustomShellListView::ShellTreeView() const { return ShellTreeView_.data(); }
TCustomShellComboBox *TCustomShellListView::ShellComboBox() const { return ShellComboBox_.data(); }

void TCustomShellListView::SetShellTreeView(TCustomShellTreeView *Value)
{
    ShellTreeView_ = Value;
}

void TCustomShellListView::SetShellComboBox(TCustomShellComboBox *Value)
{
    Relink<TCustomShellComboBox, TCustomShellListView>(ShellComboBox_, Value, this, &TCustomShellComboBox::ShellListView,
                                                       &TCustomShellComboBox::SetShellListView);
}

TShellFolder *TCustomShellListView::Entry(int Index) const
{
    return (Index >= 0 && Index < EntryCount()) ? Entries_[static_cast<size_t>(Index)] : nullptr;
}

int TCustomShellListView::ItemCount() const { return Model_->Count; }

QAbstractItemView *TCustomShellListView::ItemView() const
{
    return ViewStyle_ == vsReport ? static_cast<QAbstractItemView *>(ReportView_)
                                  : static_cast<QAbstractItemView *>(IconView_);
}

// ---- properties ----

void TCustomShellListView::SetRoot(const TRoot &Value)
{
    if (!TakeRoot(Value))
        return;
    RootShellFolder_ = ResolveRoot(RootShellFolder_, PreviousRoot_, Root_);
    RootByName_ = true;
    Reload();
}

void TCustomShellListView::SetObjectTypes(TShellObjectTypes Value)
{
    ObjectTypes_ = Value;
    if (!Syncing_) {
        FlagGuard syncing(Syncing_);
        const bool keep = AutoRefresh_;
        SetAutoRefresh(false);
        FillEntries();
        SetAutoRefresh(keep);
    }
}

void TCustomShellListView::SetViewStyle(TViewStyle Value)
{
    if (Value == ViewStyle_)
        return;
    QAbstractItemView *before = ItemView();
    const bool hadFocus = before->hasFocus();
    const int selected = SelectedIndex();
    ViewStyle_ = Value;
    Model_->ClearIcons();
    ApplyViewStyle();
    if (Value == vsReport)
        LoadColumns();
    else
        Model_->ColumnsChanged();
    if (selected >= 0)
        SelectEntry(selected);
    if (hadFocus)
        ItemView()->setFocus();
}

void TCustomShellListView::ApplyViewStyle()
{
    const int small = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
    const int large = style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, this);
    switch (ViewStyle_) {
    case vsIcon:
        IconView_->setViewMode(QListView::IconMode);
        IconView_->setFlow(QListView::LeftToRight);
        IconView_->setWrapping(true);
        IconView_->setIconSize(QSize(large, large));
        IconView_->setGridSize(QSize(large * 3, large * 2 + fontMetrics().height() * 2));
        IconView_->setMovement(QListView::Static);
        IconView_->setWordWrap(true);
        break;
    case vsSmallIcon:
        IconView_->setViewMode(QListView::ListMode);
        IconView_->setFlow(QListView::LeftToRight);
        IconView_->setWrapping(true);
        IconView_->setIconSize(QSize(small, small));
        IconView_->setGridSize(QSize(fontMetrics().horizontalAdvance(QLatin1Char('X')) * 20, small + 6));
        IconView_->setWordWrap(false);
        break;
    case vsList:
        IconView_->setViewMode(QListView::ListMode);
        IconView_->setFlow(QListView::TopToBottom);
        IconView_->setWrapping(true);
        IconView_->setIconSize(QSize(small, small));
        IconView_->setGridSize(QSize(fontMetrics().horizontalAdvance(QLatin1Char('X')) * 20, small + 6));
        IconView_->setWordWrap(false);
        break;
    case vsReport:
        ReportView_->setIconSize(QSize(small, small));
        break;
    }
    IconView_->setResizeMode(QListView::Adjust);
    Stack_->setCurrentWidget(ItemView());
    setFocusProxy(ItemView());
}

void TCustomShellListView::SetAutoRefresh(bool Value)
{
    AutoRefresh_ = Value;
    delete ChangeWatcher_;
    ChangeWatcher_ = nullptr;
    if (!Value || !RootShellFolder_ || Destroying_)
        return;
    const AnsiString path = RootShellFolder_->ParsingPath();
    ChangeWatcher_ = new TShellChangeNotifier(this);
    ChangeWatcher_->SetWatchSubTree(false);
    ChangeWatcher_->SetRoot(path);
    // The refresh replaces this notifier: run it after the delivery has returned.
    QPointer<TCustomShellListView> self(this);
    ChangeWatcher_->SetOnChange([self] {
        if (self)
            self->ScheduleRefresh();
    });
}

void TCustomShellListView::ScheduleRefresh()
{
    if (RefreshPending_)
        return;
    RefreshPending_ = true;
    QTimer::singleShot(0, this, [this] {
        RefreshPending_ = false;
        if (!Destroying_)
            ReportErrors([this] { RefreshFolder(); });
    });
}

// ---- navigation ----

void TCustomShellListView::BrowseTo(LPCITEMIDLIST FullId)
{
    if (Syncing_ || !FullId)
        return;
    if (RootShellFolder_ && SameItemId(RootShellFolder_->FullItemId(), FullId))
        return;
    TShellFolder *folder = FolderFromFullId(FullId);
    delete RootShellFolder_;
    RootShellFolder_ = folder;
    RootByName_ = false;
    Reload();
}

void TCustomShellListView::FollowItemId(LPCITEMIDLIST FullId)
{
    if (Syncing_ || !FullId)
        return;
    if (!RootShellFolder_ || !SameItemId(RootShellFolder_->FullItemId(), FullId))
        BrowseTo(FullId);
}

void TCustomShellListView::Reload()
{
    if (Syncing_)
        return;
    FlagGuard syncing(Syncing_);
    const bool keep = AutoRefresh_;
    SetAutoRefresh(false);
    struct Restore {
        TCustomShellListView *view;
        bool keep;
        ~Restore()
        {
            try {
                view->SetAutoRefresh(keep);
            } catch (...) {
            }
        }
    } restore{this, keep};
    // A companion that fails to follow does not keep this view from showing its folder.
    std::exception_ptr companionError;
    try {
        TellCompanions();
    } catch (...) {
        companionError = std::current_exception();
    }
    FillEntries();
    if (ViewStyle_ == vsReport)
        LoadColumns();
    emit FolderChanged();
    if (companionError)
        std::rethrow_exception(companionError);
}

void TCustomShellListView::TellCompanions()
{
    struct ClearByName {
        bool &flag;
        ~ClearByName() { flag = false; }
    } clear{RootByName_};
    if (RootByName_) {
        // Both are told, even when the first fails; its failure is raised after.
        std::exception_ptr error;
        if (TCustomShellTreeView *tree = ShellTreeView()) {
            try {
                tree->SetRoot(Root_);
            } catch (...) {
                error = std::current_exception();
            }
        }
        if (TCustomShellComboBox *combo = ShellComboBox())
            combo->SetRoot(Root_);
        if (error)
            std::rethrow_exception(error);
    } else if (RootShellFolder_) {
        IdListPtr id(CopyIdList(RootShellFolder_->FullItemId()));
        if (TCustomShellTreeView *tree = ShellTreeView())
            tree->NavigateToId(id.get());
        if (TCustomShellComboBox *combo = ShellComboBox())
            combo->FollowItemId(id.get());
    }
}

void TCustomShellListView::BrowseUp()
{
    if (!RootShellFolder_)
        return;
    IdListPtr id(CopyIdList(RootShellFolder_->FullItemId()));
    StripLastItem(id.get());
    BrowseTo(id.get());
}

void TCustomShellListView::RefreshFolder()
{
    if (!RootShellFolder_ || Syncing_)
        return;
    const int pos = SelectedIndex();
    SelectEntry(-1);
    IdListPtr id(CopyIdList(RootShellFolder_->FullItemId()));
    delete RootShellFolder_;
    RootShellFolder_ = nullptr;
    try {
        BrowseTo(id.get());
    } catch (...) {
        // The folder can no longer be read: stay on it with no entries.
        if (!RootShellFolder_)
            RootShellFolder_ = new TShellFolder(nullptr, id.get(), nullptr);
        throw;
    }
    // The entry at the same position is selected again, unless it is the last one.
    if (pos >= 0 && pos < EntryCount() - 1)
        SelectEntry(pos);
}

// ---- entries ----

void TCustomShellListView::ClearEntries()
{
    if (!Destroying_)
        Model_->SetCount(0);
    for (TShellFolder *folder : Entries_)
        delete folder;
    Entries_.clear();
}

void TCustomShellListView::FillEntries()
{
    if (Destroying_)
        return;
    Model_->BeginReset();
    struct EndReset {
        TShellListModel *model;
        ~EndReset() { model->EndReset(); }
    } endReset{Model_};
    ClearEntries();
    WaitCursor wait;
    SearchText_.clear();

    if (!RootShellFolder_ || !RootShellFolder_->FolderIntf())
        return;
    IShellFolder *root = RootShellFolder_->FolderIntf();
    // An item that cannot be opened as a folder lists nothing (its node stands in with the
    // desktop's folder).
    if (::ItemCount(RootShellFolder_->FullItemId()) > 0 &&
        !BindSubfolder(DesktopFolder().Get(), RootShellFolder_->FullItemId(), nullptr))
        return;
    ComPtr<IEnumIDList> items;
    if (root->EnumObjects(vx::gui::MainForm(), EnumFlagsOf(ObjectTypes_), items.Put()) != S_OK || !items)
        return;
    int counted = 0;
    std::vector<char> isFolder; // per entry, for the sort
    PItemIDList item = nullptr;
    ULONG fetched = 0;
    while (items->Next(1, &item, &fetched) == S_OK && item) {
        IdListPtr taken(item);
        item = nullptr;
        // Only folder items can be opened as folders: the others are not offered to the binder.
        DWORD attributes = SFGAO_FOLDER;
        LPCITEMIDLIST one = taken.get();
        root->GetAttributesOf(1, &one, &attributes);
        const bool folderItem = attributes & SFGAO_FOLDER;
        ComPtr<IShellFolder> sub = folderItem ? BindSubfolder(root, taken.get(), nullptr) : ComPtr<IShellFolder>();
        auto folder = std::make_unique<TShellFolder>(RootShellFolder_, taken.get(), sub.Get());
        bool canAdd = true;
        if (OnAddFolder)
            OnAddFolder(this, folder.get(), canAdd);
        if (canAdd) {
            Entries_.push_back(folder.release());
            isFolder.push_back(folderItem ? 1 : 0);
            ++counted;
        }
    }
    Model_->SetCount(counted);

    if (SortEntries_ && Entries_.size() > 1)
        SortInShellOrder(isFolder);
}

namespace {

// A key whose byte order is a guess at the shell's order of names (letter case ignored, digit
// runs by value), used only to hand the real ordering an input that is nearly in order.
std::string GuessKey(const std::string &name)
{
    std::string key;
    key.reserve(name.size() + 4);
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    for (size_t i = 0; i < name.size();) {
        if (digit(name[i])) {
            size_t start = i;
            while (i < name.size() && digit(name[i]))
                ++i;
            while (start + 1 < i && name[start] == '0')
                ++start;
            // The run's length first, so that shorter numbers come first.
            key += static_cast<char>('0' + std::min<size_t>(i - start, 40));
            key.append(name, start, i - start);
            continue;
        }
        const auto c = static_cast<unsigned char>(name[i]);
        key += static_cast<char>(c < 0x80 ? std::tolower(c) : c);
        ++i;
    }
    return key;
}

// Sorts with Less, keeping the runs that are already in order (a natural merge sort): an input
// in order costs n - 1 comparisons, any other input at most about n log n.
template <class T, class Less>
void RunMergeSort(std::vector<T> &items, Less less)
{
    const size_t n = items.size();
    if (n < 2)
        return;
    std::vector<size_t> bounds{0};
    for (size_t i = 1; i < n; ++i)
        if (less(items[i], items[i - 1]))
            bounds.push_back(i);
    bounds.push_back(n);
    std::vector<T> merged(n);
    while (bounds.size() > 2) {
        std::vector<size_t> next{0};
        for (size_t k = 0; k + 1 < bounds.size(); k += 2) {
            const size_t lo = bounds[k], mid = bounds[k + 1];
            const size_t hi = k + 2 < bounds.size() ? bounds[k + 2] : mid;
            std::merge(items.begin() + static_cast<std::ptrdiff_t>(lo), items.begin() + static_cast<std::ptrdiff_t>(mid),
                       items.begin() + static_cast<std::ptrdiff_t>(mid), items.begin() + static_cast<std::ptrdiff_t>(hi),
                       merged.begin() + static_cast<std::ptrdiff_t>(lo), less);
            next.push_back(hi);
        }
        items.swap(merged);
        bounds.swap(next);
    }
}

} // namespace

void TCustomShellListView::SortInShellOrder(const std::vector<char> &IsFolder)
{
    // Folders first, then the shell's own order of the folder (CompareIDs of the two items).
    // The weights are read once; a first pass by name makes the input nearly sorted, so that the
    // shell is asked about few pairs.
    struct Keyed {
        TShellFolder *folder = nullptr;
        int weight = 0;
        size_t name = 0; // position in keys
    };
    std::vector<std::string> keys;
    keys.reserve(Entries_.size());
    std::vector<Keyed> keyed;
    keyed.reserve(Entries_.size());
    for (size_t i = 0; i < Entries_.size(); ++i) {
        TShellFolder *folder = Entries_[i];
        keys.push_back(folder ? GuessKey(folder->DisplayText()) : std::string());
        const bool folderItem = i < IsFolder.size() ? IsFolder[i] != 0 : (folder && folder->IsFolderItem());
        keyed.push_back({folder, folderItem ? 1 : 0, keys.size() - 1});
    }
    std::sort(keyed.begin(), keyed.end(), [&keys](const Keyed &a, const Keyed &b) {
        if (a.weight != b.weight)
            return a.weight > b.weight;
        return keys[a.name] < keys[b.name];
    });
    TShellFolder *first = Entries_.front();
    IShellFolder *container = first ? first->ContainerIntf() : nullptr;
    RunMergeSort(keyed, [container](const Keyed &a, const Keyed &b) {
        if (!a.folder || !b.folder)
            return false;
        if (a.weight != b.weight)
            return a.weight > b.weight;
        if (!container)
            return false;
        return HRESULT_CODE_SHORT(container->CompareIDs(0, a.folder->ItemId(), b.folder->ItemId())) < 0;
    });
    for (size_t i = 0; i < keyed.size(); ++i)
        Entries_[i] = keyed[i].folder;
}

TShellFolder *TCustomShellListView::SelectedShellFolder() const
{
    return Entry(SelectedIndex());
}

int TCustomShellListView::SelectedIndex() const
{
    const QModelIndexList rows = Selection_->selectedRows(0);
    if (rows.isEmpty())
        return -1;
    return rows.first().row();
}

void TCustomShellListView::SelectEntry(int Index)
{
    if (Index < 0 || Index >= Model_->Count) {
        Selection_->clearSelection();
        Selection_->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
        return;
    }
    const QModelIndex index = Model_->index(Index, 0);
    Selection_->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    ItemView()->scrollTo(index);
}

// ---- columns ----

int TCustomShellListView::CharWidth() const
{
    return std::max(1, fontMetrics().horizontalAdvance(QLatin1Char('X')));
}

void TCustomShellListView::LoadColumns()
{
    if (!RootShellFolder_ || !RootShellFolder_->FolderIntf())
        return;
    const int selected = SelectedIndex();
    ReadColumns();
    QHeaderView *header = ReportView_->header();
    for (size_t i = 0; i < Columns_.size(); ++i)
        header->resizeSection(static_cast<int>(i), Columns_[i].Width);
    if (selected >= 0)
        SelectEntry(selected);
}

void TCustomShellListView::ReadColumns()
{
    Model_->BeginReset();
    struct EndReset {
        TShellListModel *model;
        ~EndReset() { model->EndReset(); }
    } endReset{Model_};
    Columns_.clear();
    std::vector<QString> names;
    RootShellFolder_->SetViewWindow(static_cast<QWidget *>(this));
    if (IShellFolder2 *folder2 = RootShellFolder_->Folder2Intf()) {
        bool seenDefault = false;
        for (UINT column = 0;; ++column) {
            SHELLDETAILS record{};
            if (folder2->GetDetailsOf(nullptr, column, &record) != S_OK)
                break;
            DWORD state = 0;
            folder2->GetDefaultColumnState(column, &state);
            const bool onByDefault = state & SHCOLSTATE_ONBYDEFAULT;
            if (onByDefault) {
                seenDefault = true;
            } else if (seenDefault) {
                if (record.str.uType == STRRET_WSTR)
                    StrRetText(nullptr, record.str); // frees the text
                break;
            }
            AddDetailColumn(record, names);
            if (column > 1000)
                break;
        }
    } else if (IShellDetails *details = RootShellFolder_->DetailsIntf()) {
        for (UINT column = 0; column <= 1000; ++column) {
            SHELLDETAILS record{};
            if (details->GetDetailsOf(nullptr, column, &record) != S_OK)
                break;
            if (!AddDetailColumn(record, names))
                break;
        }
    } else {
        AddStandardColumns(RootShellFolder_->Traits().Contains(stFileSystem) ? 4 : 1);
    }
}

bool TCustomShellListView::AddDetailColumn(const SHELLDETAILS &Record, std::vector<QString> &Names)
{
    STRRET str = Record.str;
    const QString caption = vx::codepage::FromAnsi(StrRetText(nullptr, str));
    if (caption.isEmpty())
        return true;
    for (const QString &name : Names)
        if (name.compare(caption, Qt::CaseInsensitive) == 0)
            return false;
    Columns_.push_back({caption, Record.fmt, std::max(0, Record.cxChar) * CharWidth()});
    Names.push_back(caption);
    return true;
}

void TCustomShellListView::AddStandardColumns(int N)
{
    const int x = CharWidth();
    Columns_.push_back({QString::fromLatin1(SShellColumnName), LVCFMT_LEFT, 25 * x});
    if (N >= 2)
        Columns_.push_back({QString::fromLatin1(SShellColumnSize), LVCFMT_RIGHT, 10 * x});
    if (N >= 3)
        Columns_.push_back({QString::fromLatin1(SShellColumnType), LVCFMT_LEFT, 10 * x});
    if (N >= 4)
        Columns_.push_back({QString::fromLatin1(SShellColumnModified), LVCFMT_LEFT, 14 * x});
}

// ---- search by typed text ----

int TCustomShellListView::FindEntry(TItemFind Kind, const QString &Text, int Start, bool Wrap) const
{
    if (Kind != ifPartialString && Kind != ifExactString)
        return -1;
    const int count = std::min(EntryCount(), Model_->Count);
    if (count == 0)
        return -1;
    if (Start < 0 || Start >= count)
        Start = 0;
    const QString wanted = Text.toUpper();
    int i = Start;
    for (;;) {
        TShellFolder *folder = Entries_[static_cast<size_t>(i)];
        if (folder && vx::codepage::FromAnsi(folder->DisplayText()).toUpper().startsWith(wanted))
            return i;
        ++i;
        if (i >= count) {
            if (!Wrap)
                return -1;
            i = 0;
        }
        if (i == Start)
            return -1;
    }
}

void TCustomShellListView::KeyboardSearch(const QString &Typed)
{
    QString printable;
    for (QChar c : Typed)
        if (c.isPrint())
            printable += c;
    if (printable.isEmpty())
        return;
    const bool goOn = SearchClock_.isValid() && SearchClock_.elapsed() <= QApplication::keyboardInputInterval() &&
                      !SearchText_.isEmpty();
    if (!goOn)
        SearchText_.clear();
    SearchText_ += printable;
    SearchClock_.restart();
    const int current = SelectedIndex();
    // A new search starts after the selected entry; a longer text goes on from it.
    int start = goOn ? std::max(current, 0) : current + 1;
    if (start >= EntryCount())
        start = 0;
    const int found = FindEntry(ifPartialString, SearchText_, start, true);
    if (found >= 0)
        SelectEntry(found);
}

// ---- user actions ----

bool TCustomShellListView::IsEditing() const
{
    return ViewStyle_ == vsReport ? ReportView_->Editing() : IconView_->Editing();
}

void TCustomShellListView::EditEntry(int Index)
{
    if (Index < 0 || Index >= Model_->Count)
        return;
    const QModelIndex index = Model_->index(Index, 0);
    ItemView()->setCurrentIndex(index);
    ItemView()->edit(index);
}

void TCustomShellListView::LabelEdited(int Index, const QString &Text)
{
    if (Index < 0 || Index >= EntryCount() || Text.isEmpty())
        return;
    TShellFolder *entry = Entries_[static_cast<size_t>(Index)];
    // The label may show a name CP949 cannot hold only approximately: an unchanged label
    // renames nothing, and no new name is handed on changed.
    if (Text == vx::codepage::FromAnsi(entry->DisplayText()))
        return;
    if (!vx::codepage::IsAnsiRepresentable(Text)) {
        vx::gui::ShowMessage(vx::codepage::NotRepresentableMessage());
        return;
    }
    entry->RenameTo(Text);
    Model_->RedrawRow(Index);
}

void TCustomShellListView::KeyDown(QKeyEvent *Event)
{
    if (!AutoBrowse_)
        return;
    ReportErrors([&] {
        switch (Event->key()) {
        case Qt::Key_Backspace:
            if (!IsEditing()) {
                Event->accept();
                BrowseUp();
            }
            break;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (IsEditing())
                break;
            if (Event->modifiers() & Qt::AltModifier) {
                // The key goes no further.
                Event->accept();
                InvokeVerb(SelectedShellFolder(), "properties");
            } else if (TShellFolder *folder = SelectedShellFolder()) {
                Event->accept();
                if (folder->IsFolderItem()) {
                    IdListPtr id(CopyIdList(folder->FullItemId()));
                    BrowseTo(id.get());
                } else {
                    folder->OpenDefault();
                }
            }
            break;
        case Qt::Key_F5:
            Event->accept();
            RefreshFolder();
            break;
        default:
            break;
        }
    });
}

void TCustomShellListView::DblClick(const QPoint &ViewPos)
{
    if (!AutoBrowse_)
        return;
    const int row = SelectedIndex();
    // Only a double click on the selected entry opens it.
    const QModelIndex hit = ItemView()->indexAt(ViewPos);
    if (row < 0 || !hit.isValid() || hit.row() != row)
        return;
    ReportErrors([&] {
        TShellFolder *folder = Entry(row);
        if (!folder)
            return;
        if (folder->IsFolderItem()) {
            IdListPtr id(CopyIdList(folder->FullItemId()));
            BrowseTo(id.get());
        } else {
            const AnsiString path = folder->ParsingPath();
            const AnsiString dir = PathPart(path);
            ShellExecuteA(static_cast<QWidget *>(this), nullptr, path.c_str(), nullptr, dir.c_str(), SW_HIDE);
        }
    });
}

bool TCustomShellListView::ContextPopup(const QPoint &ClientPos)
{
    if (!AutoContextMenus_)
        return false;
    TShellFolder *folder = SelectedShellFolder();
    if (!folder)
        return false;
    ReportErrors([&] { ShowShellMenu(this, folder, ClientPos.x(), ClientPos.y()); });
    return true;
}

// ---- commands of the shell context menu ----

void TCustomShellListView::VerbInvoking(const AnsiString &Verb, bool &Handled)
{
    const QString verb = QString::fromLatin1(Verb.data(), static_cast<qsizetype>(Verb.size()));
    if (verb.compare(QLatin1String("rename"), Qt::CaseInsensitive) == 0) {
        const int row = SelectedIndex();
        if (row >= 0) {
            EditEntry(row);
            Handled = true;
        }
    } else if (verb.compare(QLatin1String("open"), Qt::CaseInsensitive) == 0) {
        if (TShellFolder *folder = SelectedShellFolder()) {
            SavedCurrentDir_ = QDir::currentPath().toStdString();
            const QString dir = LocalFolder(PathPart(folder->ParsingPath()));
            if (!dir.isEmpty())
                QDir::setCurrent(dir);
        }
    }
}

void TCustomShellListView::VerbInvoked(const AnsiString &Verb, bool Succeeded)
{
    if (!Succeeded)
        return;
    const QString verb = QString::fromLatin1(Verb.data(), static_cast<qsizetype>(Verb.size()));
    if (verb.compare(QLatin1String("delete"), Qt::CaseInsensitive) == 0 ||
        verb.compare(QLatin1String("paste"), Qt::CaseInsensitive) == 0) {
        RefreshFolder();
    } else if (verb.compare(QLatin1String("open"), Qt::CaseInsensitive) == 0) {
        if (!SavedCurrentDir_.empty())
            QDir::setCurrent(QString::fromStdString(SavedCurrentDir_));
    }
}
