// The shell tree view: one top node for its root (a TRootFolder name or a path), under it the
// root's folders, filled in when a node is first expanded. Each node owns one TShellFolder.
// Renames through in-place label editing, shows the shell context menu, can watch the selected
// folder and refresh itself, and drives and follows a companion combo box and list view.
#pragma once

#include "shellctrls/ShellFolder.h"

#include <QIcon>
#include <QPointer>
#include <QTreeWidget>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QMenu;
class TCustomShellComboBox;
class TCustomShellListView;
class TShellChangeNotifier;
class TCustomShellTreeView;
class TShellTreeSelection;
class TShellTreeDelegate;

// ---- what the tree, the combo box and the list view share ----

namespace vx::shellctrls {

// Sets a flag for the guard's lifetime; cleared on every path out.
class FlagGuard {
public:
    explicit FlagGuard(bool &Flag) : Flag_(Flag) { Flag_ = true; }
    ~FlagGuard() { Flag_ = false; }
    FlagGuard(const FlagGuard &) = delete;
    FlagGuard &operator=(const FlagGuard &) = delete;

private:
    bool &Flag_;
};

// Runs End on every path out of the scope (after Begin at its start).
class ScopeUpdate {
public:
    ScopeUpdate(const std::function<void()> &Begin, std::function<void()> End) : End_(std::move(End)) { Begin(); }
    ~ScopeUpdate() { End_(); }
    ScopeUpdate(const ScopeUpdate &) = delete;
    ScopeUpdate &operator=(const ScopeUpdate &) = delete;

private:
    std::function<void()> End_;
};

// The hourglass cursor for the guard's lifetime (where there is a GUI application).
class WaitCursor {
public:
    WaitCursor();
    ~WaitCursor();
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;

private:
    bool Active_ = false;
};

// Item ID lists freed on every path.
struct IdListDeleter {
    void operator()(ITEMIDLIST *List) const { FreeIdList(List); }
};
using IdListPtr = std::unique_ptr<ITEMIDLIST, IdListDeleter>;
struct IdListListDeleter {
    void operator()(TIdListList *Lists) const { FreeIdListList(Lists); }
};
using IdListListPtr = std::unique_ptr<TIdListList, IdListListDeleter>;

// Root texts compared without regard to case (ASCII letters; other bytes exactly).
bool SameRootText(const AnsiString &A, const AnsiString &B);
// The folder part of a path: up to and including its last "\" or ":" (empty without one).
AnsiString PathPart(const AnsiString &Path);
// The local folder that a path of the drive map (or a POSIX path) names; empty for none.
QString LocalFolder(const AnsiString &Path);
// Runs Action and shows what it throws in the application's error report.
void ReportErrors(const std::function<void()> &Action);

// A link between two controls kept on both sides: Link := Value; the old partner's back-link
// to Self is cleared; Attach(Value) runs and Value's back-link becomes Self.
template <class Other, class Self>
void Relink(QPointer<Other> &Link, Other *Value, Self *Owner, Self *(Other::*BackLink)() const,
            void (Other::*SetBackLink)(Self *), const std::function<void(Other *)> &Attach = {})
{
    if (Link.data() == Value)
        return;
    Other *old = Link.data();
    Link = Value;
    if (old && (old->*BackLink)() == Owner)
        (old->*SetBackLink)(nullptr);
    if (!Value)
        return;
    if (Attach)
        Attach(Value);
    (Value->*SetBackLink)(Owner);
}

} // namespace vx::shellctrls

// The root that a shell control shows: a TRootFolder name or a path, the text it had before
// its last change, the resolved folder (owned), the kinds of items listed, and the system
// small-icon list.
class TShellRootedControl {
public:
    const TRoot &Root() const { return Root_; }
    const AnsiString &PreviousRoot() const { return PreviousRoot_; }
    TShellFolder *RootShellFolder() const { return RootShellFolder_; }
    TShellObjectTypes ObjectTypes() const { return ObjectTypes_; }
    HIMAGELIST SystemSmallImages() const { return SystemSmallImages_; }

protected:
    explicit TShellRootedControl(TShellObjectTypes Types);
    ~TShellRootedControl();
    TShellRootedControl(const TShellRootedControl &) = delete;
    TShellRootedControl &operator=(const TShellRootedControl &) = delete;

