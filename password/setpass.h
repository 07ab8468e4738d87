// SPDX-License-Identifier: GPL-3.0-or-later
// First password: shown at start while no password is stored.
#pragma once

#include "platform/common/ansistring.h"

#include <QDialog>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class TFormsetpass : public QDialog {
public:
    explicit TFormsetpass(QWidget *parent = nullptr);
    ~TFormsetpass() override;

    // The scrambler and its key, used by all three password dialogs.
    AnsiString ScrambleKey;
    AnsiString ScrambleText(const AnsiString &Action, const AnsiString &Src, const AnsiString &Key) const;

    // True once a password has been stored in this showing.
    bool Passed() const { return passed_; }

    void FormCreate();
    void FormShow();
    void Button1Click();
    void ExitSteps();

    // Every way of closing without a stored password runs the exit steps.
    void reject() override;

    QGroupBox *GroupBox1 = nullptr;
    QLabel *Label2 = nullptr;
    QLineEdit *MaskEdit1 = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *MaskEdit2 = nullptr;
    QPushButton *Button1 = nullptr;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void SetPasswordSteps();
    bool passed_ = false;
};

extern TFormsetpass *Formsetpass;
