// The editor's folder buttons open the folder picker, which works on the field they chose.
#include "support/consoletest.h"
#include "editor/folder.h"
#include "editor/setting.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

namespace {

vxtest::Sandbox g_env;

TEST(FolderPickerLink, FolderButtonsOpenThePickerOnTheirField)
{
    g_env.Set("VELLAMORIX_DRIVES", "C:=" + g_env.dir);
    vxtest::MessageRecorder messages;
    InstallFolderPicker(nullptr);
    ASSERT_NE(findfolder, nullptr);

    TFPRec rec{"C:\\keep;", "C:\\old;", "*", "", FP_LIST};
    std::vector<bool> pickerShown;
    QTimer::singleShot(0, [&] {
        TForm_SetEntry *d = Form_SetEntry;
        ASSERT_NE(d, nullptr);
        // Excluded field: the picker's cancel empties that field only.
        QTimer::singleShot(0, [&] {
            pickerShown.push_back(findfolder->isVisible());
            findfolder->Button3->click();
        });
        d->Button23->click();
        EXPECT_EQ(FolderTarget, 2);
        EXPECT_TRUE(d->Edit_ExcludeFileFolder->text().isEmpty());
        EXPECT_EQ(d->Edit_FileFolder->text(), QString("C:\\keep;"));
        // Protected field: OK on a filled field closes the picker and keeps the text.
        QTimer::singleShot(0, [&] {
            pickerShown.push_back(findfolder->isVisible());
            findfolder->Button2->click();
        });
        d->Button19->click();
        EXPECT_EQ(FolderTarget, 1);
        d->B_OK->click();
    });
    EXPECT_EQ(ShowEntryEditor(EDITOR_MODE_CHANGE, rec), 1);
    EXPECT_EQ(pickerShown, (std::vector<bool>{true, true}));
    EXPECT_EQ(rec.FileFolder, "C:\\keep;");
    EXPECT_TRUE(rec.ExcludeFileFolder.empty());
    EXPECT_TRUE(messages.texts.isEmpty());
    delete findfolder;
    OpenFolderPicker = nullptr;
    unsetenv("VELLAMORIX_DRIVES");
}

} // namespace