    // False when Value names the current root (letter case ignored); otherwise PreviousRoot
    // takes the current root, Root takes Value and the result is true.
    bool TakeRoot(const TRoot &Value);

    TRoot Root_ = "rfDesktop";
    AnsiString PreviousRoot_;
    TShellFolder *RootShellFolder_ = nullptr; // owned
    TShellObjectTypes ObjectTypes_;
    HIMAGELIST SystemSmallImages_ = nullptr;
};

// May refuse an item: set CanAdd to false to keep AFolder out of the tree.
using TAddFolderEvent = std::function<void(QObject *Sender, TShellFolder *AFolder, bool &CanAdd)>;

// One node of the tree. Its folder object is owned and freed when the node is deleted, by
// whatever path (removing a parent, clearing the tree, destroying the control).
class TShellTreeNode : public QTreeWidgetItem {
public:
    explicit TShellTreeNode(TShellFolder *Folder = nullptr);
    ~TShellTreeNode() override;

    // The node's folder object (owned); null for none.
    TShellFolder *Data() const { return Data_; }
    // Replaces the data; the previous folder object is freed.
    void SetData(TShellFolder *Folder);
    // Gives up ownership and returns the folder object; the node keeps none.
    TShellFolder *TakeData();

    // Image indices in the tree's image list; -1 for none. With the shell's icons they are
    // asked of the shell when first needed (usually when the node is first drawn).
    int ImageIndex() const;
    void SetImageIndex(int Index);
    int SelectedIndex() const;
    void SetSelectedIndex(int Index);
    // Overlay image of the image list (0: the shared-folder mark); -1 for none.
    int OverlayIndex() const;
    void SetOverlayIndex(int Index);
    // The shell's icons and the shared mark of the folder object, taken when first asked for.
    void DeferShellImages(bool Icons, bool Overlay);

    // The expand button (shown before the children are filled in).
    bool HasChildren() const;
    void SetHasChildren(bool Value);
    // Shows a button until the folder object decides, which it does when the node is first
    // drawn or asked: by its sub-folders, or with Kinds (enumeration flags) by whether its
    // folder yields an item of those kinds.
    void DeferHasChildren(DWORD Kinds);
    // 0 for top-level nodes.
    int Level() const;
    TShellTreeNode *ParentNode() const { return static_cast<TShellTreeNode *>(parent()); }
    TShellTreeNode *Child(int Index) const { return static_cast<TShellTreeNode *>(child(Index)); }
    QString Text() const { return text(0); }
    // The text is the folder object's in-folder name, asked for when first shown or read
    // (until a text is set).
    void DeferText();

    QVariant data(int column, int role) const override;
    void setData(int column, int role, const QVariant &value) override;

private:
    friend class TCustomShellTreeView;
    void TakeShellImages() const;
    // Decides a deferred button; applied at once, or by the tree after the current paint.
    void TakeButton(bool Apply) const;

    TShellFolder *Data_ = nullptr;
    mutable int ImageIndex_ = -1;
    mutable int SelectedIndex_ = -1;
    mutable int OverlayIndex_ = -1;
    mutable bool IconsPending_ = false;
    mutable bool OverlayPending_ = false;
    mutable bool ButtonPending_ = false;
    mutable int ButtonDecided_ = -1; // decided but not yet applied: 0 or 1
    DWORD ButtonKinds_ = 0;
    bool TextDeferred_ = false;
    mutable std::optional<QString> DeferredText_;
};

using TTVExpandingEvent = std::function<void(QObject *Sender, TShellTreeNode *Node, bool &AllowExpansion)>;
using TTVChangingEvent = std::function<void(QObject *Sender, TShellTreeNode *Node, bool &AllowChange)>;
using TTVEditedEvent = std::function<void(QObject *Sender, TShellTreeNode *Node, QString &S)>;
using TTVChangedEvent = std::function<void(QObject *Sender, TShellTreeNode *Node)>;

class TCustomShellTreeView : public QTreeWidget, public TShellRootedControl, public IShellVerbSink {
public:
    explicit TCustomShellTreeView(QWidget *parent = nullptr);
    ~TCustomShellTreeView() override;

    // ---- properties ----

