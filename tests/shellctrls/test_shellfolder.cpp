// SPDX-License-Identifier: GPL-3.0-or-later
// The shell folder node: construction and depth, names, attributes, root resolution, renaming,
// detail columns, file data texts, context menus and verbs.
#include "platform/exec/exec.h"
#include "platform/drives/drives.h"
#include "shellctrls/ShellFolder.h"
#include "shellctrls/ShellNotifier.h"
#include "support/shell_env.h"
#include "support/cp949.h"

#include <QWidget>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

namespace {

bool SameBytes(LPCITEMIDLIST a, LPCITEMIDLIST b)
{
    return IdListSize(a) == IdListSize(b) && std::memcmp(a, b, IdListSize(a)) == 0;
}

class ShellFolderTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (TShellFolder *n : nodes_)
            delete n;
    }
    TShellFolder *Keep(TShellFolder *n)
    {
        nodes_.push_back(n);
        return n;
    }
    // A node for a Windows path, built as a control builds its root.
    TShellFolder *Root(const std::string &path)
    {
        TRoot root = path;
        return Keep(ResolveRoot(nullptr, "", root));
    }
    // A child node of `parent` for the child with this in-folder name.
    TShellFolder *Child(TShellFolder *parent, const std::string &name, DWORD flags = SHCONTF_FOLDERS | SHCONTF_NONFOLDERS | SHCONTF_INCLUDEHIDDEN)
    {
        ComPtr<IEnumIDList> e;
        if (!parent->FolderIntf() || parent->FolderIntf()->EnumObjects(nullptr, flags, e.Put()) != S_OK)
            return nullptr;
        LPITEMIDLIST item = nullptr;
        ULONG fetched = 0;
        TShellFolder *found = nullptr;
        while (!found && e->Next(1, &item, &fetched) == S_OK) {
            if (ItemNameOf(parent->FolderIntf(), item, SHGDN_INFOLDER) == name)
                found = Keep(new TShellFolder(parent, item, BindSubfolder(parent->FolderIntf(), item, nullptr).Get()));
            FreeIdList(item);
        }
        return found;
    }

    ShellTestEnv env_;
    std::vector<TShellFolder *> nodes_;
};

TEST_F(ShellFolderTest, NodesKnowTheirParentsAndDepth)
{
    ASSERT_NE(DesktopNode(), nullptr);
    EXPECT_EQ(DesktopNode()->ParentFolder(), nullptr);
    EXPECT_EQ(DesktopNode()->DisplayText(), Cp949("바탕 화면"));

    env_.File(env_.T("a/b/c.txt"));
    PItemIDList drives = nullptr;
    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &drives), S_OK);
    // Without parent: the desktop node is the parent, the depth 0, the full list the list itself.
    TShellFolder *computer = Keep(new TShellFolder(nullptr, drives, BindSubfolder(DesktopFolder().Get(), drives, nullptr).Get()));
    FreeIdList(drives);
    EXPECT_EQ(computer->ParentFolder(), DesktopNode());
    EXPECT_EQ(computer->Depth(), 0);
    EXPECT_TRUE(SameBytes(computer->FullItemId(), computer->ItemId()));
    EXPECT_EQ(computer->DisplayText(), Cp949("내 컴퓨터"));

    TShellFolder *t = Child(computer, Cp949("로컬 디스크 (T:)"));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->Depth(), 1);
    EXPECT_EQ(t->ParsingPath(), "T:\\");
    TShellFolder *a = Child(t, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->Depth(), 2);
    EXPECT_EQ(ItemCount(a->FullItemId()), 3);
    EXPECT_EQ(ItemCount(a->ItemId()), 1);
    EXPECT_EQ(a->ParsingPath(), "T:\\a");
    TShellFolder *b = Child(a, "b");
    TShellFolder *c = Child(b, "c.txt");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->Depth(), 4);
    EXPECT_EQ(c->FolderIntf(), nullptr); // a file is no folder
    EXPECT_EQ(c->ParsingPath(), "T:\\a\\b\\c.txt");
    EXPECT_EQ(c->DisplayText(), "c.txt");

    // With the desktop node as parent the depth is 0 as well.
    PItemIDList one = CopyIdList(computer->ItemId());
    TShellFolder *viaDesktop = Keep(new TShellFolder(DesktopNode(), one, nullptr));
    EXPECT_EQ(viaDesktop->Depth(), 0);
    FreeIdList(one);

    TShellFolder *fromFull = Keep(FolderFromFullId(c->FullItemId()));
    EXPECT_EQ(fromFull->ParentFolder(), DesktopNode());
    EXPECT_EQ(fromFull->Depth(), 0);
    EXPECT_TRUE(SameBytes(fromFull->ItemId(), c->FullItemId()));
    EXPECT_TRUE(SameBytes(fromFull->FullItemId(), c->FullItemId()));
    EXPECT_EQ(fromFull->DisplayText(), "c.txt");
    // A folder from a full list is bound to that folder; the desktop serves where nothing binds.
    TShellFolder *aFull = Keep(FolderFromFullId(a->FullItemId()));
    EXPECT_TRUE(HasContent(aFull->FolderIntf(), SHCONTF_FOLDERS));
    TShellFolder *desktopFull = Keep(FolderFromFullId(DesktopNode()->FullItemId()));
    EXPECT_NE(desktopFull->FolderIntf(), nullptr);
}

