// Listing a folder through the shell namespace against a bare readdir and lstat of the same
// folder, both in every run: enumerate, then the in-folder name and the attributes of each item;
// the ratio's median over the runs next to its minimum and maximum. Also the memory of one
// folder node per item, as the list view keeps them.
//
//   shell_bench [files] [runs]    (defaults 100000 and 5, at least 5 runs; build without
//                                  sanitizers for meaningful numbers)
#include "bench/shell_bench.h"
#include "bench/spread.h"
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
    const int runs = argc > 2 ? std::max(5, std::atoi(argv[2])) : 5;
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

    vx::bench::Spread bare, shell, ratio;
    size_t bareCount = 0, shellCount = 0, nameBytes = 0;
    for (int run = 0; run < runs; ++run) {
        nameBytes = 0;
        auto t0 = Clock::now();
        bareCount = vx::bench::BareListing(dir);
        auto t1 = Clock::now();
        shellCount = Namespace(intf, nameBytes);
        auto t2 = Clock::now();
        bare.Add(Seconds(t0, t1));
        shell.Add(Seconds(t1, t2));
        ratio.Add(Seconds(t1, t2) / Seconds(t0, t1));
    }
    std::printf("bare readdir+lstat, s : %zu items, %s\n", bareCount, bare.Text("%.3f").c_str());
    std::printf("namespace listing, s  : %zu items, %s (names %zu bytes)\n", shellCount, shell.Text("%.3f").c_str(),
                nameBytes);
    std::printf("ratio namespace/bare  : %s (goal: at most 3.00)\n", ratio.Text("%.2f").c_str());

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
