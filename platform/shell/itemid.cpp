// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/shell/itemid.h"

#include "platform/codepage/codepage_qt.h"
#include "platform/drives/drives.h"
#include "platform/shell/failpoints.h"

#include <QString>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <pwd.h>
#include <unistd.h>

namespace vx::shell::detail {
namespace {

template <class T>
T Get(const uint8_t *p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

constexpr const char *kComputerClsid = "::{20D04FE0-3AEA-1069-A2D8-08002B30309D}";
constexpr const char *kRecycleClsid = "::{645FF040-5081-101B-9F08-00AA002F954E}";
constexpr const char *kPersonalClsid = "::{450D8FBA-AD25-11D0-98A8-0800361B1103}";
constexpr const char *kDesktopClsid = "::{00021400-0000-0000-C000-000000000046}";

std::string SpecialClsid(int csidl)
{
    switch (csidl) {
    case CSIDL_NETWORK: return "::{208D2C60-3AEA-1069-A2D7-08002B30309D}";
    case CSIDL_CONTROLS: return std::string(kComputerClsid) + "\\::{21EC2020-3AEA-1069-A2DD-08002B30309D}";
    case CSIDL_PRINTERS: return "::{2227A280-3AEA-1069-A2DE-08002B30309D}";
    case CSIDL_INTERNET: return "::{871C5380-42A0-1069-A2EA-08002B30309D}";
    default: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "::{5645584D-0000-0000-0000-0000000000%02X}", csidl & 0xFF);
        return buf;
    }
    }
}

std::string JoinPosix(const std::string &dir, std::string_view name)
{
    std::string p = dir;
    if (p.empty() || p.back() != '/')
        p += '/';
    p += name;
    return p;
}

// XDG user directory from user-dirs.dirs ("$HOME/Desktop" style values), or the fallback.
std::string UserDir(const char *key, const char *fallback)
{
    const std::string home = HomeDirectory();
    const char *cfg = std::getenv("XDG_CONFIG_HOME");
    const std::string file = (cfg && *cfg ? std::string(cfg) : home + "/.config") + "/user-dirs.dirs";
    std::ifstream in(file);
    std::string line;
    const std::string prefix = std::string(key) + "=";
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string v = line.substr(prefix.size());
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
            v = v.substr(1, v.size() - 2);
        if (v.compare(0, 5, "$HOME") == 0)
            v = home + v.substr(5);
        if (!v.empty() && v.front() == '/')
            return v;
    }
    return JoinPosix(home, fallback);
}

std::string XdgDir(const char *var, const char *fallbackUnderHome)
{
    const char *v = std::getenv(var);
    if (v && *v == '/')
        return v;
    return JoinPosix(HomeDirectory(), fallbackUnderHome);
}

