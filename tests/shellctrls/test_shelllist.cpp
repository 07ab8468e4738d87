// The shell list view on its own, on real temporary folders.
#include "shellctrls/testenv.h"

#include "platform/exec/exec.h"
#include "platform/gui/messagebox.h"
#include "shellctrls/ShellList.h"
#include "shellctrls/ShellNotifier.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QTest>
#include <optional>
#include <QTreeView>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

using namespace shelltest;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> Names(const TCustomShellListView &list)
{
    std::vector<std::string> out;
    for (int i = 0; i < list.EntryCount(); ++i)
        out.push_back(list.Entry(i)->DisplayText());
    return out;
}

int IndexOfName(const TCustomShellListView &list, const std::string &name)
{
    const std::vector<std::string> names = Names(list);
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name)
            return static_cast<int>(i);
    return -1;
}

QString Cell(TCustomShellListView &list, int row, int column)
{
    QAbstractItemModel *model = list.ItemView()->model();
    return model->data(model->index(row, column)).toString();
}

// Opens the label editor of an entry, types `text` into it (or leaves what it shows) and confirms.
void ConfirmLabel(TShellListView &list, int index, const std::optional<QString> &text)
{
    // The editor of an earlier edit is deleted later: only a visible one is the new one.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    list.EditEntry(index);
    ASSERT_TRUE(list.IsEditing());
    QLineEdit *editor = nullptr;
    for (QLineEdit *e : list.ItemView()->findChildren<QLineEdit *>())
        if (e->isVisible())
            editor = e;
    ASSERT_NE(editor, nullptr);
    if (text)
        editor->setText(*text);
    QTest::keyClick(editor, Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] { return !list.IsEditing(); })); // the editor commits from the event loop
}

// A parent that counts the Enter presses that reach it.
class KeyCounter : public QWidget {
public:
    int presses = 0;

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
            ++presses;
        QWidget::keyPressEvent(event);
    }
};

class ShellListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = DriveC() + "/list-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        RemoveAll(dir);
        MakeDir(dir + "/zdir");
        MakeDir(dir + "/Mdir");
        MakeFile(dir + "/b.txt", "bb");
        MakeFile(dir + "/A.txt", "hello");
        MakeFile(dir + "/c10.txt");
        MakeFile(dir + "/c9.txt");
        win = "C:\\list-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
        previousSheet = vx::shell::SetPropertySheetHook([this](const vx::shell::PropertySheetInfo &info) {
            sheets.push_back(info.name);
            return true;
        });
    }
    void TearDown() override
    {
        vx::shell::SetPropertySheetHook(previousSheet);
        vx::shell::SetTrackPopupHook({});
        RemoveAll(dir);
    }

    std::string dir;  // POSIX
    std::string win;  // the same folder as the namespace writes it
    MessageLog box;
    std::vector<QString> &messages = box.texts;
    ExecLog exec;
    std::vector<vx::platform::ShellExecRequest> &executed = exec.requests;
    std::vector<QString> sheets;
    vx::shell::PropertySheetHook previousSheet;
};

const std::vector<std::string> kSorted = {"Mdir", "zdir", "A.txt", "b.txt", "c9.txt", "c10.txt"};

} // namespace

TEST_F(ShellListTest, StartsOnTheDesktop)
{
    TShellListView list;
    EXPECT_EQ(list.Root(), "rfDesktop");
    EXPECT_EQ(PathOf(list.RootShellFolder()), A("바탕 화면"));
    EXPECT_EQ(list.EntryCount(), list.ItemCount());
    EXPECT_NE(IndexOfName(list, A("내 컴퓨터")), -1);
    EXPECT_FALSE(list.Syncing());
}

TEST_F(ShellListTest, FoldersComeFirstThenTheShellsOrder)
{
    TShellListView list;
    list.SetRoot(win);
    EXPECT_EQ(Names(list), kSorted);
    EXPECT_EQ(list.ItemCount(), 6);
    EXPECT_EQ(list.ItemView()->model()->rowCount(), 6);
}

