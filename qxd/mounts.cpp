#include "qxd/mounts.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace vx::qxd {

std::string UnescapeMountField(const std::string &field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
            field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
            out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
            continue;
        }
        out += field[i];
    }
    return out;
}

std::vector<MountRecord> ReadMountTable(const std::string &file)
{
    std::vector<MountRecord> table;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        // id parent major:minor root point options [optional fields...] - fstype source superoptions
        std::vector<std::string> f;
        size_t pos = 0;
        while (pos <= line.size()) {
            size_t end = line.find(' ', pos);
            if (end == std::string::npos)
                end = line.size();
            f.push_back(line.substr(pos, end - pos));
            pos = end + 1;
        }
        const auto dash = std::find(f.begin() + std::min<size_t>(f.size(), 6), f.end(), "-");
        if (f.size() < 6 || dash == f.end() || dash + 2 >= f.end())
            continue;
        MountRecord m;
        m.id = std::atoi(f[0].c_str());
        m.parent = std::atoi(f[1].c_str());
        if (std::sscanf(f[2].c_str(), "%u:%u", &m.major, &m.minor) != 2)
            continue;
        m.root = UnescapeMountField(f[3]);
        m.point = UnescapeMountField(f[4]);
        m.options = f[5];
        m.fstype = *(dash + 1);
        m.source = UnescapeMountField(*(dash + 2));
        table.push_back(std::move(m));
    }
    return table;
}

} // namespace vx::qxd
