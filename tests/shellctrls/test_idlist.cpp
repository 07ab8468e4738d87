// Item ID list routines: sizes, joins, ancestors, stripping, malformed lists.
#include "shellctrls/ShellFolder.h"
#include "support/shell_env.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

namespace {

// A list of items whose payloads are the given texts.
PItemIDList MakeList(const std::vector<std::string> &payloads)
{
    size_t size = 2;
    for (const auto &p : payloads)
        size += 2 + p.size();
    PItemIDList list = AllocIdList(size);
    auto *out = reinterpret_cast<uint8_t *>(list);
    for (const auto &p : payloads) {
        const uint16_t cb = static_cast<uint16_t>(2 + p.size());
        std::memcpy(out, &cb, 2);
        std::memcpy(out + 2, p.data(), p.size());
        out += cb;
    }
    return list;
}

std::vector<std::string> Payloads(LPCITEMIDLIST list)
{
    std::vector<std::string> out;
    const auto *p = reinterpret_cast<const uint8_t *>(list);
    for (int i = 0, n = ItemCount(list); i < n; ++i) {
        uint16_t cb;
        std::memcpy(&cb, p, 2);
        out.emplace_back(reinterpret_cast<const char *>(p + 2), cb - 2);
        p += cb;
    }
    return out;
}

bool SameBytes(LPCITEMIDLIST a, LPCITEMIDLIST b)
{
    return IdListSize(a) == IdListSize(b) && std::memcmp(a, b, IdListSize(a)) == 0;
}

class IdListTest : public ::testing::Test {
protected:
    void SetUp() override { blocks_ = vx::shell::TaskMemBlockCount(); }
    void TearDown() override
    {
        // Every list a routine handed out was given back.
        EXPECT_EQ(vx::shell::TaskMemBlockCount(), blocks_);
    }
    size_t blocks_ = 0;
};

TEST_F(IdListTest, SizesAndCounts)
{
    EXPECT_EQ(IdListSize(nullptr), 0u);
    EXPECT_EQ(ItemCount(nullptr), 0);
    PItemIDList empty = AllocIdList(2);
    EXPECT_EQ(IdListSize(empty), 2u);
    EXPECT_EQ(ItemCount(empty), 0);
    PItemIDList abc = MakeList({"a", "bb", "ccc"});
    EXPECT_EQ(IdListSize(abc), 2u + 3 + 4 + 5);
    EXPECT_EQ(ItemCount(abc), 3);
    PItemIDList second = NextItem(abc);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(second) - reinterpret_cast<uint8_t *>(abc), 3);
    EXPECT_EQ(Payloads(second), (std::vector<std::string>{"bb", "ccc"}));
    EXPECT_EQ(NextItem(nullptr), nullptr);
    FreeIdList(empty);
    FreeIdList(abc);
}

TEST_F(IdListTest, AllocationIsZeroFilledAndFailuresAreReported)
{
    PItemIDList list = AllocIdList(64);
    ASSERT_NE(list, nullptr);
    const auto *bytes = reinterpret_cast<const uint8_t *>(list);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(bytes[i], 0) << i;
    FreeIdList(list);

    vx::shell::FailNext(vx::shell::FailPoint::AllocateIdList, E_OUTOFMEMORY);
    EXPECT_EQ(AllocIdList(16), nullptr);

    vx::shell::FailNext(vx::shell::FailPoint::GetMalloc, E_FAIL);
    try {
        AllocIdList(16);
        FAIL() << "no error without an allocator";
    } catch (const EShellResultError &e) {
        EXPECT_EQ(e.Code, E_FAIL);
    }
}

TEST_F(IdListTest, CopyAndJoin)
{
    PItemIDList l = MakeList({"x", "yy"});
    PItemIDList empty = AllocIdList(2);
    PItemIDList copy = CopyIdList(l);
    EXPECT_NE(copy, l);
    EXPECT_TRUE(SameBytes(copy, l));

    PItemIDList j1 = JoinIdLists(nullptr, l);
    PItemIDList j2 = JoinIdLists(empty, l);
    EXPECT_TRUE(SameBytes(j1, copy));
    EXPECT_TRUE(SameBytes(j2, copy));

    PItemIDList j3 = JoinIdLists(l, l);
    EXPECT_EQ(Payloads(j3), (std::vector<std::string>{"x", "yy", "x", "yy"}));
    EXPECT_EQ(IdListSize(j3), 2 * IdListSize(l) - 2);

    // A missing second list joins as the empty list: the result is still terminated.
    PItemIDList j4 = JoinIdLists(l, nullptr);
    EXPECT_TRUE(SameBytes(j4, l));
    EXPECT_EQ(CopyIdList(nullptr), nullptr);

    for (PItemIDList p : {l, empty, copy, j1, j2, j3, j4})
        FreeIdList(p);
}

