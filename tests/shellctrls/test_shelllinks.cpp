// The tree view, combo box and list view linked together: each follows the others' moves,
// no move echoes back, and links clear when a control goes away.
#include "shellctrls/testenv.h"

#include "platform/gui/messagebox.h"
#include "shellctrls/ShellCombo.h"
#include "shellctrls/ShellList.h"
#include "shellctrls/ShellTree.h"

#include <QTest>
#include <gtest/gtest.h>
#include <memory>

using namespace shelltest;

namespace {

class ShellLinksTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        MakeDir(DriveC() + "/a/b/c");
        MakeFile(DriveC() + "/a/b/c/one.txt");
        MakeFile(DriveC() + "/a/b/c/two.txt");
        MakeDir(DriveC() + "/a/b/c/three");
        MakeDir(DriveD() + "/data");
        tree = std::make_unique<TShellTreeView>();
        combo = std::make_unique<TShellComboBox>();
        list = std::make_unique<TShellListView>();
        tree->show();
        combo->show();
        list->show();
        tree->SetShellComboBox(combo.get());
        tree->SetShellListView(list.get());
        combo->SetShellListView(list.get());
        list->OnAddFolder = [this](QObject *, TShellFolder *, bool &) { ++added; };
    }
    void TearDown() override
    {
        list.reset();
        combo.reset();
        tree.reset();
        EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
    }

    std::unique_ptr<TShellTreeView> tree;
    std::unique_ptr<TShellComboBox> combo;
    std::unique_ptr<TShellListView> list;
    int added = 0;
    MessageLog box;
    std::vector<QString> &messages = box.texts;
};

} // namespace

TEST_F(ShellLinksTest, LinksMeetFromBothSides)
{
    EXPECT_EQ(combo->ShellTreeView(), tree.get());
    EXPECT_EQ(list->ShellTreeView(), tree.get());
    EXPECT_EQ(tree->ShellComboBox(), combo.get());
    EXPECT_EQ(tree->ShellListView(), list.get());
    EXPECT_EQ(combo->ShellListView(), list.get());
    EXPECT_EQ(list->ShellComboBox(), combo.get());
    EXPECT_EQ(combo->Root(), tree->Root());
    EXPECT_EQ(list->Root(), tree->Root());
}

TEST_F(ShellLinksTest, TheTreeMovesTheComboBoxAndTheListThreeLevelsDown)
{
    IdHolder deep("C:\\a\\b\\c");
    added = 0;
    tree->NavigateToId(deep.id);
    EXPECT_EQ(PathOf(tree->SelectedShellFolder()), "C:\\a\\b\\c");
    EXPECT_EQ(PathOf(list->RootShellFolder()), "C:\\a\\b\\c");
    EXPECT_EQ(added, 3); // the list read the folder once
    EXPECT_EQ(list->EntryCount(), 3);

    const int drive = IndexOfPath(*combo, "C:\\");
    ASSERT_GE(drive, 0);
    EXPECT_EQ(PathOf(combo->FolderOfEntry(drive + 1)), "C:\\a");
    EXPECT_EQ(PathOf(combo->FolderOfEntry(drive + 2)), "C:\\a\\b");
    EXPECT_EQ(PathOf(combo->FolderOfEntry(drive + 3)), "C:\\a\\b\\c");
    EXPECT_EQ(combo->EntryIndent(drive + 3), combo->EntryIndent(drive) + 3);
    EXPECT_EQ(combo->currentIndex(), drive + 3);
    EXPECT_FALSE(tree->Syncing());
    EXPECT_FALSE(combo->Syncing());
    EXPECT_FALSE(list->Syncing());
}

TEST_F(ShellLinksTest, TheListMovesTheTreeAndTheComboBox)
{
    IdHolder deep("C:\\a\\b\\c");
    list->BrowseTo(deep.id);
    EXPECT_EQ(PathOf(tree->SelectedShellFolder()), "C:\\a\\b\\c");
    EXPECT_EQ(PathOf(combo->SelectedShellFolder()), "C:\\a\\b\\c");

    added = 0;
    QTest::keyClick(list->ItemView(), Qt::Key_Backspace);
    EXPECT_EQ(PathOf(list->RootShellFolder()), "C:\\a\\b");
    EXPECT_EQ(PathOf(tree->SelectedShellFolder()), "C:\\a\\b");
    EXPECT_EQ(PathOf(combo->SelectedShellFolder()), "C:\\a\\b");
    EXPECT_EQ(added, 1); // "c" alone, read once

    // Opening a folder in the list moves the others down again.
    list->SelectEntry(0);
    QTest::keyClick(list->ItemView(), Qt::Key_Return);
    EXPECT_EQ(PathOf(tree->SelectedShellFolder()), "C:\\a\\b\\c");
    EXPECT_EQ(PathOf(combo->SelectedShellFolder()), "C:\\a\\b\\c");
}

