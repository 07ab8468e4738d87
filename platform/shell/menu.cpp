// SPDX-License-Identifier: GPL-3.0-or-later
// Context menus with working verbs (open, copy, paste, delete to the trash, rename, properties)
// and the popup menus they fill.
#include "platform/common/uniquefd.h"
#include "platform/exec/exec.h"
#include "platform/shell/failpoints.h"
#include "platform/shell/folderimpl.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace vx::shell {
namespace {
std::mutex g_hookLock;
TrackPopupHook g_trackHook;
} // namespace

TrackPopupHook SetTrackPopupHook(TrackPopupHook hook)
{
    std::lock_guard lock(g_hookLock);
    return std::exchange(g_trackHook, std::move(hook));
}

namespace detail {
UINT ShowPopupMenu(const Menu &menu, int x, int y, HWND owner); // popup.cpp

namespace {

std::string JoinPosix(const std::string &dir, const std::string &name)
{
    return (dir.empty() || dir.back() != '/') ? dir + "/" + name : dir + name;
}

std::string BaseName(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ParentOf(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Percent-encoding of raw path bytes for file URLs and .trashinfo records.
std::string PercentEncode(const std::string &raw)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : raw) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~')
            out += static_cast<char>(c);
        else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string PercentDecode(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool MakeDirs(const std::string &path, mode_t mode)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    (void)mode;
    return true;
}

// Files copied by the "copy" verb when no GUI clipboard exists.
std::mutex g_clipLock;
std::vector<std::string> g_clipPaths;

void SetClipboardPaths(const std::vector<std::string> &paths)
{
    {
        std::lock_guard lock(g_clipLock);
        g_clipPaths = paths;
    }
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return;
    auto *mime = new QMimeData;
    QByteArray uris, gnome("copy");
    for (const std::string &p : paths) {
        const QByteArray url = QByteArray("file://") + QByteArray::fromStdString(PercentEncode(p));
        uris += url + "\r\n";
        gnome += "\n" + url;
    }
    mime->setData(QStringLiteral("text/uri-list"), uris);
    mime->setData(QStringLiteral("x-special/gnome-copied-files"), gnome);
    QGuiApplication::clipboard()->setMimeData(mime);
}

std::vector<std::string> ClipboardPaths()
{
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        const QMimeData *mime = QGuiApplication::clipboard()->mimeData();
        if (mime && mime->hasFormat(QStringLiteral("text/uri-list"))) {
            std::vector<std::string> paths;
            for (const QByteArray &line : mime->data(QStringLiteral("text/uri-list")).split('\n')) {
                std::string l = line.trimmed().toStdString();
                if (l.rfind("file://", 0) != 0)
                    continue;
                l = l.substr(7);
                const size_t slash = l.find('/');
                if (slash == std::string::npos)
                    continue;
                paths.push_back(PercentDecode(l.substr(slash)));
            }
            return paths;
        }
    }
    std::lock_guard lock(g_clipLock);
    return g_clipPaths;
}

// A free name for a pasted copy: "name", then "복사본 - name", "복사본 (2) - name", ...
std::string FreeCopyName(const std::string &dir, const std::string &name)
{
    struct stat st {};
    if (::lstat(JoinPosix(dir, name).c_str(), &st) != 0)
        return name;
    for (int n = 1; n < 10000; ++n) {
        std::string candidate = n == 1 ? std::string("복사본 - ") + name
                                       : "복사본 (" + std::to_string(n) + ") - " + name;
        if (::lstat(JoinPosix(dir, candidate).c_str(), &st) != 0)
            return candidate;
    }
    return std::string();
}

DWORD PasteInto(const std::string &dir)
{
    const std::vector<std::string> paths = ClipboardPaths();
    if (paths.empty())
        return ERROR_INVALID_PARAMETER;
    for (const std::string &src : paths) {
        struct stat st {};
        if (::lstat(src.c_str(), &st) != 0)
            return ERROR_FILE_NOT_FOUND;
        // Never copy a folder into itself or below itself.
        std::error_code ec;
        const auto canonSrc = std::filesystem::weakly_canonical(src, ec);
        const auto canonDir = std::filesystem::weakly_canonical(dir, ec);
        const std::string s = canonSrc.string(), d = canonDir.string();
        if (S_ISDIR(st.st_mode) && (d == s || d.rfind(s + "/", 0) == 0))
            return ERROR_INVALID_PARAMETER;
        const std::string name = FreeCopyName(dir, BaseName(src));
        if (name.empty())
            return ERROR_ALREADY_EXISTS;
        std::filesystem::copy(src, JoinPosix(dir, name),
                              std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks,
                              ec);
        if (ec)
            return Win32FromErrno(ec.value());
    }
    return 0;
}

struct Command {
    const char *verb;
    const char *text;  // UTF-8
    const char *help;  // UTF-8
};

const Command kOpen{"open", "열기(&O)", "선택한 항목을 엽니다."};
const Command kCopy{"copy", "복사(&C)", "선택한 항목을 클립보드에 복사합니다."};
const Command kPaste{"paste", "붙여넣기(&P)", "클립보드의 항목을 이 폴더에 붙여 넣습니다."};
const Command kDelete{"delete", "삭제(&D)", "선택한 항목을 휴지통으로 옮깁니다."};
const Command kRename{"rename", "이름 바꾸기(&M)", "선택한 항목의 이름을 바꿉니다."};
const Command kProperties{"properties", "속성(&R)", "선택한 항목의 속성을 표시합니다."};

class ContextMenu final : public RefCounted<ContextMenu, IContextMenu2, IID_IContextMenu, IID_IContextMenu2> {
public:
    ContextMenu(Location folder, std::vector<Location> items) : folder_(std::move(folder)), items_(std::move(items))
    {
        Build(CMF_CANRENAME);
    }

