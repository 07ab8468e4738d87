// SPDX-License-Identifier: GPL-3.0-or-later
#include "shellctrls/ShellFolder.h"

#include "platform/codepage/codepage_qt.h"
#include "platform/exec/exec.h"

#include <QPoint>
#include <QWidget>
#include <cstring>
#include <ctime>
#include <memory>

void StopAllWatchers(); // ShellNotifier.cpp

namespace {

// ---- list walking ----

uint16_t ReadCb(const uint8_t *p)
{
    uint16_t cb;
    std::memcpy(&cb, p, sizeof cb);
    return cb;
}

size_t BoundOf(const void *p)
{
    const size_t n = vx::shell::TaskMemBytesFrom(p);
    return n ? n : 0x10000;
}

// Bytes of the well-formed items (no terminator) and their count; the last item's offset.
struct Walk {
    size_t bytes = 0;
    int count = 0;
    size_t lastOffset = 0;
    bool valid = false; // at least a terminator was readable
};

Walk WalkList(LPCITEMIDLIST list)
{
    Walk w;
    if (!list)
        return w;
    const auto *p = reinterpret_cast<const uint8_t *>(list);
    const size_t bound = BoundOf(list);
    if (bound < 2)
        return w;
    w.valid = true;
    while (w.bytes + 2 <= bound) {
        const uint16_t cb = ReadCb(p + w.bytes);
        if (cb < 2 || w.bytes + cb + 2 > bound)
            break;
        w.lastOffset = w.bytes;
        w.bytes += cb;
        ++w.count;
    }
    return w;
}

IMalloc *Malloc()
{
    IMalloc *m = nullptr;
    const HRESULT hr = SHGetMalloc(&m);
    if (hr != S_OK || !m)
        throw EShellResultError(hr != S_OK ? hr : E_FAIL);
    return m;
}

PItemIDList NewListOf(const uint8_t *items, size_t bytes)
{
    PItemIDList list = AllocIdList(bytes + 2);
    if (list && bytes)
        std::memcpy(list, items, bytes);
    return list;
}

// ---- unit state ----

struct UnitState {
    bool started = false;
    bool starting = false;
    TShellFolder *desktopNode = nullptr;
    ComPtr<IContextMenu2> activeMenu2;
};

UnitState &Unit()
{
    static UnitState *state = new UnitState; // outlives every static destructor
    return *state;
}

struct ExitGuard {
    ~ExitGuard() { ShellCtrlsShutdown(); }
};

void EnsureStarted()
{
    UnitState &u = Unit();
    if (!u.started && !u.starting)
        ShellCtrlsStartup();
}

AnsiString FromWide(const WCHAR *w)
{
    return w ? vx::codepage::ToAnsi(QString::fromUtf16(w)) : AnsiString();
}

class ErrorModeGuard {
public:
    explicit ErrorModeGuard(UINT mode) : previous_(SetErrorMode(mode)) {}
    ~ErrorModeGuard() { SetErrorMode(previous_); }

private:
    UINT previous_;
};

} // namespace

TShellFolder *SortParent = nullptr;

EShellResultError::EShellResultError(HRESULT code)
    : EShellError(ShellFormat("Shell call failed with result code $%x", {static_cast<uint32_t>(code)})), Code(code)
{
}

DWORD EnumFlagsOf(TShellObjectTypes Types)
{
    DWORD flags = 0;
    if (Types.Contains(otFolders))
        flags |= SHCONTF_FOLDERS;
    if (Types.Contains(otNonFolders))
        flags |= SHCONTF_NONFOLDERS;
    if (Types.Contains(otHidden))
        flags |= SHCONTF_INCLUDEHIDDEN;
    return flags;
}

