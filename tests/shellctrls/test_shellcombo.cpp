// The shell combo box on its own and driving a list view, on real temporary folders.
#include "shellctrls/testenv.h"

#include "platform/gui/messagebox.h"
#include "shellctrls/ShellCombo.h"
#include "shellctrls/ShellList.h"

#include <QAbstractItemView>
#include <QLineEdit>
#include <QPixmap>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

using namespace shelltest;

namespace {

std::vector<int> Indents(const TCustomShellComboBox &combo)
{
    std::vector<int> out;
    for (int i = 0; i < combo.count(); ++i)
        out.push_back(combo.EntryIndent(i));
    return out;
}

std::vector<QString> Captions(const TCustomShellComboBox &combo)
{
    std::vector<QString> out;
    for (int i = 0; i < combo.count(); ++i)
        out.push_back(combo.itemText(i));
    return out;
}

class ShellComboTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        MakeDir(DriveC() + "/a/b/c");
        MakeDir(DriveC() + "/a/x");
        MakeDir(DriveD() + "/data");
        MakeDir(DesktopDir() + "/proj");
    }

    MessageLog box;
    std::vector<QString> &messages = box.texts;
};

} // namespace

TEST_F(ShellComboTest, DesktopRootListsItsFoldersAndTheDrivesUnderTheComputer)
{
    TShellComboBox combo;
    const std::vector<QString> expected = {
        QString::fromUtf8("바탕 화면"),        QString::fromUtf8("내 문서"),          QString::fromUtf8("내 컴퓨터"),
        QString::fromUtf8("로컬 디스크 (C:)"), QString::fromUtf8("로컬 디스크 (D:)"), QString::fromUtf8("제어판"),
        QString::fromUtf8("내 네트워크 환경"), QString::fromUtf8("휴지통"),           QString::fromUtf8("proj")};
    EXPECT_EQ(Captions(combo), expected);
    EXPECT_EQ(Indents(combo), (std::vector<int>{0, 1, 1, 2, 2, 2, 1, 1, 1}));
    EXPECT_EQ(combo.currentIndex(), 0);
    EXPECT_EQ(PathOf(combo.FolderOfEntry(3)), "C:\\");
    // Every entry shows the shell's small icon.
    for (int i = 0; i < combo.count(); ++i) {
        EXPECT_GE(combo.EntryImageIndex(i), 0) << i;
        EXPECT_FALSE(combo.itemIcon(i).isNull()) << i;
    }
}

TEST_F(ShellComboTest, OnlyTheExactDesktopNameAddsTheDrives)
{
    TShellComboBox combo;
    combo.SetRoot("C:\\");
    EXPECT_EQ(combo.Root(), "C:\\");
    EXPECT_EQ(PathOf(combo.FolderOfEntry(0)), "C:\\");
    EXPECT_EQ(combo.itemText(1), QString::fromUtf8("a"));
    EXPECT_EQ(combo.EntryIndent(1), 1);

    combo.SetRoot("RFDESKTOP");
    ASSERT_GT(combo.count(), 3);
    EXPECT_EQ(combo.itemText(0), QString::fromUtf8("바탕 화면"));
    EXPECT_EQ(IndexOfPath(combo, "C:\\"), -1);
    for (int indent : Indents(combo))
        EXPECT_LE(indent, 1);
}

TEST_F(ShellComboTest, FollowingAFolderThreeLevelsDownInsertsTheChain)
{
    TShellComboBox combo;
    IdHolder deep("C:\\a\\b\\c");
    combo.FollowItemId(deep.id);

    const int drive = IndexOfPath(combo, "C:\\");
    ASSERT_EQ(drive, 3);
    EXPECT_EQ(PathOf(combo.FolderOfEntry(drive + 1)), "C:\\a");
    EXPECT_EQ(PathOf(combo.FolderOfEntry(drive + 2)), "C:\\a\\b");
    EXPECT_EQ(PathOf(combo.FolderOfEntry(drive + 3)), "C:\\a\\b\\c");
    EXPECT_EQ(combo.EntryIndent(drive + 1), 3);
    EXPECT_EQ(combo.EntryIndent(drive + 2), 4);
    EXPECT_EQ(combo.EntryIndent(drive + 3), 5);
    EXPECT_EQ(PathOf(combo.FolderOfEntry(drive + 4)), "D:\\");
    EXPECT_EQ(combo.currentIndex(), drive + 3);
    EXPECT_EQ(IndexOfPath(combo, "C:\\a\\x"), -1);
    EXPECT_EQ(combo.IndexOfId(deep.id), drive + 3);

    // A shorter path rebuilds the entries: the deeper branch is gone.
    IdHolder upper("C:\\a");
    combo.FollowItemId(upper.id);
    EXPECT_EQ(combo.currentIndex(), drive + 1);
    EXPECT_EQ(IndexOfPath(combo, "C:\\a\\b"), -1);
    EXPECT_EQ(PathOf(combo.FolderOfEntry(drive + 2)), "D:\\");
}