    HRESULT QueryContextMenu(HMENU hmenu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast, UINT uFlags) override
    {
        auto *menu = static_cast<Menu *>(hmenu);
        if (!menu)
            return E_INVALIDARG;
        Build(uFlags);
        std::vector<MenuItem> added;
        UINT used = 0;
        const Command *previous = nullptr;
        for (size_t k = 0; k < commands_.size(); ++k) {
            const UINT id = idCmdFirst + static_cast<UINT>(k);
            if (id > idCmdLast)
                break;
            const Command *c = commands_[k];
            const bool group = c == &kCopy || c == &kDelete || c == &kProperties;
            if (previous && group)
                added.push_back(MenuItem{0, QString(), false});
            added.push_back(MenuItem{id, QString::fromUtf8(c->text), c == &kOpen});
            used = static_cast<UINT>(k) + 1;
            previous = c;
        }
        const size_t at = std::min<size_t>(indexMenu, menu->items.size());
        menu->items.insert(menu->items.begin() + static_cast<ptrdiff_t>(at), added.begin(), added.end());
        return MAKE_SCODE_OK(static_cast<int>(used));
    }

    HRESULT InvokeCommand(CMINVOKECOMMANDINFO *pici) override
    {
        if (!pici || pici->cbSize < sizeof(DWORD) * 2)
            return E_INVALIDARG;
        const Command *c = nullptr;
        const auto raw = reinterpret_cast<uintptr_t>(pici->lpVerb);
        if ((raw >> 16) == 0) {
            if (raw < commands_.size())
                c = commands_[raw];
        } else {
            const std::string verb = pici->lpVerb;
            for (const Command *k : All())
                if (::strcasecmp(k->verb, verb.c_str()) == 0 && Allowed(k))
                    c = k;
        }
        if (!c)
            return E_INVALIDARG;
        return Run(*c, pici->nShow);
    }

