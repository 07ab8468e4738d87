// A small window that places a shell tree view, combo box and list view linked together, so the
// three can be used and looked at. Not one of the console's windows.
#pragma once

#include <QMainWindow>

class QAction;
class QLabel;
class TShellTreeView;
class TShellComboBox;
class TShellListView;

class TShellBrowserWindow : public QMainWindow {
    Q_OBJECT

public:
    // Root: a root folder name ("rfDesktop", "rfMyComputer", ...) or a path ("C:\tmp").
    // A root that cannot be resolved raises EShellError.
    explicit TShellBrowserWindow(const std::string &Root = "rfDesktop", QWidget *parent = nullptr);
    ~TShellBrowserWindow() override;

    TShellTreeView *Tree() const { return Tree_; }
    TShellComboBox *Combo() const { return Combo_; }
    TShellListView *List() const { return List_; }
    QAction *Action(const char *name) const;

private:
    void UpdateStatus();

    TShellTreeView *Tree_ = nullptr;
    TShellComboBox *Combo_ = nullptr;
    TShellListView *List_ = nullptr;
    QLabel *Status_ = nullptr;
};
