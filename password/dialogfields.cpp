#include "password/dialogfields.h"

#include "platform/gui/application.h"
#include "platform/gui/ime.h"

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <limits>

namespace vx::password {
namespace {

// Swallows Escape before the dialog would take it as a cancel.
class EscapeFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        return event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape;
    }
};

class EnterFilter : public QObject {
public:
    EnterFilter(QObject *parent, std::function<void()> action) : QObject(parent), action_(std::move(action)) {}

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key != Qt::Key_Return && key != Qt::Key_Enter)
            return false;
        action_();
        return true;
    }

private:
    std::function<void()> action_;
};

} // namespace

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
    e->setMaxLength(std::numeric_limits<int>::max()); // no length limit
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
    vx::gui::CentreOnScreen(dialog);
    dialog->installEventFilter(new EscapeFilter(dialog));
}

void OnEnter(QLineEdit *field, std::function<void()> action)
{
    field->installEventFilter(new EnterFilter(field, std::move(action)));
}

void ExitProgram(QDialog *dialog)
{
    dialog->done(2);
    if (QWidget *main = vx::gui::MainForm())
        main->close();
}

} // namespace vx::password
