// The folder picker over the shell tree, filling the fields of a real entry editor.
#include "shellctrls/shelltest.h"

#include "editor/folder.h"
#include "editor/setting.h"
#include "platform/gui/messagebox.h"
#include "shellctrls/ShellTree.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <memory>
#include <vector>

using namespace shelltest;

namespace {

// The sandbox before main, so the shell unit sees the private folders from its start.
const bool kSandbox = (Box(), true);

// The next widget that Tab reaches after w.
QWidget *NextTabStop(QWidget *w)
{
    QWidget *n = w->nextInFocusChain();
    while (n != w && (!(n->focusPolicy() & Qt::TabFocus) || w->isAncestorOf(n)))
        n = n->nextInFocusChain();
    return n;
}

// An open editor as ShowEntryEditor makes it, without the modal loop.
class PickerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Box();
        dir = CaseDir("picker", &win);
        MakeDirs(dir / "Data" / "Sub");
        MakeDirs(dir / "Work");
        editor = std::make_unique<TForm_SetEntry>();
        Form_SetEntry = editor.get();
        FolderTarget = 1;
        picker = std::make_unique<Tfindfolder>();
    }
    void TearDown() override
    {
        picker.reset();
        Form_SetEntry = nullptr;
        editor.reset();
    }

    void Select(const std::string &path)
    {
        IdList id(ParsePath(path));
        ASSERT_NE(id.get(), nullptr) << path;
        picker->ShellTreeView1->NavigateToId(id.get());
        ASSERT_NE(picker->ShellTreeView1->Selected(), nullptr) << path;
    }

    fs::path dir;
    std::string win;
    std::unique_ptr<TForm_SetEntry> editor;
    std::unique_ptr<Tfindfolder> picker;
};

} // namespace

TEST_F(PickerTest, WindowAndControls)
{
    EXPECT_EQ(picker->windowTitle(), QStringLiteral("폴더 찾기"));
    EXPECT_EQ(picker->size(), QSize(329, 310));
    EXPECT_EQ(picker->Label1->text(), QStringLiteral("마우스 오른쪽 버튼으로 계속 추가할 수 있습니다. "));
    EXPECT_EQ(picker->Button1->text(), QStringLiteral("추가하기"));
    EXPECT_EQ(picker->Button2->text(), QStringLiteral("확 인"));
    EXPECT_EQ(picker->Button3->text(), QStringLiteral("취 소"));
    EXPECT_EQ(picker->N1->text(), QStringLiteral("추가하기"));
    EXPECT_EQ(picker->findChild<TShellTreeView *>(QStringLiteral("ShellTreeView1")), picker->ShellTreeView1);

    TShellTreeView *tree = picker->ShellTreeView1;
    EXPECT_EQ(tree->Root(), "rfMyComputer");
    EXPECT_EQ(tree->ObjectTypes(), TShellObjectTypes{otFolders});
    EXPECT_TRUE(tree->UseShellImages());
    EXPECT_FALSE(tree->AutoRefresh());
    EXPECT_EQ(tree->Indent(), 19);
    EXPECT_TRUE(tree->RightClickSelect());
    EXPECT_FALSE(tree->ShowRoot());
    EXPECT_EQ(tree->PopupMenu(), picker->PopupMenu1);
    // Built and ready before the first showing; no watcher thread.
    ASSERT_EQ(tree->topLevelItemCount(), 1);
    EXPECT_EQ(tree->FirstNode()->childCount(), 3); // C:, D: and the control panel
    EXPECT_EQ(tree->ChangeWatcher(), nullptr);

    // Resizable, with an icon of its own; under the label the tree of 273 x 201 pixels, under
    // it one row of buttons: add, OK, cancel from left to right.
    EXPECT_TRUE(picker->isSizeGripEnabled());
    EXPECT_FALSE(picker->windowIcon().isNull());
    picker->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(picker.get())) << "picker not shown";
    EXPECT_EQ(picker->size(), QSize(329, 310));
    EXPECT_EQ(tree->size(), QSize(273, 201));
    EXPECT_LT(picker->Label1->geometry().bottom(), tree->geometry().top());
    for (QPushButton *b : {picker->Button1, picker->Button2, picker->Button3}) {
        EXPECT_GT(b->geometry().top(), tree->geometry().bottom()) << b->objectName().toStdString();
        EXPECT_EQ(b->geometry().top(), picker->Button1->geometry().top()) << b->objectName().toStdString();
    }
    EXPECT_LT(picker->Button1->geometry().right(), picker->Button2->geometry().left());
    EXPECT_LT(picker->Button2->geometry().right(), picker->Button3->geometry().left());
    // The tree grows with the window.
    picker->resize(500, 450);
    QApplication::processEvents();
    EXPECT_GT(tree->width(), 273);
    EXPECT_GT(tree->height(), 201);
    picker->hide();

    // Tab order: the tree, OK, add, cancel.
    EXPECT_EQ(NextTabStop(tree), picker->Button2);
    EXPECT_EQ(NextTabStop(picker->Button2), picker->Button1);
    EXPECT_EQ(NextTabStop(picker->Button1), picker->Button3);
}

