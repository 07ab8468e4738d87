// SPDX-License-Identifier: GPL-3.0-or-later
// File information, execution, file search, the error mode and OLE start-up of the shell stand-in.
#include "platform/codepage/codepage_qt.h"
#include "platform/exec/exec.h"
#include "platform/shell/failpoints.h"
#include "platform/shell/folderimpl.h"

#include <QStringList>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fnmatch.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>

namespace vx::shell {
namespace detail {
namespace {

std::string ParentParse(const std::string &parse)
{
    const size_t cut = parse.find_last_of('\\');
    if (cut == std::string::npos)
        return std::string();
    return cut == 2 && parse.size() > 1 && parse[1] == ':' ? parse.substr(0, 3) : parse.substr(0, cut);
}

} // namespace

PropertySheetInfo PropertiesOf(const Location &loc)
{
    PropertySheetInfo info;
    info.name = vx::codepage::FromAnsi(DisplayName(loc));
    info.type = vx::codepage::FromAnsi(TypeName(loc));
    info.nativePath = loc.posix;
    if (loc.kind == LocKind::File) {
        info.location = vx::codepage::FromAnsi(ParentParse(loc.parse));
        if (!(loc.last.sfgao & SFGAO_FOLDER))
            info.size = QString::fromStdString(SizeText(loc.last.size)) +
                        QString::fromUtf8(" (%1 바이트)").arg(loc.last.size);
        info.modified = QString::fromStdString(TimeText(loc.last.lastWrite));
        QStringList words;
        if (loc.last.fileAttributes & FILE_ATTRIBUTE_READONLY)
            words << QString::fromUtf8("읽기 전용");
        if (loc.last.fileAttributes & FILE_ATTRIBUTE_HIDDEN)
            words << QString::fromUtf8("숨김");
        if (loc.last.fileAttributes & FILE_ATTRIBUTE_ARCHIVE)
            words << QString::fromUtf8("보관");
        info.attributes = words.join(QStringLiteral(", "));
    } else {
        info.location = vx::codepage::FromAnsi(loc.parse);
    }
    return info;
}

} // namespace detail

int PlatformMajorVersion()
{
    const char *v = std::getenv("VELLAMORIX_WINVER");
    if (!v || !*v)
        return 5;
    char *end = nullptr;
    const unsigned long word = std::strtoul(v, &end, 0);
    if (end == v)
        return 5;
    return static_cast<int>(word & 0xFF);
}

std::optional<std::string> NativePathOf(LPCITEMIDLIST fullId)
{
    std::optional<detail::Location> loc = detail::Resolve(detail::DesktopLocation(), fullId);
    if (!loc || loc->posix.empty())
        return std::nullopt;
    return loc->posix;
}

} // namespace vx::shell

using namespace vx::shell;
using namespace vx::shell::detail;

namespace {

std::optional<Location> LocationOfPath(const char *ansi)
{
    if (!ansi || !*ansi)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    if (FAILED(ParseFromDesktop(vx::codepage::FromAnsi(ansi), bytes)))
        return std::nullopt;
    bytes.push_back(0);
    bytes.push_back(0);
    return Resolve(DesktopLocation(), reinterpret_cast<LPCITEMIDLIST>(bytes.data()));
}

// Splits a full list into its parent's location and the location itself.
bool SplitLocation(LPCITEMIDLIST full, Location &parent, Location &self)
{
    bool complete = false;
    std::vector<ItemData> items = SplitList(full, &complete);
    if (!complete)
        return false;
    parent = DesktopLocation();
    self = parent;
    for (size_t i = 0; i < items.size(); ++i) {
        std::optional<Location> next = ChildLocation(self, items[i]);
        if (!next)
            return false;
        parent = self;
        self = std::move(*next);
    }
    return true;
}

std::atomic<UINT> g_errorMode{0};
std::atomic<int> g_oleCount{0};

struct Search {
    std::vector<WIN32_FIND_DATAA> found;
    size_t next = 0;
};
std::mutex g_searchLock;
std::map<uintptr_t, std::unique_ptr<Search>> g_searches;
uintptr_t g_nextSearch = 0x5000;

void FillFindData(WIN32_FIND_DATAA &out, const std::string &rawName, const struct stat &lst, const struct stat *target)
{
    std::memset(&out, 0, sizeof out);
    const ItemData item = FileItemFrom(rawName, lst, target, true);
    out.dwFileAttributes = item.fileAttributes;
    const struct stat &st = target ? *target : lst;
    auto put = [](FILETIME &ft, uint64_t v) {
        ft.dwLowDateTime = static_cast<DWORD>(v);
        ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
    };
    put(out.ftCreationTime, ToFileTime(st.st_ctim));
    put(out.ftLastAccessTime, ToFileTime(st.st_atim));
    put(out.ftLastWriteTime, ToFileTime(st.st_mtim));
    out.nFileSizeHigh = static_cast<DWORD>(item.size >> 32);
    out.nFileSizeLow = static_cast<DWORD>(item.size);
    const std::string ansi = NameToAnsi(rawName);
    std::memcpy(out.cFileName, ansi.data(), std::min(ansi.size(), sizeof out.cFileName - 1));
}

bool StatFor(const std::string &path, const std::string &name, WIN32_FIND_DATAA &out)
{
    struct stat lst {}, target {};
    if (::lstat(path.c_str(), &lst) != 0)
        return false;
    const bool haveTarget = S_ISLNK(lst.st_mode) && ::stat(path.c_str(), &target) == 0;
    FillFindData(out, name, lst, haveTarget ? &target : nullptr);
    return true;
}

} // namespace