TEST_F(IdListTest, StripAndLastItem)
{
    PItemIDList one = MakeList({"only"});
    StripLastItem(one);
    EXPECT_EQ(ItemCount(one), 0);
    EXPECT_EQ(IdListSize(one), 2u);
    StripLastItem(one); // the empty list stays empty
    EXPECT_EQ(IdListSize(one), 2u);
    StripLastItem(nullptr);

    PItemIDList three = MakeList({"a", "bb", "ccc"});
    PItemIDList last = LastItemOf(three);
    EXPECT_EQ(ItemCount(last), 1);
    EXPECT_EQ(Payloads(last), (std::vector<std::string>{"ccc"}));
    StripLastItem(three);
    EXPECT_EQ(Payloads(three), (std::vector<std::string>{"a", "bb"}));

    PItemIDList ofEmpty = LastItemOf(one);
    ASSERT_NE(ofEmpty, nullptr);
    EXPECT_EQ(IdListSize(ofEmpty), 2u);
    for (PItemIDList p : {one, three, last, ofEmpty})
        FreeIdList(p);
}

TEST_F(IdListTest, Ancestors)
{
    PItemIDList abc = MakeList({"a", "b", "c"});
    TIdListList *ancestors = AncestorIdLists(abc);
    ASSERT_EQ(ancestors->size(), 3u);
    EXPECT_EQ(Payloads((*ancestors)[0]), std::vector<std::string>{});
    EXPECT_EQ(Payloads((*ancestors)[1]), (std::vector<std::string>{"a"}));
    EXPECT_EQ(Payloads((*ancestors)[2]), (std::vector<std::string>{"a", "b"}));
    // The given list is left as it was.
    EXPECT_EQ(ItemCount(abc), 3);
    FreeIdListList(ancestors);

    PItemIDList one = MakeList({"a"});
    ancestors = AncestorIdLists(one);
    ASSERT_EQ(ancestors->size(), 1u);
    EXPECT_EQ(IdListSize((*ancestors)[0]), 2u);
    FreeIdListList(ancestors);

    PItemIDList empty = AllocIdList(2);
    ancestors = AncestorIdLists(empty);
    EXPECT_TRUE(ancestors->empty());
    FreeIdListList(ancestors);
    FreeIdListList(nullptr);

    for (PItemIDList p : {abc, one, empty})
        FreeIdList(p);
}

TEST_F(IdListTest, MalformedListsEndWhereTheyBreak)
{
    // An item whose cb runs past the end of its block.
    PItemIDList list = AllocIdList(12);
    auto *b = reinterpret_cast<uint8_t *>(list);
    const uint16_t good = 4, bad = 200;
    std::memcpy(b, &good, 2);
    b[2] = 'o';
    b[3] = 'k';
    std::memcpy(b + 4, &bad, 2);
    EXPECT_EQ(ItemCount(list), 1);
    EXPECT_EQ(IdListSize(list), 6u);
    PItemIDList copy = CopyIdList(list);
    EXPECT_EQ(Payloads(copy), (std::vector<std::string>{"ok"}));
    PItemIDList last = LastItemOf(list);
    EXPECT_EQ(Payloads(last), (std::vector<std::string>{"ok"}));
    TIdListList *ancestors = AncestorIdLists(list);
    EXPECT_EQ(ancestors->size(), 1u);
    FreeIdListList(ancestors);
    PItemIDList joined = JoinIdLists(list, list);
    EXPECT_EQ(ItemCount(joined), 2);

    // An item with cb 1 (shorter than its own count) ends the list instead of looping.
    const uint16_t one = 1;
    std::memcpy(b + 4, &one, 2);
    EXPECT_EQ(ItemCount(list), 1);
    StripLastItem(list);
    EXPECT_EQ(ItemCount(list), 0);

    // No terminator at all: the block ends the list.
    PItemIDList full = AllocIdList(4);
    const uint16_t four = 4;
    std::memcpy(full, &four, 2);
    EXPECT_EQ(ItemCount(full), 0);
    EXPECT_EQ(IdListSize(full), 2u);

    // The platform's own routines refuse such lists without reading past them.
    ComPtr<IShellFolder> desktop = DesktopFolder();
    STRRET s{};
    EXPECT_NE(desktop->GetDisplayNameOf(full, SHGDN_NORMAL, &s), S_OK);
    ComPtr<IShellFolder> bound;
    EXPECT_NE(desktop->BindToObject(full, nullptr, IID_IShellFolder, bound.PutVoid()), S_OK);
    DWORD flags = SFGAO_FOLDER;
    LPCITEMIDLIST one_item = full;
    EXPECT_NE(desktop->GetAttributesOf(1, &one_item, &flags), S_OK);
    // A broken list never equals a sound one.
    EXPECT_NE(desktop->CompareIDs(0, full, list), S_OK);

    for (PItemIDList p : {list, copy, last, joined, full})
        FreeIdList(p);
}

