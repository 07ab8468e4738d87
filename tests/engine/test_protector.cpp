// The engine client against the engine core in-process, through the device seam.
#include "engine/protector.h"
#include "platform/device/arena.h"
#include "platform/device/device.h"
#include "qxd/inprocess.h"
#include "support/cp949.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using vx::qxd::Channel;
using vx::qxd::ScopedInProcessEngine;

namespace {

struct ErrorEvent {
    TVeskFileProtector *sender;
    uint32_t type;
    uint32_t code;
    bool unicode;
};

// Records every error event of a component.
struct Recorder {
    std::vector<ErrorEvent> events;
    void Attach(TVeskFileProtector &p)
    {
        p.OnError = [this](TVeskFileProtector *s, uint32_t t, uint32_t c) { events.push_back({s, t, c, false}); };
        p.OnErrorUnicode = [this](TVeskFileProtector *s, uint32_t t, uint32_t c) { events.push_back({s, t, c, true}); };
    }
};

class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name)
    {
        if (const char *old = std::getenv(name))
            old_ = old, had_ = true;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char *name_;
    std::string old_;
    bool had_ = false;
};

TFPEntryBlock SentBlock(const vx::device::ControlParams &p)
{
    return TFPEntryBlock::FromBytes(static_cast<const uint8_t *>(p.inBuffer));
}

int32_t Add(TVeskFileProtector &p, const std::string &path, const std::string &proc = "*", uint32_t mask = FP_READ,
            const std::string &exclPath = "", const std::string &exclProc = "")
{
    return p.AddEntry(mask, path, exclPath, proc, exclProc, nullptr, 0, nullptr, 0, nullptr, 1);
}

struct Read {
    bool ok = false;
    uint32_t mask = 0;
    std::string path, exclPath, proc, exclProc;
    uint32_t sdSize = 0, count1 = 0, count2 = 0;
    uint8_t flag = 0;
};

Read Get(TVeskFileProtector &p, int32_t index)
{
    Read r;
    r.path = r.exclPath = r.proc = r.exclProc = "stale";
    r.ok = p.GetEntry(index, r.mask, r.path, r.exclPath, r.proc, r.exclProc, nullptr, r.sdSize, r.count1, nullptr,
                      r.count2, nullptr, r.flag);
    return r;
}

TEST(ProtectorOpen, NamesAndParametersFollowThePlatformFamily)
{
    struct Case {
        const char *winver;
        const char *ansi;
        const char *uni;
        DWORD access;
        DWORD flags;
    } cases[] = {
        {nullptr, "\\\\.\\Global\\QXDAnsi", "\\\\.\\Global\\QXDUni", 0xC0000000u, 0},   // XP by default
        {"0x08930005", "\\\\.\\Global\\QXDAnsi", "\\\\.\\Global\\QXDUni", 0xC0000000u, 0}, // 2000
        {"0x05650004", "\\\\.\\QXDAnsi", "\\\\.\\QXDUni", 0xC0000000u, 0},               // NT 4
        {"0xC0000A04", "\\\\.\\QXDAnsi", "\\\\.\\QXDUni", 0, 0x44000000u},                // 98
    };
    for (const Case &c : cases) {
        ScopedEnv env("VELLAMORIX_WINVER", c.winver);
        ScopedInProcessEngine engine;
        {
            TVeskFileProtector p(nullptr);
            EXPECT_TRUE(p.Success());
            EXPECT_TRUE(p.SuccessUnicode());
            EXPECT_FALSE(p.Active());
            EXPECT_FALSE(p.ClearOnDestroy());
            EXPECT_EQ(p.NumEntries(), 0u) << "both devices open and answer";
        }
        const auto &opens = engine.backend().opens;
        ASSERT_EQ(opens.size(), 2u);
        EXPECT_EQ(opens[0].name, c.ansi);
        EXPECT_EQ(opens[1].name, c.uni);
        for (const auto &o : opens) {
            EXPECT_EQ(o.desiredAccess, c.access) << (c.winver ? c.winver : "default");
            EXPECT_EQ(o.flagsAndAttributes, c.flags);
            EXPECT_EQ(o.shareMode, 0u);
            EXPECT_EQ(o.creationDisposition, 3u);
            EXPECT_FALSE(o.securityAttributes);
            EXPECT_FALSE(o.templateFile);
        }
    }
}

