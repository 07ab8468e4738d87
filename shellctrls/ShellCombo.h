// The shell combo box: an address box over the shell namespace. The root folder at indent 0,
// its sub-folders below it and the chain of folders down to the folder shown, each one level
// further indented. Choosing an entry moves the linked tree view and list view; when they move,
// the combo box follows.
#pragma once

#include "shellctrls/ShellTree.h"

#include <QComboBox>
#include <QIcon>
#include <QPointer>
#include <functional>
#include <memory>
#include <vector>

class TCustomShellListView;

// Lets the owner change the image of each sub-folder entry as it is inserted.
// Index is the entry's position; ImageIndex comes in with the shell's image and may be changed.
using TGetItemImageEvent = std::function<void(QObject *Sender, int Index, int &ImageIndex)>;

class TCustomShellComboBox : public QComboBox, public TShellRootedControl {
    Q_OBJECT

public:
    // Item data roles of the entries (besides display and decoration).
    enum EntryRole {
        FolderRole = Qt::UserRole + 1,  // the entry's TShellFolder* (owned by the combo box)
        IndentRole,                      // int: the folder's Depth
        ImageRole,                       // int: image index, -1 for none
        SelectedImageRole,               // int: selected image index, -1 for none
    };
    // Pixels per indent level in the drop-down list.
    static constexpr int IndentWidth = 10;

    explicit TCustomShellComboBox(QWidget *parent = nullptr);
    ~TCustomShellComboBox() override;

    // Setting Root rebuilds the entries and moves the linked tree and list view to it. A root
    // that cannot be resolved raises EShellError; Root stays at its previous value and the
    // entries are rebuilt from that root, so the control stays usable.
    void SetRoot(const TRoot &Value);
    // Setting the kinds listed rebuilds the entries.
    virtual void SetObjectTypes(TShellObjectTypes Value);

    // With shell images the entries show the system small icons, unless an own image list is
    // set (SetImages), which then takes precedence.
    bool UseShellImages() const { return UseShellImages_; }
    void SetUseShellImages(bool Value);
    // An own image list addressed by the entries' image indices; empty: none.
    void SetImages(std::vector<QIcon> Images);
    const std::vector<QIcon> &Images() const { return Images_; }

    // Links. The tree sets ShellTreeView when it links this combo box (link from the tree's side:
    // tree->SetShellComboBox(combo)). SetShellListView links both ways: the list view's
    // ShellComboBox becomes this combo box. Links clear themselves when the other control goes.
    TCustomShellTreeView *ShellTreeView() const;
    void SetShellTreeView(TCustomShellTreeView *Value);
    TCustomShellListView *ShellListView() const;
    void SetShellListView(TCustomShellListView *Value);

    // Set while the combo box follows or drives a companion.
    bool Syncing() const { return Syncing_; }

    TGetItemImageEvent OnGetItemImage;

    // Called by the tree and the list view: show that folder (no-op while syncing or when it is
    // the selected entry's folder already).
    void FollowItemId(LPCITEMIDLIST FullId);
    // Rebuilds the entries from the root and inserts the chain down to FullId, selecting it.
    void ShowPath(LPCITEMIDLIST FullId);
    // The folder of entry Index; an Index past the last entry gives the last entry's; null
    // when there are no entries or Index is negative.
    TShellFolder *FolderOfEntry(int Index) const;
    // The position of the entry for that item (searching from the last entry), or -1.
    int IndexOfId(LPCITEMIDLIST FullId) const;
    // The selected entry's folder, or null.
    TShellFolder *SelectedShellFolder() const;

    // Entry details (for the owner and for inspection).
    int EntryIndent(int Index) const;
    int EntryImageIndex(int Index) const;
    void SetEntryImageIndex(int Index, int ImageIndex);

    bool DroppedDown() const { return DroppedDown_; }
    void showPopup() override;
    void hidePopup() override;

signals:
    // The base change notification (raised for selection changes outside entry updates).
    void Changed();

protected:
    // Adds the root's first level and, for the desktop root, the drives under the computer.
    virtual void FillRootEntries();

    void ApplyRoot();
    void ClearEntries();
    void BuildEntries();
    int EntryImage(TShellFolder *Folder) const;
    void AddSubfolders(int Index, TShellFolder *Parent);
    TShellFolder *MakeEntryFolder(TShellFolder *Parent, LPCITEMIDLIST Id);
    void InsertEntry(int Position, const AnsiString &Caption, TShellFolder *Folder);

    // Selection changed and clicked, as the base control reports them.
    virtual void Change();
    virtual void Click();

    void BeginUpdate();
    void EndUpdate();
    bool Updating() const { return UpdateCount_ > 0; }

private:
    void FillFromRoot();
    void AddEntry(int Position, const AnsiString &Caption, TShellFolder *Folder, int Image,
                  int SelectedImage);
    void ApplyImages();
    QIcon IconFor(int ImageIndex) const;
    void MoveCompanions();
    void OnCurrentIndexChanged(int Index);
    void OnActivated(int Index);
    void OnEditReturn();

    QPointer<TCustomShellTreeView> ShellTreeView_;
    QPointer<TCustomShellListView> ShellListView_;
    bool UseShellImages_ = true;
    bool Syncing_ = false;
    std::vector<QIcon> Images_;
    // Folder objects of the entries; freed by ClearEntries and with the control.
    std::vector<std::unique_ptr<TShellFolder>> EntryFolders_;
    int UpdateCount_ = 0;
    bool DroppedDown_ = false;
    bool ChangedWhileDropped_ = false;
    bool Destroying_ = false;
};

// The combo box as placed on a form.
class TShellComboBox : public TCustomShellComboBox {
    Q_OBJECT

public:
    using TCustomShellComboBox::TCustomShellComboBox;
};