TEST_F(PickerTest, AddAppendsTheFolderAndItsPatternToTheProtectedField)
{
    Select(win + "\\Data");
    picker->Button1Click();
    const QString data = Q(win + "\\Data");
    EXPECT_EQ(editor->Edit_FileFolder->text(), data + ";" + data + "\\*;");

    Select(win + "\\Work");
    picker->N1->trigger();
    const QString work = Q(win + "\\Work");
    EXPECT_EQ(editor->Edit_FileFolder->text(), data + ";" + data + "\\*;" + work + ";" + work + "\\*;");
    EXPECT_TRUE(editor->Edit_ExcludeFileFolder->text().isEmpty());

    // Added twice, it stands twice.
    picker->Button1Click();
    EXPECT_EQ(editor->Edit_FileFolder->text().count(work + "\\*;"), 2);
}

// Folders whose names CP949 cannot hold, and a name holding "\" (which would read as two
// folders), are refused with a message and add nothing; a Korean name is added as it is.
TEST_F(PickerTest, FoldersThePathCannotNameExactlyAreRefused)
{
    MessageLog messages;
    MakeDirs(dir / "caf\xC3\xA9");   // "café"
    MakeDirs(dir / "a\\b");          // one folder named a\b
    MakeDirs(dir / "a" / "b");        // and the two it would be read as
    MakeDirs(dir / "bad\xFF");        // bytes that are no UTF-8
    MakeDirs(dir / "\xEC\x9E\x90\xEB\xA3\x8C"); // "자료"
    Select(win);
    TShellTreeView *tree = picker->ShellTreeView1;
    TShellTreeNode *top = tree->Selected();
    tree->ExpandNode(top);
    const auto child = [&](const QString &text) -> TShellTreeNode * {
        for (int i = 0; i < top->childCount(); ++i)
            if (top->Child(i)->Text() == text)
                return top->Child(i);
        return nullptr;
    };
    editor->Edit_FileFolder->setText(QStringLiteral("kept;"));
    for (const QString &name : {QStringLiteral("caf?"), QStringLiteral("a\\b"), QStringLiteral("bad?")}) {
        TShellTreeNode *node = child(name);
        ASSERT_NE(node, nullptr) << name.toStdString();
        tree->SetSelected(node);
        picker->Button1Click();
        EXPECT_EQ(editor->Edit_FileFolder->text(), QStringLiteral("kept;")) << name.toStdString();
    }
    EXPECT_EQ(messages.texts, std::vector<QString>(3, QStringLiteral("CP949로 나타낼 수 없는 글자가 있습니다.")));

    TShellTreeNode *korean = child(QStringLiteral("자료"));
    ASSERT_NE(korean, nullptr);
    tree->SetSelected(korean);
    picker->N1->trigger();
    const QString path = Q(win) + QStringLiteral("\\자료");
    EXPECT_EQ(editor->Edit_FileFolder->text(), "kept;" + path + ";" + path + "\\*;");
    EXPECT_EQ(messages.texts.size(), 3u);
}

