// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/notify/notify.h"

#include "platform/codepage/codepage.h"
#include "platform/common/uniquefd.h"
#include "platform/drives/drives.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vx::notify {
namespace {

// Most folders a sub-tree watch covers; deeper trees are watched in part.
constexpr size_t kMaxWatches = 16384;

DWORD Win32FromErrno(int err)
{
    switch (err) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOMEM:
    case ENOSPC:
    case EMFILE: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_GEN_FAILURE;
    }
}

class Object {
public:
    virtual ~Object() = default;
    virtual int Fd() const = 0;
    // True when signalled; obtains the object as a wait does (a mutex becomes owned, an
    // auto-reset event is reset).
    virtual bool TryAcquire() = 0;
};

class EventFd {
public:
    EventFd() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    int Fd() const { return fd_.get(); }
    void Set()
    {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(fd_.get(), &one, sizeof one);
    }
    void Clear()
    {
        uint64_t v;
        [[maybe_unused]] ssize_t n = ::read(fd_.get(), &v, sizeof v);
    }
    bool Valid() const { return fd_.valid(); }

private:
    UniqueFd fd_;
};

class MutexObject final : public Object {
public:
    explicit MutexObject(bool owned)
    {
        if (owned) {
            owner_ = std::this_thread::get_id();
            count_ = 1;
        } else {
            free_.Set();
        }
    }
    int Fd() const override { return free_.Fd(); }
    bool TryAcquire() override
    {
        std::lock_guard lock(m_);
        const auto me = std::this_thread::get_id();
        if (count_ == 0) {
            owner_ = me;
            count_ = 1;
            free_.Clear();
            return true;
        }
        if (owner_ == me) {
            ++count_;
            return true;
        }
        return false;
    }
    bool Release()
    {
        std::lock_guard lock(m_);
        if (count_ == 0 || owner_ != std::this_thread::get_id())
            return false;
        if (--count_ == 0) {
            owner_ = std::thread::id();
            free_.Set();
        }
        return true;
    }
    bool Valid() const { return free_.Valid(); }

private:
    std::mutex m_;
    std::thread::id owner_;
    int count_ = 0;
    EventFd free_;
};

class EventObject final : public Object {
public:
    EventObject(bool manual, bool initial) : manual_(manual)
    {
        if (initial)
            Set();
    }
    int Fd() const override { return fd_.Fd(); }
    bool TryAcquire() override
    {
        std::lock_guard lock(m_);
        if (!set_)
            return false;
        if (!manual_) {
            set_ = false;
            fd_.Clear();
        }
        return true;
    }
    void Set()
    {
        std::lock_guard lock(m_);
        if (!set_) {
            set_ = true;
            fd_.Set();
        }
    }
    void Reset()
    {
        std::lock_guard lock(m_);
        if (set_) {
            set_ = false;
            fd_.Clear();
        }
    }
    bool Valid() const { return fd_.Valid(); }

private:
    std::mutex m_;
    bool manual_;
    bool set_ = false;
    EventFd fd_;
};

class ChangeObject final : public Object {
public:
    ChangeObject(UniqueFd fd, bool subtree, DWORD filter) : fd_(std::move(fd)), subtree_(subtree), filter_(filter) {}
    int Fd() const override { return fd_.get(); }