TEST_F(IdListTest, ForeignMemoryIsReadOnlyUpToItsTerminator)
{
    // A list in memory the allocator does not know: walked up to its terminator, never freed.
    alignas(2) uint8_t buffer[8] = {4, 0, 'h', 'i', 0, 0, 0xEE, 0xEE};
    auto *list = reinterpret_cast<LPCITEMIDLIST>(buffer);
    EXPECT_EQ(ItemCount(list), 1);
    EXPECT_EQ(IdListSize(list), 6u);
    FreeIdList(list); // not the allocator's: ignored
    EXPECT_EQ(buffer[2], 'h');
}

IMalloc *TaskAlloc()
{
    IMalloc *m = nullptr;
    EXPECT_EQ(SHGetMalloc(&m), S_OK);
    return m;
}

TEST_F(IdListTest, BlockBoundsHoldForEverySizeAndInsideBlocks)
{
    IMalloc *m = TaskAlloc();
    for (size_t size : {size_t(1), size_t(2), size_t(15), size_t(16), size_t(17), size_t(100), size_t(256),
                        size_t(257), size_t(1000), size_t(4097), size_t(16384), size_t(16385), size_t(70000),
                        size_t(200000)}) {
        SCOPED_TRACE(size);
        auto *p = static_cast<uint8_t *>(m->Alloc(size));
        ASSERT_NE(p, nullptr);
        const size_t held = size < 2 ? 2 : size;
        EXPECT_EQ(m->GetSize(p), held);
        EXPECT_EQ(m->DidAlloc(p), 1);
        for (size_t at : {size_t(0), size_t(1), held / 2, held - 1}) {
            EXPECT_EQ(vx::shell::TaskMemBytesFrom(p + at), held - at) << at;
            EXPECT_EQ(p[at], 0) << at;
        }
        // Inside a block is not a block: no size, and freeing there is ignored.
        EXPECT_EQ(m->GetSize(p + 1), static_cast<size_t>(-1));
        const size_t blocks = vx::shell::TaskMemBlockCount();
        m->Free(p + 1);
        EXPECT_EQ(vx::shell::TaskMemBlockCount(), blocks);
        EXPECT_EQ(vx::shell::TaskMemBytesFrom(p), held);
        m->Free(p);
        EXPECT_EQ(vx::shell::TaskMemBlockCount(), blocks - 1);
        m->Free(p); // a second free of the same block changes nothing
        EXPECT_EQ(vx::shell::TaskMemBlockCount(), blocks - 1);
    }
    int local = 0;
    EXPECT_EQ(vx::shell::TaskMemBytesFrom(&local), 0u);
    EXPECT_EQ(m->GetSize(&local), static_cast<size_t>(-1));
    EXPECT_EQ(vx::shell::TaskMemBytesFrom(nullptr), 0u);
    EXPECT_EQ(m->Alloc((size_t(256) << 20) + 1), nullptr);
}

