// The browser window: the three controls placed and linked, its commands working.
#include "shellctrls/testenv.h"

#include "platform/gui/messagebox.h"
#include "shellctrls/ShellCombo.h"
#include "shellctrls/ShellList.h"
#include "shellctrls/ShellTree.h"
#include "tools/shellbrowser/browser.h"

#include <QAction>
#include <QLabel>
#include <QStatusBar>
#include <QTest>
#include <QTreeView>
#include <cstdlib>
#include <gtest/gtest.h>

using namespace shelltest;

namespace {

class ShellBrowserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        MakeDir(DriveC() + "/docs/letters");
        MakeFile(DriveC() + "/docs/readme.txt");
        MakeFile(DriveC() + "/docs/.hidden");
    }

    MessageLog box;
    std::vector<QString> &messages = box.texts;
};

} // namespace

TEST_F(ShellBrowserTest, PlacesTheThreeControlsLinkedTogether)
{
    TShellBrowserWindow window("C:\\docs");
    window.show();
    TShellTreeView *tree = window.Tree();
    TShellComboBox *combo = window.Combo();
    TShellListView *list = window.List();
    ASSERT_TRUE(tree && combo && list);
    EXPECT_EQ(tree->ShellComboBox(), combo);
    EXPECT_EQ(tree->ShellListView(), list);
    EXPECT_EQ(combo->ShellListView(), list);
    EXPECT_EQ(list->ShellComboBox(), combo);
    EXPECT_EQ(combo->ShellTreeView(), tree);
    EXPECT_EQ(list->ShellTreeView(), tree);
    EXPECT_EQ(tree->Root(), "C:\\docs");
    EXPECT_EQ(PathOf(list->RootShellFolder()), "C:\\docs");
    EXPECT_EQ(list->ViewStyle(), vsReport);
    EXPECT_EQ(list->EntryCount(), 2); // the hidden file is not listed
    EXPECT_TRUE(window.findChild<QLabel *>()->text().contains(QStringLiteral("C:\\docs")));

    // Opening the sub-folder in the list moves the tree and the combo box along.
    list->SelectEntry(0);
    QTest::keyClick(list->ItemView(), Qt::Key_Return);
    EXPECT_EQ(PathOf(tree->SelectedShellFolder()), "C:\\docs\\letters");
    EXPECT_EQ(PathOf(combo->SelectedShellFolder()), "C:\\docs\\letters");
    EXPECT_TRUE(window.windowTitle().contains(QStringLiteral("letters")));

    window.Action("ActionUp")->trigger();
    EXPECT_EQ(PathOf(list->RootShellFolder()), "C:\\docs");
    EXPECT_EQ(PathOf(tree->SelectedShellFolder()), "C:\\docs");
    EXPECT_TRUE(messages.empty());
}

TEST_F(ShellBrowserTest, ViewCommandsReachTheList)
{
    TShellBrowserWindow window("C:\\docs");
    window.show();
    TShellListView *list = window.List();
    window.Action("ActionIcons")->trigger();
    EXPECT_EQ(list->ViewStyle(), vsIcon);
    window.Action("ActionDetails")->trigger();
    EXPECT_EQ(list->ViewStyle(), vsReport);
    EXPECT_NE(qobject_cast<QTreeView *>(list->ItemView()), nullptr);

    window.Action("ActionHidden")->setChecked(true);
    EXPECT_EQ(list->EntryCount(), 3);
    window.Action("ActionAutoRefresh")->setChecked(true);
    EXPECT_TRUE(list->AutoRefresh());
    EXPECT_NE(list->ChangeWatcher(), nullptr);
    window.Action("ActionAutoRefresh")->setChecked(false);
    EXPECT_EQ(list->ChangeWatcher(), nullptr);

    MakeFile(DriveC() + "/docs/later.txt");
    window.Action("ActionRefresh")->trigger();
    EXPECT_EQ(list->EntryCount(), 4);
}

TEST_F(ShellBrowserTest, ARootThatCannotBeResolvedIsAnError)
{
    EXPECT_THROW(TShellBrowserWindow window("Q:\\nowhere"), EShellError);
}
