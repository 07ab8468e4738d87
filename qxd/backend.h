// What enforcement is made of: a back end puts a policy in force with some mechanism of the
// kernel (here FUSE views; elsewhere a BPF LSM program could take the same policy), and asks a
// gatekeeper for the policy in force and where denials go. The enforcer is the gatekeeper; a
// fake back end tests it without root.
#pragma once

#include "qxd/identity.h"
#include "qxd/policy.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vx::qxd {

// What a back end asks of the engine: the policy in force, and where denials go.
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

// Per entry index, what a back end cannot enforce of it and why.
using EnforcementNotes = std::map<int, std::vector<std::string>>;

class Backend {
public:
    virtual ~Backend() = default;
    virtual std::string Name() const = 0;
    // The operations this back end cannot enforce on the running kernel, and why.
    virtual std::vector<std::string> Limits() const = 0;
    // Where decisions come from and denials go, before the first Apply.
    virtual void SetGate(std::shared_ptr<Gatekeeper> gate) = 0;
    // The path events will report for `path` (symbolic links in its folders resolved), found
    // without entering what the back end itself serves.
    virtual std::string Canonical(const std::string &path) = 0;
    // Brings enforcement in step with `policy`; `notes` gets what it leaves out.
    virtual void Apply(const std::shared_ptr<const Policy> &policy, EnforcementNotes &notes) = 0;
    // Ends enforcement; nothing of this back end stays mounted or marked.
    virtual void Shutdown() = 0;
};

} // namespace vx::qxd
