// The platform layer stands on its own: none of its sources includes a header from above it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The quoted header of an #include line, or "" for any other line.
std::string QuotedInclude(const std::string &line)
{
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] != '#')
        return "";
    i = line.find_first_not_of(" \t", i + 1);
    if (i == std::string::npos || line.compare(i, 7, "include") != 0)
        return "";
    i = line.find_first_not_of(" \t", i + 7);
    if (i == std::string::npos || line[i] != '"')
        return "";
    const size_t end = line.find('"', i + 1);
    return end == std::string::npos ? "" : line.substr(i + 1, end - i - 1);
}

TEST(PlatformLayer, IncludesNothingAboveIt)
{
    const fs::path root = fs::path(VX_SOURCE_DIR) / "platform";
    ASSERT_TRUE(fs::is_directory(root)) << root;
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
            const std::string header = QuotedInclude(line);
            if (header.empty())
                continue;
            ++includes;
            if (header.rfind("platform/", 0) != 0)
                upward.push_back(fs::relative(entry.path(), VX_SOURCE_DIR).string() + ":" + std::to_string(n) + ": " + header);
        }
    }
    EXPECT_GT(files, 20);
    EXPECT_GT(includes, 20);
    for (const auto &u : upward)
        ADD_FAILURE() << u;
}

} // namespace
