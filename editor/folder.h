// The folder picker: a shell tree of the computer's folders from which each "add" appends the
// selected folder to a path field of the open entry editor.
#pragma once

#include <QDialog>

class QLabel;
class QMenu;
class QAction;
class QPushButton;
class TShellTreeView;

class Tfindfolder : public QDialog {
public:
    explicit Tfindfolder(QWidget *parent = nullptr);

    // Handlers.
    void Button1Click();
    void N1Click();
    void Button2Click();
    void Button3Click();

    // Controls.
    QLabel *Label1 = nullptr;
    TShellTreeView *ShellTreeView1 = nullptr;
    QMenu *PopupMenu1 = nullptr;
    QAction *N1 = nullptr;
    QPushButton *Button1 = nullptr;
    QPushButton *Button2 = nullptr;
    QPushButton *Button3 = nullptr;

    // The close box closes without touching the target field.
    void reject() override { done(2); }

private:
    void AddSelectedFolder();
};

// The long-lived picker instance (created once at start-up).
extern Tfindfolder *findfolder;

// Creates `findfolder` owned by `owner` (when there is none yet) and links it to the entry
// editor, whose Button19 and Button23 then open it modally.
void InstallFolderPicker(QWidget *owner);
