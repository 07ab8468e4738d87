// vxctl: the protection engine's entries and protection from the command line, through the
// console's engine client, its entry store and its password.
#include "console/enginesave.h"
#include "console/entrystore.h"
#include "editor/entrycheck.h"
#include "engine/denials.h"
#include "engine/protector.h"
#include "password/askpass.h"
#include "platform/codepage/codepage.h"
#include "platform/device/device.h"
#include "platform/process/harden.h"
#include "platform/registry/registry.h"
#include "tools/vxctl/entryfile.h"
#include "tools/vxctl/ops.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <signal.h>
#include <unistd.h>

namespace {

constexpr int kOk = 0;
constexpr int kError = 1;
constexpr int kUsage = 2;
constexpr int kChanged = 3;

const char kUsageText[] =
    "usage: vxctl COMMAND [OPTION...]\n"
    "  status                      whether the engine answers, and its number of entries\n"
    "  list [--json] [--posix]     every entry\n"
    "  add ENTRY-OPTIONS           add one entry\n"
    "  modify INDEX ENTRY-OPTIONS  replace the fields given\n"
    "  delete INDEX                delete one entry\n"
    "  clear                       delete every entry\n"
    "  on | off                    switch protection on or off\n"
    "  save                        write the engine's entries to the registry entry store\n"
    "  load                        replace the engine's entries with the stored ones\n"
    "  apply FILE [--check]        make the entries equal FILE (JSON as list --json writes it,\n"
    "                              or REGEDIT4 of the entry key as vxreg export writes it)\n"    "  denials [--since TIME] [--follow] [--json]\n"
    "                              what the engine denied, oldest first (JSON: its record's lines);\n"
    "                              TIME is UTC (2026-12-08T10:00:00Z) or an age (30s, 10m, 2h, 1d);\n"
    "                              --follow waits for new ones until interrupted\n"
    "ENTRY-OPTIONS: --path P (repeatable) --folder F (repeatable) --process X\n"
    "  --exclude-path E --exclude-folder F --exclude-process Y\n"
    "  --preset read-only|no-access|fully-hidden|invisible | --deny OP,OP,...\n"
    "  OP: create,open,read,write,rename,delete,replace,folder-create,folder-delete,\n"
    "      attributes,execute,list\n"
    "  --posix: paths are POSIX paths, mapped through the drive map\n"
    "When the console has a password, commands that change anything ask for it on the terminal,\n"
    "or take it from --password-file FILE or --password-stdin.\n"
    "Exit status: 0 done (apply: nothing changed), 1 error, 2 usage, 3 apply changed something.\n";

// ---- Options ----

struct Options {
    std::string command;
    std::vector<std::string> positional;
    // Options in the order given, for those whose order matters (path items).
    std::vector<std::pair<std::string, std::string>> valued;
    bool json = false;
    bool posix = false;
    bool check = false;
    vx::password::PasswordSource password{vx::password::PasswordFrom::Terminal, {}};
    std::vector<std::string> given; // every option name seen

