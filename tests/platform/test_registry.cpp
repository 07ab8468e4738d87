#include "platform/registry/registry.h"
#include "platform/device/device.h"

#include "console/entrystore.h"
#include "password/scrambler.h"
#include "support/sandbox.h"
#include "support/cp949.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Registry : public ::testing::Test {
protected:
    vxtest::Sandbox store;
};

std::string IntegrityCheck(const std::string &path)
{
    sqlite3 *db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            result = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return result;
}

// Runs in a process without write access; returns a bit set of the checks that failed.
int ChecksWithoutWriteAccess()
{
    int failures = 0;
    TRegistry reg;
    if (reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\Entry", true))
        failures |= 1;
    if (reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\Entry", false))
        failures |= 1;
    if (reg.DeleteKey("SOFTWARE\\TOVRA\\Vellamorix\\Entry"))
        failures |= 2;
    {
        TRegistryTransaction tx(reg);
        if (tx.Active())
            failures |= 2;
    }
    if (!reg.OpenKeyReadOnly("SOFTWARE\\TOVRA\\Vellamorix\\Entry") || reg.ReadDword("EntryCount") != 1u)
        failures |= 4;
    try {
        reg.WriteInteger("EntryCount", 5);
        failures |= 8;
    } catch (const ERegistryException &) {
    }
    try {
        if (SaveEntryStore({})) // must neither throw nor empty the key, and say it saved nothing
            failures |= 16;
    } catch (...) {
        failures |= 16;
    }
    if (StorePassword("other"))
        failures |= 32;
    if (!CheckPassword("secret")) // a check needs only read access
        failures |= 64;
    try {
        if (ReadStoredPassword().empty()) // and so does the start-up read
            failures |= 128;
    } catch (...) {
        failures |= 128;
    }
    return failures;
}

} // namespace

TEST_F(Registry, OpenWithoutCreateFailsSilentlyAndReadsEmpty)
{
    TRegistry reg;
    EXPECT_EQ(reg.RootKey, HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\pass", false));
    EXPECT_FALSE(reg.HasCurrentKey());
    EXPECT_EQ(reg.ReadString("pass"), "");
    EXPECT_FALSE(reg.KeyExists("SOFTWARE\\TOVRA"));
}

TEST_F(Registry, CreatesWholePathAndComparesWithoutCase)
{
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\pass", true));
        EXPECT_EQ(reg.ReadString("pass"), ""); // just created
        reg.WriteString("pass", "0A1B");
    }
    TRegistry reg;
    EXPECT_TRUE(reg.KeyExists("SOFTWARE\\TOVRA"));
    ASSERT_TRUE(reg.OpenKey("\\software\\tovra\\VELLAMORIX\\Pass\\", false));
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\TOVRA\\Vellamorix\\pass"); // stored spelling
    EXPECT_EQ(reg.ReadString("PASS"), "0A1B");
    // Relative to the open key, then absolute again.
    ASSERT_TRUE(reg.OpenKey("Sub", true));
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\TOVRA\\Vellamorix\\pass\\Sub");
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\TOVRA", false));
    EXPECT_EQ(reg.GetKeyNames(), std::vector<AnsiString>{"Vellamorix"});
}

TEST_F(Registry, KoreanNamesFoldOnlyAsciiLetters)
{
    // Two double-byte characters whose trail bytes differ only as 'A' and 'a' do.
    const AnsiString upper = "\x81\x41";
    const AnsiString lower = "\x81\x61";
    EXPECT_NE(vx::registry::FoldName(upper), vx::registry::FoldName(lower));
    EXPECT_EQ(vx::registry::FoldName("AB\x81\x41" "C"), "ab\x81\x41" "c");

    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(upper, true));
    reg.WriteString("v", "upper");
    ASSERT_TRUE(reg.OpenKey("\\" + lower, true));
    reg.WriteString("v", "lower");
    ASSERT_TRUE(reg.OpenKey("\\" + upper, false));
    EXPECT_EQ(reg.ReadString("v"), "upper");

    const AnsiString hangul = Cp949("보호 폴더");
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\" + hangul, true));
    reg.WriteString(Cp949("이름"), Cp949("값 한글"));
    ASSERT_TRUE(reg.OpenKey("\\software\\" + hangul, false));
    EXPECT_EQ(reg.ReadString(Cp949("이름")), Cp949("값 한글"));
}