DWORD_PTR SHGetFileInfoA(const void *pszPath, DWORD, SHFILEINFOA *psfi, UINT cbFileInfo, UINT uFlags)
{
    if (!pszPath)
        return 0;
    std::optional<Location> loc = (uFlags & SHGFI_PIDL)
                                      ? Resolve(DesktopLocation(), static_cast<LPCITEMIDLIST>(pszPath))
                                      : LocationOfPath(static_cast<const char *>(pszPath));
    if (!loc)
        return 0;
    // A caller's record may be the 32-bit size (352 bytes): fill a whole one, hand back what fits.
    SHFILEINFOA local;
    SHFILEINFOA *out = psfi;
    if (psfi && cbFileInfo < sizeof(SHFILEINFOA)) {
        if (cbFileInfo < 352)
            return 0;
        psfi = &local;
    }
    if (psfi) {
        std::memset(psfi, 0, sizeof *psfi);
        if (uFlags & SHGFI_SYSICONINDEX)
            psfi->iIcon = IconIndexOf(*loc, uFlags & SHGFI_OPENICON);
        if (uFlags & SHGFI_DISPLAYNAME) {
            const std::string name = DisplayName(*loc);
            std::memcpy(psfi->szDisplayName, name.data(), std::min(name.size(), sizeof psfi->szDisplayName - 1));
        }
        if (uFlags & SHGFI_TYPENAME) {
            const std::string type = TypeName(*loc);
            std::memcpy(psfi->szTypeName, type.data(), std::min(type.size(), sizeof psfi->szTypeName - 1));
        }
        if (uFlags & SHGFI_ATTRIBUTES)
            psfi->dwAttributes = AttributesOf(*loc, 0);
        if (psfi != out) {
            psfi->szTypeName[sizeof psfi->szTypeName - 1 - (sizeof(SHFILEINFOA) - cbFileInfo)] = 0;
            std::memcpy(out, psfi, cbFileInfo);
        }
    }
    if (uFlags & SHGFI_SYSICONINDEX)
        return reinterpret_cast<DWORD_PTR>(SystemImageList(!(uFlags & SHGFI_SMALLICON)));
    return 1;
}