namespace {
struct RootInfo {
    TRootFolder folder;
    const char *name;
    int csidl;
};
const RootInfo kRoots[] = {
    {rfDesktop, "rfDesktop", 0x00}, {rfMyComputer, "rfMyComputer", 0x11},
    {rfNetwork, "rfNetwork", 0x12}, {rfRecycleBin, "rfRecycleBin", 0x0A},
    {rfAppData, "rfAppData", 0x1A}, {rfCommonDesktopDirectory, "rfCommonDesktopDirectory", 0x19},
    {rfCommonPrograms, "rfCommonPrograms", 0x17}, {rfCommonStartMenu, "rfCommonStartMenu", 0x16},
    {rfCommonStartup, "rfCommonStartup", 0x18}, {rfControlPanel, "rfControlPanel", 0x03},
    {rfDesktopDirectory, "rfDesktopDirectory", 0x10}, {rfFavorites, "rfFavorites", 0x06},
    {rfFonts, "rfFonts", 0x14}, {rfInternet, "rfInternet", 0x01},
    {rfPersonal, "rfPersonal", 0x05}, {rfPrinters, "rfPrinters", 0x04},
    {rfPrintHood, "rfPrintHood", 0x1B}, {rfPrograms, "rfPrograms", 0x02},
    {rfRecent, "rfRecent", 0x08}, {rfSendTo, "rfSendTo", 0x09},
    {rfStartMenu, "rfStartMenu", 0x0B}, {rfStartup, "rfStartup", 0x07},
    {rfTemplates, "rfTemplates", 0x15},
};
} // namespace

int RootFolderCsidl(TRootFolder Folder) { return kRoots[static_cast<int>(Folder)].csidl; }
const char *RootFolderName(TRootFolder Folder) { return kRoots[static_cast<int>(Folder)].name; }

bool RootFolderOf(const AnsiString &Root, TRootFolder &Folder)
{
    for (const RootInfo &r : kRoots) {
        if (Root.size() == std::strlen(r.name) && ::strncasecmp(Root.c_str(), r.name, Root.size()) == 0) {
            Folder = r.folder;
            return true;
        }
    }
    return false;
}

// ---- item ID list routines ----

PItemIDList AllocIdList(size_t Size)
{
    return static_cast<PItemIDList>(Malloc()->Alloc(Size));
}

PItemIDList NextItem(LPCITEMIDLIST List)
{
    if (!List)
        return nullptr;
    const auto *p = reinterpret_cast<const uint8_t *>(List);
    return reinterpret_cast<PItemIDList>(const_cast<uint8_t *>(p + ReadCb(p)));
}

int ItemCount(LPCITEMIDLIST List) { return WalkList(List).count; }

size_t IdListSize(LPCITEMIDLIST List)
{
    const Walk w = WalkList(List);
    return w.valid ? w.bytes + 2 : 0;
}

PItemIDList CopyIdList(LPCITEMIDLIST List)
{
    const Walk w = WalkList(List);
    if (!w.valid)
        return nullptr;
    return NewListOf(reinterpret_cast<const uint8_t *>(List), w.bytes);
}

PItemIDList JoinIdLists(LPCITEMIDLIST First, LPCITEMIDLIST Second)
{
    const Walk a = WalkList(First);
    const Walk b = WalkList(Second);
    PItemIDList list = AllocIdList(a.bytes + b.bytes + 2);
    if (!list)
        return nullptr;
    auto *out = reinterpret_cast<uint8_t *>(list);
    if (a.bytes)
        std::memcpy(out, First, a.bytes);
    if (b.bytes)
        std::memcpy(out + a.bytes, Second, b.bytes);
    return list; // zero-filled: the terminator is in place
}

void StripLastItem(PItemIDList List)
{
    const Walk w = WalkList(List);
    if (!w.valid || w.count == 0)
        return;
    std::memset(reinterpret_cast<uint8_t *>(List) + w.lastOffset, 0, 2);
}

