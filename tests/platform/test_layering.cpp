// SPDX-License-Identifier: GPL-3.0-or-later
// The layers: each top folder includes only the folders its row of the table allows. A folder
// with sources that the table does not name fails too, so a new folder is placed explicitly.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Which top folders each top folder may include, besides itself.
const std::map<std::string, std::set<std::string>> kAllowed = {
    {"contract", {}},
    {"platform", {}},
    {"engine", {"contract", "platform"}},
    {"qxd", {"contract", "platform"}},
    {"password", {"platform"}},
    {"shellctrls", {"platform"}},
    {"editor", {"engine", "shellctrls", "platform"}},
    {"console", {"editor", "password", "shellctrls", "engine", "platform"}},
    {"tools", {"console", "editor", "password", "shellctrls", "engine", "platform"}},
    {"bench", {"console", "editor", "password", "shellctrls", "engine", "qxd", "contract", "platform"}},
    {"tests", {"console", "editor", "password", "shellctrls", "engine", "qxd", "contract", "platform", "tools"}},
};

// The name between quotes or angle brackets of an #include line; empty for any other line.
std::string Included(const std::string &line)
{
    std::size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos || line[at] != '#')
        return "";
    at = line.find_first_not_of(" \t", at + 1);
    if (at == std::string::npos || line.compare(at, 7, "include") != 0)
        return "";
    const std::size_t open = line.find_first_not_of(" \t", at + 7);
    if (open == std::string::npos || (line[open] != '"' && line[open] != '<'))
        return "";
    const std::size_t close = line.find(line[open] == '"' ? '"' : '>', open + 1);
    return close == std::string::npos ? "" : line.substr(open + 1, close - open - 1);
}

// The top folder an include names, seen from a file in top folder `from` ("" when it names none:
// a system header, or a file beside the includer). Names are looked up from the top first, as
// the compiler does; tests also include their own folders by name ("support/enforcing.h").
std::string Target(const fs::path &root, const std::string &from, const std::string &name)
{
    const std::size_t slash = name.find('/');
    if (slash == std::string::npos)
        return "";
    const std::string first = name.substr(0, slash);
    if (kAllowed.count(first) && fs::exists(root / name))
        return first;
    if (from == "tests" && fs::exists(root / "tests" / name))
        return "tests";
    return kAllowed.count(first) ? first : "";
}

// Every include of the tree that crosses folders, as "file:line: name (from -> to)" when the
// table forbids it; `files` and `crossings` count what was read.
std::vector<std::string> Violations(const fs::path &root, int &files, int &crossings,
                                    std::set<std::pair<std::string, std::string>> &seen)
{
    std::vector<std::string> bad;
    for (const auto &top : fs::directory_iterator(root)) {
        const std::string folder = top.path().filename().string();
        if (!top.is_directory() || folder.empty() || folder[0] == '.' || folder.rfind("build", 0) == 0)
            continue;
        for (const auto &entry : fs::recursive_directory_iterator(top.path())) {
            const std::string ext = entry.path().extension().string();
            if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp"))
                continue;
            ++files;
            const std::string where = fs::relative(entry.path(), root).string();
            const auto row = kAllowed.find(folder);
            if (row == kAllowed.end()) {
                bad.push_back(where + ": folder " + folder + " has no row in the table");
                continue;
            }
            std::ifstream in(entry.path());
            std::string line;
            for (int n = 1; std::getline(in, line); ++n) {
                const std::string to = Target(root, folder, Included(line));
                if (to.empty() || to == folder)
                    continue;
                ++crossings;
                seen.insert({folder, to});
                if (!row->second.count(to))
                    bad.push_back(where + ":" + std::to_string(n) + ": " + Included(line) + " (" + folder + " -> " +
                                  to + ")");
            }
        }
    }
    return bad;
}

TEST(Layering, EveryIncludeFollowsTheTable)
{
    const fs::path root(VX_SOURCE_DIR);
    ASSERT_TRUE(fs::is_directory(root / "platform")) << root;
    int files = 0, crossings = 0;
    std::set<std::pair<std::string, std::string>> seen;
    for (const auto &v : Violations(root, files, crossings, seen))
        ADD_FAILURE() << v;
    // The scan read the tree: the layers' known edges are among those it found.
    EXPECT_GT(files, 150);
    EXPECT_GT(crossings, 150);
    for (const auto &edge : std::vector<std::pair<std::string, std::string>>{{"console", "engine"},
                                                                             {"engine", "contract"},
                                                                             {"qxd", "contract"},
                                                                             {"qxd", "platform"},
                                                                             {"editor", "shellctrls"},
                                                                             {"tests", "qxd"}})
        EXPECT_TRUE(seen.count(edge)) << edge.first << " -> " << edge.second;
}

TEST(Layering, ForbiddenIncludesAreFound)
{
    // A tree of its own with one allowed and three forbidden edges, and a folder the table
    // does not name.
    const fs::path root = fs::temp_directory_path() / ("vx-layering-" + std::to_string(::getpid()));
    fs::remove_all(root);
    auto write = [&](const std::string &file, const std::string &text) {
        fs::create_directories((root / file).parent_path());
        std::ofstream(root / file) << text;
    };
    write("platform/a/a.h", "#pragma once\n#include <string>\n#include \"platform/b/b.h\"\n");
    write("platform/b/b.h", "#pragma once\n  #  include \"engine/fprec.h\"\n");
    write("qxd/core.cpp", "#include \"qxd/core.h\"\n#include \"contract/qxd.h\"\n#include <engine/protector.h>\n");
    write("engine/fprec.h", "#include \"console/main.h\"\n#include \"platform/a/a.h\"\n");
    write("tests/support/x.h", "#include \"support/y.h\"\n#include \"bench/spread.h\"\n");
    write("extra/x.cpp", "int x;\n");
    int files = 0, crossings = 0;
    std::set<std::pair<std::string, std::string>> seen;
    const std::vector<std::string> bad = Violations(root, files, crossings, seen);
    fs::remove_all(root);
    const std::vector<std::string> expected = {
        "platform/b/b.h:2: engine/fprec.h (platform -> engine)", "qxd/core.cpp:3: engine/protector.h (qxd -> engine)",
        "engine/fprec.h:1: console/main.h (engine -> console)",  "tests/support/x.h:2: bench/spread.h (tests -> bench)",
        "extra/x.cpp: folder extra has no row in the table",
    };
    EXPECT_EQ(files, 6);
    EXPECT_EQ(crossings, 6);
    EXPECT_EQ(std::set<std::string>(bad.begin(), bad.end()), std::set<std::string>(expected.begin(), expected.end()));
}

} // namespace