    bool Has(const std::string &name) const
    {
        for (const std::string &g : given) {
            if (g == name)
                return true;
        }
        return false;
    }
    std::optional<std::string> Last(const std::string &name) const
    {
        std::optional<std::string> value;
        for (const auto &[n, v] : valued) {
            if (n == name)
                value = v;
        }
        return value;
    }
};

const char *const kValued[] = {"--path", "--folder", "--process", "--exclude-path", "--exclude-folder",
                               "--exclude-process", "--preset", "--deny", "--password-file", "--since"};
const char *const kFlags[] = {"--json", "--posix", "--check", "--password-stdin", "--help", "--follow"};
const char *const kEntryOptions[] = {"--path", "--folder", "--process", "--exclude-path", "--exclude-folder",
                                     "--exclude-process", "--preset", "--deny", "--posix"};

int Usage(const std::string &why)
{
    std::cerr << "vxctl: " << why << " (vxctl --help shows the usage)\n";
    return kUsage;
}

int Fail(const std::string &why)
{
    std::cerr << "vxctl: " << why << "\n";
    return kError;
}

// 0, or the usage status with the message written.
int ParseOptions(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0 || arg == "--") {
            if (arg == "--") {
                for (++i; i < argc; ++i)
                    o.positional.emplace_back(argv[i]);
                break;
            }
            if (o.command.empty())
                o.command = arg;
            else
                o.positional.push_back(arg);
            continue;
        }
        std::optional<std::string> value;
        if (const size_t eq = arg.find('='); eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        bool valued = false, flag = false;
        for (const char *name : kValued)
            valued = valued || arg == name;
        for (const char *name : kFlags)
            flag = flag || arg == name;
        if (!valued && !flag)
            return Usage("unknown option " + arg);
        o.given.push_back(arg);
        if (flag) {
            if (value)
                return Usage(arg + " takes no value");
            o.json = o.json || arg == "--json";
            o.posix = o.posix || arg == "--posix";
            o.check = o.check || arg == "--check";
            if (arg == "--password-stdin")
                o.password = {vx::password::PasswordFrom::Stdin, {}};
            continue;
        }
        if (!value) {
            if (i + 1 >= argc)
                return Usage(arg + " needs a value");
            value = argv[++i];
        }
        if (arg == "--password-file")
            o.password = {vx::password::PasswordFrom::File, *value};
        o.valued.emplace_back(arg, *value);
    }
    if (o.Has("--password-file") && o.Has("--password-stdin"))
        return Usage("--password-file and --password-stdin exclude each other");
    return 0;
}

// Usage status when an option is given that `allowed` does not hold.
int OnlyOptions(const Options &o, std::initializer_list<const char *> allowed, bool entryOptions = false)
{
    for (const std::string &g : o.given) {
        bool ok = g == "--password-file" || g == "--password-stdin";
        for (const char *a : allowed)
            ok = ok || g == a;
        if (entryOptions) {
            for (const char *a : kEntryOptions)
                ok = ok || g == a;
        }
        if (!ok)
            return Usage(g + " is not an option of " + o.command);
    }
    return 0;
}

int Positionals(const Options &o, size_t n, const char *what)
{
    if (o.positional.size() < n)
        return Usage(o.command + " needs " + what);
    if (o.positional.size() > n)
        return Usage("unexpected argument " + o.positional[n]);
    return 0;
}

std::optional<int32_t> IndexArgument(const std::string &text)
{
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + uint64_t(c - '0');
    }
    if (n > uint64_t(INT32_MAX))
        return std::nullopt;
    return static_cast<int32_t>(n);
}

// ---- The engine ----

std::string ErrorText(uint32_t code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND: return "no engine answers there";
    case ERROR_ACCESS_DENIED:
        return "access denied (the engine serves its own user, root and its group, and only the console and "
               "vxctl installed beside it)";
    case ERROR_INVALID_PARAMETER: return "the engine refused the request (invalid parameter)";
    case ERROR_NOT_ENOUGH_MEMORY: return "not enough memory";
    case ERROR_BROKEN_PIPE: return "the engine closed the connection";
    case ERROR_SEM_TIMEOUT: return "the engine did not answer in time";
    case ERROR_INVALID_HANDLE: return "the engine is not connected";
    default: return "error " + std::to_string(code);
    }
}

// Where the client looks for the engine's ANSI device.
std::string EngineSocket()
{
    const DWORD version = GetVersion();
    const bool global = !(version & 0x80000000u) && (version & 0xFF) >= 5;
    const std::string dir = vx::device::DeviceDirectory();
    return vx::device::DeviceSocketPath(dir, global ? "\\\\.\\Global\\QXDAnsi" : "\\\\.\\QXDAnsi").value_or(dir);
}