TEST_F(PickerTest, TypedTextWithoutSeparatorIsJoinedDirectly)
{
    editor->Edit_FileFolder->setText(QStringLiteral("typed"));
    Select(win + "\\Work");
    picker->Button1Click();
    const QString work = Q(win + "\\Work");
    EXPECT_EQ(editor->Edit_FileFolder->text(), "typed" + work + ";" + work + "\\*;");
}

TEST_F(PickerTest, DriveRootAndTheComputerItemAreAddedAsTheShellNamesThem)
{
    Select("D:\\");
    picker->Button1Click();
    EXPECT_EQ(editor->Edit_FileFolder->text(), QStringLiteral("D:\\;D:\\\\*;"));

    editor->Edit_FileFolder->clear();
    TShellTreeView *tree = picker->ShellTreeView1;
    tree->SetSelected(tree->FirstNode());
    picker->Button1Click();
    const QString name = tree->FirstNode()->Text();
    EXPECT_FALSE(name.isEmpty());
    EXPECT_FALSE(name.startsWith(QStringLiteral("::{")));
    EXPECT_EQ(editor->Edit_FileFolder->text(), name + ";" + name + "\\*;");
}

TEST_F(PickerTest, ExcludedFieldIsTheOnlyOneTouchedWhenTargeted)
{
    MessageLog messages;
    FolderTarget = 2;
    editor->Edit_FileFolder->setText(QStringLiteral("C:\\keep;"));
    // OK tests the excluded field, which is still empty.
    picker->show();
    picker->Button2Click();
    ASSERT_EQ(messages.texts.size(), 1u);
    EXPECT_EQ(messages.texts[0], QStringLiteral("추가한 폴더가 없습니다."));
    EXPECT_TRUE(picker->isVisible());

    Select(win + "\\Data\\Sub");
    picker->Button1Click();
    const QString sub = Q(win + "\\Data\\Sub");
    EXPECT_EQ(editor->Edit_ExcludeFileFolder->text(), sub + ";" + sub + "\\*;");
    EXPECT_EQ(editor->Edit_FileFolder->text(), QStringLiteral("C:\\keep;"));

    picker->show();
    picker->Button3Click();
    EXPECT_TRUE(editor->Edit_ExcludeFileFolder->text().isEmpty());
    EXPECT_EQ(editor->Edit_FileFolder->text(), QStringLiteral("C:\\keep;"));
    EXPECT_FALSE(picker->isVisible());
    EXPECT_EQ(messages.texts.size(), 1u);

    // Any target other than 1 is the excluded field.
    FolderTarget = 0;
    picker->Button1Click();
    EXPECT_EQ(editor->Edit_ExcludeFileFolder->text(), sub + ";" + sub + "\\*;");
    EXPECT_EQ(editor->Edit_FileFolder->text(), QStringLiteral("C:\\keep;"));
}

TEST_F(PickerTest, OkOnAnEmptyFieldWarnsAndStaysOpen)
{
    MessageLog messages;
    picker->show();
    picker->Button2Click();
    ASSERT_EQ(messages.texts.size(), 1u);
    EXPECT_EQ(messages.texts[0], QStringLiteral("추가한 폴더가 없습니다."));
    EXPECT_TRUE(picker->isVisible());

    Select(win + "\\Data");
    picker->Button1Click();
    picker->Button2Click();
    EXPECT_EQ(messages.texts.size(), 1u);
    EXPECT_FALSE(picker->isVisible());
    EXPECT_FALSE(editor->Edit_FileFolder->text().isEmpty());
}

TEST_F(PickerTest, CancelEmptiesTheFieldAndTheCloseBoxKeepsIt)
{
    editor->Edit_FileFolder->setText(QStringLiteral("before;"));
    Select(win + "\\Data");
    picker->Button1Click();
    Select(win + "\\Work");
    picker->Button1Click();
    picker->show();
    picker->Button3Click();
    EXPECT_TRUE(editor->Edit_FileFolder->text().isEmpty());
    EXPECT_FALSE(picker->isVisible());

    picker->show();
    Select(win + "\\Data");
    picker->Button1Click();
    picker->Button1Click();
    const QString kept = editor->Edit_FileFolder->text();
    EXPECT_FALSE(kept.isEmpty());
    picker->close();
    EXPECT_FALSE(picker->isVisible());
    EXPECT_EQ(editor->Edit_FileFolder->text(), kept);
}

