// SPDX-License-Identifier: GPL-3.0-or-later
// vx-shellbrowser [ROOT]: a window with the shell tree view, combo box and list view linked
// together. ROOT is a root folder name (rfDesktop, rfMyComputer, ...) or a path such as C:\tmp;
// the default is the desktop. The drive map comes from VELLAMORIX_DRIVES (default C:=/).
#include "platform/codepage/codepage_qt.h"
#include "platform/gui/application.h"
#include "shellctrls/ShellFolder.h"
#include "tools/shellbrowser/browser.h"

#include <QString>
#include <cstdio>
#include <cstring>
#include <exception>

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage: vx-shellbrowser [ROOT]\n"
                        "  ROOT  a root folder name (rfDesktop, rfMyComputer, rfPersonal, ...)\n"
                        "        or a path such as C:\\tmp (default: rfDesktop)\n"
                        "The drives come from VELLAMORIX_DRIVES, for example C:=/,D:=/srv (default C:=/).\n");
            return 0;
        }
    }
    vx::gui::TApplication app(argc, argv);
    app.SetTitle(QStringLiteral("Vellamorix"));
    const std::string root = argc > 1 ? vx::codepage::ToAnsi(QString::fromLocal8Bit(argv[1])) : std::string("rfDesktop");
    try {
        TShellBrowserWindow window(root);
        vx::gui::SetMainForm(&window);
        window.show();
        const int result = app.exec();
        vx::gui::SetMainForm(nullptr);
        return result;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "vx-shellbrowser: %s\n", error.what());
        return 1;
    }
}