class Engine {
public:
    // Opens the devices; false with the reason written when the engine cannot be reached.
    bool Open()
    {
        p_ = std::make_unique<TVeskFileProtector>(
            nullptr, [this](TVeskFileProtector *, uint32_t, uint32_t code) { lastError_ = code; }, nullptr);
        if (!p_->Success()) {
            Fail("cannot reach the engine at " + EngineSocket() + ": " + ErrorText(lastError_));
            return false;
        }
        return true;
    }
    TVeskFileProtector &p() { return *p_; }
    std::string LastError() const { return ErrorText(lastError_); }

    bool Entries(std::vector<TFPRec> &entries)
    {
        if (ReadEngineEntries(*p_, entries))
            return true;
        Fail("cannot read the engine's entries: " + LastError());
        return false;
    }

    bool Add(const TFPRec &r, int32_t expectIndex, std::string &why)
    {
        const int32_t index = p_->AddEntry(r.Mask, r.FileFolder, r.ExcludeFileFolder, r.Process, r.ExcludeProcess, nullptr,
                                           0, nullptr, 0, nullptr, 0);
        if (index < 0) {
            why = (expectIndex >= 0 ? "adding entry " + std::to_string(expectIndex) : std::string("adding the entry")) +
                  " failed: " + LastError();
            return false;
        }
        if (expectIndex >= 0 && index != expectIndex) {
            why = "the engine put the new entry at " + std::to_string(index) + ", not " + std::to_string(expectIndex) +
                  " (another program changed the entries meanwhile)";
            return false;
        }
        return true;
    }
    bool Modify(int32_t index, const TFPRec &r, std::string &why)
    {
        if (p_->ModifyEntry(index, r.Mask, r.FileFolder, r.ExcludeFileFolder, r.Process, r.ExcludeProcess, nullptr, 0,
                            nullptr, 0, nullptr, 0))
            return true;
        why = "changing entry " + std::to_string(index) + " failed: " + LastError();
        return false;
    }
    bool Delete(int32_t index, std::string &why)
    {
        if (p_->DeleteEntry(index))
            return true;
        why = "deleting entry " + std::to_string(index) + " failed: " + LastError();
        return false;
    }
    // The clear request, sent as the component sends it: when it goes away with ClearOnDestroy.
    bool Clear(std::string &why)
    {
        lastError_ = 0;
        bool cleared = true;
        p_->OnError = [&](TVeskFileProtector *, uint32_t type, uint32_t code) {
            if (type == QXD_ERR_CLEAR)
                cleared = false;
            lastError_ = code;
        };
        p_->SetClearOnDestroy(true);
        p_.reset();
        if (!cleared)
            why = "clearing the entries failed: " + LastError();
        return cleared && Open();
    }

private:
    std::unique_ptr<TVeskFileProtector> p_;
    uint32_t lastError_ = 0;
};

// A plan that turns one list into another: changed, added and removed indices.
struct Plan {
    std::vector<size_t> changed, added, removed;
    bool Empty() const { return changed.empty() && added.empty() && removed.empty(); }
};

Plan PlanFor(const std::vector<TFPRec> &from, const std::vector<TFPRec> &to)
{
    Plan plan;
    const size_t common = std::min(from.size(), to.size());
    for (size_t i = 0; i < common; ++i) {
        if (!(from[i] == to[i]))
            plan.changed.push_back(i);
    }
    for (size_t i = common; i < to.size(); ++i)
        plan.added.push_back(i);
    for (size_t i = from.size(); i > to.size(); --i)
        plan.removed.push_back(i - 1);
    return plan;
}

// Carries a plan out, in index order; false with `why` at the first failed request.
bool Carry(Engine &engine, const std::vector<TFPRec> &to, const Plan &plan, std::string &why)
{
    for (size_t i : plan.changed) {
        if (!engine.Modify(static_cast<int32_t>(i), to[i], why))
            return false;
    }
    for (size_t i : plan.added) {
        if (!engine.Add(to[i], static_cast<int32_t>(i), why))
            return false;
    }
    for (size_t i : plan.removed) {
        if (!engine.Delete(static_cast<int32_t>(i), why))
            return false;
    }
    return true;
}

