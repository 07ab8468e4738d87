// The executable of the thread that asks, looked up once per thread and program. The kernel's
// process events (exec, exit) arrive on a netlink socket before the program they announce can
// make its next request, so draining that socket before each lookup keeps the cache exact.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>

namespace vx::qxd {

class ExecutableCache {
public:
    ExecutableCache();
    ~ExecutableCache();
    ExecutableCache(const ExecutableCache &) = delete;
    ExecutableCache &operator=(const ExecutableCache &) = delete;

    // The executable's path of thread `tid`, "" when it cannot be read.
    std::string Of(int tid);
    // False where the kernel sends no process events; every lookup then reads /proc.
    bool caching() const { return sock_ >= 0; }

    static constexpr std::size_t kMaxEntries = 4096;

private:
    void DrainLocked();

    int sock_ = -1;
    std::mutex mutex_;
    std::unordered_map<int, std::string> exes_;
};

} // namespace vx::qxd
