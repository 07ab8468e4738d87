// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/gui/application.h"

#include "platform/gui/helpviewer.h"
#include "platform/gui/messagebox.h"
#include "platform/codepage/codepage_qt.h"

#include <QScreen>
#include <QStringDecoder>

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
    // Error texts are UTF-8, or ASCII with names quoted in the ANSI code page (CP949).
    const QByteArray raw(error.what());
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(raw);
    ReportError(utf8.hasError() ? codepage::FromAnsi(std::string_view(raw.constData(), raw.size())) : text);
}

void SetMainForm(QWidget *form)
{
    g_mainForm = form;
}

QWidget *MainForm()
{
    return g_mainForm.data();
}

void CentreOnScreen(QWidget *window)
{
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        window->move(screen->availableGeometry().center() - window->rect().center());
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
    // Only the name: a display name would be appended to every window's title (" — title").
    setApplicationName(title);
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
