// The engine core driven directly: request handling, credential, bounds and bad input.
#include "engine/fprec.h"
#include "qxd/core.h"
#include "qxd/fake_memory.h"

#include <gtest/gtest.h>

using namespace vx::qxd;

namespace {

constexpr uint64_t kPass = 0x1000, kWide = 0x1800, kBlock = 0x2000, kTexts = 0x3000, kOut = 0x8000;
const std::string kCred = kDefaultCredential;

std::string Z(const std::string &s)
{
    return s + std::string(1, '\0');
}

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        mem.Put(kPass, Z(kCred));
        std::u16string wide(kCred.begin(), kCred.end());
        mem.Put(kWide, Utf16Bytes(wide + u'\0'));
    }

    Result Short(uint32_t code, uint32_t outLen = 0, Channel ch = Channel::Ansi)
    {
        return engine.Handle({ch, code, ch == Channel::Ansi ? kPass : kWide, uint32_t(kCred.size()), 0, outLen}, mem);
    }

    // Lays out an entry the way the client does and returns the block.
    TFPEntryBlock Block(const std::string &path, const std::string &proc, uint32_t mask, uint8_t flag = 1,
                        const std::string &exclPath = "", const std::string &exclProc = "")
    {
        TFPEntryBlock b{};
        const std::string texts[4] = {path, exclPath, proc, exclProc};
        uint32_t *lens[4] = {&b.FileFolderLen, &b.ExcludeFileFolderLen, &b.ProcessLen, &b.ExcludeProcessLen};
        uint32_t *ptrs[4] = {&b.FileFolderPtr, &b.ExcludeFileFolderPtr, &b.ProcessPtr, &b.ExcludeProcessPtr};
        uint64_t total = 84 + 5 + kCred.size();
        for (int i = 0; i < 4; ++i) {
            const uint64_t addr = kTexts + 0x1000 * uint64_t(i);
            mem.Put(addr, Z(texts[i]));
            *lens[i] = uint32_t(texts[i].size());
            *ptrs[i] = uint32_t(addr);
            total += texts[i].size();
        }
        b.PasswordLen = uint32_t(kCred.size());
        b.PasswordPtr = uint32_t(kPass);
        b.Mask = mask;
        b.EntryFlag = flag;
        b.TotalSize = uint32_t(total);
        return b;
    }

    Result Put(const TFPEntryBlock &b, bool modify = false, uint32_t index = 0)
    {
        const auto bytes = b.ToBytes();
        mem.Put(kBlock, std::string(bytes.begin(), bytes.end()));
        return engine.Handle({Channel::Ansi, modify ? kModifyEntry : kAddEntry, kBlock, 84, 0, index}, mem);
    }

    // The client's two passes over entry `index`: `place` sets the text addresses from the
    // lengths the block holds (none at first, the engine's needed ones after "more data").
    template <class Place>
    Result TwoPasses(uint32_t index, TFPEntryBlock &b, Place place)
    {
        b.PasswordLen = uint32_t(kCred.size());
        b.PasswordPtr = uint32_t(kPass);
        Result r;
        for (int pass = 0; pass < 2; ++pass) {
            uint32_t *const lens[4] = {&b.FileFolderLen, &b.ExcludeFileFolderLen, &b.ProcessLen, &b.ExcludeProcessLen};
            uint32_t *const ptrs[4] = {&b.FileFolderPtr, &b.ExcludeFileFolderPtr, &b.ProcessPtr, &b.ExcludeProcessPtr};
            place(pass, lens, ptrs);
            const auto bytes = b.ToBytes();
            mem.Put(kOut, std::string(bytes.begin(), bytes.end()));
            r = engine.Handle({Channel::Ansi, kGetEntry, 0, index, kOut, 84}, mem);
            b = TFPEntryBlock::FromBytes(reinterpret_cast<const uint8_t *>(mem.At(kOut).data()));
            if (r.ok || r.error != kErrMoreData)
                break;
        }
        return r;
    }

    // Reads entry `index` the way the client does: a pass with no text buffers, then one with
    // the four buffers back to back in a region of `room` bytes at `at`.
    Result GetPacked(uint32_t index, Entry &out, uint64_t at, std::size_t room = 512)
    {
        TFPEntryBlock b{};
        const Result r = TwoPasses(index, b, [&](int pass, uint32_t *const lens[4], uint32_t *const ptrs[4]) {
            uint64_t next = at;
            for (int i = 0; i < 4; ++i) {
                *ptrs[i] = *lens[i] ? uint32_t(next) : 0;
                next += *lens[i] ? *lens[i] + 1 : 0;
            }
            if (pass == 1)
                mem.Put(at, std::string(room, 'x'));
        });
        if (r.ok) {
            std::string *texts[4] = {&out.fileFolder, &out.excludeFileFolder, &out.process, &out.excludeProcess};
            const uint32_t lens[4] = {b.FileFolderLen, b.ExcludeFileFolderLen, b.ProcessLen, b.ExcludeProcessLen};
            const uint32_t ptrs[4] = {b.FileFolderPtr, b.ExcludeFileFolderPtr, b.ProcessPtr, b.ExcludeProcessPtr};
            for (int i = 0; i < 4; ++i)
                *texts[i] = lens[i] ? mem.At(at).substr(ptrs[i] - at, lens[i]) : "";
            out.mask = b.Mask;
        }
        return r;
    }

    // Reads entry `index` the way the client does: a pass with empty buffers, then a sized one.
    Result Get(uint32_t index, Entry &out, TFPEntryBlock *lastBlock = nullptr)
    {
        TFPEntryBlock b{};
        const Result r = TwoPasses(index, b, [&](int, uint32_t *const lens[4], uint32_t *const ptrs[4]) {
            for (int i = 0; i < 4; ++i) {
                const uint64_t addr = kOut + 0x10000 * uint64_t(i + 1);
                mem.Put(addr, std::string(*lens[i] + 1, 'x'));
                *ptrs[i] = *lens[i] ? uint32_t(addr) : 0;
            }
        });
        if (r.ok) {
            std::string *texts[4] = {&out.fileFolder, &out.excludeFileFolder, &out.process, &out.excludeProcess};
            const uint32_t lens[4] = {b.FileFolderLen, b.ExcludeFileFolderLen, b.ProcessLen, b.ExcludeProcessLen};
            for (int i = 0; i < 4; ++i) {
                const std::string &buf = mem.At(kOut + 0x10000 * uint64_t(i + 1));
                *texts[i] = lens[i] ? buf.substr(0, lens[i]) : "";
                if (lens[i]) {
                    EXPECT_EQ(buf[lens[i]], '\0') << "text " << i << " is closed by a zero byte";
                }
            }
            out.mask = b.Mask;
            out.flag = b.EntryFlag;
        }
        if (lastBlock)
            *lastBlock = b;
        return r;
    }

    FakeMemory mem;
    Engine engine;
};

