// The password prompt: shown at every start once a password is stored.
#pragma once

#include <QDialog>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class TFormokpass : public QDialog {
public:
    explicit TFormokpass(QWidget *parent = nullptr);
    ~TFormokpass() override;

    // True once the right password was given in this showing.
    bool Passed() const { return passed_; }

    void FormShow();
    void Button1Click();
    void Button2Click();
    void ExitSteps();

    // Every way of closing without the right password runs the exit steps.
    void reject() override;

    QGroupBox *GroupBox1 = nullptr;
    QLineEdit *MaskEdit1 = nullptr;
    QPushButton *Button1 = nullptr;
    QPushButton *Button2 = nullptr;
    QLabel *Label2 = nullptr;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void PromptSteps();
    bool passed_ = false;
};

extern TFormokpass *Formokpass;
