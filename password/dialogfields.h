// Helpers shared by the password dialogs.
#pragma once

#include <QColor>
#include <QString>

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

// Fixed single border, centred, caption "Vellamorix", the console's font.
void SetupPasswordDialog(QDialog *dialog, const char *name, int clientWidth, int clientHeight);

} // namespace vx::password
