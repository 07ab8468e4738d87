// SPDX-License-Identifier: GPL-3.0-or-later
#include "password/changepwd.h"

#include "password/dialogfields.h"
#include "password/scrambler.h"
#include "platform/codepage/codepage_qt.h"
#include "platform/gui/application.h"
#include "platform/gui/messagebox.h"

#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TFormchangepwd *Formchangepwd = nullptr;

TFormchangepwd::~TFormchangepwd()
{
    if (Formchangepwd == this)
        Formchangepwd = nullptr;
}

TFormchangepwd::TFormchangepwd(QWidget *parent) : QDialog(parent)
{
    vx::password::SetupPasswordDialog(this, "Formchangepwd", 242, 167);
    GroupBox1 = new QGroupBox(QStringLiteral(" 암호 변경 "), this);
    GroupBox1->setGeometry(8, 4, 226, 118);
    const auto makeLabel = [this](const char *name, const QString &text, int y) {
        auto *l = new QLabel(text, GroupBox1);
        l->setObjectName(QString::fromLatin1(name));
        l->setGeometry(14, y + 3, 74, 16);
        return l;
    };
    Label1 = makeLabel("Label1", QStringLiteral("현재 암호"), 22);
    MaskEdit1 = vx::password::MakePasswordField(GroupBox1, "MaskEdit1", vx::password::RequiredFieldColor());
    MaskEdit1->setGeometry(92, 22, 120, 21);
    Label2 = makeLabel("Label2", QStringLiteral("변경할 암호"), 52);
    MaskEdit2 = vx::password::MakePasswordField(GroupBox1, "MaskEdit2", vx::password::GradientCaptionColor());
    MaskEdit2->setGeometry(92, 52, 120, 21);
    Label3 = makeLabel("Label3", QStringLiteral("다시 입력"), 82);
    MaskEdit3 = vx::password::MakePasswordField(GroupBox1, "MaskEdit3", vx::password::GradientCaptionColor());
    MaskEdit3->setGeometry(92, 82, 120, 21);
    Button1 = new QPushButton(QStringLiteral("확 인"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(44, 132, 72, 25);
    Button1->setAutoDefault(false);
    Button2 = new QPushButton(QStringLiteral("취 소"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(126, 132, 72, 25);
    Button2->setAutoDefault(false);

    setTabOrder(MaskEdit1, MaskEdit2);
    setTabOrder(MaskEdit2, MaskEdit3);
    setTabOrder(MaskEdit3, Button1);
    setTabOrder(Button1, Button2);

    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
}

void TFormchangepwd::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TFormchangepwd::FormShow()
{
    MaskEdit1->clear();
    MaskEdit2->clear();
    MaskEdit3->clear();
}

void TFormchangepwd::Button1Click()
{
    try {
        if (!CheckPassword(vx::codepage::ToAnsi(MaskEdit1->text()))) {
            vx::gui::ShowMessage(QStringLiteral(" 현재 암호가 틀렸습니다."));
            MaskEdit1->setFocus();
            return;
        }
        if (MaskEdit2->text() != MaskEdit3->text()) {
            vx::gui::ShowMessage(QStringLiteral(" 변경할 암호가 일치하지 않습니다. 다시 입력하세요!"));
            return;
        }
        if (MaskEdit2->text().isEmpty()) {
            vx::gui::ShowMessage(QStringLiteral("빈칸은 안됩니다."));
            return;
        }
        // Stored as CP949: a character it lacks would make another password ("a?") the same.
        if (!vx::codepage::IsAnsiRepresentable(MaskEdit2->text())) {
            vx::gui::ShowMessage(vx::codepage::NotRepresentableMessage());
            return;
        }
        // A key that cannot be opened keeps the dialog open; OK again retries.
        if (StorePassword(vx::codepage::ToAnsi(MaskEdit2->text())))
            done(1);
    } catch (const std::exception &error) {
        vx::gui::ReportException(error);
    }
}

void TFormchangepwd::Button2Click()
{
    done(2);
}