TEST_F(PickerTest, AddWithoutASelectedFolderDoesNothing)
{
    picker->ShellTreeView1->SetSelected(nullptr);
    ASSERT_EQ(picker->ShellTreeView1->SelectedShellFolder(), nullptr);
    editor->Edit_FileFolder->setText(QStringLiteral("same"));
    picker->Button1Click();
    picker->N1Click();
    EXPECT_EQ(editor->Edit_FileFolder->text(), QStringLiteral("same"));

    // Without an open editor nothing is written and nothing fails.
    Form_SetEntry = nullptr;
    Select(win + "\\Data");
    picker->Button1Click();
    picker->Button3Click();
    EXPECT_EQ(editor->Edit_FileFolder->text(), QStringLiteral("same"));
}

TEST_F(PickerTest, RightClickSelectsAndOffersTheAddMenu)
{
    picker->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(picker.get())) << "picker not shown";
    TShellTreeView *tree = picker->ShellTreeView1;
    TShellTreeNode *drive = tree->FirstNode()->Child(1);
    const QRect rect = tree->visualItemRect(drive);
    QTest::mouseClick(tree->viewport(), Qt::RightButton, Qt::NoModifier, rect.center());
    EXPECT_EQ(tree->Selected(), drive);
    QContextMenuEvent event(QContextMenuEvent::Mouse, rect.center(), tree->viewport()->mapToGlobal(rect.center()));
    QApplication::sendEvent(tree->viewport(), &event);
    EXPECT_TRUE(picker->PopupMenu1->isVisible());
    picker->PopupMenu1->hide();
    picker->N1->trigger();
    EXPECT_EQ(editor->Edit_FileFolder->text(), QStringLiteral("D:\\;D:\\\\*;"));
}

TEST(FolderPickerWiring, EditorButtonsOpenTheOneLongLivedPicker)
{
    Box();
    std::string win;
    const fs::path dir = CaseDir("wiring", &win);
    MakeDirs(dir / "One");
    MakeDirs(dir / "Two");

    QWidget owner;
    InstallFolderPicker(&owner);
    ASSERT_NE(findfolder, nullptr);
    Tfindfolder *first = findfolder;
    InstallFolderPicker(&owner); // a second call keeps the same window
    EXPECT_EQ(findfolder, first);

    TForm_SetEntry editor;
    Form_SetEntry = &editor;

    // Button19: the protected field; the picker is driven from inside its modal loop.
    QTimer::singleShot(0, [&] {
        IdList id(ParsePath(win + "\\One"));
        findfolder->ShellTreeView1->NavigateToId(id.get());
        findfolder->Button1Click();
        findfolder->Button2Click();
    });
    editor.Button19Click();
    EXPECT_EQ(FolderTarget, 1);
    const QString one = Q(win + "\\One");
    EXPECT_EQ(editor.Edit_FileFolder->text(), one + ";" + one + "\\*;");

    // Button23: the excluded field; the tree still has the last selection.
    QString kept;
    QTimer::singleShot(0, [&] {
        if (TShellFolder *selected = findfolder->ShellTreeView1->SelectedShellFolder())
            kept = Q(selected->ParsingPath());
        IdList id(ParsePath(win + "\\Two"));
        findfolder->ShellTreeView1->NavigateToId(id.get());
        findfolder->Button1Click();
        findfolder->close();
    });
    editor.Button23Click();
    EXPECT_EQ(FolderTarget, 2);
    EXPECT_EQ(kept, one);
    const QString two = Q(win + "\\Two");
    EXPECT_EQ(editor.Edit_ExcludeFileFolder->text(), two + ";" + two + "\\*;");
    EXPECT_EQ(editor.Edit_FileFolder->text(), one + ";" + one + "\\*;");

    Form_SetEntry = nullptr;
    delete findfolder;
    EXPECT_EQ(findfolder, nullptr);
    // With the picker gone the buttons do nothing rather than fail.
    TForm_SetEntry other;
    Form_SetEntry = &other;
    other.Button19Click();
    EXPECT_TRUE(other.Edit_FileFolder->text().isEmpty());
    Form_SetEntry = nullptr;
}