TEST_F(ShellListTest, AnyMixOfNamesEndsInTheShellsOrder)
{
    // Names on which a plain ordering of letters would disagree with the shell's.
    const char *names[] = {"a01", "a1", "a001.txt", "A1.txt", "_x", "~y", "Z", "z", "10", "9", "0009",
                           "\xed\x95\x9c\xea\xb8\x80", "\xea\xb0\x80", "b-2", "b_2", "b 2", "b.2", "B2", "x10y2", "x10y10",
                           "x9y99", "e\xcc\x81", "\xc3\xa9"};
    for (const char *name : names) {
        MakeFile(dir + "/" + name);
        MakeDir(dir + "/dir-" + name);
    }
    TShellListView list;
    list.SetRoot(win);
    ASSERT_EQ(list.EntryCount(), 6 + 2 * static_cast<int>(std::size(names)));
    IShellFolder *folder = list.RootShellFolder()->FolderIntf();
    for (int i = 1; i < list.EntryCount(); ++i) {
        TShellFolder *a = list.Entry(i - 1);
        TShellFolder *b = list.Entry(i);
        if (a->IsFolderItem() != b->IsFolderItem()) {
            EXPECT_TRUE(a->IsFolderItem()) << i; // folders first
            continue;
        }
        EXPECT_LT(HRESULT_CODE_SHORT(folder->CompareIDs(0, a->ItemId(), b->ItemId())), 0)
            << a->DisplayText() << " / " << b->DisplayText();
    }
}

TEST_F(ShellListTest, UnsortedEntriesKeepTheEnumerationOrder)
{
    TShellListView list;
    list.SetSortEntries(false);
    list.SetRoot(win);
    // The order the folder itself yields its items in.
    std::vector<std::string> enumerated;
    ComPtr<IEnumIDList> items;
    ASSERT_EQ(list.RootShellFolder()->FolderIntf()->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, items.Put()), S_OK);
    PItemIDList item = nullptr;
    ULONG fetched = 0;
    while (items->Next(1, &item, &fetched) == S_OK) {
        enumerated.push_back(ItemNameOf(list.RootShellFolder()->FolderIntf(), item, SHGDN_INFOLDER));
        FreeIdList(item);
    }
    ASSERT_EQ(enumerated.size(), kSorted.size());
    if (enumerated == kSorted)
        GTEST_SKIP() << "the folder yields its items in the sorted order already";
    EXPECT_EQ(Names(list), enumerated);
}

TEST_F(ShellListTest, ReportStyleShowsTheFoldersDetailColumns)
{
    TShellListView list;
    list.SetViewStyle(vsReport);
    ASSERT_EQ(list.Columns().size(), 4u);
    EXPECT_EQ(list.Columns()[0].Caption, QString::fromUtf8("이름"));
    EXPECT_EQ(list.Columns()[1].Caption, QString::fromUtf8("크기"));
    EXPECT_EQ(list.Columns()[2].Caption, QString::fromUtf8("종류"));
    EXPECT_EQ(list.Columns()[3].Caption, QString::fromUtf8("수정한 날짜"));
    EXPECT_EQ(list.Columns()[1].Alignment, LVCFMT_RIGHT);
    EXPECT_EQ(qobject_cast<QTreeView *>(list.ItemView())->header()->count(), 4);

    list.SetRoot(win);
    const int file = IndexOfName(list, "A.txt");
    ASSERT_GE(file, 0);
    EXPECT_EQ(Cell(list, file, 0), QString::fromUtf8("A.txt"));
    EXPECT_FALSE(Cell(list, file, 2).isEmpty()); // its type
    EXPECT_FALSE(Cell(list, file, 3).isEmpty()); // its time
}

TEST_F(ShellListTest, WithoutDetailInterfacesAFileSystemFolderGetsTheFourStandardColumns)
{
    ::setenv("VELLAMORIX_WINVER", "4", 1);
    struct Restore {
        ~Restore() { ::unsetenv("VELLAMORIX_WINVER"); }
    } restore;
    TShellListView list;
    list.SetRoot(win);
    list.SetViewStyle(vsReport);
    ASSERT_EQ(list.Columns().size(), 4u);
    EXPECT_EQ(list.Columns()[0].Caption, QStringLiteral("Name"));
    EXPECT_EQ(list.Columns()[1].Caption, QStringLiteral("Size"));
    EXPECT_EQ(list.Columns()[2].Caption, QStringLiteral("Type"));
    EXPECT_EQ(list.Columns()[3].Caption, QStringLiteral("Modified"));
    const int file = IndexOfName(list, "A.txt");
    EXPECT_EQ(Cell(list, file, 1), QStringLiteral("5"));
    EXPECT_EQ(Cell(list, file, 2), QStringLiteral(".txt"));
    EXPECT_EQ(Cell(list, IndexOfName(list, "zdir"), 1), QStringLiteral("-1"));
}

