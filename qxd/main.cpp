// SPDX-License-Identifier: GPL-3.0-or-later
// qxd-engine: the protection engine daemon. Serves the engine's devices as Unix-domain sockets
// under the device directory until SIGINT or SIGTERM.
#include "platform/codepage/codepage.h"
#include "platform/device/device.h"
#include "platform/registry/registry.h"
#include "qxd/core.h"
#include "qxd/enforcer.h"
#include "qxd/fusebackend.h"
#include "qxd/loader.h"
#include "qxd/server.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <sys/resource.h>
#include <iostream>
#include <unistd.h>
#include <vector>

namespace {

int g_stopPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(g_stopPipe[1], &c, 1);
}

void Usage(std::ostream &out)
{
    out << "Usage: qxd-engine [options]\n"
           "Serves the protection engine's devices (QXDAnsi, QXDUni and their Global spellings)\n"
           "as Unix-domain sockets in the device directory, until SIGINT or SIGTERM.\n"
           "\n"
           "Options:\n"
           "  --help               show this text\n"
           "  --device-dir DIR     serve in DIR (default: $VELLAMORIX_DEVICE_DIR, else\n"
           "                       /run/vellamorix when a system engine serves it, else\n"
           "                       $XDG_RUNTIME_DIR/vellamorix, else /run/vellamorix as root,\n"
           "                       else /tmp/vellamorix-<uid>)\n"
           "  --group NAME         serve the members of group NAME too: the device folder\n"
           "                       becomes 0750 and the sockets 0660, of that group (the\n"
           "                       system engine; without it they are private to its user)\n"
           "  --show-device-dir    print the device directory it would serve and exit (by\n"
           "                       default the one clients choose)\n"
           "  --credential TEXT    the credential every request must carry (UTF-8 text;\n"
           "                       default \"Mirok Dune Sentinel\")\n"
           "  --no-load            start with no entries instead of those kept in the registry\n"
           "                       store ($VELLAMORIX_REGISTRY)\n"
           "  --memory ROAD        how clients' memory is reached (the results are the same):\n"
           "                       auto (default): shared when the client offers its arena,\n"
           "                       else the faster of kernel calls and its stub, measured at its\n"
           "                       first request; shared: shared, else the stub; kernel: the\n"
           "                       kernel's cross-process calls where permitted, else the stub;\n"
           "                       stub: only through the client's device stub\n"
           "  --stub-only          the same as --memory stub\n"
           "  --any-client         serve every process that reaches the devices (tests, tools\n"
           "                       that speak the wire themselves); by default only the\n"
           "                       console and vxctl are served, known by the file they run\n"
           "  --no-enforce         keep and serve entries without enforcing them\n"
           "  --permissive         decide and record as usual, but deny nothing\n"
           "  --verbose            report every request\n";
}

} // namespace

