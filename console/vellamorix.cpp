// The console's entry point. The console takes no command line.
#include "console/datafiles.h"
#include "console/main.h"
#include "editor/folder.h"
#include "password/changepwd.h"
#include "password/okpass.h"
#include "password/setpass.h"
#include "platform/gui/application.h"
#include "platform/process/harden.h"

#include <QFileInfo>
#include <QIcon>

int main(int argc, char **argv)
{
    if (!vx::process::HardenOrExplain("Vellamorix"))
        return 1;
    vx::gui::TApplication app(argc, argv);
    app.SetTitle(QStringLiteral("Vellamorix"));
    app.SetHelpFile(QStringLiteral("C:\\Vellamorix\\vellamorix.hlp"));
    // The desktop's menu entry and icon go with the console's windows.
    app.setDesktopFileName(QStringLiteral("vellamorix"));
    if (const QString icon = vx::console::DataFile(QStringLiteral("vellamorix.png")); QFileInfo::exists(icon))
        app.setWindowIcon(QIcon(icon));

    // The long-lived windows, in this order; the first is the main window. Creating it
    // contacts the engine and fills the list before any password dialog exists.
    FormVellamorix = new TFormVellamorix;
    vx::gui::SetMainForm(FormVellamorix);
    Formsetpass = new TFormsetpass;
    Formokpass = new TFormokpass;
    InstallFolderPicker(FormVellamorix); // findfolder, opened by the editor's folder buttons
    Formchangepwd = new TFormchangepwd;

    // Showing the main window runs its password gate.
    FormVellamorix->show();
    const int result = app.exec();

    delete Formchangepwd;
    Formchangepwd = nullptr;
    delete Formokpass;
    Formokpass = nullptr;
    delete Formsetpass;
    Formsetpass = nullptr;
    delete FormVellamorix; // closes the engine's devices; the entries stay in force
    return result;
}
