// The console's main window: the engine's entries, their details, protection on and off.
#pragma once

#include "console/entrystore.h"
#include "engine/fprec.h"

#include <QIcon>
#include <QList>
#include <QMainWindow>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QMenu;
class QMenuBar;
class QStatusBar;
class QTimer;
class QToolBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class TVeskFileProtector;
namespace vx::console {
class TFormDenials;
class DenialNotifier;
} // namespace vx::console

class TFormVellamorix : public QMainWindow {
public:
    // Creates Protector (which opens the engine's devices) and runs FormCreate.
    explicit TFormVellamorix(QWidget *parent = nullptr);
    ~TFormVellamorix() override;

    std::unique_ptr<TVeskFileProtector> Protector;

    // The first showing runs the password gate (FormShow). Only programs that drive the gate
    // themselves turn this off.
    bool PasswordGateOnShow = true;

    // Handlers.
    void FormCreate();
    void FormShow();
    void TimerTimer();
    void Menu_ActiveClick();
    void Menu_NotActiveClick();
    void Menu_AddEntryClick();
    void Menu_DeleteEntryClick();
    void Menu_ModifyEntryClick();
    void Menu_RefreshClick();
    void ListView_ProcetedSelectItem(QTreeWidgetItem *Item, bool Selected);
    void N2221Click();
    void ProtectedInformation1Click();
    // Opens the denial history, or brings it to the front.
    void Menu_DenialsClick();
    void Menu_PasswordClick();
    void Menu_HelpACTClick();
    void Menu_AboutClick();
    void Menu_CloseClick();
    void ToolButton11Click();

    // Rebuilds every row from the engine's entries 0..Count-1.
    void FillEntryList(uint32_t Count);
    // Deletes the registry entry store's key; the outcome is not used.
    bool DeleteEntryKey();
    // Every entry the engine holds now, in its order; false when any of them cannot be read.
    bool ReadEngineEntries(std::vector<TFPRec> &entries);

    // The list rows as the entry store takes them, in list order.
    std::vector<TEntryRow> EntryRows() const;
    // The engine index a row is bound to (-1 for no row).
    static int RowEngineIndex(const QTreeWidgetItem *item);
    // False while the rows may miss engine entries: the engine was never reached, or an entry
    // could not be read when the list was filled.
    bool ListComplete() const { return listComplete_; }
    // Selects the row of the entry a denial names: the one at `index` when it still holds
    // `fileFolder` (UTF-8; any FileFolder when empty), else another row holding it. False when
    // no row does.
    bool SelectEntryRow(int index, const std::string &fileFolder);
    // Text of a status panel (0 or 1).
    QString StatusText(int panel) const;

    // Controls.
    QWidget *CoolBar1 = nullptr;
    QWidget *ToolBar1 = nullptr;
    QMenuBar *MainMenu = nullptr;
    QToolBar *ToolBar = nullptr;
    QWidget *Panel1 = nullptr;
    QLabel *Panel3 = nullptr;
    QTreeWidget *ListView_Proceted = nullptr;
    QWidget *Panel4 = nullptr;
    QLabel *Panel5 = nullptr;
    QTreeWidget *TreeView_Entry = nullptr;
    QStatusBar *StatusBar = nullptr;
    QLabel *StatusPanel0 = nullptr;
    QLabel *StatusPanel1 = nullptr;
    QTimer *Timer = nullptr;
    // 0 closed folder (rows, detail children), 1 open folder (the detail tree's top node).
    QList<QIcon> ImageList;

    QMenu *Menu_File = nullptr;
    QAction *Menu_Active = nullptr;
    QAction *Menu_NotActive = nullptr;
    QAction *Menu_Close = nullptr;
    QMenu *Menu_Edit = nullptr;
    QAction *Menu_AddEntry = nullptr;
    QAction *Menu_DeleteEntry = nullptr;
    QAction *Menu_ModifyEntry = nullptr;
    QAction *Menu_Refresh = nullptr;
    QMenu *Menu_View = nullptr;
    QAction *N2221 = nullptr;
    QAction *ProtectedInformation1 = nullptr;
    QAction *Menu_Denials = nullptr;
    vx::console::TFormDenials *FormDenials = nullptr; // made at the first opening
    vx::console::DenialNotifier *Notifier = nullptr;
    QMenu *Menu_Option = nullptr;
    QAction *Menu_Password = nullptr;
    QMenu *Menu_Help = nullptr;
    QAction *Menu_HelpACT = nullptr;
    QAction *Menu_About = nullptr;

    QToolButton *ToolButton1 = nullptr;
    QToolButton *ToolButton2 = nullptr;
    QToolButton *ToolButton5 = nullptr;
    QToolButton *ToolButton6 = nullptr;
    QToolButton *ToolButton7 = nullptr;
    QToolButton *ToolButton9 = nullptr;
    QToolButton *ToolButton13 = nullptr;
    QToolButton *ToolButton11 = nullptr;

    QMenu *PopupMenu_ListView = nullptr;
    QAction *PMenu_AddEntry2 = nullptr;
    QAction *PMenu_DeleteEntry = nullptr;
    QAction *PMenu_ModifyEntry = nullptr;
    QAction *PMenu_CheckProtection = nullptr;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void BuildMenus();
    void BuildToolBar();
    void BuildPanels();
    void SetRowCommands(bool enabled);
    void SwitchProtection(bool on);
    QTreeWidgetItem *AppendRow(const TFPRec &rec, int engineIndex);
    void SetRow(QTreeWidgetItem *item, const TFPRec &rec, int engineIndex);
    static TFPRec RowRecord(const QTreeWidgetItem *item);
    // The engine index that holds the row's entry now, checked against the engine; -1 when
    // the engine no longer holds it, -2 when the engine cannot be reached. `moved` tells that
    // the row was found at another index than the one it was bound to.
    int ResolveEngineIndex(const TFPRec &rec, int boundIndex, bool &moved);
    void ShiftIndicesAfterDelete(int deletedIndex);
    bool FormCloseQuery();

    bool listComplete_ = false;
    bool showHandled_ = false;
    bool closed_ = false;
    int closeQueries_ = 0; // close queries run so far
};

extern TFormVellamorix *FormVellamorix;