    HRESULT GetCommandString(uintptr_t idCmd, UINT uType, UINT *, char *pszName, UINT cchMax) override
    {
        if (idCmd >= commands_.size())
            return E_INVALIDARG;
        const Command *c = commands_[idCmd];
        if (uType == GCS_VALIDATEA)
            return S_OK;
        if (!pszName || cchMax == 0)
            return E_INVALIDARG;
        std::string text = uType == GCS_HELPTEXTA ? KoreanText(c->help) : std::string(c->verb);
        if (uType != GCS_VERBA && uType != GCS_HELPTEXTA)
            return E_INVALIDARG;
        const size_t n = std::min<size_t>(text.size(), cchMax - 1);
        std::memcpy(pszName, text.data(), n);
        pszName[n] = 0;
        return S_OK;
    }

    HRESULT HandleMenuMsg(UINT, WPARAM, LPARAM) override { return S_OK; }

private:
    static const std::vector<const Command *> &All()
    {
        static const std::vector<const Command *> all{&kOpen, &kCopy, &kPaste, &kDelete, &kRename, &kProperties};
        return all;
    }

    DWORD Common() const
    {
        DWORD a = 0xFFFFFFFF;
        for (const Location &l : items_)
            a &= l.last.sfgao;
        return items_.empty() ? 0 : a;
    }

    bool Allowed(const Command *c) const
    {
        const DWORD a = Common();
        const bool onDisk = std::all_of(items_.begin(), items_.end(), [](const Location &l) { return !l.posix.empty(); });
        if (c == &kOpen)
            return onDisk;
        if (c == &kCopy)
            return onDisk && (a & SFGAO_CANCOPY);
        if (c == &kPaste)
            return items_.size() == 1 && onDisk && (a & SFGAO_FOLDER) && (a & SFGAO_DROPTARGET);
        if (c == &kDelete)
            return onDisk && (a & SFGAO_CANDELETE);
        if (c == &kRename)
            return items_.size() == 1 && (a & SFGAO_CANRENAME);
        if (c == &kProperties)
            return a & SFGAO_HASPROPSHEET;
        return false;
    }

    void Build(UINT flags)
    {
        commands_.clear();
        for (const Command *c : All()) {
            if (c == &kRename && !(flags & CMF_CANRENAME))
                continue;
            if (Allowed(c))
                commands_.push_back(c);
            if ((flags & CMF_DEFAULTONLY) && !commands_.empty())
                break;
        }
    }

    HRESULT Run(const Command &c, int show)
    {
        if (&c == &kOpen) {
            for (const Location &l : items_) {
                vx::platform::ShellExecRequest r;
                r.verb = "open";
                r.file = l.parse.compare(0, 3, "::{") == 0 ? NameToAnsi(l.posix) : l.parse;
                r.directory = l.IsFolder() ? l.parse : NameToAnsi(ParentOf(l.posix));
                r.show = show;
                r.nativePath = l.posix;
                if (!vx::platform::ShellExec(r))
                    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
            }
            return S_OK;
        }
        if (&c == &kCopy) {
            std::vector<std::string> paths;
            for (const Location &l : items_)
                paths.push_back(l.posix);
            SetClipboardPaths(paths);
            return S_OK;
        }
        if (&c == &kPaste)
            return HRESULT_FROM_WIN32(PasteInto(items_[0].posix));
        if (&c == &kDelete) {
            for (const Location &l : items_)
                if (DWORD err = MoveToTrash(l.posix))
                    return HRESULT_FROM_WIN32(err);
            return S_OK;
        }
        if (&c == &kRename) {
            const Location &l = items_[0];
            std::optional<QString> name = PromptRename(QString::fromUtf8(l.last.name.c_str()));
            if (!name)
                return HRESULT_FROM_WIN32(1223); // ERROR_CANCELLED
            ItemData renamed;
            return RenameItem(folder_, l.last, name->toUtf8().toStdString(), renamed);
        }
        if (&c == &kProperties)
            return ShowPropertySheet(PropertiesOf(items_[0])) ? S_OK : E_FAIL;
        return E_INVALIDARG;
    }

