// A folder (or file) served again through FUSE over itself, so that every operation on it
// reaches the engine with the caller's thread id. The objects beneath are reached through a
// descriptor taken before the mount, never through the mount itself, and where the kernel
// allows it, reads and writes of opened files go to the real file without the engine.
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

class FuseView {
public:
    struct Options {
        std::string root;   // the served object's canonical path, as decisions name it
        int rootFd = -1;    // an O_PATH descriptor of it, taken outside every view; the view owns it
        std::string fsname; // marks the mount as this engine's, so a later start finds leftovers
        int threads = 4;
        bool ring = false; // take requests through io_uring, on each caller's CPU, where the kernel offers it
    };
    // Mounts over the object `rootFd` names. Null with `error` on failure (rootFd is closed).
    static std::shared_ptr<FuseView> Mount(Options options, std::shared_ptr<Gatekeeper> gate, std::string &error);
    ~FuseView();
    FuseView(const FuseView &) = delete;
    FuseView &operator=(const FuseView &) = delete;

    // Detaches the mount. Files still open through it are served until they are closed.
    void Unmount();
    const std::string &root() const;
    // The descriptor taken before the mount (valid while the view lives).
    int rootFd() const;
    // True when opened files bypass the engine for reads and writes.
    bool passthrough() const;
    // True when requests come through io_uring, each served on its caller's CPU.
    bool ringed() const;
    // The device number the view's objects show (that of the mount, not of what lies beneath).
    dev_t device() const;
    // Makes the kernel ask again for every attribute it keeps, so stat decisions apply at once.
    void ForgetAttributes();

    struct State;

private:
    explicit FuseView(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

// Detaches every FUSE mount named `fsname` (left by an engine that died), deepest first.
// Returns how many it removed.
int RemoveStaleMounts(const std::string &fsname);

} // namespace vx::qxd
