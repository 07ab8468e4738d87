// Changing the console password, from the main window's menu.
#pragma once

#include <QDialog>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class TFormchangepwd : public QDialog {
public:
    explicit TFormchangepwd(QWidget *parent = nullptr);
    ~TFormchangepwd() override;

    void FormShow();
    void Button1Click();
    void Button2Click();

    // The close box closes like Button2 (modal result 2).
    void reject() override { done(2); }

    QGroupBox *GroupBox1 = nullptr;
    QLabel *Label1 = nullptr;
    QLineEdit *MaskEdit1 = nullptr;
    QLabel *Label2 = nullptr;
    QLineEdit *MaskEdit2 = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *MaskEdit3 = nullptr;
    QPushButton *Button1 = nullptr;
    QPushButton *Button2 = nullptr;

protected:
    void showEvent(QShowEvent *event) override;
};

extern TFormchangepwd *Formchangepwd;
