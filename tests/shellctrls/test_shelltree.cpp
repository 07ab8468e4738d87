// The shell tree view on real temporary folders behind the drive map.
#include "shellctrls/shelltest.h"

#include "platform/exec/exec.h"
#include "platform/gui/messagebox.h"
#include "shellctrls/ShellCombo.h"
#include "shellctrls/ShellList.h"
#include "shellctrls/ShellNotifier.h"
#include "shellctrls/ShellTree.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QScrollBar>
#include <QTest>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

using namespace shelltest;

namespace {

const bool kSandbox = (Box(), true);

std::unique_ptr<TShellTreeView> MakeTree(const TRoot &root, TShellObjectTypes types = {otFolders})
{
    auto tree = std::make_unique<TShellTreeView>();
    tree->BeginLoad();
    tree->SetObjectTypes(types);
    tree->SetRoot(root);
    tree->Loaded();
    return tree;
}

TShellTreeNode *ChildNamed(TShellTreeNode *parent, const QString &text)
{
    for (int i = 0; parent && i < parent->childCount(); ++i)
        if (parent->Child(i)->Text() == text)
            return parent->Child(i);
    return nullptr;
}

QStringList ChildTexts(TShellTreeNode *parent)
{
    QStringList out;
    for (int i = 0; parent && i < parent->childCount(); ++i)
        out << parent->Child(i)->Text();
    return out;
}

// The label editor now open (closed ones may linger until deleted).
QLineEdit *OpenEditor(QTreeWidget *tree)
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (QLineEdit *e : tree->viewport()->findChildren<QLineEdit *>())
        if (e->isVisible())
            return e;
    return nullptr;
}

QString PathOf(TShellTreeNode *node)
{
    return node && node->Data() ? Q(node->Data()->ParsingPath()) : QString();
}

} // namespace

TEST(ShellTree, MyComputerRootShowsDrivesUnderOneSelectedTopNode)
{
    auto tree = MakeTree("rfMyComputer");
    ASSERT_EQ(tree->topLevelItemCount(), 1);
    TShellTreeNode *top = tree->FirstNode();
    ASSERT_NE(top, nullptr);

    IdList computer(SpecialList(CSIDL_DRIVES));
    ComPtr<IShellFolder> desktop = DesktopFolder();
    EXPECT_EQ(top->Text(), Q(ItemNameOf(desktop.Get(), computer.get(), SHGDN_NORMAL)));
    EXPECT_TRUE(SameItemId(top->Data()->FullItemId(), computer.get()));
    EXPECT_EQ(top->Level(), 0);
    EXPECT_TRUE(top->isExpanded());
    EXPECT_EQ(tree->Selected(), top);
    EXPECT_FALSE(tree->ShowRoot());
    EXPECT_FALSE(tree->rootIsDecorated());

    // The drives in the shell's order (C: before D:), then the computer's other folders.
    ASSERT_EQ(top->childCount(), 3);
    EXPECT_EQ(PathOf(top->Child(0)), QStringLiteral("C:\\"));
    EXPECT_EQ(PathOf(top->Child(1)), QStringLiteral("D:\\"));
    EXPECT_FALSE(PathOf(top->Child(2)).endsWith(QStringLiteral(":\\")));
    EXPECT_EQ(tree->FolderAt(0), top->Data());
    EXPECT_EQ(tree->FolderAt(2), top->Child(1)->Data());
    EXPECT_EQ(tree->FolderAt(4), nullptr);

    // Another letter case of the same root changes nothing, not even the nodes.
    tree->SetRoot("RFMYCOMPUTER");
    EXPECT_EQ(tree->Root(), "rfMyComputer");
    EXPECT_EQ(tree->FirstNode(), top);
}

TEST(ShellTree, FillsLazilyAndSetsExpandButtonsFromTheKindsListed)
{
    std::string win;
    const fs::path dir = CaseDir("lazy", &win);
    MakeDirs(dir / "withsub" / "inner");
    MakeFile(dir / "filesonly" / "a.txt");
    MakeDirs(dir / "empty");
    MakeFile(dir / "loose.txt");

    auto tree = MakeTree(win);
    TShellTreeNode *top = tree->FirstNode();
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(ChildTexts(top), (QStringList{"empty", "filesonly", "withsub"}));

    TShellTreeNode *withsub = ChildNamed(top, "withsub");
    TShellTreeNode *filesonly = ChildNamed(top, "filesonly");
    TShellTreeNode *empty = ChildNamed(top, "empty");
    ASSERT_TRUE(withsub && filesonly && empty);
    // A button before anything is read below it.
    EXPECT_TRUE(withsub->HasChildren());
    EXPECT_EQ(withsub->childCount(), 0);
    EXPECT_FALSE(filesonly->HasChildren());
    EXPECT_FALSE(empty->HasChildren());

    tree->ExpandNode(withsub);
    EXPECT_TRUE(withsub->isExpanded());
    EXPECT_EQ(ChildTexts(withsub), QStringList{"inner"});
    // A second expansion reads nothing again.
    tree->CollapseNode(withsub);
    fs::create_directories(dir / "withsub" / "later");
    tree->ExpandNode(withsub);
    EXPECT_EQ(ChildTexts(withsub), QStringList{"inner"});

    // With files listed too, a folder holding only files gets a button and lists them.
    auto both = MakeTree(win, {otFolders, otNonFolders});
    TShellTreeNode *top2 = both->FirstNode();
    ASSERT_NE(top2, nullptr);
    EXPECT_TRUE(ChildTexts(top2).contains("loose.txt"));
    TShellTreeNode *filesonly2 = ChildNamed(top2, "filesonly");
    ASSERT_NE(filesonly2, nullptr);
    EXPECT_TRUE(filesonly2->HasChildren());
    both->ExpandNode(filesonly2);
    EXPECT_EQ(ChildTexts(filesonly2), QStringList{"a.txt"});
    EXPECT_FALSE(ChildNamed(top2, "empty")->HasChildren());
}

