// The shell folder node TShellFolder, the item ID list routines, root resolution, names, icons,
// details, renaming, context menus and the state all shell controls share.
#pragma once

#include "platform/shell/shell.h"
#include "shellctrls/ShellConsts.h"

#include <QString>
#include <initializer_list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

class QWidget;

using AnsiString = std::string;
using TRoot = AnsiString;

// A small set over an enumeration whose members are bit positions 0..31.
template <class E>
class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> members)
    {
        for (E m : members)
            bits_ |= Bit(m);
    }
    static constexpr TSet FromBits(uint32_t bits)
    {
        TSet s;
        s.bits_ = bits;
        return s;
    }
    constexpr bool Contains(E m) const { return bits_ & Bit(m); }
    constexpr TSet &Include(E m) { bits_ |= Bit(m); return *this; }
    constexpr TSet &Exclude(E m) { bits_ &= ~Bit(m); return *this; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr uint32_t Bits() const { return bits_; }
    constexpr bool operator==(const TSet &) const = default;

private:
    static constexpr uint32_t Bit(E m) { return uint32_t(1) << static_cast<unsigned>(m); }
    uint32_t bits_ = 0;
};

enum TShellObjectType { otFolders, otNonFolders, otHidden };
using TShellObjectTypes = TSet<TShellObjectType>;

// SHCONTF_FOLDERS / NONFOLDERS / INCLUDEHIDDEN for the members of Types.
DWORD EnumFlagsOf(TShellObjectTypes Types);

enum TRootFolder {
    rfDesktop, rfMyComputer, rfNetwork, rfRecycleBin, rfAppData, rfCommonDesktopDirectory,
    rfCommonPrograms, rfCommonStartMenu, rfCommonStartup, rfControlPanel, rfDesktopDirectory,
    rfFavorites, rfFonts, rfInternet, rfPersonal, rfPrinters, rfPrintHood, rfPrograms, rfRecent,
    rfSendTo, rfStartMenu, rfStartup, rfTemplates
};
// The special-folder number of a root name.
int RootFolderCsidl(TRootFolder Folder);
const char *RootFolderName(TRootFolder Folder);
// True when Root names a TRootFolder member (letter case ignored).
bool RootFolderOf(const AnsiString &Root, TRootFolder &Folder);

enum TShellItemTrait { stGhosted, stLink, stReadOnly, stShared, stFileSystem, stFileSystemAncestor, stRemovable, stValidate };
using TShellItemTraits = TSet<TShellItemTrait>;
enum TShellItemAbility { saCopy, saDelete, saLink, saMove, saRename, saDropTarget, saPropertySheet };
using TShellItemAbilities = TSet<TShellItemAbility>;

// The general error of the shell controls.
class EShellError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// A path whose file-system data cannot be read.
class EInvalidPath : public EShellError {
public:
    using EShellError::EShellError;
};
// A platform call that failed, with its result code.
class EShellResultError : public EShellError {
public:
    explicit EShellResultError(HRESULT code);
    HRESULT Code;
};

// ---- item ID lists ----
// Walkers read no further than the task-allocator block that holds the list (or 64 KiB for
// memory that is not the allocator's); an item whose cb is below 2 or runs past that bound ends
// the list there.

using TIdListList = std::vector<PItemIDList>;

PItemIDList AllocIdList(size_t Size);
PItemIDList NextItem(LPCITEMIDLIST List);
int ItemCount(LPCITEMIDLIST List);
size_t IdListSize(LPCITEMIDLIST List);
PItemIDList CopyIdList(LPCITEMIDLIST List);
PItemIDList JoinIdLists(LPCITEMIDLIST First, LPCITEMIDLIST Second);
void StripLastItem(PItemIDList List);
PItemIDList LastItemOf(LPCITEMIDLIST List);
TIdListList *AncestorIdLists(LPCITEMIDLIST List);
void FreeIdList(LPCITEMIDLIST List);
void FreeIdListList(TIdListList *Collection);
bool SameItemId(LPCITEMIDLIST A, LPCITEMIDLIST B);

// The desktop folder (raises EShellResultError when the platform refuses it).
ComPtr<IShellFolder> DesktopFolder();

// ---- the node ----

class TShellFolder {
public:
    TShellFolder(TShellFolder *AParent, LPCITEMIDLIST Id, IShellFolder *Folder);
    ~TShellFolder();
    TShellFolder(const TShellFolder &) = delete;
    TShellFolder &operator=(const TShellFolder &) = delete;

