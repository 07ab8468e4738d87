// Enforcement: turns the engine's entries into a policy and keeps the back ends (the kernel
// mechanisms that put it in force) in step with every change. Back ends implement Backend;
// here the FUSE back end serves covered objects, and one for a BPF LSM program (where a kernel
// loads one) would take the same policy.
#pragma once

#include "qxd/core.h"
#include "qxd/denials.h"
#include "qxd/exes.h"
#include "qxd/backend.h"
#include "qxd/policy.h"

#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace vx::qxd {

class Enforcer : public Gatekeeper, public std::enable_shared_from_this<Enforcer> {
public:
    struct Options {
        std::string deviceDir;
        std::string storePath; // the registry store, kept from all but the project's programs
        bool permissive = false;
    };
    // Enforces the engine's entries with `backend` (which the caller has built: the daemon a
    // FUSE back end, tests a fake one).
    static std::shared_ptr<Enforcer> Create(std::shared_ptr<Engine> engine, Options options, std::ostream &err,
                                            std::unique_ptr<Backend> backend);
    ~Enforcer() override;

    // What is not enforced on this kernel at all, one line each.
    std::vector<std::string> Limits() const { return backend_->Limits(); }
    // Enforces the engine's entries and follows every change until Stop.
    void Start();
    void Stop();

    std::shared_ptr<const Policy> Current() const override;
    void Denied(const Subject &subject, const std::string &path, const Decision &decision) override;
    bool Permissive() const override { return options_.permissive; }
    Subject Who(int tid) override { return exes_.Of(tid); }

    const DenialLog &log() const { return *log_; }
    std::string BackendName() const { return backend_->Name(); }

private:
    Enforcer(std::shared_ptr<Engine> engine, Options options, std::ostream &err, std::unique_ptr<Backend> backend);
    void Reconcile();
    void Loop();
    std::shared_ptr<const Policy> Compile();

    std::shared_ptr<Engine> engine_;
    Options options_;
    std::ostream &err_;
    std::unique_ptr<DenialLog> log_;
    std::shared_ptr<Programs> programs_; // the project's own programs: they alone reach the store
    ExecutableCache exes_;
    std::unique_ptr<Backend> backend_;
    Guard guard_;

    mutable std::mutex policyMutex_;
    std::shared_ptr<const Policy> policy_;

    std::mutex reconcileMutex_;
    bool stopped_ = false;
    std::map<int, std::string> reported_; // per entry index, the notes last written
    std::unordered_map<std::string, std::string> canonical_; // path as written -> as resolved, for the last policy
    bool canonicalActive_ = false;

    std::mutex wakeMutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace vx::qxd