TEST(ShellTree, ChildrenFollowTheShellsOrderFoldersFirst)
{
    std::string win;
    const fs::path dir = CaseDir("order", &win);
    for (const char *d : {"b10", "c", "B2", "a", "item 9", "item 10", "Item 1"})
        MakeDirs(dir / "big" / d);
    for (const char *f : {"zz.txt", "file10.txt", "A.txt", "file9.txt"})
        MakeFile(dir / "big" / f);

    auto tree = MakeTree(win, {otFolders, otNonFolders});
    TShellTreeNode *big = ChildNamed(tree->FirstNode(), "big");
    ASSERT_NE(big, nullptr);
    tree->ExpandNode(big);
    EXPECT_EQ(ChildTexts(big), (QStringList{"a", "B2", "b10", "c", "Item 1", "item 9", "item 10", "A.txt",
                                            "file9.txt", "file10.txt", "zz.txt"}));
}

TEST(ShellTree, UserExpansionThroughTheViewFillsTheNode)
{
    std::string win;
    const fs::path dir = CaseDir("userexpand", &win);
    MakeDirs(dir / "a" / "b");
    auto tree = MakeTree(win);
    tree->resize(300, 300);
    tree->show();
    TShellTreeNode *a = ChildNamed(tree->FirstNode(), "a");
    ASSERT_NE(a, nullptr);
    tree->expandItem(a); // as the view's expand button does
    EXPECT_TRUE(a->isExpanded());
    EXPECT_EQ(ChildTexts(a), QStringList{"b"});
}

TEST(ShellTree, RefusedExpansionSetsTheButtonFromTheChildCount)
{
    std::string win;
    const fs::path dir = CaseDir("refuse", &win);
    MakeDirs(dir / "a" / "b");
    auto tree = MakeTree(win);
    TShellTreeNode *a = ChildNamed(tree->FirstNode(), "a");
    ASSERT_NE(a, nullptr);
    ASSERT_TRUE(a->HasChildren());

    int asked = 0;
    tree->OnExpanding = [&](QObject *sender, TShellTreeNode *node, bool &allow) {
        EXPECT_EQ(sender, tree.get());
        EXPECT_EQ(node, a);
        ++asked;
        allow = false;
    };
    tree->ExpandNode(a);
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(a->isExpanded());
    EXPECT_EQ(a->childCount(), 0);
    EXPECT_FALSE(a->HasChildren());

    // Refused from the view as well: the node folds back.
    a->SetHasChildren(true);
    tree->expandItem(a);
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(a->isExpanded());
}

TEST(ShellTree, AddFolderRefusalKeepsTheFolderOutAndFreesIt)
{
    std::string win;
    const fs::path dir = CaseDir("addfolder", &win);
    MakeDirs(dir / "keep");
    MakeDirs(dir / "skip");
    DesktopFolder(); // unit start-up before counting
    const size_t before = vx::shell::TaskMemBlockCount();
    {
        auto tree = std::make_unique<TShellTreeView>();
        std::vector<QString> offered;
        tree->OnAddFolder = [&](QObject *, TShellFolder *folder, bool &canAdd) {
            offered.push_back(Q(folder->DisplayText()));
            canAdd = folder->DisplayText() != "skip";
        };
        tree->BeginLoad();
        tree->SetRoot(win);
        tree->Loaded();
        // The top node is not offered.
        std::sort(offered.begin(), offered.end());
        EXPECT_EQ(offered, (std::vector<QString>{"keep", "skip"}));
        EXPECT_EQ(ChildTexts(tree->FirstNode()), QStringList{"keep"});
        tree->ClearNodes();
        EXPECT_EQ(tree->topLevelItemCount(), 0);
    }
    // Every item ID list of the nodes and of the root went back to the allocator.
    EXPECT_EQ(vx::shell::TaskMemBlockCount(), before);
}

TEST(ShellTree, NodeDeletionFreesFolderObjectsOnEveryPath)
{
    std::string win;
    const fs::path dir = CaseDir("deletion", &win);
    MakeDirs(dir / "a" / "b" / "c");
    MakeDirs(dir / "x");
    DesktopFolder();
    const size_t before = vx::shell::TaskMemBlockCount();
    {
        auto tree = MakeTree(win);
        TShellTreeNode *a = ChildNamed(tree->FirstNode(), "a");
        tree->ExpandNode(a);
        tree->ExpandNode(a->Child(0));
        const size_t filled = vx::shell::TaskMemBlockCount();
        delete ChildNamed(tree->FirstNode(), "x");
        EXPECT_LT(vx::shell::TaskMemBlockCount(), filled);
        delete a; // with its expanded children
        tree->RefreshNode(tree->FirstNode());
        tree->SetRoot(win + "\\x"); // rebuild
    } // and the control's own destruction
    EXPECT_EQ(vx::shell::TaskMemBlockCount(), before);
}

