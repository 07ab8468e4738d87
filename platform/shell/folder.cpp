// SPDX-License-Identifier: GPL-3.0-or-later
// Folder objects over the POSIX tree: the desktop, "내 컴퓨터", drives, folders and the virtual
// special folders; their enumerators and detail columns.
#include "platform/codepage/codepage_qt.h"
#include "platform/shell/failpoints.h"
#include "platform/shell/folderimpl.h"

#include <QRegularExpression>
#include <QStringList>
#include <algorithm>
#include <ctime>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vx::shell::detail {
namespace {

std::string JoinPosix(const std::string &dir, const std::string &name)
{
    return (dir.empty() || dir.back() != '/') ? dir + "/" + name : dir + name;
}

bool ParentWritable(const std::string &dir) { return ::access(dir.c_str(), W_OK) == 0; }

bool MatchesFilter(DWORD flags, DWORD sfgao)
{
    const bool folder = sfgao & SFGAO_FOLDER;
    if (folder && !(flags & SHCONTF_FOLDERS))
        return false;
    if (!folder && !(flags & SHCONTF_NONFOLDERS))
        return false;
    if ((sfgao & SFGAO_GHOSTED) && !(flags & SHCONTF_INCLUDEHIDDEN))
        return false;
    return true;
}

// lstat of `name` in `dir`, following a symbolic link for the target's kind and size.
bool StatItem(int dirFd, const char *name, struct stat &lst, struct stat &target, bool &haveTarget)
{
    if (::fstatat(dirFd, name, &lst, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    haveTarget = S_ISLNK(lst.st_mode) && ::fstatat(dirFd, name, &target, 0) == 0;
    return true;
}

class Enumerator final : public RefCounted<Enumerator, IEnumIDList, IID_IEnumIDList> {
public:
    Enumerator(std::vector<ItemData> fixed, std::string dirPath, DWORD flags)
        : fixed_(std::move(fixed)), dirPath_(std::move(dirPath)), flags_(flags)
    {
    }
    ~Enumerator() override
    {
        if (dir_)
            ::closedir(dir_);
    }
    // Opens the folder; an error code when it cannot be read.
    DWORD Open()
    {
        if (dirPath_.empty())
            return 0;
        dir_ = ::opendir(dirPath_.c_str());
        if (!dir_)
            return Win32FromErrno(errno);
        writable_ = ParentWritable(dirPath_);
        return 0;
    }

    HRESULT Next(ULONG celt, LPITEMIDLIST *rgelt, ULONG *pceltFetched) override
    {
        if (!rgelt || (celt > 1 && !pceltFetched))
            return E_INVALIDARG;
        ULONG fetched = 0;
        ItemData item;
        while (fetched < celt && NextItem(item)) {
            LPITEMIDLIST list = NewItemList(item);
            if (!list)
                break;
            rgelt[fetched++] = list;
        }
        if (pceltFetched)
            *pceltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG celt) override
    {
        ItemData item;
        for (ULONG i = 0; i < celt; ++i)
            if (!NextItem(item))
                return S_FALSE;
        return S_OK;
    }
    HRESULT Reset() override
    {
        fixedPos_ = 0;
        if (dir_)
            ::rewinddir(dir_);
        return S_OK;
    }
    HRESULT Clone(IEnumIDList **ppenum) override
    {
        if (ppenum)
            *ppenum = nullptr;
        return E_NOTIMPL;
    }

private:
    bool NextItem(ItemData &item)
    {
        while (fixedPos_ < fixed_.size()) {
            const ItemData &f = fixed_[fixedPos_++];
            if (MatchesFilter(flags_, f.sfgao)) {
                item = f;
                return true;
            }
        }
        if (!dir_)
            return false;
        const bool wantFolders = flags_ & SHCONTF_FOLDERS;
        const bool wantFiles = flags_ & SHCONTF_NONFOLDERS;
        const bool wantHidden = flags_ & SHCONTF_INCLUDEHIDDEN;
        if (!wantFolders && !wantFiles)
            return false;
        while (dirent *e = ::readdir(dir_)) {
            const char *name = e->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            if (name[0] == '.' && !wantHidden)
                continue;
            if (!wantFiles && e->d_type != DT_DIR && e->d_type != DT_LNK && e->d_type != DT_UNKNOWN)
                continue;
            struct stat lst {}, target {};
            bool haveTarget = false;
            if (!StatItem(::dirfd(dir_), name, lst, target, haveTarget))
                continue; // vanished while listed
            item = FileItemFrom(name, lst, haveTarget ? &target : nullptr, writable_);
            if (MatchesFilter(flags_, item.sfgao))
                return true;
        }
        return false;
    }

    std::vector<ItemData> fixed_;
    size_t fixedPos_ = 0;
    std::string dirPath_;
    DWORD flags_;
    DIR *dir_ = nullptr;
    bool writable_ = false;
};

struct Column {
    const char *caption; // UTF-8
    int fmt;
    int chars;
    DWORD state;
};

const Column kFileColumns[] = {
    {"이름", LVCFMT_LEFT, 30, SHCOLSTATE_TYPE_STR | SHCOLSTATE_ONBYDEFAULT},
    {"크기", LVCFMT_RIGHT, 10, SHCOLSTATE_TYPE_INT | SHCOLSTATE_ONBYDEFAULT},
    {"종류", LVCFMT_LEFT, 20, SHCOLSTATE_TYPE_STR | SHCOLSTATE_ONBYDEFAULT},
    {"수정한 날짜", LVCFMT_LEFT, 16, SHCOLSTATE_TYPE_DATE | SHCOLSTATE_ONBYDEFAULT},
    {"특성", LVCFMT_LEFT, 6, SHCOLSTATE_TYPE_STR},
};
const Column kDriveColumns[] = {
    {"이름", LVCFMT_LEFT, 30, SHCOLSTATE_TYPE_STR | SHCOLSTATE_ONBYDEFAULT},
    {"종류", LVCFMT_LEFT, 20, SHCOLSTATE_TYPE_STR | SHCOLSTATE_ONBYDEFAULT},
    {"전체 크기", LVCFMT_RIGHT, 12, SHCOLSTATE_TYPE_INT | SHCOLSTATE_ONBYDEFAULT},
    {"사용 가능한 공간", LVCFMT_RIGHT, 12, SHCOLSTATE_TYPE_INT | SHCOLSTATE_ONBYDEFAULT},
};

std::string CapacityText(uint64_t bytes)
{
    char buf[64];
    if (bytes >= (uint64_t(1) << 30))
        std::snprintf(buf, sizeof buf, "%.1f GB", static_cast<double>(bytes) / double(uint64_t(1) << 30));
    else
        std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / double(1 << 20));
    return buf;
}

class Folder final : public RefCounted<Folder, IShellFolder2, IID_IShellFolder, IID_IShellFolder2> {
public:
    Folder(std::vector<uint8_t> full, Location loc) : full_(std::move(full)), loc_(std::move(loc)) {}
    // A sub-folder of `parent` (a file-system folder whose place is a path) for the item `item`
    // of it: its own place and item ID list are worked out when first needed.
    Folder(Folder *parent, ItemData item) : parent_(parent), item_(std::move(item)) {}

    HRESULT ParseDisplayName(HWND, void *, LPCWSTR pszDisplayName, ULONG *pchEaten,
                             LPITEMIDLIST *ppidl, ULONG *pdwAttributes) override
    {
        if (!ppidl)
            return E_INVALIDARG;
        *ppidl = nullptr;
        if (!pszDisplayName)
            return E_INVALIDARG;
        const QString name = QString::fromUtf16(pszDisplayName);
        std::vector<uint8_t> bytes;
        HRESULT hr;
        if (Loc().kind == LocKind::Desktop) {
            hr = ParseFromDesktop(name, bytes);
        } else if (!Loc().posix.empty()) {
            hr = ParseRelative(name, bytes);
        } else {
            hr = E_INVALIDARG;
        }
        if (FAILED(hr))
            return hr;
        LPITEMIDLIST list = NewListFromBytes(bytes);
        if (!list)
            return E_OUTOFMEMORY;
        if (pchEaten)
            *pchEaten = static_cast<ULONG>(name.size());
        if (pdwAttributes && *pdwAttributes) {
            std::optional<Location> loc = Resolve(Loc(), list);
            *pdwAttributes = loc ? AttributesOf(*loc, *pdwAttributes) : 0;
        }
        *ppidl = list;
        return S_OK;
    }

    HRESULT EnumObjects(HWND, DWORD grfFlags, IEnumIDList **ppenumIDList) override
    {
        if (!ppenumIDList)
            return E_INVALIDARG;
        *ppenumIDList = nullptr;
        std::vector<ItemData> fixed;
        std::string dir;
        switch (Loc().kind) {
        case LocKind::Desktop:
            fixed = {VirtualItem(ItemKind::Personal), VirtualItem(ItemKind::Computer),
                     VirtualItem(ItemKind::Special, CSIDL_NETWORK), VirtualItem(ItemKind::RecycleBin)};
            dir = Loc().posix;
            break;
        case LocKind::Computer:
            for (const Drive &d : Drives())
                fixed.push_back(DriveItem(d));
            fixed.push_back(VirtualItem(ItemKind::Special, CSIDL_CONTROLS));
            break;
        default:
            if (!Loc().IsFolder())
                return E_INVALIDARG;
            dir = Loc().posix;
            break;
        }
        auto *e = new Enumerator(std::move(fixed), dir, grfFlags);
        if (DWORD err = e->Open(); err && Loc().kind != LocKind::Desktop) {
            e->Release();
            return HRESULT_FROM_WIN32(err);
        }
        *ppenumIDList = e;
        return S_OK;
    }

    HRESULT BindToObject(LPCITEMIDLIST pidl, void *, REFIID riid, void **ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!pidl || reinterpret_cast<const SHITEMID *>(pidl)->cb == 0)
            return E_INVALIDARG;
        if (!(riid == IID_IShellFolder || riid == IID_IShellFolder2 || riid == IID_IUnknown))
            return E_NOINTERFACE;
        // A folder of this one's folder: bound now, its place worked out on first use.
        ItemView one;
        if (SingleItem(pidl, one) && one.kind == ItemKind::File && (one.sfgao & SFGAO_FOLDER) &&
            IsFileChild(Loc(), one.name) && Loc().parse.compare(0, 3, "::{") != 0) {
            *ppv = static_cast<IShellFolder2 *>(new Folder(this, DataOf(one)));
            return S_OK;
        }
        std::optional<Location> loc = Resolve(Loc(), pidl);
        if (!loc || !loc->IsFolder())
            return E_INVALIDARG;
        std::vector<uint8_t> full = Full();
        for (ItemCursor item(pidl); item.HasItem(); item.Next())
            AppendItem(full, item.Item());
        *ppv = static_cast<IShellFolder2 *>(new Folder(std::move(full), std::move(*loc)));
        return S_OK;
    }

    HRESULT BindToStorage(LPCITEMIDLIST, void *, REFIID, void **ppv) override
    {
        if (ppv)
            *ppv = nullptr;
        return E_NOTIMPL;
    }

    HRESULT CompareIDs(LPARAM lParam, LPCITEMIDLIST pidl1, LPCITEMIDLIST pidl2) override
    {
        // Item by item in place: folders first, then names; the given column at the last level.
        const int column = static_cast<int>(lParam & 0xFFFF);
        ItemView one, two;
        if (SingleItem(pidl1, one) && SingleItem(pidl2, two)) { // two items of this folder
            int r = CompareItems(one, two, column);
            if (r == 0 && column != 0)
                r = CompareItems(one, two, 0);
            return MAKE_SCODE_OK(r);
        }
        ItemCursor a(pidl1), b(pidl2);
        for (; a.HasItem() && b.HasItem(); a.Next(), b.Next()) {
            const bool lastLevel = a.IsLast() && b.IsLast();
            if (int r = CompareItems(a.Item(), b.Item(), lastLevel ? column : 0))
                return MAKE_SCODE_OK(r);
            if (lastLevel && column != 0)
                if (int r = CompareItems(a.Item(), b.Item(), 0))
                    return MAKE_SCODE_OK(r);
        }
        if (a.HasItem() != b.HasItem())
            return MAKE_SCODE_OK(a.HasItem() ? 1 : -1);
        if (a.Complete() != b.Complete())
            return MAKE_SCODE_OK(a.Complete() ? -1 : 1);
        return S_OK;
    }

    HRESULT CreateViewObject(HWND, REFIID, void **ppv) override
    {
        if (ppv)
            *ppv = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT GetAttributesOf(UINT cidl, LPCITEMIDLIST *apidl, DWORD *rgfInOut) override
    {
        if (!rgfInOut)
            return E_INVALIDARG;
        if (cidl == 0 || !apidl) {
            *rgfInOut = AttributesOf(Loc(), *rgfInOut);
            return S_OK;
        }
        const DWORD request = *rgfInOut;
        DWORD result = 0xFFFFFFFF;
        for (UINT i = 0; i < cidl; ++i) {
            std::optional<Location> loc = Resolve(Loc(), apidl[i]);
            if (!loc)
                return E_INVALIDARG;
            if ((request & SFGAO_VALIDATE) && !loc->posix.empty()) {
                struct stat st {};
                if (::lstat(loc->posix.c_str(), &st) != 0)
                    return E_FAIL;
            }
            result &= AttributesOf(*loc, request);
        }
        *rgfInOut = result;
        return S_OK;
    }

    HRESULT GetUIObjectOf(HWND, UINT cidl, LPCITEMIDLIST *apidl, REFIID riid, UINT *, void **ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!(riid == IID_IContextMenu || riid == IID_IContextMenu2))
            return E_NOINTERFACE;
        if (cidl == 0 || !apidl)
            return E_INVALIDARG;
        std::vector<Location> items;
        for (UINT i = 0; i < cidl; ++i) {
            std::optional<Location> loc = Resolve(Loc(), apidl[i]);
            if (!loc || loc->kind == LocKind::Desktop)
                return E_INVALIDARG;
            items.push_back(std::move(*loc));
        }
        IContextMenu2 *menu = NewContextMenu(Loc(), std::move(items));
        *ppv = riid == IID_IContextMenu2 ? static_cast<void *>(menu) : static_cast<void *>(static_cast<IContextMenu *>(menu));
        return S_OK;
    }

    HRESULT GetDisplayNameOf(LPCITEMIDLIST pidl, DWORD uFlags, STRRET *pName) override
    {
        if (!pName)
            return E_INVALIDARG;
        if (pidl && (!(uFlags & SHGDN_FORPARSING) || (uFlags & SHGDN_INFOLDER))) {
            // One file-system item of this folder: its name is all that is asked.
            ItemCursor item(pidl);
            if (item.IsLast() && item.Complete() && item.Item().kind == ItemKind::File) {
                if (!IsFileChild(Loc(), item.Item().name))
                    return E_INVALIDARG;
                FillStrRet(pName, NameToAnsi(item.Item().name));
                return S_OK;
            }
        }
        std::optional<Location> loc = pidl ? Resolve(Loc(), pidl) : std::optional<Location>(Loc());
        if (!loc)
            return E_INVALIDARG;
        std::string text;
        if (uFlags & SHGDN_FORPARSING)
            text = (uFlags & SHGDN_INFOLDER) ? InFolderParseName(*loc) : loc->parse;
        else
            text = DisplayName(*loc);
        FillStrRet(pName, text);
        return S_OK;
    }

    HRESULT SetNameOf(HWND, LPCITEMIDLIST pidl, LPCWSTR pszName, DWORD, LPITEMIDLIST *ppidlOut) override
    {
        if (ppidlOut)
            *ppidlOut = nullptr;
        if (!pidl || !pszName)
            return E_INVALIDARG;
        bool complete = false;
        std::vector<ItemData> items = SplitList(pidl, &complete);
        if (!complete || items.empty() || items.back().kind != ItemKind::File)
            return E_INVALIDARG;
        // The item's own folder: this one, or the one the leading items reach.
        Location parent = Loc();
        std::vector<uint8_t> prefix;
        for (size_t i = 0; i + 1 < items.size(); ++i) {
            std::optional<Location> next = ChildLocation(parent, items[i]);
            if (!next)
                return E_INVALIDARG;
            parent = std::move(*next);
            AppendItem(prefix, items[i]);
        }
        const std::string newRaw = QString::fromUtf16(pszName).toUtf8().toStdString();
        ItemData renamed;
        if (HRESULT hr = RenameItem(parent, items.back(), newRaw, renamed); FAILED(hr))
            return hr;
        if (ppidlOut) {
            AppendItem(prefix, renamed);
            *ppidlOut = NewListFromBytes(prefix);
            if (!*ppidlOut)
                return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    HRESULT GetDefaultColumnState(UINT iColumn, DWORD *pcsFlags) override
    {
        if (!pcsFlags)
            return E_INVALIDARG;
        const auto [cols, count] = Columns();
        if (iColumn >= count)
            return E_INVALIDARG;
        *pcsFlags = cols[iColumn].state;
        return S_OK;
    }

    HRESULT GetDetailsOf(LPCITEMIDLIST pidl, UINT iColumn, SHELLDETAILS *psd) override
    {
        if (!psd)
            return E_INVALIDARG;
        const auto [cols, count] = Columns();
        if (iColumn >= count)
            return E_INVALIDARG;
        psd->fmt = cols[iColumn].fmt;
        psd->cxChar = cols[iColumn].chars;
        if (!pidl) {
            FillStrRet(&psd->str, KoreanText(cols[iColumn].caption));
            return S_OK;
        }
        std::optional<Location> loc = Resolve(Loc(), pidl);
        if (!loc)
            return E_INVALIDARG;
        FillStrRet(&psd->str, DetailOf(*loc, iColumn));
        return S_OK;
    }

private:
    std::pair<const Column *, UINT> Columns() const
    {
        if (Loc().kind == LocKind::Computer)
            return {kDriveColumns, static_cast<UINT>(std::size(kDriveColumns))};
        return {kFileColumns, static_cast<UINT>(std::size(kFileColumns))};
    }

    std::string DetailOf(const Location &loc, UINT column) const
    {
        if (column == 0)
            return DisplayName(loc);
        if (Loc().kind == LocKind::Computer) {
            if (column == 1)
                return TypeName(loc);
            struct statvfs vfs {};
            if (loc.kind != LocKind::Drive || ::statvfs(loc.posix.c_str(), &vfs) != 0)
                return std::string();
            const uint64_t total = uint64_t(vfs.f_blocks) * vfs.f_frsize;
            const uint64_t avail = uint64_t(vfs.f_bavail) * vfs.f_frsize;
            return CapacityText(column == 2 ? total : avail);
        }
        if (loc.kind != LocKind::File)
            return column == 2 ? TypeName(loc) : std::string();
        switch (column) {
        case 1: return (loc.last.sfgao & SFGAO_FOLDER) ? std::string() : SizeText(loc.last.size);
        case 2: return TypeName(loc);
        case 3: return TimeText(loc.last.lastWrite);
        case 4: return AttributeText(loc.last.fileAttributes);
        default: return std::string();
        }
    }

    HRESULT ParseRelative(const QString &name, std::vector<uint8_t> &bytes) const
    {
        // Resolve "a\b" under this folder by parsing our own path followed by the name.
        std::vector<uint8_t> full;
        QString base = QString::fromUtf8(Loc().posix.c_str());
        HRESULT hr = ParseFromDesktop(base + QLatin1Char('/') + QString(name).replace(QLatin1Char('\\'), QLatin1Char('/')), full);
        if (FAILED(hr))
            return hr;
        // Our own full list must be a prefix of the result: keep the part below us.
        std::vector<uint8_t> self;
        hr = ParseFromDesktop(base, self);
        if (FAILED(hr) || full.size() < self.size() || !std::equal(self.begin(), self.end(), full.begin()))
            return E_INVALIDARG;
        bytes.assign(full.begin() + static_cast<ptrdiff_t>(self.size()), full.end());
        return bytes.empty() ? E_INVALIDARG : S_OK;
    }

    const Location &Loc() const
    {
        Settle();
        return loc_;
    }
    const std::vector<uint8_t> &Full() const
    {
        Settle();
        return full_;
    }
    // A sub-folder bound by its parent takes its place now: the parent's own, one item further.
    void Settle() const
    {
        std::call_once(settled_, [this] {
            if (!parent_)
                return;
            loc_ = *ChildLocation(parent_->Loc(), item_); // the parent made sure it has one
            full_ = parent_->Full();
            AppendItem(full_, item_);
            parent_.Reset();
            item_ = ItemData();
        });
    }

    mutable std::once_flag settled_;
    mutable ComPtr<Folder> parent_;
    mutable ItemData item_;
    mutable std::vector<uint8_t> full_;
    mutable Location loc_;
};

// ---- parsing ----

struct Chain {
    std::vector<uint8_t> bytes;
    std::string posix;
};

// Appends file-system items for each component under `chain.posix`.
HRESULT AppendComponents(Chain &chain, const std::vector<std::string> &parts)
{
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string name = parts[i];
        std::string path = JoinPosix(chain.posix, name);
        struct stat lst {}, target {};
        if (::lstat(path.c_str(), &lst) != 0) {
            // Windows names ignore letter case: look for the one entry that matches.
            bool found = false;
            if (DIR *d = ::opendir(chain.posix.c_str())) {
                while (dirent *e = ::readdir(d)) {
                    if (::strcasecmp(e->d_name, name.c_str()) == 0) {
                        name = e->d_name;
                        found = true;
                        break;
                    }
                }
                ::closedir(d);
            }
            path = JoinPosix(chain.posix, name);
            if (!found || ::lstat(path.c_str(), &lst) != 0)
                return HRESULT_FROM_WIN32(i + 1 == parts.size() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        }
        const bool haveTarget = S_ISLNK(lst.st_mode) && ::stat(path.c_str(), &target) == 0;
        ItemData item = FileItemFrom(name, lst, haveTarget ? &target : nullptr, ParentWritable(chain.posix));
        if (i + 1 < parts.size() && !(item.sfgao & SFGAO_FOLDER))
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        AppendItem(chain.bytes, item);
        chain.posix = path;
    }
    return S_OK;
}

std::vector<std::string> SplitPath(const QString &rest)
{
    std::vector<std::string> parts;
    for (const QString &p : rest.split(QRegularExpression(QStringLiteral("[\\\\/]")), Qt::SkipEmptyParts)) {
        if (p == QLatin1String("."))
            continue;
        if (p == QLatin1String("..")) {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(p.toUtf8().toStdString());
    }
    return parts;
}

} // namespace

ItemData VirtualItem(ItemKind kind, int csidl)
{
    ItemData item;
    item.kind = kind;
    item.csidl = static_cast<uint32_t>(csidl);
    item.fileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    switch (kind) {
    case ItemKind::Computer:
        item.sfgao = SFGAO_FOLDER | SFGAO_HASSUBFOLDER | SFGAO_FILESYSANCESTOR | SFGAO_DROPTARGET |
                     SFGAO_HASPROPSHEET | SFGAO_CANLINK;
        break;
    case ItemKind::Personal:
        item.csidl = CSIDL_PERSONAL;
        item.sfgao = SFGAO_FOLDER | SFGAO_FILESYSTEM | SFGAO_FILESYSANCESTOR | SFGAO_DROPTARGET |
                     SFGAO_HASPROPSHEET | SFGAO_CANLINK;
        break;
    case ItemKind::RecycleBin:
        item.csidl = CSIDL_BITBUCKET;
        item.sfgao = SFGAO_FOLDER | SFGAO_DROPTARGET | SFGAO_HASPROPSHEET | SFGAO_CANLINK;
        break;
    default:
        item.kind = ItemKind::Special;
        item.sfgao = SFGAO_FOLDER | SFGAO_CANLINK;
        if (SpecialDirectory(csidl))
            item.sfgao |= SFGAO_FILESYSTEM | SFGAO_FILESYSANCESTOR | SFGAO_DROPTARGET;
        break;
    }
    return item;
}

ItemData DriveItem(const Drive &drive)
{
    ItemData item;
    item.kind = ItemKind::Drive;
    item.name = std::string(1, drive.letter) + ":";
    item.fileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    item.sfgao = SFGAO_FOLDER | SFGAO_FILESYSTEM | SFGAO_FILESYSANCESTOR | SFGAO_HASSUBFOLDER |
                 SFGAO_DROPTARGET | SFGAO_HASPROPSHEET | SFGAO_CANLINK;
    if (IsRemovableRoot(drive.root))
        item.sfgao |= SFGAO_REMOVABLE;
    return item;
}

DWORD AttributesOf(const Location &loc, DWORD request)
{
    DWORD all = loc.last.sfgao;
    if (request == 0)
        return all;
    DWORD result = all & request;
    if ((request & SFGAO_HASSUBFOLDER) && !(all & SFGAO_HASSUBFOLDER) && loc.IsFolder() &&
        !loc.posix.empty() && FolderHasSubfolder(loc.posix))
        result |= SFGAO_HASSUBFOLDER;
    if (loc.kind == LocKind::Desktop && (request & SFGAO_HASSUBFOLDER))
        result |= SFGAO_HASSUBFOLDER;
    return result;
}

HRESULT ParseFromDesktop(const QString &name, std::vector<uint8_t> &bytes)
{
    bytes.clear();
    if (name.isEmpty())
        return E_INVALIDARG;
    if (name.startsWith(QLatin1String("::{"))) {
        const QStringList segs = name.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
        Chain chain;
        Location loc = DesktopLocation();
        for (int i = 0; i < segs.size(); ++i) {
            const QString seg = segs[i].toUpper();
            std::optional<ItemData> item;
            if (!seg.startsWith(QLatin1String("::{"))) {
                if (loc.posix.empty())
                    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
                chain.posix = loc.posix;
                QStringList rest = segs.mid(i);
                HRESULT hr = AppendComponents(chain, SplitPath(rest.join(QLatin1Char('/'))));
                if (FAILED(hr))
                    return hr;
                bytes = std::move(chain.bytes);
                return S_OK;
            }
            if (loc.kind == LocKind::Desktop) {
                if (seg == QLatin1String("::{20D04FE0-3AEA-1069-A2D8-08002B30309D}"))
                    item = VirtualItem(ItemKind::Computer);
                else if (seg == QLatin1String("::{645FF040-5081-101B-9F08-00AA002F954E}"))
                    item = VirtualItem(ItemKind::RecycleBin);
                else if (seg == QLatin1String("::{450D8FBA-AD25-11D0-98A8-0800361B1103}"))
                    item = VirtualItem(ItemKind::Personal);
                else if (seg == QLatin1String("::{208D2C60-3AEA-1069-A2D7-08002B30309D}"))
                    item = VirtualItem(ItemKind::Special, CSIDL_NETWORK);
                else if (seg == QLatin1String("::{2227A280-3AEA-1069-A2DE-08002B30309D}"))
                    item = VirtualItem(ItemKind::Special, CSIDL_PRINTERS);
                else if (seg == QLatin1String("::{871C5380-42A0-1069-A2EA-08002B30309D}"))
                    item = VirtualItem(ItemKind::Special, CSIDL_INTERNET);
                else if (seg.startsWith(QLatin1String("::{5645584D-0000-0000-0000-0000000000")) && seg.size() == 40) {
                    bool ok = false;
                    const int csidl = seg.mid(37, 2).toInt(&ok, 16);
                    if (ok && IsKnownCsidl(csidl))
                        item = VirtualItem(ItemKind::Special, csidl);
                }
            } else if (loc.kind == LocKind::Computer &&
                       seg == QLatin1String("::{21EC2020-3AEA-1069-A2DD-08002B30309D}")) {
                item = VirtualItem(ItemKind::Special, CSIDL_CONTROLS);
            }
            if (!item)
                return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
            std::optional<Location> next = ChildLocation(loc, *item);
            if (!next)
                return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
            AppendItem(chain.bytes, *item);
            loc = std::move(*next);
        }
        bytes = std::move(chain.bytes);
        return S_OK;
    }

    Chain chain;
    QString rest;
    std::optional<Drive> drive;
    if (name.size() >= 2 && name[1] == QLatin1Char(':') && name[0].isLetter() && name[0].unicode() < 128) {
        drive = FindDrive(static_cast<char>(name[0].unicode()));
        if (!drive)
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        rest = name.mid(2);
    } else if (name.startsWith(QLatin1Char('/'))) {
        const std::string posix = name.toUtf8().toStdString();
        const std::vector<Drive> drives = Drives();
        const Drive *best = nullptr;
        for (const Drive &d : drives) {
            const bool holds = d.root == "/" || (posix.compare(0, d.root.size(), d.root) == 0 &&
                                                 (posix.size() == d.root.size() || posix[d.root.size()] == '/'));
            if (holds && (!best || d.root.size() > best->root.size()))
                best = &d;
        }
        if (!best)
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        drive = *best;
        rest = QString::fromUtf8(posix.substr(best->root == "/" ? 0 : best->root.size()));
    } else {
        // A name on the desktop.
        Location desk = DesktopLocation();
        if (desk.posix.empty())
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        chain.posix = desk.posix;
        return FAILED(AppendComponents(chain, SplitPath(name))) || chain.bytes.empty()
                   ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
                   : (bytes = std::move(chain.bytes), S_OK);
    }
    AppendItem(chain.bytes, VirtualItem(ItemKind::Computer));
    AppendItem(chain.bytes, DriveItem(*drive));
    chain.posix = drive->root;
    struct stat st {};
    if (::stat(drive->root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    if (HRESULT hr = AppendComponents(chain, SplitPath(rest)); FAILED(hr))
        return hr;
    bytes = std::move(chain.bytes);
    return S_OK;
}

HRESULT RenameItem(const Location &folder, const ItemData &item, const std::string &newRaw, ItemData &out)
{
    if (folder.posix.empty() || item.kind != ItemKind::File)
        return E_INVALIDARG;
    if (newRaw.empty() || newRaw == "." || newRaw == ".." || newRaw.find('/') != std::string::npos ||
        newRaw.find('\\') != std::string::npos || newRaw.find('\0') != std::string::npos || newRaw.size() > 255)
        return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    const std::string from = JoinPosix(folder.posix, item.name);
    const std::string to = JoinPosix(folder.posix, newRaw);
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0)
        return HRESULT_FROM_WIN32(Win32FromErrno(errno));
    if (newRaw != item.name) {
        // Never replace an existing item.
        long rc = ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 1 /* RENAME_NOREPLACE */);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            struct stat other {};
            if (::lstat(to.c_str(), &other) == 0 && !(other.st_ino == st.st_ino && other.st_dev == st.st_dev))
                return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
            rc = ::rename(from.c_str(), to.c_str());
        }
        if (rc != 0)
            return HRESULT_FROM_WIN32(Win32FromErrno(errno));
    }
    struct stat lst {}, target {};
    if (::lstat(to.c_str(), &lst) != 0)
        return HRESULT_FROM_WIN32(Win32FromErrno(errno));
    const bool haveTarget = S_ISLNK(lst.st_mode) && ::stat(to.c_str(), &target) == 0;
    out = FileItemFrom(newRaw, lst, haveTarget ? &target : nullptr, ParentWritable(folder.posix));
    return S_OK;
}

IShellFolder2 *NewFolder(std::vector<uint8_t> full, Location loc) { return new Folder(std::move(full), std::move(loc)); }

void FillStrRet(STRRET *out, const std::string &ansi)
{
    std::memset(out, 0, sizeof *out);
    if (ansi.size() < sizeof out->cStr) {
        out->uType = STRRET_CSTR;
        std::memcpy(out->cStr, ansi.data(), ansi.size());
        return;
    }
    const QString wide = vx::codepage::FromAnsi(ansi);
    auto *buf = static_cast<WCHAR *>(TaskMalloc().Alloc((static_cast<size_t>(wide.size()) + 1) * sizeof(WCHAR)));
    if (!buf) {
        out->uType = STRRET_CSTR;
        return;
    }
    std::memcpy(buf, wide.utf16(), static_cast<size_t>(wide.size()) * sizeof(WCHAR));
    out->uType = STRRET_WSTR;
    out->pOleStr = buf;
}

std::string SizeText(uint64_t bytes)
{
    uint64_t kb = (bytes + 1023) / 1024;
    std::string digits = std::to_string(kb);
    std::string grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0)
            grouped += ',';
        grouped += digits[i];
    }
    return grouped + " KB";
}

