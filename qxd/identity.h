// Who a process is, as the kernel knows it: the file its executable maps (device and inode),
// never a path the process or its mount namespace could make up. The project's own programs are
// recognised this way, and only while nothing foreign runs inside them.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vx::qxd {

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId &) const = default;
};

// The executable's path of a process or thread (/proc names threads too), or "" when it cannot
// be read. Only a hint of who it is: another mount namespace may show another file there.
std::string ExecutableOf(int pid);

// The file at `path` in the engine's own view (symbolic links followed).
std::optional<FileId> IdOfPath(const std::string &path);
// The file process (or thread) `pid` runs: the one the kernel mapped, wherever it was found.
std::optional<FileId> IdOfExecutable(int pid);

// The project's programs at the places they are built or installed, relative to the engine's
// own executable (their common prefix is the engine's grandparent folder).
struct ProgramPaths {
    std::vector<std::string> clients; // may send requests to the engine: the console and vxctl
    std::vector<std::string> all;     // the clients, vxreg and the engine: may use the registry store
    static ProgramPaths Beside(const std::string &engineExe);
};

// A set of programs by identity. Their files are looked at again on Refresh, so a program built
// anew while the engine runs is known by its new file.
class Programs {
public:
    explicit Programs(std::vector<std::string> paths);
    // Other programs from now on.
    void Replace(std::vector<std::string> paths);
    // True when a program's file changed.
    bool Refresh();
    bool Contains(const FileId &id) const;

private:
    std::vector<std::string> paths_;
    mutable std::mutex mutex_;
    std::vector<FileId> ids_;
};

// True when process `pid`, which runs `exe`, runs it unaltered: nobody traces it, and every file
// mapped executable in it is `exe` itself or a file of root's that only root can change, in a
// folder only root can change (so no library put in by the loader's variables, a plug-in path or a
// user's folder). `why` gets the reason when false.
bool Unaltered(int pid, const FileId &exe, std::string *why = nullptr);

// True when process `pid` holds, with close-on-exec set, the other end of the Unix socket
// `socketFd` (one of ours). A connection made before an exec and carried across it is held
// without close-on-exec (or not at all), so a program cannot inherit a connection that another
// program opened and wrote into.
bool HoldsPeerClosedOnExec(int pid, int socketFd);

} // namespace vx::qxd
