// Expanding a folder of many sub-folders in the shell tree against listing the same folder
// through the shell namespace alone (enumeration and the in-folder name of each item), both in
// every round, printed as the ratio's median over the rounds next to its minimum and maximum
// (goal: at most 2). Also the time to create and show the folder picker with its tree filled.
//
//   tree_bench [folders] [rounds]   (defaults 10000 and 5, at least 5 rounds; build without
//                                    sanitizers for meaningful numbers; runs on the offscreen
//                                    platform)
#include "bench/spread.h"
#include "editor/folder.h"
#include "shellctrls/ShellFolder.h"
#include "shellctrls/ShellTree.h"

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

size_t ListThroughNamespace(const std::string &win)
{
    ComPtr<IShellFolder> desktop = DesktopFolder();
    const std::u16string wide = QString::fromStdString(win).toStdU16String();
    ULONG eaten = static_cast<ULONG>(wide.size());
    ULONG attributes = 0;
    PItemIDList id = nullptr;
    if (desktop->ParseDisplayName(nullptr, nullptr, reinterpret_cast<LPCWSTR>(wide.c_str()), &eaten, &id, &attributes) != S_OK)
        return 0;
    ComPtr<IShellFolder> folder = BindSubfolder(desktop.Get(), id, nullptr);
    FreeIdList(id);
    if (!folder)
        return 0;
    ComPtr<IEnumIDList> items;
    if (folder->EnumObjects(nullptr, SHCONTF_FOLDERS, items.Put()) != S_OK)
        return 0;
    size_t count = 0;
    PItemIDList item = nullptr;
    ULONG fetched = 0;
    while (items->Next(1, &item, &fetched) == S_OK && item) {
        count += !ItemNameOf(folder.Get(), item, SHGDN_INFOLDER).empty();
        FreeIdList(item);
    }
    return count;
}

} // namespace

int main(int argc, char **argv)
{
    const int folders = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
    const int rounds = argc > 2 ? std::max(5, std::atoi(argv[2])) : 5;

    std::string pattern = (fs::temp_directory_path() / "vx-tree-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path base = pattern;
    for (const char *dir : {"home", "data", "config", "c/big", "d"})
        fs::create_directories(base / dir);
    setenv("HOME", (base / "home").c_str(), 1);
    setenv("XDG_DATA_HOME", (base / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (base / "config").c_str(), 1);
    setenv("VELLAMORIX_DRIVES", ("C:=" + (base / "c").string() + ",D:=" + (base / "d").string()).c_str(), 1);
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    for (int i = 0; i < folders; ++i)
        fs::create_directory(base / "c" / "big" / ("folder" + std::to_string(i)));

    int code = 0;
    {
        QApplication app(argc, argv);
        DesktopFolder();

        vx::bench::Spread listing, expanding, filling, drawing, ratio;
        size_t listed = 0;
        int shown = 0;
        for (int r = 0; r < rounds; ++r) {
            // Listing and expanding take turns at going first, so neither always finds the
            // other's work in the caches.
            double list = 0;
            auto listOnce = [&] {
                const auto l0 = Clock::now();
                listed = ListThroughNamespace("C:\\big");
                list = Seconds(l0, Clock::now());
            };
            if (r % 2 == 0)
                listOnce();

            TShellTreeView tree;
            tree.BeginLoad();
            tree.SetRoot("C:\\");
            tree.Loaded();
            tree.resize(300, 400);
            tree.show();
            app.processEvents();
            TShellTreeNode *big = tree.FirstNode() ? tree.FirstNode()->Child(0) : nullptr;
            if (!big) {
                std::fprintf(stderr, "no node for C:\\big\n");
                code = 1;
                break;
            }
            const auto e0 = Clock::now();
            tree.ExpandNode(big);
            const auto e1 = Clock::now();
            app.processEvents(); // lay out and paint the expanded rows
            const auto e2 = Clock::now();
            shown = big->childCount();
            if (r % 2 == 1)
                listOnce();
            listing.Add(list);
            filling.Add(Seconds(e0, e1));
            drawing.Add(Seconds(e1, e2));
            expanding.Add(Seconds(e0, e2));
            ratio.Add(Seconds(e0, e2) / list);
        }
        std::printf("folders: %d (listed %zu, nodes %d), rounds: %d\n", folders, listed, shown, rounds);
        std::printf("namespace listing, s: %s\n", listing.Text("%.4f").c_str());
        std::printf("tree expansion, s:    %s\n", expanding.Text("%.4f").c_str());
        std::printf("  filling the node:   %s\n", filling.Text("%.4f").c_str());
        std::printf("  drawing the rows:   %s\n", drawing.Text("%.4f").c_str());
        std::printf("ratio tree/listing:   %s (goal <= 2.00)\n", ratio.Text("%.2f").c_str());

        vx::bench::Spread picker;
        for (int r = 0; r < rounds; ++r) {
            const auto p0 = Clock::now();
            auto dialog = std::make_unique<Tfindfolder>();
            dialog->show();
            app.processEvents();
            const auto p1 = Clock::now();
            picker.Add(Seconds(p0, p1));
        }
        std::printf("folder picker shown with its tree filled, s: %s\n", picker.Text("%.4f").c_str());
    }
    std::error_code ec;
    fs::remove_all(base, ec);
    return code;
}
