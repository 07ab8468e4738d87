// SPDX-License-Identifier: GPL-3.0-or-later
// The executable of the thread that asks, looked up once per thread and program. The kernel's
// process events (exec, exit) arrive on a netlink socket before the program they announce can
// make its next request, so draining that socket before each lookup keeps the cache exact.
#pragma once

#include "qxd/identity.h"
#include "qxd/policy.h"

#include "platform/common/uniquefd.h"

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace vx::qxd {

// Who thread `tid` is: its executable's path, whether that path names the file it runs in the
// engine's own view, and whether it is one of `programs` (when given), unaltered.
Subject Identify(int tid, const Programs *programs);

class ExecutableCache {
public:
    explicit ExecutableCache(std::shared_ptr<const Programs> programs = nullptr);
    ExecutableCache(const ExecutableCache &) = delete;
    ExecutableCache &operator=(const ExecutableCache &) = delete;

    // Who thread `tid` is (see Identify); the executable's path is "" when it cannot be read.
    Subject Of(int tid);
    // Forgets everything (the project's programs were looked at again).
    void Clear();
    // False where the kernel sends no process events; every lookup then reads /proc.
    bool caching() const { return sock_.valid(); }

    static constexpr std::size_t kMaxEntries = 4096;

private:
    void DrainLocked();

    std::shared_ptr<const Programs> programs_;
    UniqueFd sock_;
    std::mutex mutex_;
    std::unordered_map<int, Subject> exes_;
};

} // namespace vx::qxd