TEST_F(ShellListTest, PrefixSearchFindsTheLastEntryWrapsAndMisses)
{
    TShellListView list;
    list.SetRoot(win);
    const int last = list.EntryCount() - 1;
    EXPECT_EQ(list.FindEntry(ifPartialString, QStringLiteral("c1"), 0, true), last);
    EXPECT_EQ(list.FindEntry(ifExactString, QStringLiteral("C10"), last, false), last);
    EXPECT_EQ(list.FindEntry(ifPartialString, QStringLiteral("mD"), 3, true), 0);
    EXPECT_EQ(list.FindEntry(ifPartialString, QStringLiteral("mD"), 3, false), -1);
    EXPECT_EQ(list.FindEntry(ifPartialString, QStringLiteral("qq"), 0, true), -1);
    EXPECT_EQ(list.FindEntry(ifData, QStringLiteral("c1"), 0, true), -1);

    // Typed at the view.
    list.show();
    QAbstractItemView *view = list.ItemView();
    view->setFocus();
    QTest::keyClicks(view, QStringLiteral("c1"));
    EXPECT_EQ(list.SelectedIndex(), last);
    list.SelectEntry(-1);
    QTest::qWait(QApplication::keyboardInputInterval() + 50);
    QTest::keyClicks(view, QStringLiteral("qq"));
    EXPECT_EQ(list.SelectedIndex(), -1);
}

TEST_F(ShellListTest, SearchInAnEmptyListFindsNothing)
{
    TShellListView list;
    list.OnAddFolder = [](QObject *, TShellFolder *, bool &canAdd) { canAdd = false; };
    list.SetRoot(win);
    EXPECT_EQ(list.FindEntry(ifPartialString, QStringLiteral("a"), 0, true), -1);
}

TEST_F(ShellListTest, AddFolderThatRefusesEverythingLeavesAnEmptyView)
{
    TShellListView list;
    int asked = 0;
    list.OnAddFolder = [&](QObject *sender, TShellFolder *folder, bool &canAdd) {
        EXPECT_EQ(sender, &list);
        EXPECT_NE(folder, nullptr);
        ++asked;
        canAdd = false;
    };
    list.SetRoot(win);
    EXPECT_EQ(asked, 6);
    EXPECT_EQ(list.EntryCount(), 0);
    EXPECT_EQ(list.ItemCount(), 0);
    EXPECT_EQ(list.ItemView()->model()->rowCount(), 0);
}

TEST_F(ShellListTest, AddFolderMayRefuseSome)
{
    TShellListView list;
    list.OnAddFolder = [](QObject *, TShellFolder *folder, bool &canAdd) { canAdd = folder->IsFolderItem(); };
    list.SetRoot(win);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"Mdir", "zdir"}));
}

TEST_F(ShellListTest, F5KeepsTheSelectedPositionExceptTheLast)
{
    TShellListView list;
    list.SetRoot(win);
    list.show();
    QAbstractItemView *view = list.ItemView();

    list.SelectEntry(1);
    QTest::keyClick(view, Qt::Key_F5);
    EXPECT_EQ(list.SelectedIndex(), 1);
    EXPECT_EQ(PathOf(list.SelectedShellFolder()), win + "\\zdir");

    // The last entry is not selected again: the view ends with nothing selected.
    const int last = list.EntryCount() - 1;
    ASSERT_EQ(last, 5);
    list.SelectEntry(last);
    ASSERT_EQ(list.SelectedIndex(), last);
    QTest::keyClick(view, Qt::Key_F5);
    EXPECT_EQ(list.SelectedIndex(), -1);
    EXPECT_EQ(list.SelectedShellFolder(), nullptr);
    EXPECT_EQ(list.EntryCount(), 6);

    // The entry before the last one is.
    list.SelectEntry(last - 1);
    list.RefreshFolder();
    EXPECT_EQ(list.SelectedIndex(), last - 1);

    // F5 reads the folder again.
    MakeFile(dir + "/d.txt");
    QTest::keyClick(view, Qt::Key_F5);
    EXPECT_EQ(list.EntryCount(), 7);
    EXPECT_EQ(PathOf(list.RootShellFolder()), win);
}

