// Helpers shared by the benchmarks that list a folder: the bare listing they are measured against
// and the heap in use.
#pragma once

#include <chrono>
#include <cstddef>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <string>
#include <sys/stat.h>

namespace vx::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// readdir and lstat of every entry of dir but "." and ".."; the number of entries stated.
inline size_t BareListing(const std::string &dir)
{
    size_t count = 0;
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        return 0;
    while (dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.' && (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0)))
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            ++count;
    }
    ::closedir(d);
    return count;
}

// Bytes the heap has handed out, from its arenas and its own mappings.
inline size_t HeapInUse()
{
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

} // namespace vx::bench