TEST_F(ShellComboTest, AFolderOutsideTheRootLeavesTheRootEntries)
{
    TShellComboBox combo;
    combo.SetRoot("C:\\a");
    const int before = combo.count();
    IdHolder elsewhere("D:\\data");
    combo.FollowItemId(elsewhere.id);
    EXPECT_EQ(combo.count(), before);
    EXPECT_EQ(combo.currentIndex(), 0);
    EXPECT_EQ(combo.IndexOfId(elsewhere.id), -1);
}

TEST_F(ShellComboTest, EntryLookups)
{
    TShellComboBox combo;
    ASSERT_GT(combo.count(), 2);
    EXPECT_EQ(combo.FolderOfEntry(combo.count() + 5), combo.FolderOfEntry(combo.count() - 1));
    EXPECT_EQ(combo.FolderOfEntry(-1), nullptr);
    IdHolder notShown("C:\\a\\x");
    EXPECT_EQ(combo.IndexOfId(notShown.id), -1);
    IdHolder drive("D:\\");
    EXPECT_EQ(combo.IndexOfId(drive.id), 4);
}

TEST_F(ShellComboTest, ChoosingWhileDroppedDownMovesTheListOnlyWhenConfirmed)
{
    TShellComboBox combo;
    TShellListView list;
    combo.SetShellListView(&list);
    EXPECT_EQ(list.ShellComboBox(), &combo);
    combo.show();

    const int drive = IndexOfPath(combo, "C:\\");
    combo.showPopup();
    ASSERT_TRUE(combo.DroppedDown());
    combo.setCurrentIndex(drive);
    EXPECT_EQ(PathOf(list.RootShellFolder()), A("바탕 화면"));
    EXPECT_EQ(list.Root(), "rfDesktop");
    combo.hidePopup();
    EXPECT_FALSE(combo.DroppedDown());
    EXPECT_EQ(PathOf(list.RootShellFolder()), "C:\\");

    // A choice made while the list is closed moves the list at once.
    combo.setCurrentIndex(IndexOfPath(combo, "D:\\"));
    EXPECT_EQ(PathOf(list.RootShellFolder()), "D:\\");
}

TEST_F(ShellComboTest, PickingAnEntryInTheDropDownShowsItsChainAndMovesTheList)
{
    TShellComboBox combo;
    TShellListView list;
    combo.SetShellListView(&list);
    combo.show();
    IdHolder deep("C:\\a\\b\\c");
    combo.FollowItemId(deep.id);
    const int upper = IndexOfPath(combo, "C:\\a");
    ASSERT_GT(upper, 0);

    combo.showPopup();
    QAbstractItemView *view = combo.view();
    const QRect rect = view->visualRect(view->model()->index(upper, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
    ASSERT_TRUE(WaitFor([&] { return !combo.DroppedDown(); }));

    EXPECT_EQ(PathOf(combo.SelectedShellFolder()), "C:\\a");
    EXPECT_EQ(IndexOfPath(combo, "C:\\a\\b"), -1); // the chain was rebuilt up to the choice
    EXPECT_EQ(PathOf(list.RootShellFolder()), "C:\\a");
}

TEST_F(ShellComboTest, GetItemImageSeesEachSubfolderPositionAndMayChangeIt)
{
    TShellComboBox combo;
    std::vector<int> seen;
    combo.OnGetItemImage = [&](QObject *sender, int index, int &image) {
        EXPECT_EQ(sender, &combo);
        seen.push_back(index);
        if (combo.itemText(index) == QString::fromUtf8("proj"))
            image = 1;
    };
    combo.SetRoot("C:\\");
    seen.clear();
    combo.SetRoot("rfDesktop");
    // The desktop's five folders at 1..5, then the computer's three under it at 3..5.
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5, 3, 4, 5}));
    const int proj = combo.findText(QString::fromUtf8("proj"));
    ASSERT_GE(proj, 0);
    EXPECT_EQ(combo.EntryImageIndex(proj), 1);
}