TEST_F(Registry, ValuesAreTypedAndReplaced)
{
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("SOFTWARE\\Test", true));
    reg.WriteInteger("Count", 3);
    reg.WriteInteger("High", static_cast<int32_t>(0x80000000u));
    reg.WriteInteger("Minus", -1);
    reg.WriteString("Text", "abc");
    reg.WriteString("text", "replaced"); // same name, other case
    reg.WriteString("Empty", "");
    reg.WriteBinaryData("Bin", std::string("\x00\x01\xFF", 3));
    reg.WriteValue("Multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6));
    reg.WriteValue("Q", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));

    EXPECT_EQ(reg.ReadDword("Count"), 3u);
    EXPECT_EQ(reg.ReadDword("High"), 0x80000000u);
    EXPECT_EQ(reg.ReadDword("Minus"), 0xFFFFFFFFu);
    EXPECT_EQ(reg.ReadValue("Count")->Type, REG_DWORD);
    EXPECT_EQ(reg.ReadValue("Count")->Data, std::string("\x03\x00\x00\x00", 4));
    EXPECT_EQ(reg.ReadString("TEXT"), "replaced");
    EXPECT_EQ(reg.ReadValue("Text")->Name, "Text"); // first spelling kept
    EXPECT_EQ(reg.ReadValue("Text")->Data, std::string("replaced\0", 9));
    EXPECT_TRUE(reg.ValueExists("Empty"));
    EXPECT_EQ(reg.ReadValue("Empty")->Data, std::string(1, '\0'));
    EXPECT_EQ(reg.ReadValue("Bin")->Data, std::string("\x00\x01\xFF", 3));
    EXPECT_EQ(reg.ReadValue("Multi")->Type, REG_MULTI_SZ);
    EXPECT_EQ(reg.ReadValue("Multi")->Data, std::string("a\0bc\0\0", 6));
    EXPECT_EQ(reg.ReadValue("Q")->Type, REG_QWORD);

    // Wrong type or missing: empty text / nothing, never an error.
    EXPECT_EQ(reg.ReadString("Count"), "");
    EXPECT_FALSE(reg.ReadDword("Text").has_value());
    EXPECT_EQ(reg.ReadString("Missing"), "");
    EXPECT_FALSE(reg.ValueExists("Missing"));

    const std::vector<AnsiString> names = reg.GetValueNames();
    EXPECT_EQ(names, (std::vector<AnsiString>{"Count", "High", "Minus", "Text", "Empty", "Bin", "Multi", "Q"}));
    EXPECT_TRUE(reg.DeleteValue("MINUS"));
    EXPECT_FALSE(reg.DeleteValue("Minus"));
    EXPECT_FALSE(reg.ValueExists("Minus"));
}

TEST_F(Registry, WritesThatCannotBeMadeThrow)
{
    TRegistry reg;
    EXPECT_THROW(reg.WriteString("x", "y"), ERegistryException); // no key open
    ASSERT_TRUE(reg.OpenKey("SOFTWARE\\Test", true));
    reg.WriteString("x", "y");
    reg.CloseKey();
    EXPECT_THROW(reg.WriteInteger("x", 1), ERegistryException);

    ASSERT_TRUE(reg.OpenKeyReadOnly("SOFTWARE\\Test"));
    EXPECT_EQ(reg.ReadString("x"), "y");
    EXPECT_THROW(reg.WriteString("x", "z"), ERegistryException);

    // The key is deleted by someone else while open here.
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Test", false));
    {
        TRegistry other;
        EXPECT_TRUE(other.DeleteKey("SOFTWARE\\Test"));
    }
    try {
        reg.WriteString("x", "z");
        ADD_FAILURE() << "write into a deleted key succeeded";
    } catch (const ERegistryException &e) {
        EXPECT_NE(std::string(e.what()).find("'x'"), std::string::npos);
    }
    TRegistry check;
    EXPECT_FALSE(check.KeyExists("SOFTWARE\\Test"));
}