TEST_F(ShellListTest, BackspaceGoesUpAndDoesNothingAtTheDesktop)
{
    TShellListView list;
    list.show();
    QAbstractItemView *view = list.ItemView();
    const int desktopCount = list.EntryCount();
    QTest::keyClick(view, Qt::Key_Backspace);
    EXPECT_EQ(PathOf(list.RootShellFolder()), A("바탕 화면"));
    EXPECT_EQ(list.EntryCount(), desktopCount);

    list.SetRoot(win + "\\zdir");
    QTest::keyClick(list.ItemView(), Qt::Key_Backspace);
    EXPECT_EQ(PathOf(list.RootShellFolder()), win);
    QTest::keyClick(list.ItemView(), Qt::Key_Backspace);
    EXPECT_EQ(PathOf(list.RootShellFolder()), "C:\\");
    QTest::keyClick(list.ItemView(), Qt::Key_Backspace);
    EXPECT_EQ(PathOf(list.RootShellFolder()), A("내 컴퓨터"));
}

TEST_F(ShellListTest, BackspaceDuringALabelEditEditsTheLabel)
{
    TShellListView list;
    list.SetRoot(win);
    list.show();
    const int file = IndexOfName(list, "A.txt");
    list.EditEntry(file);
    ASSERT_TRUE(list.IsEditing());
    auto *editor = list.ItemView()->findChild<QLineEdit *>();
    ASSERT_NE(editor, nullptr);
    editor->setText(QStringLiteral("A.txtx"));
    editor->setFocus();
    QTest::keyClick(editor, Qt::Key_End);
    QTest::keyClick(editor, Qt::Key_Backspace);
    EXPECT_EQ(editor->text(), QStringLiteral("A.txt"));
    EXPECT_EQ(PathOf(list.RootShellFolder()), win);
}

TEST_F(ShellListTest, RenamingThroughTheLabelEditor)
{
    TShellListView list;
    list.SetRoot(win);
    list.show();
    const int file = IndexOfName(list, "b.txt");
    const auto rename = [&](const QString &text) { ConfirmLabel(list, file, text); };

    // A name that is taken: the shell refuses, the error is reported, nothing changes.
    rename(QStringLiteral("A.txt"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].contains(QStringLiteral("Rename to A.txt failed"))) << messages[0].toStdString();
    EXPECT_TRUE(fs::exists(dir + "/b.txt"));
    EXPECT_EQ(list.Entry(file)->DisplayText(), "b.txt");

    // A free name renames the file and the entry shows it.
    rename(QStringLiteral("renamed.txt"));
    EXPECT_TRUE(fs::exists(dir + "/renamed.txt"));
    EXPECT_FALSE(fs::exists(dir + "/b.txt"));
    EXPECT_EQ(list.Entry(file)->DisplayText(), "renamed.txt");
    EXPECT_EQ(Cell(list, file, 0), QStringLiteral("renamed.txt"));
    EXPECT_EQ(messages.size(), 1u);
}

