// SPDX-License-Identifier: GPL-3.0-or-later
// The shell namespace over the file system: parsing, names, attributes, ordering, enumeration,
// details, special folders, file search, icons, context-menu verbs and execution.
#include "platform/exec/exec.h"
#include "platform/drives/drives.h"
#include "platform/shell/itemid.h"
#include "platform/shell/shell.h"
#include "support/shell_env.h"
#include "support/cp949.h"

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QLabel>
#include <QMimeData>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

class NamespaceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(SHGetDesktopFolder(desktop_.Put()), S_OK);
    }
    void TearDown() override
    {
        for (void *p : owned_)
            FreeList(p);
    }
    LPITEMIDLIST Parse(const std::string &ansi)
    {
        LPITEMIDLIST l = ParseName(desktop_.Get(), ansi);
        if (l)
            owned_.push_back(l);
        return l;
    }
    ComPtr<IShellFolder> Bind(const std::string &ansi)
    {
        ComPtr<IShellFolder> f;
        LPITEMIDLIST l = Parse(ansi);
        if (l)
            desktop_->BindToObject(l, nullptr, IID_IShellFolder, f.PutVoid());
        return f;
    }
    // The in-folder names of a folder's items, in enumeration order.
    std::vector<std::string> List(IShellFolder *folder, DWORD flags)
    {
        std::vector<std::string> names;
        ComPtr<IEnumIDList> e;
        if (folder->EnumObjects(nullptr, flags, e.Put()) != S_OK)
            return {"<enum failed>"};
        LPITEMIDLIST item = nullptr;
        ULONG fetched = 0;
        while (e->Next(1, &item, &fetched) == S_OK) {
            names.push_back(NameOf(folder, item, SHGDN_INFOLDER));
            FreeList(item);
        }
        return names;
    }
    DWORD Attributes(const std::string &ansi, DWORD request)
    {
        LPCITEMIDLIST l = Parse(ansi);
        if (!l)
            return 0xDEAD;
        DWORD flags = request;
        if (desktop_->GetAttributesOf(1, &l, &flags) != S_OK)
            return 0xBAD;
        return flags;
    }

    ShellTestEnv env_;
    ComPtr<IShellFolder> desktop_;
    std::vector<void *> owned_;
};

TEST(DriveMap, ConvertsBothWays)
{
    ShellTestEnv env;
    env.Set("VELLAMORIX_DRIVES", "C:=/,D:=/srv/data/,x:=relative,E:=/srv/data/deep");
    auto drives = vx::shell::Drives();
    ASSERT_EQ(drives.size(), 3u);
    EXPECT_EQ(drives[1].root, "/srv/data");
    EXPECT_EQ(vx::shell::WindowsToPosix("D:\\a\\b"), std::optional<std::string>("/srv/data/a/b"));
    EXPECT_EQ(vx::shell::WindowsToPosix("d:/a/../../b"), std::optional<std::string>("/srv/data/b"));
    EXPECT_EQ(vx::shell::WindowsToPosix("C:"), std::optional<std::string>("/"));
    EXPECT_EQ(vx::shell::WindowsToPosix("Q:\\x"), std::nullopt);
    EXPECT_EQ(vx::shell::WindowsToPosix("relative"), std::nullopt);
    EXPECT_EQ(vx::shell::WindowsToPosix(Cp949("C:\\한글\\파일")), std::optional<std::string>("/한글/파일"));
    // The deepest drive holding a path names it.
    EXPECT_EQ(vx::shell::PosixToWindows("/srv/data/deep/x"), std::optional<std::string>("E:\\x"));
    EXPECT_EQ(vx::shell::PosixToWindows("/srv/data"), std::optional<std::string>("D:\\"));
    EXPECT_EQ(vx::shell::PosixToWindows("/srv/dataX"), std::optional<std::string>("C:\\srv\\dataX"));
    env.Set("VELLAMORIX_DRIVES", "D:=/srv");
    EXPECT_EQ(vx::shell::PosixToWindows("/etc"), std::nullopt);
}

TEST_F(NamespaceTest, ParsesPathsAndNamesThemInThreeForms)
{
    env_.File(env_.T("sub/file.txt"));
    LPITEMIDLIST drive = Parse("T:\\");
    ASSERT_NE(drive, nullptr);
    EXPECT_EQ(NameOf(desktop_.Get(), drive, SHGDN_NORMAL), Cp949("로컬 디스크 (T:)"));
    EXPECT_EQ(NameOf(desktop_.Get(), drive, SHGDN_FORPARSING), "T:\\");

    LPITEMIDLIST file = Parse("T:\\sub\\file.txt");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(NameOf(desktop_.Get(), file, SHGDN_FORPARSING), "T:\\sub\\file.txt");
    EXPECT_EQ(NameOf(desktop_.Get(), file, SHGDN_NORMAL), "file.txt");
    ComPtr<IShellFolder> sub = Bind("T:\\sub");
    ASSERT_TRUE(sub);
    EXPECT_EQ(List(sub.Get(), SHCONTF_NONFOLDERS), std::vector<std::string>{"file.txt"});

    // Letter case, forward slashes, "." and ".." as on Windows; POSIX paths through the map.
    LPITEMIDLIST other = Parse("t:/SUB/./x/../FILE.TXT");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(desktop_->CompareIDs(0, file, other), S_OK);
    LPITEMIDLIST posix = Parse(env_.T("sub/file.txt"));
    ASSERT_NE(posix, nullptr);
    EXPECT_EQ(NameOf(desktop_.Get(), posix, SHGDN_FORPARSING), "T:\\sub\\file.txt");

    HRESULT hr = S_OK;
    EXPECT_EQ(ParseName(desktop_.Get(), "T:\\nothing", &hr), nullptr);
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ParseName(desktop_.Get(), "T:\\nothing\\deeper", &hr), nullptr);
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(ParseName(desktop_.Get(), "Q:\\", &hr), nullptr);
    EXPECT_EQ(ParseName(desktop_.Get(), "", &hr), nullptr);
    EXPECT_EQ(ParseName(desktop_.Get(), "T:\\sub\\file.txt\\below", &hr), nullptr);
    EXPECT_EQ(ParseName(desktop_.Get(), "::{00000000-0000-0000-0000-000000000000}", &hr), nullptr);
}

TEST_F(NamespaceTest, LongPathsComeAsWideText)
{
    std::string rel, win = "T:";
    for (int i = 0; i < 6; ++i) {
        const std::string part = std::string(50, static_cast<char>('a' + i));
        rel += (rel.empty() ? "" : "/") + part;
        win += "\\" + part;
    }
    env_.Dir(env_.T(rel));
    LPITEMIDLIST deep = Parse(win);
    ASSERT_NE(deep, nullptr);
    STRRET s{};
    ASSERT_EQ(desktop_->GetDisplayNameOf(deep, SHGDN_FORPARSING, &s), S_OK);
    EXPECT_EQ(s.uType, STRRET_WSTR);
    EXPECT_EQ(StrRetToAnsi(s), win);
    ASSERT_EQ(desktop_->GetDisplayNameOf(deep, SHGDN_NORMAL, &s), S_OK);
    EXPECT_EQ(s.uType, STRRET_CSTR);
    EXPECT_EQ(StrRetToAnsi(s), std::string(50, 'f'));
}

