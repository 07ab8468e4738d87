// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/common/uniquefd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <type_traits>
#include <unistd.h>
#include <vector>

using vx::UniqueFd;

namespace {

bool IsOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

int OpenNull()
{
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    return fd;
}

} // namespace

static_assert(!std::is_copy_constructible_v<UniqueFd>);
static_assert(!std::is_copy_assignable_v<UniqueFd>);
static_assert(std::is_nothrow_move_constructible_v<UniqueFd>);
static_assert(std::is_nothrow_move_assignable_v<UniqueFd>);

TEST(UniqueFd, ClosesWhenItGoesAway)
{
    int n = -1;
    {
        UniqueFd fd(OpenNull());
        n = fd.get();
        EXPECT_TRUE(fd.valid());
        EXPECT_TRUE(static_cast<bool>(fd));
        EXPECT_TRUE(IsOpen(n));
    }
    EXPECT_FALSE(IsOpen(n));
}

TEST(UniqueFd, EmptyHoldsNothing)
{
    UniqueFd fd;
    EXPECT_EQ(fd.get(), -1);
    EXPECT_FALSE(fd.valid());
    UniqueFd failed(-1); // what a failed open gives
    EXPECT_FALSE(failed);
    failed.reset(); // nothing to close, and no error from trying
}

TEST(UniqueFd, MoveHandsOverWithoutClosing)
{
    UniqueFd a(OpenNull());
    const int n = a.get();
    UniqueFd b(std::move(a));
    EXPECT_EQ(a.get(), -1); // NOLINT(bugprone-use-after-move): the moved-from state is the point
    EXPECT_EQ(b.get(), n);
    EXPECT_TRUE(IsOpen(n));

    UniqueFd c;
    c = std::move(b);
    EXPECT_EQ(b.get(), -1); // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(c.get(), n);
    EXPECT_TRUE(IsOpen(n));
    c.reset();
    EXPECT_FALSE(IsOpen(n));
}

TEST(UniqueFd, MoveAssignmentClosesWhatWasHeld)
{
    UniqueFd a(OpenNull());
    UniqueFd b(OpenNull());
    const int na = a.get();
    const int nb = b.get();
    a = std::move(b);
    EXPECT_FALSE(IsOpen(na));
    EXPECT_EQ(a.get(), nb);
    EXPECT_TRUE(IsOpen(nb));

    UniqueFd &same = a;
    a = std::move(same); // to itself: keeps the descriptor open
    EXPECT_EQ(a.get(), nb);
    EXPECT_TRUE(IsOpen(nb));
}

TEST(UniqueFd, ResetClosesTheOldAndHoldsTheNew)
{
    UniqueFd fd(OpenNull());
    const int first = fd.get();
    const int second = OpenNull();
    fd.reset(second);
    EXPECT_FALSE(IsOpen(first));
    EXPECT_EQ(fd.get(), second);
    EXPECT_TRUE(IsOpen(second));
    fd.reset(second); // the same number again is not closed under itself
    EXPECT_TRUE(IsOpen(second));
    fd.reset();
    EXPECT_FALSE(IsOpen(second));
    EXPECT_EQ(fd.get(), -1);
}

TEST(UniqueFd, ReleaseGivesUpOwnership)
{
    int n = -1;
    {
        UniqueFd fd(OpenNull());
        n = fd.release();
        EXPECT_EQ(fd.get(), -1);
    }
    EXPECT_TRUE(IsOpen(n));
    ::close(n);
}

TEST(UniqueFd, NoDoubleClose)
{
    // A number closed twice would close whatever took it in between: hold the owner, let it
    // close, reuse the number and check the new descriptor survives the owner's end.
    int n = -1;
    int reused = -1;
    {
        UniqueFd fd(OpenNull());
        n = fd.get();
        fd.reset();
        reused = OpenNull(); // the lowest free number: the one just closed
        EXPECT_EQ(reused, n);
    }
    EXPECT_TRUE(IsOpen(reused));
    {
        UniqueFd a(reused);
        UniqueFd b(std::move(a));
        UniqueFd c(std::move(b));
    }
    EXPECT_FALSE(IsOpen(reused));
    const int again = OpenNull();
    { UniqueFd moved; UniqueFd gone(std::move(moved)); } // empty owners close nothing
    EXPECT_TRUE(IsOpen(again));
    ::close(again);
}

TEST(UniqueFd, ClosingKeepsErrno)
{
    UniqueFd fd(OpenNull());
    const int n = fd.get();
    ::close(n); // closed behind its back: the owner's close fails with EBADF
    errno = ENOENT;
    fd.reset();
    EXPECT_EQ(errno, ENOENT);
}

TEST(UniqueFd, ClosesOnEveryPathOut)
{
    int n = -1;
    auto early = [&](bool leave) {
        UniqueFd fd(OpenNull());
        n = fd.get();
        if (leave)
            return false;
        throw std::runtime_error("out");
    };
    EXPECT_FALSE(early(true));
    EXPECT_FALSE(IsOpen(n));
    EXPECT_THROW(early(false), std::runtime_error);
    EXPECT_FALSE(IsOpen(n));

    std::vector<UniqueFd> held;
    std::vector<int> numbers;
    for (int i = 0; i < 8; ++i) {
        held.emplace_back(OpenNull()); // grows and moves the owners
        numbers.push_back(held.back().get());
    }
    for (int x : numbers)
        EXPECT_TRUE(IsOpen(x));
    held.clear();
    for (int x : numbers)
        EXPECT_FALSE(IsOpen(x));
}