TEST_F(Registry, MalformedPathsAndOtherRootsFail)
{
    TRegistry reg;
    EXPECT_FALSE(reg.OpenKey("SOFTWARE\\\\Test", true));
    EXPECT_FALSE(reg.OpenKey(std::string("SOFT\0WARE", 9), true));
    EXPECT_FALSE(reg.OpenKey(std::string(256, 'a'), true));
    EXPECT_TRUE(reg.OpenKey(std::string(255, 'a'), true));
    reg.CloseKey();
    reg.RootKey = HKEY_CURRENT_USER;
    EXPECT_FALSE(reg.OpenKey("SOFTWARE", true));
    reg.RootKey = HKEY_LOCAL_MACHINE;
    EXPECT_FALSE(reg.KeyExists("SOFTWARE\\\\Test"));
}

TEST_F(Registry, DeleteKeyRemovesTheWholeSubtreeOnly)
{
    TRegistry reg;
    std::string deep = "SOFTWARE\\TOVRA\\Vellamorix\\Entry";
    for (int i = 0; i < 40; ++i)
        deep += "\\k" + std::to_string(i);
    ASSERT_TRUE(reg.OpenKey(deep, true));
    reg.WriteString("leaf", "x");
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\TOVRA\\Vellamorix\\Entry", false));
    reg.WriteInteger("EntryCount", 1);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\TOVRA\\Vellamorix\\Entry2", true));
    reg.WriteString("keep", "me");
    reg.CloseKey();

    EXPECT_FALSE(reg.DeleteKey(""));   // never the root
    EXPECT_FALSE(reg.DeleteKey("\\"));
    EXPECT_FALSE(reg.DeleteKey("SOFTWARE\\Missing"));
    EXPECT_TRUE(reg.DeleteKey("software\\tovra\\vellamorix\\ENTRY"));
    EXPECT_FALSE(reg.KeyExists(deep));
    EXPECT_FALSE(reg.KeyExists("SOFTWARE\\TOVRA\\Vellamorix\\Entry"));
    ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\Entry2", false));
    EXPECT_EQ(reg.ReadString("keep"), "me");

    // Nothing of the deleted subtree is left behind in the file.
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(store.registry.c_str(), &db), SQLITE_OK);
    sqlite3_stmt *st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT (SELECT count(*) FROM keys), (SELECT count(*) FROM vals)", -1, &st, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 5); // root, SOFTWARE, TOVRA, Vellamorix, Entry2
    EXPECT_EQ(sqlite3_column_int(st, 1), 1);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

TEST_F(Registry, TransactionsCommitOrLeaveEverythingAsItWas)
{
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\T", true));
        reg.WriteString("old", "1");
    }
    {
        TRegistry reg;
        TRegistryTransaction tx(reg);
        ASSERT_TRUE(tx.Active());
        EXPECT_TRUE(reg.DeleteKey("SOFTWARE\\T"));
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\T", true));
        reg.WriteString("new", "2");
        // no commit: rolled back
    }
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\T", false));
        EXPECT_EQ(reg.GetValueNames(), std::vector<AnsiString>{"old"});
        ASSERT_TRUE(reg.BeginTransaction());
        EXPECT_THROW(reg.BeginTransaction(), ERegistryException);
        reg.WriteString("new", "2");
        reg.RollbackTransaction();
        EXPECT_FALSE(reg.ValueExists("new"));
    }
    {
        TRegistry reg;
        TRegistryTransaction tx(reg);
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\T", false));
        reg.WriteString("new", "2");
        tx.Commit();
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("SOFTWARE\\T", false));
    EXPECT_EQ(reg.ReadString("new"), "2");
    EXPECT_EQ(reg.ReadString("old"), "1");
}