TEST_F(CoreTest, AddAppendsModifyReplacesDeleteMovesDown)
{
    EXPECT_EQ(Short(kGetEntryCount).bytesReturned, 0u);
    ASSERT_TRUE(Put(Block("C:\\a", "*", 1, 1)).ok);
    ASSERT_TRUE(Put(Block("C:\\b", "notepad*", 2, 1, "C:\\b\\x", "explorer.exe")).ok);
    ASSERT_TRUE(Put(Block("C:\\c", "*", 3, 7)).ok);
    Result count = Short(kGetEntryCount);
    ASSERT_TRUE(count.ok);
    EXPECT_EQ(count.bytesReturned, 3u);

    Entry e;
    ASSERT_TRUE(Get(1, e).ok);
    EXPECT_EQ(e.fileFolder, "C:\\b");
    EXPECT_EQ(e.excludeFileFolder, "C:\\b\\x");
    EXPECT_EQ(e.process, "notepad*");
    EXPECT_EQ(e.excludeProcess, "explorer.exe");
    EXPECT_EQ(e.mask, 2u);

    ASSERT_TRUE(Put(Block("C:\\B2", "*", 0x80000000u, 9), true, 1).ok);
    EXPECT_EQ(engine.At(1)->fileFolder, "C:\\B2");
    EXPECT_EQ(engine.At(1)->mask, 0x80000000u);
    EXPECT_EQ(engine.At(1)->flag, 9);
    EXPECT_EQ(engine.At(2)->fileFolder, "C:\\c");

    ASSERT_TRUE(Short(kDeleteEntry, 0).ok);
    EXPECT_EQ(engine.Count(), 2u);
    EXPECT_EQ(engine.At(0)->fileFolder, "C:\\B2");
    EXPECT_EQ(engine.At(1)->fileFolder, "C:\\c");
}