TEST_F(ShellComboTest, ImagesFollowTheSetting)
{
    TShellComboBox combo;
    combo.SetUseShellImages(false);
    combo.SetRoot("C:\\");
    for (int i = 0; i < combo.count(); ++i)
        EXPECT_EQ(combo.EntryImageIndex(i), -1);
    combo.SetUseShellImages(true);
    combo.SetRoot("rfDesktop");
    EXPECT_GE(combo.EntryImageIndex(0), 0);
    EXPECT_FALSE(combo.itemIcon(0).isNull());
}

TEST_F(ShellComboTest, AnOwnImageListTakesPrecedence)
{
    TShellComboBox combo;
    QPixmap red(16, 16);
    red.fill(Qt::red);
    const int index = combo.EntryImageIndex(0);
    ASSERT_GE(index, 0);
    std::vector<QIcon> own(static_cast<size_t>(index) + 1);
    own[static_cast<size_t>(index)] = QIcon(red);
    combo.SetImages(own);
    EXPECT_EQ(combo.itemIcon(0).pixmap(16, 16).toImage().pixelColor(8, 8), QColor(Qt::red));
    combo.SetImages({});
    EXPECT_NE(combo.itemIcon(0).pixmap(16, 16).toImage().pixelColor(8, 8), QColor(Qt::red));
}

TEST_F(ShellComboTest, WithoutShellImagesTheImageEventIsNotRaised)
{
    TShellComboBox combo;
    int raised = 0;
    combo.OnGetItemImage = [&](QObject *, int, int &) { ++raised; };
    combo.SetUseShellImages(false);
    combo.SetRoot("C:\\");
    EXPECT_EQ(raised, 0);
    EXPECT_GT(combo.count(), 1);
}

TEST_F(ShellComboTest, ARootThatCannotBeResolvedKeepsThePreviousRootAndItsEntries)
{
    TShellComboBox combo;
    combo.SetRoot("C:\\a");
    EXPECT_THROW(combo.SetRoot("Q:\\nowhere"), EShellError);
    EXPECT_EQ(combo.Root(), "C:\\a");
    ASSERT_GT(combo.count(), 0);
    EXPECT_EQ(PathOf(combo.FolderOfEntry(0)), "C:\\a");
    EXPECT_FALSE(combo.Syncing());
}

TEST_F(ShellComboTest, RootTextsDifferingInCaseAreTheSame)
{
    EXPECT_TRUE(vx::shellctrls::SameRootText("C:\\Temp", "c:\\tEMP"));
    EXPECT_FALSE(vx::shellctrls::SameRootText("C:\\Temp", "C:\\Temp2"));
    // Bytes of two-byte characters compare exactly (trail bytes may look like letters).
    EXPECT_FALSE(vx::shellctrls::SameRootText(std::string("\xB0\x41"), std::string("\xB0\x61")));
    EXPECT_TRUE(vx::shellctrls::SameRootText(A("C:\\한글"), A("c:\\한글")));
}

TEST_F(ShellComboTest, TypingAPathIntoTheEditFieldShowsIt)
{
    TShellComboBox combo;
    TShellListView list;
    combo.SetShellListView(&list);
    combo.show();
    combo.lineEdit()->setText(QString::fromUtf8("C:\\a\\b"));
    QTest::keyClick(combo.lineEdit(), Qt::Key_Return);
    EXPECT_EQ(PathOf(combo.SelectedShellFolder()), "C:\\a\\b");
    EXPECT_EQ(PathOf(list.RootShellFolder()), "C:\\a\\b");

    combo.lineEdit()->setText(QString::fromUtf8("C:\\no\\such"));
    QTest::keyClick(combo.lineEdit(), Qt::Key_Return);
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_EQ(PathOf(combo.SelectedShellFolder()), "C:\\a\\b");
    EXPECT_EQ(PathOf(list.RootShellFolder()), "C:\\a\\b");
}

TEST_F(ShellComboTest, UnlinkingAndGoingAwayClearTheLinks)
{
    auto combo = std::make_unique<TShellComboBox>();
    auto list = std::make_unique<TShellListView>();
    combo->SetShellListView(list.get());
    combo->SetShellListView(nullptr);
    EXPECT_EQ(list->ShellComboBox(), nullptr);

    list->SetShellComboBox(combo.get());
    EXPECT_EQ(combo->ShellListView(), list.get());
    list.reset();
    EXPECT_EQ(combo->ShellListView(), nullptr);
    combo->setCurrentIndex(3); // no list to move any more
    EXPECT_EQ(PathOf(combo->SelectedShellFolder()), "C:\\");
}
