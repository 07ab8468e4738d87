// The console's entry point. The console takes no command line.
#include "console/main.h"
#include "password/changepwd.h"
#include "password/okpass.h"
#include "password/setpass.h"
#include "platform/gui/application.h"
#ifdef VX_HAVE_FOLDER_PICKER
#include "editor/folder.h"
#endif

int main(int argc, char **argv)
{
    vx::gui::TApplication app(argc, argv);
    app.SetTitle(QStringLiteral("Vellamorix"));
    app.SetHelpFile(QStringLiteral("C:\\Vellamorix\\vellamorix.hlp"));

    // The long-lived windows, in this order; the first is the main window. Creating it
    // contacts the engine and fills the list before any password dialog exists.
    FormVellamorix = new TFormVellamorix;
    vx::gui::SetMainForm(FormVellamorix);
    Formsetpass = new TFormsetpass;
    Formokpass = new TFormokpass;
#ifdef VX_HAVE_FOLDER_PICKER
    InstallFolderPicker(FormVellamorix); // findfolder, opened by the editor's folder buttons
#endif
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