TEST_F(CoreTest, IndexOutsideTheListFails)
{
    ASSERT_TRUE(Put(Block("C:\\a", "*", 1)).ok);
    for (uint32_t index : {1u, 2u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        EXPECT_EQ(Short(kDeleteEntry, index).error, kErrInvalidParameter);
        EXPECT_EQ(Put(Block("C:\\z", "*", 1), true, index).error, kErrInvalidParameter);
        Entry e;
        EXPECT_EQ(Get(index, e).error, kErrInvalidParameter);
    }
    EXPECT_EQ(engine.Count(), 1u);
    EXPECT_EQ(engine.At(0)->fileFolder, "C:\\a");
}

TEST_F(CoreTest, MoreDataCarriesTheNeededLengths)
{
    ASSERT_TRUE(Put(Block("C:\\folder", "*", 5, 1, "", "x.exe")).ok);
    TFPEntryBlock b{};
    b.PasswordLen = uint32_t(kCred.size());
    b.PasswordPtr = uint32_t(kPass);
    const auto bytes = b.ToBytes();
    mem.Put(kOut, std::string(bytes.begin(), bytes.end()));
    Result r = engine.Handle({Channel::Ansi, kGetEntry, 0, 0, kOut, 84}, mem);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, kErrMoreData);
    b = TFPEntryBlock::FromBytes(reinterpret_cast<const uint8_t *>(mem.At(kOut).data()));
    EXPECT_EQ(b.FileFolderLen, 9u);
    EXPECT_EQ(b.ExcludeFileFolderLen, 0u);
    EXPECT_EQ(b.ProcessLen, 1u);
    EXPECT_EQ(b.ExcludeProcessLen, 5u);
}

TEST_F(CoreTest, DescriptorAndListsAreSkippedWithoutBuffersAndReportedBack)
{
    TFPEntryBlock b = Block("C:\\sd", "*", 1);
    const std::string sd(40, '\x11'), list1(12, '\x22');
    mem.Put(0x50000, sd);
    mem.Put(0x51000, list1);
    b.SecDescLen = 40;
    b.SecDescPtr = 0x50000;
    b.List1Count = 2;
    b.List1Ptr = 0x51000;
    b.TotalSize += 40 + 12;
    ASSERT_TRUE(Put(b).ok);
    EXPECT_EQ(engine.At(0)->secDesc, sd);
    EXPECT_EQ(engine.At(0)->list1, list1);

    // No descriptor buffer, no lists: the entry is read, the sizes are reported.
    Entry e;
    TFPEntryBlock last{};
    ASSERT_TRUE(Get(0, e, &last).ok);
    EXPECT_EQ(last.SecDescLen, 40u);
    EXPECT_EQ(last.List1Count, 2u);
    EXPECT_EQ(last.List2Count, 0u);

    // A descriptor buffer too small: more data, with the descriptor's length.
    TFPEntryBlock g{};
    g.PasswordLen = uint32_t(kCred.size());
    g.PasswordPtr = uint32_t(kPass);
    g.FileFolderLen = 5;
    g.ProcessLen = 1;
    mem.Put(0x60000, std::string(6, 0));
    mem.Put(0x61000, std::string(2, 0));
    g.FileFolderPtr = 0x60000;
    g.ProcessPtr = 0x61000;
    mem.Put(0x62000, std::string(64, 0));
    g.SecDescPtr = 0x62000;
    g.SecDescLen = 39;
    auto bytes = g.ToBytes();
    mem.Put(kOut, std::string(bytes.begin(), bytes.end()));
    Result r = engine.Handle({Channel::Ansi, kGetEntry, 0, 0, kOut, 84}, mem);
    EXPECT_EQ(r.error, kErrMoreData);
    EXPECT_EQ(mem.At(0x62000), std::string(64, 0)) << "nothing written past a too small buffer";
    // Room enough: written.
    g.SecDescLen = 64;
    bytes = g.ToBytes();
    mem.Put(kOut, std::string(bytes.begin(), bytes.end()));
    r = engine.Handle({Channel::Ansi, kGetEntry, 0, 0, kOut, 84}, mem);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(mem.At(0x62000).substr(0, 40), sd);
    EXPECT_EQ(TFPEntryBlock::FromBytes(reinterpret_cast<const uint8_t *>(mem.At(kOut).data())).SecDescLen, 40u);

    // Modify with the counts but no lists keeps the entry's own lists.
    TFPEntryBlock m = Block("C:\\sd2", "*", 2);
    m.List1Count = 2;
    m.TotalSize += 12;
    ASSERT_TRUE(Put(m, true, 0).ok);
    EXPECT_EQ(engine.At(0)->list1, list1);
    EXPECT_EQ(engine.At(0)->fileFolder, "C:\\sd2");
    // ... but not with a count that does not match.
    m.List1Count = 3;
    m.TotalSize += 6;
    EXPECT_EQ(Put(m, true, 0).error, kErrInvalidParameter);
}

