// SPDX-License-Identifier: GPL-3.0-or-later
// For tests that make the engine enforce: it needs root and FUSE, and its mounts stay in a mount
// namespace of the test process's own, so a failed test leaves nothing mounted elsewhere.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
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

// The base of every test that makes the engine enforce: skips where this kernel cannot (saying
// why), else moves the test into its own mount namespace. Entries are written against the
// default drive map (C: is /). A fixture's SetUp calls this one first and returns when the test
// was skipped or failed: Stopped().
class EnforcingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = EnforcementUnavailable();
        if (!why.empty())
            GTEST_SKIP() << why;
        ASSERT_EQ(PrivateMounts(), 0) << "no mount namespace of the test's own";
        ::unsetenv("VELLAMORIX_DRIVES");
    }
    bool Stopped() const { return IsSkipped() || HasFatalFailure(); }
};

} // namespace vxtest