PItemIDList LastItemOf(LPCITEMIDLIST List)
{
    const Walk w = WalkList(List);
    if (!w.valid)
        return nullptr;
    if (w.count == 0)
        return NewListOf(nullptr, 0);
    const auto *p = reinterpret_cast<const uint8_t *>(List) + w.lastOffset;
    return NewListOf(p, ReadCb(p));
}

TIdListList *AncestorIdLists(LPCITEMIDLIST List)
{
    auto result = std::make_unique<TIdListList>();
    PItemIDList copy = CopyIdList(List);
    try {
        while (copy && ItemCount(copy) > 0) {
            StripLastItem(copy);
            result->insert(result->begin(), copy);
            copy = CopyIdList(copy);
        }
    } catch (...) {
        FreeIdList(copy);
        FreeIdListList(result.release());
        throw;
    }
    FreeIdList(copy);
    return result.release();
}

void FreeIdList(LPCITEMIDLIST List)
{
    if (List)
        Malloc()->Free(const_cast<ITEMIDLIST *>(List));
}

void FreeIdListList(TIdListList *Collection)
{
    if (!Collection)
        return;
    for (PItemIDList list : *Collection)
        FreeIdList(list);
    delete Collection;
}

ComPtr<IShellFolder> DesktopFolder()
{
    ComPtr<IShellFolder> desktop;
    const HRESULT hr = SHGetDesktopFolder(desktop.Put());
    if (hr != S_OK || !desktop)
        throw EShellResultError(hr != S_OK ? hr : E_FAIL);
    return desktop;
}

bool SameItemId(LPCITEMIDLIST A, LPCITEMIDLIST B)
{
    return DesktopFolder()->CompareIDs(0, A, B) == 0;
}

// ---- the node ----

TShellFolder::TShellFolder(TShellFolder *AParent, LPCITEMIDLIST Id, IShellFolder *Folder)
    : ParentFolder_(AParent), FolderIntf_(Folder)
{
    ItemId_ = CopyIdList(Id);
    if (!ItemId_)
        ItemId_ = AllocIdList(2);
    try {
        if (AParent) {
            FullItemId_ = JoinIdLists(AParent->FullItemId_, Id);
        } else {
            PItemIDList desktop = nullptr;
            const HRESULT hr = SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, &desktop);
            if (hr != S_OK) {
                FreeIdList(desktop);
                throw EShellResultError(hr);
            }
            FullItemId_ = JoinIdLists(desktop, Id);
            FreeIdList(desktop);
        }
    } catch (...) {
        FreeIdList(ItemId_);
        throw;
    }
    if (!ParentFolder_) {
        EnsureStarted();
        ParentFolder_ = Unit().desktopNode;
    }
    for (TShellFolder *p = AParent; p; p = p->ParentFolder_)
        if (p->ParentFolder_)
            ++Depth_;
}

TShellFolder::~TShellFolder()
{
    DetailTexts_.clear();
    FreeIdList(ItemId_);
    FreeIdList(FullItemId_);
}

IShellFolder *TShellFolder::ContainerIntf() const
{
    if (ParentFolder_)
        return ParentFolder_->FolderIntf();
    if (!ContainerCache_)
        ContainerCache_ = DesktopFolder();
    return ContainerCache_.Get();
}

AnsiString TShellFolder::DisplayText() const { return ItemNameOf(ContainerIntf(), ItemId_, SHGDN_INFOLDER); }

AnsiString TShellFolder::ParsingPath() const
{
    return ItemNameOf(DesktopFolder().Get(), FullItemId_, SHGDN_FORPARSING);
}

DWORD TShellFolder::Attributes(DWORD Request) const
{
    IShellFolder *container = ContainerIntf();
    if (!container)
        return 0;
    DWORD flags = Request;
    LPCITEMIDLIST id = ItemId_;
    container->GetAttributesOf(1, &id, &flags);
    return flags;
}