TEST(ShellTree, BadRootRaisesKeepsTheOldRootAndRebuildsFromIt)
{
    std::string win;
    const fs::path dir = CaseDir("badroot", &win);
    MakeDirs(dir / "a");
    auto tree = MakeTree(win);
    ChildNamed(tree->FirstNode(), "a")->setExpanded(true);

    EXPECT_THROW(tree->SetRoot(win + "\\missing"), EShellError);
    EXPECT_EQ(tree->Root(), win);
    ASSERT_EQ(tree->topLevelItemCount(), 1);
    EXPECT_EQ(PathOf(tree->FirstNode()), Q(win));
    EXPECT_EQ(ChildTexts(tree->FirstNode()), QStringList{"a"});
    EXPECT_EQ(tree->Selected(), tree->FirstNode());

    EXPECT_THROW(tree->SetRoot(""), EShellError);
    EXPECT_EQ(tree->Root(), win);

    // The control stays usable.
    tree->SetRoot("rfMyComputer");
    EXPECT_EQ(PathOf(tree->FirstNode()->Child(1)), QStringLiteral("D:\\"));

    // A tree whose first root fails is empty, and a later good root works.
    auto fresh = std::make_unique<TShellTreeView>();
    fresh->BeginLoad();
    fresh->SetRoot("Q:\\nowhere");
    EXPECT_THROW(fresh->Loaded(), EShellError);
    EXPECT_EQ(fresh->topLevelItemCount(), 0);
    EXPECT_EQ(fresh->SelectedShellFolder(), nullptr);
    fresh->SetRoot(win);
    EXPECT_EQ(PathOf(fresh->FirstNode()), Q(win));
}

TEST(ShellTree, SelectionHookRunsBeforeTheChangeAndMayRefuse)
{
    std::string win;
    const fs::path dir = CaseDir("selhook", &win);
    MakeDirs(dir / "a");
    MakeDirs(dir / "b");
    auto tree = MakeTree(win);
    TShellTreeNode *top = tree->FirstNode();
    TShellTreeNode *a = ChildNamed(top, "a");
    TShellTreeNode *b = ChildNamed(top, "b");

    std::vector<std::pair<TShellTreeNode *, TShellTreeNode *>> seen; // (selected then, asked for)
    bool allow = true;
    tree->OnChanging = [&](QObject *, TShellTreeNode *node, bool &ok) {
        seen.emplace_back(tree->Selected(), node);
        ok = allow;
    };
    int changes = 0;
    tree->OnChange = [&](QObject *, TShellTreeNode *) { ++changes; };

    tree->SetSelected(a);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, top);
    EXPECT_EQ(seen[0].second, a);
    EXPECT_EQ(tree->Selected(), a);
    EXPECT_GE(changes, 1);

    allow = false;
    const int changesBefore = changes;
    tree->SetSelected(b);
    EXPECT_EQ(tree->Selected(), a);
    EXPECT_EQ(changes, changesBefore);

    // Keyboard moves go through the same hook.
    tree->resize(300, 300);
    tree->show();
    tree->setFocus();
    QTest::keyClick(tree.get(), Qt::Key_Down);
    EXPECT_EQ(tree->Selected(), a);
    allow = true;
    QTest::keyClick(tree.get(), Qt::Key_Down);
    EXPECT_EQ(tree->Selected(), b);
}