std::string TimeText(uint64_t fileTime)
{
    if (fileTime < 116444736000000000ULL)
        return std::string();
    const time_t secs = static_cast<time_t>((fileTime - 116444736000000000ULL) / 10000000ULL);
    struct tm tmv {};
    if (!::localtime_r(&secs, &tmv))
        return std::string();
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tmv);
    return buf;
}

std::string AttributeText(uint32_t fa)
{
    std::string s;
    if (fa & FILE_ATTRIBUTE_READONLY)
        s += 'R';
    if (fa & FILE_ATTRIBUTE_HIDDEN)
        s += 'H';
    if (fa & FILE_ATTRIBUTE_SYSTEM)
        s += 'S';
    if (fa & FILE_ATTRIBUTE_ARCHIVE)
        s += 'A';
    return s;
}

} // namespace vx::shell::detail

namespace vx::shell {

std::vector<size_t> FolderOrder(IShellFolder *folder, const std::vector<LPCITEMIDLIST> &ids, LPARAM lParam)
{
    std::vector<size_t> order(ids.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    if (!folder)
        return order;
    // One-item lists compare as their items do (CompareIDs' own shortcut); read each once.
    std::vector<detail::ItemView> items(ids.size());
    bool single = dynamic_cast<detail::Folder *>(folder) != nullptr;
    for (size_t i = 0; single && i < ids.size(); ++i)
        single = detail::SingleItem(ids[i], items[i]);
    const int column = static_cast<int>(lParam & 0xFFFF);
    bool files = single && column == 0;
    for (size_t i = 0; files && i < items.size(); ++i)
        files = items[i].kind == detail::ItemKind::File;
    if (files) {
        // File-system items by name: folders first, then the names' keys, ties by their bytes.
        struct Key {
            bool folder;
            std::string natural;
        };
        std::vector<Key> keys(items.size());
        for (size_t i = 0; i < items.size(); ++i)
            keys[i] = {(items[i].sfgao & SFGAO_FOLDER) != 0, detail::NaturalKey(items[i].name)};
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            if (keys[a].folder != keys[b].folder)
                return keys[a].folder;
            if (const int c = keys[a].natural.compare(keys[b].natural))
                return c < 0;
            return items[a].name < items[b].name;
        });
    } else if (single) {
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            int r = detail::CompareItems(items[a], items[b], column);
            if (r == 0 && column != 0)
                r = detail::CompareItems(items[a], items[b], 0);
            return r < 0;
        });
    } else {
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            return HRESULT_CODE_SHORT(folder->CompareIDs(lParam, ids[a], ids[b])) < 0;
        });
    }
    return order;
}

} // namespace vx::shell