TEST_F(IdListTest, ReusedBlocksAreZeroFilledAndReallocKeepsTheBytes)
{
    IMalloc *m = TaskAlloc();
    std::vector<uint8_t *> blocks;
    for (int i = 0; i < 3000; ++i) { // more than one chunk's worth of one size
        auto *p = static_cast<uint8_t *>(m->Alloc(60));
        ASSERT_NE(p, nullptr);
        std::memset(p, 0xAB, 60);
        blocks.push_back(p);
    }
    for (size_t i = 0; i < blocks.size(); ++i)
        ASSERT_EQ(vx::shell::TaskMemBytesFrom(blocks[i] + 7), 53u) << i;
    for (size_t i = 0; i < blocks.size(); i += 2)
        m->Free(blocks[i]);
    for (size_t i = 1; i < blocks.size(); i += 2)
        ASSERT_EQ(blocks[i][59], 0xAB) << i; // neighbours of freed blocks keep their bytes
    for (size_t i = 0; i < blocks.size(); i += 2) {
        blocks[i] = static_cast<uint8_t *>(m->Alloc(60));
        ASSERT_NE(blocks[i], nullptr);
        for (int k = 0; k < 60; ++k)
            ASSERT_EQ(blocks[i][k], 0) << i << " " << k;
    }
    auto *grown = static_cast<uint8_t *>(m->Realloc(blocks[1], 5000));
    ASSERT_NE(grown, nullptr);
    blocks[1] = grown;
    EXPECT_EQ(grown[0], 0xAB);
    EXPECT_EQ(grown[59], 0xAB);
    EXPECT_EQ(grown[60], 0);
    EXPECT_EQ(vx::shell::TaskMemBytesFrom(grown + 4999), 1u);
    for (uint8_t *p : blocks)
        m->Free(p);
}

TEST_F(IdListTest, BoundsStayRightWhileOtherThreadsAllocate)
{
    IMalloc *m = TaskAlloc();
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([m, t, &wrong] {
            std::vector<std::pair<uint8_t *, size_t>> mine;
            for (int i = 0; i < 2000; ++i) {
                const size_t size = 2 + static_cast<size_t>((i * 37 + t * 11) % 300);
                auto *p = static_cast<uint8_t *>(m->Alloc(size));
                if (!p) {
                    ++wrong[static_cast<size_t>(t)];
                    continue;
                }
                mine.emplace_back(p, size);
                if (i % 3 == 0) {
                    m->Free(mine.front().first);
                    mine.erase(mine.begin());
                }
                for (size_t k = 0; k < mine.size(); k += 17)
                    if (vx::shell::TaskMemBytesFrom(mine[k].first + 1) != mine[k].second - 1)
                        ++wrong[static_cast<size_t>(t)];
            }
            for (auto &[p, size] : mine)
                m->Free(p);
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

#if defined(__SANITIZE_ADDRESS__)
TEST(TaskMemoryDeathTest, ReadingPastABlockOrAfterFreeIsCaught)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto *p = reinterpret_cast<volatile uint8_t *>(AllocIdList(20));
            std::printf("%d\n", p[24]);
        },
        "AddressSanitizer");
    EXPECT_DEATH(
        {
            PItemIDList list = AllocIdList(20);
            FreeIdList(list);
            std::printf("%d\n", reinterpret_cast<volatile uint8_t *>(list)[0]);
        },
        "AddressSanitizer");
}
#endif

TEST_F(IdListTest, SameItemIdUsesTheDesktopsOrder)
{
    ShellTestEnv env;
    env.File(env.T("a.txt"));
    env.File(env.T("b.txt"));
    ComPtr<IShellFolder> desktop = DesktopFolder();
    LPITEMIDLIST a1 = ParseName(desktop.Get(), "T:\\a.txt");
    LPITEMIDLIST a2 = ParseName(desktop.Get(), "T:\\A.TXT");
    LPITEMIDLIST b = ParseName(desktop.Get(), "T:\\b.txt");
    ASSERT_TRUE(a1 && a2 && b);
    EXPECT_TRUE(SameItemId(a1, a2));
    EXPECT_FALSE(SameItemId(a1, b));
    PItemIDList empty = AllocIdList(2);
    EXPECT_TRUE(SameItemId(empty, empty));
    EXPECT_FALSE(SameItemId(empty, a1));
    for (void *p : {static_cast<void *>(a1), static_cast<void *>(a2), static_cast<void *>(b), static_cast<void *>(empty)})
        FreeList(p);
}

TEST(EnumFlags, MapsEachType)
{
    EXPECT_EQ(EnumFlagsOf({}), 0u);
    EXPECT_EQ(EnumFlagsOf({otFolders}), 0x20u);
    EXPECT_EQ(EnumFlagsOf({otNonFolders}), 0x40u);
    EXPECT_EQ(EnumFlagsOf({otFolders, otNonFolders, otHidden}), 0xE0u);
}

} // namespace
