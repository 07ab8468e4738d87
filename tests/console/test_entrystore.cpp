#include "console/entrystore.h"

#include "platform/registry/registry.h"
#include "support/sandbox.h"
#include "support/cp949.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A list row as the main window fills it: path, then process, excluded path, excluded process,
// preset name, mask in decimal and mask text.
TEntryRow Row(const AnsiString &path, const AnsiString &process, const AnsiString &exPath,
              const AnsiString &exProcess, uint32_t mask)
{
    return TEntryRow{path, {process, exPath, exProcess, MaskPresetName(mask), MaskToDecimal(mask), MaskToText(mask)}};
}

std::vector<AnsiString> StoredNames()
{
    TRegistry reg;
    if (!reg.OpenKey(EntryKeyPath, false))
        return {};
    return reg.GetValueNames();
}

class EntryStore : public ::testing::Test {
protected:
    vxtest::Sandbox store;
};

} // namespace

TEST(EntryText, JoinsCaptionAndSubItemsZeroOneTwoFour)
{
    EXPECT_EQ(EntryText(Row("C:\\Data", "*", "", "", FP_PRESET_NOACCESS)), "C:\\Data,*,,,2052");
    EXPECT_EQ(EntryText(Row("C:\\a;C:\\a\\*;", "notepad*", "C:\\a\\x", "explorer.exe", FP_PRESET_READONLY)),
              "C:\\a;C:\\a\\*;,notepad*,C:\\a\\x,explorer.exe,1079472");
    EXPECT_EQ(EntryText(Row("C:\\x", "*", "", "", FP_PRESET_FULLHIDDEN)), "C:\\x,*,,,2564");
    EXPECT_EQ(EntryText(Row("C:\\x", "*", "", "", FP_PRESET_INVISIBLE)), "C:\\x,*,,,512");
    // Highest bit set: unsigned decimal, never negative.
    EXPECT_EQ(EntryText(Row("C:\\x", "*", "", "", 0x80000000u)), "C:\\x,*,,,2147483648");
    EXPECT_EQ(EntryText(Row("C:\\x", "*", "", "", 0xFFFFFFFFu)), "C:\\x,*,,,4294967295");
    // Commas are written as they are.
    EXPECT_EQ(EntryText(Row("C:\\a,b", "*", "", "", 512)), "C:\\a,b,*,,,512");
    // A short row does not crash; missing sub-items are empty.
    EXPECT_EQ(EntryText(TEntryRow{"C:\\x", {"*"}}), "C:\\x,*,,,");
}

TEST_F(EntryStore, SaveWritesCountAndRowsInOrder)
{
    const AnsiString korean = Cp949("C:\\문서\\비밀");
    SaveEntryStore({Row("C:\\Data", "*", "", "", FP_PRESET_NOACCESS), Row(korean, "notepad*", "", "", 512)});
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\Entry", false));
    EXPECT_EQ(reg.ReadValue("EntryCount")->Type, REG_DWORD);
    EXPECT_EQ(reg.ReadDword("EntryCount"), 2u);
    EXPECT_EQ(reg.ReadValue("0")->Type, REG_SZ);
    EXPECT_EQ(reg.ReadValue("0")->Data, std::string("C:\\Data,*,,,2052\0", 17)); // with its terminating zero
    EXPECT_EQ(reg.ReadString("1"), korean + ",notepad*,,,512");
    EXPECT_EQ(reg.GetValueNames(), (std::vector<AnsiString>{"EntryCount", "0", "1"}));
}

TEST_F(EntryStore, ShorterListReplacesLongerOneWhole)
{
    std::vector<TEntryRow> rows;
    for (int i = 0; i < 12; ++i)
        rows.push_back(Row("C:\\p" + std::to_string(i), "*", "", "", 512));
    SaveEntryStore(rows);
    {
        // Something foreign under the key goes too.
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\Entry\\Sub", true));
        reg.WriteString("x", "y");
    }
    std::vector<AnsiString> names = StoredNames();
    ASSERT_EQ(names.size(), 13u);
    // The eleventh row is named 10, without leading zeros.
    EXPECT_NE(std::find(names.begin(), names.end(), "10"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "010"), names.end());

    rows.resize(3);
    SaveEntryStore(rows);
    EXPECT_EQ(StoredNames(), (std::vector<AnsiString>{"EntryCount", "0", "1", "2"}));
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(EntryKeyPath, false));
    EXPECT_EQ(reg.ReadDword("EntryCount"), 3u);
    EXPECT_EQ(reg.ReadString("2"), "C:\\p2,*,,,512");
    EXPECT_TRUE(reg.GetKeyNames().empty());

    SaveEntryStore({});
    EXPECT_EQ(StoredNames(), std::vector<AnsiString>{"EntryCount"});
    EXPECT_EQ(ReadEntryStore().Rows.size(), 0u);
}

// Another process holds the store locked for the whole save: the save gives up after the wait it
// was given and leaves the stored rows whole.
TEST_F(EntryStore, LockedStoreEndsTheSaveAfterItsWait)
{
    ASSERT_TRUE(SaveEntryStore({Row("C:\\keep", "*", "", "", 2052)}));
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(store.registry.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_THROW(SaveEntryStore({Row("C:\\new", "*", "", "", 512)}, std::chrono::milliseconds(200)),
                 ERegistryException);
    ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);

    const TStoredEntries entries = ReadEntryStore();
    ASSERT_TRUE(entries.KeyFound);
    ASSERT_EQ(entries.Rows.size(), 1u);
    EXPECT_EQ(entries.Rows[0], "C:\\keep,*,,,2052");
}

