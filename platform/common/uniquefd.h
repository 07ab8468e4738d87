// SPDX-License-Identifier: GPL-3.0-or-later
// A file descriptor with one owner: closed when the owner goes away, moved but never copied.
#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace vx {

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // Gives the descriptor up without closing it; the caller owns it then.
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }

    // Closes the descriptor held (if any) and holds fd instead. errno is kept as it was, so a
    // failure the caller is about to report is not overwritten by the close.
    void reset(int fd = -1) noexcept
    {
        const int old = std::exchange(fd_, fd);
        if (old >= 0 && old != fd) {
            const int saved = errno;
            ::close(old);
            errno = saved;
        }
    }

private:
    int fd_ = -1;
};

} // namespace vx