// Makes the engine's entries `to`, knowing it holds `from`. When a request fails midway, the
// entries are put back to `from`; false with the reason written.
bool Replace(Engine &engine, const std::vector<TFPRec> &from, const std::vector<TFPRec> &to)
{
    std::string why;
    if (Carry(engine, to, PlanFor(from, to), why))
        return true;
    std::vector<TFPRec> now;
    std::string back;
    if (!ReadEngineEntries(engine.p(), now))
        back = "reading them failed: " + engine.LastError();
    else if (Carry(engine, from, PlanFor(now, from), back))
        back.clear();
    if (back.empty())
        Fail(why + "; the previous entries were put back");
    else
        Fail(why + "; the previous entries could not be put back (" + back + ")");
    return false;
}

// ---- Showing entries ----

std::string Utf8(const AnsiString &ansi)
{
    return vx::codepage::AnsiToUtf8(ansi);
}

std::string PathText(const AnsiString &field, bool posix)
{
    return posix ? vx::ctl::PosixItems(field) : Utf8(field);
}

std::string Describe(const TFPRec &r)
{
    std::string s = "path=" + Utf8(r.FileFolder) + " process=" + Utf8(r.Process);
    if (!r.ExcludeFileFolder.empty())
        s += " exclude-path=" + Utf8(r.ExcludeFileFolder);
    if (!r.ExcludeProcess.empty())
        s += " exclude-process=" + Utf8(r.ExcludeProcess);
    return s + " mask=" + std::to_string(r.Mask) + " (" + Utf8(MaskPresetName(r.Mask)) + ")";
}

// ---- Changing commands' shared steps ----

int RequirePassword(const Options &o)
{
    const std::string why = vx::password::RequireConsolePassword(o.password, o.command);
    return why.empty() ? kOk : Fail(why);
}

// Writes the engine's entries into the store as the console's close does.
int SaveStore(Engine &engine, const std::string &done)
{
    try {
        switch (SaveEngineEntries(engine.p(), std::chrono::seconds(15))) {
        case EngineSave::Saved:
            return kOk;
        case EngineSave::EngineUnreadable:
            return Fail(done + "the entries could not be read to save them: " + engine.LastError());
        case EngineSave::NotWritable:
            return Fail(done + "cannot write the registry store " + vx::registry::StorePath() +
                        " (no write access)");
        }
    } catch (const std::exception &e) {
        return Fail(done + "cannot write the registry store " + vx::registry::StorePath() + ": " + Utf8(e.what()));
    }
    return kError;
}

