#include "platform/gui/helpviewer.h"

#include "platform/codepage/codepage.h"
#include "platform/exec/exec.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>

namespace vx::gui {
namespace {

QPointer<QTextBrowser> g_viewer;

} // namespace

void RegisterHelpViewer()
{
    vx::platform::RegisterFileTypeOpener(".hlp", [](const vx::platform::ShellExecRequest &request) {
        return ShowHelpFile(QString::fromStdString(codepage::AnsiToUtf8(request.file)));
    });
}

bool ShowHelpFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QString html = QString::fromUtf8(file.readAll());
    if (!g_viewer) {
        g_viewer = new QTextBrowser;
        g_viewer->setObjectName(QStringLiteral("HelpViewer"));
        g_viewer->setAttribute(Qt::WA_DeleteOnClose);
        g_viewer->setOpenExternalLinks(true);
        g_viewer->resize(640, 560);
    }
    g_viewer->setSearchPaths({QFileInfo(path).absolutePath()});
    g_viewer->setHtml(html);
    g_viewer->setWindowTitle(g_viewer->documentTitle().isEmpty() ? QFileInfo(path).fileName()
                                                                 : g_viewer->documentTitle());
    g_viewer->show();
    g_viewer->raise();
    return true;
}

QWidget *HelpViewerWindow()
{
    return g_viewer.data();
}

} // namespace vx::gui