TEST_F(CoreTest, CredentialIsCheckedOnEveryRequest)
{
    ASSERT_TRUE(Put(Block("C:\\a", "*", 1)).ok);
    mem.Put(kPass, Z("Mirok Dune Sentinal"));
    for (uint32_t code : {kGetEntryCount, kStart, kStop, kClearEntries, kDeleteEntry})
        EXPECT_EQ(Short(code).error, kErrAccessDenied) << std::hex << code;
    EXPECT_EQ(Put(Block("C:\\b", "*", 1)).error, kErrAccessDenied);
    EXPECT_EQ(Put(Block("C:\\b", "*", 1), true, 0).error, kErrAccessDenied);
    Entry e;
    EXPECT_EQ(Get(0, e).error, kErrAccessDenied);
    // A prefix of the credential is not the credential.
    mem.Put(kPass, Z(kCred));
    EXPECT_EQ(engine.Handle({Channel::Ansi, kGetEntryCount, kPass, 5, 0, 0}, mem).error, kErrAccessDenied);
    EXPECT_EQ(engine.Handle({Channel::Ansi, kGetEntryCount, kPass, 0, 0, 0}, mem).error, kErrAccessDenied);
    EXPECT_EQ(engine.Count(), 1u);
    EXPECT_FALSE(engine.Active());

    // Another credential set at start.
    ASSERT_TRUE(engine.SetCredential("\xBE\xCF\xC8\xA3", u"\uC554\uD638")); // 암호
    EXPECT_EQ(Short(kGetEntryCount).error, kErrAccessDenied);
    mem.Put(0x9000, Z("\xBE\xCF\xC8\xA3"));
    EXPECT_TRUE(engine.Handle({Channel::Ansi, kGetEntryCount, 0x9000, 4, 0, 0}, mem).ok);
    mem.Put(0x9100, Utf16Bytes(u"\uC554\uD638"));
    EXPECT_TRUE(engine.Handle({Channel::Unicode, kGetEntryCount, 0x9100, 2, 0, 0}, mem).ok);
    EXPECT_FALSE(engine.SetCredential("", u"x"));
}