TShellItemTraits TShellFolder::Traits() const
{
    if (!ContainerIntf())
        return {};
    TShellItemTraits t;
    const DWORD first = Attributes(0x000F0000);
    if (first & SFGAO_GHOSTED) t.Include(stGhosted);
    if (first & SFGAO_LINK) t.Include(stLink);
    if (first & SFGAO_READONLY) t.Include(stReadOnly);
    if (first & SFGAO_SHARE) t.Include(stShared);
    const DWORD second = Attributes(0);
    if (second & SFGAO_FILESYSTEM) t.Include(stFileSystem);
    if (second & SFGAO_FILESYSANCESTOR) t.Include(stFileSystemAncestor);
    if (second & SFGAO_REMOVABLE) t.Include(stRemovable);
    if (second & SFGAO_VALIDATE) t.Include(stValidate);
    return t;
}

TShellItemAbilities TShellFolder::Abilities() const
{
    const DWORD a = Attributes(0x177);
    TShellItemAbilities s;
    if (a & SFGAO_CANCOPY) s.Include(saCopy);
    if (a & SFGAO_CANDELETE) s.Include(saDelete);
    if (a & SFGAO_CANLINK) s.Include(saLink);
    if (a & SFGAO_CANMOVE) s.Include(saMove);
    if (a & SFGAO_CANRENAME) s.Include(saRename);
    if (a & SFGAO_DROPTARGET) s.Include(saDropTarget);
    if (a & SFGAO_HASPROPSHEET) s.Include(saPropertySheet);
    return s;
}

bool TShellFolder::IsFolderItem() const { return Attributes(SFGAO_FOLDER) & SFGAO_FOLDER; }
bool TShellFolder::HasSubfolders() const { return Attributes(SFGAO_HASSUBFOLDER) & SFGAO_HASSUBFOLDER; }
int TShellFolder::IconIndex(bool Large) const { return ShellIconIndex(FullItemId_, Large, false); }

bool TShellFolder::OpenDefault() const
{
    SHELLEXECUTEINFOA info{};
    info.cbSize = 60;
    info.fMask = SEE_MASK_INVOKEIDLIST;
    info.hwnd = nullptr;
    info.lpVerb = nullptr;
    info.lpIDList = FullItemId_;
    info.nShow = SW_SHOW;
    return ShellExecuteExA(&info) != 0;
}

void TShellFolder::ChooseDetailSource()
{
    if (DetailSource_ || !FolderIntf_)
        return;
    DetailsIntf_ = BindDetails(FolderIntf_.Get(), FullItemId_, ViewWindow_);
    if (!DetailsIntf_ && vx::shell::PlatformMajorVersion() >= 5) {
        Folder2Intf_ = BindFolder2(FolderIntf_.Get(), FullItemId_, ViewWindow_);
        // Use the folder itself as the extended folder only when it is one.
        if (!Folder2Intf_)
            Folder2Intf_ = FolderIntf_.As<IShellFolder2>(IID_IShellFolder2);
    }
    if (Folder2Intf_)
        DetailSource_ = ComPtr<IUnknown>(Folder2Intf_.Get());
    else if (DetailsIntf_)
        DetailSource_ = ComPtr<IUnknown>(DetailsIntf_.Get());
}

IShellFolder2 *TShellFolder::Folder2Intf()
{
    if (!DetailSource_)
        ChooseDetailSource();
    return Folder2Intf_.Get();
}

IShellDetails *TShellFolder::DetailsIntf()
{
    if (!DetailSource_)
        ChooseDetailSource();
    return DetailsIntf_.Get();
}