// An entry from the entry options, over `base` (for modify: the entry as it is).
int EntryFromOptions(const Options &o, const TFPRec &base, bool adding, TFPRec &rec)
{
    std::array<std::optional<AnsiString>, 4> texts = {base.FileFolder, base.Process, base.ExcludeFileFolder,
                                                      base.ExcludeProcess};
    // Path fields: every --path and --folder in order, each an item.
    const auto pathField = [&](const char *pathOpt, const char *folderOpt, size_t slot) -> int {
        bool any = false;
        AnsiString field;
        for (const auto &[name, value] : o.valued) {
            if (name != pathOpt && name != folderOpt)
                continue;
            any = true;
            if (value.empty() && name == std::string(pathOpt))
                continue; // "--exclude-path ''" empties the field
            std::string why;
            const std::optional<AnsiString> item = name == pathOpt ? vx::ctl::PathItem(value, o.posix, why)
                                                                   : vx::ctl::FolderItem(value, o.posix, why);
            if (!item)
                return Fail(std::string(name) + ": " + why);
            field += *item;
        }
        if (any)
            texts[slot] = field;
        return kOk;
    };
    if (int s = pathField("--path", "--folder", 0))
        return s;
    if (int s = pathField("--exclude-path", "--exclude-folder", 2))
        return s;
    for (const auto &[opt, slot] : {std::pair<const char *, size_t>{"--process", 1}, {"--exclude-process", 3}}) {
        if (const std::optional<std::string> v = o.Last(opt)) {
            texts[slot] = vx::ctl::ToCp949(*v);
            if (!texts[slot])
                return Fail(std::string(opt) + ": CP949 cannot hold " + *v);
        }
    }
    uint32_t mask = base.Mask;
    const std::optional<std::string> preset = o.Last("--preset");
    const std::optional<std::string> deny = o.Last("--deny");
    if (preset && deny)
        return Usage("--preset and --deny exclude each other");
    if (adding && !preset && !deny)
        return Usage("add needs --preset or --deny");
    if (preset) {
        const std::optional<uint32_t> m = vx::ctl::PresetMask(*preset);
        if (!m)
            return Usage("--preset: unknown preset " + *preset + " (read-only, no-access, fully-hidden, invisible)");
        mask = *m;
    }
    if (deny) {
        std::string bad;
        const std::optional<uint32_t> m = vx::ctl::ParseOperations(*deny, bad);
        if (!m)
            return Usage("--deny: unknown operation \"" + bad + "\"");
        mask = *m;
    }
    switch (CheckEntryTexts(texts, mask, rec)) {
    case EntryRefusal::None:
        return kOk;
    case EntryRefusal::EmptyPath:
        return Fail("the path is required (--path or --folder)");
    case EntryRefusal::NotRepresentable:
        return Fail("a text holds a character CP949 cannot hold");
    case EntryRefusal::Comma: {
        static const char *const names[] = {"--path", "--process", "--exclude-path", "--exclude-process"};
        return Fail(std::string(names[RefusedText(texts, EntryRefusal::Comma)]) +
                    ": \",\" cannot be used (it would split the stored entry)");
    }
    }
    return kError;
}

// ---- Commands: one function each ----

// What a command without arguments does first: its options checked, the engine reached and, when
// it changes something, the password given. kOk, or the status to end with.
int Begin(const Options &o, std::initializer_list<const char *> allowed, Engine &engine, bool changes)
{
    if (int s = OnlyOptions(o, allowed); s || (s = Positionals(o, 0, "")))
        return s;
    if (!engine.Open())
        return kError;
    return changes ? RequirePassword(o) : kOk;
}

int Status(const Options &o)
{
    Engine engine;
    if (int s = Begin(o, {}, engine, false))
        return s;
    uint32_t count = 0;
    if (!engine.p().GetEntryCount(count))
        return Fail("the engine at " + EngineSocket() + " does not answer: " + engine.LastError());
    std::cout << "engine: answering at " << EngineSocket() << "\n"
              << "protection: not reported by the engine (on from its start until switched off)\n"
              << "entries: " << count << "\n";
    return kOk;
}

int List(const Options &o)
{
    Engine engine;
    if (int s = Begin(o, {"--json", "--posix"}, engine, false))
        return s;
    std::vector<TFPRec> entries;
    if (!engine.Entries(entries))
        return kError;
    if (o.json) {
        std::cout << vx::ctl::EntriesJson(entries, o.posix);
        return kOk;
    }
    std::cout << "INDEX\tPATH\tPROCESS\tEXCLUDE-PATH\tEXCLUDE-PROCESS\tMASK\tPRESET\tDENIED\n";
    for (size_t i = 0; i < entries.size(); ++i) {
        const TFPRec &e = entries[i];
        std::cout << i << "\t" << PathText(e.FileFolder, o.posix) << "\t" << Utf8(e.Process) << "\t"
                  << PathText(e.ExcludeFileFolder, o.posix) << "\t" << Utf8(e.ExcludeProcess) << "\t" << e.Mask << "\t"
                  << Utf8(MaskPresetName(e.Mask)) << "\t" << Utf8(MaskToText(e.Mask)) << "\n";
    }
    return kOk;
}