TEST_F(CoreTest, UnicodeChannelStartsStopsClearsAndCounts)
{
    ASSERT_TRUE(Put(Block("C:\\a", "*", 1)).ok);
    EXPECT_TRUE(Short(kStart, 0, Channel::Unicode).ok);
    EXPECT_TRUE(engine.Active());
    Result count = Short(kGetEntryCount, 0, Channel::Unicode);
    EXPECT_TRUE(count.ok);
    EXPECT_EQ(count.bytesReturned, 1u);
    EXPECT_TRUE(Short(kStop, 0, Channel::Unicode).ok);
    EXPECT_FALSE(engine.Active());
    // The wide credential with a byte length instead of characters is wrong.
    EXPECT_EQ(engine.Handle({Channel::Unicode, kGetEntryCount, kWide, uint32_t(2 * kCred.size()), 0, 0}, mem).error,
              998u);
    // No entry operations on this channel.
    const auto bytes = Block("C:\\b", "*", 1).ToBytes();
    mem.Put(kBlock, std::string(bytes.begin(), bytes.end()));
    for (uint32_t code : {kAddEntry, kModifyEntry, kDeleteEntry, kGetEntry})
        EXPECT_EQ(engine.Handle({Channel::Unicode, code, kBlock, 84, 0, 0}, mem).error, kErrInvalidFunction);
    EXPECT_TRUE(Short(kClearEntries, 0, Channel::Unicode).ok);
    EXPECT_EQ(engine.Count(), 0u);
}

TEST_F(CoreTest, BadInputIsRefusedAndLeavesTheListAlone)
{
    ASSERT_TRUE(Put(Block("C:\\keep", "*", 1)).ok);
    const Entry kept = *engine.At(0);

    // Unknown codes.
    for (uint32_t code : {0u, 0xA0242FFBu, 0xA024301Fu, 0xFFFFFFFFu})
        EXPECT_EQ(engine.Handle({Channel::Ansi, code, kPass, 19, 0, 0}, mem).error, kErrInvalidFunction);

    // Block length other than 84, block address refused.
    EXPECT_EQ(engine.Handle({Channel::Ansi, kAddEntry, kBlock, 83, 0, 0}, mem).error, kErrInvalidParameter);
    EXPECT_EQ(engine.Handle({Channel::Ansi, kAddEntry, 0xDEAD0000, 84, 0, 0}, mem).error, 998u);
    EXPECT_EQ(engine.Handle({Channel::Ansi, kGetEntry, 0, 0, 0xDEAD0000, 84}, mem).error, 998u);
    EXPECT_EQ(engine.Handle({Channel::Ansi, kGetEntry, 0, 0, kOut, 4}, mem).error, kErrInvalidParameter);

    // TotalSize that disagrees.
    TFPEntryBlock b = Block("C:\\new", "*", 1);
    b.TotalSize += 1;
    EXPECT_EQ(Put(b).error, kErrInvalidParameter);
    b.TotalSize -= 2;
    EXPECT_EQ(Put(b).error, kErrInvalidParameter);

    // A text not closed by a zero at its length, or with a zero inside.
    b = Block("C:\\new", "*", 1);
    mem.At(b.FileFolderPtr)[6] = 'X';
    EXPECT_EQ(Put(b).error, kErrInvalidParameter);
    b = Block("C:\\new", "*", 1);
    mem.At(b.FileFolderPtr)[2] = '\0';
    EXPECT_EQ(Put(b).error, kErrInvalidParameter);
    // A length running past the caller's buffer.
    b = Block("C:\\new", "*", 1);
    b.FileFolderLen += 100;
    b.TotalSize += 100;
    EXPECT_EQ(Put(b).error, 998u);
    // A text address the caller's memory does not have.
    b = Block("C:\\new", "*", 1);
    b.ProcessPtr = 0xBAD000;
    EXPECT_EQ(Put(b).error, 998u);

    // Sizes beyond bounds (with a matching TotalSize, so only the bound refuses them).
    b = Block("C:\\new", "*", 1);
    b.FileFolderLen = kMaxStringLen + 1;
    b.TotalSize = 84 + 5 + 19 + kMaxStringLen + 1 + 1;
    EXPECT_EQ(Put(b).error, kErrInvalidParameter);
    b = Block("C:\\new", "*", 1);
    b.SecDescLen = kMaxSecDescLen + 1;
    b.SecDescPtr = 0x70000;
    b.TotalSize += kMaxSecDescLen + 1;
    EXPECT_EQ(Put(b).error, kErrInvalidParameter);
    b = Block("C:\\new", "*", 1);
    b.List2Count = 0x40000000u; // 6 x count overflows 32 bits
    b.List2Ptr = 0x70000;
    b.TotalSize += uint32_t(6ull * 0x40000000u);
    EXPECT_EQ(Put(b).error, kErrInvalidParameter);
    b = Block("C:\\new", "*", 1);
    b.PasswordLen = 0xFFFFFFFFu;
    EXPECT_EQ(Put(b).error, kErrInvalidParameter);
    EXPECT_EQ(engine.Handle({Channel::Ansi, kGetEntryCount, kPass, 0xFFFFFFFFu, 0, 0}, mem).error,
              kErrInvalidParameter);
    EXPECT_EQ(engine.Handle({Channel::Unicode, kGetEntryCount, kWide, 0x80000000u, 0, 0}, mem).error,
              kErrInvalidParameter);
    // A list count with no list on add; a descriptor length with no descriptor.
    b = Block("C:\\new", "*", 1);
    b.List1Count = 1;
    b.TotalSize += 6;
    EXPECT_EQ(Put(b).error, kErrInvalidParameter);
    b = Block("C:\\new", "*", 1);
    b.SecDescLen = 8;
    b.TotalSize += 8;
    EXPECT_EQ(Put(b).error, kErrInvalidParameter);

    EXPECT_EQ(engine.Count(), 1u);
    EXPECT_EQ(*engine.At(0), kept);
}