TEST_F(NamespaceTest, DesktopAndComputerAreVirtualFolders)
{
    env_.File(env_.Home("Desktop/note.txt"));
    EXPECT_EQ(NameOf(desktop_.Get(), nullptr, SHGDN_NORMAL), Cp949("바탕 화면"));
    std::vector<std::string> top = List(desktop_.Get(), SHCONTF_FOLDERS | SHCONTF_NONFOLDERS);
    for (const char *name : {"내 문서", "내 컴퓨터", "휴지통", "내 네트워크 환경"})
        EXPECT_NE(std::find(top.begin(), top.end(), Cp949(name)), top.end()) << name;
    EXPECT_NE(std::find(top.begin(), top.end(), "note.txt"), top.end());

    LPITEMIDLIST computer = Parse("::{20D04FE0-3AEA-1069-A2D8-08002B30309D}");
    ASSERT_NE(computer, nullptr);
    EXPECT_EQ(NameOf(desktop_.Get(), computer, SHGDN_FORPARSING), "::{20D04FE0-3AEA-1069-A2D8-08002B30309D}");
    EXPECT_EQ(NameOf(desktop_.Get(), computer, SHGDN_NORMAL), Cp949("내 컴퓨터"));
    ComPtr<IShellFolder> drives;
    ASSERT_EQ(desktop_->BindToObject(computer, nullptr, IID_IShellFolder, drives.PutVoid()), S_OK);
    std::vector<std::string> names = List(drives.Get(), SHCONTF_FOLDERS);
    EXPECT_EQ(names, (std::vector<std::string>{Cp949("로컬 디스크 (C:)"), Cp949("로컬 디스크 (T:)"), Cp949("제어판")}));

    // A drive on removable media is named and marked as such.
    env_.Set("VELLAMORIX_DRIVES", "C:=/,R:=/media/usb");
    ComPtr<IShellFolder> drives2;
    ASSERT_EQ(desktop_->BindToObject(computer, nullptr, IID_IShellFolder, drives2.PutVoid()), S_OK);
    ComPtr<IEnumIDList> e;
    ASSERT_EQ(drives2->EnumObjects(nullptr, SHCONTF_FOLDERS, e.Put()), S_OK);
    LPITEMIDLIST item = nullptr;
    ULONG fetched = 0;
    bool sawRemovable = false;
    while (e->Next(1, &item, &fetched) == S_OK) {
        if (NameOf(drives2.Get(), item, SHGDN_INFOLDER) == Cp949("이동식 디스크 (R:)")) {
            DWORD flags = SFGAO_REMOVABLE;
            LPCITEMIDLIST one = item;
            drives2->GetAttributesOf(1, &one, &flags);
            sawRemovable = flags == SFGAO_REMOVABLE;
        }
        FreeList(item);
    }
    EXPECT_TRUE(sawRemovable);

    LPITEMIDLIST special = nullptr;
    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &special), S_OK);
    EXPECT_EQ(desktop_->CompareIDs(0, special, computer), S_OK);
    FreeList(special);
}

TEST_F(NamespaceTest, SpecialFoldersResolveOrStayVirtual)
{
    LPITEMIDLIST list = nullptr;
    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, &list), S_OK);
    EXPECT_EQ(reinterpret_cast<SHITEMID *>(list)->cb, 0);
    FreeList(list);

    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_PERSONAL, &list), S_OK);
    EXPECT_EQ(NameOf(desktop_.Get(), list, SHGDN_NORMAL), Cp949("내 문서"));
    EXPECT_EQ(vx::shell::NativePathOf(list), std::optional<std::string>(env_.Home()));
    FreeList(list);

    // A folder that exists: a file-system path below its drive.
    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOPDIRECTORY, &list), S_OK);
    EXPECT_EQ(vx::shell::NativePathOf(list), std::optional<std::string>(env_.Home("Desktop")));
    FreeList(list);

    // None of its own: an empty virtual folder with a Korean name.
    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_FAVORITES, &list), S_OK);
    EXPECT_EQ(NameOf(desktop_.Get(), list, SHGDN_NORMAL), Cp949("즐겨찾기"));
    ComPtr<IShellFolder> favorites;
    ASSERT_EQ(desktop_->BindToObject(list, nullptr, IID_IShellFolder, favorites.PutVoid()), S_OK);
    EXPECT_TRUE(List(favorites.Get(), SHCONTF_FOLDERS | SHCONTF_NONFOLDERS).empty());
    // Its parsing name parses back to the same item.
    const std::string parse = NameOf(desktop_.Get(), list, SHGDN_FORPARSING);
    EXPECT_EQ(parse.rfind("::{", 0), 0u);
    LPITEMIDLIST again = Parse(parse);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(desktop_->CompareIDs(0, again, list), S_OK);
    FreeList(list);

    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_BITBUCKET, &list), S_OK);
    EXPECT_EQ(NameOf(desktop_.Get(), list, SHGDN_NORMAL), Cp949("휴지통"));
    FreeList(list);

    EXPECT_EQ(SHGetSpecialFolderLocation(nullptr, 0x30, &list), E_INVALIDARG);
    EXPECT_EQ(list, nullptr);
}