TEST_F(ShellFolderTest, StrRetTextOfEveryKind)
{
    STRRET s{};
    s.uType = STRRET_CSTR;
    std::strcpy(s.cStr, "?1abc?");
    EXPECT_EQ(StrRetText(nullptr, s), "1abc");
    std::strcpy(s.cStr, "?abc?");
    EXPECT_EQ(StrRetText(nullptr, s), "?abc?");
    std::strcpy(s.cStr, "?");
    EXPECT_EQ(StrRetText(nullptr, s), "?");
    std::strcpy(s.cStr, "?9");
    EXPECT_EQ(StrRetText(nullptr, s), "9");

    // An offset into the item: up to the end of the first item (or its terminating zero).
    PItemIDList list = AllocIdList(2 + 10 + 2);
    auto *b = reinterpret_cast<uint8_t *>(list);
    b[0] = 10;
    std::memcpy(b + 2, "xxname\0\0", 8);
    STRRET o{};
    o.uType = STRRET_OFFSET;
    o.uOffset = 4;
    EXPECT_EQ(StrRetText(list, o), "name");
    o.uOffset = 40;
    EXPECT_EQ(StrRetText(list, o), "");
    FreeIdList(list);

    // A wide text is converted and given back to the allocator.
    const size_t blocks = vx::shell::TaskMemBlockCount();
    IMalloc *m = nullptr;
    ASSERT_EQ(SHGetMalloc(&m), S_OK);
    const std::u16string wide = u"한글 이름";
    auto *w = static_cast<WCHAR *>(m->Alloc((wide.size() + 1) * 2));
    std::memcpy(w, wide.data(), wide.size() * 2);
    STRRET ws{};
    ws.uType = STRRET_WSTR;
    ws.pOleStr = w;
    EXPECT_EQ(StrRetText(nullptr, ws), Cp949("한글 이름"));
    EXPECT_EQ(vx::shell::TaskMemBlockCount(), blocks);
    EXPECT_EQ(StrRetText(nullptr, ws), ""); // nothing left to free twice

    STRRET other{};
    other.uType = 7;
    EXPECT_EQ(StrRetText(nullptr, other), "");
}

TEST_F(ShellFolderTest, ItemNameOfReplacesClassNames)
{
    EXPECT_EQ(ItemNameOf(nullptr, nullptr, 0), "parentfolder = nil");
    PItemIDList drives = nullptr;
    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &drives), S_OK);
    EXPECT_EQ(ItemNameOf(DesktopFolder().Get(), drives, SHGDN_FORPARSING), Cp949("내 컴퓨터"));
    FreeIdList(drives);
    env_.File(env_.T("?1x?.txt"));
    TShellFolder *t = Root("T:\\");
    TShellFolder *odd = Child(t, "1x.txt");
    ASSERT_NE(odd, nullptr) << "a name starting with ?digit loses its question marks";
}

