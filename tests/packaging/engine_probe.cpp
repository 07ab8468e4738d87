// engine_probe: what one user reaches of the engine, for the service test.
//   engine_probe count            opens the engine's device as the console does and asks for the
//                                 number of entries: "count N" (exit 0), or "open error E" /
//                                 "count error" (exit 1)
//   engine_probe serves DIR GROUP "serves" (exit 0) when a system engine of group GROUP serves
//                                 DIR to this user, else "does not serve" (exit 1)
#include "engine/protector.h"
#include "platform/device/device.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "count") == 0) {
        HANDLE h = CreateFileA("\\\\.\\Global\\QXDAnsi", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            std::printf("open error %u\n", unsigned(GetLastError()));
            return 1;
        }
        CloseHandle(h);
        TVeskFileProtector protector(nullptr);
        uint32_t count = 0;
        if (!protector.GetEntryCount(count)) {
            std::printf("count error\n");
            return 1;
        }
        std::printf("count %u\n", unsigned(count));
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "serves") == 0) {
        const bool serves = vx::device::SystemEngineServes(argv[2], argv[3]);
        std::printf(serves ? "serves\n" : "does not serve\n");
        return serves ? 0 : 1;
    }
    std::fprintf(stderr, "usage: engine_probe count | engine_probe serves DIR GROUP\n");
    return 2;
}