void TShellFolder::LoadColumnDetails(TShellFolder *RootFolder, HWND Window, int ColumnCount)
{
    if (ColumnCount <= static_cast<int>(DetailTexts_.size()))
        return;
    DetailTexts_.clear();
    ViewWindow_ = Window;
    if (!RootFolder)
        return;
    // Columns 1 to ColumnCount from a detail interface; a failed answer gives an empty text.
    auto load = [&](auto *source) {
        for (int column = 1; column <= ColumnCount; ++column) {
            SHELLDETAILS sd{};
            const HRESULT r = source->GetDetailsOf(ItemId_, static_cast<UINT>(column), &sd);
            DetailTexts_.push_back(r == S_OK ? StrRetText(ItemId_, sd.str) : AnsiString());
        }
    };
    if (IShellFolder2 *f2 = RootFolder->Folder2Intf())
        load(f2);
    else if (IShellDetails *details = RootFolder->DetailsIntf())
        load(details);
    else if (RootFolder->Traits().Contains(stFileSystem)) {
        const WIN32_FIND_DATAA data = ReadFindData();
        for (int column = 1; column <= ColumnCount; ++column)
            DetailTexts_.push_back(FindDataText(data, column));
    }
}

AnsiString TShellFolder::DetailText(int Index) const
{
    if (DetailTexts_.empty())
        throw EShellError(ShellFormat(SMissingColumnDetails, {DisplayText()}));
    if (Index < 1 || Index > static_cast<int>(DetailTexts_.size()))
        return AnsiString();
    return DetailTexts_[static_cast<size_t>(Index - 1)];
}

WIN32_FIND_DATAA TShellFolder::ReadFindData() const
{
    WIN32_FIND_DATAA data;
    std::memset(&data, 0, sizeof data);
    HANDLE h = FindFirstFileA(ParsingPath().c_str(), &data);
    if (h == INVALID_HANDLE_VALUE)
        throw EInvalidPath(ShellFormat(SShellNoDetails, {DisplayText(), static_cast<uint32_t>(GetLastError())}));
    FindClose(h);
    return data;
}

bool TShellFolder::RenameTo(const QString &NewName)
{
    if (!Abilities().Contains(saRename))
        return false;
    IShellFolder *container = ContainerIntf();
    if (!container)
        return false;
    PItemIDList newId = nullptr;
    const HRESULT hr = container->SetNameOf(nullptr, ItemId_, reinterpret_cast<LPCWSTR>(NewName.utf16()), 0, &newId);
    if (hr != S_OK || !newId) {
        FreeIdList(newId);
        throw EShellError(ShellFormat(SRenameFailed, {vx::codepage::ToAnsi(NewName)}));
    }
    PItemIDList full = ParentFolder_ ? JoinIdLists(ParentFolder_->FullItemId_, newId) : CopyIdList(newId);
    FreeIdList(ItemId_);
    FreeIdList(FullItemId_);
    ItemId_ = newId;
    FullItemId_ = full;
    return true;
}

// ---- free routines ----

AnsiString ItemNameOf(IShellFolder *Container, LPCITEMIDLIST Id, DWORD Flags)
{
    if (!Container)
        return "parentfolder = nil";
    STRRET record;
    std::memset(&record, 0, sizeof record);
    Container->GetDisplayNameOf(Id, Flags, &record);
    AnsiString result = StrRetText(Id, record);
    if (result.compare(0, 3, "::{") == 0) {
        std::memset(&record, 0, sizeof record);
        Container->GetDisplayNameOf(Id, SHGDN_NORMAL, &record);
        result = StrRetText(Id, record);
    }
    return result;
}

AnsiString StrRetText(LPCITEMIDLIST Id, STRRET &StrRet)
{
    AnsiString text;
    switch (StrRet.uType) {
    case STRRET_WSTR:
        if (StrRet.pOleStr) {
            text = FromWide(StrRet.pOleStr);
            Malloc()->Free(StrRet.pOleStr);
            StrRet.pOleStr = nullptr; // a second call finds nothing to free
        }
        break;
    case STRRET_OFFSET: {
        if (!Id)
            break;
        const auto *p = reinterpret_cast<const uint8_t *>(Id);
        const size_t bound = BoundOf(Id);
        if (bound < 2)
            break;
        const size_t cb = std::min<size_t>(ReadCb(p), bound);
        if (StrRet.uOffset >= cb)
            break;
        const char *start = reinterpret_cast<const char *>(p + StrRet.uOffset);
        text.assign(start, strnlen(start, cb - StrRet.uOffset));
        break;
    }
    case STRRET_CSTR:
        text.assign(StrRet.cStr, strnlen(StrRet.cStr, sizeof StrRet.cStr));
        break;
    default:
        break;
    }
    if (text.size() > 1 && text[0] == '?' && text[1] >= '0' && text[1] <= '9')
        std::erase(text, '?');
    return text;
}