    // Watches `dir` and, for a sub-tree, every folder below it. False when `dir` itself fails.
    bool AddTree(const std::string &dir, bool root)
    {
        std::vector<std::string> pending{dir};
        bool first = true;
        while (!pending.empty() && wds_.size() < kMaxWatches) {
            const std::string path = std::move(pending.back());
            pending.pop_back();
            uint32_t mask = Mask() | IN_ONLYDIR;
            if (!first || !root)
                mask |= IN_DONT_FOLLOW;
            const int wd = ::inotify_add_watch(fd_.get(), path.c_str(), mask);
            if (wd < 0) {
                if (first && root)
                    return false;
                first = false;
                continue;
            }
            first = false;
            wds_[wd] = path;
            if (!subtree_)
                break;
            if (DIR *d = ::opendir(path.c_str())) {
                while (dirent *e = ::readdir(d)) {
                    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
                        continue;
                    bool isDir = e->d_type == DT_DIR;
                    if (e->d_type == DT_UNKNOWN) {
                        struct stat st {};
                        isDir = ::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
                    }
                    if (isDir)
                        pending.push_back(path + (path == "/" ? "" : "/") + e->d_name);
                }
                ::closedir(d);
            }
        }
        return true;
    }

    bool TryAcquire() override
    {
        std::lock_guard lock(m_);
        if (signalled_)
            return true;
        alignas(inotify_event) char buf[16384];
        for (;;) {
            const ssize_t n = ::read(fd_.get(), buf, sizeof buf);
            if (n <= 0)
                break;
            for (ssize_t off = 0; off < n;) {
                const auto *ev = reinterpret_cast<const inotify_event *>(buf + off);
                off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
                if (Matches(*ev))
                    signalled_ = true;
                if (subtree_ && (ev->mask & IN_ISDIR) && (ev->mask & (IN_CREATE | IN_MOVED_TO)) && ev->len) {
                    auto it = wds_.find(ev->wd);
                    if (it != wds_.end())
                        AddTree(it->second + (it->second == "/" ? "" : "/") + ev->name, false);
                }
                if (ev->mask & IN_IGNORED)
                    wds_.erase(ev->wd);
            }
        }
        return signalled_;
    }

    void Rearm()
    {
        std::lock_guard lock(m_);
        signalled_ = false;
    }

private:
    uint32_t Mask() const
    {
        uint32_t m = IN_DELETE_SELF | IN_MOVE_SELF;
        if (subtree_ || (filter_ & (FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME)))
            m |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
        if (filter_ & (FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SECURITY))
            m |= IN_ATTRIB;
        if (filter_ & (FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE))
            m |= IN_MODIFY | IN_CLOSE_WRITE;
        return m;
    }

    bool Matches(const inotify_event &ev) const
    {
        if (ev.mask & IN_Q_OVERFLOW)
            return true;
        const bool dir = ev.mask & IN_ISDIR;
        if (ev.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO))
            return filter_ & (dir ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME);
        if (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF))
            return filter_ & (FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME);
        if (ev.mask & IN_ATTRIB)
            return filter_ & (FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SECURITY);
        if (ev.mask & IN_MODIFY)
            return filter_ & (FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE);
        if (ev.mask & IN_CLOSE_WRITE)
            return filter_ & FILE_NOTIFY_CHANGE_LAST_WRITE;
        return false;
    }

    std::mutex m_;
    UniqueFd fd_;
    bool subtree_;
    DWORD filter_;
    bool signalled_ = false;
    std::map<int, std::string> wds_;
};

// The handle table lives to the end of the process: watcher threads may close handles while
// the process exits.
struct Table {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<Object>> objects;
    uintptr_t next = 0x7000;
};
Table &Handles()
{
    static Table *table = new Table;
    return *table;
}

HANDLE Insert(std::shared_ptr<Object> obj)
{
    Table &t = Handles();
    std::lock_guard lock(t.lock);
    const uintptr_t id = t.next;
    t.next += 4;
    t.objects[id] = std::move(obj);
    return reinterpret_cast<HANDLE>(id);
}

std::shared_ptr<Object> Lookup(HANDLE h)
{
    Table &t = Handles();
    std::lock_guard lock(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
    return it == t.objects.end() ? nullptr : it->second;
}

template <class T>
std::shared_ptr<T> LookupAs(HANDLE h)
{
    return std::dynamic_pointer_cast<T>(Lookup(h));
}

} // namespace