TEST(ProtectorOpen, FailedOpenRaisesTypeOneAndLaterRequestsFail)
{
    ScopedInProcessEngine engine;
    engine.backend().failOpen = ERROR_FILE_NOT_FOUND;
    Recorder rec;
    // Handlers can only be attached after creation; check the results and later events.
    TVeskFileProtector p(nullptr);
    EXPECT_FALSE(p.Success());
    EXPECT_FALSE(p.SuccessUnicode());
    rec.Attach(p);
    EXPECT_EQ(p.NumEntries(), 0xFFFFFFFFu);
    EXPECT_EQ(p.NumEntriesUnicode(), 0xFFFFFFFFu);
    ASSERT_EQ(rec.events.size(), 2u);
    EXPECT_EQ(rec.events[0].type, QXD_ERR_COUNT);
    EXPECT_EQ(rec.events[0].code, ERROR_INVALID_HANDLE);
    EXPECT_TRUE(rec.events[1].unicode);
    EXPECT_EQ(Add(p, "C:\\x"), -1);
    EXPECT_EQ(rec.events.back().type, QXD_ERR_ADD);
    EXPECT_EQ(engine.engine().Count(), 0u);
}

TEST(ProtectorOpen, OpenFailureRaisesTypeOneWithTheOpenCode)
{
    ScopedInProcessEngine engine;
    engine.backend().failOpen = ERROR_ACCESS_DENIED;
    std::vector<ErrorEvent> events;
    TVeskFileProtector p(
        nullptr, [&](TVeskFileProtector *s, uint32_t t, uint32_t c) { events.push_back({s, t, c, false}); },
        [&](TVeskFileProtector *s, uint32_t t, uint32_t c) { events.push_back({s, t, c, true}); });
    EXPECT_FALSE(p.Success());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, QXD_ERR_OPEN);
    EXPECT_EQ(events[0].code, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(events[0].unicode);
    EXPECT_EQ(events[0].sender, &p);
    EXPECT_EQ(events[1].type, QXD_ERR_OPEN);
    EXPECT_TRUE(events[1].unicode);
}

TEST(ProtectorOpen, MissingUnicodeDeviceOnlyFailsThatChannel)
{
    std::vector<uint32_t> ansi, uni;
    auto backend = std::make_shared<vx::qxd::InProcessBackend>(std::make_shared<vx::qxd::Engine>());
    struct OnlyAnsi : vx::device::DeviceBackend {
        std::shared_ptr<vx::qxd::InProcessBackend> inner;
        std::unique_ptr<vx::device::DeviceConnection> Open(const vx::device::OpenParams &o, DWORD &e) override
        {
            if (o.name.find("QXDUni") != std::string::npos) {
                e = ERROR_FILE_NOT_FOUND;
                return nullptr;
            }
            return inner->Open(o, e);
        }
    };
    auto only = std::make_shared<OnlyAnsi>();
    only->inner = backend;
    auto previous = vx::device::SetDeviceBackend(only);
    {
        TVeskFileProtector p(
            nullptr, [&](TVeskFileProtector *, uint32_t t, uint32_t) { ansi.push_back(t); },
            [&](TVeskFileProtector *, uint32_t t, uint32_t c) {
                uni.push_back(t);
                uni.push_back(c);
            });
        EXPECT_TRUE(p.Success());
        EXPECT_FALSE(p.SuccessUnicode());
        EXPECT_EQ(p.NumEntries(), 0u);
        EXPECT_EQ(p.NumEntriesUnicode(), 0xFFFFFFFFu);
        p.SetClearOnDestroyUnicode(true); // nothing to send on a channel that never opened
    }
    vx::device::SetDeviceBackend(previous);
    EXPECT_TRUE(ansi.empty());
    EXPECT_EQ(uni, (std::vector<uint32_t>{QXD_ERR_OPEN, ERROR_FILE_NOT_FOUND, QXD_ERR_COUNT, ERROR_INVALID_HANDLE}));
}

TEST(ProtectorCredential, DefaultCredentialOnBothChannels)
{
    ScopedInProcessEngine engine;
    TVeskFileProtector p(nullptr);
    EXPECT_EQ(p.Password(), "Mirok Dune Sentinel");
    EXPECT_EQ(p.PasswordUnicode(), u"Mirok Dune Sentinel");
    engine.backend().calls.clear();
    EXPECT_EQ(p.NumEntriesUnicode(), 0u);
    EXPECT_EQ(p.NumEntries(), 0u);
    const auto &calls = engine.backend().calls;
    ASSERT_EQ(calls.size(), 2u);
    // Unicode: 40 bytes (38 of text and a zero code unit) with the length in characters.
    const auto &u = calls[0].params;
    EXPECT_EQ(calls[0].channel, Channel::Unicode);
    EXPECT_EQ(u.code, IOCTL_QXD_GET_ENTRY_COUNT);
    EXPECT_EQ(u.inLen, 19u);
    ASSERT_TRUE(vx::device::InArena(u.inBuffer, 40));
    const auto *wide = static_cast<const char16_t *>(u.inBuffer);
    EXPECT_EQ(std::u16string(wide, 19), u"Mirok Dune Sentinel");
    EXPECT_EQ(wide[19], u'\0');
    EXPECT_EQ(u.outBuffer, nullptr);
    EXPECT_EQ(u.outLen, 0u);
    // ANSI: 19 bytes and a zero byte.
    const auto &a = calls[1].params;
    EXPECT_EQ(a.inLen, 19u);
    EXPECT_EQ(std::string(static_cast<const char *>(a.inBuffer), 20), std::string("Mirok Dune Sentinel\0", 20));
}

