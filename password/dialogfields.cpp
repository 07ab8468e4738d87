#include "password/dialogfields.h"

#include "platform/gui/ime.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>

namespace vx::password {

QColor RequiredFieldColor()
{
    return QApplication::palette().color(QPalette::ToolTipBase);
}

QColor GradientCaptionColor()
{
    return QColor(0xB9, 0xD1, 0xEA);
}

QLineEdit *MakePasswordField(QWidget *parent, const char *name, const QColor &background)
{
    auto *e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setEchoMode(QLineEdit::Password);
    e->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; background: %1; }")
                         .arg(background.name()));
    vx::gui::SetImeName(e, QStringLiteral("한국어(한글) (MS-IME98)"));
    return e;
}

void SetupPasswordDialog(QDialog *dialog, const char *name, int clientWidth, int clientHeight)
{
    dialog->setObjectName(QString::fromLatin1(name));
    dialog->setWindowTitle(QStringLiteral("Vellamorix"));
    dialog->setFont(QFont(QStringLiteral("굴림"), 9));
    dialog->setFixedSize(clientWidth, clientHeight);
    dialog->setWindowFlags((dialog->windowFlags() | Qt::MSWindowsFixedSizeDialogHint) &
                           ~Qt::WindowContextHelpButtonHint);
}

} // namespace vx::password
