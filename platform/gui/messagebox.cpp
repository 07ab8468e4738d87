#include "platform/gui/messagebox.h"

#include <QApplication>
#include <QMessageBox>

namespace vx::gui {
namespace {

MessageBoxHook g_hook;

int RealMessageBox(QWidget *parent, const MessageBoxCall &call)
{
    QMessageBox box(parent);
    box.setWindowTitle(call.caption);
    box.setText(call.text);
    switch (call.flags & 0xF0) {
    case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: break;
    }
    struct Choice {
        QMessageBox::StandardButton button;
        int id;
    };
    std::vector<Choice> choices;
    switch (call.flags & 0xF) {
    case MB_OKCANCEL: choices = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}}; break;
    case MB_YESNOCANCEL:
        choices = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
        break;
    case MB_YESNO: choices = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}}; break;
    default: choices = {{QMessageBox::Ok, IDOK}}; break;
    }
    QMessageBox::StandardButtons buttons;
    for (const Choice &c : choices)
        buttons |= c.button;
    box.setStandardButtons(buttons);
    const int pressed = box.exec();
    for (const Choice &c : choices) {
        if (pressed == c.button)
            return c.id;
    }
    // Closed without a button: Cancel where there is one, else the only button.
    return (call.flags & 0xF) == MB_OK ? IDOK : (call.flags & 0xF) == MB_YESNO ? IDNO : IDCANCEL;
}

} // namespace

int MessageBox(QWidget *parent, const QString &text, const QString &caption, unsigned flags)
{
    MessageBoxCall call{text, caption.isEmpty() ? QApplication::applicationName() : caption, flags};
    if (g_hook)
        return g_hook(call);
    return RealMessageBox(parent, call);
}

void ShowMessage(const QString &text)
{
    MessageBox(QApplication::activeWindow(), text, QString(), MB_OK);
}

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook)
{
    MessageBoxHook previous = std::move(g_hook);
    g_hook = std::move(hook);
    return previous;
}

} // namespace vx::gui