TEST(ShellTree, LabelEditRenamesThroughTheShellWithTheHandlersText)
{
    std::string win;
    const fs::path dir = CaseDir("rename", &win);
    MakeDirs(dir / "old" / "child");
    MakeDirs(dir / "taken");
    auto tree = MakeTree(win);
    tree->resize(300, 300);
    tree->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(tree.get())) << "tree not shown";

    TShellTreeNode *node = ChildNamed(tree->FirstNode(), "old");
    ASSERT_NE(node, nullptr);
    tree->ExpandNode(node);
    std::vector<QString> edited;
    tree->OnEdited = [&](QObject *, TShellTreeNode *n, QString &s) {
        EXPECT_EQ(n, node);
        edited.push_back(s);
        s = s + QStringLiteral("2");
    };
    tree->SetSelected(node);
    tree->EditNode(node);
    auto *editor = OpenEditor(tree.get());
    ASSERT_NE(editor, nullptr);
    editor->setText(QStringLiteral("new"));
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents(); // the delegate commits queued

    ASSERT_EQ(edited, std::vector<QString>{"new"});
    EXPECT_EQ(node->Text(), QStringLiteral("new2"));
    EXPECT_TRUE(fs::is_directory(dir / "new2" / "child"));
    EXPECT_FALSE(fs::exists(dir / "old"));
    EXPECT_EQ(PathOf(node), Q(win + "\\new2"));
    // The children under the renamed folder name the new path.
    ASSERT_EQ(node->childCount(), 1);
    EXPECT_EQ(PathOf(node->Child(0)), Q(win + "\\new2\\child"));

    // A rename the shell refuses keeps the old text and tells the user.
    MessageLog messages;
    tree->OnEdited = nullptr;
    TShellTreeNode *taken = ChildNamed(tree->FirstNode(), "taken");
    tree->SetSelected(taken);
    tree->EditNode(taken);
    editor = OpenEditor(tree.get());
    ASSERT_NE(editor, nullptr);
    editor->setText(QStringLiteral("new2"));
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents(); // the delegate commits queued
    EXPECT_EQ(taken->Text(), QStringLiteral("taken"));
    ASSERT_EQ(messages.texts.size(), 1u);
    EXPECT_EQ(messages.texts[0], QStringLiteral("Rename to new2 failed"));
    EXPECT_TRUE(fs::is_directory(dir / "taken"));
    EXPECT_TRUE(fs::is_directory(dir / "new2" / "child"));

    // A cancelled edit changes nothing.
    tree->EditNode(taken);
    editor = OpenEditor(tree.get());
    ASSERT_NE(editor, nullptr);
    editor->setText(QStringLiteral("other"));
    QTest::keyClick(editor, Qt::Key_Escape);
    QCoreApplication::processEvents();
    EXPECT_EQ(taken->Text(), QStringLiteral("taken"));
    EXPECT_TRUE(fs::is_directory(dir / "taken"));
}

// A folder whose name CP949 cannot hold shows it approximately ("caf?"): confirming the label
// unchanged renames nothing, a new name CP949 cannot hold is refused, a plain one renames.
TEST(ShellTree, LabelEditsRenameNothingLossily)
{
    std::string win;
    const fs::path dir = CaseDir("lossless", &win);
    MakeDirs(dir / "caf\xC3\xA9");
    auto tree = MakeTree(win);
    tree->resize(300, 300);
    tree->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(tree.get())) << "tree not shown";
    MessageLog messages;
    TShellTreeNode *node = ChildNamed(tree->FirstNode(), "caf?");
    ASSERT_NE(node, nullptr);
    tree->SetSelected(node);
    const auto confirm = [&](const std::optional<QString> &text) {
        tree->EditNode(node);
        QLineEdit *editor = OpenEditor(tree.get());
        ASSERT_NE(editor, nullptr);
        if (text)
            editor->setText(*text);
        QTest::keyClick(editor, Qt::Key_Return);
        QCoreApplication::processEvents(); // the delegate commits queued
    };
    confirm(std::nullopt);
    EXPECT_TRUE(fs::is_directory(dir / "caf\xC3\xA9"));
    EXPECT_FALSE(fs::exists(dir / "caf?"));
    EXPECT_EQ(node->Text(), QStringLiteral("caf?"));
    EXPECT_TRUE(messages.texts.empty());

    confirm(QString::fromUtf8("café"));
    EXPECT_TRUE(fs::is_directory(dir / "caf\xC3\xA9"));
    EXPECT_EQ(node->Text(), QStringLiteral("caf?"));
    EXPECT_EQ(messages.texts, std::vector<QString>{QStringLiteral("CP949로 나타낼 수 없는 글자가 있습니다.")});

    confirm(QStringLiteral("카페"));
    EXPECT_FALSE(fs::exists(dir / "caf\xC3\xA9"));
    EXPECT_TRUE(fs::is_directory(dir / "\xEC\xB9\xB4\xED\x8E\x98"));
    EXPECT_EQ(node->Text(), QStringLiteral("카페"));
    EXPECT_EQ(messages.texts.size(), 1u);
}

TEST(ShellTree, RefreshNodeKeepsExpansionSelectionAndTopNode)
{
    std::string win;
    const fs::path dir = CaseDir("refresh", &win);
    for (int i = 0; i < 40; ++i)
        MakeDirs(dir / ("f" + std::to_string(100 + i)));
    MakeDirs(dir / "m" / "n" / "o");
    MakeDirs(dir / "m" / "p");
    auto tree = MakeTree(win);
    tree->resize(250, 200);
    tree->show();

    TShellTreeNode *top = tree->FirstNode();
    TShellTreeNode *m = ChildNamed(top, "m");
    tree->ExpandNode(m);
    TShellTreeNode *n = ChildNamed(m, "n");
    tree->ExpandNode(n);
    tree->SetSelected(ChildNamed(n, "o"));
    tree->SetTopNode(ChildNamed(top, "f120"));
    ASSERT_EQ(tree->TopNode()->Text(), QStringLiteral("f120"));

    MakeDirs(dir / "m" / "q");
    fs::remove_all(dir / "f139");
    tree->RefreshNode(top);

    top = tree->FirstNode();
    ASSERT_EQ(tree->topLevelItemCount(), 1);
    EXPECT_TRUE(top->isExpanded());
    EXPECT_EQ(ChildNamed(top, "f139"), nullptr);
    m = ChildNamed(top, "m");
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(m->isExpanded());
    EXPECT_EQ(ChildTexts(m), (QStringList{"n", "p", "q"}));
    n = ChildNamed(m, "n");
    EXPECT_TRUE(n->isExpanded());
    EXPECT_FALSE(ChildNamed(m, "p")->isExpanded());
    ASSERT_NE(tree->Selected(), nullptr);
    EXPECT_EQ(PathOf(tree->Selected()), Q(win + "\\m\\n\\o"));
    ASSERT_NE(tree->TopNode(), nullptr);
    EXPECT_EQ(tree->TopNode()->Text(), QStringLiteral("f120"));
}

