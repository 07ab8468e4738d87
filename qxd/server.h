// The daemon's transport: Unix-domain sockets for both channels under both spellings, one
// thread per connection, one request at a time per connection.
#pragma once

#include "qxd/core.h"
#include "qxd/identity.h"

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

    // How long a peer may keep the engine waiting in the middle of a request.
    static constexpr int kPeerTimeoutMs = 10000;
    // Clients served at once; further connections are closed at once.
    static constexpr std::size_t kMaxConnections = 256;

private:
    struct Connection {
        int fd = -1;
        Channel channel = Channel::Ansi;
        pid_t pid = 0;
        std::thread thread;
        std::atomic<bool> done{false};
    };
    struct Listener {
        int fd = -1;
        std::string path;
        Channel channel;
    };

    void Accept(const Listener &listener);
    void Serve(Connection &connection);
    void Reap(bool all);
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
    int lockFd_ = -1;
    std::list<Listener> listeners_;
    std::list<std::unique_ptr<Connection>> connections_;
    uint64_t nextId_ = 1;
};

} // namespace vx::qxd
