// Helpers shared by the password dialogs.
#pragma once

#include <QColor>
#include <QString>
#include <functional>

class QDialog;
class QLineEdit;
class QWidget;

namespace vx::password {

// A one-line password field that shows "*" for each character, requests the Korean input
// method on focus, on the given background.
QLineEdit *MakePasswordField(QWidget *parent, const char *name, const QColor &background);

// The tooltip-yellow background of required fields.
QColor RequiredFieldColor();
// The active-caption gradient colour.
QColor GradientCaptionColor();

// Fixed single border, centred, caption "Vellamorix", the console's font; Escape does nothing.
void SetupPasswordDialog(QDialog *dialog, const char *name, int clientWidth, int clientHeight);

// Enter (Return or the keypad's Enter) typed in `field` runs `action` instead of reaching the
// dialog; other keys are typed normally.
void OnEnter(QLineEdit *field, std::function<void()> action);

// The exit steps of the start-up dialogs: close the dialog (result 2), then ask the main window
// to close, which ends the program.
void ExitProgram(QDialog *dialog);

} // namespace vx::password