TEST(ProtectorCredential, ChangedPasswordIsCarriedAndEmptyIsRefused)
{
    ScopedInProcessEngine engine;
    TVeskFileProtector p(nullptr);
    Recorder rec;
    rec.Attach(p);
    p.SetPassword("other");
    EXPECT_EQ(p.NumEntries(), 0xFFFFFFFFu);
    EXPECT_FALSE(p.Success());
    ASSERT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(rec.events[0].type, QXD_ERR_COUNT);
    EXPECT_EQ(rec.events[0].code, ERROR_ACCESS_DENIED);
    EXPECT_EQ(rec.events[0].sender, &p);
    EXPECT_EQ(Add(p, "C:\\x"), -1);
    EXPECT_EQ(rec.events.back().type, QXD_ERR_ADD);
    EXPECT_EQ(rec.events.back().code, ERROR_ACCESS_DENIED);

    EXPECT_THROW(p.SetPassword(""), std::out_of_range);
    EXPECT_EQ(p.Password(), "other");
    EXPECT_THROW(p.SetPasswordUnicode(u""), std::out_of_range);
    EXPECT_EQ(p.PasswordUnicode(), u"Mirok Dune Sentinel");
    p.SetPassword("Mirok Dune Sentinel");
    EXPECT_EQ(Add(p, "C:\\x"), 0);

    ASSERT_TRUE(engine.engine().SetCredential(Cp949("암호"), u"암호"));
    p.SetPassword(Cp949("암호"));
    p.SetPasswordUnicode(u"암호");
    EXPECT_EQ(p.NumEntries(), 1u);
    EXPECT_EQ(p.NumEntriesUnicode(), 1u);
}

TEST(ProtectorActive, StartStopAndTypeSeven)
{
    ScopedInProcessEngine engine;
    TVeskFileProtector p(nullptr);
    Recorder rec;
    rec.Attach(p);
    engine.backend().calls.clear();
    p.SetActive(false); // already false: nothing sent, nothing raised
    EXPECT_TRUE(engine.backend().calls.empty());
    EXPECT_TRUE(rec.events.empty());
    p.SetActive(true);
    EXPECT_TRUE(p.Active());
    EXPECT_TRUE(engine.engine().Active());
    ASSERT_EQ(engine.backend().calls.size(), 1u);
    EXPECT_EQ(engine.backend().calls[0].params.code, IOCTL_QXD_START);
    EXPECT_EQ(engine.backend().calls[0].params.inLen, 19u);
    p.SetActive(false);
    EXPECT_FALSE(p.Active());
    EXPECT_FALSE(engine.engine().Active());
    EXPECT_EQ(engine.backend().calls.back().params.code, IOCTL_QXD_STOP);

    // A failing start leaves Active false and raises type 7.
    p.SetPassword("wrong");
    p.SetActive(true);
    EXPECT_FALSE(p.Active());
    EXPECT_FALSE(p.Success());
    ASSERT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(rec.events[0].type, QXD_ERR_ACTIVE);
    EXPECT_EQ(rec.events[0].code, ERROR_ACCESS_DENIED);
    // Writing the current value sends nothing but still reports the earlier failure.
    const std::size_t sent = engine.backend().calls.size();
    SetLastError(1234);
    p.SetActive(false);
    EXPECT_EQ(engine.backend().calls.size(), sent);
    ASSERT_EQ(rec.events.size(), 2u);
    EXPECT_EQ(rec.events[1].type, QXD_ERR_ACTIVE);
    EXPECT_EQ(rec.events[1].code, 1234u);

    // Unicode twin.
    p.SetActiveUnicode(true);
    EXPECT_TRUE(p.ActiveUnicode());
    EXPECT_TRUE(engine.engine().Active());
    EXPECT_EQ(engine.backend().calls.back().channel, Channel::Unicode);
    p.SetPasswordUnicode(u"wrong");
    p.SetActiveUnicode(false);
    EXPECT_TRUE(p.ActiveUnicode());
    EXPECT_FALSE(p.SuccessUnicode());
    EXPECT_TRUE(rec.events.back().unicode);
    EXPECT_EQ(rec.events.back().type, QXD_ERR_ACTIVE);
}

