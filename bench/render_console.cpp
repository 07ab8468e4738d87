// SPDX-License-Identifier: GPL-3.0-or-later
// Renders the console's windows to PNG files under the offscreen platform, so their layout
// and Korean texts can be looked at: the main window with a few entries, the entry editor,
// the three password dialogs and the about box.
//
//   render_console [output-folder]      (default: ./console-render)
#include "console/about.h"
#include "console/main.h"
#include "editor/setting.h"
#include "engine/fprec.h"
#include "engine/protector.h"
#include "password/changepwd.h"
#include "password/okpass.h"
#include "password/setpass.h"
#include "platform/codepage/codepage_qt.h"
#include "platform/gui/application.h"
#include "qxd/inprocess.h"

#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>

namespace {

vx::qxd::Entry MakeEntry(const QString &path, const QString &process, uint32_t mask, const QString &exclude = {})
{
    vx::qxd::Entry e;
    e.fileFolder = vx::codepage::ToAnsi(path);
    e.process = vx::codepage::ToAnsi(process);
    e.excludeFileFolder = vx::codepage::ToAnsi(exclude);
    e.mask = mask;
    e.flag = 1;
    return e;
}

bool Save(QWidget *w, const QString &folder, const char *name)
{
    w->show();
    QCoreApplication::processEvents();
    const QString path = folder + "/" + name + ".png";
    const bool ok = w->grab().save(path);
    std::printf("%s %s (%dx%d)\n", ok ? "wrote" : "FAILED", qPrintable(path), w->width(), w->height());
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Private registry and device folder: nothing of the user's is touched.
    QTemporaryDir scratch;
    setenv("VELLAMORIX_REGISTRY", qPrintable(scratch.path() + "/registry.db"), 1);
    setenv("VELLAMORIX_DEVICE_DIR", qPrintable(scratch.path() + "/dev"), 1);

    vx::gui::TApplication app(argc, argv);
    app.SetTitle(QStringLiteral("Vellamorix"));
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("console-render");
    QDir().mkpath(folder);

    vx::qxd::ScopedInProcessEngine engine;
    engine.engine().Append(MakeEntry(QStringLiteral("C:\\Data;C:\\Data\\*;"), QStringLiteral("*"), FP_PRESET_NOACCESS));
    engine.engine().Append(MakeEntry(QStringLiteral("C:\\문서\\보고서.hwp;"), QStringLiteral("notepad*"),
                                     FP_PRESET_READONLY, QStringLiteral("C:\\문서\\임시")));
    engine.engine().Append(MakeEntry(QStringLiteral("C:\\비밀"), QStringLiteral("*"), FP_PRESET_FULLHIDDEN));
    engine.engine().Append(MakeEntry(QStringLiteral("C:\\Program Files\\App"), QStringLiteral("Exploler*"), FP_PRESET_INVISIBLE));
    engine.engine().Append(MakeEntry(QStringLiteral("C:\\log.txt"), QStringLiteral("*"), FP_WRITE | FP_DELETE));

    bool ok = true;
    {
        TFormVellamorix main;
        main.PasswordGateOnShow = false;
        main.TimerTimer();
        main.ListView_Proceted->setCurrentItem(main.ListView_Proceted->topLevelItem(1));
        ok &= Save(&main, folder, "main");

        TForm_SetEntry editor;
        editor.Edit_FileFolder->setText(QStringLiteral("C:\\문서\\보고서.hwp;"));
        editor.Edit_Process->setText(QStringLiteral("notepad*"));
        editor.Edit_ExcludeFileFolder->setText(QStringLiteral("C:\\문서\\임시"));
        editor.B_ReadOnlyClick();
        ok &= Save(&editor, folder, "editor");

        TFormsetpass setpass;
        ok &= Save(&setpass, folder, "setpass");
        TFormokpass okpass;
        ok &= Save(&okpass, folder, "okpass");
        TFormchangepwd changepwd;
        ok &= Save(&changepwd, folder, "changepwd");
        TAboutBox about;
        ok &= Save(&about, folder, "about");

        main.Protector->SetClearOnDestroy(false);
    }
    return ok ? 0 : 1;
}