TEST_F(Registry, StoreLocationFollowsTheEnvironment)
{
    EXPECT_EQ(vx::registry::StorePath(), store.registry);
    unsetenv("VELLAMORIX_REGISTRY");
    if (geteuid() == 0 || vx::device::SystemEngineServes())
        EXPECT_EQ(vx::registry::StorePath(), "/var/lib/vellamorix/registry.db");
    else
        EXPECT_EQ(vx::registry::StorePath(), store.data + "/vellamorix/registry.db");
    // A store in a folder that does not exist yet: the folder is made on the first write.
    const std::string nested = store.dir + "/a/b/registry.db";
    setenv("VELLAMORIX_REGISTRY", nested.c_str(), 1);
    {
        TRegistry reg;
        EXPECT_FALSE(reg.OpenKeyReadOnly("SOFTWARE")); // reading creates nothing
        EXPECT_FALSE(std::filesystem::exists(nested));
        ASSERT_TRUE(reg.OpenKey("SOFTWARE", true));
        reg.WriteInteger("v", 7);
    }
    EXPECT_TRUE(std::filesystem::exists(nested));
    setenv("VELLAMORIX_REGISTRY", store.registry.c_str(), 1);
}

// In a folder of root's that hands its group on and that only root and that group may enter (the
// system store's, 2770) a new store is the group's as well (0660), whatever the umask; in any
// other folder it stays private.
TEST_F(Registry, StoreMadeInTheSystemStoresKindOfFolderIsTheGroups)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the folder must be root's";
    const mode_t oldMask = umask(022);
    const struct {
        mode_t folder, file;
    } cases[] = {{02770, 0660}, {02775, 0600}, {0770, 0600}, {02750, 0600}, {02700, 0600}};
    for (const auto &c : cases) {
        const std::string dir = store.dir + "/g" + std::to_string(c.folder);
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        ASSERT_EQ(chmod(dir.c_str(), c.folder), 0);
        const std::string path = dir + "/registry.db";
        setenv("VELLAMORIX_REGISTRY", path.c_str(), 1);
        {
            TRegistry reg;
            ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA", true));
            reg.WriteString("v", "x");
        }
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.file) << "folder mode " << std::oct << c.folder;
    }
    umask(oldMask);
    setenv("VELLAMORIX_REGISTRY", store.registry.c_str(), 1);
}

