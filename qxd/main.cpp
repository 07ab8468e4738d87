// qxd-engine: the protection engine daemon. Serves the engine's devices as Unix-domain sockets
// under the device directory until SIGINT or SIGTERM.
#include "platform/codepage/codepage.h"
#include "platform/device/device.h"
#include "qxd/core.h"
#include "qxd/loader.h"
#include "qxd/server.h"

#include <QString>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

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
           "  --no-enforce         keep and serve entries without enforcing them\n"
           "  --permissive         decide and record as usual, but deny nothing\n"
           "  --verbose            report every request\n";
}

} // namespace

int main(int argc, char **argv)
{
    std::string dir = vx::device::DeviceDirectory();
    std::string credential = vx::qxd::kDefaultCredential;
    bool load = true, verbose = false;
    vx::qxd::MemoryRoad road = vx::qxd::MemoryRoad::Auto;
    [[maybe_unused]] bool enforce = true, permissive = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(std::cout);
            return 0;
        } else if (arg == "--device-dir" && i + 1 < argc) {
            dir = argv[++i];
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

    auto engine = std::make_shared<vx::qxd::Engine>();
    const QString text = QString::fromUtf8(credential.data(), qsizetype(credential.size()));
    if (!engine->SetCredential(vx::codepage::ToAnsi(text), text.toStdU16String())) {
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

    vx::qxd::Server server(engine, dir, std::cerr, verbose, road);
    std::string error;
    if (!server.Start(error)) {
        std::cerr << "qxd-engine: " << error << "\n";
        return 1;
    }
    if (load)
        vx::qxd::LoadStoredEntries(*engine, std::cerr);
    else
        std::cerr << "qxd-engine: not loading stored entries (--no-load)" << std::endl;
    std::cerr << "qxd-engine: ready" << std::endl;

    server.Run(g_stopPipe[0]);
    std::cerr << "qxd-engine: stopping; " << engine->Count() << " entr"
              << (engine->Count() == 1 ? "y" : "ies") << " dropped from memory" << std::endl;
    server.Stop();
    std::cerr << "qxd-engine: stopped" << std::endl;
    return 0;
}