TEST_F(CoreTest, EmptyTextsTravelAsZeroBytes)
{
    ASSERT_TRUE(Put(Block("C:\\a", "*", FP_PRESET_READONLY)).ok);
    Entry e;
    TFPEntryBlock last{};
    ASSERT_TRUE(Get(0, e, &last).ok);
    EXPECT_EQ(e.excludeFileFolder, "");
    EXPECT_EQ(e.excludeProcess, "");
    EXPECT_EQ(last.ExcludeFileFolderLen, 0u);
    EXPECT_EQ(last.Mask, FP_PRESET_READONLY);
    EXPECT_EQ(last.EntryFlag, 1);
}

TEST_F(CoreTest, ReadsAndWritesAreBatched)
{
    ASSERT_TRUE(Put(Block("C:\\a", "*", 1, 1, "C:\\a\\b", "x")).ok);
    Entry e;
    ASSERT_TRUE(Get(0, e).ok); // learns where the credential is
    mem.batches = mem.posted = 0;
    ASSERT_TRUE(Get(0, e).ok);
    // Each pass reads the block with the credential in one batch; the "more data" block goes
    // with the answer; the second pass writes texts and block in one batch (the texts lie far
    // apart here, so they are not read ahead).
    EXPECT_EQ(mem.batches, 3);
    EXPECT_EQ(mem.posted, 1);
    mem.batches = 0;
    ASSERT_TRUE(Put(Block("C:\\c", "*", 1)).ok);
    EXPECT_EQ(mem.batches, 2) << "the block, then credential and texts together";
}

TEST_F(CoreTest, CredentialReadAheadIsCheckedAfresh)
{
    ASSERT_TRUE(Put(Block("C:\\a", "*", 1)).ok);
    Entry e;
    ASSERT_TRUE(Get(0, e).ok);
    // Same place, other text: refused.
    mem.Put(kPass, Z("Mirok Dune Sentinal"));
    EXPECT_EQ(Get(0, e).error, kErrAccessDenied);
    // The credential moved: read from its new place.
    mem.Put(0xA000, Z(kCred));
    TFPEntryBlock b{};
    b.PasswordLen = uint32_t(kCred.size());
    b.PasswordPtr = 0xA000;
    b.FileFolderLen = 4;
    b.ProcessLen = 1;
    mem.Put(0xB000, std::string(5, 'x'));
    mem.Put(0xC000, std::string(2, 'x'));
    b.FileFolderPtr = 0xB000;
    b.ProcessPtr = 0xC000;
    const auto bytes = b.ToBytes();
    mem.Put(kOut, std::string(bytes.begin(), bytes.end()));
    ASSERT_TRUE(engine.Handle({Channel::Ansi, kGetEntry, 0, 0, kOut, 84}, mem).ok);
    EXPECT_EQ(mem.At(0xB000), std::string("C:\\a\0", 5));
    // A credential with a different length at the old place is not taken from the read-ahead.
    mem.Put(kPass, Z(kCred + "x"));
    b.PasswordPtr = uint32_t(kPass);
    const auto bytes2 = b.ToBytes();
    mem.Put(kOut, std::string(bytes2.begin(), bytes2.end()));
    EXPECT_EQ(engine.Handle({Channel::Ansi, kGetEntry, 0, 0, kOut, 84}, mem).error, kErrInvalidParameter);
}