TEST_F(NamespaceTest, EnumerationFiltersFoldersFilesAndHiddenItems)
{
    env_.File(env_.T("d/a.txt"));
    env_.File(env_.T("d/.secret"));
    env_.Dir(env_.T("d/folder"));
    env_.Dir(env_.T("d/.hiddendir"));
    ComPtr<IShellFolder> d = Bind("T:\\d");
    ASSERT_TRUE(d);
    auto sorted = [](std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    EXPECT_EQ(sorted(List(d.Get(), SHCONTF_FOLDERS)), (std::vector<std::string>{"folder"}));
    EXPECT_EQ(sorted(List(d.Get(), SHCONTF_NONFOLDERS)), (std::vector<std::string>{"a.txt"}));
    EXPECT_EQ(sorted(List(d.Get(), SHCONTF_FOLDERS | SHCONTF_NONFOLDERS | SHCONTF_INCLUDEHIDDEN)),
              (std::vector<std::string>{".hiddendir", ".secret", "a.txt", "folder"}));
    EXPECT_TRUE(List(d.Get(), 0).empty());
}

TEST_F(NamespaceTest, FolderThatVanishesWhileListedIsNoCrash)
{
    for (int i = 0; i < 40; ++i)
        env_.File(env_.T("v/f" + std::to_string(i)));
    ComPtr<IShellFolder> v = Bind("T:\\v");
    ASSERT_TRUE(v);
    ComPtr<IEnumIDList> e;
    ASSERT_EQ(v->EnumObjects(nullptr, SHCONTF_NONFOLDERS, e.Put()), S_OK);
    LPITEMIDLIST item = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(e->Next(1, &item, &fetched), S_OK);
    FreeList(item);
    std::filesystem::remove_all(env_.T("v"));
    int more = 0;
    while (e->Next(1, &item, &fetched) == S_OK) {
        FreeList(item);
        ++more;
    }
    EXPECT_LT(more, 39); // items gone from the disk are not reported
    // The folder object outlives its folder; listing it again fails cleanly.
    ComPtr<IEnumIDList> again;
    EXPECT_EQ(v->EnumObjects(nullptr, SHCONTF_NONFOLDERS, again.Put()), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(again);
}

TEST_F(NamespaceTest, AttributesComeFromTheItem)
{
    env_.File(env_.T("f.txt"));
    env_.File(env_.T(".hidden"));
    env_.Dir(env_.T("empty"));
    env_.Dir(env_.T("parent/child"));
    env_.File(env_.T("ro.txt"));
    ::chmod(env_.T("ro.txt").c_str(), 0444);
    ASSERT_EQ(::symlink("f.txt", env_.T("link").c_str()), 0);
    ASSERT_EQ(::symlink("parent", env_.T("dirlink").c_str()), 0);

    const DWORD all = 0;
    const DWORD file = Attributes("T:\\f.txt", all);
    EXPECT_TRUE(file & SFGAO_FILESYSTEM);
    EXPECT_FALSE(file & SFGAO_FOLDER);
    EXPECT_EQ(file & 0x177, SFGAO_CANCOPY | SFGAO_CANMOVE | SFGAO_CANLINK | SFGAO_CANRENAME | SFGAO_CANDELETE | SFGAO_HASPROPSHEET);
    const DWORD folder = Attributes("T:\\empty", all);
    EXPECT_TRUE(folder & SFGAO_FOLDER);
    EXPECT_TRUE(folder & SFGAO_FILESYSANCESTOR);
    EXPECT_TRUE(folder & SFGAO_DROPTARGET);
    EXPECT_TRUE(Attributes("T:\\.hidden", all) & SFGAO_GHOSTED);
    EXPECT_FALSE(file & SFGAO_GHOSTED);
    EXPECT_TRUE(Attributes("T:\\ro.txt", all) & SFGAO_READONLY);
    EXPECT_FALSE(file & SFGAO_READONLY);
    EXPECT_TRUE(Attributes("T:\\link", all) & SFGAO_LINK);
    EXPECT_EQ(Attributes("T:\\dirlink", SFGAO_FOLDER | SFGAO_LINK), SFGAO_FOLDER | SFGAO_LINK);

    // Has-subfolder is looked at when asked for.
    EXPECT_EQ(Attributes("T:\\empty", SFGAO_HASSUBFOLDER), 0u);
    EXPECT_EQ(Attributes("T:\\parent", SFGAO_HASSUBFOLDER), SFGAO_HASSUBFOLDER);
    // A request gets only what it asked for.
    EXPECT_EQ(Attributes("T:\\f.txt", SFGAO_FOLDER), 0u);

    const DWORD drive = Attributes("T:\\", all);
    EXPECT_TRUE(drive & SFGAO_FOLDER);
    EXPECT_TRUE(drive & SFGAO_FILESYSTEM);
    EXPECT_FALSE(drive & SFGAO_CANRENAME);
    EXPECT_FALSE(drive & SFGAO_REMOVABLE);

    // Validation notices an item that has gone.
    LPCITEMIDLIST gone = Parse("T:\\f.txt");
    ::unlink(env_.T("f.txt").c_str());
    DWORD flags = SFGAO_VALIDATE;
    EXPECT_NE(desktop_->GetAttributesOf(1, &gone, &flags), S_OK);
}

TEST_F(NamespaceTest, OrderIsFoldersFirstThenNamesAsPeopleSortThem)
{
    for (const char *n : {"file10.txt", "file2.txt", "Apple.txt", "banana.txt"})
        env_.File(env_.T(std::string("o/") + n));
    env_.Dir(env_.T("o/zdir"));
    ComPtr<IShellFolder> o = Bind("T:\\o");
    ASSERT_TRUE(o);
    ComPtr<IEnumIDList> e;
    ASSERT_EQ(o->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, e.Put()), S_OK);
    std::vector<LPITEMIDLIST> items;
    LPITEMIDLIST item = nullptr;
    ULONG fetched = 0;
    while (e->Next(1, &item, &fetched) == S_OK)
        items.push_back(item);
    std::sort(items.begin(), items.end(), [&](LPITEMIDLIST a, LPITEMIDLIST b) {
        return HRESULT_CODE_SHORT(o->CompareIDs(0, a, b)) < 0;
    });
    std::vector<std::string> names;
    for (LPITEMIDLIST i : items)
        names.push_back(NameOf(o.Get(), i, SHGDN_INFOLDER));
    EXPECT_EQ(names, (std::vector<std::string>{"zdir", "Apple.txt", "banana.txt", "file2.txt", "file10.txt"}));
    for (LPITEMIDLIST a : items) {
        EXPECT_EQ(o->CompareIDs(0, a, a), S_OK);
        for (LPITEMIDLIST b : items)
            if (a != b) {
                EXPECT_NE(o->CompareIDs(0, a, b), S_OK);
                EXPECT_EQ(HRESULT_CODE_SHORT(o->CompareIDs(0, a, b)), -HRESULT_CODE_SHORT(o->CompareIDs(0, b, a)));
            }
    }
    for (LPITEMIDLIST i : items)
        FreeList(i);

    // Drives by letter; the desktop's virtual items before its files.
    LPITEMIDLIST c = Parse("C:\\"), t = Parse("T:\\");
    EXPECT_LT(HRESULT_CODE_SHORT(desktop_->CompareIDs(0, c, t)), 0);
    // A parent sorts before what it holds.
    LPITEMIDLIST parent = Parse("T:\\o"), child = Parse("T:\\o\\zdir");
    EXPECT_LT(HRESULT_CODE_SHORT(desktop_->CompareIDs(0, parent, child)), 0);
}

TEST_F(NamespaceTest, OrderBreaksTiesByBytesAndSortsByTheAskedColumnAtTheLastLevel)
{
    env_.File(env_.T("k/a1.txt"));
    env_.File(env_.T("k/a01.txt"));
    env_.File(env_.T("k/b.txt"));
    env_.File(env_.T("k/B.txt"));
    env_.File(env_.T("k/big.z"), std::string(100, 'x'));
    env_.File(env_.T("k/small.y"), "x");
    env_.File(env_.T("k/zz/inner.txt"));
    // big.z is older than small.y.
    const struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimes(env_.T("k/big.z").c_str(), old), 0);
    ComPtr<IShellFolder> k = Bind("T:\\k");
    ASSERT_TRUE(k);
    auto item = [&](const char *name) {
        return Parse(std::string("T:\\k\\") + name);
    };
    auto lastOf = [](LPITEMIDLIST full) {
        auto *p = reinterpret_cast<uint8_t *>(full);
        LPITEMIDLIST last = full;
        for (uint16_t cb; std::memcpy(&cb, p, 2), cb != 0; p += cb)
            last = reinterpret_cast<LPITEMIDLIST>(p);
        return last;
    };
    auto order = [&](IShellFolder *f, LPARAM column, LPCITEMIDLIST a, LPCITEMIDLIST b) {
        const SHORT r = HRESULT_CODE_SHORT(f->CompareIDs(column, a, b));
        EXPECT_EQ(r, -HRESULT_CODE_SHORT(f->CompareIDs(column, b, a)));
        return r;
    };
    LPITEMIDLIST a1 = item("a1.txt"), a01 = item("a01.txt"), b = item("b.txt"), B = item("B.txt");
    LPITEMIDLIST big = item("big.z"), small = item("small.y"), zz = item("zz"), inner = item("zz\\inner.txt");
    ASSERT_TRUE(a1 && a01 && b && B && big && small && zz && inner);

    // Names equal as people read them fall back to their bytes: leading zeros, letter case.
    EXPECT_LT(order(k.Get(), 0, lastOf(a01), lastOf(a1)), 0);
    EXPECT_LT(order(k.Get(), 0, lastOf(B), lastOf(b)), 0);
    EXPECT_LT(order(desktop_.Get(), 0, a01, a1), 0);
    // Column 0 is the name; 1 the size, 2 the extension, 3 the modification time; folders first.
    EXPECT_LT(order(k.Get(), 0, lastOf(big), lastOf(small)), 0);
    EXPECT_GT(order(k.Get(), 1, lastOf(big), lastOf(small)), 0);
    EXPECT_GT(order(k.Get(), 2, lastOf(big), lastOf(small)), 0);
    EXPECT_LT(order(k.Get(), 3, lastOf(big), lastOf(small)), 0);
    EXPECT_LT(order(k.Get(), 1, lastOf(zz), lastOf(small)), 0);
    // Equal in the column: the name decides.
    EXPECT_LT(order(k.Get(), 1, lastOf(a01), lastOf(a1)), 0);
    // Through the desktop the column applies at the last level only.
    EXPECT_GT(order(desktop_.Get(), 1, big, small), 0);
    EXPECT_LT(order(desktop_.Get(), 1, inner, small), 0); // zz, a folder, before small.y
    EXPECT_LT(order(desktop_.Get(), 0, zz, inner), 0);    // a parent before what it holds
    EXPECT_EQ(k->CompareIDs(2, lastOf(big), lastOf(big)), S_OK);
}