bool HasContent(IShellFolder *Folder, DWORD Kinds)
{
    if (!Folder)
        return false;
    ErrorModeGuard guard(SEM_FAILCRITICALERRORS);
    ComPtr<IEnumIDList> e;
    if (Folder->EnumObjects(nullptr, Kinds, e.Put()) != S_OK || !e)
        return false;
    PItemIDList item = nullptr;
    ULONG fetched = 0;
    const bool found = e->Next(1, &item, &fetched) == S_OK;
    FreeIdList(item);
    return found;
}

int ShellIconIndex(LPCITEMIDLIST FullId, bool Large, bool Open)
{
    SHFILEINFOA info;
    std::memset(&info, 0, sizeof info);
    UINT flags = SHGFI_PIDL | SHGFI_SYSICONINDEX;
    if (Open)
        flags |= SHGFI_OPENICON;
    if (!Large)
        flags |= SHGFI_SMALLICON;
    SHGetFileInfoA(FullId, 0, &info, sizeof info, flags);
    return info.iIcon;
}

namespace {
template <class T>
ComPtr<T> BindFourWays(IShellFolder *Container, LPCITEMIDLIST Id, HWND Window, REFIID iid)
{
    ComPtr<T> slot;
    if (Container) {
        const HRESULT r = Container->BindToObject(Id, nullptr, iid, slot.PutVoid());
        if (r != S_OK) {
            Container->GetUIObjectOf(Window, 1, &Id, iid, nullptr, slot.PutVoid());
            Container->CreateViewObject(Window, iid, slot.PutVoid());
        }
    }
    if (!slot)
        DesktopFolder()->BindToObject(Id, nullptr, iid, slot.PutVoid());
    return slot;
}
} // namespace

ComPtr<IShellFolder> BindSubfolder(IShellFolder *Container, LPCITEMIDLIST Id, HWND Window)
{
    return BindFourWays<IShellFolder>(Container, Id, Window, IID_IShellFolder);
}

ComPtr<IShellDetails> BindDetails(IShellFolder *Folder, LPCITEMIDLIST Id, HWND Window)
{
    return BindFourWays<IShellDetails>(Folder, Id, Window, IID_IShellDetails);
}

ComPtr<IShellFolder2> BindFolder2(IShellFolder *Folder, LPCITEMIDLIST Id, HWND Window)
{
    ComPtr<IShellFolder2> slot;
    if (vx::shell::PlatformMajorVersion() < 5)
        return slot;
    const HRESULT r = DesktopFolder()->BindToObject(Id, nullptr, IID_IShellFolder2, slot.PutVoid());
    if (r != S_OK && Folder) {
        Folder->GetUIObjectOf(Window, 1, &Id, IID_IShellFolder2, nullptr, slot.PutVoid());
        Folder->BindToObject(Id, nullptr, IID_IShellFolder2, slot.PutVoid());
    }
    return slot;
}

TShellFolder *FolderFromFullId(LPCITEMIDLIST FullId)
{
    EnsureStarted();
    ComPtr<IShellFolder> desktop = DesktopFolder();
    ComPtr<IShellFolder> folder = BindSubfolder(desktop.Get(), FullId, nullptr);
    if (!folder)
        folder = desktop;
    return new TShellFolder(DesktopNode(), FullId, folder.Get());
}