    // Setting Root rebuilds the tree and moves the linked combo box and list view to it. A
    // root that cannot be resolved raises EShellError after the tree has been rebuilt from the
    // previous root; Root then keeps its previous value.
    void SetRoot(const TRoot &Value);
    // Setting the kinds listed rebuilds the tree.
    virtual void SetObjectTypes(TShellObjectTypes Value);

    // Show the shell context menu when no popup menu of the control's own pops up by itself.
    bool AutoContextMenus() const { return AutoContextMenus_; }
    void SetAutoContextMenus(bool Value) { AutoContextMenus_ = Value; }

    // Watch the selected folder and refresh it on change.
    bool AutoRefresh() const { return AutoRefresh_; }
    void SetAutoRefresh(bool Value);
    // The notifier in use (owned), or null.
    TShellChangeNotifier *ChangeWatcher() const { return ChangeWatcher_; }

    // Show the shell's icons when the control has no image list of its own.
    bool UseShellImages() const { return UseShellImages_; }
    void SetUseShellImages(bool Value);
    // The control's own image list (empty: none). With it, the shell's icons are not used and
    // OnGetImageIndex / OnGetSelectedIndex decide the nodes' images.
    void SetImages(std::vector<QIcon> Images);
    void ClearImages();
    bool HasImages() const { return Images_.has_value(); }
    // The icon the tree shows for an image index of its current image list.
    QIcon ImageIcon(int Index) const;

    // Companions. Linking sets the companion's Root to the tree's and its back-link to this
    // tree; unlinking clears the back-link. A companion that goes away unlinks itself.
    TCustomShellComboBox *ShellComboBox() const;
    void SetShellComboBox(TCustomShellComboBox *Value);
    TCustomShellListView *ShellListView() const;
    void SetShellListView(TCustomShellListView *Value);

    // Re-entrance guards.
    bool Syncing() const { return Syncing_; }
    bool BuildingRoot() const { return BuildingRoot_; }

    // Base tree settings under their customary names.
    bool RightClickSelect() const { return RightClickSelect_; }
    void SetRightClickSelect(bool Value) { RightClickSelect_ = Value; }
    bool ShowRoot() const { return rootIsDecorated(); }
    void SetShowRoot(bool Value) { setRootIsDecorated(Value); }
    int Indent() const { return indentation(); }
    void SetIndent(int Value) { setIndentation(Value); }
    bool ReadOnly() const { return ReadOnly_; }
    void SetReadOnly(bool Value);
    // The control's own context menu; with AutoPopup it pops up by itself on a right click.
    QMenu *PopupMenu() const;
    void SetPopupMenu(QMenu *Menu, bool AutoPopup = true);
    bool PopupMenuAutoPopup() const { return PopupAutoPopup_; }

    const AnsiString &SavedCurrentDir() const { return SavedCurrentDir_; }

    // ---- events ----
    TAddFolderEvent OnAddFolder;
    TTVExpandingEvent OnExpanding;
    TTVChangedEvent OnExpanded;
    TTVExpandingEvent OnCollapsing;
    TTVChangedEvent OnCollapsed;
    TTVChangingEvent OnChanging;
    TTVChangedEvent OnChange;
    TTVEditedEvent OnEdited;
    TTVChangedEvent OnGetImageIndex;
    TTVChangedEvent OnGetSelectedIndex;

    // ---- operations ----

    TShellFolder *SelectedShellFolder() const;
    // The folder object of the node at Index of the node list (all nodes in pre-order); null
    // for an Index outside the list.
    TShellFolder *FolderAt(int Index) const;
    // The number of nodes in the node list.
    int NodeCount() const;
    TShellTreeNode *NodeAt(int Index) const;
    TShellTreeNode *Selected() const;
    // Selects Node (null clears the selection); runs the selection hook first.
    void SetSelected(TShellTreeNode *Node);
    TShellTreeNode *TopNode() const;
    void SetTopNode(TShellTreeNode *Node);
    TShellTreeNode *FirstNode() const;
    // The node's folder object; null for none.
    static TShellFolder *NodeFolder(QTreeWidgetItem *Node);

    // Expands Node one level, asking the may-expand hook first (which fills the node).
    void ExpandNode(TShellTreeNode *Node);
    void CollapseNode(TShellTreeNode *Node);
    // Starts in-place editing of Node's label.
    void EditNode(TShellTreeNode *Node);