TEST_F(EntryStore, DeleteEntryKeyRemovesItAndReportsMissing)
{
    EXPECT_FALSE(DeleteEntryKey());
    SaveEntryStore({Row("C:\\x", "*", "", "", 512)});
    EXPECT_TRUE(DeleteEntryKey());
    EXPECT_FALSE(TRegistry().KeyExists(EntryKeyPath));
    EXPECT_TRUE(TRegistry().KeyExists("SOFTWARE\\TOVRA\\Vellamorix"));
}

// A write refused in the middle of a save: the error reaches the caller and the earlier
// contents stay whole.
TEST_F(EntryStore, FailedWriteKeepsEarlierContents)
{
    SaveEntryStore({Row("C:\\old0", "*", "", "", 512), Row("C:\\old1", "*", "", "", 512)});
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(store.registry.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db,
                               "CREATE TRIGGER refuse BEFORE INSERT ON vals WHEN NEW.name = CAST('2' AS BLOB) "
                               "BEGIN SELECT RAISE(ABORT, 'disk full'); END",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    std::vector<TEntryRow> rows;
    for (int i = 0; i < 5; ++i)
        rows.push_back(Row("C:\\new" + std::to_string(i), "*", "", "", 2052));
    EXPECT_THROW(SaveEntryStore(rows), ERegistryException);

    const TStoredEntries entries = ReadEntryStore();
    ASSERT_EQ(entries.Rows.size(), 2u);
    EXPECT_EQ(entries.Rows[0], "C:\\old0,*,,,512");
    EXPECT_EQ(entries.Rows[1], "C:\\old1,*,,,512");
    EXPECT_EQ(StoredNames().size(), 3u);
}

TEST_F(EntryStore, ReaderCopesWithDamagedKeys)
{
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(EntryKeyPath, true));
        reg.WriteInteger("EntryCount", -1); // 4294967295 rows claimed
        reg.WriteString("0", "C:\\a,*,,,512");
        reg.WriteInteger("1", 5);
    }
    const TStoredEntries entries = ReadEntryStore();
    EXPECT_TRUE(entries.KeyFound);
    ASSERT_EQ(entries.Rows.size(), 3u); // bounded by the values present
    EXPECT_EQ(entries.Rows[0], "C:\\a,*,,,512");
    EXPECT_FALSE(entries.Rows[1].has_value());
    EXPECT_FALSE(entries.Rows[2].has_value());
}

TEST(ParseEntryText, FiveFieldsAndAnUnsignedMask)
{
    TFPRec rec;
    ASSERT_TRUE(ParseEntryText("C:\\Data,notepad*,C:\\Data\\x,explorer.exe,4294967295", rec));
    EXPECT_EQ(rec.FileFolder, "C:\\Data");
    EXPECT_EQ(rec.Process, "notepad*");
    EXPECT_EQ(rec.ExcludeFileFolder, "C:\\Data\\x");
    EXPECT_EQ(rec.ExcludeProcess, "explorer.exe");
    EXPECT_EQ(rec.Mask, 0xFFFFFFFFu);
    ASSERT_TRUE(ParseEntryText("C:\\Data,*,,,2052", rec));
    EXPECT_EQ(rec.ExcludeFileFolder, "");
    EXPECT_EQ(rec.Mask, 2052u);

    for (const char *bad : {"C:\\a,b,*,,,512", "C:\\a,*,,", "C:\\a,*,,,", "C:\\a,*,,,-1", "C:\\a,*,,,4294967296",
                            "C:\\a,*,,,12x", "C:\\a,*,,, 12", ""}) {
        TFPRec untouched;
        EXPECT_FALSE(ParseEntryText(bad, untouched)) << bad;
    }
}

// A save killed in the middle leaves either the old or the new list, never a mix.
TEST_F(EntryStore, SaveKilledMidwayLeavesOldOrNew)
{
    std::vector<TEntryRow> listA, listB;
    for (int i = 0; i < 300; ++i)
        listA.push_back(Row("C:\\a" + std::to_string(i), "*", "", "", 512));
    for (int i = 0; i < 170; ++i)
        listB.push_back(Row("C:\\b" + std::to_string(i), "*", "", "", 2052));
    SaveEntryStore(listA);

    std::mt19937 random(12345);
    for (int round = 0; round < 12; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ready[0]);
            bool told = false;
            try {
                for (int n = 0;; ++n) {
                    SaveEntryStore(n % 2 ? listA : listB);
                    if (!told) {
                        told = write(ready[1], "r", 1) == 1;
                    }
                }
            } catch (...) {
                _exit(3); // never fall back into the test runner
            }
        }
        close(ready[1]);
        char c = 0;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        usleep(std::uniform_int_distribution<unsigned>(0, 40000)(random));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));

        const TStoredEntries entries = ReadEntryStore();
        ASSERT_TRUE(entries.KeyFound) << "round " << round;
        const std::vector<TEntryRow> &expected = entries.Rows.size() == listA.size() ? listA : listB;
        ASSERT_EQ(entries.Rows.size(), expected.size()) << "round " << round;
        for (size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(entries.Rows[i], EntryText(expected[i])) << "round " << round << " row " << i;
        ASSERT_EQ(StoredNames().size(), expected.size() + 1) << "round " << round;
    }
}
