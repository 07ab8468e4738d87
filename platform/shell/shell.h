// SPDX-License-Identifier: GPL-3.0-or-later
// The shell namespace over the POSIX file system: COM-style interfaces (folder, enumerator,
// details, context menu, allocator), special folders, file information and icons, execution,
// file search and the error mode. Library: vx_platform_shell.
//
// The desktop (the empty item ID list) holds "내 문서", "내 컴퓨터", "내 네트워크 환경",
// "휴지통" and the items of the desktop directory; "내 컴퓨터" holds the drives of the drive map
// (platform/drives/drives.h). Texts crossing these interfaces are CP949; wide texts are UTF-16.
#pragma once

#include "platform/shell/shelltypes.h"

#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QIcon;
class QWidget;

// ---- interfaces ----

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void **ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    virtual ~IUnknown() = default;
};

struct IMalloc : IUnknown {
    virtual void *Alloc(size_t cb) = 0;
    virtual void *Realloc(void *pv, size_t cb) = 0;
    virtual void Free(void *pv) = 0;
    virtual size_t GetSize(void *pv) = 0; // (size_t)-1 for a block not from this allocator
    virtual int DidAlloc(void *pv) = 0;
    virtual void HeapMinimize() = 0;
};

struct IEnumIDList : IUnknown {
    virtual HRESULT Next(ULONG celt, LPITEMIDLIST *rgelt, ULONG *pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumIDList **ppenum) = 0;
};

struct IShellFolder : IUnknown {
    virtual HRESULT ParseDisplayName(HWND hwnd, void *pbc, LPCWSTR pszDisplayName, ULONG *pchEaten,
                                     LPITEMIDLIST *ppidl, ULONG *pdwAttributes) = 0;
    virtual HRESULT EnumObjects(HWND hwnd, DWORD grfFlags, IEnumIDList **ppenumIDList) = 0;
    virtual HRESULT BindToObject(LPCITEMIDLIST pidl, void *pbc, REFIID riid, void **ppv) = 0;
    virtual HRESULT BindToStorage(LPCITEMIDLIST pidl, void *pbc, REFIID riid, void **ppv) = 0;
    // Low 16 bits of the result: negative, 0 (the same item) or positive.
    virtual HRESULT CompareIDs(LPARAM lParam, LPCITEMIDLIST pidl1, LPCITEMIDLIST pidl2) = 0;
    virtual HRESULT CreateViewObject(HWND hwndOwner, REFIID riid, void **ppv) = 0;
    virtual HRESULT GetAttributesOf(UINT cidl, LPCITEMIDLIST *apidl, DWORD *rgfInOut) = 0;
    virtual HRESULT GetUIObjectOf(HWND hwndOwner, UINT cidl, LPCITEMIDLIST *apidl, REFIID riid,
                                  UINT *rgfReserved, void **ppv) = 0;
    virtual HRESULT GetDisplayNameOf(LPCITEMIDLIST pidl, DWORD uFlags, STRRET *pName) = 0;
    virtual HRESULT SetNameOf(HWND hwnd, LPCITEMIDLIST pidl, LPCWSTR pszName, DWORD uFlags,
                              LPITEMIDLIST *ppidlOut) = 0;
};

struct IShellFolder2 : IShellFolder {
    virtual HRESULT GetDefaultColumnState(UINT iColumn, DWORD *pcsFlags) = 0;
    // pidl null: the column's header.
    virtual HRESULT GetDetailsOf(LPCITEMIDLIST pidl, UINT iColumn, SHELLDETAILS *psd) = 0;
};

struct IShellDetails : IUnknown {
    virtual HRESULT GetDetailsOf(LPCITEMIDLIST pidl, UINT iColumn, SHELLDETAILS *pDetails) = 0;
    virtual HRESULT ColumnClick(UINT iColumn) = 0;
};

struct IContextMenu : IUnknown {
    virtual HRESULT QueryContextMenu(HMENU hmenu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast,
                                     UINT uFlags) = 0;
    virtual HRESULT InvokeCommand(CMINVOKECOMMANDINFO *pici) = 0;
    virtual HRESULT GetCommandString(uintptr_t idCmd, UINT uType, UINT *pReserved, char *pszName,
                                     UINT cchMax) = 0;
};

struct IContextMenu2 : IContextMenu {
    virtual HRESULT HandleMenuMsg(UINT uMsg, WPARAM wParam, LPARAM lParam) = 0;
};

// A counted reference that releases on destruction.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    explicit ComPtr(T *p, bool addRef = true) : p_(p) { if (p_ && addRef) p_->AddRef(); }
    ComPtr(const ComPtr &o) : p_(o.p_) { if (p_) p_->AddRef(); }
    ComPtr(ComPtr &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~ComPtr() { Reset(); }
    ComPtr &operator=(const ComPtr &o)
    {
        if (this != &o) { ComPtr tmp(o); std::swap(p_, tmp.p_); }
        return *this;
    }
    ComPtr &operator=(ComPtr &&o) noexcept
    {
        if (this != &o) { Reset(); p_ = std::exchange(o.p_, nullptr); }
        return *this;
    }
    void Reset() { if (T *p = std::exchange(p_, nullptr)) p->Release(); }
    T *Get() const { return p_; }
    T *operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out parameters: releases the current reference and returns the slot.
    T **Put() { Reset(); return &p_; }
    void **PutVoid() { Reset(); return reinterpret_cast<void **>(&p_); }
    // Adopts a reference the caller already owns.
    static ComPtr Attach(T *p) { return ComPtr(p, false); }
    template <class U>
    ComPtr<U> As(REFIID iid) const
    {
        ComPtr<U> out;
        if (p_) p_->QueryInterface(iid, out.PutVoid());
        return out;
    }

private:
    T *p_ = nullptr;
};