// A file whose name CP949 cannot hold shows it approximately ("caf?.txt"): confirming the label
// unchanged renames nothing, a new name CP949 cannot hold is refused, a plain one renames.
TEST_F(ShellListTest, LabelEditsRenameNothingLossily)
{
    MakeFile(dir + "/caf\xC3\xA9.txt", "x");
    TShellListView list;
    list.SetRoot(win);
    list.show();
    const int file = IndexOfName(list, "caf?.txt");
    ASSERT_NE(file, -1);
    const auto confirm = [&](const std::optional<QString> &text) { ConfirmLabel(list, file, text); };
    confirm(std::nullopt);
    EXPECT_TRUE(fs::exists(dir + "/caf\xC3\xA9.txt"));
    EXPECT_FALSE(fs::exists(dir + "/caf?.txt"));
    EXPECT_TRUE(messages.empty());

    confirm(QString::fromUtf8("naïve.txt"));
    EXPECT_TRUE(fs::exists(dir + "/caf\xC3\xA9.txt"));
    EXPECT_FALSE(fs::exists(dir + "/na\xC3\xAFve.txt"));
    EXPECT_EQ(messages, std::vector<QString>{QStringLiteral("CP949로 나타낼 수 없는 글자가 있습니다.")});

    confirm(QStringLiteral("카페.txt"));
    EXPECT_FALSE(fs::exists(dir + "/caf\xC3\xA9.txt"));
    EXPECT_TRUE(fs::exists(dir + "/\xEC\xB9\xB4\xED\x8E\x98.txt"));
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(ShellListTest, EnterOpensFoldersAndFiles)
{
    TShellListView list;
    list.SetRoot(win);
    list.show();
    list.SelectEntry(IndexOfName(list, "A.txt"));
    QTest::keyClick(list.ItemView(), Qt::Key_Return);
    ASSERT_EQ(executed.size(), 1u);
    EXPECT_NE(executed[0].file.find("A.txt"), std::string::npos);
    EXPECT_EQ(PathOf(list.RootShellFolder()), win);

    list.SelectEntry(IndexOfName(list, "zdir"));
    QTest::keyClick(list.ItemView(), Qt::Key_Return);
    EXPECT_EQ(PathOf(list.RootShellFolder()), win + "\\zdir");
    EXPECT_EQ(list.EntryCount(), 0);
}

TEST_F(ShellListTest, AltEnterShowsThePropertySheetAndTheKeyGoesNoFurther)
{
    KeyCounter parent;
    auto *list = new TShellListView(&parent);
    list->SetRoot(win);
    parent.show();
    list->SelectEntry(IndexOfName(*list, "A.txt"));
    QTest::keyClick(list->ItemView(), Qt::Key_Return, Qt::AltModifier);
    ASSERT_EQ(sheets.size(), 1u);
    EXPECT_EQ(sheets[0], QStringLiteral("A.txt"));
    EXPECT_EQ(parent.presses, 0);
    EXPECT_TRUE(executed.empty());
    EXPECT_EQ(PathOf(list->RootShellFolder()), win);
}

TEST_F(ShellListTest, DoubleClickOpensTheEntryUnderTheMouse)
{
    TShellListView list;
    list.SetViewStyle(vsReport);
    list.SetRoot(win);
    list.resize(500, 400);
    list.show();
    QAbstractItemView *view = list.ItemView();
    auto rectOf = [&](int row) { return view->visualRect(view->model()->index(row, 0)); };

    const int file = IndexOfName(list, "c9.txt");
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rectOf(file).center());
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, rectOf(file).center());
    ASSERT_EQ(executed.size(), 1u);
    EXPECT_EQ(executed[0].file, win + "\\c9.txt");
    EXPECT_EQ(executed[0].directory, win + "\\");
    EXPECT_EQ(executed[0].show, SW_HIDE);
    EXPECT_EQ(executed[0].verb, "");

    // A double click on empty space opens nothing, even with an entry selected.
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, QPoint(10, view->viewport()->height() - 5));
    EXPECT_EQ(executed.size(), 1u);

    const int folder = IndexOfName(list, "Mdir");
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rectOf(folder).center());
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, rectOf(folder).center());
    EXPECT_EQ(PathOf(list.RootShellFolder()), win + "\\Mdir");
}

TEST_F(ShellListTest, WithoutAutoBrowseKeysAndDoubleClicksDoNotNavigate)
{
    TShellListView list;
    list.SetAutoBrowse(false);
    list.SetRoot(win);
    list.show();
    list.SelectEntry(IndexOfName(list, "zdir"));
    QTest::keyClick(list.ItemView(), Qt::Key_Return);
    QTest::keyClick(list.ItemView(), Qt::Key_Backspace);
    EXPECT_EQ(PathOf(list.RootShellFolder()), win);

    // Double clicks open neither folders nor files.
    list.SetViewStyle(vsReport);
    QAbstractItemView *view = list.ItemView();
    for (const char *name : {"zdir", "A.txt"}) {
        const int row = IndexOfName(list, name);
        const QPoint at = view->visualRect(view->model()->index(row, 0)).center();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        ASSERT_EQ(list.SelectedIndex(), row) << name;
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
    }
    EXPECT_EQ(PathOf(list.RootShellFolder()), win);
    EXPECT_TRUE(executed.empty());
}

