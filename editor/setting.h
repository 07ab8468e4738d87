// The entry editor: a modal dialog in which one protection entry is written.
#pragma once

#include "engine/fprec.h"
#include "platform/gui/filedialog.h"

#include <QDialog>
#include <array>
#include <functional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

// Editing modes the main window passes.
constexpr int EDITOR_MODE_ADD = 201;
constexpr int EDITOR_MODE_CHANGE = 202;

class TForm_SetEntry : public QDialog {
public:
    explicit TForm_SetEntry(QWidget *parent = nullptr);

    // The dialog's own record: empty until a successful B_OK.
    const TFPRec &Record() const { return Record_; }

    // Shows the entry's four texts. A field still showing its text at B_OK hands back the
    // entry's bytes unchanged, also bytes that are no valid CP949.
    void LoadTexts(const TFPRec &entry);

    // Check boxes from a mask (bits outside the twelve are ignored) and the mask they make.
    void SetOperationChecks(uint32_t mask);
    uint32_t OperationMask() const;
    void ClearOperationChecks();

    // Handlers.
    void Button18Click();
    void Button19Click();
    void Button20Click();
    void Button22Click();
    void Button23Click();
    void Button24Click();
    void Combo_ProcessChange();
    void Combo_ExcludeChange();
    void B_ReadOnlyClick();
    void B_NoAccessClick();
    void B_FullHiddenClick();
    void B_InvisibleClick();
    void B_InitClick();
    void B_OKClick();

    // Controls.
    QGroupBox *GroupBox1 = nullptr;
    QGroupBox *GroupBox2 = nullptr;
    QLineEdit *Edit_FileFolder = nullptr;
    QLineEdit *Edit_Process = nullptr;
    QLineEdit *Edit_ExcludeFileFolder = nullptr;
    QLineEdit *Edit_ExcludeProcess = nullptr;
    QPushButton *Button18 = nullptr;
    QPushButton *Button19 = nullptr;
    QPushButton *Button20 = nullptr;
    QPushButton *Button22 = nullptr;
    QPushButton *Button23 = nullptr;
    QPushButton *Button24 = nullptr;
    QComboBox *Combo_Process = nullptr;
    QComboBox *Combo_Exclude = nullptr;
    QCheckBox *Cr = nullptr;
    QCheckBox *Open = nullptr;
    QCheckBox *Read = nullptr;
    QCheckBox *Write = nullptr;
    QCheckBox *Rename = nullptr;
    QCheckBox *Delete = nullptr;
    QCheckBox *Replace = nullptr;
    QCheckBox *Dir_Create = nullptr;
    QCheckBox *Dir_Delete = nullptr;
    QCheckBox *Attr_Set = nullptr;
    QCheckBox *Execute = nullptr;
    QCheckBox *List = nullptr;
    QPushButton *B_ReadOnly = nullptr;
    QPushButton *B_NoAccess = nullptr;
    QPushButton *B_FullHidden = nullptr;
    QPushButton *B_Invisible = nullptr;
    QPushButton *B_Init = nullptr;
    QPushButton *B_OK = nullptr;
    QPushButton *B_Cancle = nullptr;
    vx::gui::TOpenDialog OpenDialog;

    // The close box cancels with 2.
    void reject() override { done(2); }

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void FileBrowse(QLineEdit *target);
    void ProgramBrowse(QLineEdit *target);
    void OpenFolderFor(int target);
    void ApplyPreset(uint32_t mask);
    std::array<QLineEdit *, 4> TextFields() const;
    // The CP949 bytes of field i (in TextFields order); false when the text holds a character
    // CP949 cannot hold.
    bool FieldBytes(size_t i, AnsiString &bytes) const;

    TFPRec Record_;
    // Per text field: the bytes it was loaded from and the text it showed then.
    std::array<AnsiString, 4> LoadedBytes_;
    std::array<QString, 4> LoadedTexts_;
};

// Shows the editor modally for `entry` and returns its modal result (1 OK, 2 Cancel).
// `entry` is overwritten in every case: the edited record on 1, an empty one otherwise.
int ShowEntryEditor(int mode, TFPRec &entry);

// The open editor (valid while ShowEntryEditor runs) and the field the folder picker fills:
// 1 Edit_FileFolder, 2 Edit_ExcludeFileFolder.
extern TForm_SetEntry *Form_SetEntry;
extern int FolderTarget;

// Opens the folder picker modally; empty until the picker is linked in. Button19 and
// Button23 set FolderTarget and call it.
extern std::function<void()> OpenFolderPicker;

// The program-browse rule: "notepad.exe" -> "notepad*", "my.tool.exe" -> "my*", a name without a
// "." -> the name and "*" ("bash" -> "bash*"). A leading "." does not count, so no name gives "*"
// alone (".profile" -> ".profile*", ".x.sh" -> ".x*").
QString ProcessPatternFromFile(const QString &path);

// B_OK's refusal of a text field holding ",", which would split the stored entry text.
QString CommaRefusedMessage();