bool IsDir(const std::string &p)
{
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

bool ReadItem(const uint8_t *p, size_t avail, ItemView &out)
{
    if (!p || avail < 2)
        return false;
    const uint16_t cb = Get<uint16_t>(p);
    if (cb < kItemHeader || cb > avail || p[2] != kItemTag)
        return false;
    const uint8_t kind = p[3];
    if (kind < 1 || kind > 6)
        return false;
    const uint16_t nameLen = Get<uint16_t>(p + 4);
    if (kItemHeader + nameLen > cb)
        return false;
    out.kind = static_cast<ItemKind>(kind);
    out.sfgao = Get<uint32_t>(p + 6);
    out.fileAttributes = Get<uint32_t>(p + 10);
    out.csidl = Get<uint32_t>(p + 14);
    out.size = Get<uint64_t>(p + 18);
    out.lastWrite = Get<uint64_t>(p + 26);
    out.name = std::string_view(reinterpret_cast<const char *>(p + kItemHeader), nameLen);
    return true;
}

bool SingleItem(LPCITEMIDLIST list, ItemView &out)
{
    const auto *p = reinterpret_cast<const uint8_t *>(list);
    if (!p)
        return false;
    const size_t avail = ReadableFrom(p);
    if (!ReadItem(p, avail, out))
        return false;
    const uint16_t cb = Get<uint16_t>(p);
    return avail - cb >= 2 && Get<uint16_t>(p + cb) == 0;
}

ItemView ViewOf(const ItemData &d) { return ItemView{d, d.name}; }
ItemData DataOf(const ItemView &v) { return ItemData{v, std::string(v.name)}; }

bool ReadItem(const uint8_t *p, size_t avail, ItemData &out)
{
    ItemView v;
    if (!ReadItem(p, avail, v))
        return false;
    out = DataOf(v);
    return true;
}

namespace {
size_t EncodedNameLength(const ItemView &item) { return std::min<size_t>(item.name.size(), 0xFFFF - kItemHeader); }

// Writes one item (kItemHeader + EncodedNameLength bytes) at out.
void EncodeItem(uint8_t *out, const ItemView &item)
{
    const size_t nameLen = EncodedNameLength(item);
    auto put = [&out](auto v) {
        std::memcpy(out, &v, sizeof v);
        out += sizeof v;
    };
    put(static_cast<uint16_t>(kItemHeader + nameLen));
    put(kItemTag);
    put(static_cast<uint8_t>(item.kind));
    put(static_cast<uint16_t>(nameLen));
    put(item.sfgao);
    put(item.fileAttributes);
    put(item.csidl);
    put(item.size);
    put(item.lastWrite);
    if (nameLen)
        std::memcpy(out, item.name.data(), nameLen);
}
} // namespace

void AppendItem(std::vector<uint8_t> &bytes, const ItemView &item)
{
    const size_t at = bytes.size();
    bytes.resize(at + kItemHeader + EncodedNameLength(item));
    EncodeItem(bytes.data() + at, item);
}

void AppendItem(std::vector<uint8_t> &bytes, const ItemData &item) { AppendItem(bytes, ViewOf(item)); }

LPITEMIDLIST NewListFromBytes(const std::vector<uint8_t> &bytes)
{
    auto *p = static_cast<uint8_t *>(TaskMalloc().Alloc(bytes.size() + 2));
    if (!p)
        return nullptr;
    if (!bytes.empty())
        std::memcpy(p, bytes.data(), bytes.size());
    return reinterpret_cast<LPITEMIDLIST>(p); // terminator: zero-filled
}

LPITEMIDLIST NewItemList(const ItemData &item)
{
    const ItemView view = ViewOf(item);
    auto *p = static_cast<uint8_t *>(TaskMalloc().Alloc(kItemHeader + EncodedNameLength(view) + 2));
    if (!p)
        return nullptr;
    EncodeItem(p, view);
    return reinterpret_cast<LPITEMIDLIST>(p); // terminator: zero-filled
}

size_t ReadableFrom(const void *p)
{
    const size_t n = TaskMemBytesFrom(p);
    return n ? n : 0x10000;
}

ItemCursor::ItemCursor(LPCITEMIDLIST list)
    : p_(reinterpret_cast<const uint8_t *>(list)), avail_(list ? ReadableFrom(list) : 0)
{
    hasCur_ = Read(cur_);
    hasNext_ = hasCur_ && Read(next_);
}

void ItemCursor::Next()
{
    cur_ = next_;
    hasCur_ = hasNext_;
    hasNext_ = hasCur_ && Read(next_);
}

bool ItemCursor::Read(ItemView &v)
{
    if (!p_ || avail_ < 2)
        return false;
    const uint16_t cb = Get<uint16_t>(p_);
    if (cb == 0) {
        complete_ = true;
        return false;
    }
    if (!ReadItem(p_, avail_, v))
        return false;
    p_ += cb;
    avail_ -= cb;
    return true;
}

std::vector<ItemData> SplitList(LPCITEMIDLIST list, bool *complete)
{
    std::vector<ItemData> items;
    ItemCursor cursor(list);
    for (; cursor.HasItem(); cursor.Next())
        items.push_back(DataOf(cursor.Item()));
    if (complete)
        *complete = cursor.Complete();
    return items;
}

uint64_t ToFileTime(const struct timespec &ts)
{
    const int64_t secs = static_cast<int64_t>(ts.tv_sec) + 11644473600LL;
    if (secs < 0)
        return 0;
    return static_cast<uint64_t>(secs) * 10000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 100;
}

ItemData FileItemFrom(const std::string &name, const struct stat &lst, const struct stat *target,
                      bool parentWritable)
{
    ItemData item;
    item.kind = ItemKind::File;
    item.name = name;
    const bool link = S_ISLNK(lst.st_mode);
    const struct stat &st = (link && target) ? *target : lst;
    const bool dir = S_ISDIR(st.st_mode);
    const bool hidden = !name.empty() && name[0] == '.';
    const bool readOnly = !(st.st_mode & S_IWUSR);
    uint32_t a = SFGAO_FILESYSTEM | SFGAO_CANCOPY | SFGAO_CANLINK | SFGAO_HASPROPSHEET;
    if (parentWritable)
        a |= SFGAO_CANMOVE | SFGAO_CANRENAME | SFGAO_CANDELETE;
    if (dir)
        a |= SFGAO_FOLDER | SFGAO_FILESYSANCESTOR | SFGAO_DROPTARGET;
    if (hidden)
        a |= SFGAO_GHOSTED;
    if (readOnly)
        a |= SFGAO_READONLY;
    if (link)
        a |= SFGAO_LINK;
    item.sfgao = a;
    uint32_t fa = 0;
    if (dir)
        fa |= FILE_ATTRIBUTE_DIRECTORY;
    else
        fa |= FILE_ATTRIBUTE_ARCHIVE;
    if (hidden)
        fa |= FILE_ATTRIBUTE_HIDDEN;
    if (readOnly)
        fa |= FILE_ATTRIBUTE_READONLY;
    if (link)
        fa |= FILE_ATTRIBUTE_REPARSE_POINT;
    item.fileAttributes = fa;
    item.size = dir ? 0 : static_cast<uint64_t>(st.st_size);
    item.lastWrite = ToFileTime(st.st_mtim);
    return item;
}

bool FolderHasSubfolder(const std::string &posix)
{
    // A folder's link count is 2 plus its sub-folders where the file system counts them: then
    // one stat answers for a readable folder. Links to folders (and file systems that do not
    // count) need the listing.
    struct stat st {};
    if (::stat(posix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if (st.st_nlink > 2 && ::access(posix.c_str(), R_OK) == 0)
        return true;
    DIR *d = ::opendir(posix.c_str());
    if (!d)
        return false;
    bool found = false;
    while (dirent *e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        if (e->d_type == DT_DIR) {
            found = true;
            break;
        }
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat target {};
            if (::fstatat(::dirfd(d), e->d_name, &target, 0) == 0 && S_ISDIR(target.st_mode)) {
                found = true;
                break;
            }
        }
    }
    ::closedir(d);
    return found;
}

std::string HomeDirectory()
{
    const char *h = std::getenv("HOME");
    if (h && *h == '/')
        return h;
    if (const passwd *pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/";
}

std::string DesktopDirectory() { return UserDir("XDG_DESKTOP_DIR", "Desktop"); }

bool IsKnownCsidl(int csidl)
{
    switch (csidl) {
    case 0x00: case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x06: case 0x07:
    case 0x08: case 0x09: case 0x0A: case 0x0B: case 0x10: case 0x11: case 0x12: case 0x14:
    case 0x15: case 0x16: case 0x17: case 0x18: case 0x19: case 0x1A: case 0x1B:
        return true;
    default:
        return false;
    }
}

std::optional<std::string> SpecialDirectory(int csidl)
{
    std::string dir;
    switch (csidl) {
    case CSIDL_DESKTOPDIRECTORY: dir = DesktopDirectory(); break;
    case CSIDL_PERSONAL: dir = HomeDirectory(); break;
    case CSIDL_TEMPLATES: dir = UserDir("XDG_TEMPLATES_DIR", "Templates"); break;
    case CSIDL_APPDATA: dir = XdgDir("XDG_DATA_HOME", ".local/share"); break;
    case CSIDL_FONTS: dir = JoinPosix(XdgDir("XDG_DATA_HOME", ".local/share"), "fonts"); break;
    case CSIDL_PROGRAMS: dir = JoinPosix(XdgDir("XDG_DATA_HOME", ".local/share"), "applications"); break;
    case CSIDL_STARTUP: dir = JoinPosix(XdgDir("XDG_CONFIG_HOME", ".config"), "autostart"); break;
    case CSIDL_COMMON_PROGRAMS: dir = "/usr/share/applications"; break;
    case CSIDL_COMMON_STARTUP: dir = "/etc/xdg/autostart"; break;
    default: return std::nullopt;
    }
    if (!IsDir(dir))
        return std::nullopt;
    return dir;
}

std::string KoreanText(const char *utf8)
{
    static std::mutex lock;
    static std::map<const char *, std::string> cache;
    std::lock_guard guard(lock);
    auto it = cache.find(utf8);
    if (it != cache.end())
        return it->second;
    std::string ansi = vx::codepage::ToAnsi(QString::fromUtf8(utf8));
    cache.emplace(utf8, ansi);
    return ansi;
}

std::string NameToAnsi(std::string_view raw)
{
    bool ascii = true;
    for (char c : raw)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii)
        return std::string(raw);
    return vx::codepage::Utf8ToAnsi(raw);
}

std::string SpecialFolderName(int csidl)
{
    switch (csidl) {
    case CSIDL_DESKTOP: return KoreanText("바탕 화면");
    case CSIDL_INTERNET: return KoreanText("인터넷");
    case CSIDL_PROGRAMS: return KoreanText("프로그램");
    case CSIDL_CONTROLS: return KoreanText("제어판");
    case CSIDL_PRINTERS: return KoreanText("프린터 및 팩스");
    case CSIDL_PERSONAL: return KoreanText("내 문서");
    case CSIDL_FAVORITES: return KoreanText("즐겨찾기");
    case CSIDL_STARTUP: return KoreanText("시작프로그램");
    case CSIDL_RECENT: return KoreanText("최근 문서");
    case CSIDL_SENDTO: return "SendTo";
    case CSIDL_BITBUCKET: return KoreanText("휴지통");
    case CSIDL_STARTMENU: return KoreanText("시작 메뉴");
    case CSIDL_DESKTOPDIRECTORY: return KoreanText("바탕 화면");
    case CSIDL_DRIVES: return KoreanText("내 컴퓨터");
    case CSIDL_NETWORK: return KoreanText("내 네트워크 환경");
    case CSIDL_FONTS: return KoreanText("글꼴");
    case CSIDL_TEMPLATES: return "Templates";
    case CSIDL_COMMON_STARTMENU: return KoreanText("시작 메뉴");
    case CSIDL_COMMON_PROGRAMS: return KoreanText("프로그램");
    case CSIDL_COMMON_STARTUP: return KoreanText("시작프로그램");
    case CSIDL_COMMON_DESKTOPDIRECTORY: return KoreanText("바탕 화면");
    case CSIDL_APPDATA: return "Application Data";
    case CSIDL_PRINTHOOD: return "PrintHood";
    default: return std::string();
    }
}

Location DesktopLocation()
{
    // Reading the user's folder settings is costly; keep the answer while the settings hold.
    static std::mutex lock;
    static std::string cachedKey;
    static Location cached;
    std::string key;
    for (const char *var : {"HOME", "XDG_CONFIG_HOME", "VELLAMORIX_DRIVES"}) {
        const char *v = std::getenv(var);
        key += v ? v : "";
        key += '\n';
    }
    {
        std::lock_guard guard(lock);
        if (key == cachedKey)
            return cached;
    }
    Location loc;
    loc.kind = LocKind::Desktop;
    loc.posix = DesktopDirectory();
    if (!IsDir(loc.posix))
        loc.posix.clear();
    std::optional<std::string> win = loc.posix.empty() ? std::nullopt : PosixToWindows(loc.posix);
    loc.parse = win ? *win : kDesktopClsid;
    loc.last.kind = ItemKind::Special;
    loc.last.sfgao = SFGAO_FOLDER | SFGAO_HASSUBFOLDER | SFGAO_FILESYSANCESTOR | SFGAO_DROPTARGET;
    std::lock_guard guard(lock);
    cachedKey = key;
    cached = loc;
    return loc;
}

bool IsFileChild(const Location &parent, std::string_view name)
{
    return !parent.posix.empty() && !name.empty() && name.find('/') == std::string_view::npos && name != "." &&
           name != "..";
}

std::optional<Location> ChildLocation(const Location &parent, const ItemData &item)
{
    Location loc;
    loc.last = item;
    switch (item.kind) {
    case ItemKind::Computer:
        if (parent.kind != LocKind::Desktop)
            return std::nullopt;
        loc.kind = LocKind::Computer;
        loc.parse = kComputerClsid;
        return loc;
    case ItemKind::Personal: {
        if (parent.kind != LocKind::Desktop)
            return std::nullopt;
        loc.kind = LocKind::Personal;
        loc.csidl = CSIDL_PERSONAL;
        loc.posix = HomeDirectory();
        std::optional<std::string> win = PosixToWindows(loc.posix);
        loc.parse = win ? *win : kPersonalClsid;
        return loc;
    }
    case ItemKind::RecycleBin:
        if (parent.kind != LocKind::Desktop)
            return std::nullopt;
        loc.kind = LocKind::RecycleBin;
        loc.csidl = CSIDL_BITBUCKET;
        loc.parse = kRecycleClsid;
        return loc;
    case ItemKind::Special: {
        if (parent.kind != LocKind::Desktop && parent.kind != LocKind::Computer)
            return std::nullopt;
        loc.kind = LocKind::Special;
        loc.csidl = static_cast<int>(item.csidl);
        if (std::optional<std::string> dir = SpecialDirectory(loc.csidl))
            loc.posix = *dir;
        std::optional<std::string> win = loc.posix.empty() ? std::nullopt : PosixToWindows(loc.posix);
        loc.parse = win ? *win : SpecialClsid(loc.csidl);
        return loc;
    }
    case ItemKind::Drive: {
        if (parent.kind != LocKind::Computer || item.name.size() != 2)
            return std::nullopt;
        std::optional<Drive> d = FindDrive(item.name[0]);
        if (!d)
            return std::nullopt;
        loc.kind = LocKind::Drive;
        loc.drive = d->letter;
        loc.posix = d->root;
        loc.parse = std::string(1, d->letter) + ":\\";
        return loc;
    }
    case ItemKind::File: {
        if (!IsFileChild(parent, item.name))
            return std::nullopt;
        loc.kind = LocKind::File;
        loc.posix = JoinPosix(parent.posix, item.name);
        if (parent.parse.compare(0, 3, "::{") == 0) {
            std::optional<std::string> win = PosixToWindows(loc.posix);
            loc.parse = win ? *win : parent.parse + "\\" + NameToAnsi(item.name);
        } else {
            loc.parse = parent.parse;
            if (loc.parse.empty() || loc.parse.back() != '\\')
                loc.parse += '\\';
            loc.parse += NameToAnsi(item.name);
        }
        return loc;
    }
    }
    return std::nullopt;
}

std::optional<Location> Resolve(const Location &base, LPCITEMIDLIST rel)
{
    ItemCursor cursor(rel);
    Location loc = base;
    for (; cursor.HasItem(); cursor.Next()) {
        std::optional<Location> next = ChildLocation(loc, DataOf(cursor.Item()));
        if (!next)
            return std::nullopt;
        loc = std::move(*next);
    }
    if (!cursor.Complete())
        return std::nullopt; // a malformed list addresses nothing
    return loc;
}

std::string DisplayName(const Location &loc)
{
    switch (loc.kind) {
    case LocKind::Desktop: return KoreanText("바탕 화면");
    case LocKind::Computer: return KoreanText("내 컴퓨터");
    case LocKind::Personal: return KoreanText("내 문서");
    case LocKind::RecycleBin: return KoreanText("휴지통");
    case LocKind::Special: return SpecialFolderName(loc.csidl);
    case LocKind::Drive: {
        const std::string label = IsRemovableRoot(loc.posix) ? KoreanText("이동식 디스크") : KoreanText("로컬 디스크");
        return label + " (" + std::string(1, loc.drive) + ":)";
    }
    case LocKind::File: return NameToAnsi(loc.last.name);
    }
    return std::string();
}

std::string InFolderParseName(const Location &loc)
{
    switch (loc.kind) {
    case LocKind::File: return NameToAnsi(loc.last.name);
    case LocKind::Drive: return loc.parse;
    default: {
        const size_t cut = loc.parse.rfind("\\::{");
        return cut == std::string::npos ? loc.parse : loc.parse.substr(cut + 1);
    }
    }
}

std::string TypeName(const Location &loc)
{
    switch (loc.kind) {
    case LocKind::Drive: return IsRemovableRoot(loc.posix) ? KoreanText("이동식 디스크") : KoreanText("로컬 디스크");
    case LocKind::File: {
        if (loc.last.sfgao & SFGAO_FOLDER)
            return KoreanText("파일 폴더");
        const std::string &n = loc.last.name;
        const size_t dot = n.rfind('.');
        if (dot == std::string::npos || dot == 0 || dot + 1 == n.size())
            return KoreanText("파일");
        std::string ext = NameToAnsi(std::string_view(n).substr(dot + 1));
        for (char &c : ext)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        return ext + " " + KoreanText("파일");
    }
    default: return KoreanText("시스템 폴더");
    }
}

int NaturalCompare(std::string_view a, std::string_view b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        // Equal bytes that are no digits decide nothing (digits count as runs, from their start).
        if (i == j) {
            const size_t end = std::min(a.size(), b.size());
            while (i < end && a[i] == b[i] && (a[i] < '0' || a[i] > '9'))
                ++i;
            j = i;
            if (i == end)
                break;
        }
        const unsigned char ca = static_cast<unsigned char>(a[i]);
        const unsigned char cb = static_cast<unsigned char>(b[j]);
        const bool da = ca >= '0' && ca <= '9';
        const bool db = cb >= '0' && cb <= '9';
        if (da && db) {
            size_t ei = i, ej = j;
            while (ei < a.size() && a[ei] >= '0' && a[ei] <= '9')
                ++ei;
            while (ej < b.size() && b[ej] >= '0' && b[ej] <= '9')
                ++ej;
            size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == '0')
                ++si;
            while (sj + 1 < ej && b[sj] == '0')
                ++sj;
            const size_t la = ei - si, lb = ej - sj;
            if (la != lb)
                return la < lb ? -1 : 1;
            if (int c = a.substr(si, la).compare(b.substr(sj, lb)); c != 0)
                return c < 0 ? -1 : 1;
            i = ei;
            j = ej;
            continue;
        }
        const unsigned char fa = (ca >= 'A' && ca <= 'Z') ? static_cast<unsigned char>(ca + 32) : ca;
        const unsigned char fb = (cb >= 'A' && cb <= 'Z') ? static_cast<unsigned char>(cb + 32) : cb;
        if (fa != fb)
            return fa < fb ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size())
        return 1;
    if (j < b.size())
        return -1;
    return 0;
}