TEST_F(ShellFolderTest, ResolveRootWithNamesDrivesAndBadPaths)
{
    env_.Dir(env_.T("x"));
    TRoot root = "rfMyComputer";
    TShellFolder *computer = Keep(ResolveRoot(nullptr, "rfDesktop", root));
    EXPECT_EQ(root, "rfMyComputer");
    EXPECT_EQ(ItemNameOf(DesktopFolder().Get(), computer->FullItemId(), SHGDN_NORMAL), Cp949("내 컴퓨터"));
    EXPECT_TRUE(computer->HasSubfolders());

    root = "rfmycomputer"; // letter case is not significant
    TShellFolder *again = ResolveRoot(nullptr, "", root);
    EXPECT_TRUE(SameItemId(again->FullItemId(), computer->FullItemId()));
    delete again;

    root = "T:";
    TShellFolder *drive = ResolveRoot(nullptr, "rfMyComputer", root);
    nodes_.push_back(drive);
    EXPECT_EQ(root, "T:\\");
    EXPECT_EQ(drive->ParsingPath(), "T:\\");
    EXPECT_EQ(drive->ParentFolder(), DesktopNode());

    // A failure restores the previous root, leaves the old node alive and names the root.
    for (const std::string &bad : {std::string(""), std::string("T:\\no such"), std::string("Q:"), std::string("rfNothing")}) {
        root = bad;
        try {
            ResolveRoot(drive, "T:\\", root);
            FAIL() << bad;
        } catch (const EShellError &e) {
            EXPECT_NE(std::string(e.what()).find(bad.empty() ? "\"\"" : bad), std::string::npos) << e.what();
        }
        EXPECT_EQ(root, "T:\\");
        EXPECT_EQ(drive->ParsingPath(), "T:\\");
    }

    // On success the old node is freed (ASan would report a leak or a double free otherwise).
    TShellFolder *old = ResolveRoot(nullptr, "", root = "T:\\x");
    root = "rfDesktop";
    TShellFolder *desk = Keep(ResolveRoot(old, "T:\\x", root));
    EXPECT_EQ(desk->DisplayText(), Cp949("바탕 화면"));

    root = "rfFavorites";
    TShellFolder *virt = Keep(ResolveRoot(nullptr, "", root));
    EXPECT_EQ(virt->DisplayText(), Cp949("즐겨찾기"));
    EXPECT_FALSE(virt->Traits().Contains(stFileSystem));
}

