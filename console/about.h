// The about box: created for one showing and destroyed when it closes.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class QFrame;

class TAboutBox : public QDialog {
public:
    explicit TAboutBox(QWidget *parent = nullptr);
    ~TAboutBox() override;

    // Opens the maker's web address through the shell.
    void Label3Click();

    static QString WebAddress();

    QFrame *PanelTovra = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label6 = nullptr;
    QFrame *Panel7 = nullptr;
    QLabel *Label3 = nullptr;
    QFrame *Panel8 = nullptr;
    QLabel *Image1 = nullptr;
    QLabel *Panel1 = nullptr;
    QPushButton *OKButton = nullptr;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};

// The box while it is shown, else null.
extern TAboutBox *AboutBox;

// Creates a new about box, shows it modally and destroys it.
void ShowAboutBox();