int Add(const Options &o)
{
    if (int s = OnlyOptions(o, {}, true); s || (s = Positionals(o, 0, "")))
        return s;
    TFPRec base;
    base.Process = "*";
    TFPRec rec;
    if (int s = EntryFromOptions(o, base, true, rec))
        return s;
    Engine engine;
    if (!engine.Open())
        return kError;
    if (int s = RequirePassword(o))
        return s;
    std::string why;
    if (!engine.Add(rec, -1, why))
        return Fail(why);
    std::cout << "added: " << Describe(rec) << "\n";
    return SaveStore(engine, "the entry was added, but ");
}

int Modify(const Options &o)
{
    if (int s = OnlyOptions(o, {}, true); s || (s = Positionals(o, 1, "an INDEX")))
        return s;
    const std::optional<int32_t> index = IndexArgument(o.positional[0]);
    if (!index)
        return Usage("INDEX must be a number: " + o.positional[0]);
    if (o.valued.empty())
        return Usage("modify needs at least one field to change");
    Engine engine;
    if (!engine.Open())
        return kError;
    TFPRec current;
    uint8_t flag = 0;
    uint32_t count = 0;
    if (!engine.p().GetEntryCount(count))
        return Fail("cannot count the engine's entries: " + engine.LastError());
    if (uint32_t(*index) >= count)
        return Fail("no entry " + std::to_string(*index) + " (the engine holds " + std::to_string(count) + ")");
    if (!ReadEngineEntry(engine.p(), *index, current, flag))
        return Fail("cannot read entry " + std::to_string(*index) + ": " + engine.LastError());
    TFPRec rec;
    if (int s = EntryFromOptions(o, current, false, rec))
        return s;
    if (rec == current) {
        std::cout << "unchanged: " << Describe(rec) << "\n";
        return kOk;
    }
    if (int s = RequirePassword(o))
        return s;
    std::string why;
    if (!engine.Modify(*index, rec, why))
        return Fail(why);
    std::cout << "changed " << *index << ": " << Describe(rec) << "\n";
    return SaveStore(engine, "the entry was changed, but ");
}

int Delete(const Options &o)
{
    if (int s = OnlyOptions(o, {}); s || (s = Positionals(o, 1, "an INDEX")))
        return s;
    const std::optional<int32_t> index = IndexArgument(o.positional[0]);
    if (!index)
        return Usage("INDEX must be a number: " + o.positional[0]);
    Engine engine;
    if (!engine.Open())
        return kError;
    uint32_t count = 0;
    if (!engine.p().GetEntryCount(count))
        return Fail("cannot count the engine's entries: " + engine.LastError());
    if (uint32_t(*index) >= count)
        return Fail("no entry " + std::to_string(*index) + " (the engine holds " + std::to_string(count) + ")");
    if (int s = RequirePassword(o))
        return s;
    std::string why;
    if (!engine.Delete(*index, why))
        return Fail(why);
    std::cout << "deleted entry " << *index << "\n";
    return SaveStore(engine, "the entry was deleted, but ");
}

int Clear(const Options &o)
{
    Engine engine;
    if (int s = Begin(o, {}, engine, true))
        return s;
    std::string why;
    if (!engine.Clear(why))
        return why.empty() ? kError : Fail(why);
    std::cout << "cleared every entry\n";
    return SaveStore(engine, "the entries were cleared, but ");
}

int Switch(const Options &o, bool on)
{
    Engine engine;
    if (int s = Begin(o, {}, engine, true))
        return s;
    // The client starts "off" and sends only a change: switching off first switches on, as the
    // console does at its start, so that the stop request goes out.
    if (!on) {
        engine.p().SetActive(true);
        if (!engine.p().Active())
            return Fail("switching protection failed: " + engine.LastError());
    }
    engine.p().SetActive(on);
    if (engine.p().Active() != on)
        return Fail("switching protection " + std::string(on ? "on" : "off") + " failed: " + engine.LastError());
    std::cout << "protection " << (on ? "on" : "off") << "\n";
    return kOk;
}