TEST_F(ShellFolderTest, TraitsAbilitiesAndKinds)
{
    env_.File(env_.T("f.txt"));
    env_.File(env_.T(".h"));
    env_.File(env_.T("ro"));
    ::chmod(env_.T("ro").c_str(), 0444);
    ASSERT_EQ(::symlink("f.txt", env_.T("ln").c_str()), 0);
    env_.Dir(env_.T("d/sub"));
    env_.Dir(env_.T("e"));
    TShellFolder *t = Root("T:\\");
    TShellFolder *f = Child(t, "f.txt");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->Abilities(), (TShellItemAbilities{saCopy, saDelete, saLink, saMove, saRename, saPropertySheet}));
    EXPECT_EQ(f->Traits(), (TShellItemTraits{stFileSystem}));
    EXPECT_FALSE(f->IsFolderItem());
    EXPECT_TRUE(Child(t, ".h")->Traits().Contains(stGhosted));
    EXPECT_TRUE(Child(t, "ro")->Traits().Contains(stReadOnly));
    EXPECT_TRUE(Child(t, "ln")->Traits().Contains(stLink));
    TShellFolder *d = Child(t, "d");
    EXPECT_TRUE(d->IsFolderItem());
    EXPECT_TRUE(d->HasSubfolders());
    EXPECT_FALSE(Child(t, "e")->HasSubfolders());
    EXPECT_TRUE(d->Abilities().Contains(saDropTarget));
    EXPECT_TRUE(d->Traits().Contains(stFileSystemAncestor));
    EXPECT_TRUE(t->Traits().Contains(stFileSystem));
    EXPECT_FALSE(t->Abilities().Contains(saRename));
    const int closedIcon = d->IconIndex(false);
    EXPECT_NE(closedIcon, f->IconIndex(false));
    EXPECT_NE(ShellIconIndex(d->FullItemId(), false, true), closedIcon);

    // HasContent: kinds decide; the error mode comes back as it was.
    const UINT before = SetErrorMode(SEM_NOOPENFILEERRORBOX);
    EXPECT_TRUE(HasContent(d->FolderIntf(), SHCONTF_FOLDERS));
    EXPECT_FALSE(HasContent(d->FolderIntf(), SHCONTF_NONFOLDERS));
    EXPECT_FALSE(HasContent(Child(t, "e")->FolderIntf(), SHCONTF_FOLDERS | SHCONTF_NONFOLDERS));
    EXPECT_FALSE(HasContent(nullptr, SHCONTF_FOLDERS));
    std::filesystem::remove_all(env_.T("e"));
    EXPECT_FALSE(HasContent(nodes_.back()->FolderIntf(), SHCONTF_FOLDERS));
    EXPECT_EQ(SetErrorMode(before), SEM_NOOPENFILEERRORBOX);
}

TEST_F(ShellFolderTest, RenameUpdatesTheNodeOrRefuses)
{
    env_.File(env_.Home("old.txt"), "data");
    env_.File(env_.Home("taken.txt"));
    PItemIDList personal = nullptr;
    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_PERSONAL, &personal), S_OK);
    TShellFolder *docs = Keep(new TShellFolder(DesktopNode(), personal, BindSubfolder(DesktopFolder().Get(), personal, nullptr).Get()));
    FreeIdList(personal);
    TShellFolder *file = Child(docs, "old.txt");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(ItemCount(file->FullItemId()), 2); // two levels below the desktop

    EXPECT_TRUE(file->RenameTo(QString::fromUtf8("새.txt")));
    EXPECT_TRUE(std::filesystem::exists(env_.Home("새.txt")));
    EXPECT_FALSE(std::filesystem::exists(env_.Home("old.txt")));
    PItemIDList expected = JoinIdLists(docs->FullItemId(), file->ItemId());
    EXPECT_TRUE(SameBytes(file->FullItemId(), expected));
    FreeIdList(expected);
    EXPECT_EQ(file->DisplayText(), Cp949("새.txt"));

    try {
        file->RenameTo(QStringLiteral("taken.txt"));
        FAIL();
    } catch (const EShellError &e) {
        EXPECT_STREQ(e.what(), "Rename to taken.txt failed");
    }
    EXPECT_EQ(file->DisplayText(), Cp949("새.txt"));

    // Folders too: an existing folder is never replaced.
    env_.Dir(env_.Home("d1/child"));
    env_.Dir(env_.Home("d2"));
    TShellFolder *d1 = Child(docs, "d1");
    ASSERT_NE(d1, nullptr);
    EXPECT_THROW(d1->RenameTo(QStringLiteral("d2")), EShellError);
    EXPECT_TRUE(std::filesystem::exists(env_.Home("d1/child")));

    // No rename ability: False, and the shell is not asked.
    TShellFolder *drive = Root("T:\\");
    EXPECT_FALSE(drive->RenameTo(QStringLiteral("X")));
    EXPECT_EQ(drive->ParsingPath(), "T:\\");

    // A node built from a full list renames through the desktop.
    TShellFolder *full = Keep(FolderFromFullId(file->FullItemId()));
    EXPECT_TRUE(full->RenameTo(QStringLiteral("third.txt")));
    EXPECT_EQ(full->ParsingPath(), vx::shell::PosixToWindows(env_.Home("third.txt")).value());
    EXPECT_TRUE(std::filesystem::exists(env_.Home("third.txt")));
}

