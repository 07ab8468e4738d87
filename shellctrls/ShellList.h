// The shell list view: the contents of one shell folder as a virtual list (captions, icons and
// detail texts are asked for only for the entries drawn), in icon, small icon, list or report
// style. Double click, Enter and Backspace move between folders; the shell context menu, label
// renaming and automatic refresh are available; a linked tree view and combo box follow it and
// drive it.
#pragma once

#include "shellctrls/ShellTree.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

class QAbstractItemView;
class QKeyEvent;
class QListView;
class QTreeView;
class QStackedLayout;
class QItemSelectionModel;
class TCustomShellComboBox;
class TShellChangeNotifier;
class TShellListModel;
template <class View>
class TShellListItemView;

enum TViewStyle { vsIcon, vsSmallIcon, vsList, vsReport };

// The kinds of a search by typed text; the two text kinds are served, both as a prefix match.
enum TItemFind { ifData, ifPartialString, ifExactString, ifNearest };

class TCustomShellListView : public QWidget, public TShellRootedControl, public IShellVerbSink {
    Q_OBJECT

public:
    explicit TCustomShellListView(QWidget *parent = nullptr);
    ~TCustomShellListView() override;

    // Setting Root shows that folder (RootShellFolder) and moves the linked tree and combo box
    // to the same root. A root that cannot be resolved raises EShellError and leaves the view
    // on its previous folder.
    void SetRoot(const TRoot &Value);

    bool AutoContextMenus() const { return AutoContextMenus_; }
    void SetAutoContextMenus(bool Value) { AutoContextMenus_ = Value; }
    // Watch the folder shown and refresh on change.
    bool AutoRefresh() const { return AutoRefresh_; }
    void SetAutoRefresh(bool Value);
    // Double click, Enter and Backspace navigate.
    bool AutoBrowse() const { return AutoBrowse_; }
    void SetAutoBrowse(bool Value) { AutoBrowse_ = Value; }
    // Folders first, then the shell's order; otherwise the order of the enumeration.
    bool SortEntries() const { return SortEntries_; }
    void SetSortEntries(bool Value) { SortEntries_ = Value; }
    // Set while the view reloads itself.
    bool Syncing() const { return Syncing_; }
    // Stores the kinds and re-reads the folder.
    virtual void SetObjectTypes(TShellObjectTypes Value);
    HIMAGELIST SystemLargeImages() const { return SystemLargeImages_; }

    TViewStyle ViewStyle() const { return ViewStyle_; }
    void SetViewStyle(TViewStyle Value);

    TAddFolderEvent OnAddFolder;

    // Links. The tree sets ShellTreeView when it links this list view (link from the tree's side:
    // tree->SetShellListView(list)). SetShellComboBox links both ways: the combo box's
    // ShellListView becomes this list view. Links clear themselves when the other control goes.
    TCustomShellTreeView *ShellTreeView() const;
    void SetShellTreeView(TCustomShellTreeView *Value);
    TCustomShellComboBox *ShellComboBox() const;
    void SetShellComboBox(TCustomShellComboBox *Value);

    TShellChangeNotifier *ChangeWatcher() const { return ChangeWatcher_; }
    bool RootByName() const { return RootByName_; }
    const AnsiString &SavedCurrentDir() const { return SavedCurrentDir_; }

    // The entries in display order (owned by the view).
    int EntryCount() const { return static_cast<int>(Entries_.size()); }
    TShellFolder *Entry(int Index) const;
    // The number of rows the list control shows.
    int ItemCount() const;

    // Selection (one entry at a time).
    TShellFolder *SelectedShellFolder() const;
    int SelectedIndex() const;
    void SelectEntry(int Index); // -1 clears the selection

    // Navigation.
    void BrowseTo(LPCITEMIDLIST FullId);
    // Called by the tree and the combo box: BrowseTo unless that folder is shown already.
    void FollowItemId(LPCITEMIDLIST FullId);
    void BrowseUp();
    void RefreshFolder();

    // Columns of the report style.
    struct TColumn {
        QString Caption;
        int Alignment = LVCFMT_LEFT;
        int Width = 0; // pixels
    };
    const std::vector<TColumn> &Columns() const { return Columns_; }
    void LoadColumns();

    // The search by typed text: the first entry from Start on whose name begins with Text
    // (letter case ignored), going on at the first entry after the last when Wrap is set.
    // -1 when none matches, the list is empty or Kind is not a text search.
    int FindEntry(TItemFind Kind, const QString &Text, int Start, bool Wrap) const;

    // The item view in use for the current style (the report view or the icon/list view).
    QAbstractItemView *ItemView() const;
    // Starts label editing of entry Index.
    void EditEntry(int Index);
    bool IsEditing() const;

    // IShellVerbSink
    void VerbInvoking(const AnsiString &Verb, bool &Handled) override;
    void VerbInvoked(const AnsiString &Verb, bool Succeeded) override;

signals:
    // The view shows another folder, or read its folder again.
    void FolderChanged();

protected:
    // Enumerates RootShellFolder into the entries.
    virtual void FillEntries();
    void ClearEntries();
    void Reload();
    void TellCompanions();
    bool AddDetailColumn(const SHELLDETAILS &Record, std::vector<QString> &Names);
    void AddStandardColumns(int N);

    // Hooks of the list control (called by its item views).
    virtual void KeyDown(QKeyEvent *Event);
    virtual void DblClick(const QPoint &ViewPos);
    virtual bool ContextPopup(const QPoint &ClientPos);
    // Typed text arrived at the item view.
    void KeyboardSearch(const QString &Typed);
    // The label editor finished with a new text for entry Index.
    void LabelEdited(int Index, const QString &Text);

private:
    friend class TShellListModel;
    template <class View>
    friend class TShellListItemView;

    void ApplyViewStyle();
    void SortInShellOrder(const std::vector<char> &IsFolder);
    void ReadColumns();
    void ScheduleRefresh();
    int CharWidth() const;

    bool AutoContextMenus_ = true;
    bool AutoRefresh_ = false;
    bool AutoBrowse_ = true;
    bool SortEntries_ = true;
    bool Syncing_ = false;
    HIMAGELIST SystemLargeImages_ = nullptr;
    std::vector<TShellFolder *> Entries_; // owned
    QPointer<TCustomShellTreeView> ShellTreeView_;
    QPointer<TCustomShellComboBox> ShellComboBox_;
    TShellChangeNotifier *ChangeWatcher_ = nullptr; // owned (child object)
    bool RootByName_ = false;
    AnsiString SavedCurrentDir_;

    TViewStyle ViewStyle_ = vsIcon;
    std::vector<TColumn> Columns_;
    TShellListModel *Model_ = nullptr;
    QStackedLayout *Stack_ = nullptr;
    TShellListItemView<QListView> *IconView_ = nullptr;
    TShellListItemView<QTreeView> *ReportView_ = nullptr;
    QItemSelectionModel *Selection_ = nullptr;
    QString SearchText_;
    QElapsedTimer SearchClock_;
    bool RefreshPending_ = false;
    bool Destroying_ = false;
};

// The list view as placed on a form.
class TShellListView : public TCustomShellListView {
    Q_OBJECT

public:
    using TCustomShellListView::TCustomShellListView;
};