int On(const Options &o) { return Switch(o, true); }
int Off(const Options &o) { return Switch(o, false); }

int Save(const Options &o)
{
    Engine engine;
    if (int s = Begin(o, {}, engine, true))
        return s;
    if (int s = SaveStore(engine, ""))
        return s;
    std::cout << "saved the engine's entries to " << vx::registry::StorePath() << "\n";
    return kOk;
}

// The rows the store holds, as records; false with `why` set.
bool StoredEntries(std::vector<TFPRec> &entries, bool &keyFound, std::string &why)
{
    TStoredEntries stored;
    try {
        stored = ReadEntryStore();
    } catch (const std::exception &e) {
        why = "cannot read the registry store " + vx::registry::StorePath() + ": " + Utf8(e.what());
        return false;
    }
    keyFound = stored.KeyFound;
    entries.clear();
    for (size_t i = 0; i < stored.Rows.size(); ++i) {
        TFPRec rec;
        if (!stored.Rows[i] || !ParseEntryText(*stored.Rows[i], rec)) {
            why = "stored entry " + std::to_string(i) + " in " + vx::registry::StorePath() + " cannot be read";
            return false;
        }
        entries.push_back(std::move(rec));
    }
    return true;
}

int Load(const Options &o)
{
    if (int s = OnlyOptions(o, {}); s || (s = Positionals(o, 0, "")))
        return s;
    std::vector<TFPRec> stored, current;
    bool keyFound = false;
    std::string why;
    if (!StoredEntries(stored, keyFound, why))
        return Fail(why);
    if (!keyFound)
        return Fail("no stored entries in " + vx::registry::StorePath());
    Engine engine;
    if (!engine.Open() || !engine.Entries(current))
        return kError;
    if (int s = RequirePassword(o))
        return s;
    if (!Replace(engine, current, stored))
        return kError;
    std::cout << "loaded " << stored.size() << " entr" << (stored.size() == 1 ? "y" : "ies") << " from "
              << vx::registry::StorePath() << "\n";
    return kOk;
}

int Apply(const Options &o)
{
    if (int s = OnlyOptions(o, {"--check"}); s || (s = Positionals(o, 1, "a FILE")))
        return s;
    const std::string &file = o.positional[0];
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return Fail("cannot read " + file + ": " + std::strerror(errno));
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        return Fail("cannot read " + file);
    std::vector<TFPRec> wanted, current;
    std::string why;
    if (!vx::ctl::ReadEntryFile(buffer.str(), wanted, why))
        return Fail(file + ": " + why + "; nothing was changed");
    Engine engine;
    if (!engine.Open() || !engine.Entries(current))
        return kError;
    const Plan plan = PlanFor(current, wanted);
    // The store must hold the same rows, or the engine's next start would load others.
    std::vector<TFPRec> stored;
    bool keyFound = false;
    std::string unreadable;
    const bool storeSame = StoredEntries(stored, keyFound, unreadable) && keyFound && stored == wanted;
    const char *would = o.check ? "would " : "";
    for (size_t i : plan.changed)
        std::cout << would << "change " << i << ": " << Describe(wanted[i]) << " (was " << Describe(current[i]) << ")\n";
    for (size_t i : plan.added)
        std::cout << would << "add " << i << ": " << Describe(wanted[i]) << "\n";
    for (size_t i : plan.removed)
        std::cout << would << "remove " << i << ": " << Describe(current[i]) << "\n";
    if (plan.Empty() && !storeSame)
        std::cout << would << "save the entries to " << vx::registry::StorePath() << "\n";
    if (plan.Empty() && storeSame) {
        std::cout << "nothing to change (" << wanted.size() << " entr" << (wanted.size() == 1 ? "y" : "ies") << ")\n";
        return kOk;
    }
    if (o.check)
        return kChanged;
    if (int s = RequirePassword(o))
        return s;
    if (!Replace(engine, current, wanted))
        return kError;
    if (int s = SaveStore(engine, "the entries were applied, but "))
        return s;
    return kChanged;
}

