// Absolute POSIX paths as the engine's planning, policy and views compare and build them.
#pragma once

#include <string>
#include <string_view>

namespace vx::qxd {

// True when `path` lies strictly below `folder` ("/" or a path without a closing '/').
inline bool IsBelow(std::string_view path, std::string_view folder)
{
    if (folder == "/")
        return path.size() > 1 && path.front() == '/';
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

inline std::string Child(std::string_view folder, std::string_view name)
{
    std::string out(folder);
    if (out.empty() || out.back() != '/')
        out += '/';
    out += name;
    return out;
}

// The folder that holds `path` ("/" for the top level).
inline std::string Parent(std::string_view path)
{
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string_view::npos ? "/" : std::string(path.substr(0, slash));
}

// A name of an open descriptor that the kernel resolves to its object.
inline std::string ProcFd(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

} // namespace vx::qxd