HANDLE FindFirstChangeNotificationA(const char *lpPathName, BOOL bWatchSubtree, DWORD dwNotifyFilter)
{
    constexpr DWORD known = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES |
                            FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SECURITY;
    if (!lpPathName || !*lpPathName || (dwNotifyFilter & known) == 0 || (dwNotifyFilter & ~known)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::optional<std::string> posix;
    if (lpPathName[0] == '/')
        posix = vx::codepage::AnsiToUtf8(lpPathName);
    else
        posix = vx::shell::WindowsToPosix(lpPathName);
    struct stat st {};
    if (!posix || ::stat(posix->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd) {
        SetLastError(Win32FromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    auto obj = std::make_shared<ChangeObject>(std::move(fd), bWatchSubtree != 0, dwNotifyFilter);
    if (!obj->AddTree(*posix, true)) {
        SetLastError(Win32FromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    return Insert(std::move(obj));
}

BOOL FindNextChangeNotification(HANDLE h)
{
    auto obj = LookupAs<ChangeObject>(h);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE_;
    }
    obj->Rearm();
    return TRUE_;
}

BOOL FindCloseChangeNotification(HANDLE h)
{
    if (!LookupAs<ChangeObject>(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE_;
    }
    return CloseHandle(h);
}

HANDLE CreateMutexA(void *, BOOL bInitialOwner, const char *)
{
    auto obj = std::make_shared<MutexObject>(bInitialOwner != 0);
    if (!obj->Valid()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return Insert(std::move(obj));
}

BOOL ReleaseMutex(HANDLE h)
{
    auto obj = LookupAs<MutexObject>(h);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE_;
    }
    if (!obj->Release()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE_;
    }
    return TRUE_;
}

HANDLE CreateEventA(void *, BOOL bManualReset, BOOL bInitialState, const char *)
{
    auto obj = std::make_shared<EventObject>(bManualReset != 0, bInitialState != 0);
    if (!obj->Valid()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return Insert(std::move(obj));
}

BOOL SetEvent(HANDLE h)
{
    auto obj = LookupAs<EventObject>(h);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE_;
    }
    obj->Set();
    return TRUE_;
}

BOOL ResetEvent(HANDLE h)
{
    auto obj = LookupAs<EventObject>(h);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE_;
    }
    obj->Reset();
    return TRUE_;
}

BOOL CloseHandle(HANDLE h)
{
    std::shared_ptr<Object> obj;
    {
        Table &t = Handles();
        std::lock_guard lock(t.lock);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
        if (it == t.objects.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE_;
        }
        obj = std::move(it->second);
        t.objects.erase(it);
    }
    return TRUE_; // the object goes when the last wait lets it go
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles || bWaitAll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Object>> objects;
    for (DWORD i = 0; i < nCount; ++i) {
        auto obj = Lookup(lpHandles[i]);
        if (!obj) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(obj));
    }
    std::vector<pollfd> fds(nCount);
    for (DWORD i = 0; i < nCount; ++i)
        fds[i] = pollfd{objects[i]->Fd(), POLLIN, 0};
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        for (DWORD i = 0; i < nCount; ++i)
            if (objects[i]->TryAcquire())
                return WAIT_OBJECT_0 + i;
        int timeout = -1;
        if (dwMilliseconds != INFINITE) {
            const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
            if (spent >= dwMilliseconds)
                return WAIT_TIMEOUT;
            timeout = static_cast<int>(dwMilliseconds - spent);
        }
        const int rc = ::poll(fds.data(), fds.size(), timeout);
        if (rc < 0 && errno != EINTR) {
            SetLastError(ERROR_GEN_FAILURE);
            return WAIT_FAILED;
        }
    }
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjects(1, &hHandle, FALSE_, dwMilliseconds);
}

size_t OpenHandleCount()
{
    Table &t = Handles();
    std::lock_guard lock(t.lock);
    return t.objects.size();
}

} // namespace vx::notify
