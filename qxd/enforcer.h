// Enforcement: turns the engine's entries into a policy and keeps the back ends (the kernel
// mechanisms that put it in force) in step with every change. Back ends implement Backend;
// here the FUSE back end serves covered objects, and one for a BPF LSM program (where a kernel
// loads one) would take the same policy.
#pragma once

#include "qxd/core.h"
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

// Denials, one line each, on standard error and in a log file; at most kBurst lines at once and
// kPerSecond after that, the rest counted. The file is started again past kMaxBytes, keeping
// one older file.
class DenialLog {
public:
    DenialLog(std::ostream &err, std::string path);
    ~DenialLog();
    void Record(const Subject &subject, const std::string &path, const Decision &decision, bool permissive);
    void Note(const std::string &line); // a plain line on both, not rate limited
    void FlushDropped();                // reports denials the rate limit left out, if any
    const std::string &path() const { return path_; }

    static constexpr double kPerSecond = 20;
    static constexpr double kBurst = 100;
    static constexpr long kMaxBytes = 8l << 20;

private:
    void WriteLocked(const std::string &line);
    std::ostream &err_;
    std::string path_;
    std::FILE *file_ = nullptr;
    std::mutex mutex_;
    double tokens_ = kBurst;
    double last_ = 0;
    uint64_t dropped_ = 0;
};

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
