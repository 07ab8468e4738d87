// Listing a folder through the shell namespace against a bare readdir and lstat of the same
// folder, in the same run: enumerate, then the in-folder name and the attributes of each item.
// Also the memory of one folder node per item, as the list view keeps them.
//
//   shell_bench [files]     (default 100000; build without sanitizers for meaningful numbers)
#include "bench/shell_bench.h"
#include "shellctrls/ShellFolder.h"

#include <QString>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using vx::bench::Clock;
using vx::bench::Seconds;

size_t Namespace(IShellFolder *folder, size_t &nameBytes)
{
    size_t count = 0;
    ComPtr<IEnumIDList> e;
    if (folder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS | SHCONTF_INCLUDEHIDDEN, e.Put()) != S_OK)
        return 0;
    PItemIDList item = nullptr;
    ULONG fetched = 0;
    while (e->Next(1, &item, &fetched) == S_OK) {
        nameBytes += ItemNameOf(folder, item, SHGDN_INFOLDER).size();
        DWORD flags = SFGAO_FOLDER | SFGAO_FILESYSTEM | SFGAO_CANRENAME | SFGAO_GHOSTED | SFGAO_READONLY;
        LPCITEMIDLIST one = item;
        folder->GetAttributesOf(1, &one, &flags);
        count += (flags & SFGAO_FILESYSTEM) != 0;
        FreeIdList(item);
    }
    return count;
}

} // namespace

int main(int argc, char **argv)
{
    const long files = argc > 1 ? std::atol(argv[1]) : 100000;
    char pattern[] = "/tmp/vx-shell-bench-XXXXXX";
    const std::string root = ::mkdtemp(pattern);
    const std::string dir = root + "/t/list";
    std::filesystem::create_directories(dir);
    std::filesystem::create_directories(root + "/home");
    ::setenv("HOME", (root + "/home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/home/.config").c_str(), 1);
    ::setenv("VELLAMORIX_DRIVES", ("C:=/,T:=" + root + "/t").c_str(), 1);
    std::printf("creating %ld files in %s\n", files, dir.c_str());
    for (long i = 0; i < files; ++i) {
        const std::string name = dir + "/file_" + std::to_string(i) + (i % 10 == 0 ? ".txt" : ".dat");
        const int fd = ::open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd >= 0)
            ::close(fd);
    }

    TRoot path = "T:\\list";
    TShellFolder *folder = ResolveRoot(nullptr, "", path);
    IShellFolder *intf = folder->FolderIntf();

    double bare = 1e9, shell = 1e9;
    size_t bareCount = 0, shellCount = 0, nameBytes = 0;
    for (int round = 0; round < 3; ++round) {
        nameBytes = 0;
        auto t0 = Clock::now();
        bareCount = vx::bench::BareListing(dir);
        auto t1 = Clock::now();
        shellCount = Namespace(intf, nameBytes);
        auto t2 = Clock::now();
        bare = std::min(bare, Seconds(t0, t1));
        shell = std::min(shell, Seconds(t1, t2));
    }
    std::printf("bare readdir+lstat : %zu items, %.3f s\n", bareCount, bare);
    std::printf("namespace listing  : %zu items, %.3f s (names %zu bytes)\n", shellCount, shell, nameBytes);
    std::printf("ratio namespace/bare: %.2f (goal: at most 3.00)\n", bare > 0 ? shell / bare : 0.0);

    // Memory: one node per item, as a list view holds its entries.
    std::vector<TShellFolder *> nodes;
    nodes.reserve(static_cast<size_t>(files));
    const size_t before = vx::bench::HeapInUse();
    {
        ComPtr<IEnumIDList> e;
        intf->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, e.Put());
        PItemIDList item = nullptr;
        ULONG fetched = 0;
        while (e && e->Next(1, &item, &fetched) == S_OK) {
            nodes.push_back(new TShellFolder(folder, item, nullptr));
            FreeIdList(item);
        }
    }
    const size_t after = vx::bench::HeapInUse();
    if (!nodes.empty())
        std::printf("memory per node    : %.0f bytes (%zu nodes; item ID of \"file_12345.dat\": %zu bytes)\n",
                    double(after - before) / double(nodes.size()), nodes.size(), IdListSize(nodes.back()->ItemId()));
    for (TShellFolder *n : nodes)
        delete n;
    delete folder;
    ShellCtrlsShutdown();
    std::filesystem::remove_all(root);
    return 0;
}
