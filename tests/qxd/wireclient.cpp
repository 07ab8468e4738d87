// A client of the engine that is none of the project's programs, for the tamper tests:
// "wireclient REQUEST..." sends each request (stop, clear, delete, add:PATH, count) through the
// engine client and prints one line per request: its name and 0, or the error the engine
// answered. The tests copy it under other names and into other places.
#include "engine/fprec.h"
#include "engine/protector.h"
#include "platform/device/arena.h"
#include "platform/device/device.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

// STOP sent as it is, with the default credential, whatever the client believes the state is.
uint32_t Stop()
{
    const HANDLE device = CreateFileA("\\\\.\\Global\\QXDAnsi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return GetLastError();
    vx::device::ArenaBuffer password(sizeof QXD_DEFAULT_PASSWORD);
    std::memcpy(password.data(), QXD_DEFAULT_PASSWORD, sizeof QXD_DEFAULT_PASSWORD);
    DWORD returned = 0;
    const bool done = DeviceIoControl(device, IOCTL_QXD_STOP, password.data(), DWORD(std::strlen(QXD_DEFAULT_PASSWORD)),
                                      nullptr, 0, &returned, nullptr);
    const uint32_t error = done ? 0 : GetLastError();
    CloseHandle(device);
    return error;
}

} // namespace

int main(int argc, char **argv)
{
    // Each request on a connection of its own: the engine drops a client it does not serve.
    for (int i = 1; i < argc; ++i) {
        const std::string request = argv[i];
        uint32_t error = 0;
        auto protector = std::make_unique<TVeskFileProtector>(
            nullptr, [&](TVeskFileProtector *, uint32_t, uint32_t code) { error = code ? code : 0xFFFFFFFF; }, nullptr);
        if (!protector->Success()) {
            std::printf("open %u\n", error);
            return 1;
        }
        if (request == "stop") {
            error = Stop();
        } else if (request == "clear") {
            protector->SetClearOnDestroy(true);
            protector.reset();
        } else if (request == "delete") {
            protector->DeleteEntry(0);
        } else if (request.rfind("add:", 0) == 0) {
            protector->AddEntry(FP_PRESET_NOACCESS, request.substr(4), "", "*", "", nullptr, 0, nullptr, 0, nullptr, 1);
        } else if (request == "count") {
            uint32_t count = 0;
            if (protector->GetEntryCount(count) && !error) {
                std::printf("count %u\n", count);
                continue;
            }
        } else {
            std::fprintf(stderr, "wireclient: unknown request %s\n", request.c_str());
            return 2;
        }
        std::printf("%s %u\n", request.c_str(), error);
    }
    std::fflush(stdout);
    return 0;
}
