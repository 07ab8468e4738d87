#include "password/scrambler.h"
#include "platform/registry/registry.h"
#include "support/sandbox.h"
#include "support/cp949.h"
#include "tools/vxreg/regfile.h"
#include "tools/vxctl_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using vxctltest::Result;
using vxctltest::WriteFile;
using vxtest::Slurp;

class Vxreg : public ::testing::Test {
protected:
    // Runs the built tool with these arguments (no shell in between), `input` on its standard input.
    vxctltest::Result Run(std::vector<std::string> args, const std::string &input = "")
    {
        return vxctltest::RunProgram(store.dir, vxtest::Built("tools/vxreg/vxreg"), std::move(args), input);
    }

    std::string File(const std::string &name) const { return store.dir + "/" + name; }

    vxtest::Sandbox store;
};

struct KeyDump {
    AnsiString path;
    std::vector<TRegValue> values;
    bool operator==(const KeyDump &) const = default;
};

void Dump(TRegistry &reg, const AnsiString &path, std::vector<KeyDump> &out)
{
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\" + path)) << path;
    out.push_back(KeyDump{reg.CurrentPath(), reg.ReadValues()});
    for (const AnsiString &sub : reg.GetKeyNames())
        Dump(reg, path + "\\" + sub, out);
}

std::vector<KeyDump> DumpTree(const AnsiString &path)
{
    TRegistry reg(KEY_READ);
    std::vector<KeyDump> out;
    Dump(reg, path, out);
    return out;
}

} // namespace

TEST_F(Vxreg, KoreanTextAndDwordRoundTripThroughRegedit4)
{
    const AnsiString korean = Cp949("C:\\문서\\비밀,*,,,2052");
    const AnsiString subName = Cp949("하위 키");
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\Entry", true));
        reg.WriteInteger("EntryCount", static_cast<int32_t>(0x8000000Au));
        reg.WriteString("0", korean);
        reg.WriteString("quote", "say \"hi\" \\ bye");
        reg.WriteString("", "default");
        reg.WriteString("lines", "a\r\nb");
        ASSERT_TRUE(reg.OpenKey(subName, true));
        std::string bytes;
        for (int i = 0; i < 100; ++i)
            bytes += static_cast<char>(i * 7);
        reg.WriteBinaryData("bin", bytes);
        reg.WriteValue("multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5));
        reg.WriteExpandString("exp", "%HOME%\\x");
        reg.WriteValue("none", REG_NONE, "");
        ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Other", true));
        reg.WriteString("keep", "out of the export");
    }
    const std::vector<KeyDump> before = DumpTree("SOFTWARE\\TOVRA");
    ASSERT_EQ(before.size(), 4u);

    const Result exported = Run({"export", "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOVRA", File("tovra.reg")});
    ASSERT_EQ(exported.status, 0) << exported.err;
    const std::string text = Slurp(File("tovra.reg"));
    EXPECT_EQ(text.rfind("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TOVRA]\r\n", 0), 0u) << text;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
        }
    }
    EXPECT_NE(text.find("\"EntryCount\"=dword:8000000a\r\n"), std::string::npos);
    EXPECT_NE(text.find("\"0\"=\"C:\\\\" + Cp949("문서") + "\\\\" + Cp949("비밀") + ",*,,,2052\"\r\n"),
              std::string::npos);
    EXPECT_EQ(text.find("문서"), std::string::npos); // CP949 in the file, not UTF-8
    EXPECT_NE(text.find("\"quote\"=\"say \\\"hi\\\" \\\\ bye\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("@=\"default\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\TOVRA\\Vellamorix\\Entry\\" + subName + "]\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("\"multi\"=hex(7):61,00,62,00,00\r\n"), std::string::npos);
    EXPECT_EQ(text.find("Other"), std::string::npos);
    for (const std::string &line : [&] {
             std::vector<std::string> lines;
             std::istringstream in(text);
             for (std::string l; std::getline(in, l);)
                 lines.push_back(l);
             return lines;
         }())
        EXPECT_LE(line.size(), 81u) << line;

    {
        TRegistry reg;
        ASSERT_TRUE(reg.DeleteKey("SOFTWARE\\TOVRA"));
    }
    const Result imported = Run({"import", File("tovra.reg")});
    ASSERT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(DumpTree("SOFTWARE\\TOVRA"), before);
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("SOFTWARE\\Other", false));
    EXPECT_EQ(reg.ReadString("keep"), "out of the export");
}

