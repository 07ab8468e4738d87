// The platform layer stands on its own: none of its sources includes a header from above it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

TEST(PlatformLayer, IncludesNothingAboveIt)
{
    const fs::path root = fs::path(VX_SOURCE_DIR) / "platform";
    ASSERT_TRUE(fs::is_directory(root)) << root;
    const std::regex include(R"re(^\s*#\s*include\s*"([^"]+)")re");
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
            std::smatch m;
            if (!std::regex_search(line, m, include))
                continue;
            ++includes;
            if (m[1].str().rfind("platform/", 0) != 0)
                upward.push_back(fs::relative(entry.path(), VX_SOURCE_DIR).string() + ":" + std::to_string(n) + ": " +
                                 m[1].str());
        }
    }
    EXPECT_GT(files, 20);
    EXPECT_GT(includes, 20);
    for (const auto &u : upward)
        ADD_FAILURE() << u;
}

} // namespace