// Sorting many items of a folder at once gives the order its CompareIDs gives pair by pair.
TEST_F(NamespaceTest, FolderOrderIsTheOrderOfCompareIDs)
{
    // Names whose order turns on digit runs, leading zeros, letter case, punctuation and bytes
    // beyond ASCII, as folders and as files of several sizes and times.
    const char *pieces[] = {"a", "A", "b", "Z", "0", "1", "9", "00", "07", "010", "-", "_", ".", " ", "~",
                            "\xC3\xA9", "\xED\x95\x9C", "x1y", "99999999999999999999"};
    std::set<std::string> names = {"file10.txt", "file9.txt", "File9.txt", "file09.txt", "a01", "a1", "a001b", "a1a"};
    unsigned seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    while (names.size() < 300) {
        std::string name;
        for (unsigned n = 1 + next() % 5; n > 0; --n)
            name += pieces[next() % std::size(pieces)];
        if (name != "." && name != "..")
            names.insert(name);
    }
    int i = 0;
    for (const std::string &name : names) {
        if (++i % 3 == 0)
            env_.Dir(env_.T("sort/" + name));
        else
            env_.File(env_.T("sort/" + name), std::string(std::size_t(next() % 50), 'x'));
    }
    ComPtr<IShellFolder> folder = Bind("T:\\sort");
    ASSERT_TRUE(folder);
    ComPtr<IEnumIDList> e;
    ASSERT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS | SHCONTF_INCLUDEHIDDEN, e.Put()), S_OK);
    std::vector<LPCITEMIDLIST> ids;
    LPITEMIDLIST item = nullptr;
    ULONG fetched = 0;
    while (e->Next(1, &item, &fetched) == S_OK) {
        owned_.push_back(item);
        ids.push_back(item);
    }
    ASSERT_EQ(ids.size(), names.size());
    auto pairwise = [](IShellFolder *f, const std::vector<LPCITEMIDLIST> &list, LPARAM column) {
        std::vector<size_t> order(list.size());
        for (size_t k = 0; k < order.size(); ++k)
            order[k] = k;
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            return HRESULT_CODE_SHORT(f->CompareIDs(column, list[a], list[b])) < 0;
        });
        return order;
    };
    for (LPARAM column : {0, 1, 2, 3})
        EXPECT_EQ(vx::shell::FolderOrder(folder.Get(), ids, column), pairwise(folder.Get(), ids, column)) << column;

    // The desktop's virtual items and files; and lists of more than one item among them.
    std::vector<LPCITEMIDLIST> top;
    ComPtr<IEnumIDList> d;
    ASSERT_EQ(desktop_->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, d.Put()), S_OK);
    while (d->Next(1, &item, &fetched) == S_OK) {
        owned_.push_back(item);
        top.push_back(item);
    }
    ASSERT_GE(top.size(), 4u);
    EXPECT_EQ(vx::shell::FolderOrder(desktop_.Get(), top), pairwise(desktop_.Get(), top, 0));
    top.push_back(Parse("T:\\sort\\file9.txt"));
    top.push_back(Parse("T:\\sort"));
    EXPECT_EQ(vx::shell::FolderOrder(desktop_.Get(), top), pairwise(desktop_.Get(), top, 0));
    EXPECT_TRUE(vx::shell::FolderOrder(nullptr, top).size() == top.size());
}

// A sub-folder bound from its own folder (its place worked out on first use) answers as one
// bound from the desktop, also after the folder that bound it is gone.
TEST_F(NamespaceTest, ASubfolderBoundFromItsFolderAnswersAsOneBoundFromTheDesktop)
{
    env_.File(env_.T("bind/sub/inner/x.txt"));
    env_.File(env_.T("bind/sub/y.txt"));
    ComPtr<IShellFolder> sub;
    {
        ComPtr<IShellFolder> bind = Bind("T:\\bind");
        ASSERT_TRUE(bind);
        LPCITEMIDLIST one = nullptr;
        ULONG eaten = 0;
        const std::u16string name = u"sub";
        LPITEMIDLIST rel = nullptr;
        ASSERT_EQ(bind->ParseDisplayName(nullptr, nullptr, reinterpret_cast<LPCWSTR>(name.c_str()), &eaten, &rel, nullptr),
                  S_OK);
        owned_.push_back(rel);
        one = rel;
        ASSERT_EQ(bind->BindToObject(one, nullptr, IID_IShellFolder, sub.PutVoid()), S_OK);
    }
    ComPtr<IShellFolder> direct = Bind("T:\\bind\\sub");
    ASSERT_TRUE(sub && direct);
    const DWORD kinds = SHCONTF_FOLDERS | SHCONTF_NONFOLDERS;
    EXPECT_EQ(List(sub.Get(), kinds), List(direct.Get(), kinds));
    STRRET own{}, other{};
    ASSERT_EQ(sub->GetDisplayNameOf(nullptr, SHGDN_FORPARSING, &own), S_OK);
    ASSERT_EQ(direct->GetDisplayNameOf(nullptr, SHGDN_FORPARSING, &other), S_OK);
    EXPECT_EQ(StrRetToAnsi(own), "T:\\bind\\sub");
    EXPECT_EQ(StrRetToAnsi(other), "T:\\bind\\sub");
    // One level further, and a path parsed relative to it.
    const std::u16string innerName = u"inner";
    LPITEMIDLIST inner = nullptr;
    ULONG eaten = 0;
    ASSERT_EQ(sub->ParseDisplayName(nullptr, nullptr, reinterpret_cast<LPCWSTR>(innerName.c_str()), &eaten, &inner, nullptr),
              S_OK);
    owned_.push_back(inner);
    ComPtr<IShellFolder> deeper;
    ASSERT_EQ(sub->BindToObject(inner, nullptr, IID_IShellFolder, deeper.PutVoid()), S_OK);
    EXPECT_EQ(List(deeper.Get(), kinds), std::vector<std::string>{"x.txt"});
    STRRET path{};
    ASSERT_EQ(deeper->GetDisplayNameOf(nullptr, SHGDN_FORPARSING, &path), S_OK);
    EXPECT_EQ(StrRetToAnsi(path), "T:\\bind\\sub\\inner");
    // A file is no folder to bind.
    const std::u16string fileName = u"y.txt";
    LPITEMIDLIST file = nullptr;
    ASSERT_EQ(sub->ParseDisplayName(nullptr, nullptr, reinterpret_cast<LPCWSTR>(fileName.c_str()), &eaten, &file, nullptr),
              S_OK);
    owned_.push_back(file);
    ComPtr<IShellFolder> none;
    EXPECT_EQ(sub->BindToObject(file, nullptr, IID_IShellFolder, none.PutVoid()), E_INVALIDARG);
    EXPECT_FALSE(none);
}