TEST(ShellTree, NavigateToIdExpandsDownAndSelects)
{
    std::string win;
    const fs::path dir = CaseDir("navigate", &win);
    MakeDirs(dir / "a" / "b" / "c");
    auto tree = MakeTree("rfMyComputer");

    IdList target(ParsePath(win + "\\a\\b"));
    ASSERT_NE(target.get(), nullptr);
    tree->NavigateToId(target.get());
    TShellTreeNode *selected = tree->Selected();
    ASSERT_NE(selected, nullptr);
    EXPECT_EQ(PathOf(selected), Q(win + "\\a\\b"));
    EXPECT_EQ(selected->Level(), 4); // computer, C:, the case folder, a, b
    EXPECT_TRUE(selected->ParentNode()->isExpanded());
    EXPECT_FALSE(selected->isExpanded()); // the target itself is not expanded

    // The already selected item: nothing happens, not even the selection hook.
    int asked = 0;
    tree->OnChanging = [&](QObject *, TShellTreeNode *, bool &) { ++asked; };
    tree->NavigateToId(target.get());
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(tree->Selected(), selected);

    // An item outside the root's subtree clears the selection.
    IdList desktop(SpecialList(CSIDL_DESKTOP));
    tree->NavigateToId(desktop.get());
    EXPECT_EQ(tree->Selected(), nullptr);
    EXPECT_EQ(tree->SelectedShellFolder(), nullptr);
}

TEST(ShellTree, ExpandingAnItemThatIsNoFolderOpensItWithTheShell)
{
    std::string win;
    const fs::path dir = CaseDir("open", &win);
    MakeFile(dir / "doc.txt");
    MakeDirs(dir / "sub"); // the top node expands by its sub-folders
    auto tree = MakeTree(win, {otFolders, otNonFolders});
    TShellTreeNode *doc = ChildNamed(tree->FirstNode(), "doc.txt");
    ASSERT_NE(doc, nullptr);
    EXPECT_FALSE(doc->HasChildren());

    ExecLog exec;
    doc->SetHasChildren(true);
    tree->ExpandNode(doc);
    ASSERT_EQ(exec.requests.size(), 1u);
    EXPECT_EQ(exec.requests[0].verb, "");
    EXPECT_EQ(exec.requests[0].file, win + "\\doc.txt");
    EXPECT_EQ(exec.requests[0].directory, win + "\\");
    EXPECT_EQ(exec.requests[0].show, 0);
    EXPECT_FALSE(doc->HasChildren());
    EXPECT_FALSE(doc->isExpanded());
}

TEST(ShellTree, OwnImagesReplaceTheShellIcons)
{
    std::string win;
    const fs::path dir = CaseDir("images", &win);
    MakeDirs(dir / "a");
    auto tree = MakeTree(win);
    TShellTreeNode *a = ChildNamed(tree->FirstNode(), "a");
    ASSERT_NE(a, nullptr);
    // Shell icons: indices into the system list; an open icon of index 0 would show the closed one.
    EXPECT_EQ(a->ImageIndex(), ShellIconIndex(a->Data()->FullItemId(), false, false));
    EXPECT_EQ(a->SelectedIndex(), ShellIconIndex(a->Data()->FullItemId(), false, true));
    EXPECT_NE(a->ImageIndex(), a->SelectedIndex()); // a folder: closed and open icons
    EXPECT_EQ(a->OverlayIndex(), -1);              // not shared
    EXPECT_FALSE(a->data(0, Qt::DecorationRole).isNull());
    EXPECT_EQ(a->data(0, Qt::DecorationRole).value<QIcon>().cacheKey(), tree->ImageIcon(a->ImageIndex()).cacheKey());
    tree->SetSelected(a);
    ASSERT_EQ(tree->Selected(), a);
    EXPECT_TRUE(a->isSelected());
    EXPECT_EQ(a->data(0, Qt::DecorationRole).value<QIcon>().cacheKey(), tree->ImageIcon(a->SelectedIndex()).cacheKey());
    tree->SetSelected(tree->FirstNode());

    QPixmap red(16, 16);
    red.fill(Qt::red);
    QPixmap blue(16, 16);
    blue.fill(Qt::blue);
    int asked = 0;
    tree->OnGetImageIndex = [&](QObject *, TShellTreeNode *node) {
        ++asked;
        node->SetImageIndex(1);
    };
    tree->SetImages({QIcon(red), QIcon(blue)});
    const QIcon shown = a->data(0, Qt::DecorationRole).value<QIcon>();
    EXPECT_GE(asked, 1);
    EXPECT_EQ(shown.pixmap(16, 16).toImage().pixelColor(4, 4), QColor(Qt::blue));
    // UseShellImages changes nothing visible while the own list is set.
    tree->SetUseShellImages(false);
    EXPECT_EQ(a->data(0, Qt::DecorationRole).value<QIcon>().pixmap(16, 16).toImage().pixelColor(4, 4),
              QColor(Qt::blue));
    tree->ClearImages();
    EXPECT_TRUE(a->data(0, Qt::DecorationRole).isNull());
    tree->SetUseShellImages(true);
    EXPECT_FALSE(a->data(0, Qt::DecorationRole).isNull());
}