using namespace vx::shell;
using namespace vx::shell::detail;

HRESULT SHGetDesktopFolder(IShellFolder **ppshf)
{
    if (!ppshf)
        return E_INVALIDARG;
    *ppshf = nullptr;
    if (HRESULT hr = TakeFailure(FailPoint::GetDesktopFolder); hr != S_OK)
        return hr;
    *ppshf = NewFolder({}, DesktopLocation());
    return S_OK;
}

HRESULT SHGetSpecialFolderLocation(HWND, int csidl, LPITEMIDLIST *ppidl)
{
    if (!ppidl)
        return E_INVALIDARG;
    *ppidl = nullptr;
    if (HRESULT hr = TakeFailure(FailPoint::SpecialFolderLocation); hr != S_OK)
        return hr;
    if (!IsKnownCsidl(csidl))
        return E_INVALIDARG;
    std::vector<uint8_t> bytes;
    switch (csidl) {
    case CSIDL_DESKTOP:
        break;
    case CSIDL_DRIVES:
        AppendItem(bytes, VirtualItem(ItemKind::Computer));
        break;
    case CSIDL_PERSONAL:
        AppendItem(bytes, VirtualItem(ItemKind::Personal));
        break;
    case CSIDL_BITBUCKET:
        AppendItem(bytes, VirtualItem(ItemKind::RecycleBin));
        break;
    case CSIDL_CONTROLS:
        AppendItem(bytes, VirtualItem(ItemKind::Computer));
        AppendItem(bytes, VirtualItem(ItemKind::Special, CSIDL_CONTROLS));
        break;
    default: {
        std::optional<std::string> dir = SpecialDirectory(csidl);
        if (!dir || FAILED(ParseFromDesktop(QString::fromUtf8(dir->c_str()), bytes))) {
            bytes.clear();
            AppendItem(bytes, VirtualItem(ItemKind::Special, csidl));
        }
        break;
    }
    }
    *ppidl = NewListFromBytes(bytes);
    return *ppidl ? S_OK : E_OUTOFMEMORY;
}