TEST_F(NamespaceTest, HasSubfolderIsAskedOfTheFolderAsItIsNow)
{
    env_.File(env_.T("h/files/a.txt"));
    env_.File(env_.T("h/deep/b.txt"));
    env_.Dir(env_.T("h/deep/sub"));
    env_.Dir(env_.T("h/linked"));
    env_.Dir(env_.T("h/target"));
    ASSERT_EQ(::symlink("../target", env_.T("h/linked/to").c_str()), 0);
    EXPECT_EQ(Attributes("T:\\h\\files", SFGAO_HASSUBFOLDER), 0u);
    EXPECT_EQ(Attributes("T:\\h\\linked", SFGAO_HASSUBFOLDER), SFGAO_HASSUBFOLDER);
    EXPECT_EQ(Attributes("T:\\h\\deep", SFGAO_HASSUBFOLDER | SFGAO_FOLDER), SFGAO_HASSUBFOLDER | SFGAO_FOLDER);
    EXPECT_EQ(Attributes("T:\\h\\files\\a.txt", SFGAO_HASSUBFOLDER), 0u);

    // The same item ID answers anew once the folder has changed.
    LPCITEMIDLIST deep = Parse("T:\\h\\deep");
    ASSERT_NE(deep, nullptr);
    ASSERT_EQ(::rmdir(env_.T("h/deep/sub").c_str()), 0);
    DWORD flags = SFGAO_HASSUBFOLDER;
    ASSERT_EQ(desktop_->GetAttributesOf(1, &deep, &flags), S_OK);
    EXPECT_EQ(flags, 0u);
    env_.Dir(env_.T("h/deep/again"));
    flags = SFGAO_HASSUBFOLDER;
    ASSERT_EQ(desktop_->GetAttributesOf(1, &deep, &flags), S_OK);
    EXPECT_EQ(flags, SFGAO_HASSUBFOLDER);

    // A folder that cannot be listed offers nothing to expand.
    if (::geteuid() != 0) {
        env_.Dir(env_.T("h/closed/sub"));
        ASSERT_EQ(::chmod(env_.T("h/closed").c_str(), 0311), 0);
        EXPECT_EQ(Attributes("T:\\h\\closed", SFGAO_HASSUBFOLDER), 0u);
        ::chmod(env_.T("h/closed").c_str(), 0755);
    }
}

TEST_F(NamespaceTest, ItemNamesThatCannotStandInAFolderAreRefused)
{
    env_.File(env_.T("g/ab"));
    ComPtr<IShellFolder> g = Bind("T:\\g");
    ASSERT_TRUE(g);
    ComPtr<IEnumIDList> e;
    ASSERT_EQ(g->EnumObjects(nullptr, SHCONTF_NONFOLDERS, e.Put()), S_OK);
    LPITEMIDLIST item = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(e->Next(1, &item, &fetched), S_OK);
    owned_.push_back(item);
    EXPECT_EQ(NameOf(g.Get(), item, SHGDN_INFOLDER), "ab");
    auto *name = reinterpret_cast<char *>(item) + vx::shell::detail::kItemHeader;
    for (const char *bad : {"..", "a/", "./"}) {
        std::memcpy(name, bad, 2);
        for (DWORD flags : {SHGDN_NORMAL, SHGDN_INFOLDER, SHGDN_FORPARSING | SHGDN_INFOLDER, SHGDN_FORPARSING}) {
            STRRET s{};
            EXPECT_EQ(g->GetDisplayNameOf(item, flags, &s), E_INVALIDARG) << bad << " " << flags;
        }
    }
    // An item that is not of the file system has no place under a drive folder.
    LPITEMIDLIST computer = nullptr;
    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &computer), S_OK);
    owned_.push_back(computer);
    STRRET s{};
    EXPECT_EQ(g->GetDisplayNameOf(computer, SHGDN_INFOLDER, &s), E_INVALIDARG);
}

TEST_F(NamespaceTest, NamesThatDoNotConvertStayUsable)
{
    env_.File(env_.T(std::string("k/") + "한글.txt"));
    env_.File(env_.T(std::string("k/") + "bad\xff\xfe.txt"), "raw");
    ComPtr<IShellFolder> k = Bind("T:\\k");
    ASSERT_TRUE(k);
    ComPtr<IEnumIDList> e;
    ASSERT_EQ(k->EnumObjects(nullptr, SHCONTF_NONFOLDERS, e.Put()), S_OK);
    LPITEMIDLIST item = nullptr;
    ULONG fetched = 0;
    LPITEMIDLIST bad = nullptr;
    std::set<std::string> names;
    while (e->Next(1, &item, &fetched) == S_OK) {
        const std::string name = NameOf(k.Get(), item, SHGDN_INFOLDER);
        names.insert(name);
        if (name.rfind("bad", 0) == 0)
            bad = item;
        else
            FreeList(item);
    }
    EXPECT_TRUE(names.count(Cp949("한글.txt")));
    ASSERT_NE(bad, nullptr);
    // The name shows with replacement characters, but the item is still the file on disk.
    const std::string shown = NameOf(k.Get(), bad, SHGDN_INFOLDER);
    EXPECT_NE(shown.find('?'), std::string::npos);
    LPITEMIDLIST renamed = nullptr;
    ASSERT_EQ(k->SetNameOf(nullptr, bad, u"good.txt", 0, &renamed), S_OK);
    std::ifstream in(env_.T("k/good.txt"));
    std::string content;
    in >> content;
    EXPECT_EQ(content, "raw");
    EXPECT_EQ(NameOf(k.Get(), renamed, SHGDN_INFOLDER), "good.txt");
    FreeList(bad);
    FreeList(renamed);
}