namespace {

// Sends a context-menu request for entry Row of the list's view, as a right click does.
void RightClick(TCustomShellListView &list, int row)
{
    QAbstractItemView *view = list.ItemView();
    const QPoint at = view->visualRect(view->model()->index(row, 0)).center();
    QTest::mouseClick(view->viewport(), Qt::RightButton, {}, at);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at));
    QApplication::sendEvent(view->viewport(), &event);
}

UINT CommandNamed(const vx::shell::Menu &menu, const char *prefix)
{
    for (const vx::shell::MenuItem &item : menu.items)
        if (item.id && item.text.startsWith(QString::fromUtf8(prefix)))
            return item.id;
    return 0;
}

} // namespace

TEST_F(ShellListTest, DeleteFromTheContextMenuRefreshesTheView)
{
    TShellListView list;
    list.SetViewStyle(vsReport);
    list.SetRoot(win);
    list.resize(500, 400);
    list.show();
    int menus = 0;
    vx::shell::SetTrackPopupHook([&](const vx::shell::Menu &menu, int, int) {
        ++menus;
        return CommandNamed(menu, "삭제");
    });
    RightClick(list, IndexOfName(list, "c9.txt"));
    EXPECT_EQ(menus, 1);
    EXPECT_FALSE(fs::exists(dir + "/c9.txt"));
    EXPECT_EQ(IndexOfName(list, "c9.txt"), -1);
    EXPECT_EQ(list.EntryCount(), 5);
}

TEST_F(ShellListTest, RenameFromTheContextMenuStartsTheLabelEditor)
{
    TShellListView list;
    list.SetViewStyle(vsReport);
    list.SetRoot(win);
    list.resize(500, 400);
    list.show();
    vx::shell::SetTrackPopupHook([&](const vx::shell::Menu &menu, int, int) { return CommandNamed(menu, "이름 바꾸기"); });
    RightClick(list, IndexOfName(list, "A.txt"));
    EXPECT_TRUE(list.IsEditing());
    EXPECT_TRUE(fs::exists(dir + "/A.txt"));
}

TEST_F(ShellListTest, NoShellMenuWithoutAutoContextMenus)
{
    TShellListView list;
    list.SetAutoContextMenus(false);
    list.SetViewStyle(vsReport);
    list.SetRoot(win);
    list.resize(500, 400);
    list.show();
    int menus = 0;
    vx::shell::SetTrackPopupHook([&](const vx::shell::Menu &, int, int) {
        ++menus;
        return 0u;
    });
    RightClick(list, 0);
    EXPECT_EQ(menus, 0);
    EXPECT_EQ(list.SelectedIndex(), 0); // the click arrived

    // The same click with the setting on shows the shell menu.
    list.SetAutoContextMenus(true);
    RightClick(list, 0);
    EXPECT_EQ(menus, 1);
}

TEST_F(ShellListTest, AFolderThatVanishesShowsNoEntries)
{
    TShellListView list;
    list.SetRoot(win + "\\Mdir");
    MakeFile(dir + "/Mdir/inside.txt");
    list.RefreshFolder();
    EXPECT_EQ(list.EntryCount(), 1);
    list.SelectEntry(0);
    RemoveAll(dir + "/Mdir");
    list.RefreshFolder();
    EXPECT_EQ(list.EntryCount(), 0);
    EXPECT_EQ(list.SelectedIndex(), -1);
    EXPECT_EQ(PathOf(list.RootShellFolder()), win + "\\Mdir");
    list.BrowseUp();
    EXPECT_EQ(PathOf(list.RootShellFolder()), win);
}

TEST_F(ShellListTest, BrowsingToAFileShowsNothingRatherThanTheDesktop)
{
    TShellListView list;
    IdHolder file(win + "\\A.txt");
    list.BrowseTo(file.id);
    EXPECT_EQ(list.EntryCount(), 0);
}

TEST_F(ShellListTest, NamesThatDoNotConvertAreListedAndDrawn)
{
    MakeFile(dir + "/bad-\xff\xfe-name.txt");
    MakeFile(dir + "/" + std::string("\xed\x95\x9c\xea\xb8\x80") + ".txt"); // "한글.txt" in UTF-8
    TShellListView list;
    list.SetViewStyle(vsReport);
    list.SetRoot(win);
    list.resize(600, 400);
    list.show();
    EXPECT_EQ(list.EntryCount(), 8);
    EXPECT_NE(IndexOfName(list, A("한글.txt")), -1);
    for (int row = 0; row < list.EntryCount(); ++row) {
        EXPECT_FALSE(Cell(list, row, 0).isEmpty()) << row;
        EXPECT_FALSE(Cell(list, row, 2).isEmpty()) << row;
    }
    QTest::qWait(1);
}

