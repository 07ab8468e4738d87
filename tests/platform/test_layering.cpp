// The platform layer stands on its own: none of its sources includes a header from above it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

TEST(PlatformLayer, IncludesNothingAboveIt)
{
    const fs::path root = fs::path(VX_SOURCE_DIR) / "platform";
    ASSERT_TRUE(fs::is_directory(root)) << root;
    // The quoted name of an #include line; empty for any other line.
    auto included = [](const std::string &line) -> std::string {
        std::size_t at = line.find_first_not_of(" \t");
        if (at == std::string::npos || line[at] != '#')
            return "";
        at = line.find_first_not_of(" \t", at + 1);
        if (at == std::string::npos || line.compare(at, 7, "include") != 0)
            return "";
        const std::size_t open = line.find_first_not_of(" \t", at + 7);
        if (open == std::string::npos || line[open] != '"')
            return "";
        const std::size_t close = line.find('"', open + 1);
        return close == std::string::npos ? "" : line.substr(open + 1, close - open - 1);
    };
    std::vector<std::string> upward;
    int files = 0, includes = 0;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        const std::string ext = entry.path().extension().string();
        if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp"))
            continue;
        ++files;
        std::ifstream in(entry.path());
        std::string line;
        for (int n = 1; std::getline(in, line); ++n) {
            const std::string name = included(line);
            if (name.empty())
                continue;
            ++includes;
            if (name.rfind("platform/", 0) != 0)
                upward.push_back(fs::relative(entry.path(), VX_SOURCE_DIR).string() + ":" + std::to_string(n) + ": " +
                                 name);
        }
    }
    EXPECT_GT(files, 20);
    EXPECT_GT(includes, 20);
    for (const auto &u : upward)
        ADD_FAILURE() << u;
}

} // namespace