TEST_F(NamespaceTest, RenameRefusesToReplaceOrToLeaveTheFolder)
{
    env_.File(env_.T("r/a.txt"), "a");
    env_.File(env_.T("r/b.txt"), "b");
    ComPtr<IShellFolder> r = Bind("T:\\r");
    LPITEMIDLIST a = Parse("T:\\r\\a.txt");
    ASSERT_TRUE(r && a);
    LPITEMIDLIST last = reinterpret_cast<LPITEMIDLIST>(reinterpret_cast<uint8_t *>(a) +
                                                       reinterpret_cast<SHITEMID *>(a)->cb);
    last = reinterpret_cast<LPITEMIDLIST>(reinterpret_cast<uint8_t *>(last) + reinterpret_cast<SHITEMID *>(last)->cb);
    last = reinterpret_cast<LPITEMIDLIST>(reinterpret_cast<uint8_t *>(last) + reinterpret_cast<SHITEMID *>(last)->cb);
    LPITEMIDLIST out = nullptr;
    EXPECT_EQ(r->SetNameOf(nullptr, last, u"b.txt", 0, &out), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(r->SetNameOf(nullptr, last, u"../escape.txt", 0, &out), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(r->SetNameOf(nullptr, last, u"", 0, &out), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(out, nullptr);
    std::ifstream in(env_.T("r/b.txt"));
    std::string content;
    in >> content;
    EXPECT_EQ(content, "b");
    EXPECT_TRUE(std::filesystem::exists(env_.T("r/a.txt")));
    // The desktop renames through a full list and answers with the full new list.
    ASSERT_EQ(desktop_->SetNameOf(nullptr, a, u"c.txt", 0, &out), S_OK);
    EXPECT_EQ(NameOf(desktop_.Get(), out, SHGDN_FORPARSING), "T:\\r\\c.txt");
    FreeList(out);
}

TEST_F(NamespaceTest, DetailColumnsAndTheirDefaultStates)
{
    env_.File(env_.T("det/a.txt"), std::string(1000, 'x'));
    env_.Dir(env_.T("det/folder"));
    ComPtr<IShellFolder> f = Bind("T:\\det");
    ASSERT_TRUE(f);
    ComPtr<IShellFolder2> f2 = f.As<IShellFolder2>(IID_IShellFolder2);
    ASSERT_TRUE(f2);
    std::vector<std::string> headers;
    SHELLDETAILS sd{};
    for (UINT c = 0; f2->GetDetailsOf(nullptr, c, &sd) == S_OK; ++c)
        headers.push_back(StrRetToAnsi(sd.str));
    EXPECT_EQ(headers, (std::vector<std::string>{Cp949("이름"), Cp949("크기"), Cp949("종류"), Cp949("수정한 날짜"), Cp949("특성")}));
    DWORD state = 0;
    for (UINT c = 0; c < 4; ++c) {
        ASSERT_EQ(f2->GetDefaultColumnState(c, &state), S_OK);
        EXPECT_TRUE(state & SHCOLSTATE_ONBYDEFAULT) << c;
    }
    ASSERT_EQ(f2->GetDefaultColumnState(4, &state), S_OK);
    EXPECT_FALSE(state & SHCOLSTATE_ONBYDEFAULT);
    EXPECT_NE(f2->GetDefaultColumnState(5, &state), S_OK);

    LPITEMIDLIST fileFull = Parse("T:\\det\\a.txt");
    LPITEMIDLIST folderFull = Parse("T:\\det\\folder");
    auto lastOf = [](LPITEMIDLIST l) {
        auto *p = reinterpret_cast<uint8_t *>(l);
        uint8_t *last = p;
        while (reinterpret_cast<SHITEMID *>(p)->cb) {
            last = p;
            p += reinterpret_cast<SHITEMID *>(p)->cb;
        }
        return reinterpret_cast<LPITEMIDLIST>(last);
    };
    auto detail = [&](LPITEMIDLIST item, UINT c) {
        SHELLDETAILS d{};
        if (f2->GetDetailsOf(item, c, &d) != S_OK)
            return std::string("<failed>");
        return StrRetToAnsi(d.str);
    };
    EXPECT_EQ(detail(lastOf(fileFull), 0), "a.txt");
    EXPECT_EQ(detail(lastOf(fileFull), 1), "1 KB");
    EXPECT_EQ(detail(lastOf(fileFull), 2), Cp949("TXT 파일"));
    EXPECT_EQ(detail(lastOf(fileFull), 3).size(), 16u);
    EXPECT_EQ(detail(lastOf(fileFull), 4), "A");
    EXPECT_EQ(detail(lastOf(folderFull), 1), "");
    EXPECT_EQ(detail(lastOf(folderFull), 2), Cp949("파일 폴더"));
    EXPECT_EQ(detail(lastOf(fileFull), 9), "<failed>");

    // No detail object through the view: the extended folder is the one source.
    ComPtr<IShellDetails> details;
    EXPECT_NE(f->CreateViewObject(nullptr, IID_IShellDetails, details.PutVoid()), S_OK);
}

TEST_F(NamespaceTest, FindFirstFileReadsFileData)
{
    env_.File(env_.T("ff/one.txt"), "12345");
    env_.File(env_.T("ff/two.TXT"), "1");
    env_.File(env_.T("ff/three.dat"), "1");
    const std::string big = env_.T("ff/big.bin");
    {
        std::ofstream(big).put('x');
    }
    ASSERT_EQ(::truncate(big.c_str(), (off_t(5) << 30)), 0);

    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA("T:\\ff\\one.txt", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "one.txt");
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_FALSE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(FindNextFileA(h, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(h));
    EXPECT_FALSE(FindClose(h));

    h = FindFirstFileA("T:\\ff\\big.bin", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.nFileSizeHigh, 1u);
    EXPECT_EQ(data.nFileSizeLow, 0x40000000u);
    FindClose(h);

    h = FindFirstFileA("T:\\ff\\*.txt", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::set<std::string> found{data.cFileName};
    while (FindNextFileA(h, &data))
        found.insert(data.cFileName);
    FindClose(h);
    EXPECT_EQ(found, (std::set<std::string>{"one.txt", "two.TXT"}));

    h = FindFirstFileA("T:\\ff", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    FindClose(h);

    EXPECT_EQ(FindFirstFileA("T:\\ff\\none.txt", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FindFirstFileA("::{20D04FE0-3AEA-1069-A2D8-08002B30309D}", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(FindFirstFileA("T:\\", &data), INVALID_HANDLE_VALUE);
}

TEST(ErrorMode, ReturnsThePreviousMode)
{
    const UINT before = SetErrorMode(SEM_FAILCRITICALERRORS);
    EXPECT_EQ(SetErrorMode(SEM_NOOPENFILEERRORBOX), SEM_FAILCRITICALERRORS);
    EXPECT_EQ(SetErrorMode(before), SEM_NOOPENFILEERRORBOX);
    const HRESULT first = OleInitialize(nullptr);
    EXPECT_TRUE(first == S_OK || first == S_FALSE);
    EXPECT_EQ(OleInitialize(nullptr), S_FALSE);
    OleUninitialize();
    OleUninitialize();
}

TEST_F(NamespaceTest, IconsComeFromOneSharedImageList)
{
    env_.File(env_.T("i/file.txt"));
    env_.Dir(env_.T("i/dir"));
    SHFILEINFOA info{};
    const DWORD_PTR small = SHGetFileInfoA("C:\\", 0, &info, sizeof info, SHGFI_SYSICONINDEX | SHGFI_SMALLICON);
    const DWORD_PTR large = SHGetFileInfoA("C:\\", 0, &info, sizeof info, SHGFI_SYSICONINDEX);
    ASSERT_NE(small, 0u);
    ASSERT_NE(large, 0u);
    EXPECT_NE(small, large);
    auto index = [&](const std::string &path, UINT extra) {
        SHFILEINFOA i{};
        LPITEMIDLIST l = Parse(path);
        SHGetFileInfoA(l, 0, &i, sizeof i, SHGFI_PIDL | SHGFI_SYSICONINDEX | extra);
        return i.iIcon;
    };
    const int file = index("T:\\i\\file.txt", SHGFI_SMALLICON);
    const int closed = index("T:\\i\\dir", SHGFI_SMALLICON);
    const int open = index("T:\\i\\dir", SHGFI_SMALLICON | SHGFI_OPENICON);
    const int drive = index("T:\\", SHGFI_SMALLICON);
    EXPECT_EQ(std::set<int>({file, closed, open, drive}).size(), 4u);
    EXPECT_EQ(index("T:\\i\\file.txt", 0), file); // the same index in both lists
    const QIcon icon = vx::shell::ImageListIcon(reinterpret_cast<HIMAGELIST>(small), closed);
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.availableSizes().value(0), QSize(16, 16));
    EXPECT_EQ(vx::shell::ImageListIcon(reinterpret_cast<HIMAGELIST>(large), drive).availableSizes().value(0), QSize(32, 32));
    EXPECT_TRUE(vx::shell::ImageListIcon(reinterpret_cast<HIMAGELIST>(small), 999).isNull());

    SHFILEINFOA named{};
    ASSERT_NE(SHGetFileInfoA("T:\\i\\file.txt", 0, &named, sizeof named, SHGFI_DISPLAYNAME | SHGFI_TYPENAME), 0u);
    EXPECT_STREQ(named.szDisplayName, "file.txt");
    EXPECT_EQ(std::string(named.szTypeName), Cp949("TXT 파일"));
    EXPECT_EQ(SHGetFileInfoA("T:\\missing", 0, &named, sizeof named, SHGFI_DISPLAYNAME), 0u);

    // A record of the 32-bit size is filled without writing past it.
    std::vector<uint8_t> record(352 + 8, 0xAB);
    const DWORD_PTR list = SHGetFileInfoA("C:\\", 0, reinterpret_cast<SHFILEINFOA *>(record.data()), 352,
                                          SHGFI_SYSICONINDEX | SHGFI_SMALLICON | SHGFI_TYPENAME);
    EXPECT_EQ(list, small);
    for (size_t i = 352; i < record.size(); ++i)
        EXPECT_EQ(record[i], 0xAB) << i;
    EXPECT_EQ(SHGetFileInfoA("C:\\", 0, reinterpret_cast<SHFILEINFOA *>(record.data()), 100, SHGFI_SYSICONINDEX), 0u);
}

// ---- context menus ----

class VerbTest : public NamespaceTest {
protected:
    ComPtr<IContextMenu> MenuFor(const std::string &folder, const std::string &name)
    {
        ComPtr<IShellFolder> f = Bind(folder);
        LPITEMIDLIST full = Parse(folder + "\\" + name);
        if (!f || !full)
            return {};
        auto *p = reinterpret_cast<uint8_t *>(full);
        uint8_t *last = p;
        while (reinterpret_cast<SHITEMID *>(p)->cb) {
            last = p;
            p += reinterpret_cast<SHITEMID *>(p)->cb;
        }
        LPCITEMIDLIST item = reinterpret_cast<LPCITEMIDLIST>(last);
        ComPtr<IContextMenu> menu;
        f->GetUIObjectOf(nullptr, 1, &item, IID_IContextMenu, nullptr, menu.PutVoid());
        return menu;
    }
    HRESULT Invoke(IContextMenu *menu, const char *verb)
    {
        CMINVOKECOMMANDINFO ci{};
        ci.cbSize = 36;
        ci.lpVerb = verb;
        ci.nShow = 1;
        return menu->InvokeCommand(&ci);
    }
};

TEST_F(VerbTest, MenuListsVerbsFromTheFirstCommandNumber)
{
    env_.File(env_.T("m/f.txt"));
    ComPtr<IContextMenu> menu = MenuFor("T:\\m", "f.txt");
    ASSERT_TRUE(menu);
    HMENU popup = CreatePopupMenu();
    const HRESULT hr = menu->QueryContextMenu(popup, 0, 100, 0x7FFF, CMF_EXPLORE | CMF_CANRENAME);
    ASSERT_TRUE(SUCCEEDED(hr));
    const int count = HRESULT_CODE_SHORT(hr);
    std::vector<std::string> verbs;
    for (int offset = 0; offset < count; ++offset) {
        char buf[256];
        ASSERT_EQ(menu->GetCommandString(static_cast<uintptr_t>(offset), GCS_VERBA, nullptr, buf, sizeof buf), S_OK);
        verbs.push_back(buf);
    }
    EXPECT_EQ(verbs, (std::vector<std::string>{"open", "copy", "delete", "rename", "properties"}));
    const auto &items = static_cast<vx::shell::Menu *>(popup)->items;
    UINT lowest = 0xFFFF;
    for (const auto &i : items)
        if (i.id)
            lowest = std::min(lowest, i.id);
    EXPECT_EQ(lowest, 100u);
    EXPECT_TRUE(items.front().isDefault);
    DestroyMenu(popup);
    char small[4];
    ASSERT_EQ(menu->GetCommandString(4, GCS_VERBA, nullptr, small, sizeof small), S_OK);
    EXPECT_STREQ(small, "pro"); // cut to the buffer
    EXPECT_NE(menu->GetCommandString(99, GCS_VERBA, nullptr, small, sizeof small), S_OK);

    // Without CMF_CANRENAME there is no rename command.
    ComPtr<IContextMenu> plain = MenuFor("T:\\m", "f.txt");
    HMENU p2 = CreatePopupMenu();
    EXPECT_EQ(HRESULT_CODE_SHORT(plain->QueryContextMenu(p2, 0, 1, 0x7FFF, CMF_NORMAL)), count - 1);
    DestroyMenu(p2);
}

TEST_F(VerbTest, DeleteMovesToTheTrashWithItsRecord)
{
    env_.File(env_.T("del/gone.txt"), "keep me");
    env_.File(env_.T("del2/gone.txt"), "second");
    ComPtr<IContextMenu> menu = MenuFor("T:\\del", "gone.txt");
    ASSERT_TRUE(menu);
    ASSERT_EQ(Invoke(menu.Get(), "delete"), S_OK);
    EXPECT_FALSE(std::filesystem::exists(env_.T("del/gone.txt")));
    const std::string trash = vx::shell::TrashDirectory();
    EXPECT_EQ(trash, env_.data + "/Trash");
    std::ifstream kept(trash + "/files/gone.txt");
    std::string content;
    std::getline(kept, content);
    EXPECT_EQ(content, "keep me");
    std::ifstream info(trash + "/info/gone.txt.trashinfo");
    std::string l1, l2, l3;
    std::getline(info, l1);
    std::getline(info, l2);
    std::getline(info, l3);
    EXPECT_EQ(l1, "[Trash Info]");
    EXPECT_EQ(l2, "Path=" + env_.T("del/gone.txt"));
    EXPECT_EQ(l3.rfind("DeletionDate=", 0), 0u);

    // A second item of the same name does not replace the first.
    ComPtr<IContextMenu> second = MenuFor("T:\\del2", "gone.txt");
    ASSERT_EQ(Invoke(second.Get(), "delete"), S_OK);
    EXPECT_TRUE(std::filesystem::exists(trash + "/files/gone.txt.2"));
    EXPECT_TRUE(std::filesystem::exists(trash + "/info/gone.txt.2.trashinfo"));
    std::ifstream first(trash + "/files/gone.txt");
    std::getline(first, content);
    EXPECT_EQ(content, "keep me");
}

TEST_F(VerbTest, CopyThenPasteIntoAFolder)
{
    env_.File(env_.T("src/c.txt"), "copied");
    env_.Dir(env_.T("dst"));
    ComPtr<IContextMenu> copy = MenuFor("T:\\src", "c.txt");
    ASSERT_EQ(Invoke(copy.Get(), "copy"), S_OK);
    EXPECT_TRUE(QGuiApplication::clipboard()->mimeData()->hasFormat("text/uri-list"));
    ComPtr<IContextMenu> paste = MenuFor("T:", "dst");
    ASSERT_TRUE(paste);
    ASSERT_EQ(Invoke(paste.Get(), "paste"), S_OK);
    ASSERT_EQ(Invoke(paste.Get(), "paste"), S_OK);
    std::ifstream a(env_.T("dst/c.txt"));
    std::string content;
    a >> content;
    EXPECT_EQ(content, "copied");
    EXPECT_TRUE(std::filesystem::exists(env_.T("dst/복사본 - c.txt")));
    EXPECT_TRUE(std::filesystem::exists(env_.T("src/c.txt")));

    // A folder is never pasted into itself.
    ComPtr<IContextMenu> copyDir = MenuFor("T:", "dst");
    ASSERT_EQ(Invoke(copyDir.Get(), "copy"), S_OK);
    EXPECT_NE(Invoke(paste.Get(), "paste"), S_OK);
    // A file has no paste command.
    EXPECT_EQ(Invoke(copy.Get(), "paste"), E_INVALIDARG);
}

TEST_F(VerbTest, RenameAsksForTheNameAndPropertiesShowASheet)
{
    env_.File(env_.T("rn/old.txt"), "12345");
    auto previous = vx::shell::SetRenamePromptHook([](const QString &current) -> std::optional<QString> {
        EXPECT_EQ(current, QStringLiteral("old.txt"));
        return QString::fromUtf8("새 이름.txt");
    });
    ComPtr<IContextMenu> menu = MenuFor("T:\\rn", "old.txt");
    ASSERT_EQ(Invoke(menu.Get(), "rename"), S_OK);
    EXPECT_TRUE(std::filesystem::exists(env_.T("rn/새 이름.txt")));
    vx::shell::SetRenamePromptHook([](const QString &) { return std::optional<QString>(); });
    ComPtr<IContextMenu> again = MenuFor("T:\\rn", Cp949("새 이름.txt"));
    ASSERT_TRUE(again);
    EXPECT_NE(Invoke(again.Get(), "rename"), S_OK); // cancelled
    vx::shell::SetRenamePromptHook(previous);

    // The real property sheet: a non-modal dialog.
    ASSERT_EQ(Invoke(again.Get(), "properties"), S_OK);
    QDialog *sheet = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == "ShellPropertySheet" && w->isVisible())
            sheet = qobject_cast<QDialog *>(w);
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->findChild<QLabel *>("nameValue")->text(), QString::fromUtf8("새 이름.txt"));
    EXPECT_TRUE(sheet->findChild<QLabel *>("sizeValue")->text().contains("5"));
    EXPECT_EQ(sheet->findChild<QLabel *>("locationValue")->text(), QString::fromUtf8("T:\\rn"));
    sheet->close();
}

TEST_F(VerbTest, OpenAndShellExecuteGoThroughTheOpener)
{
    env_.File(env_.T("op/doc.txt"));
    std::vector<vx::platform::ShellExecRequest> seen;
    auto previous = vx::platform::SetShellExecHandler([&](const vx::platform::ShellExecRequest &r) {
        seen.push_back(r);
        return true;
    });
    ComPtr<IContextMenu> menu = MenuFor("T:\\op", "doc.txt");
    ASSERT_EQ(Invoke(menu.Get(), "open"), S_OK);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].file, "T:\\op\\doc.txt");
    EXPECT_EQ(seen[0].nativePath, env_.T("op/doc.txt"));

    // The default verb through an item ID list.
    SHELLEXECUTEINFOA info{};
    info.cbSize = 60;
    info.fMask = SEE_MASK_INVOKEIDLIST;
    info.lpIDList = Parse("T:\\op\\doc.txt");
    info.nShow = SW_SHOW;
    EXPECT_TRUE(ShellExecuteExA(&info));
    EXPECT_GT(reinterpret_cast<uintptr_t>(info.hInstApp), 32u);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].nativePath, env_.T("op/doc.txt"));

    // "properties" through ShellExecuteEx shows the sheet through its hook.
    std::vector<vx::shell::PropertySheetInfo> sheets;
    auto prevSheet = vx::shell::SetPropertySheetHook([&](const vx::shell::PropertySheetInfo &i) {
        sheets.push_back(i);
        return true;
    });
    info.lpVerb = "properties";
    EXPECT_TRUE(ShellExecuteExA(&info));
    ASSERT_EQ(sheets.size(), 1u);
    EXPECT_EQ(sheets[0].name, QStringLiteral("doc.txt"));
    vx::shell::SetPropertySheetHook(prevSheet);

    // By file name, and failures reported as failures.
    info = SHELLEXECUTEINFOA{};
    info.cbSize = sizeof info;
    info.lpFile = "T:\\op\\doc.txt";
    EXPECT_TRUE(ShellExecuteExA(&info));
    EXPECT_EQ(seen.back().file, "T:\\op\\doc.txt");
    vx::platform::SetShellExecHandler([](const vx::platform::ShellExecRequest &) { return false; });
    EXPECT_FALSE(ShellExecuteExA(&info));
    EXPECT_LE(reinterpret_cast<uintptr_t>(info.hInstApp), 32u);
    info.cbSize = 12;
    EXPECT_FALSE(ShellExecuteExA(&info));
    vx::platform::SetShellExecHandler(previous);
}

TEST_F(VerbTest, VirtualItemsOfferOnlyWhatTheyCanDo)
{
    LPITEMIDLIST computer = nullptr;
    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &computer), S_OK);
    LPCITEMIDLIST item = computer;
    ComPtr<IContextMenu> menu;
    ASSERT_EQ(desktop_->GetUIObjectOf(nullptr, 1, &item, IID_IContextMenu, nullptr, menu.PutVoid()), S_OK);
    EXPECT_EQ(Invoke(menu.Get(), "delete"), E_INVALIDARG);
    EXPECT_EQ(Invoke(menu.Get(), "rename"), E_INVALIDARG);
    FreeList(computer);
    ComPtr<IContextMenu> none;
    EXPECT_NE(desktop_->GetUIObjectOf(nullptr, 0, nullptr, IID_IContextMenu, nullptr, none.PutVoid()), S_OK);
}

} // namespace
