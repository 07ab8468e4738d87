// SPDX-License-Identifier: GPL-3.0-or-later
#include "password/setpass.h"

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

TFormsetpass *Formsetpass = nullptr;

TFormsetpass::~TFormsetpass()
{
    if (Formsetpass == this)
        Formsetpass = nullptr;
}

TFormsetpass::TFormsetpass(QWidget *parent) : QDialog(parent)
{
    vx::password::SetupPasswordDialog(this, "Formsetpass", 297, 99);
    GroupBox1 = new QGroupBox(QStringLiteral(" 암호 설정 "), this);
    GroupBox1->setGeometry(8, 4, 281, 87);
    Label2 = new QLabel(QStringLiteral("암 호 :"), GroupBox1);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(14, 24, 70, 16);
    MaskEdit1 = vx::password::MakePasswordField(GroupBox1, "MaskEdit1", vx::password::RequiredFieldColor());
    MaskEdit1->setGeometry(86, 21, 112, 21);
    Label3 = new QLabel(QStringLiteral("다시 입력 : "), GroupBox1);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setGeometry(14, 54, 70, 16);
    MaskEdit2 = vx::password::MakePasswordField(GroupBox1, "MaskEdit2", vx::password::RequiredFieldColor());
    MaskEdit2->setGeometry(86, 51, 112, 21);
    Button1 = new QPushButton(QStringLiteral("확 인"), GroupBox1);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(206, 34, 64, 25);
    Button1->setAutoDefault(false);

    setTabOrder(Button1, MaskEdit1);
    setTabOrder(MaskEdit1, MaskEdit2);

    // MaskEdit2KeyPress: Enter runs the set-password steps.
    vx::password::OnEnter(MaskEdit2, [this] { SetPasswordSteps(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    FormCreate();
}

void TFormsetpass::FormCreate()
{
    ScrambleKey = ::ScrambleKey;
}

AnsiString TFormsetpass::ScrambleText(const AnsiString &Action, const AnsiString &Src, const AnsiString &Key) const
{
    return ::ScrambleText(Action, Src, Key);
}

void TFormsetpass::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TFormsetpass::FormShow()
{
    passed_ = false;
    MaskEdit1->clear();
    MaskEdit2->clear();
    MaskEdit1->setFocus();
}

void TFormsetpass::Button1Click()
{
    SetPasswordSteps();
}

void TFormsetpass::SetPasswordSteps()
{
    if (MaskEdit1->text() != MaskEdit2->text()) {
        vx::gui::ShowMessage(QStringLiteral("암호가 일치하지 않습니다. 다시 입력하세요!"));
        return;
    }
    if (MaskEdit1->text().isEmpty()) {
        vx::gui::ShowMessage(QStringLiteral("빈칸은 안됩니다."));
        return;
    }
    // Stored as CP949: a character it lacks would make another password ("a?") the same.
    if (!vx::codepage::IsAnsiRepresentable(MaskEdit1->text())) {
        vx::gui::ShowMessage(vx::codepage::NotRepresentableMessage());
        return;
    }
    bool stored = false;
    try {
        stored = StorePassword(vx::codepage::ToAnsi(MaskEdit1->text()));
    } catch (const std::exception &error) {
        vx::gui::ReportException(error);
        return;
    }
    // A key that cannot be opened keeps the dialog open; OK again retries.
    if (stored) {
        passed_ = true;
        done(1);
    }
}

void TFormsetpass::reject()
{
    if (passed_) {
        done(1);
        return;
    }
    ExitSteps();
}

void TFormsetpass::ExitSteps()
{
    vx::password::ExitProgram(this);
}