    Location folder_;
    std::vector<Location> items_;
    std::vector<const Command *> commands_;
};

} // namespace

IContextMenu2 *NewContextMenu(Location folder, std::vector<Location> items)
{
    return new ContextMenu(std::move(folder), std::move(items));
}

DWORD MoveToTrash(const std::string &posix)
{
    struct stat src {};
    if (posix.empty() || posix == "/" || ::lstat(posix.c_str(), &src) != 0)
        return posix.empty() ? ERROR_INVALID_PARAMETER : Win32FromErrno(errno);
    std::string trash = TrashDirectory();
    std::string recordedPath = posix;
    bool ok = MakeDirs(trash + "/files", 0700) && MakeDirs(trash + "/info", 0700);
    struct stat tst {};
    if (!ok || ::stat((trash + "/files").c_str(), &tst) != 0 || tst.st_dev != src.st_dev) {
        // Another file system: the trash at the top of its mount, "$top/.Trash-$uid".
        std::string top = ParentOf(posix);
        struct stat st {};
        while (top != "/") {
            const std::string up = ParentOf(top);
            if (::stat(up.c_str(), &st) != 0 || st.st_dev != src.st_dev)
                break;
            top = up;
        }
        trash = JoinPosix(top, ".Trash-" + std::to_string(::getuid()));
        if (!MakeDirs(trash + "/files", 0700) || !MakeDirs(trash + "/info", 0700) ||
            ::stat((trash + "/files").c_str(), &tst) != 0 || tst.st_dev != src.st_dev)
            return ERROR_NOT_SAME_DEVICE;
        recordedPath = top == "/" ? posix.substr(1) : posix.substr(top.size() + 1);
    }
    const std::string base = BaseName(posix);
    char date[32];
    const time_t now = std::time(nullptr);
    struct tm tmv {};
    ::localtime_r(&now, &tmv);
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tmv);
    const std::string record = "[Trash Info]\nPath=" + PercentEncode(recordedPath) + "\nDeletionDate=" + date + "\n";
    for (int n = 1; n < 100000; ++n) {
        const std::string name = n == 1 ? base : base + "." + std::to_string(n);
        const std::string info = trash + "/info/" + name + ".trashinfo";
        UniqueFd fd(::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!fd) {
            if (errno == EEXIST)
                continue;
            return Win32FromErrno(errno);
        }
        const bool written = ::write(fd.get(), record.data(), record.size()) == static_cast<ssize_t>(record.size());
        fd.reset();
        struct stat taken {};
        if (written && ::lstat((trash + "/files/" + name).c_str(), &taken) != 0 &&
            ::rename(posix.c_str(), (trash + "/files/" + name).c_str()) == 0)
            return 0;
        const int err = errno;
        ::unlink(info.c_str());
        if (!written)
            return ERROR_GEN_FAILURE;
        if (::lstat((trash + "/files/" + name).c_str(), &taken) == 0)
            continue;
        return Win32FromErrno(err);
    }
    return ERROR_ALREADY_EXISTS;
}

} // namespace detail

std::string TrashDirectory()
{
    const char *d = std::getenv("XDG_DATA_HOME");
    const std::string data = (d && *d == '/') ? std::string(d) : detail::HomeDirectory() + "/.local/share";
    return data + "/Trash";
}

} // namespace vx::shell

HMENU CreatePopupMenu() { return new vx::shell::Menu; }

BOOL DestroyMenu(HMENU hMenu)
{
    if (!hMenu)
        return FALSE_;
    delete static_cast<vx::shell::Menu *>(hMenu);
    return TRUE_;
}

UINT TrackPopupMenu(HMENU hMenu, UINT, int x, int y, int, HWND hWnd, const void *)
{
    if (!hMenu)
        return 0;
    const auto &menu = *static_cast<vx::shell::Menu *>(hMenu);
    vx::shell::TrackPopupHook hook;
    {
        std::lock_guard lock(vx::shell::g_hookLock);
        hook = vx::shell::g_trackHook;
    }
    if (hook)
        return hook(menu, x, y);
    return vx::shell::detail::ShowPopupMenu(menu, x, y, hWnd);
}
