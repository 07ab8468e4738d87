// Internal: the folder objects, the context menu and their shared helpers.
#pragma once

#include "platform/shell/drives.h"
#include "platform/shell/itemid.h"
#include "platform/shell/shell.h"

#include <string>
#include <vector>

namespace vx::shell::detail {

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