    // Rebuilds Node and re-expands what was expanded below it; selection and top node are kept
    // where their items still exist. Does nothing for a node without a folder interface.
    void RefreshNode(TShellTreeNode *Node);
    // The first node from Start over Start's existing descendants whose item is FullId.
    TShellTreeNode *FindNodeById(LPCITEMIDLIST FullId, TShellTreeNode *Start) const;
    // Expands the tree down to the folder with that full item ID list and selects it (clears
    // the selection when it lies outside the root's subtree). Used by the companions.
    void NavigateToId(LPCITEMIDLIST FullId);
    // Frees every node's folder object and removes all nodes.
    virtual void ClearNodes();

    // Loading: while loading, property changes do not build the tree; Loaded builds it.
    void BeginLoad() { Loading_ = true; }
    void Loaded();
    bool Loading() const { return Loading_; }

    // Owner-draw menu messages (WM_DRAWITEM, WM_MEASUREITEM, WM_INITMENUPOPUP, WM_MENUCHAR) go
    // to the open shell context menu and are not handled further. True when consumed.
    bool MenuMessage(UINT Msg, WPARAM WParam, LPARAM LParam, LRESULT &Result);

    // IShellVerbSink
    void VerbInvoking(const AnsiString &Verb, bool &Handled) override;
    void VerbInvoked(const AnsiString &Verb, bool Succeeded) override;

protected:
    // Hooks of the tree control.
    virtual bool CanExpand(TShellTreeNode *Node);
    virtual bool CanChange(TShellTreeNode *Node);
    virtual void Edit(TShellTreeNode *Node, const QString &Text);
    virtual void GetImageIndex(TShellTreeNode *Node);
    virtual void GetSelectedIndex(TShellTreeNode *Node);

    void ApplyRoot();
    void BuildRoot();
    void FillNode(TShellTreeNode *Node);
    // Sets up a new child of ParentNode for Item; false when OnAddFolder refused it (the
    // caller then deletes NewNode, which frees its folder object).
    bool SetUpNode(TShellTreeNode *NewNode, LPCITEMIDLIST Item, TShellTreeNode *ParentNode);
    int CompareNodes(TShellTreeNode *Node1, TShellTreeNode *Node2) const;
    void RefreshSelected();

    void showEvent(QShowEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    friend class TShellTreeNode;
    friend class TShellTreeSelection;
    friend class TShellTreeDelegate;

    void ItemExpanded(QTreeWidgetItem *Item);
    void ItemCollapsed(QTreeWidgetItem *Item);
    void RefreshImages();
    void BeginUpdate();
    void EndUpdate();
    TShellTreeNode *NodeOf(const QModelIndex &Index) const;
    void Rebind(TShellTreeNode *Node);
    void ApplyButtonLater(TShellTreeNode *Node);
    void ApplyButtons();
    QIcon CachedShellIcon(int Index) const;

    bool BuildingRoot_ = false;
    bool AutoContextMenus_ = true;
    bool Syncing_ = false;
    QPointer<TCustomShellComboBox> ShellComboBox_;
    QPointer<TCustomShellListView> ShellListView_;
    bool AutoRefresh_ = false;
    bool SettingImages_ = false;
    bool UseShellImages_ = true;
    TShellChangeNotifier *ChangeWatcher_ = nullptr; // owned (child object)
    AnsiString SavedCurrentDir_;
    TShellTreeNode *WatchNode_ = nullptr;

    std::optional<std::vector<QIcon>> Images_;
    QPointer<QMenu> PopupMenu_;
    bool PopupAutoPopup_ = true;
    bool RightClickSelect_ = true;
    bool ReadOnly_ = false;
    bool Loading_ = false;
    bool Built_ = false;
    int ExpandingByCode_ = 0;
    int UpdateCount_ = 0;
    TShellTreeSelection *Selection_ = nullptr;
    mutable std::vector<QIcon> ShellIcons_;
    std::vector<QPersistentModelIndex> ButtonsToApply_;
};

// The tree as placed on a form.
class TShellTreeView : public TCustomShellTreeView {
public:
    using TCustomShellTreeView::TCustomShellTreeView;
};
