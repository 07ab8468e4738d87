// A well-formed session for the engine's fuzz targets to start from, in the request target's
// input format: byte 0 = after how many memory accesses the caller "disconnects" (0: never);
// bytes 1-2 = length of the caller memory image placed at 0x100; then the image; then requests
// of 18 bytes: channel, code selector, inAddr, inLen, outAddr, outLen (32-bit little-endian).
// The credential lies at 0x10 (ANSI, zero-terminated) and 0x40 (UTF-16, zero-terminated).
#pragma once

#include "qxd/core.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace vx::qxd::fuzz {

// Request codes by their selector.
inline constexpr uint32_t kCodes[] = {kAddEntry, kDeleteEntry, kStart, kStop, kClearEntries, kGetEntry, kModifyEntry, kGetEntryCount};

inline void Put32At(std::string &s, std::size_t off, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s[off + i] = char(v >> (8 * i));
}

// Add, count, read back in two passes, modify, delete, start, stop, the Unicode count.
inline std::string SeedSession(uint8_t failAfter)
{
    std::string image(0x200, '\0');
    auto at = [](uint32_t addr) { return std::size_t(addr - 0x100); };
    // Add/modify block at 0x100: "C:\a", "", "*", "" with the credential at 0x10.
    Put32At(image, at(0x100) + 0, 84 + 5 + 19 + 4 + 1);
    Put32At(image, at(0x100) + 4, 4);
    Put32At(image, at(0x100) + 12, 1);
    Put32At(image, at(0x100) + 20, 19);
    Put32At(image, at(0x100) + 24, 0x804);
    Put32At(image, at(0x100) + 36, 0x160);
    Put32At(image, at(0x100) + 40, 0x172);
    Put32At(image, at(0x100) + 44, 0x170);
    Put32At(image, at(0x100) + 48, 0x172);
    Put32At(image, at(0x100) + 52, 0x10);
    image[at(0x100) + 56] = 1;
    std::memcpy(&image[at(0x160)], "C:\\a", 4);
    image[at(0x170)] = '*';
    // First read-back block at 0x180 (all lengths 0), second at 0x200 with room.
    Put32At(image, at(0x180) + 20, 19);
    Put32At(image, at(0x180) + 52, 0x10);
    Put32At(image, at(0x200) + 4, 4);
    Put32At(image, at(0x200) + 12, 1);
    Put32At(image, at(0x200) + 20, 19);
    Put32At(image, at(0x200) + 36, 0x260);
    Put32At(image, at(0x200) + 44, 0x270);
    Put32At(image, at(0x200) + 52, 0x10);

    std::string seed;
    seed.push_back(char(failAfter));
    seed.push_back(char(image.size() & 0xFF));
    seed.push_back(char(image.size() >> 8));
    seed += image;
    auto request = [&](uint8_t channel, uint8_t code, uint32_t inAddr, uint32_t inLen, uint32_t outAddr, uint32_t outLen) {
        std::string r(18, '\0');
        r[0] = char(channel);
        r[1] = char(code);
        Put32At(r, 2, inAddr);
        Put32At(r, 6, inLen);
        Put32At(r, 10, outAddr);
        Put32At(r, 14, outLen);
        seed += r;
    };
    request(0, 0, 0x100, 84, 0, 0);    // add
    request(0, 0, 0x100, 84, 0, 0);    // add
    request(0, 7, 0x10, 19, 0, 0);     // count
    request(0, 5, 0, 0, 0x180, 84);    // get, first pass
    request(0, 5, 0, 1, 0x200, 84);    // get, second pass
    request(0, 6, 0x100, 84, 0, 1);    // modify 1
    request(0, 1, 0x10, 19, 0, 0);     // delete 0
    request(0, 2, 0x10, 19, 0, 0);     // start
    request(1, 7, 0x40, 19, 0, 0);     // Unicode count
    request(1, 3, 0x40, 19, 0, 0);     // Unicode stop
    request(0, 4, 0x10, 19, 0, 0);     // clear
    return seed;
}

} // namespace vx::qxd::fuzz
