// SPDX-License-Identifier: GPL-3.0-or-later
// Internal: the folder objects, the context menu and their shared helpers.
#pragma once

#include "platform/drives/drives.h"
#include "platform/shell/itemid.h"
#include "platform/shell/shell.h"

#include <atomic>
#include <string>
#include <vector>

namespace vx::shell::detail {

// Reference counting and QueryInterface of the stand-in's objects: Derived implements Iface and
// answers to IUnknown and each of Iids with it; the last Release deletes it.
template <class Derived, class Iface, const IID &...Iids>
class RefCounted : public Iface {
public:
    HRESULT QueryInterface(REFIID riid, void **ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || ((riid == Iids) || ...)) {
            *ppv = static_cast<Iface *>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override
    {
        const ULONG n = --refs_;
        if (n == 0)
            delete static_cast<Derived *>(this);
        return n;
    }

private:
    std::atomic<ULONG> refs_{1};
};

// A folder object for the location reached by the full list `full` (bytes, no terminator).
IShellFolder2 *NewFolder(std::vector<uint8_t> full, Location loc);

// The attributes of an item, `request` as GetAttributesOf gets it (0: every static attribute).
DWORD AttributesOf(const Location &loc, DWORD request);

// Parses a CP949 display name from the desktop into full-list bytes.
HRESULT ParseFromDesktop(const QString &name, std::vector<uint8_t> &bytes);
// A virtual item (computer, documents, recycle bin, special folder) or a drive item.
ItemData VirtualItem(ItemKind kind, int csidl = 0);
ItemData DriveItem(const Drive &drive);

// Renames a file-system item in `folder`; `out` gets the renamed item.
HRESULT RenameItem(const Location &folder, const ItemData &item, const std::string &newRaw, ItemData &out);

// The context menu over items of one folder.
IContextMenu2 *NewContextMenu(Location folder, std::vector<Location> items);

// Moves a file or folder to the user's trash (XDG trash, with a .trashinfo record).
DWORD MoveToTrash(const std::string &posix);

// Icon index in the system image list.
int IconIndexOf(const Location &loc, bool open);

// Detail texts.
std::string SizeText(uint64_t bytes);        // "12 KB"
std::string TimeText(uint64_t fileTime);     // "2026-12-07 10:45" (local time)
std::string AttributeText(uint32_t fileAttributes);

// Fills a STRRET with CP949 text (CSTR when it fits, WSTR otherwise).
void FillStrRet(STRRET *out, const std::string &ansi);

// The property sheet of an item.
PropertySheetInfo PropertiesOf(const Location &loc);
bool ShowPropertySheet(const PropertySheetInfo &info);
std::optional<QString> PromptRename(const QString &current);

} // namespace vx::shell::detail