TEST(ProtectorEntries, AddSendsTheBlockAndReturnsTheIndex)
{
    ScopedInProcessEngine engine;
    TVeskFileProtector p(nullptr);
    TFPEntryBlock sent{};
    std::string exclPathText, exclProcText;
    engine.backend().intercept = [&](Channel, const vx::device::ControlParams &c, vx::qxd::Result &) {
        if (c.code == IOCTL_QXD_ADD_ENTRY) {
            sent = SentBlock(c);
            exclPathText.assign(reinterpret_cast<const char *>(uintptr_t(sent.ExcludeFileFolderPtr)), 1);
            exclProcText.assign(reinterpret_cast<const char *>(uintptr_t(sent.ExcludeProcessPtr)), 1);
            EXPECT_EQ(c.inLen, 84u);
            EXPECT_EQ(c.outBuffer, nullptr);
            EXPECT_EQ(c.outLen, 0u);
        }
        return false;
    };
    EXPECT_EQ(Add(p, "C:\\abcdefg", "*", FP_PRESET_NOACCESS), 0);
    EXPECT_EQ(sent.TotalSize, 119u);
    EXPECT_EQ(sent.FileFolderLen, 10u);
    EXPECT_EQ(sent.ProcessLen, 1u);
    EXPECT_EQ(sent.ExcludeFileFolderLen, 0u);
    EXPECT_EQ(sent.ExcludeProcessLen, 0u);
    EXPECT_EQ(exclPathText, std::string(1, '\0'));
    EXPECT_EQ(exclProcText, std::string(1, '\0'));
    EXPECT_EQ(sent.PasswordLen, 19u);
    EXPECT_EQ(sent.Mask, FP_PRESET_NOACCESS);
    EXPECT_EQ(sent.EntryFlag, 1);
    EXPECT_EQ(sent.SecDescLen, 0u);
    EXPECT_EQ(sent.SecDescPtr, 0u);
    EXPECT_EQ(sent.List1Count + sent.List2Count + sent.List1Ptr + sent.List2Ptr, 0u);
    EXPECT_EQ(std::memcmp(sent.Reserved, "\0\0\0\0\0\0\0\0", 8), 0);

    EXPECT_EQ(Add(p, "C:\\second"), 1);
    EXPECT_EQ(Add(p, Cp949("C:\\문서\\비밀"), "notepad*", FP_PRESET_FULLHIDDEN, "C:\\x", "a.exe"), 2);
    EXPECT_EQ(engine.engine().Count(), 3u);
    EXPECT_EQ(engine.engine().At(2)->fileFolder, Cp949("C:\\문서\\비밀"));
    EXPECT_EQ(engine.engine().At(2)->process, "notepad*");
    EXPECT_EQ(engine.engine().At(2)->excludeFileFolder, "C:\\x");
    EXPECT_EQ(engine.engine().At(2)->excludeProcess, "a.exe");
}

TEST(ProtectorEntries, AddResultWhenTheCountFollowingItFails)
{
    ScopedInProcessEngine engine;
    TVeskFileProtector p(nullptr);
    Recorder rec;
    rec.Attach(p);
    engine.backend().intercept = [](Channel, const vx::device::ControlParams &c, vx::qxd::Result &r) {
        if (c.code != IOCTL_QXD_GET_ENTRY_COUNT)
            return false;
        r = {false, ERROR_GEN_FAILURE, 0};
        return true;
    };
    EXPECT_EQ(Add(p, "C:\\x"), -2);
    EXPECT_FALSE(p.Success()) << "the count's outcome is the last";
    ASSERT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(rec.events[0].type, QXD_ERR_COUNT);
    EXPECT_EQ(engine.engine().Count(), 1u);

    // A count of 0 after a successful add gives -1 and raises nothing.
    engine.backend().intercept = [](Channel, const vx::device::ControlParams &c, vx::qxd::Result &r) {
        if (c.code != IOCTL_QXD_GET_ENTRY_COUNT)
            return false;
        r = {true, 0, 0};
        return true;
    };
    EXPECT_EQ(Add(p, "C:\\y"), -1);
    EXPECT_TRUE(p.Success());
    EXPECT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(engine.engine().Count(), 2u);
}

