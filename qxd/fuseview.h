// Folders and files served again through FUSE over themselves, so that every operation on them
// reaches the engine with the caller's thread id. Where the kernel allows it, reads and writes
// of opened files go to the real file without the engine.
#pragma once

#include "qxd/identity.h"
#include "qxd/policy.h"

#include <memory>
#include <string>
#include <sys/types.h>

namespace vx::qxd {

// What a view asks of the engine: the policy in force, and where denials go.
class Gatekeeper {
public:
    virtual ~Gatekeeper() = default;
    virtual std::shared_ptr<const Policy> Current() const = 0;
    // Called for every denial, also in permissive mode (where nothing is denied).
    virtual void Denied(const Subject &subject, const std::string &path, const Decision &decision) = 0;
    virtual bool Permissive() const = 0;
    // Who a thread is (its executable, and whether it is one of the project's programs).
    virtual Subject Who(int tid);
};

// One FUSE file system for the whole engine, mounted nowhere: its workers serve every view.
// Each view is a sub-tree of it bound over one covered object, so a view costs a mount and a
// couple of descriptors, and the threads do not grow with the views.
class FuseSession;

// A sub-tree of the session bound over one object. The objects beneath are reached through a
// descriptor taken before the mount, never through the mount itself.
class FuseView {
public:
    struct Options {
        std::string root; // the served object's canonical path, as decisions name it
        int rootFd = -1;  // an O_PATH descriptor of it, taken outside every view; the view owns it
        // When set: an O_PATH descriptor of the root of a mount standing at the place (left by an
        // engine that died); the view is mounted beneath it, so it serves the moment that one
        // goes. Borrowed.
        int beneathFd = -1;
    };
    ~FuseView();
    FuseView(const FuseView &) = delete;
    FuseView &operator=(const FuseView &) = delete;

    // Detaches the mount. Files still open through it are served until they are closed.
    void Unmount();
    const std::string &root() const;
    // Where the view is mounted now (a folder above it may have been moved); "" when unknown.
    std::string Place() const;
    // The descriptor taken before the mount (valid while the view lives).
    int rootFd() const;
    // The device number the view's objects show (the session's, not that of what lies beneath).
    dev_t device() const;
    // Gives the view the flags the mount beneath has now (nosuid, nodev, noexec, ro,
    // nosymfollow); false when the kernel refuses.
    bool FollowMountFlags();

    struct Handle;

private:
    friend class FuseSession;
    explicit FuseView(std::unique_ptr<Handle> handle);
    std::unique_ptr<Handle> h_;
};

class FuseSession {
public:
    struct Options {
        std::string fsname; // marks the mounts as this engine's, so a later start finds leftovers
        int threads = 0;    // readers of the device; 0: two per CPU
        bool ring = false;  // take requests through io_uring, on each caller's CPU, where the kernel offers it
    };
    // Null with `error` when the kernel refuses.
    static std::shared_ptr<FuseSession> Start(Options options, std::shared_ptr<Gatekeeper> gate, std::string &error);
    // Views still mounted stay until they are unmounted; the session ends with the last of them.
    ~FuseSession();
    FuseSession(const FuseSession &) = delete;
    FuseSession &operator=(const FuseSession &) = delete;

    // Binds a view over the object `options.rootFd` names. Null with `error` on failure (rootFd
    // is closed).
    std::shared_ptr<FuseView> Mount(FuseView::Options options, std::string &error);
    void SetGate(std::shared_ptr<Gatekeeper> gate);
    // True when opened files bypass the engine for reads and writes.
    bool passthrough() const;
    // True when requests come through io_uring, each served on its caller's CPU.
    bool ringed() const;
    // Makes the kernel ask again for every attribute it keeps, so stat decisions apply at once.
    void ForgetAttributes();
    // Objects the kernel knows through the views now (the node table's size).
    std::size_t Nodes() const;

    struct State;

private:
    explicit FuseSession(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
    int master_ = -1; // the session's mount, attached nowhere
};

// Detaches every FUSE mount named `fsname` (left by an engine that died), deepest first.
// Returns how many it removed.
int RemoveStaleMounts(const std::string &fsname);

} // namespace vx::qxd