int main(int argc, char **argv)
{
    // Each change rebuilds the policy on whichever thread asks; with an allocator arena per
    // thread the freed rebuilds stay resident in each (a fifth more at 1,000 entries).
    ::mallopt(M_ARENA_MAX, 2);
    std::string dir = vx::device::DeviceDirectory();
    std::string credential = vx::qxd::kDefaultCredential;
    bool load = true, verbose = false;
    vx::qxd::MemoryRoad road = vx::qxd::MemoryRoad::Auto;
    bool enforce = true, permissive = false, anyClient = false;
    std::string groupName;
    bool show = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(std::cout);
            return 0;
        } else if (arg == "--device-dir" && i + 1 < argc) {
            dir = argv[++i];
        } else if (arg == "--group" && i + 1 < argc) {
            groupName = argv[++i];
        } else if (arg == "--show-device-dir") {
            show = true;
        } else if (arg == "--credential" && i + 1 < argc) {
            credential = argv[++i];
        } else if (arg == "--no-load") {
            load = false;
        } else if (arg == "--stub-only") {
            road = vx::qxd::MemoryRoad::Stub;
        } else if (arg == "--memory" && i + 1 < argc) {
            const std::string value = argv[++i];
            if (value == "auto")
                road = vx::qxd::MemoryRoad::Auto;
            else if (value == "shared")
                road = vx::qxd::MemoryRoad::Shared;
            else if (value == "kernel")
                road = vx::qxd::MemoryRoad::Kernel;
            else if (value == "stub")
                road = vx::qxd::MemoryRoad::Stub;
            else {
                std::cerr << "qxd-engine: --memory takes auto, shared, kernel or stub, not " << value << "\n\n";
                Usage(std::cerr);
                return 2;
            }
        } else if (arg == "--any-client") {
            anyClient = true;
        } else if (arg == "--no-enforce") {
            enforce = false;
        } else if (arg == "--permissive") {
            permissive = true;
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            std::cerr << "qxd-engine: unknown or incomplete option: " << arg << "\n\n";
            Usage(std::cerr);
            return 2;
        }
    }
    if (dir.empty()) {
        std::cerr << "qxd-engine: empty device directory\n";
        return 2;
    }
    if (show) {
        std::cout << dir << std::endl;
        return 0;
    }

    gid_t group = gid_t(-1);
    if (!groupName.empty()) {
        struct group entry{}, *found = nullptr;
        std::vector<char> buffer(16384);
        if (::getgrnam_r(groupName.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
            std::cerr << "qxd-engine: no group named " << groupName << " (--group)\n";
            return 2;
        }
        group = found->gr_gid;
    }

    auto engine = std::make_shared<vx::qxd::Engine>();
    if (!engine->SetCredential(vx::codepage::Utf8ToAnsi(credential), vx::codepage::Utf8ToUtf16(credential))) {
        std::cerr << "qxd-engine: the credential must be 1 to " << vx::qxd::kMaxPasswordLen << " characters\n";
        return 2;
    }

    if (::pipe2(g_stopPipe, O_CLOEXEC) != 0) {
        std::perror("qxd-engine: pipe");
        return 1;
    }
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Every view and every object the kernel knows through the views holds a descriptor: take
    // all the system allows (a service's soft limit is often 1,024).
    struct rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    vx::qxd::Server server(engine, dir, std::cerr, verbose, road);
    if (group != gid_t(-1))
        server.ShareWithGroup(group);
    if (anyClient) {
        server.AllowAnyClient();
        std::cerr << "qxd-engine: serving any client (--any-client): every process that reaches the devices can "
                     "change the entries and switch protection off"
                  << std::endl;
    }
    std::string error;
    if (!server.Start(error)) {
        std::cerr << "qxd-engine: " << error << "\n";
        return 1;
    }

    // The enforcer first: it removes what a dead engine left mounted, which could otherwise
    // stand in the way of the registry store.
    std::shared_ptr<vx::qxd::Enforcer> enforcer;
    if (!enforce) {
        std::cerr << "qxd-engine: not enforcing (--no-enforce): entries are kept and served, no operation is denied" << std::endl;
    } else {
        std::string reason;
        // The views of a dead engine of the same device folder are found by this name.
        char real[PATH_MAX];
        const std::string place = ::realpath(dir.c_str(), real) ? real : dir;
        const std::string store = vx::registry::StorePath();
        if (auto backend = vx::qxd::FuseBackend::Create("qxd:" + place, place, reason, store))
            enforcer = vx::qxd::Enforcer::Create(engine, {dir, store, permissive}, std::cerr, std::move(backend));
        if (!enforcer)
            std::cerr << "qxd-engine: not enforcing any operation: " << reason
                      << "; entries are kept and served, nothing is denied" << std::endl;
    }

    if (load)
        vx::qxd::LoadStoredEntries(*engine, std::cerr);
    else
        std::cerr << "qxd-engine: not loading stored entries (--no-load)" << std::endl;
    // Protection is on from the start, so a restarted machine is protected before any console runs.
    engine->SetActive(true);

    if (enforcer) {
        std::cerr << "qxd-engine: enforcing with " << enforcer->BackendName()
                  << (permissive ? " in permissive mode: decisions are recorded, nothing is denied" : "")
                  << "; denials are recorded in " << enforcer->log().path() << std::endl;
        for (const std::string &limit : enforcer->Limits())
            std::cerr << "qxd-engine: not enforced on this kernel: " << limit << std::endl;
        enforcer->Start();
    }
    std::cerr << "qxd-engine: ready" << std::endl;

    server.Run(g_stopPipe[0]);
    if (enforcer)
        enforcer->Stop();
    std::cerr << "qxd-engine: stopping; " << engine->Count() << " entr"
              << (engine->Count() == 1 ? "y" : "ies") << " dropped from memory" << std::endl;
    server.Stop();
    std::cerr << "qxd-engine: stopped" << std::endl;
    return 0;
}