TEST(ProtectorEntries, GetEntryTakesTwoRequestsWithTheIndexInTheInputLength)
{
    ScopedInProcessEngine engine;
    TVeskFileProtector p(nullptr);
    ASSERT_EQ(Add(p, "C:\\zero"), 0);
    ASSERT_EQ(Add(p, Cp949("C:\\한글"), "notepad*", FP_PRESET_READONLY | 0x80000000u, Cp949("C:\\한글\\x"), "b.exe"), 1);
    std::vector<uint32_t> lensSent;
    engine.backend().intercept = [&](Channel, const vx::device::ControlParams &c, vx::qxd::Result &) {
        if (c.code == IOCTL_QXD_GET_ENTRY) {
            EXPECT_EQ(c.inBuffer, nullptr);
            EXPECT_EQ(c.inLen, 1u);
            EXPECT_EQ(c.outLen, 84u);
            EXPECT_TRUE(vx::device::InArena(c.outBuffer, 84));
            const auto b = TFPEntryBlock::FromBytes(static_cast<const uint8_t *>(c.outBuffer));
            lensSent.push_back(b.FileFolderLen + b.ExcludeFileFolderLen + b.ProcessLen + b.ExcludeProcessLen);
            EXPECT_EQ(b.PasswordLen, 19u);
        }
        return false;
    };
    engine.backend().calls.clear();
    Read r = Get(p, 1);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(engine.backend().calls.size(), 2u);
    ASSERT_EQ(lensSent.size(), 2u);
    EXPECT_EQ(lensSent[0], 0u);
    EXPECT_EQ(lensSent[1], Cp949("C:\\한글").size() + Cp949("C:\\한글\\x").size() + 8 + 5);
    EXPECT_EQ(r.path, Cp949("C:\\한글"));
    EXPECT_EQ(r.exclPath, Cp949("C:\\한글\\x"));
    EXPECT_EQ(r.proc, "notepad*");
    EXPECT_EQ(r.exclProc, "b.exe");
    EXPECT_EQ(r.mask, FP_PRESET_READONLY | 0x80000000u);
    EXPECT_EQ(r.flag, 1);
    EXPECT_TRUE(p.Success());
}

TEST(ProtectorEntries, GetEntryBeyondTheCountFailsWithTypeFour)
{
    ScopedInProcessEngine engine;
    TVeskFileProtector p(nullptr);
    Recorder rec;
    rec.Attach(p);
    ASSERT_EQ(Add(p, "C:\\zero"), 0);
    for (int32_t index : {1, 2, -1}) {
        Read r = Get(p, index);
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(p.Success());
        EXPECT_EQ(r.path, "");
        EXPECT_EQ(r.exclPath, "");
        EXPECT_EQ(r.proc, "");
        EXPECT_EQ(r.exclProc, "");
        ASSERT_FALSE(rec.events.empty());
        EXPECT_EQ(rec.events.back().type, QXD_ERR_GET_ENTRY);
        EXPECT_EQ(rec.events.back().code, ERROR_INVALID_PARAMETER);
    }
}

