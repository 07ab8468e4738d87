// For tests that make the engine enforce: it needs root and FUSE, and its mounts stay in a mount
// namespace of the test process's own, so a failed test leaves nothing mounted elsewhere.
#pragma once

#include <cerrno>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

namespace vxtest {

// Empty when enforcement can be tested here, else why not.
inline std::string EnforcementUnavailable()
{
    if (::geteuid() != 0)
        return "enforcement needs root: the engine mounts FUSE views over covered folders";
    if (::access("/dev/fuse", F_OK) != 0)
        return "this kernel has no FUSE (/dev/fuse is missing)";
    return {};
}

// Moves this thread, and every process it starts from then on, into a private mount namespace
// (once); 0 or the error.
inline int PrivateMounts()
{
    static const int error =
        ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ? 0 : errno;
    return error;
}

} // namespace vxtest