TEST_F(CoreTest, WritesIntoMemoryJustReadGoWithTheAnswer)
{
    ASSERT_TRUE(Put(Block("C:\\first", "*", 1, 1, "C:\\first\\x", "a.exe")).ok);
    ASSERT_TRUE(Put(Block("C:\\a much longer second path", "notepad*", 2)).ok);
    constexpr uint64_t kPacked = 0x40000;
    Entry e;
    ASSERT_TRUE(GetPacked(0, e, kPacked).ok); // learns where the texts go
    mem.batches = mem.writes = mem.posted = 0;
    Entry second;
    ASSERT_TRUE(GetPacked(1, second, kPacked).ok);
    EXPECT_EQ(second.fileFolder, "C:\\a much longer second path");
    EXPECT_EQ(second.process, "notepad*");
    EXPECT_EQ(second.excludeFileFolder, "");
    EXPECT_EQ(second.mask, 2u);
    EXPECT_EQ(mem.batches, 2) << "one batch of reads per pass, no write waited for";
    EXPECT_EQ(mem.writes, 0);
    EXPECT_EQ(mem.posted, 1 + 3) << "the more-data block, then two texts and the block";
    EXPECT_EQ(mem.postedStatus, 0u);

    // Where writes cost no more than reads, nothing is read ahead and the writes are waited for.
    mem.readAheadPays = false;
    mem.batches = mem.reads = mem.writes = mem.posted = 0;
    ASSERT_TRUE(GetPacked(1, second, kPacked).ok);
    EXPECT_EQ(second.fileFolder, "C:\\a much longer second path");
    EXPECT_EQ(mem.reads, 4) << "block and credential in each pass";
    EXPECT_EQ(mem.writes, 3);
    mem.readAheadPays = true;

    // Texts elsewhere than read ahead: written and waited for, with the same result.
    mem.batches = mem.writes = mem.posted = 0;
    ASSERT_TRUE(GetPacked(0, e, 0x90000).ok);
    EXPECT_EQ(e.fileFolder, "C:\\first");
    EXPECT_EQ(e.excludeFileFolder, "C:\\first\\x");
    EXPECT_EQ(e.excludeProcess, "a.exe");
    EXPECT_EQ(mem.writes, 5);

    // A text address that cannot be written is refused, never answered as done.
    mem.Put(0x90000, "");
    TFPEntryBlock b{};
    b.PasswordLen = uint32_t(kCred.size());
    b.PasswordPtr = uint32_t(kPass);
    b.FileFolderLen = 30;
    b.FileFolderPtr = 0xBAD000;
    b.ProcessLen = 8;
    b.ProcessPtr = 0x90000;
    const auto bytes = b.ToBytes();
    mem.Put(kOut, std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(engine.Handle({Channel::Ansi, kGetEntry, 0, 1, kOut, 84}, mem).error, 998u);
    // Memory read ahead that has gone since: nothing is written blindly into it.
    ASSERT_TRUE(GetPacked(1, second, kPacked).ok);
    mem.Put(kPacked, std::string(4, 'x'));
    b.FileFolderPtr = uint32_t(kPacked);
    b.ProcessPtr = uint32_t(kPacked) + 31;
    const auto bytes2 = b.ToBytes();
    mem.Put(kOut, std::string(bytes2.begin(), bytes2.end()));
    mem.posted = 0;
    EXPECT_EQ(engine.Handle({Channel::Ansi, kGetEntry, 0, 1, kOut, 84}, mem).error, 998u);
    EXPECT_EQ(mem.posted, 0);
}

} // namespace