TEST(ShellTree, VerbsFromTheShellMenu)
{
    std::string win;
    const fs::path dir = CaseDir("verbs", &win);
    MakeDirs(dir / "gone");
    MakeDirs(dir / "stays");
    auto tree = MakeTree(win);
    tree->resize(300, 300);
    tree->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(tree.get())) << "tree not shown";

    // "rename" starts the label editor and keeps the shell from renaming.
    TShellTreeNode *stays = ChildNamed(tree->FirstNode(), "stays");
    tree->SetSelected(stays);
    bool handled = false;
    tree->VerbInvoking("rename", handled);
    EXPECT_TRUE(handled);
    auto *editor = OpenEditor(tree.get());
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->text(), QStringLiteral("stays"));
    QTest::keyClick(editor, Qt::Key_Escape);
    QCoreApplication::processEvents();

    // A successful delete whose folder is still there keeps the node.
    tree->VerbInvoked("DELETE", true);
    EXPECT_EQ(ChildNamed(tree->FirstNode(), "stays"), stays);

    // The shell's own menu, as the user picks its delete command.
    TShellTreeNode *gone = ChildNamed(tree->FirstNode(), "gone");
    tree->SetSelected(gone);
    std::vector<QString> offered;
    auto previous = vx::shell::SetTrackPopupHook([&](const vx::shell::Menu &menu, int, int) -> UINT {
        for (const vx::shell::MenuItem &item : menu.items) {
            offered.push_back(item.text);
            if (item.text.startsWith(QStringLiteral("삭제")))
                return item.id;
        }
        return 0;
    });
    const QRect rect = tree->visualItemRect(gone);
    QContextMenuEvent event(QContextMenuEvent::Mouse, rect.center(), tree->viewport()->mapToGlobal(rect.center()));
    QApplication::sendEvent(tree->viewport(), &event);
    vx::shell::SetTrackPopupHook(previous);
    EXPECT_FALSE(offered.empty());
    EXPECT_FALSE(fs::exists(dir / "gone"));
    EXPECT_EQ(ChildNamed(tree->FirstNode(), "gone"), nullptr);
    EXPECT_NE(ChildNamed(tree->FirstNode(), "stays"), nullptr);

    // "paste" refreshes the selected node.
    tree->SetSelected(tree->FirstNode());
    MakeDirs(dir / "pasted");
    tree->VerbInvoked("paste", true);
    EXPECT_NE(ChildNamed(tree->FirstNode(), "pasted"), nullptr);
    // Failed commands do nothing.
    MakeDirs(dir / "later");
    tree->VerbInvoked("paste", false);
    EXPECT_EQ(ChildNamed(tree->FirstNode(), "later"), nullptr);
}

TEST(ShellTree, OwnPopupMenuIsShownInsteadOfTheShellMenu)
{
    std::string win;
    const fs::path dir = CaseDir("popup", &win);
    MakeDirs(dir / "a");
    auto tree = MakeTree(win);
    QMenu menu;
    menu.addAction(QStringLiteral("x"));
    tree->SetPopupMenu(&menu);
    tree->resize(300, 300);
    tree->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(tree.get())) << "tree not shown";

    int shellMenus = 0;
    auto previous = vx::shell::SetTrackPopupHook([&](const vx::shell::Menu &, int, int) -> UINT {
        ++shellMenus;
        return 0;
    });
    TShellTreeNode *a = ChildNamed(tree->FirstNode(), "a");
    const QRect rect = tree->visualItemRect(a);
    // A right click selects the node under the mouse.
    QTest::mouseClick(tree->viewport(), Qt::RightButton, Qt::NoModifier, rect.center());
    EXPECT_EQ(tree->Selected(), a);
    QContextMenuEvent event(QContextMenuEvent::Mouse, rect.center(), tree->viewport()->mapToGlobal(rect.center()));
    QApplication::sendEvent(tree->viewport(), &event);
    EXPECT_TRUE(menu.isVisible());
    menu.hide();
    EXPECT_EQ(shellMenus, 0);

    // Without right-click selection the selection stays.
    tree->SetSelected(tree->FirstNode());
    tree->SetRightClickSelect(false);
    QTest::mouseClick(tree->viewport(), Qt::RightButton, Qt::NoModifier, rect.center());
    EXPECT_EQ(tree->Selected(), tree->FirstNode());

    // A popup menu that does not pop up by itself leaves the request to the shell menu.
    tree->SetPopupMenu(&menu, false);
    QApplication::sendEvent(tree->viewport(), &event);
    EXPECT_EQ(shellMenus, 1);
    EXPECT_FALSE(menu.isVisible());
    vx::shell::SetTrackPopupHook(previous);
}