TShellFolder *ResolveRoot(TShellFolder *OldFolder, const AnsiString &PreviousRoot, TRoot &Root)
{
    EnsureStarted();
    PItemIDList list = nullptr;
    HRESULT r = E_INVALIDARG;
    TRootFolder named;
    if (RootFolderOf(Root, named)) {
        r = SHGetSpecialFolderLocation(nullptr, RootFolderCsidl(named), &list);
    } else if (!Root.empty()) {
        if (Root.back() == ':')
            Root += '\\';
        const QString wide = vx::codepage::FromAnsi(Root);
        ULONG eaten = static_cast<ULONG>(Root.size());
        ULONG attributes = 0;
        r = DesktopFolder()->ParseDisplayName(nullptr, nullptr, reinterpret_cast<LPCWSTR>(wide.utf16()), &eaten,
                                              &list, &attributes);
    }
    if (r != S_OK || !list) {
        FreeIdList(list);
        const AnsiString failing = Root;
        Root = PreviousRoot;
        throw EShellError(ShellFormat(SCannotSetRoot, {failing}));
    }
    TShellFolder *node = nullptr;
    try {
        node = FolderFromFullId(list);
    } catch (...) {
        FreeIdList(list);
        throw;
    }
    FreeIdList(list);
    delete OldFolder;
    return node;
}

namespace {

// The shell's context menu of one node's item, or none.
ComPtr<IContextMenu> ContextMenuOf(TShellFolder *Node, QWidget *Owner)
{
    ComPtr<IContextMenu> menu;
    IShellFolder *container = Node ? Node->ContainerIntf() : nullptr;
    if (!container)
        return menu;
    LPCITEMIDLIST id = Node->ItemId();
    container->GetUIObjectOf(Owner, 1, &id, IID_IContextMenu, nullptr, menu.PutVoid());
    return menu;
}

} // namespace

void InvokeVerb(TShellFolder *Node, const AnsiString &Verb)
{
    ComPtr<IContextMenu> menu = ContextMenuOf(Node, nullptr);
    if (!menu)
        return;
    CMINVOKECOMMANDINFO info{};
    info.cbSize = 36;
    info.fMask = CMIC_MASK_ASYNCOK;
    info.hwnd = nullptr;
    info.lpVerb = Verb.c_str();
    info.nShow = SW_SHOWNORMAL;
    menu->InvokeCommand(&info);
}

void ShowShellMenu(QWidget *Owner, TShellFolder *Node, int X, int Y)
{
    ComPtr<IContextMenu> menu = ContextMenuOf(Node, Owner);
    if (!menu)
        return;
    const QPoint screen = Owner ? Owner->mapToGlobal(QPoint(X, Y)) : QPoint(X, Y);
    std::unique_ptr<void, BOOL (*)(HMENU)> popup(CreatePopupMenu(), DestroyMenu);
    menu->QueryContextMenu(popup.get(), 0, 1, 0x7FFF, CMF_EXPLORE | CMF_CANRENAME);
    UINT command = 0;
    {
        UnitState &u = Unit();
        u.activeMenu2 = menu.As<IContextMenu2>(IID_IContextMenu2);
        struct Clear {
            UnitState &u;
            ~Clear() { u.activeMenu2.Reset(); }
        } clear{u};
        command = TrackPopupMenu(popup.get(), TPM_RETURNCMD | TPM_RIGHTBUTTON, screen.x(), screen.y(), 0, Owner, nullptr);
    }
    if (command == 0)
        return;
    const UINT offset = command - 1;
    char buffer[256] = {};
    AnsiString verb;
    if (menu->GetCommandString(offset, GCS_VERBA, nullptr, buffer, sizeof buffer) == S_OK)
        verb.assign(buffer, strnlen(buffer, sizeof buffer));
    bool handled = false;
    HRESULT result = S_OK;
    auto *sink = dynamic_cast<IShellVerbSink *>(Owner);
    if (sink)
        sink->VerbInvoking(verb, handled);
    if (!handled) {
        CMINVOKECOMMANDINFO info{};
        info.cbSize = 36;
        info.hwnd = Owner;
        info.lpVerb = reinterpret_cast<const char *>(static_cast<uintptr_t>(offset));
        info.nShow = SW_SHOWNORMAL;
        result = menu->InvokeCommand(&info);
    }
    if (sink)
        sink->VerbInvoked(verb, result == S_OK);
}

