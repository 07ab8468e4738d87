// SPDX-License-Identifier: GPL-3.0-or-later
// Covered files that also have names outside every view (hard links made before the entry)
// would be reached through those names without the views. Their inodes carry fanotify
// permission marks instead, so opening, reading or running them by any name is decided as if
// it happened in place.
#pragma once

#include "qxd/fuseview.h"

#include "platform/common/uniquefd.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace vx::qxd {

class LinkGuard {
public:
    struct Target {
        dev_t dev = 0;
        ino_t ino = 0;
        int fd = -1;      // O_PATH descriptor of the file, outside every view (borrowed)
        std::string path; // its covered name
        // Watched only for other mount namespaces: what reaches it through `fd`'s mount (the
        // view passing a file through) was decided by the view already.
        bool foreignOnly = false;
    };
    // Null with the reason when fanotify permission events are not available.
    static std::unique_ptr<LinkGuard> Create(std::shared_ptr<Gatekeeper> gate, std::string &reason);
    ~LinkGuard();

    // What could not be marked: a path and why.
    using Failures = std::vector<std::pair<std::string, std::string>>;

    // Marks exactly these files from now on (and no other); the covered names of those that
    // could not be marked.
    Failures Watch(const std::vector<Target> &targets);

    // A covered folder that a process was already working in when its view came: what the
    // process opens there by a relative name bypasses the view, so the folder's children are
    // watched by their folder's inode instead.
    struct Folder {
        dev_t dev = 0;
        ino_t ino = 0;
        int fd = -1;       // O_PATH descriptor of the folder (borrowed)
        std::string place; // where its view is mounted
        std::string root;  // the path decisions name the view's objects by
        bool foreignOnly = false; // as for Target
    };
    // Watches exactly these folders from now on; the roots of the views of those that could not
    // be watched.
    Failures WatchFolders(const std::vector<Folder> &folders);
    std::size_t FoldersWatched() const;
    std::size_t Watched() const;
    // Removes every mark and ends the listener.
    void Shutdown();

private:
    LinkGuard(UniqueFd fd, std::shared_ptr<Gatekeeper> gate);
    void Listen();
    void Answer(int eventFd, int pid, uint64_t mask);

    UniqueFd fan_;
    UniqueFd stop_[2];
    std::shared_ptr<Gatekeeper> gate_;
    mutable std::mutex mutex_;
    struct Watch_ {
        std::string path;
        UniqueFd fd; // our own O_PATH descriptor of the inode
        uint64_t ownMount = 0; // for a foreign-only watch, the mount whose events are not decided
    };
    std::map<std::pair<dev_t, ino_t>, Watch_> watched_;
    struct FolderWatch {
        UniqueFd fd;
        std::string place, root;
        uint64_t ownMount = 0; // as for Watch_
    };
    std::map<std::pair<dev_t, ino_t>, FolderWatch> folders_;
    // The path decisions name an object opened in a watched folder by, from the path the
    // kernel gives its event; "" when none, and `unnamed` when the kernel gives none.
    // `ownMount` is the mount whose events need no decision there (0: none).
    std::string DecisionPath(int eventFd, bool &unnamed, uint64_t &ownMount) const;
    std::thread thread_;
};

// How a blocked process is opening a file, read from the system call it waits in: the
// operation bits of the open (read, write, execute), or 0 when it cannot be told.
uint32_t OpenIntent(int pid);

} // namespace vx::qxd