// What the programs create is private to the user, whatever the umask lets through; a store or
// folder that is there already keeps its mode.
TEST_F(Registry, StoreFileAndFoldersTheProgramsCreateArePrivate)
{
    const mode_t oldMask = umask(0);
    const std::string nested = store.dir + "/made/here/registry.db";
    setenv("VELLAMORIX_REGISTRY", nested.c_str(), 1);
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA", true));
        reg.WriteString("v", "x");
    }
    struct stat st {};
    ASSERT_EQ(stat(nested.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((store.dir + "/made/here").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((store.dir + "/made").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // An existing store is used as it is.
    ASSERT_EQ(chmod(nested.c_str(), 0640), 0);
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA", true));
        reg.WriteString("v", "z");
    }
    ASSERT_EQ(stat(nested.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    umask(oldMask);
    setenv("VELLAMORIX_REGISTRY", store.registry.c_str(), 1);
}

// Reads tell a key that is not there from a store that cannot be read.
TEST_F(Registry, ReadsTellAMissingKeyFromAnUnreadableStore)
{
    TRegistry reg(KEY_READ);
    EXPECT_FALSE(reg.OpenKeyReadOnly("SOFTWARE")); // no file yet
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    {
        FILE *f = fopen(store.registry.c_str(), "wb"); // made, never written
        ASSERT_NE(f, nullptr);
        fclose(f);
    }
    EXPECT_FALSE(reg.OpenKeyReadOnly("SOFTWARE"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    {
        TRegistry writer;
        ASSERT_TRUE(writer.OpenKey("SOFTWARE\\A", true));
        writer.WriteString("there", "x");
    }
    TRegistry reader(KEY_READ);
    EXPECT_FALSE(reader.OpenKeyReadOnly("SOFTWARE\\B"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(reader.OpenKeyReadOnly("SOFTWARE\\A"));
    EXPECT_TRUE(reader.ReadValue("there"));
    EXPECT_FALSE(reader.ReadValue("missing"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // Not a store: an error, not a missing key.
    {
        FILE *f = fopen(store.registry.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fputs("this is not a database file, just some text that is long enough to look like a header......", f);
        fclose(f);
    }
    TRegistry broken(KEY_READ);
    EXPECT_FALSE(broken.OpenKeyReadOnly("SOFTWARE\\A"));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    // A file that cannot be opened at all (a folder in its place).
    std::filesystem::remove(store.registry);
    std::filesystem::create_directory(store.registry);
    TRegistry blocked(KEY_READ);
    EXPECT_FALSE(blocked.OpenKeyReadOnly("SOFTWARE\\A"));
    EXPECT_NE(GetLastError(), ERROR_FILE_NOT_FOUND);
    std::filesystem::remove(store.registry);
}

TEST_F(Registry, FileThatIsNotAStoreFailsCleanly)
{
    {
        FILE *f = fopen(store.registry.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fputs("this is not a database file, just some text that is long enough to look like a header......", f);
        fclose(f);
    }
    TRegistry reg;
    EXPECT_FALSE(reg.OpenKey("SOFTWARE", true));
    EXPECT_FALSE(reg.OpenKeyReadOnly("SOFTWARE"));
    EXPECT_FALSE(reg.DeleteKey("SOFTWARE"));
    EXPECT_EQ(reg.ReadString("x"), "");
    EXPECT_THROW(reg.WriteString("x", "y"), ERegistryException);
}

// Without write access to the store, every open for writing fails and nothing changes; reading
// still works. Runs in a child without rights (a plain user when the tests run as root).
TEST_F(Registry, StoreWithoutWriteAccess)
{
    SaveEntryStore({TEntryRow{"C:\\Data", {"*", "", "", "", "2052", ""}}});
    ASSERT_TRUE(StorePassword("secret"));
    AnsiString storedPass;
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\pass", false));
        storedPass = reg.ReadString("pass");
    }
    ASSERT_EQ(chmod(store.dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(store.registry.c_str(), 0644), 0);

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(200);
        } else {
            chmod(store.registry.c_str(), 0444);
            chmod(store.dir.c_str(), 0555);
        }
        int failures = 0;
        try {
            failures = ChecksWithoutWriteAccess();
        } catch (...) {
            _exit(201);
        }
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    chmod(store.dir.c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 200)
        GTEST_SKIP() << "cannot drop root rights here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    chmod(store.registry.c_str(), 0600);

    const TStoredEntries entries = ReadEntryStore();
    ASSERT_EQ(entries.Rows.size(), 1u);
    EXPECT_EQ(entries.Rows[0], "C:\\Data,*,,,2052");
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\pass", false));
    EXPECT_EQ(reg.ReadString("pass"), storedPass);
}

// Two processes writing at once: nothing is lost and the file stays sound.
TEST_F(Registry, TwoProcessesAtOnce)
{
    constexpr int kWrites = 150;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            int failures = 0;
            try {
                for (int i = 0; i < kWrites; ++i) {
                    TRegistry reg;
                    if (!reg.OpenKey("SOFTWARE\\Shared\\p" + std::to_string(c), true)) {
                        ++failures;
                        fprintf(stderr, "open failed: %u\n", GetLastError());
                        continue;
                    }
                    reg.WriteString("v" + std::to_string(i), std::to_string(c * 1000 + i));
                    std::vector<TEntryRow> rows(static_cast<size_t>(i % 7),
                                                TEntryRow{"p" + std::to_string(c), {"*", "", "", "", "0"}});
                    SaveEntryStore(rows);
                }
            } catch (...) {
                failures = 99;
            }
            _exit(failures > 99 ? 99 : failures);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    EXPECT_EQ(IntegrityCheck(store.registry), "ok");
    for (int c = 0; c < 2; ++c) {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\Shared\\p" + std::to_string(c), false));
        EXPECT_EQ(reg.GetValueNames().size(), static_cast<size_t>(kWrites));
        EXPECT_EQ(reg.ReadString("v" + std::to_string(kWrites - 1)), std::to_string(c * 1000 + kWrites - 1));
    }
    // The entry key holds one complete save: the count matches its values.
    const TStoredEntries entries = ReadEntryStore();
    ASSERT_TRUE(entries.KeyFound);
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\Entry", false));
    EXPECT_EQ(reg.GetValueNames().size(), *reg.ReadDword("EntryCount") + 1);
}