AnsiString FindDataText(const WIN32_FIND_DATAA &Data, int Column)
{
    const bool directory = Data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    switch (Column) {
    case 1:
        if (directory)
            return "-1";
        return std::to_string((static_cast<uint64_t>(Data.nFileSizeHigh) << 32) + Data.nFileSizeLow);
    case 2: {
        const std::string name(Data.cFileName, strnlen(Data.cFileName, sizeof Data.cFileName));
        const size_t dot = name.rfind('.');
        return dot == std::string::npos ? AnsiString() : name.substr(dot);
    }
    case 3: {
        // Local time at the two-second steps of a DOS date and time; -1.0 (29 December 1899)
        // for a directory or a time that has no DOS form.
        struct tm local {};
        bool ok = !directory;
        if (ok) {
            const uint64_t ft = (static_cast<uint64_t>(Data.ftLastWriteTime.dwHighDateTime) << 32) |
                                Data.ftLastWriteTime.dwLowDateTime;
            const int64_t secs = static_cast<int64_t>(ft / 10000000ULL) - 11644473600LL;
            const time_t t = static_cast<time_t>(secs);
            ok = ::localtime_r(&t, &local) != nullptr && local.tm_year + 1900 >= 1980 && local.tm_year + 1900 <= 2107;
        }
        if (!ok)
            return "1899-12-29";
        local.tm_sec -= local.tm_sec % 2;
        char date[48];
        std::snprintf(date, sizeof date, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
        if (local.tm_hour == 0 && local.tm_min == 0 && local.tm_sec == 0)
            return date;
        const int hour12 = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
        // "오전" / "오후" in CP949.
        const char *half = local.tm_hour < 12 ? "\xBF\xC0\xC0\xFC" : "\xBF\xC0\xC8\xC4";
        char time[64];
        std::snprintf(time, sizeof time, "%s %d:%02d:%02d", half, hour12, local.tm_min, local.tm_sec);
        return AnsiString(date) + " " + time;
    }
    case 4:
        return std::to_string(Data.dwFileAttributes);
    default:
        return AnsiString();
    }
}

// ---- unit state ----

TShellFolder *DesktopNode()
{
    EnsureStarted();
    return Unit().desktopNode;
}

TCriticalSection &WatchLock()
{
    static TCriticalSection *lock = new TCriticalSection; // outlives every watcher
    return *lock;
}

IContextMenu2 *ActiveMenu2() { return Unit().activeMenu2.Get(); }

void ShellCtrlsStartup()
{
    static ExitGuard exitGuard;
    UnitState &u = Unit();
    if (u.started || u.starting)
        return;
    u.starting = true;
    try {
        PItemIDList list = nullptr;
        if (SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, &list) == S_OK && list) {
            ComPtr<IShellFolder> desktop;
            SHGetDesktopFolder(desktop.Put());
            u.desktopNode = new TShellFolder(nullptr, list, desktop.Get());
        }
        FreeIdList(list);
    } catch (...) {
        u.starting = false;
        throw;
    }
    WatchLock();
    OleInitialize(nullptr);
    u.starting = false;
    u.started = true;
}

void ShellCtrlsShutdown()
{
    StopAllWatchers();
    UnitState &u = Unit();
    if (!u.started)
        return;
    delete u.desktopNode;
    u.desktopNode = nullptr;
    OleUninitialize();
    u.activeMenu2.Reset();
    u.started = false;
}
