// SPDX-License-Identifier: GPL-3.0-or-later
#include "password/okpass.h"

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

TFormokpass *Formokpass = nullptr;

TFormokpass::~TFormokpass()
{
    if (Formokpass == this)
        Formokpass = nullptr;
}

TFormokpass::TFormokpass(QWidget *parent) : QDialog(parent)
{
    vx::password::SetupPasswordDialog(this, "Formokpass", 280, 89);
    GroupBox1 = new QGroupBox(QStringLiteral(" 암호 입력 "), this);
    GroupBox1->setGeometry(6, 4, 268, 79);
    MaskEdit1 = vx::password::MakePasswordField(GroupBox1, "MaskEdit1", vx::password::RequiredFieldColor());
    MaskEdit1->setGeometry(10, 22, 130, 21);
    Button1 = new QPushButton(QStringLiteral("확 인"), GroupBox1);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(146, 20, 54, 25);
    Button1->setAutoDefault(false);
    Button2 = new QPushButton(QStringLiteral("종 료"), GroupBox1);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(204, 20, 54, 25);
    Button2->setAutoDefault(false);
    Label2 = new QLabel(QStringLiteral("등록된 사용자가 아니라면 종료를 눌러주세요. "), GroupBox1);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(10, 52, 254, 16);

    setTabOrder(Button1, Button2);
    setTabOrder(Button2, MaskEdit1);

    // MaskEdit1KeyPress: Enter runs the prompt steps.
    vx::password::OnEnter(MaskEdit1, [this] { PromptSteps(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
}

void TFormokpass::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TFormokpass::FormShow()
{
    passed_ = false;
    MaskEdit1->clear();
    MaskEdit1->setFocus();
}

void TFormokpass::Button1Click()
{
    PromptSteps();
}

void TFormokpass::PromptSteps()
{
    bool right = false;
    try {
        right = CheckPassword(vx::codepage::ToAnsi(MaskEdit1->text()));
    } catch (const std::exception &error) {
        // A stored value that cannot be read decides nothing; the prompt stays open.
        vx::gui::ReportException(error);
        return;
    }
    if (!right) {
        vx::gui::ShowMessage(QStringLiteral("암호가 틀렸습니다."));
        MaskEdit1->setFocus();
        return;
    }
    passed_ = true;
    done(1);
}

void TFormokpass::Button2Click()
{
    ExitSteps();
}

void TFormokpass::reject()
{
    if (passed_) {
        done(1);
        return;
    }
    ExitSteps();
}

void TFormokpass::ExitSteps()
{
    vx::password::ExitProgram(this);
}