volatile std::sig_atomic_t g_interrupted = 0;

// The engine's record of denials, as a table or its JSON lines; with --follow, new ones as they come.
int Denials(const Options &o)
{
    if (int s = OnlyOptions(o, {"--since", "--follow", "--json"}); s || (s = Positionals(o, 0, "")))
        return s;
    int64_t since = INT64_MIN;
    if (const std::optional<std::string> text = o.Last("--since")) {
        const std::string &t = *text;
        const size_t digits = t.find_first_not_of("0123456789");
        static const std::map<char, int64_t> units = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
        if (!t.empty() && digits == t.size() - 1 && digits > 0 && digits <= 9 && units.count(t.back())) {
            const int64_t age = std::stoll(t.substr(0, digits)) * units.at(t.back()) * 1000000;
            since = int64_t(std::time(nullptr)) * 1000000 - age;
        } else if (!vx::denials::ParseTime(t, since)) {
            return Usage("--since takes a UTC time such as 2026-12-08T10:00:00Z or an age such as 10m");
        }
    }
    const std::string path = vx::denials::RecordPath();
    vx::denials::RecordReader reader(path);
    if (o.Has("--follow")) {
        struct sigaction sa{};
        sa.sa_handler = [](int) { g_interrupted = 1; };
        ::sigaction(SIGINT, &sa, nullptr);
        ::sigaction(SIGTERM, &sa, nullptr);
    }
    if (!o.json)
        std::cout << "TIME\tPID\tPROGRAM\tOPERATION\tPATH\tENTRY\tPERMISSIVE\n";
    bool unreadable = false;
    for (;;) {
        const vx::denials::RecordReader::Batch batch = reader.Poll();
        for (const std::string &note : batch.notes)
            std::cerr << "vxctl: " << note << "\n";
        for (const vx::denials::Denial &d : batch.records) {
            if (d.timeUs < since)
                continue;
            if (o.json) {
                std::cout << d.raw << "\n";
            } else if (d.dropped) {
                std::cout << d.time << "\t-\t-\t-\t" << d.dropped << " denials not recorded (rate limit)\t-\t-\n";
            } else {
                std::cout << d.time << "\t" << d.pid << "\t" << d.exe << "\t" << d.operation << "\t"
                          << (d.path.empty() ? d.posixPath : d.path) << "\t"
                          << (d.entry < 0 ? std::string("the registry store's guard")
                                          : std::to_string(d.entry) + " " + d.entryFileFolder)
                          << "\t" << (d.permissive ? "yes" : "no") << "\n";
            }
        }
        std::cout.flush();
        if (batch.more)
            continue;
        if (!o.Has("--follow")) {
            unreadable = ::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), R_OK) != 0;
            break;
        }
        for (int i = 0; i < 5 && !g_interrupted; ++i)
            ::usleep(100000);
        if (g_interrupted)
            break;
    }
    return unreadable ? kError : kOk;
}

int Help(const Options &)
{
    std::cout << kUsageText;
    return kOk;
}

const std::map<std::string, std::function<int(const Options &)>> kCommands = {
    {"status", Status}, {"list", List},   {"add", Add},   {"modify", Modify}, {"delete", Delete},
    {"clear", Clear},   {"on", On},       {"off", Off},   {"save", Save},     {"load", Load},
    {"apply", Apply},   {"help", Help},   {"denials", Denials},
};

} // namespace

int main(int argc, char **argv)
{
    if (!vx::process::HardenOrExplain("vxctl"))
        return kError;
    Options o;
    if (int s = ParseOptions(argc, argv, o))
        return s;
    if (o.Has("--help"))
        return Help(o);
    if (o.command.empty()) {
        std::cerr << kUsageText;
        return kUsage;
    }
    const auto command = kCommands.find(o.command);
    if (command == kCommands.end())
        return Usage("unknown command " + o.command);
    return command->second(o);
}
