#include "platform/gui/application.h"

#include "platform/gui/helpviewer.h"
#include "platform/gui/messagebox.h"

#include <QWidget>

namespace vx::gui {
namespace {

QPointer<QWidget> g_mainForm;

} // namespace

void ReportError(const QString &text)
{
    MessageBox(QApplication::activeWindow(), text, QString(), MB_OK | MB_ICONERROR);
}

void ReportException(const std::exception &error)
{
    // Error texts of this program are UTF-8.
    ReportError(QString::fromUtf8(error.what()));
}

void SetMainForm(QWidget *form)
{
    g_mainForm = form;
}

QWidget *MainForm()
{
    return g_mainForm.data();
}

TApplication::TApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    RegisterHelpViewer();
}

TApplication::~TApplication() = default;

QString TApplication::Title() const
{
    return applicationName();
}

void TApplication::SetTitle(const QString &title)
{
    setApplicationName(title);
    setApplicationDisplayName(title);
}

bool TApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &error) {
        ReportException(error);
    } catch (...) {
        ReportError(QStringLiteral("Unknown error"));
    }
    return false;
}

} // namespace vx::gui