BOOL ShellExecuteExA(SHELLEXECUTEINFOA *info)
{
    if (!info || (info->cbSize != 60 && info->cbSize != sizeof(SHELLEXECUTEINFOA))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE_;
    }
    auto fail = [&](DWORD code) {
        info->hInstApp = reinterpret_cast<void *>(static_cast<uintptr_t>(code == ERROR_FILE_NOT_FOUND ? 2 : 31));
        SetLastError(code);
        return FALSE_;
    };
    const std::string verb = info->lpVerb ? info->lpVerb : "";
    if ((info->fMask & SEE_MASK_IDLIST) && info->lpIDList) {
        Location parent, self;
        if (!SplitLocation(static_cast<LPCITEMIDLIST>(info->lpIDList), parent, self))
            return fail(ERROR_FILE_NOT_FOUND);
        HRESULT hr;
        if (self.kind == LocKind::Desktop) {
            vx::platform::ShellExecRequest r;
            r.verb = "open";
            r.file = self.parse;
            r.nativePath = self.posix;
            r.show = info->nShow;
            hr = (!self.posix.empty() && vx::platform::ShellExec(r)) ? S_OK : E_FAIL;
        } else {
            ComPtr<IContextMenu2> menu = ComPtr<IContextMenu2>::Attach(NewContextMenu(parent, {self}));
            CMINVOKECOMMANDINFO ci{};
            ci.cbSize = sizeof ci;
            ci.hwnd = info->hwnd;
            ci.lpVerb = verb.empty() || ::strcasecmp(verb.c_str(), "explore") == 0 ? "open" : verb.c_str();
            ci.nShow = info->nShow;
            hr = menu->InvokeCommand(&ci);
        }
        if (FAILED(hr))
            return fail((hr & 0xFFFF0000) == 0x80070000 ? static_cast<DWORD>(hr & 0xFFFF) : ERROR_GEN_FAILURE);
        info->hInstApp = reinterpret_cast<void *>(static_cast<uintptr_t>(42));
        return TRUE_;
    }
    if (!info->lpFile || !*info->lpFile)
        return fail(ERROR_FILE_NOT_FOUND);
    vx::platform::ShellExecRequest r;
    r.verb = verb;
    r.file = info->lpFile;
    r.parameters = info->lpParameters ? info->lpParameters : "";
    r.directory = info->lpDirectory ? info->lpDirectory : "";
    r.show = info->nShow;
    if (!vx::platform::ShellExec(r))
        return fail(ERROR_FILE_NOT_FOUND);
    info->hInstApp = reinterpret_cast<void *>(static_cast<uintptr_t>(42));
    return TRUE_;
}

HANDLE FindFirstFileA(const char *lpFileName, WIN32_FIND_DATAA *data)
{
    if (!lpFileName || !data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string text = lpFileName;
    std::optional<std::string> posix = text.size() > 0 && text[0] == '/' ? std::optional<std::string>(vx::codepage::AnsiToUtf8(text))
                                                                         : WindowsToPosix(text);
    if (!posix) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // A drive root has no entry of its own.
    if (text.size() <= 3 && text.size() >= 2 && text[1] == ':') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto search = std::make_unique<Search>();
    const size_t slash = posix->find_last_of('/');
    const std::string dir = slash == 0 ? "/" : posix->substr(0, slash);
    const std::string pattern = posix->substr(slash + 1);
    if (pattern.find_first_of("*?") != std::string::npos) {
        DIR *d = ::opendir(dir.c_str());
        if (!d) {
            SetLastError(Win32FromErrno(errno) == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : Win32FromErrno(errno));
            return INVALID_HANDLE_VALUE;
        }
        while (dirent *e = ::readdir(d)) {
            const bool all = pattern == "*" || pattern == "*.*";
            if (!all && ::fnmatch(pattern.c_str(), e->d_name, FNM_CASEFOLD | FNM_PERIOD) != 0)
                continue;
            WIN32_FIND_DATAA fd;
            if (StatFor(dir + (dir == "/" ? "" : "/") + e->d_name, e->d_name, fd))
                search->found.push_back(fd);
        }
        ::closedir(d);
    } else {
        WIN32_FIND_DATAA fd;
        if (StatFor(*posix, pattern, fd))
            search->found.push_back(fd);
    }
    if (search->found.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    *data = search->found[0];
    search->next = 1;
    std::lock_guard lock(g_searchLock);
    const uintptr_t id = g_nextSearch++;
    g_searches[id] = std::move(search);
    return reinterpret_cast<HANDLE>(id);
}

BOOL FindNextFileA(HANDLE h, WIN32_FIND_DATAA *data)
{
    std::lock_guard lock(g_searchLock);
    auto it = g_searches.find(reinterpret_cast<uintptr_t>(h));
    if (it == g_searches.end() || !data) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE_;
    }
    Search &s = *it->second;
    if (s.next >= s.found.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE_;
    }
    *data = s.found[s.next++];
    return TRUE_;
}

BOOL FindClose(HANDLE h)
{
    std::lock_guard lock(g_searchLock);
    if (g_searches.erase(reinterpret_cast<uintptr_t>(h)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE_;
    }
    return TRUE_;
}

UINT SetErrorMode(UINT uMode) { return g_errorMode.exchange(uMode); }

HRESULT OleInitialize(void *)
{
    return g_oleCount.fetch_add(1) == 0 ? S_OK : S_FALSE;
}

void OleUninitialize()
{
    int n = g_oleCount.load();
    while (n > 0 && !g_oleCount.compare_exchange_weak(n, n - 1)) {
    }
}