TEST_F(ShellFolderTest, DetailsNeedLoadingAndComeFromTheRootsSource)
{
    env_.File(env_.T("det/a.txt"), std::string(1000, 'x'));
    env_.Dir(env_.T("det/sub"));
    TShellFolder *det = Root("T:\\det");
    TShellFolder *a = Child(det, "a.txt");
    ASSERT_NE(a, nullptr);
    try {
        a->DetailText(1);
        FAIL();
    } catch (const EShellError &e) {
        EXPECT_STREQ(e.what(), "a.txt: Missing call to LoadColumnDetails");
    }
    ASSERT_NE(det->Folder2Intf(), nullptr);
    EXPECT_EQ(det->DetailsIntf(), nullptr);
    EXPECT_EQ(det->DetailSource(), static_cast<IUnknown *>(det->Folder2Intf()));

    QWidget window;
    a->LoadColumnDetails(det, &window, 3);
    EXPECT_EQ(a->ViewWindow(), &window);
    ASSERT_EQ(a->DetailTexts().size(), 3u);
    EXPECT_EQ(a->DetailText(1), "1 KB");
    EXPECT_EQ(a->DetailText(2), Cp949("TXT 파일"));
    EXPECT_EQ(a->DetailText(3).size(), 16u);
    EXPECT_EQ(a->DetailText(9), "");
    // Loaded once: the same or a smaller count keeps the texts, even when the file changes.
    env_.File(env_.T("det/a.txt"), std::string(5000, 'x'));
    a->LoadColumnDetails(det, nullptr, 2);
    EXPECT_EQ(a->DetailText(1), "1 KB");
    EXPECT_EQ(a->ViewWindow(), &window);
    TShellFolder *sub = Child(det, "sub");
    sub->LoadColumnDetails(det, nullptr, 4);
    EXPECT_EQ(sub->DetailText(1), "");
    EXPECT_EQ(sub->DetailText(2), Cp949("파일 폴더"));
    EXPECT_EQ(sub->DetailText(4), "");
}

TEST_F(ShellFolderTest, OldPlatformsReadDetailsFromFileData)
{
    env_.Set("VELLAMORIX_WINVER", "0x0004");
    env_.File(env_.T("old/a.txt"), std::string(1000, 'x'));
    env_.Dir(env_.T("old/sub"));
    env_.File(env_.T("old/gone.txt"));
    TShellFolder *old = Root("T:\\old");
    EXPECT_EQ(old->Folder2Intf(), nullptr);
    TShellFolder *a = Child(old, "a.txt");
    a->LoadColumnDetails(old, nullptr, 4);
    EXPECT_EQ(a->DetailText(1), "1000");
    EXPECT_EQ(a->DetailText(2), ".txt");
    EXPECT_EQ(a->DetailText(3).substr(0, 2), "20");
    EXPECT_EQ(a->DetailText(4), "32");
    TShellFolder *sub = Child(old, "sub");
    sub->LoadColumnDetails(old, nullptr, 3);
    EXPECT_EQ(sub->DetailText(1), "-1");
    EXPECT_EQ(sub->DetailText(3), "1899-12-29");

    TShellFolder *gone = Child(old, "gone.txt");
    std::filesystem::remove(env_.T("old/gone.txt"));
    try {
        gone->LoadColumnDetails(old, nullptr, 4);
        FAIL();
    } catch (const EInvalidPath &e) {
        EXPECT_STREQ(e.what(), "Unable to retrieve folder details for \"gone.txt\". Error code $2");
    }
    EXPECT_THROW(gone->ReadFindData(), EInvalidPath);
}

