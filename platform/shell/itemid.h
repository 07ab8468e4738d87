// Our item IDs and what a list of them addresses. Internal to the shell stand-in.
//
// One item: u16 cb, u8 'V', u8 kind, u16 name length, u32 shell attributes, u32 file attributes,
// u32 special-folder number, u64 size, u64 last write (FILETIME), then the name bytes (the raw
// on-disk name for file-system items, "C:" for drives).
#pragma once

#include "platform/shell/shelltypes.h"

#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace vx::shell::detail {

enum class ItemKind : uint8_t { Computer = 1, Drive = 2, File = 3, Personal = 4, RecycleBin = 5, Special = 6 };

constexpr size_t kItemHeader = 34;
constexpr uint8_t kItemTag = 0x56;

// What an item ID carries besides its name.
struct ItemFields {
    ItemKind kind = ItemKind::File;
    uint32_t sfgao = 0;
    uint32_t fileAttributes = 0;
    uint32_t csidl = 0;
    uint64_t size = 0;
    uint64_t lastWrite = 0;
};

struct ItemData : ItemFields {
    std::string name; // raw bytes
};

// An item read in place: the name points into the list it was read from.
struct ItemView : ItemFields {
    std::string_view name;
};

// Reads the item at p; `avail` bytes are readable from p. False for a terminator, a cb that runs
// past `avail`, or data that is not ours.
bool ReadItem(const uint8_t *p, size_t avail, ItemView &out);
bool ReadItem(const uint8_t *p, size_t avail, ItemData &out);
// Reads a list of exactly one well-formed item and its terminator, in place.
bool SingleItem(LPCITEMIDLIST list, ItemView &out);

// Walks a list item by item without copying, stopping where SplitList stops; the item after the
// current one is read ahead.
class ItemCursor {
public:
    explicit ItemCursor(LPCITEMIDLIST list);
    bool HasItem() const { return hasCur_; }
    const ItemView &Item() const { return cur_; }
    bool IsLast() const { return hasCur_ && !hasNext_; }
    void Next();
    // After the last item: whether a terminator ended the list.
    bool Complete() const { return complete_; }

private:
    bool Read(ItemView &v);
    const uint8_t *p_;
    size_t avail_;
    bool complete_ = false;
    bool hasCur_ = false;
    bool hasNext_ = false;
    ItemView cur_, next_;
};
ItemView ViewOf(const ItemData &item);
ItemData DataOf(const ItemView &item);
// Appends one encoded item (without terminator).
void AppendItem(std::vector<uint8_t> &bytes, const ItemView &item);
void AppendItem(std::vector<uint8_t> &bytes, const ItemData &item);
// A new one-item list from the task allocator (nullptr when the allocator refuses).
LPITEMIDLIST NewItemList(const ItemData &item);
// A new list holding these bytes followed by a terminator.
LPITEMIDLIST NewListFromBytes(const std::vector<uint8_t> &bytes);
// The items of a list as bytes (without terminator); stops at the first malformed item.
// `complete` says whether the whole list was well-formed and ours.
std::vector<ItemData> SplitList(LPCITEMIDLIST list, bool *complete = nullptr);
// Bytes readable from p: the task-allocator bound, or a generous cap for foreign memory.
size_t ReadableFrom(const void *p);

uint64_t ToFileTime(const struct timespec &ts);
// A file-system item from lstat data (following a symbolic link for kind and size).
ItemData FileItemFrom(const std::string &name, const struct stat &lst, const struct stat *target,
                      bool parentWritable);
// Whether a folder holds a sub-folder (or a link to one); asked when a query needs it.
bool FolderHasSubfolder(const std::string &posix);

enum class LocKind { Desktop, Computer, Drive, File, Personal, RecycleBin, Special };

struct Location {
    LocKind kind = LocKind::Desktop;
    std::string posix;   // raw bytes; empty for virtual folders
    std::string parse;   // CP949: a Windows path or a "::{...}" name
    char drive = 0;
    int csidl = 0;
    ItemData last;       // the item that led here (not for the desktop)
    bool IsFolder() const { return kind != LocKind::File || (last.sfgao & SFGAO_FOLDER); }
};

Location DesktopLocation();
std::optional<Location> ChildLocation(const Location &parent, const ItemData &item);
// Whether a file-system item of this name can stand in `parent`.
bool IsFileChild(const Location &parent, std::string_view name);
// Walks a relative list from `base`; nullopt for malformed lists or items that do not belong.
std::optional<Location> Resolve(const Location &base, LPCITEMIDLIST rel);

// Names.
std::string DisplayName(const Location &loc);     // normal / in-folder name (CP949)
std::string InFolderParseName(const Location &loc);
std::string TypeName(const Location &loc);        // "파일 폴더", "TXT 파일", ... (CP949)
std::string SpecialFolderName(int csidl);          // CP949
std::string KoreanText(const char *utf8);          // CP949 bytes of a UTF-8 literal (cached)
std::string NameToAnsi(std::string_view raw);      // on-disk bytes -> CP949, never fails

// Special folders.
std::string HomeDirectory();
std::string DesktopDirectory();
// The folder a special-folder number stands for, when it has one that exists.
std::optional<std::string> SpecialDirectory(int csidl);
bool IsKnownCsidl(int csidl);

// Comparison of two items of the same folder: <0, 0, >0. Column 0: folders first, then names
// as people sort them (case-insensitive, digit runs by value); ties broken by raw bytes.
int CompareItems(const ItemView &a, const ItemView &b, int column);
int NaturalCompare(std::string_view a, std::string_view b);
// A key for a name whose byte order is the order NaturalCompare gives (names of up to 65535
// bytes), for sorting many names without comparing each pair afresh.
std::string NaturalKey(std::string_view name);

// Error mapping.
DWORD Win32FromErrno(int err);

} // namespace vx::shell::detail
