// vxctl against a real engine daemon (no enforcement): every command, both apply file forms,
// the password, and the engine missing.
#include "console/enginesave.h"
#include "console/entrystore.h"
#include "engine/protector.h"
#include "password/scrambler.h"
#include "platform/registry/registry.h"
#include "support/cp949.h"
#include "tools/vxctl_run.h"
#include "tools/vxreg/regfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <poll.h>
#include <pty.h>

using vxctltest::Result;

namespace {

TFPRec Rec(const std::string &path, const std::string &process, uint32_t mask, const std::string &excludePath = "",
           const std::string &excludeProcess = "")
{
    TFPRec r;
    r.FileFolder = path;
    r.Process = process;
    r.ExcludeFileFolder = excludePath;
    r.ExcludeProcess = excludeProcess;
    r.Mask = mask;
    return r;
}

std::string Show(const std::vector<TFPRec> &entries)
{
    std::string s;
    for (const TFPRec &e : entries)
        s += "[" + e.FileFolder + "," + e.Process + "," + e.ExcludeFileFolder + "," + e.ExcludeProcess + "," +
             std::to_string(e.Mask) + "]\n";
    return s;
}

class Vxctl : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("VELLAMORIX_DRIVES");
        ASSERT_TRUE(daemon_.WaitReady()) << daemon_.Log();
    }

    Result Run(std::vector<std::string> args, const std::string &input = "", const std::vector<std::string> &env = {})
    {
        return vxctltest::RunProgram(home_.dir, vxctltest::VxctlPath(), std::move(args), input, env);
    }

    // What the engine holds, read by the test's own client.
    std::vector<TFPRec> Engine()
    {
        TVeskFileProtector p;
        std::vector<TFPRec> entries;
        EXPECT_TRUE(ReadEngineEntries(p, entries)) << daemon_.Log();
        return entries;
    }
    void SetEngine(const std::vector<TFPRec> &entries)
    {
        TVeskFileProtector p;
        uint32_t count = 0;
        ASSERT_TRUE(p.GetEntryCount(count));
        for (uint32_t i = count; i > 0; --i)
            ASSERT_TRUE(p.DeleteEntry(static_cast<int32_t>(i - 1)));
        for (const TFPRec &e : entries)
            ASSERT_GE(p.AddEntry(e.Mask, e.FileFolder, e.ExcludeFileFolder, e.Process, e.ExcludeProcess, nullptr, 0,
                                 nullptr, 0, nullptr, 0),
                      0);
    }
    // The rows the registry entry store holds, as records.
    std::vector<TFPRec> Stored()
    {
        const TStoredEntries stored = ReadEntryStore();
        std::vector<TFPRec> out;
        for (const auto &row : stored.Rows) {
            TFPRec r;
            EXPECT_TRUE(row && ParseEntryText(*row, r));
            out.push_back(r);
        }
        return out;
    }
    std::string File(const std::string &name, const std::string &text)
    {
        const std::string path = home_.dir + "/" + name;
        vxctltest::WriteFile(path, text);
        return path;
    }

    vxtest::Sandbox home_;
    qxdtest::Daemon daemon_{home_, {"--no-load", "--verbose"}};
};