TEST_F(ShellListTest, OnlyTheEntriesDrawnLoadTheirDetails)
{
    for (int i = 0; i < 2000; ++i)
        MakeFile(dir + "/many/f" + std::to_string(10000 + i));
    TShellListView list;
    list.SetViewStyle(vsReport);
    list.SetRoot(win + "\\many");
    list.resize(500, 300);
    list.show();
    QApplication::processEvents();
    list.ItemView()->viewport()->repaint();
    ASSERT_EQ(list.EntryCount(), 2000);
    int loaded = 0;
    for (int i = 0; i < list.EntryCount(); ++i)
        if (!list.Entry(i)->DetailTexts().empty())
            ++loaded;
    EXPECT_GT(loaded, 0);
    EXPECT_LT(loaded, 200);
    EXPECT_FALSE(list.Entry(0)->DetailTexts().empty()); // the first screen
    EXPECT_TRUE(list.Entry(1999)->DetailTexts().empty());
}

TEST_F(ShellListTest, ViewStylesSwitchTheItemViewAndKeepTheSelection)
{
    TShellListView list;
    list.SetRoot(win);
    list.show();
    list.SelectEntry(2);
    EXPECT_EQ(qobject_cast<QListView *>(list.ItemView())->viewMode(), QListView::IconMode);
    list.SetViewStyle(vsList);
    EXPECT_EQ(qobject_cast<QListView *>(list.ItemView())->viewMode(), QListView::ListMode);
    list.SetViewStyle(vsReport);
    ASSERT_NE(qobject_cast<QTreeView *>(list.ItemView()), nullptr);
    EXPECT_TRUE(list.ItemView()->isVisible());
    EXPECT_EQ(list.Columns().size(), 4u);
    EXPECT_EQ(list.SelectedIndex(), 2);
    list.SetViewStyle(vsSmallIcon);
    EXPECT_NE(qobject_cast<QListView *>(list.ItemView()), nullptr);
    EXPECT_EQ(list.SelectedIndex(), 2);
}

TEST_F(ShellListTest, ARootThatCannotBeResolvedLeavesTheViewWhereItWas)
{
    TShellListView list;
    list.SetRoot(win);
    EXPECT_THROW(list.SetRoot("Q:\\nowhere"), EShellError);
    EXPECT_EQ(list.Root(), win);
    EXPECT_EQ(PathOf(list.RootShellFolder()), win);
    EXPECT_EQ(Names(list), kSorted);
    EXPECT_FALSE(list.Syncing());
}

TEST_F(ShellListTest, AutoRefreshFollowsChangesOnDisk)
{
    TShellListView list;
    list.SetRoot(win);
    EXPECT_EQ(list.ChangeWatcher(), nullptr);
    list.SetAutoRefresh(true);
    ASSERT_NE(list.ChangeWatcher(), nullptr);
    EXPECT_EQ(list.ChangeWatcher()->Root(), win);
    EXPECT_FALSE(list.ChangeWatcher()->WatchSubTree());
    // The watcher starts watching on its own thread: keep making files until one is seen.
    int made = 0;
    ASSERT_TRUE(WaitFor([&] {
        if (list.EntryCount() > 6)
            return true;
        MakeFile(dir + "/new" + std::to_string(made++) + ".txt");
        WaitFor([&] { return list.EntryCount() > 6; }, 300);
        return list.EntryCount() > 6;
    }));
    EXPECT_NE(IndexOfName(list, "new0.txt"), -1);
    EXPECT_EQ(PathOf(list.RootShellFolder()), win);
    // Browsing moves the watcher along.
    list.SetRoot(win + "\\zdir");
    ASSERT_NE(list.ChangeWatcher(), nullptr);
    EXPECT_EQ(list.ChangeWatcher()->Root(), win + "\\zdir");
    list.SetAutoRefresh(false);
    EXPECT_EQ(list.ChangeWatcher(), nullptr);
}