// ---- platform calls ----

HRESULT SHGetMalloc(IMalloc **ppMalloc);
HRESULT SHGetDesktopFolder(IShellFolder **ppshf);
HRESULT SHGetSpecialFolderLocation(HWND hwnd, int csidl, LPITEMIDLIST *ppidl);
// Path as CP949 text, or an item ID list with SHGFI_PIDL. With SHGFI_SYSICONINDEX the result
// is the system image list (HIMAGELIST) and iIcon the index; 0 on failure.
DWORD_PTR SHGetFileInfoA(const void *pszPath, DWORD dwFileAttributes, SHFILEINFOA *psfi,
                         UINT cbFileInfo, UINT uFlags);
// Runs a verb on an item (SEE_MASK_INVOKEIDLIST with lpIDList) or a file through the opener.
BOOL ShellExecuteExA(SHELLEXECUTEINFOA *pExecInfo);

HANDLE FindFirstFileA(const char *lpFileName, WIN32_FIND_DATAA *lpFindFileData);
BOOL FindNextFileA(HANDLE hFindFile, WIN32_FIND_DATAA *lpFindFileData);
BOOL FindClose(HANDLE hFindFile);

UINT SetErrorMode(UINT uMode);

HRESULT OleInitialize(void *pvReserved);
void OleUninitialize();

// Popup menus, as the shell's context menus fill them.
HMENU CreatePopupMenu();
BOOL DestroyMenu(HMENU hMenu);
// Shows the menu at screen position (x, y); with TPM_RETURNCMD returns the chosen command or 0.
UINT TrackPopupMenu(HMENU hMenu, UINT uFlags, int x, int y, int nReserved, HWND hWnd,
                    const void *prcRect);

namespace vx::shell {

// Bytes from p to the end of the task-allocator block holding p; 0 when p lies in no such block.
size_t TaskMemBytesFrom(const void *p);
// Number of task-allocator blocks alive (for leak checks in tests).
size_t TaskMemBlockCount();

// The platform's major version number (5 unless VELLAMORIX_WINVER says otherwise).
int PlatformMajorVersion();

// The order in which `folder`'s CompareIDs(lParam, ...) puts these items of the folder, as
// positions in `ids`; items it finds equal keep their places. The same order as sorting with
// CompareIDs pair by pair, but the items of this platform's own folders are read once each
// rather than at every comparison.
std::vector<size_t> FolderOrder(IShellFolder *folder, const std::vector<LPCITEMIDLIST> &ids, LPARAM lParam = 0);

// One popup menu's items, as QueryContextMenu inserted them.
struct MenuItem {
    UINT id = 0;         // 0 for a separator
    QString text;
    bool isDefault = false;
};
struct Menu {
    std::vector<MenuItem> items;
};
// Replaces the popup of TrackPopupMenu (tests): gets the menu and the screen position and
// returns the chosen command id or 0. An empty hook restores the real popup.
using TrackPopupHook = std::function<UINT(const Menu &, int x, int y)>;
TrackPopupHook SetTrackPopupHook(TrackPopupHook hook);

// The "properties" verb's property sheet. The default shows a non-modal dialog.
struct PropertySheetInfo {
    QString name;
    QString type;
    QString location;
    QString size;
    QString modified;
    QString attributes;
    std::string nativePath; // raw bytes on disk; empty for virtual items
};
using PropertySheetHook = std::function<bool(const PropertySheetInfo &)>;
PropertySheetHook SetPropertySheetHook(PropertySheetHook hook);

// The new name for the "rename" verb when no control renames in place. The default asks with
// a dialog; nullopt cancels.
using RenamePromptHook = std::function<std::optional<QString>(const QString &current)>;
RenamePromptHook SetRenamePromptHook(RenamePromptHook hook);

// The system image list: small (16x16) or large (32x32) icons addressed by index.
HIMAGELIST SystemImageList(bool large);
int ImageListCount(HIMAGELIST list);
// The icon at index; a null icon without a GUI application or for a bad index.
QIcon ImageListIcon(HIMAGELIST list, int index);

// Test hooks: the next call of the named operation fails with `hr` (0 clears).
enum class FailPoint { GetMalloc, GetDesktopFolder, SpecialFolderLocation, AllocateIdList };
void FailNext(FailPoint point, HRESULT hr);

// The POSIX path (raw bytes) of an item given by its full item ID list; nullopt for virtual items
// and malformed lists.
std::optional<std::string> NativePathOf(LPCITEMIDLIST fullId);

// The user's trash folder ($XDG_DATA_HOME/Trash).
std::string TrashDirectory();

} // namespace vx::shell
