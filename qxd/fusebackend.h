// SPDX-License-Identifier: GPL-3.0-or-later
// The FUSE back end: each covered folder or file is served again through a FUSE view mounted
// over it, so every operation on it reaches the policy with the caller's thread id.
#pragma once

#include <unistd.h>

#include "qxd/backend.h"
#include "qxd/fuseview.h"
#include "qxd/linkguard.h"
#include "qxd/mounts.h"

#include "platform/common/uniquefd.h"

#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

namespace vx::qxd {

// The file system as the planner needs to see it; the back end reaches it without entering its
// own views, and tests replace it.
class TreeView {
public:
    virtual ~TreeView() = default;
    virtual bool Exists(const std::string &path) = 0;
    virtual bool IsFolder(const std::string &path) = 0;
    virtual std::vector<std::string> Children(const std::string &path) = 0;
};

// Where views must be mounted for `policy`, and what is left out of each entry.
struct MountPlan {
    std::vector<std::string> roots; // sorted; none lies below another
    EnforcementNotes notes;
};

// At most this many views are mounted for the folders around a guarded object.
constexpr std::size_t kMaxSplitMounts = 64;

MountPlan PlanMounts(const Policy &policy, TreeView &tree);

class FuseBackend : public Backend {
public:
    // Null with the reason when this process cannot mount FUSE here. `probeDir` is a folder of
    // the engine's own where a trial mount may be made. A dead engine's views stay until this
    // one's stand beneath them, except those over `readFirst` (read before any view is up: the
    // registry store).
    static std::unique_ptr<FuseBackend> Create(std::string fsname, const std::string &probeDir, std::string &reason,
                                               const std::string &readFirst = "");
    ~FuseBackend() override;

    // Where decisions come from and denials go; also starts the watch on hard links.
    void SetGate(std::shared_ptr<Gatekeeper> gate) override;

    std::string Name() const override { return "FUSE"; }
    std::vector<std::string> Limits() const override;
    std::string Canonical(const std::string &path) override;
    void Apply(const std::shared_ptr<const Policy> &policy, EnforcementNotes &notes) override;
    void Shutdown() override;

    // The places where views are mounted now.
    std::vector<std::string> Roots() const;

    // An O_PATH descriptor of `path` (canonical) reached without entering this back end's views;
    // none, with errno, when there is none.
    UniqueFd OpenUnderlying(const std::string &path) const;
    // The view standing at `path` or at a folder above it, if any.
    std::map<std::string, std::shared_ptr<FuseView>>::const_iterator ViewAtOrAbove(std::string_view path) const;

    // Hard-linked covered files watched by their inodes.
    std::size_t LinksWatched() const { return links_ ? links_->Watched() : 0; }

    // At most this many objects are looked at for hard links, sockets and pipes per change of
    // the views or the entries.
    static constexpr std::size_t kMaxScan = 200000;
    // At most this many folders are watched for processes working in them from before a view.
    static constexpr std::size_t kMaxWatchedFolders = 10000;

private:
    FuseBackend(std::string fsname, bool passthrough);
    class Tree;
    // Watches hard-linked covered files by their inodes, and passes sockets and pipes that were
    // in a view's place before it through to their old objects.
    void ScanViews(const std::shared_ptr<const Policy> &policy, EnforcementNotes &notes);
    // Watches the covered folders processes were already working in when their views came (what
    // they open there by relative names would bypass the views).
    void WatchWorkingFolders(const std::shared_ptr<const Policy> &policy, EnforcementNotes &notes);
    // Other places the objects of `roots` can be reached (mounts of their file system made
    // before the entries), with the path decisions name each by.
    std::vector<std::pair<std::string, std::string>> Aliases(const std::vector<std::string> &roots,
                                                            const std::vector<MountRecord> &table, const Guard *guard,
                                                            EnforcementNotes &notes, const Policy *policy) const;

    // Views a dead engine of the same name left: they fail closed until this engine's views
    // stand beneath them, and go then.
    struct Stale {
        std::string place;
        UniqueFd top;     // the dead view's root
        UniqueFd beneath; // what lies beneath it, reached through a copy of the mount holding it
        UniqueFd copy;    // that copy, kept while views use it (binds from it need it attached)
    };
    static std::vector<Stale> FindStale(const std::string &fsname, const std::vector<std::string> &removeNow);
    void RemoveStale();

    std::string fsname_;
    std::vector<Stale> stale_;
    std::vector<UniqueFd> copies_; // copies of mounts the views mounted beneath dead ones reach their objects through
    // Views carried elsewhere with a folder above them: they keep deciding for what they cover.
    std::vector<std::pair<std::string, std::shared_ptr<FuseView>>> moved_; // (where it stood, the view)
    bool passthrough_ = false;
    bool ring_ = false;        // requests come through io_uring
    UniqueFd ringLease_;       // held while this engine may need the module's io_uring
    std::shared_ptr<Gatekeeper> gate_;
    std::shared_ptr<FuseSession> session_; // serves every view
    std::map<std::string, std::shared_ptr<FuseView>> views_;
    uint32_t statMasks_ = 0;
    std::unique_ptr<LinkGuard> links_;
    std::string linksMissing_; // why hard links outside the views are not watched
    std::string scanned_;      // what the last scan was made for
    // Per view place, the sockets and pipes passed through (and the view they were bound in).
    std::map<std::string, std::pair<std::weak_ptr<FuseView>, std::set<std::string>>> endpoints_;
    bool scanTruncated_ = false;
    std::string mountsSeen_; // the mounts other than the views, when the views last took their flags
    LinkGuard::Failures unmarked_; // hard-linked covered files the last scan could not mark
    // Covered files processes held open from before their views; each target's descriptor is the
    // one held beside it.
    struct HeldFile {
        UniqueFd fd;
        LinkGuard::Target target;
    };
    std::vector<HeldFile> heldFiles_;
    pid_t starter_ = ::getppid(); // the process that started the engine
};

} // namespace vx::qxd