TEST(ShellTree, AutoRefreshWatchesTheSelectedFolder)
{
    std::string win;
    const fs::path dir = CaseDir("autorefresh", &win);
    MakeDirs(dir / "watched");
    auto tree = MakeTree(win);
    TShellTreeNode *watched = ChildNamed(tree->FirstNode(), "watched");
    ASSERT_NE(watched, nullptr);

    tree->SetAutoRefresh(true);
    ASSERT_NE(tree->ChangeWatcher(), nullptr);
    EXPECT_EQ(tree->ChangeWatcher()->Root(), win);
    tree->SetSelected(watched);
    ASSERT_NE(tree->ChangeWatcher(), nullptr);
    EXPECT_EQ(tree->ChangeWatcher()->Root(), win + "\\watched");
    EXPECT_FALSE(tree->ChangeWatcher()->WatchSubTree());

    // The watcher starts watching on its own thread: keep changing the folder until it reports.
    int made = 0;
    EXPECT_TRUE(WaitFor([&] {
        if (tree->Selected() && tree->Selected()->childCount() > 0)
            return true;
        MakeDirs(dir / "watched" / ("new" + std::to_string(made++)));
        return false;
    }));
    ASSERT_NE(tree->Selected(), nullptr);
    EXPECT_NE(ChildNamed(tree->Selected(), "new0"), nullptr);
    EXPECT_EQ(PathOf(tree->Selected()), Q(win + "\\watched"));

    tree->SetAutoRefresh(false);
    EXPECT_EQ(tree->ChangeWatcher(), nullptr);

    // Switched on before any root is resolved: nothing to watch, no failure.
    TShellTreeView idle;
    idle.BeginLoad();
    idle.Loaded(); // default root: the desktop
    TShellTreeView unresolved;
    unresolved.SetAutoRefresh(true);
    EXPECT_EQ(unresolved.ChangeWatcher(), nullptr);
}

// A companion that fails while it follows a selection does not leave the watcher off: it
// watches the newly selected folder as before.
TEST(ShellTree, AutoRefreshSurvivesACompanionThatFails)
{
    std::string win;
    const fs::path dir = CaseDir("failing", &win);
    MakeDirs(dir / "a" / "inside");
    MakeDirs(dir / "b" / "inside");
    auto tree = MakeTree(win);
    auto list = std::make_unique<TShellListView>();
    tree->SetShellListView(list.get());
    tree->SetAutoRefresh(true);
    ASSERT_NE(tree->ChangeWatcher(), nullptr);

    MessageLog messages;
    int fails = 0;
    list->OnAddFolder = [&](QObject *, TShellFolder *, bool &) {
        ++fails;
        throw std::runtime_error("the list cannot follow");
    };
    TShellTreeNode *a = ChildNamed(tree->FirstNode(), "a");
    ASSERT_NE(a, nullptr);
    tree->SetSelected(a);
    EXPECT_GT(fails, 0);
    EXPECT_FALSE(messages.texts.empty()); // the failure is reported
    EXPECT_EQ(tree->Selected(), a);
    EXPECT_TRUE(tree->AutoRefresh());
    ASSERT_NE(tree->ChangeWatcher(), nullptr);
    EXPECT_EQ(tree->ChangeWatcher()->Root(), win + "\\a");

    // And the next selection, with the companion well again, watches its folder.
    list->OnAddFolder = nullptr;
    TShellTreeNode *b = ChildNamed(tree->FirstNode(), "b");
    tree->SetSelected(b);
    ASSERT_NE(tree->ChangeWatcher(), nullptr);
    EXPECT_EQ(tree->ChangeWatcher()->Root(), win + "\\b");
}

TEST(ShellTree, MenuMessagesAreNotPassedOn)
{
    auto tree = std::make_unique<TShellTreeView>();
    LRESULT result = 7;
    EXPECT_TRUE(tree->MenuMessage(0x2B, 0, 0, result));
    EXPECT_TRUE(tree->MenuMessage(0x120, 0, 0, result));
    EXPECT_EQ(result, 7); // no shell menu open: dropped
    EXPECT_FALSE(tree->MenuMessage(0x0F, 0, 0, result));
}

