// SPDX-License-Identifier: GPL-3.0-or-later
// The daemon's transport: Unix-domain sockets for both channels under both spellings, one
// thread per connection, one request at a time per connection.
#pragma once

#include "qxd/core.h"
#include "qxd/identity.h"

#include "platform/common/uniquefd.h"

#include <atomic>
#include <iosfwd>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <sys/types.h>

namespace vx::qxd {

// How the engine reaches a client's arena; every road gives the same results.
//   Auto: shared when the client offers its arena's file, else whichever of the kernel's
//         cross-process calls and the client's stub is faster, measured at its first request;
//   Shared: shared when offered, else the stub;  Kernel: the kernel's calls where permitted,
//   else the stub;  Stub: always the stub.
enum class MemoryRoad { Auto, Shared, Kernel, Stub };

class Server {
public:
    Server(std::shared_ptr<Engine> engine, std::string deviceDir, std::ostream &log, bool verbose = false,
           MemoryRoad road = MemoryRoad::Auto);
    ~Server(); // Stop()

    // Serves the members of group `gid` too (the system engine): the folders become 0750 and the
    // sockets 0660, both of that group. Without it everything is private to the engine's user.
    void ShareWithGroup(gid_t gid) { group_ = gid; }

    // Serves every process that reaches the sockets, as tools that speak the wire themselves need.
    // Without it only the project's own clients (the console, vxctl) are served, recognised by
    // the file they run, unaltered; any other client is answered "access denied" and dropped.
    void AllowAnyClient() { anyClient_ = true; }
    // The programs served as clients, instead of the console and vxctl beside the engine.
    void ServeOnly(std::vector<std::string> programs) { clients_.Replace(std::move(programs)); }

    // Takes the directory's lock and binds the four sockets. False (with `error`) when another
    // daemon serves the directory or a socket cannot be made.
    bool Start(std::string &error);
    // Serves until `stopFd` becomes readable (or is closed by the other end).
    void Run(int stopFd);
    // Closes every connection, removes the sockets and releases the lock.
    void Stop();

    // Serves one connected socket in the calling thread until the client leaves, as each
    // connection's thread does (tests and fuzzing). The caller closes `fd`.
    void ServeSocket(int fd, Channel channel, pid_t pid);

    // How long a peer may keep the engine waiting in the middle of a request.
    static constexpr int kPeerTimeoutMs = 10000;
    // Clients served at once, and by one user. A new connection beyond either takes the place of
    // the connection idle the longest (of that user, or of the user holding the most); with
    // every one of them in a request it is closed at once.
    static constexpr std::size_t kMaxConnections = 256;
    static constexpr std::size_t kMaxConnectionsPerUser = 64;
    // A connection holding no request in progress is closed after this long (clients make a
    // new one when they need it).
    static constexpr int kIdleTimeoutMs = 300000;
    void SetIdleTimeoutMs(int ms) { idleTimeoutMs_ = ms; }

private:
    enum class Phase { Idle, Busy, Closing };
    struct Connection {
        UniqueFd fd;
        Channel channel = Channel::Ansi;
        pid_t pid = 0;
        uid_t uid = uid_t(-1);
        std::thread thread;
        std::atomic<bool> done{false};
        // Idle between requests; Busy from the first byte of a request to its answer; Closing
        // once the engine closes it while idle (nothing it sends after that is served).
        std::atomic<Phase> phase{Phase::Idle};
        std::atomic<int64_t> idleSinceMs{0};
    };
    struct Listener {
        UniqueFd fd;
        std::string path;
        Channel channel;
    };

    void Accept(const Listener &listener);
    void Serve(Connection &connection);
    void Reap(bool all);
    // Makes room for a connection of `uid`: false when every connection it could replace is in
    // a request.
    bool Admit(uid_t uid);
    // Closes connections idle for longer than the idle time.
    void Expire();
    // Closes an idle connection, telling its client so; false when it is no longer idle.
    static bool CloseIdle(Connection &connection);
    void Log(const std::string &line);
    // Empty when the client of `connection` may be served, else why not.
    std::string Refusal(const Connection &connection);

    std::shared_ptr<Engine> engine_;
    std::string dir_;
    std::ostream &log_;
    bool verbose_;
    MemoryRoad road_;
    gid_t group_ = gid_t(-1);
    bool anyClient_ = false;
    Programs clients_;
    std::mutex logMutex_;
    UniqueFd lockFd_;
    std::list<Listener> listeners_;
    std::list<std::unique_ptr<Connection>> connections_;
    uint64_t nextId_ = 1;
    int idleTimeoutMs_ = kIdleTimeoutMs;
};

} // namespace vx::qxd