TEST(ProtectorEntries, ModifyAndDeleteCarryTheIndexInTheOutputLength)
{
    ScopedInProcessEngine engine;
    TVeskFileProtector p(nullptr);
    Recorder rec;
    rec.Attach(p);
    for (const char *path : {"C:\\0", "C:\\1", "C:\\2"})
        Add(p, path);
    engine.backend().calls.clear();
    EXPECT_TRUE(p.ModifyEntry(1, FP_LIST, "C:\\one", "", "*", "", nullptr, 0, nullptr, 0, nullptr, 5));
    const auto &m = engine.backend().calls.back().params;
    EXPECT_EQ(m.code, IOCTL_QXD_MODIFY_ENTRY);
    EXPECT_EQ(m.outBuffer, nullptr);
    EXPECT_EQ(m.outLen, 1u);
    EXPECT_EQ(m.inLen, 84u);
    EXPECT_EQ(engine.backend().calls.size(), 1u) << "modify sends no count";
    EXPECT_EQ(engine.engine().At(1)->fileFolder, "C:\\one");
    EXPECT_EQ(engine.engine().At(1)->flag, 5);

    EXPECT_TRUE(p.DeleteEntry(0));
    const auto &d = engine.backend().calls.back().params;
    EXPECT_EQ(d.code, IOCTL_QXD_DELETE_ENTRY);
    EXPECT_EQ(d.outBuffer, nullptr);
    EXPECT_EQ(d.outLen, 0u);
    EXPECT_EQ(d.inLen, 19u);
    EXPECT_EQ(Get(p, 0).path, "C:\\one");
    EXPECT_EQ(Get(p, 1).path, "C:\\2");

    EXPECT_FALSE(p.ModifyEntry(2, 0, "C:\\x", "", "*", "", nullptr, 0, nullptr, 0, nullptr, 1));
    EXPECT_EQ(rec.events.back().type, QXD_ERR_MODIFY);
    EXPECT_EQ(rec.events.back().code, ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(p.DeleteEntry(2));
    EXPECT_EQ(rec.events.back().type, QXD_ERR_DELETE);
    EXPECT_FALSE(p.DeleteEntry(-1));
    EXPECT_EQ(rec.events.back().type, QXD_ERR_DELETE);
    uint32_t count = 0;
    EXPECT_TRUE(p.GetEntryCount(count));
    EXPECT_EQ(count, 2u);
}

TEST(ProtectorEntries, GetEntryStopsWhenTheEngineKeepsAskingForMore)
{
    ScopedInProcessEngine engine;
    TVeskFileProtector p(nullptr);
    Recorder rec;
    rec.Attach(p);
    Add(p, "C:\\x");
    // An engine that asks for ever longer texts.
    uint32_t grow = 0;
    engine.backend().intercept = [&](Channel, const vx::device::ControlParams &c, vx::qxd::Result &r) {
        if (c.code != IOCTL_QXD_GET_ENTRY)
            return false;
        auto *b = static_cast<TFPEntryBlock *>(c.outBuffer);
        b->FileFolderLen = ++grow * 10;
        r = {false, QXD_ERROR_MORE_DATA, 0};
        return true;
    };
    engine.backend().calls.clear();
    Read r = Get(p, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(engine.backend().calls.size(), std::size_t(QXD_GET_ENTRY_MAX_PASSES));
    ASSERT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(rec.events[0].type, QXD_ERR_GET_ENTRY);
    EXPECT_EQ(rec.events[0].code, QXD_ERROR_MORE_DATA);
    EXPECT_EQ(r.path, "");

    // An engine that asks for lengths that are already there.
    engine.backend().intercept = [&](Channel, const vx::device::ControlParams &c, vx::qxd::Result &r2) {
        if (c.code != IOCTL_QXD_GET_ENTRY)
            return false;
        static_cast<TFPEntryBlock *>(c.outBuffer)->FileFolderLen = 4;
        r2 = {false, QXD_ERROR_MORE_DATA, 0};
        return true;
    };
    engine.backend().calls.clear();
    EXPECT_FALSE(Get(p, 0).ok);
    EXPECT_EQ(engine.backend().calls.size(), 2u);
    EXPECT_EQ(rec.events.back().type, QXD_ERR_GET_ENTRY);

    // An engine that claims success with longer texts than it was given room for.
    engine.backend().intercept = [&](Channel, const vx::device::ControlParams &c, vx::qxd::Result &r3) {
        if (c.code != IOCTL_QXD_GET_ENTRY)
            return false;
        static_cast<TFPEntryBlock *>(c.outBuffer)->FileFolderLen = 1000;
        r3 = {true, 0, 84};
        return true;
    };
    Read bad = Get(p, 0);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.path, "");
    EXPECT_EQ(rec.events.back().type, QXD_ERR_GET_ENTRY);
}

TEST(ProtectorEntries, EveryPassOffersTheCallersCapacities)
{
    ScopedInProcessEngine engine;
    TVeskFileProtector p(nullptr);
    Add(p, "C:\\x");
    std::vector<uint32_t> offered;
    engine.backend().intercept = [&](Channel, const vx::device::ControlParams &c, vx::qxd::Result &r) {
        if (c.code != IOCTL_QXD_GET_ENTRY)
            return false;
        auto *b = static_cast<TFPEntryBlock *>(c.outBuffer);
        offered.push_back(b->SecDescLen);
        offered.push_back(b->List1Count);
        if (offered.size() == 2) { // first pass: ask for a text and report smaller sizes
            b->FileFolderLen = 4;
            b->ProcessLen = 1;
            b->SecDescLen = 3;
            b->List1Count = 1;
            r = {false, QXD_ERROR_MORE_DATA, 0};
            return true;
        }
        return false; // second pass: the real engine answers
    };
    vx::device::ArenaBuffer sd(10), list(12);
    uint32_t mask = 0, size = 10, c1 = 2, c2 = 0;
    uint8_t flag = 0;
    std::string a, b, c, d;
    ASSERT_TRUE(p.GetEntry(0, mask, a, b, c, d, sd.data(), size, c1, list.data(), c2, nullptr, flag));
    EXPECT_EQ(offered, (std::vector<uint32_t>{10, 2, 10, 2}));
    EXPECT_EQ(a, "C:\\x");
}

// A self-relative descriptor: header, owner SID (1 sub-authority), DACL of 28 bytes.
std::vector<uint8_t> Descriptor()
{
    std::vector<uint8_t> sd(20 + 12 + 28, 0);
    sd[0] = 1;
    sd[2] = 0x04;
    sd[3] = 0x80; // SE_SELF_RELATIVE | SE_DACL_PRESENT
    sd[4] = 20;   // owner at 20
    sd[16] = 32;  // DACL at 32
    sd[20] = 1;
    sd[21] = 1; // one sub-authority
    sd[32] = 2;
    sd[34] = 28; // AclSize
    return sd;
}

TEST(ProtectorEntries, DescriptorAndListsTravelFromOrdinaryAndArenaMemory)
{
    ScopedInProcessEngine engine;
    TVeskFileProtector p(nullptr);
    std::vector<uint8_t> sd = Descriptor();
    uint8_t list1[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    vx::device::ArenaBuffer list2(6);
    std::memset(list2.data(), 0xAB, 6);
    TFPEntryBlock sent{};
    engine.backend().intercept = [&](Channel, const vx::device::ControlParams &c, vx::qxd::Result &) {
        if (c.code == IOCTL_QXD_ADD_ENTRY)
            sent = SentBlock(c);
        return false;
    };
    ASSERT_EQ(p.AddEntry(FP_OPEN, "C:\\sd", "", "*", "", sd.data(), 2, list1, 1, list2.data(), 1), 0);
    EXPECT_EQ(sent.SecDescLen, 60u);
    EXPECT_EQ(sent.TotalSize, 84u + 5 + 19 + 5 + 1 + 60 + 18);
    EXPECT_EQ(sent.List2Ptr, list2.address()) << "arena memory is passed as it is";
    const auto stored = *engine.engine().At(0);
    EXPECT_EQ(stored.secDesc, std::string(sd.begin(), sd.end()));
    EXPECT_EQ(stored.list1, std::string(reinterpret_cast<char *>(list1), 12));
    EXPECT_EQ(stored.list2, std::string(6, '\xAB'));

    // Read back into a 65536-byte arena buffer, as the change command does.
    vx::device::ArenaBuffer buffer(65536);
    uint32_t mask = 0, size = 65536, c1 = 0, c2 = 0;
    uint8_t flag = 0;
    std::string a, b, c, d;
    ASSERT_TRUE(p.GetEntry(0, mask, a, b, c, d, buffer.data(), size, c1, nullptr, c2, nullptr, flag));
    EXPECT_EQ(size, 60u);
    EXPECT_EQ(std::memcmp(buffer.data(), sd.data(), 60), 0);
    EXPECT_EQ(c1, 2u);
    EXPECT_EQ(c2, 1u);
    EXPECT_EQ(a, "C:\\sd");
    // Into ordinary memory too.
    std::vector<uint8_t> plain(100, 0);
    uint8_t lists[12] = {};
    size = 100;
    c1 = 2;
    ASSERT_TRUE(p.GetEntry(0, mask, a, b, c, d, plain.data(), size, c1, lists, c2, nullptr, flag));
    EXPECT_EQ(std::memcmp(plain.data(), sd.data(), 60), 0);
    EXPECT_EQ(std::memcmp(lists, list1, 12), 0);
    // Too small a buffer: fails at once, reports the needed size, writes nothing.
    std::vector<uint8_t> small(10, 0x5A);
    size = 10;
    ASSERT_FALSE(p.GetEntry(0, mask, a, b, c, d, small.data(), size, c1, nullptr, c2, nullptr, flag));
    EXPECT_EQ(size, 60u) << "the sizes are reported also on failure";
    EXPECT_EQ(small, std::vector<uint8_t>(10, 0x5A));
    EXPECT_EQ(a, "");

    // Modify with the counts that GetEntry returned and no lists keeps the lists.
    ASSERT_TRUE(p.ModifyEntry(0, FP_LIST, "C:\\sd2", "", "*", "", nullptr, 2, nullptr, 1, nullptr, flag));
    EXPECT_EQ(engine.engine().At(0)->list1, stored.list1);
    EXPECT_EQ(engine.engine().At(0)->secDesc, "");
}

TEST(ProtectorEntries, DescriptorLengthFallsBackToZeroWithoutTheRoutine)
{
    ScopedInProcessEngine engine;
    std::vector<uint8_t> sd = Descriptor();
    EXPECT_EQ(vx::engine::BoundSecurityDescriptorLength()(sd.data()), 60u);
    vx::device::SetExportHidden("GetSecurityDescriptorLength", true);
    vx::engine::BindSecurityDescriptorLength();
    EXPECT_EQ(vx::engine::BoundSecurityDescriptorLength()(sd.data()), 0u);
    {
        TVeskFileProtector p(nullptr);
        TFPEntryBlock sent{};
        engine.backend().intercept = [&](Channel, const vx::device::ControlParams &c, vx::qxd::Result &) {
            if (c.code == IOCTL_QXD_ADD_ENTRY)
                sent = SentBlock(c);
            return false;
        };
        EXPECT_EQ(p.AddEntry(0, "C:\\a", "", "*", "", sd.data(), 0, nullptr, 0, nullptr, 1), 0);
        EXPECT_EQ(sent.SecDescLen, 0u);
        EXPECT_EQ(sent.TotalSize, 84u + 5 + 19 + 4 + 1);
    }
    vx::device::SetExportHidden("GetSecurityDescriptorLength", false);
    vx::engine::BindSecurityDescriptorLength();
    EXPECT_EQ(vx::engine::BoundSecurityDescriptorLength()(sd.data()), 60u);
}

TEST(ProtectorEntries, OverflowingSizesAbortWithoutARequestOrEvent)
{
    ScopedInProcessEngine engine;
    TVeskFileProtector p(nullptr);
    Recorder rec;
    rec.Attach(p);
    engine.backend().calls.clear();
    EXPECT_EQ(p.AddEntry(0, "C:\\a", "", "*", "", nullptr, 0xFFFFFFFFu, nullptr, 0xFFFFFFFFu, nullptr, 1), -1);
    EXPECT_FALSE(p.ModifyEntry(0, 0, "C:\\a", "", "*", "", nullptr, 0x2AAAAAAAu, nullptr, 0, nullptr, 1));
    EXPECT_TRUE(engine.backend().calls.empty());
    EXPECT_TRUE(rec.events.empty());
    // The component is still usable and left no stale addresses behind.
    EXPECT_EQ(Add(p, "C:\\b"), 0);
    EXPECT_EQ(Get(p, 0).path, "C:\\b");
}

TEST(ProtectorDestroy, OutlivesTheInProcessEngineScope)
{
    std::unique_ptr<TVeskFileProtector> p;
    {
        ScopedInProcessEngine engine;
        p = std::make_unique<TVeskFileProtector>(nullptr);
        EXPECT_EQ(Add(*p, "C:\\a"), 0);
    }
    // The handles still reach the engine they were opened on.
    EXPECT_EQ(p->NumEntries(), 1u);
    p.reset();
}

TEST(ProtectorDestroy, ClearOnDestroyAndTypeNine)
{
    {
        ScopedInProcessEngine engine;
        {
            TVeskFileProtector p(nullptr);
            Add(p, "C:\\a");
            p.SetClearOnDestroy(true);
        }
        EXPECT_EQ(engine.engine().Count(), 0u);
        EXPECT_EQ(engine.backend().calls.back().params.code, IOCTL_QXD_CLEAR_ENTRIES);
    }
    {
        ScopedInProcessEngine engine;
        {
            TVeskFileProtector p(nullptr);
            Add(p, "C:\\a");
            p.SetClearOnDestroy(true);
            p.SetClearOnDestroy(false); // as the close query does
        }
        EXPECT_EQ(engine.engine().Count(), 1u);
        for (const auto &c : engine.backend().calls)
            EXPECT_NE(c.params.code, IOCTL_QXD_CLEAR_ENTRIES);
    }
    {
        ScopedInProcessEngine engine;
        Recorder rec;
        {
            TVeskFileProtector p(nullptr);
            rec.Attach(p);
            Add(p, "C:\\a");
            p.SetClearOnDestroy(true);
            p.SetClearOnDestroyUnicode(true);
            p.SetPassword("wrong");
        }
        ASSERT_EQ(rec.events.size(), 1u);
        EXPECT_EQ(rec.events[0].type, QXD_ERR_CLEAR);
        EXPECT_EQ(rec.events[0].code, ERROR_ACCESS_DENIED);
        EXPECT_EQ(engine.engine().Count(), 0u) << "the Unicode clear went through";
    }
    {
        ScopedInProcessEngine engine;
        engine.backend().failOpen = ERROR_FILE_NOT_FOUND;
        Recorder rec;
        {
            TVeskFileProtector p(nullptr);
            rec.Attach(p);
            p.SetClearOnDestroy(true);
        }
        EXPECT_TRUE(rec.events.empty());
        EXPECT_TRUE(engine.backend().calls.empty());
    }
}

} // namespace
