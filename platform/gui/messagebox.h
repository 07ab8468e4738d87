// Message boxes through one seam, so tests can answer them without a modal window.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace vx::gui {

constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_OKCANCEL = 0x1;
constexpr unsigned MB_YESNOCANCEL = 0x3;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

struct MessageBoxCall {
    QString text;
    QString caption;
    unsigned flags = MB_OK;
};

// Shows a message box and returns the button pressed (IDOK, IDCANCEL, IDYES, IDNO).
// An empty caption means the application title.
int MessageBox(QWidget *parent, const QString &text, const QString &caption = QString(),
               unsigned flags = MB_OK);

// Plain message: one OK button, the application title as caption.
void ShowMessage(const QString &text);

// Replaces the modal box; the hook gets every call and returns the answer. An empty hook
// restores the real box. Returns the previous hook.
using MessageBoxHook = std::function<int(const MessageBoxCall &)>;
MessageBoxHook SetMessageBoxHook(MessageBoxHook hook);

} // namespace vx::gui