TEST_F(Vxctl, StatusSaysTheEngineAnswersAndCountsItsEntries)
{
    SetEngine({Rec("C:\\a;", "*", FP_PRESET_NOACCESS), Rec("C:\\b;", "*", FP_PRESET_INVISIBLE)});
    const Result r = Run({"status"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("engine: answering at " + home_.deviceDir + "/Global/QXDAnsi"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("entries: 2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("protection:"), std::string::npos) << r.out;
}

TEST_F(Vxctl, AddMakesTheEntryAsTheEditorAndFolderPickerWouldAndSavesIt)
{
    const Result r = Run({"add", "--path", "C:\\data\\a.txt", "--path", "C:\\data\\b.txt", "--folder", "C:\\문서",
                          "--exclude-process", "backup*", "--preset", "read-only"});
    ASSERT_EQ(r.status, 0) << r.err;
    const TFPRec want = Rec(Cp949("C:\\data\\a.txt;C:\\data\\b.txt;C:\\문서;C:\\문서\\*;"), "*", FP_PRESET_READONLY, "",
                            "backup*");
    EXPECT_EQ(Show(Engine()), Show({want}));
    // Saved as the console's close saves: the same row text.
    const TStoredEntries stored = ReadEntryStore();
    ASSERT_EQ(stored.Rows.size(), 1u);
    EXPECT_EQ(*stored.Rows[0], EntryText(EntryRowOf(want)));

    const Result d = Run({"add", "--path", "/srv/x", "--posix", "--process", "vi*", "--deny", "open,read,execute"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(Engine().at(1), Rec("C:\\srv\\x;", "vi*", FP_OPEN | FP_READ | FP_EXECUTE));
}

TEST_F(Vxctl, EveryOperationNameSetsItsBit)
{
    const std::pair<const char *, uint32_t> ops[] = {
        {"create", FP_CREATE},   {"open", FP_OPEN},       {"read", FP_READ},
        {"write", FP_WRITE},     {"rename", FP_RENAME},   {"delete", FP_DELETE},
        {"replace", FP_REPLACE}, {"folder-create", FP_DIR_CREATE}, {"folder-delete", FP_DIR_DELETE},
        {"attributes", FP_SET_ATTRIBUTES}, {"execute", FP_EXECUTE}, {"list", FP_LIST},
    };
    for (const auto &[name, bit] : ops)
        ASSERT_EQ(Run({"add", "--path", "C:\\x", "--deny", name}).status, 0) << name;
    const std::vector<TFPRec> entries = Engine();
    ASSERT_EQ(entries.size(), std::size(ops));
    for (size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(entries[i].Mask, ops[i].second) << ops[i].first;
    for (const auto &[name, mask] : {std::pair<const char *, uint32_t>{"no-access", FP_PRESET_NOACCESS},
                                     {"fully-hidden", FP_PRESET_FULLHIDDEN},
                                     {"invisible", FP_PRESET_INVISIBLE}}) {
        ASSERT_EQ(Run({"add", "--path", "C:\\y", "--preset", name}).status, 0) << name;
        EXPECT_EQ(Engine().back().Mask, mask) << name;
    }
}

TEST_F(Vxctl, AddRefusesWhatTheEditorRefusesAndChangesNothing)
{
    SetEngine({Rec("C:\\keep;", "*", FP_PRESET_NOACCESS)});
    const std::vector<TFPRec> before = Engine();
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *message;
    };
    const Case cases[] = {
        {{"add", "--path", "", "--preset", "read-only"}, 1, "path is required"},
        {{"add", "--process", "x", "--preset", "read-only"}, 1, "path is required"},
        {{"add", "--path", "C:\\a,b", "--preset", "read-only"}, 1, "--path: \",\""},
        {{"add", "--path", "C:\\a", "--process", "a,b", "--preset", "read-only"}, 1, "--process: \",\""},
        {{"add", "--path", "C:\\\xF0\x9F\x98\x80", "--preset", "read-only"}, 1, "CP949 cannot hold"},
        {{"add", "--path", "relative", "--posix", "--preset", "read-only"}, 1, "no drive"},
        {{"add", "--path", "C:\\a", "--deny", "open,fly"}, 2, "unknown operation \"fly\""},
        {{"add", "--path", "C:\\a", "--preset", "secret"}, 2, "unknown preset"},
        {{"add", "--path", "C:\\a", "--preset", "read-only", "--deny", "open"}, 2, "exclude each other"},
        {{"add", "--path", "C:\\a"}, 2, "--preset or --deny"},
        {{"add", "--path", "C:\\a", "--preset", "read-only", "--check"}, 2, "--check is not an option of add"},
    };
    for (const Case &c : cases) {
        const Result r = Run(c.args);
        EXPECT_EQ(r.status, c.status) << c.message << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        // One line naming what failed.
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("vxctl: ", 0), 0u) << r.err;
    }
    EXPECT_EQ(Engine(), before);
}

TEST_F(Vxctl, ModifyReplacesOnlyTheFieldsGivenDeleteAndClearRemove)
{
    SetEngine({Rec("C:\\a;", "*", FP_PRESET_NOACCESS, "C:\\a\\tmp;", "admin*"), Rec("C:\\b;", "x*", FP_LIST)});
    Result r = Run({"modify", "0", "--deny", "read,write"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Engine().at(0), Rec("C:\\a;", "*", FP_READ | FP_WRITE, "C:\\a\\tmp;", "admin*"));
    r = Run({"modify", "1", "--process", "y*", "--exclude-path", ""});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Engine().at(1), Rec("C:\\b;", "y*", FP_LIST));
    r = Run({"modify", "1", "--folder", "C:\\f"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Engine().at(1).FileFolder, "C:\\f;C:\\f\\*;");
    EXPECT_EQ(Stored(), Engine());

    r = Run({"modify", "5", "--preset", "invisible"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no entry 5"), std::string::npos) << r.err;
    EXPECT_EQ(Run({"modify", "x", "--preset", "invisible"}).status, 2);
    EXPECT_EQ(Run({"modify", "0"}).status, 2);

    r = Run({"delete", "0"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(Engine().size(), 1u);
    EXPECT_EQ(Engine().at(0).FileFolder, "C:\\f;C:\\f\\*;");
    EXPECT_EQ(Run({"delete", "3"}).status, 1);
    EXPECT_EQ(Run({"delete"}).status, 2);

    SetEngine({Rec("C:\\a;", "*", 4), Rec("C:\\b;", "*", 4), Rec("C:\\c;", "*", 4)});
    r = Run({"clear"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Engine().empty());
    EXPECT_TRUE(Stored().empty());
    EXPECT_TRUE(ReadEntryStore().KeyFound);
}

TEST_F(Vxctl, ListShowsEveryFieldAndPosixPaths)
{
    setenv("VELLAMORIX_DRIVES", "C:=/,D:=/srv", 1);
    SetEngine({Rec(Cp949("D:\\공유\\*;D:\\공유;"), "*", FP_PRESET_READONLY, "C:\\tmp;", "backup*")});
    Result r = Run({"list"}, "", {"VELLAMORIX_DRIVES=C:=/,D:=/srv"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("0\tD:\\공유\\*;D:\\공유;\t*\tC:\\tmp;\tbackup*\t1079472\t읽기전용\t"
                         "이름수정, 삭제, 쓰기, 생성, 교체, 폴더생성, 폴더삭제, 속성변경.\n"),
              std::string::npos)
        << r.out;
    r = Run({"list", "--posix"}, "", {"VELLAMORIX_DRIVES=C:=/,D:=/srv"});
    EXPECT_NE(r.out.find("0\t/srv/공유/*;/srv/공유;\t*\t/tmp;\t"), std::string::npos) << r.out;
    r = Run({"list", "--json", "--posix"}, "", {"VELLAMORIX_DRIVES=C:=/,D:=/srv"});
    EXPECT_NE(r.out.find("\"paths\": \"posix\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"path\": \"/srv/공유/*;/srv/공유;\""), std::string::npos) << r.out;
    r = Run({"list", "--json"});
    EXPECT_NE(r.out.find("\"mask\": 1079472, \"preset\": \"읽기전용\", \"deny\": [\"create\", \"write\", \"rename\", "
                         "\"delete\", \"replace\", \"folder-create\", \"folder-delete\", \"attributes\"]"),
              std::string::npos)
        << r.out;
    unsetenv("VELLAMORIX_DRIVES");
}

TEST_F(Vxctl, KoreanAndUnconvertibleBytesGoThroughJsonAndBackExactly)
{
    // Korean text, a byte that is no CP949 character, and a lead byte without its trail.
    const TFPRec odd = Rec(Cp949("C:\\문서\\비밀") + "\x80" + "x;" + Cp949("C:\\보고서") + "\xFF;", Cp949("한글*"),
                           FP_PRESET_FULLHIDDEN, "C:\\a\xA1;", "");
    const TFPRec plain = Rec("C:\\plain;", "*", FP_ALL);
    SetEngine({odd, plain});
    const Result list = Run({"list", "--json"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("C:\\\\문서\\\\비밀\\udc80x;C:\\\\보고서\\udcff;"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("\"process\": \"한글*\""), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("C:\\\\a\\udca1;"), std::string::npos) << list.out;
    const std::string file = File("list.json", list.out);

    SetEngine({});
    Result r = Run({"apply", file});
    ASSERT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(Show(Engine()), Show({odd, plain}));
    r = Run({"apply", file});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST_F(Vxctl, ApplyFromJsonAddsChangesRemovesSavesAndIsIdempotent)
{
    SetEngine({Rec("C:\\old;", "*", FP_LIST), Rec("C:\\same;", "*", FP_OPEN), Rec("C:\\gone;", "*", FP_READ)});
    const std::string file = File("want.json", R"({"entries": [
        {"path": ["C:\\new", "C:\\문서\\보고서.hwp"], "preset": "no-access"},
        {"path": "C:\\same;", "process": "*", "mask": 4},
        {"folder": "C:\\공유", "process": "note*", "exclude_path": "C:\\공유\\tmp;", "deny": ["read", "write"]}
    ]})");
    const std::vector<TFPRec> want = {
        Rec(Cp949("C:\\new;C:\\문서\\보고서.hwp;"), "*", FP_PRESET_NOACCESS), Rec("C:\\same;", "*", FP_OPEN),
        Rec(Cp949("C:\\공유;C:\\공유\\*;"), "note*", FP_READ | FP_WRITE, Cp949("C:\\공유\\tmp;"))};

    Result r = Run({"apply", file, "--check"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.out.find("would change 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("would change 2"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("change 1"), std::string::npos) << r.out;
    EXPECT_EQ(Engine().at(0).FileFolder, "C:\\old;") << "--check changed the engine";

    r = Run({"apply", file});
    ASSERT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.out.find("change 0"), std::string::npos) << r.out;
    EXPECT_EQ(Show(Engine()), Show(want));
    EXPECT_EQ(Show(Stored()), Show(want));

    r = Run({"apply", file});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("nothing to change (3 entries)"), std::string::npos) << r.out;
    EXPECT_EQ(Run({"apply", file, "--check"}).status, 0);

    // Fewer rows: the rest are removed.
    r = Run({"apply", File("one.json", R"([{"path": "C:\\same;", "deny": "open"}])")});
    ASSERT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.out.find("remove 2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("remove 1"), std::string::npos) << r.out;
    EXPECT_EQ(Show(Engine()), Show({Rec("C:\\same;", "*", FP_OPEN)}));
    // An empty list removes everything.
    ASSERT_EQ(Run({"apply", File("none.json", R"({"entries": []})")}).status, 3);
    EXPECT_TRUE(Engine().empty());
    EXPECT_TRUE(Stored().empty());
}

TEST_F(Vxctl, ApplyTakesPosixPathsThroughTheDriveMap)
{
    const std::vector<std::string> drives = {"VELLAMORIX_DRIVES=C:=/,D:=/srv"};
    const std::string file = File("posix.json", R"({"paths": "posix", "entries": [
        {"path": ["/srv/a", "/tmp/b"], "folder": "/srv/공유", "preset": "invisible"},
        {"path": "/srv/x;/opt/y;", "exclude_folder": "/opt/y/tmp", "deny": ["execute"]}]})");
    Result r = Run({"apply", file}, "", drives);
    ASSERT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(Show(Engine()), Show({Rec(Cp949("D:\\a;C:\\tmp\\b;D:\\공유;D:\\공유\\*;"), "*", FP_PRESET_INVISIBLE),
                                    Rec("D:\\x;C:\\opt\\y;", "*", FP_EXECUTE, "C:\\opt\\y\\tmp;C:\\opt\\y\\tmp\\*;")}));
    // What list shows with --posix applies back to the same entries.
    r = Run({"list", "--json", "--posix"}, "", drives);
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run({"apply", File("back.json", r.out)}, "", drives);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // A relative POSIX path is a bad row.
    r = Run({"apply", File("rel.json", R"({"paths": "posix", "entries": [{"path": "rel/x", "preset": "invisible"}]})")},
            "", drives);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no drive of the drive map holds rel/x"), std::string::npos) << r.err;
}

TEST_F(Vxctl, ApplyFromRegedit4AsVxregExportsIt)
{
    // The file vxreg export writes, from another store.
    const std::vector<TFPRec> want = {Rec(Cp949("C:\\문서\\*;"), "*", FP_PRESET_READONLY),
                                      Rec("C:\\x;", "a*", FP_ALL, "C:\\x\\y;", "b*")};
    std::string text;
    {
        const std::string other = home_.dir + "/other.db";
        setenv("VELLAMORIX_REGISTRY", other.c_str(), 1);
        std::vector<TEntryRow> rows;
        for (const TFPRec &e : want)
            rows.push_back(EntryRowOf(e));
        ASSERT_TRUE(SaveEntryStore(rows));
        TRegistry reg(KEY_READ);
        ASSERT_TRUE(vx::regfile::ExportKey(reg, EntryKeyPath, text));
        setenv("VELLAMORIX_REGISTRY", home_.registry.c_str(), 1);
    }
    ASSERT_NE(text.find("REGEDIT4\r\n"), std::string::npos);
    const std::string file = File("entries.reg", text);
    SetEngine({Rec("C:\\old;", "*", FP_LIST)});
    Result r = Run({"apply", file});
    ASSERT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(Show(Engine()), Show(want));
    EXPECT_EQ(Show(Stored()), Show(want));
    r = Run({"apply", file});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST_F(Vxctl, ApplyWithAnyBadRowChangesNothing)
{
    const std::vector<TFPRec> before = {Rec("C:\\a;", "*", FP_LIST), Rec("C:\\b;", "*", FP_OPEN)};
    SetEngine(before);
    ASSERT_EQ(Run({"save"}).status, 0);
    const char *good = R"({"path": "C:\\new", "preset": "invisible"})";
    const std::pair<std::string, const char *> bad[] = {
        {std::string("[") + good + R"(, {"path": "C:\\a,b", "preset": "invisible"}])", "entry 1: path holds \",\""},
        {std::string("[") + good + R"(, {"path": "", "preset": "invisible"}])", "entry 1: the path is empty"},
        {std::string("[") + good + R"(, {"path": "C:\\x", "deny": ["open", "fly"]}])", "unknown operation \"fly\""},
        {std::string("[") + good + R"(, {"path": "C:\\x", "mask": 4, "deny": ["read"]}])", "deny does not match mask"},
        {std::string("[") + good + R"(, {"path": "C:\\x"}])", "no mask, deny or preset"},
        {std::string("[") + good + R"(, {"path": "C:\\x", "preset": "invisible", "exlude_path": "y"}])",
         "unknown member \"exlude_path\""},
        {std::string("[") + good + R"(, {"path": "C:\\\ud83d\ude00", "preset": "invisible"}])",
         "path holds a character CP949 cannot hold"},
        {std::string("[") + good + R"(, {"path": "C:\\x", "mask": 4294967296}])", "mask must be"},
        {std::string("[") + good + ", ", "JSON, line 1"},
        {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TOVRA\\Vellamorix\\Entry]\r\n\"EntryCount\"=dword:00000002\r\n"
         "\"0\"=\"C:\\\\n;,*,,,4\"\r\n",
         "entry 1 is missing"},
        {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TOVRA\\Vellamorix\\Entry]\r\n\"EntryCount\"=dword:00000002\r\n"
         "\"0\"=\"C:\\\\n;,*,,,4\"\r\n\"1\"=\",*,,,4\"\r\n",
         "entry 1: the path is empty"},
        {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TOVRA\\Vellamorix\\Entry]\r\n\"EntryCount\"=dword:00000001\r\n"
         "\"0\"=\"C:\\\\n;,*,,4\"\r\n",
         "entry 0: not five fields"},
        {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"0\"=\"x\"\r\n", "no key"},
    };
    for (const auto &[text, message] : bad) {
        const Result r = Run({"apply", File("bad", text)});
        EXPECT_EQ(r.status, 1) << message << ": " << r.out << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("nothing was changed"), std::string::npos) << r.err;
        EXPECT_EQ(Engine(), before) << message;
        EXPECT_EQ(Stored(), before) << message;
    }
    const Result missing = Run({"apply", home_.dir + "/no-such-file"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot read " + home_.dir + "/no-such-file: No such file"), std::string::npos);
}

TEST_F(Vxctl, ApplyThatTheEngineRefusesMidwayPutsThePreviousEntriesBack)
{
    const std::vector<TFPRec> before = {Rec("C:\\a;", "*", FP_LIST), Rec("C:\\b;", "*", FP_OPEN)};
    SetEngine(before);
    ASSERT_EQ(Run({"save"}).status, 0);
    // The first row changes entry 0; the third is longer than the engine takes (1 MiB a text).
    const std::string huge = R"(C:\\)" + std::string((1u << 20) + 16, 'x'); // JSON for C:\xxx...
    const std::string file =
        File("big.json", R"([{"path": "C:\\changed", "preset": "no-access"}, {"path": "C:\\b;", "mask": 4},)"
                         R"( {"path": ")" + huge + R"(", "preset": "no-access"}])");
    const Result r = Run({"apply", file});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("adding entry 2 failed"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the previous entries were put back"), std::string::npos) << r.err;
    EXPECT_EQ(Show(Engine()), Show(before));
    EXPECT_EQ(Show(Stored()), Show(before));
}

TEST_F(Vxctl, SaveWritesWhatTheConsoleCloseWritesAndLoadPutsItBack)
{
    const std::vector<TFPRec> entries = {Rec(Cp949("C:\\문서;"), "*", FP_PRESET_FULLHIDDEN),
                                         Rec("C:\\b;", "x*", 0x12345, "C:\\b\\c;", "y*")};
    SetEngine(entries);
    Result r = Run({"save"});
    ASSERT_EQ(r.status, 0) << r.err;
    const TStoredEntries stored = ReadEntryStore();
    ASSERT_EQ(stored.Rows.size(), 2u);
    for (size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(*stored.Rows[i], EntryText(EntryRowOf(entries[i])));

    SetEngine({Rec("C:\\other;", "*", FP_LIST)});
    r = Run({"load"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("loaded 2 entries"), std::string::npos) << r.out;
    EXPECT_EQ(Show(Engine()), Show(entries));
}

TEST_F(Vxctl, LoadWithoutStoredEntriesChangesNothing)
{
    SetEngine({Rec("C:\\a;", "*", FP_LIST)});
    const Result r = Run({"load"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no stored entries in " + home_.registry), std::string::npos) << r.err;
    EXPECT_EQ(Engine().size(), 1u);
}

TEST_F(Vxctl, OnAndOffSendTheStartAndStopRequests)
{
    const auto requests = [&](const char *code) {
        const std::string log = daemon_.Log();
        size_t n = 0;
        for (size_t at = log.find(code); at != std::string::npos; at = log.find(code, at + 1))
            n += log.compare(at + std::strlen(code), 5, " done") == 0;
        return n;
    };
    Result r = Run({"off"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "protection off\n");
    EXPECT_EQ(requests("0xA024300B"), 1u) << daemon_.Log();
    r = Run({"on"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "protection on\n");
    // The log's last switch is the start request.
    const std::string log = daemon_.Log();
    EXPECT_GT(log.rfind("0xA0243007 done"), log.rfind("0xA024300B done")) << log;
}

TEST_F(Vxctl, ThePasswordIsAskedForAndAWrongOneRefused)
{
    ASSERT_TRUE(StorePassword("s3cret"));
    SetEngine({Rec("C:\\a;", "*", FP_LIST)});
    const std::vector<std::string> add = {"add", "--path", "C:\\n", "--preset", "invisible"};

    // No terminal and no other way to give it.
    Result r = Run(add);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no terminal"), std::string::npos) << r.err;
    r = Run({"add", "--path", "C:\\n", "--preset", "invisible", "--password-stdin"}, "wrong\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("wrong password"), std::string::npos) << r.err;
    ASSERT_TRUE(SaveEntryStore({})); // so that load has stored entries to offer
    vxctltest::WriteFile(home_.dir + "/pw", "nope\n");
    for (const char *cmd : {"delete", "clear", "on", "off", "save", "load"}) {
        std::vector<std::string> args = {cmd, "--password-file", home_.dir + "/pw"};
        if (std::string(cmd) == "delete")
            args.insert(args.begin() + 1, "0");
        r = Run(args);
        EXPECT_EQ(r.status, 1) << cmd << ": " << r.err;
        EXPECT_NE(r.err.find("wrong password"), std::string::npos) << cmd << ": " << r.err;
    }
    r = Run({"apply", File("p.json", "[]"), "--password-stdin"}, "bad\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Engine().size(), 1u) << "a refused password changed the engine";
    // Reading needs none.
    EXPECT_EQ(Run({"list"}).status, 0);
    EXPECT_EQ(Run({"status"}).status, 0);
    EXPECT_EQ(Run({"apply", File("p.json", "[]"), "--check"}).status, 3);

    r = Run({"add", "--path", "C:\\n", "--preset", "invisible", "--password-stdin"}, "s3cret\n");
    EXPECT_EQ(r.status, 0) << r.err;
    vxctltest::WriteFile(home_.dir + "/pw", "s3cret\r\n");
    r = Run({"delete", "0", "--password-file", home_.dir + "/pw"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Show(Engine()), Show({Rec("C:\\n;", "*", FP_PRESET_INVISIBLE)}));
}

TEST_F(Vxctl, ThePasswordIsReadFromTheTerminalWithoutEcho)
{
    ASSERT_TRUE(StorePassword("s3cret"));
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        qxdtest::Exec({vxctltest::VxctlPath(), "add", "--path", "C:\\tty", "--preset", "invisible"});
    }
    std::string seen;
    bool answered = false;
    for (int i = 0; i < 600; ++i) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 100) == 1) {
            char buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            seen.append(buf, size_t(n));
        }
        if (!answered && seen.find("Vellamorix password: ") != std::string::npos) {
            ASSERT_EQ(::write(master, "s3cret\n", 7), 7);
            answered = true;
        }
    }
    int status = 0;
    if (!qxdtest::WaitChild(pid, status, 30)) {
        ADD_FAILURE() << "vxctl did not end";
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ::close(master);
    EXPECT_TRUE(answered) << seen;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    EXPECT_EQ(seen.find("s3cret"), std::string::npos) << "the password was echoed: " << seen;
    ASSERT_EQ(Engine().size(), 1u);
    EXPECT_EQ(Engine().at(0).FileFolder, "C:\\tty;");
}

TEST_F(Vxctl, UsageErrorsExitWithTwo)
{
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{}, {"frob"}, {"list", "--bogus"}, {"list", "extra"}, {"apply"},
                                               {"delete", "-1"}, {"status", "--path"}, {"add", "--path"},
                                               {"list", "--password-stdin", "--password-file", "x"}}) {
        const Result r = Run(args);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args) << r.err;
    }
    const Result help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("apply FILE [--check]"), std::string::npos);
}

TEST_F(Vxctl, RefusesToRunWithLoaderVariables)
{
    const Result r = Run({"list"}, "", {"LD_LIBRARY_PATH=" + home_.dir});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("LD_LIBRARY_PATH"), std::string::npos) << r.err;
}

TEST(VxctlWithoutEngine, SaysWhereItLookedInOneLine)
{
    vxtest::Sandbox home;
    for (const char *cmd : {"status", "list", "on", "save"}) {
        const Result r = vxctltest::RunProgram(home.dir, vxctltest::VxctlPath(), {cmd});
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_EQ(r.err, "vxctl: cannot reach the engine at " + home.deviceDir +
                             "/Global/QXDAnsi: no engine answers there\n")
            << cmd;
    }
}

TEST(VxctlServed, TheEngineServesVxctlFromItsPlaceButNotACopy)
{
    vxtest::Sandbox home;
    qxdtest::Daemon daemon(home, {"--no-load"}, "daemon.log", false, /*onlyClients=*/true);
    ASSERT_TRUE(daemon.WaitReady()) << daemon.Log();
    Result r = vxctltest::RunProgram(home.dir, vxctltest::VxctlPath(), {"add", "--path", "C:\\a", "--preset", "invisible"});
    EXPECT_EQ(r.status, 0) << r.err << daemon.Log();
    r = vxctltest::RunProgram(home.dir, vxctltest::VxctlPath(), {"status"});
    EXPECT_NE(r.out.find("entries: 1"), std::string::npos) << r.out << r.err;
    // A copy elsewhere is another program.
    const std::string copy = home.dir + "/vxctl";
    std::filesystem::copy_file(vxctltest::VxctlPath(), copy);
    r = vxctltest::RunProgram(home.dir, copy, {"clear"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("access denied"), std::string::npos) << r.err;
    r = vxctltest::RunProgram(home.dir, vxctltest::VxctlPath(), {"status"});
    EXPECT_NE(r.out.find("entries: 1"), std::string::npos) << r.out << r.err;
}

} // namespace