std::string NaturalKey(std::string_view name)
{
    // A run of digits sorts where a digit does, then by its value: its length without leading
    // zeros (two bytes), then its digits. Sized first, so that a short key needs no allocation.
    auto runs = [&name](auto &&each) {
        for (size_t i = 0; i < name.size();) {
            if (name[i] < '0' || name[i] > '9') {
                each(i, i + 1);
                ++i;
                continue;
            }
            size_t end = i, start = i;
            while (end < name.size() && name[end] >= '0' && name[end] <= '9')
                ++end;
            while (start + 1 < end && name[start] == '0')
                ++start;
            each(start, end);
            i = end;
        }
    };
    size_t size = 0;
    runs([&](size_t from, size_t to) { size += name[from] >= '0' && name[from] <= '9' ? 3 + (to - from) : 1; });
    std::string key(size, '\0');
    char *out = key.data();
    runs([&](size_t from, size_t to) {
        const unsigned char c = static_cast<unsigned char>(name[from]);
        if (c >= '0' && c <= '9') {
            const size_t length = to - from;
            *out++ = '0';
            *out++ = static_cast<char>(length >> 8);
            *out++ = static_cast<char>(length & 0xFF);
            std::memcpy(out, name.data() + from, length);
            out += length;
        } else {
            *out++ = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        }
    });
    return key;
}