    PItemIDList ItemId() const { return ItemId_; }
    PItemIDList FullItemId() const { return FullItemId_; }
    TShellFolder *ParentFolder() const { return ParentFolder_; }
    IShellFolder *FolderIntf() const { return FolderIntf_.Get(); }
    // These two choose the detail source on first need.
    IShellFolder2 *Folder2Intf();
    IShellDetails *DetailsIntf();
    IUnknown *DetailSource() const { return DetailSource_.Get(); }
    int Depth() const { return Depth_; }
    HWND ViewWindow() const { return ViewWindow_; }
    void SetViewWindow(HWND Window) { ViewWindow_ = Window; }
    const std::vector<AnsiString> &DetailTexts() const { return DetailTexts_; }

    IShellFolder *ContainerIntf() const;
    AnsiString DisplayText() const;
    AnsiString ParsingPath() const;
    TShellItemTraits Traits() const;
    TShellItemAbilities Abilities() const;
    bool IsFolderItem() const;
    bool HasSubfolders() const;
    int IconIndex(bool Large) const;
    bool OpenDefault() const;
    void LoadColumnDetails(TShellFolder *RootFolder, HWND Window, int ColumnCount);
    AnsiString DetailText(int Index) const;
    WIN32_FIND_DATAA ReadFindData() const;
    bool RenameTo(const QString &NewName);

private:
    void ChooseDetailSource();
    DWORD Attributes(DWORD Request) const;

    PItemIDList ItemId_ = nullptr;
    PItemIDList FullItemId_ = nullptr;
    TShellFolder *ParentFolder_ = nullptr;
    ComPtr<IShellFolder> FolderIntf_;
    ComPtr<IShellFolder2> Folder2Intf_;
    ComPtr<IShellDetails> DetailsIntf_;
    ComPtr<IUnknown> DetailSource_;
    int Depth_ = 0;
    HWND ViewWindow_ = nullptr;
    std::vector<AnsiString> DetailTexts_;
    mutable ComPtr<IShellFolder> ContainerCache_; // the desktop, for the node without a parent
};

// ---- free routines ----

AnsiString ItemNameOf(IShellFolder *Container, LPCITEMIDLIST Id, DWORD Flags);
AnsiString StrRetText(LPCITEMIDLIST Id, STRRET &StrRet);
bool HasContent(IShellFolder *Folder, DWORD Kinds);
int ShellIconIndex(LPCITEMIDLIST FullId, bool Large, bool Open);
ComPtr<IShellFolder> BindSubfolder(IShellFolder *Container, LPCITEMIDLIST Id, HWND Window);
ComPtr<IShellDetails> BindDetails(IShellFolder *Folder, LPCITEMIDLIST Id, HWND Window);
ComPtr<IShellFolder2> BindFolder2(IShellFolder *Folder, LPCITEMIDLIST Id, HWND Window);
TShellFolder *FolderFromFullId(LPCITEMIDLIST FullId);
// The new root node for Root (a TRootFolder name or a path; "D:" becomes "D:\"). On failure
// Root is set back to PreviousRoot, OldFolder is left alive and EShellError is raised.
// On success OldFolder is freed.
TShellFolder *ResolveRoot(TShellFolder *OldFolder, const AnsiString &PreviousRoot, TRoot &Root);
void InvokeVerb(TShellFolder *Node, const AnsiString &Verb);
void ShowShellMenu(QWidget *Owner, TShellFolder *Node, int X, int Y);
AnsiString FindDataText(const WIN32_FIND_DATAA &Data, int Column);

// A control's part in the commands of the shell context menu. A control that derives from it
// (as well as from QWidget) is told about each command chosen in ShowShellMenu.
inline constexpr GUID IID_IShellVerbSink{0x7D2A7245, 0x2376, 0x4D33, {0x80, 0x08, 0xA1, 0x30, 0x93, 0x5A, 0x2E, 0x8B}};
class IShellVerbSink {
public:
    virtual void VerbInvoking(const AnsiString &Verb, bool &Handled) = 0;
    virtual void VerbInvoked(const AnsiString &Verb, bool Succeeded) = 0;

protected:
    ~IShellVerbSink() = default;
};

// ---- shared state ----

// A recursive lock, as the platform's critical section.
class TCriticalSection {
public:
    void Enter() { m_.lock(); }
    void Leave() { m_.unlock(); }
    void lock() { m_.lock(); }
    void unlock() { m_.unlock(); }

private:
    std::recursive_mutex m_;
};

// The desktop's node (built at start-up; none when the platform gave no desktop list).
TShellFolder *DesktopNode();
// Guards the change watchers' options.
TCriticalSection &WatchLock();
// The shell context menu while ShowShellMenu shows it; null otherwise.
IContextMenu2 *ActiveMenu2();
// The folder whose interface orders lists while the combo box sorts; null otherwise.
extern TShellFolder *SortParent;

// Start-up and shut-down of the unit. Start-up runs on first need (or here); shut-down runs here
// or at process exit. Each runs once per start.
void ShellCtrlsStartup();
void ShellCtrlsShutdown();