TEST(ShellTree, CompanionsFollowTheTreeAndDriveIt)
{
    std::string win;
    const fs::path dir = CaseDir("companions", &win);
    MakeDirs(dir / "a" / "b");
    MakeFile(dir / "a" / "file.txt");
    auto tree = MakeTree(win);
    auto combo = std::make_unique<TShellComboBox>();
    auto list = std::make_unique<TShellListView>();

    // Linking hands the tree's root to the companion and sets its back-link.
    tree->SetShellComboBox(combo.get());
    tree->SetShellListView(list.get());
    EXPECT_EQ(combo->ShellTreeView(), tree.get());
    EXPECT_EQ(list->ShellTreeView(), tree.get());
    EXPECT_EQ(combo->Root(), win);
    EXPECT_EQ(list->Root(), win);

    // Selecting a node makes both follow it.
    TShellTreeNode *a = ChildNamed(tree->FirstNode(), "a");
    tree->SetSelected(a);
    ASSERT_NE(combo->SelectedShellFolder(), nullptr);
    EXPECT_TRUE(SameItemId(combo->SelectedShellFolder()->FullItemId(), a->Data()->FullItemId()));
    ASSERT_NE(list->RootShellFolder(), nullptr);
    EXPECT_TRUE(SameItemId(list->RootShellFolder()->FullItemId(), a->Data()->FullItemId()));
    EXPECT_EQ(list->EntryCount(), 2); // b and file.txt

    // The list view moving elsewhere moves the tree there.
    IdList b(ParsePath(win + "\\a\\b"));
    list->BrowseTo(b.get());
    ASSERT_NE(tree->Selected(), nullptr);
    EXPECT_EQ(PathOf(tree->Selected()), Q(win + "\\a\\b"));

    // A new root on the tree reaches both.
    tree->SetRoot(win + "\\a");
    EXPECT_EQ(combo->Root(), win + "\\a");
    EXPECT_EQ(list->Root(), win + "\\a");

    // Unlinking clears the back-link; a companion that goes away unlinks itself.
    tree->SetShellComboBox(nullptr);
    EXPECT_EQ(combo->ShellTreeView(), nullptr);
    list.reset();
    EXPECT_EQ(tree->ShellListView(), nullptr);
    tree->SetSelected(tree->FirstNode()->Child(0)); // nothing linked: no call into freed objects
    EXPECT_EQ(tree->ShellComboBox(), nullptr);
}

TEST(ShellTree, FoldersThatVanishLeaveTheTreeUsable)
{
    std::string win;
    const fs::path dir = CaseDir("vanish", &win);
    MakeDirs(dir / "gone" / "inner");
    MakeDirs(dir / "here" / "inner");
    auto tree = MakeTree(win);
    TShellTreeNode *gone = ChildNamed(tree->FirstNode(), "gone");
    ASSERT_TRUE(gone && gone->HasChildren());

    fs::remove_all(dir / "gone");
    tree->ExpandNode(gone);
    EXPECT_EQ(gone->childCount(), 0);
    EXPECT_FALSE(gone->HasChildren());
    EXPECT_FALSE(gone->isExpanded());

    // Refreshing a node whose folder is gone rebuilds it empty; the rest still works.
    tree->SetSelected(gone);
    tree->RefreshNode(gone);
    TShellTreeNode *again = ChildNamed(tree->FirstNode(), "gone");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->childCount(), 0);
    TShellTreeNode *here = ChildNamed(tree->FirstNode(), "here");
    tree->ExpandNode(here);
    EXPECT_EQ(ChildTexts(here), QStringList{"inner"});

    // The whole root gone: refreshing leaves an empty top node, a new root still works.
    fs::remove_all(dir);
    tree->RefreshNode(tree->FirstNode());
    ASSERT_EQ(tree->topLevelItemCount(), 1);
    EXPECT_EQ(tree->FirstNode()->childCount(), 0);
    tree->SetRoot("rfMyComputer");
    EXPECT_EQ(PathOf(tree->FirstNode()->Child(0)), QStringLiteral("C:\\"));
}

TEST(ShellTree, ButtonsAreDecidedWhenNodesAreDrawn)
{
    std::string win;
    const fs::path dir = CaseDir("drawn", &win);
    MakeDirs(dir / "withsub" / "inner");
    MakeFile(dir / "filesonly" / "a.txt");
    auto tree = MakeTree(win);
    TShellTreeNode *withsub = ChildNamed(tree->FirstNode(), "withsub");
    TShellTreeNode *filesonly = ChildNamed(tree->FirstNode(), "filesonly");
    ASSERT_TRUE(withsub && filesonly);
    // Before anything asks or draws, a button is shown and nothing below is read.
    EXPECT_EQ(filesonly->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);

    tree->resize(300, 300);
    tree->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(tree.get()));
    // Drawn, then the decided buttons are applied to the view.
    EXPECT_TRUE(WaitFor([&] {
        return filesonly->childIndicatorPolicy() == QTreeWidgetItem::DontShowIndicatorWhenChildless;
    }));
    EXPECT_EQ(withsub->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    EXPECT_FALSE(filesonly->HasChildren());
    EXPECT_TRUE(withsub->HasChildren());
}

TEST(ShellTree, ObjectTypesAndDriveRootsRebuildTheTree)
{
    MakeFile(Box().D() / "kinds" / "note.txt");
    auto tree = MakeTree("D:");
    EXPECT_EQ(tree->Root(), "D:\\"); // completed by the resolution
    EXPECT_EQ(PathOf(tree->FirstNode()), QStringLiteral("D:\\"));
    TShellTreeNode *kinds = ChildNamed(tree->FirstNode(), "kinds");
    ASSERT_NE(kinds, nullptr);
    EXPECT_FALSE(kinds->HasChildren());

    tree->SetObjectTypes({otFolders, otNonFolders});
    kinds = ChildNamed(tree->FirstNode(), "kinds");
    ASSERT_NE(kinds, nullptr);
    EXPECT_TRUE(kinds->HasChildren());
    tree->ExpandNode(kinds);
    EXPECT_EQ(ChildTexts(kinds), QStringList{"note.txt"});
    fs::remove_all(Box().D() / "kinds");
}