// An export may hold the scrambled password: it is written for its owner only, whatever the
// umask lets through, also over a file that others could read.
TEST_F(Vxreg, ExportsAreReadableByTheirOwnerOnly)
{
    ASSERT_TRUE(StorePassword("opensesame"));
    const std::string scrambled = ReadStoredPassword();
    const mode_t oldMask = umask(0);
    const Result made = Run({"export", "HKLM\\SOFTWARE\\TOVRA", File("new.reg")}, "opensesame\n");
    EXPECT_EQ(made.status, 0) << made.err;
    struct stat st {};
    ASSERT_EQ(stat(File("new.reg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(Slurp(File("new.reg")).find(scrambled), std::string::npos);

    WriteFile(File("open.reg"), "an older, longer file that anyone could read\r\n");
    ASSERT_EQ(chmod(File("open.reg").c_str(), 0644), 0);
    const Result over = Run({"export", "HKLM\\SOFTWARE\\TOVRA", File("open.reg")}, "opensesame\n");
    EXPECT_EQ(over.status, 0) << over.err;
    ASSERT_EQ(stat(File("open.reg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Slurp(File("open.reg")), Slurp(File("new.reg")));
    umask(oldMask);
}

// With a console password stored, whatever changes the stored entries or shows the password asks
// for it: a program that cannot give it learns and changes nothing through vxreg.
TEST_F(Vxreg, ThePasswordGuardsImportAndThePasswordsKey)
{
    ASSERT_TRUE(StorePassword("opensesame"));
    const std::string scrambled = ReadStoredPassword();
    WriteFile(File("in.reg"), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TOVRA\\Vellamorix\\Entry]\r\n"
                              "\"EntryCount\"=dword:00000000\r\n\r\n");
    for (const std::string &given : {std::string(), std::string("wrong\n")}) {
        SCOPED_TRACE(given);
        const Result imported = Run({"import", File("in.reg")}, given);
        EXPECT_EQ(imported.status, 1);
        EXPECT_NE(imported.err.find("wrong password"), std::string::npos) << imported.err;
        TRegistry reg(KEY_READ);
        EXPECT_FALSE(reg.OpenKeyReadOnly("\\SOFTWARE\\TOVRA\\Vellamorix\\Entry"));

        const Result query = Run({"query", "HKLM\\SOFTWARE\\TOVRA\\Vellamorix\\PASS"}, given);
        EXPECT_EQ(query.status, 1);
        EXPECT_EQ(query.out.find(scrambled), std::string::npos);
        for (const char *key : {"HKLM\\SOFTWARE\\TOVRA\\Vellamorix\\pass", "HKLM\\SOFTWARE", "HKLM"}) {
            const Result exported = Run({"export", key, File("out.reg")}, given);
            EXPECT_EQ(exported.status, 1) << key;
            EXPECT_EQ(Slurp(File("out.reg")).find(scrambled), std::string::npos) << key;
        }
    }
    // A key that does not hold the password needs none.
    const Result other = Run({"query", "HKLM\\SOFTWARE\\TOVRA"});
    EXPECT_EQ(other.status, 0) << other.err;
    // The right password lets each through.
    EXPECT_EQ(Run({"import", File("in.reg")}, "opensesame\n").status, 0);
    TRegistry reg(KEY_READ);
    EXPECT_TRUE(reg.OpenKeyReadOnly("\\SOFTWARE\\TOVRA\\Vellamorix\\Entry"));
    const Result query = Run({"query", "HKLM\\SOFTWARE\\TOVRA\\Vellamorix\\pass"}, "opensesame\r\n");
    EXPECT_EQ(query.status, 0) << query.err;
    EXPECT_NE(query.out.find(scrambled), std::string::npos);
}

// The tool does not run with libraries put in by the dynamic loader's variables.
TEST_F(Vxreg, RefusesToRunWithLoaderVariables)
{
    for (const char *name : {"LD_PRELOAD", "LD_AUDIT", "LD_LIBRARY_PATH"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(setenv(name, "/nonexistent/libx.so", 1), 0);
        const Result r = Run({"query", "HKLM\\SOFTWARE"});
        unsetenv(name);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(std::string(name) + " is set"), std::string::npos) << r.err;
    }
}

TEST_F(Vxreg, QueryPrintsValuesAndSubkeys)
{
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA\\Vellamorix\\Entry\\Child", true));
        ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\TOVRA\\Vellamorix\\Entry", false));
        reg.WriteInteger("EntryCount", 1);
        reg.WriteString("0", Cp949("C:\\문서,*,,,512"));
    }
    const Result r = Run({"query", "hklm\\software\\tovra\\VELLAMORIX\\entry"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOVRA\\Vellamorix\\Entry\n"
              "    EntryCount    REG_DWORD    0x1\n"
              "    0    REG_SZ    C:\\문서,*,,,512\n"
              "\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOVRA\\Vellamorix\\Entry\\Child\n");
}

TEST_F(Vxreg, ClearErrorsAndNonZeroStatus)
{
    Result r = Run({"query", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("key not found"), std::string::npos) << r.err;

    r = Run({"export", "HKLM\\SOFTWARE\\Missing", File("x.reg")});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(std::filesystem::exists(File("x.reg")));

    r = Run({"query", "HKEY_CURRENT_USER\\Software"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("HKEY_LOCAL_MACHINE"), std::string::npos);

    r = Run({"import", File("does-not-exist.reg")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read"), std::string::npos) << r.err;

    r = Run({"export", "HKLM\\SOFTWARE"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("usage: vxreg query KEY"), std::string::npos);
    r = Run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("vxreg import FILE"), std::string::npos);
}

TEST_F(Vxreg, FailedImportLeavesTheStoreAsItWas)
{
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\TOVRA", true));
        reg.WriteString("v", "before");
    }
    const std::vector<KeyDump> before = DumpTree("SOFTWARE");
    const std::string good = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TOVRA]\r\n\"v\"=\"after\"\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\r\n\"n\"=dword:00000001\r\n";
    const std::vector<std::pair<std::string, std::string>> bad = {
        {good + "\"x\"=dword:123456789\r\n", ":7:"},
        {good + "\"x\"=\"unterminated\r\n", ":7:"},
        {good + "\"x\"=hex:0g\r\n", ":7:"},
        {good + "\"x\"=hex:00,\\\r\n", ":7:"},
        {good + "\"x\" \"y\"\r\n", ":7:"},
        {good + "garbage\r\n", ":7:"},
        {good + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Open\r\n", ":7:"},
        {good + "[HKEY_CURRENT_USER\\Software]\r\n", ":7:"},
        {good + "[-HKEY_LOCAL_MACHINE]\r\n", ":7:"},
        {"Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\SOFTWARE\\TOVRA]\r\n", ":1:"},
        {"REGEDIT4\r\n\"v\"=\"no key yet\"\r\n", ":2:"},
        // Well-formed, but the key name cannot be made: refused when applied.
        {good + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + std::string(300, 'k') + "]\r\n", "line 7"},
    };
    for (const auto &[text, where] : bad) {
        WriteFile(File("bad.reg"), text);
        const Result r = Run({"import", File("bad.reg")});
        EXPECT_EQ(r.status, 1) << text;
        EXPECT_NE(r.err.find(where), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("nothing was imported"), std::string::npos) << r.err;
        EXPECT_EQ(DumpTree("SOFTWARE"), before) << text;
    }
}

TEST_F(Vxreg, ImportDeletesAndAcceptsPlainLineEnds)
{
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\A\\Deep", true));
        reg.WriteString("x", "1");
        ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\B", true));
        reg.WriteString("gone", "1");
        reg.WriteString("stays", "1");
    }
    WriteFile(File("edit.reg"), "REGEDIT4\n\n; a comment\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\n"
                                "[HKLM\\software\\b]\n\"GONE\"=-\n\"bin\"=hex:01,\\\n  02,\\\n  03\n"
                                "\"d\"=dword:ff\n");
    const Result r = Run({"import", File("edit.reg")});
    ASSERT_EQ(r.status, 0) << r.err;
    TRegistry reg;
    EXPECT_FALSE(reg.KeyExists("SOFTWARE\\A"));
    ASSERT_TRUE(reg.OpenKey("SOFTWARE\\B", false));
    EXPECT_EQ(reg.GetValueNames(), (std::vector<AnsiString>{"stays", "bin", "d"}));
    EXPECT_EQ(reg.ReadValue("bin")->Data, "\x01\x02\x03");
    EXPECT_EQ(reg.ReadDword("d"), 0xFFu);
}

TEST(RegFile, EveryValueFormatsAndParsesBack)
{
    std::vector<TRegValue> values = {
        {"s", REG_SZ, std::string("text\0", 5)},
        {"", REG_SZ, std::string("\0", 1)},
        {"odd", REG_SZ, std::string("no zero")},            // kept as hex(1)
        {"inner", REG_SZ, std::string("a\0b\0", 4)},        // kept as hex(1)
        {"nl", REG_SZ, std::string("a\nb\0", 4)},           // kept as hex(1)
        {"w", REG_DWORD, std::string("\x78\x56\x34\x12", 4)},
        {"short", REG_DWORD, std::string("\x01", 1)},       // kept as hex(4)
        {"q", REG_QWORD, std::string(8, '\xAB')},
        {"\"quoted\\name\"", REG_BINARY, ""},
    };
    for (size_t n = 0; n < 200; n += 13)
        values.push_back({"bin" + std::to_string(n), REG_BINARY, std::string(n, '\x5A')});
    std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n";
    for (const TRegValue &v : values)
        text += vx::regfile::FormatValue(v);
    EXPECT_NE(text.find("\"w\"=dword:12345678\r\n"), std::string::npos);
    EXPECT_NE(text.find("\"odd\"=hex(1):"), std::string::npos);

    std::vector<vx::regfile::Op> ops;
    vx::regfile::ParseError error;
    ASSERT_TRUE(vx::regfile::Parse(text, ops, error)) << error.line << " " << error.message;
    ASSERT_EQ(ops.size(), values.size() + 1);
    EXPECT_EQ(ops[0].kind, vx::regfile::Op::Key);
    EXPECT_EQ(ops[0].path, "K");
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(ops[i + 1].kind, vx::regfile::Op::Value);
        EXPECT_EQ(ops[i + 1].value, values[i]) << values[i].Name;
    }
}