TEST(FindDataText, ColumnsOfAFileAndAFolder)
{
    WIN32_FIND_DATAA d{};
    d.nFileSizeHigh = 1;
    d.nFileSizeLow = 0x40000000;
    std::strcpy(d.cFileName, "archive.tar.gz");
    d.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    EXPECT_EQ(FindDataText(d, 1), "5368709120");
    EXPECT_EQ(FindDataText(d, 2), ".gz");
    EXPECT_EQ(FindDataText(d, 4), "32");
    EXPECT_EQ(FindDataText(d, 0), "");
    EXPECT_EQ(FindDataText(d, 5), "");

    // Local 2026-03-04 00:00:00 shows the date alone; 15:07:09 shows at two-second steps.
    auto fileTime = [](int h, int m, int s) {
        struct tm t {};
        t.tm_year = 126;
        t.tm_mon = 2;
        t.tm_mday = 4;
        t.tm_hour = h;
        t.tm_min = m;
        t.tm_sec = s;
        t.tm_isdst = -1;
        const uint64_t ft = (static_cast<uint64_t>(mktime(&t)) + 11644473600ULL) * 10000000ULL;
        return FILETIME{static_cast<DWORD>(ft), static_cast<DWORD>(ft >> 32)};
    };
    d.ftLastWriteTime = fileTime(0, 0, 0);
    EXPECT_EQ(FindDataText(d, 3), "2026-03-04");
    d.ftLastWriteTime = fileTime(15, 7, 9);
    EXPECT_EQ(FindDataText(d, 3), "2026-03-04 " + Cp949("오후") + " 3:07:08");
    d.ftLastWriteTime = fileTime(9, 30, 0);
    EXPECT_EQ(FindDataText(d, 3), "2026-03-04 " + Cp949("오전") + " 9:30:00");
    d.ftLastWriteTime = FILETIME{0, 0}; // before 1980: no DOS date
    EXPECT_EQ(FindDataText(d, 3), "1899-12-29");

    std::strcpy(d.cFileName, "noext");
    EXPECT_EQ(FindDataText(d, 2), "");
    d.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    d.ftLastWriteTime = fileTime(15, 7, 9);
    EXPECT_EQ(FindDataText(d, 1), "-1");
    EXPECT_EQ(FindDataText(d, 3), "1899-12-29");
    EXPECT_EQ(FindDataText(d, 4), "16");
}

// A control that takes part in the shell menu's commands.
class SinkWidget : public QWidget, public IShellVerbSink {
public:
    void VerbInvoking(const AnsiString &Verb, bool &Handled) override
    {
        invoking.push_back(Verb);
        Handled = handle;
        menuWhileInvoking = ActiveMenu2() != nullptr;
    }
    void VerbInvoked(const AnsiString &Verb, bool Succeeded) override { invoked.emplace_back(Verb, Succeeded); }
    std::vector<AnsiString> invoking;
    std::vector<std::pair<AnsiString, bool>> invoked;
    bool handle = false;
    bool menuWhileInvoking = true;
};

TEST_F(ShellFolderTest, ShellMenuAsksTheSinkAndRunsTheChosenVerb)
{
    env_.File(env_.T("menu/a.txt"));
    env_.File(env_.T("menu/b.txt"));
    TShellFolder *menuDir = Root("T:\\menu");
    TShellFolder *a = Child(menuDir, "a.txt");
    TShellFolder *b = Child(menuDir, "b.txt");
    SinkWidget owner;
    owner.move(100, 200);
    std::string pick = "delete";
    bool menuOpen = false;
    int seenX = 0;
    auto previous = vx::shell::SetTrackPopupHook([&](const vx::shell::Menu &menu, int x, int) -> UINT {
        menuOpen = ActiveMenu2() != nullptr;
        seenX = x;
        for (const auto &item : menu.items) {
            const QString text = item.text;
            if ((pick == "delete" && text.startsWith(QString::fromUtf8("삭제"))) ||
                (pick == "rename" && text.startsWith(QString::fromUtf8("이름 바꾸기"))))
                return item.id;
        }
        return 0;
    });

    ShowShellMenu(&owner, a, 5, 6);
    EXPECT_TRUE(menuOpen);
    EXPECT_EQ(ActiveMenu2(), nullptr);
    EXPECT_EQ(seenX, owner.mapToGlobal(QPoint(5, 6)).x());
    EXPECT_EQ(owner.invoking, std::vector<AnsiString>{"delete"});
    ASSERT_EQ(owner.invoked.size(), 1u);
    EXPECT_EQ(owner.invoked[0], (std::pair<AnsiString, bool>("delete", true)));
    EXPECT_FALSE(std::filesystem::exists(env_.T("menu/a.txt")));
    EXPECT_FALSE(owner.menuWhileInvoking);

    // A sink that handles the verb keeps the shell from carrying it out.
    owner.handle = true;
    ShowShellMenu(&owner, b, 0, 0);
    EXPECT_TRUE(std::filesystem::exists(env_.T("menu/b.txt")));
    EXPECT_EQ(owner.invoked.back(), (std::pair<AnsiString, bool>("delete", true)));

    // Nothing chosen: no calls.
    pick = "none";
    ShowShellMenu(&owner, b, 0, 0);
    EXPECT_EQ(owner.invoking.size(), 2u);
    ShowShellMenu(&owner, nullptr, 0, 0);
    vx::shell::SetTrackPopupHook(previous);
}