TEST_F(ShellLinksTest, TheComboBoxMovesTheTreeAndTheList)
{
    added = 0;
    combo->setCurrentIndex(IndexOfPath(*combo, "D:\\"));
    EXPECT_EQ(PathOf(tree->SelectedShellFolder()), "D:\\");
    EXPECT_EQ(PathOf(list->RootShellFolder()), "D:\\");
    EXPECT_EQ(added, 1); // "data", read once
    EXPECT_EQ(PathOf(combo->SelectedShellFolder()), "D:\\");
}

TEST_F(ShellLinksTest, DroppingDownDoesNotMoveTheCompanionsUntilConfirmed)
{
    const std::string before = PathOf(tree->SelectedShellFolder());
    combo->showPopup();
    combo->setCurrentIndex(IndexOfPath(*combo, "C:\\"));
    EXPECT_EQ(PathOf(tree->SelectedShellFolder()), before);
    EXPECT_EQ(PathOf(list->RootShellFolder()), before);
    combo->hidePopup();
    EXPECT_EQ(PathOf(tree->SelectedShellFolder()), "C:\\");
    EXPECT_EQ(PathOf(list->RootShellFolder()), "C:\\");
}

TEST_F(ShellLinksTest, ARootSetByNameReachesEveryControl)
{
    list->SetRoot("C:\\a");
    EXPECT_EQ(tree->Root(), "C:\\a");
    EXPECT_EQ(combo->Root(), "C:\\a");
    EXPECT_EQ(PathOf(combo->FolderOfEntry(0)), "C:\\a");
    EXPECT_EQ(PathOf(tree->RootShellFolder()), "C:\\a");

    combo->SetRoot("D:\\");
    EXPECT_EQ(tree->Root(), "D:\\");
    EXPECT_EQ(list->Root(), "D:\\");
    EXPECT_EQ(PathOf(list->RootShellFolder()), "D:\\");

    tree->SetRoot("C:\\a\\b");
    EXPECT_EQ(combo->Root(), "C:\\a\\b");
    EXPECT_EQ(list->Root(), "C:\\a\\b");
    EXPECT_EQ(PathOf(list->RootShellFolder()), "C:\\a\\b");
}

TEST_F(ShellLinksTest, AControlThatGoesAwayIsUnlinked)
{
    combo.reset();
    EXPECT_EQ(tree->ShellComboBox(), nullptr);
    EXPECT_EQ(list->ShellComboBox(), nullptr);
    IdHolder deep("C:\\a\\b");
    tree->NavigateToId(deep.id);
    EXPECT_EQ(PathOf(list->RootShellFolder()), "C:\\a\\b");
    list->BrowseUp();
    EXPECT_EQ(PathOf(tree->SelectedShellFolder()), "C:\\a");

    tree.reset();
    EXPECT_EQ(list->ShellTreeView(), nullptr);
    list->BrowseUp();
    EXPECT_EQ(PathOf(list->RootShellFolder()), "C:\\");
}

TEST_F(ShellLinksTest, TheListGoingAwayLeavesTheTreeAndComboBoxWorking)
{
    list.reset();
    EXPECT_EQ(tree->ShellListView(), nullptr);
    EXPECT_EQ(combo->ShellListView(), nullptr);
    combo->setCurrentIndex(IndexOfPath(*combo, "D:\\"));
    EXPECT_EQ(PathOf(tree->SelectedShellFolder()), "D:\\");
}

TEST_F(ShellLinksTest, UnlinkingFromTheTreeClearsTheBackLinks)
{
    tree->SetShellComboBox(nullptr);
    tree->SetShellListView(nullptr);
    EXPECT_EQ(combo->ShellTreeView(), nullptr);
    EXPECT_EQ(list->ShellTreeView(), nullptr);
    const std::string before = PathOf(tree->SelectedShellFolder());
    combo->setCurrentIndex(IndexOfPath(*combo, "D:\\"));
    EXPECT_EQ(PathOf(tree->SelectedShellFolder()), before);
    EXPECT_EQ(PathOf(list->RootShellFolder()), "D:\\"); // still linked to the combo box
}
