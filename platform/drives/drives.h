// SPDX-License-Identifier: GPL-3.0-or-later
// The drive map: Windows drive letters over POSIX folders. VELLAMORIX_DRIVES holds entries
// "X:=/path" separated by commas (for example "C:=/,D:=/srv"); the default is "C:=/".
// Windows paths (CP949, "C:\a\b") and POSIX paths (raw bytes) convert both ways.
// Header-only, without Qt: the shell namespace, the opener (platform/exec) and the engine map
// paths with it.
#pragma once

#include "platform/codepage/codepage.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx::shell {

struct Drive {
    char letter; // 'A'..'Z'
    std::string root; // POSIX folder, no trailing slash except for "/"
};

inline std::vector<Drive> ParseDriveMap(std::string_view text)
{
    std::vector<Drive> drives;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(',', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view entry = text.substr(pos, end - pos);
        pos = end + 1;
        while (!entry.empty() && entry.front() == ' ')
            entry.remove_prefix(1);
        if (entry.size() < 4 || entry[1] != ':' || entry[2] != '=' || entry[3] != '/')
            continue;
        const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(entry[0])));
        if (letter < 'A' || letter > 'Z')
            continue;
        std::string root(entry.substr(3));
        while (root.size() > 1 && root.back() == '/')
            root.pop_back();
        if (std::any_of(drives.begin(), drives.end(), [&](const Drive &d) { return d.letter == letter; }))
            continue;
        drives.push_back({letter, root});
    }
    std::sort(drives.begin(), drives.end(), [](const Drive &a, const Drive &b) { return a.letter < b.letter; });
    return drives;
}

// The drives of the current map, sorted by letter.
inline std::vector<Drive> Drives()
{
    const char *env = std::getenv("VELLAMORIX_DRIVES");
    std::vector<Drive> drives = ParseDriveMap(env && *env ? env : "C:=/");
    if (drives.empty())
        drives.push_back({'C', "/"});
    return drives;
}

inline std::optional<Drive> FindDrive(char letter)
{
    letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    for (const Drive &d : Drives())
        if (d.letter == letter)
            return d;
    return std::nullopt;
}

// True for drives whose folder lies under a removable-media mount place.
inline bool IsRemovableRoot(const std::string &root)
{
    for (std::string_view prefix : {"/media/", "/run/media/"})
        if (root.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

// "C:\a\b", "C:/a/b", "C:" -> the POSIX path (raw bytes, UTF-8 names). "." and ".." are resolved
// without leaving the drive's folder. nullopt for texts that are no drive path or unmapped drives.
inline std::optional<std::string> WindowsToPosix(std::string_view ansi)
{
    if (ansi.size() < 2 || ansi[1] != ':' || !std::isalpha(static_cast<unsigned char>(ansi[0])))
        return std::nullopt;
    const std::optional<Drive> drive = FindDrive(ansi[0]);
    if (!drive)
        return std::nullopt;
    std::string_view rest = ansi.substr(2);
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t end = pos;
        // Split on '\' and '/', stepping over the trail bytes of CP949 characters.
        while (end < rest.size() && rest[end] != '\\' && rest[end] != '/')
            end += vx::codepage::AnsiCharLength(static_cast<unsigned char>(rest[end]));
        end = std::min(end, rest.size());
        std::string_view part = rest.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(vx::codepage::AnsiToUtf8(part));
    }
    std::string path = drive->root;
    for (const std::string &part : parts) {
        if (path.empty() || path.back() != '/')
            path += '/';
        path += part;
    }
    return path;
}

// A POSIX path (raw bytes) -> "C:\a\b" (CP949) through the drive whose folder holds it (the
// deepest such folder). nullopt when no drive holds it.
inline std::optional<std::string> PosixToWindows(std::string_view posix)
{
    if (posix.empty() || posix.front() != '/')
        return std::nullopt;
    const Drive *best = nullptr;
    std::vector<Drive> drives = Drives();
    for (const Drive &d : drives) {
        const bool holds = d.root == "/" || (posix.compare(0, d.root.size(), d.root) == 0 &&
                                             (posix.size() == d.root.size() || posix[d.root.size()] == '/'));
        if (holds && (!best || d.root.size() > best->root.size()))
            best = &d;
    }
    if (!best)
        return std::nullopt;
    std::string_view rest = best->root == "/" ? posix : posix.substr(best->root.size());
    std::string out;
    out += best->letter;
    out += ":\\";
    std::string ansi = vx::codepage::Utf8ToAnsi(rest);
    size_t start = 0;
    while (start < ansi.size() && ansi[start] == '/')
        ++start;
    for (size_t i = start; i < ansi.size(); i += vx::codepage::AnsiCharLength(static_cast<unsigned char>(ansi[i]))) {
        if (ansi[i] == '/') {
            if (out.back() != '\\')
                out += '\\';
        } else {
            const int n = vx::codepage::AnsiCharLength(static_cast<unsigned char>(ansi[i]));
            out.append(ansi, i, static_cast<size_t>(n));
        }
    }
    if (out.size() > 3 && out.back() == '\\')
        out.pop_back();
    return out;
}

} // namespace vx::shell