namespace {
int KindRank(const ItemView &d)
{
    switch (d.kind) {
    case ItemKind::Personal: return 0;
    case ItemKind::Computer: return 1;
    case ItemKind::Drive: return 2;
    case ItemKind::Special: return d.csidl == CSIDL_NETWORK ? 3 : 5;
    case ItemKind::RecycleBin: return 4;
    case ItemKind::File: return 6;
    }
    return 7;
}
template <class T>
int Sign(T a, T b) { return a < b ? -1 : (b < a ? 1 : 0); }
} // namespace

int CompareItems(const ItemView &a, const ItemView &b, int column)
{
    if (int r = Sign(KindRank(a), KindRank(b)))
        return r;
    if (a.kind == ItemKind::Special)
        if (int r = Sign(a.csidl, b.csidl))
            return r;
    if (a.kind == ItemKind::File) {
        const bool fa = a.sfgao & SFGAO_FOLDER, fb = b.sfgao & SFGAO_FOLDER;
        if (fa != fb)
            return fa ? -1 : 1;
        int r = 0;
        if (column == 1)
            r = Sign(a.size, b.size);
        else if (column == 2) {
            const size_t da = a.name.rfind('.'), db = b.name.rfind('.');
            r = NaturalCompare(da == std::string_view::npos ? std::string_view() : a.name.substr(da),
                               db == std::string_view::npos ? std::string_view() : b.name.substr(db));
        } else if (column == 3)
            r = Sign(a.lastWrite, b.lastWrite);
        if (r)
            return r;
    }
    if (int r = NaturalCompare(a.name, b.name))
        return r;
    return Sign(a.name, b.name);
}

DWORD Win32FromErrno(int err)
{
    switch (err) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EINVAL:
    case ENAMETOOLONG: return ERROR_INVALID_PARAMETER;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_GEN_FAILURE;
    }
}

} // namespace vx::shell::detail