TEST_F(ShellFolderTest, InvokeVerbAndOpenDefault)
{
    env_.File(env_.T("v/doc.txt"), "12");
    TShellFolder *v = Root("T:\\v");
    TShellFolder *doc = Child(v, "doc.txt");
    std::vector<vx::shell::PropertySheetInfo> sheets;
    auto previous = vx::shell::SetPropertySheetHook([&](const vx::shell::PropertySheetInfo &i) {
        sheets.push_back(i);
        return true;
    });
    InvokeVerb(doc, "properties");
    InvokeVerb(nullptr, "properties");
    ASSERT_EQ(sheets.size(), 1u);
    EXPECT_EQ(sheets[0].name, QStringLiteral("doc.txt"));
    EXPECT_EQ(sheets[0].nativePath, env_.T("v/doc.txt"));
    vx::shell::SetPropertySheetHook(previous);

    std::vector<std::string> opened;
    auto prevExec = vx::platform::SetShellExecHandler([&](const vx::platform::ShellExecRequest &r) {
        opened.push_back(r.nativePath);
        return true;
    });
    EXPECT_TRUE(doc->OpenDefault());
    EXPECT_EQ(opened, std::vector<std::string>{env_.T("v/doc.txt")});
    vx::platform::SetShellExecHandler([](const vx::platform::ShellExecRequest &) { return false; });
    EXPECT_FALSE(doc->OpenDefault());
    vx::platform::SetShellExecHandler(prevExec);
}

TEST(ShellConsts, TextsAndFormatting)
{
    EXPECT_EQ(LoadResString(65520), "Name");
    EXPECT_EQ(LoadResString(65523), "Modified");
    EXPECT_EQ(LoadResString(65525), "%s: Missing call to LoadColumnDetails");
    EXPECT_EQ(LoadResString(1), "");
    EXPECT_EQ(ShellFormat(SShellNoDetails, {AnsiString("x"), uint32_t(0x80070002)}),
              "Unable to retrieve folder details for \"x\". Error code $80070002");
    EXPECT_EQ(ShellFormat("%d%% %s", {int64_t(-5)}), "-5% ");
}

TEST(RootFolders, NamesAndNumbers)
{
    TRootFolder f;
    ASSERT_TRUE(RootFolderOf("rfControlPanel", f));
    EXPECT_EQ(f, rfControlPanel);
    EXPECT_EQ(RootFolderCsidl(rfControlPanel), 0x03);
    EXPECT_EQ(RootFolderCsidl(rfTemplates), 0x15);
    EXPECT_STREQ(RootFolderName(rfPrintHood), "rfPrintHood");
    EXPECT_FALSE(RootFolderOf("C:\\", f));
    EXPECT_FALSE(RootFolderOf("rfDesktopX", f));
}

} // namespace
