// Showing a folder of many files in the shell list view (the fill, then the first screen of
// captions, icons and detail texts in report style) against a bare readdir and lstat of the same
// folder, both in every round; the ratio's median over the rounds next to its minimum and
// maximum. Also the memory the view holds per entry.
//
//   list_bench [files] [rounds]     (default 100000 files, 5 rounds, at least 5)
//
// Build without sanitizers for meaningful numbers. The folder is made in a temporary place and
// removed at the end; the drive map, home and XDG folders point there during the run.
#include "bench/shell_bench.h"
#include "bench/spread.h"
#include "shellctrls/ShellList.h"

#include <QAbstractItemView>
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double Millis(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

} // namespace

int main(int argc, char **argv)
{
    const long files = argc > 1 ? std::max(1L, std::atol(argv[1])) : 100000;
    const int rounds = argc > 2 ? std::max(5, std::atoi(argv[2])) : 5;

    char pattern[] = "/tmp/vx-list-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = pattern;
    const std::string dir = root + "/c/many";
    std::filesystem::create_directories(dir);
    std::filesystem::create_directories(root + "/home");
    ::setenv("VELLAMORIX_DRIVES", ("C:=" + root + "/c").c_str(), 1);
    ::setenv("HOME", (root + "/home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/home/.local/share").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/home/.config").c_str(), 1);
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    std::printf("making %ld files in %s ...\n", files, dir.c_str());
    for (long i = 0; i < files; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/file-%07ld.txt", i);
        const int fd = ::open((dir + name).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        if (fd >= 0) {
            if (i % 7 == 0 && ::write(fd, "data", 4) < 0)
                std::perror("write");
            ::close(fd);
        }
    }

    int result = 0;
    {
        QApplication app(argc, argv);
        TShellListView list;
        list.SetViewStyle(vsReport);
        list.resize(1000, 700);
        list.show();
        QApplication::processEvents();
        list.SetRoot("C:\\");

        vx::bench::Spread bare, fill, screen, ratio;
        size_t bareCount = 0;
        double perEntry = 0;
        for (int round = 0; round < rounds; ++round) {
            const auto b0 = Clock::now();
            bareCount = vx::bench::BareListing(dir);
            const auto b1 = Clock::now();
            bare.Add(Millis(b0, b1));

            const size_t heapBefore = vx::bench::HeapInUse();
            const auto t0 = Clock::now();
            if (round == 0)
                list.SetRoot("C:\\many");
            else
                list.RefreshFolder();
            const auto t1 = Clock::now();
            list.ItemView()->viewport()->repaint();
            const auto t2 = Clock::now();
            fill.Add(Millis(t0, t1));
            screen.Add(Millis(t0, t2));
            ratio.Add(Millis(t0, t2) / Millis(b0, b1));
            if (round == 0)
                perEntry = double(vx::bench::HeapInUse() - std::min(vx::bench::HeapInUse(), heapBefore)) / double(std::max(1, list.EntryCount()));
            if (list.EntryCount() != static_cast<int>(bareCount)) {
                std::fprintf(stderr, "the view lists %d entries, the folder holds %zu\n", list.EntryCount(), bareCount);
                result = 1;
            }
        }
        // The other styles lay the same entries out: the time to the first screen after a switch.
        double styleMs[3] = {0, 0, 0};
        const TViewStyle styles[3] = {vsIcon, vsList, vsReport};
        for (int k = 0; k < 3; ++k) {
            const auto s0 = Clock::now();
            list.SetViewStyle(styles[k]);
            list.ItemView()->doItemsLayout();
            list.ItemView()->viewport()->repaint();
            styleMs[k] = Millis(s0, Clock::now());
        }
        int loaded = 0;
        for (int i = 0; i < list.EntryCount(); ++i)
            loaded += list.Entry(i)->DetailTexts().empty() ? 0 : 1;

        std::printf("entries:                          %d (details loaded for %d drawn)\n", list.EntryCount(), loaded);
        std::printf("bare readdir + lstat, ms:          %s\n", bare.Text("%.1f").c_str());
        std::printf("list view fill, ms:                %s\n", fill.Text("%.1f").c_str());
        std::printf("list view fill + first screen, ms: %s\n", screen.Text("%.1f").c_str());
        std::printf("ratio (fill + first screen / bare): %s (goal: at most 4)\n", ratio.Text("%.2f").c_str());
        std::printf("memory held per entry:            %10.0f bytes\n", perEntry);
        std::printf("switch to icons / list / report:  %.1f / %.1f / %.1f ms to the first screen\n", styleMs[0],
                    styleMs[1], styleMs[2]);
    }
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return result;
}
