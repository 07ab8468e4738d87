#include "engine/fprec.h"
#include "support/cp949.h"

#include <cstring>
#include <gtest/gtest.h>

TEST(MaskToText, WorkedResults)
{
    EXPECT_EQ(MaskToText(FP_PRESET_NOACCESS), Cp949("열기, 생성."));
    EXPECT_EQ(MaskToText(FP_PRESET_FULLHIDDEN), Cp949("열기, 보이기, 생성."));
    EXPECT_EQ(MaskToText(FP_PRESET_INVISIBLE), Cp949("보이기."));
    EXPECT_EQ(MaskToText(FP_PRESET_READONLY),
              Cp949("이름수정, 삭제, 쓰기, 생성, 교체, 폴더생성, 폴더삭제, 속성변경."));
    EXPECT_EQ(MaskToText(FP_READ), Cp949("읽기."));
    EXPECT_EQ(MaskToText(FP_GET_ATTRIBUTES), "Retreive attributes.");
}

TEST(MaskToText, UnnamedBitsGiveEmptyText)
{
    for (uint32_t mask : {0u, 0x1u, 0x2u, 0x00200000u, 0x00400000u, 0x80000000u, 0xFF800003u})
        EXPECT_EQ(MaskToText(mask), "") << std::hex << mask;
    // Unnamed bits next to a named one do not change its text.
    EXPECT_EQ(MaskToText(FP_READ | 0x80000001u), Cp949("읽기."));
}

TEST(MaskToText, AllValueAndAllPlusBitZero)
{
    EXPECT_EQ(MaskToText(FP_ALL), "Inaccessable or users filtered.");
    EXPECT_EQ(MaskToText(0x007FFFFE), "Inaccessable or users filtered.");
    const AnsiString all = MaskToText(0x007FFFFF);
    EXPECT_EQ(all, Cp949("열기, 이름수정, 삭제, 실행하기, 읽기, 쓰기, 보이기, 생성, 교체, 폴더생성, "
                         "폴더삭제, Retreive attributes, 속성변경, Retreive last access time, "
                         "Change last access time, Retreive creation time, Change creation time, "
                         "Retreive modification time, Change modification time."));
}

TEST(MaskToText, FixedOrderNotBitOrder)
{
    EXPECT_EQ(MaskToText(FP_READ | FP_EXECUTE), Cp949("실행하기, 읽기."));
    EXPECT_EQ(MaskToText(FP_DIR_DELETE | FP_DIR_CREATE), Cp949("폴더생성, 폴더삭제."));
    EXPECT_EQ(MaskToText(FP_SET_MODIFICATION_TIME | FP_GET_LAST_ACCESS_TIME | FP_OPEN),
              Cp949("열기, Retreive last access time, Change modification time."));
}

TEST(MaskPresetName, ExactComparisonOnly)
{
    EXPECT_EQ(MaskPresetName(0x00000A04), Cp949("완전감춤"));
    EXPECT_EQ(MaskPresetName(0x001078B0), Cp949("읽기전용"));
    EXPECT_EQ(MaskPresetName(0x00000804), Cp949("접근금지"));
    EXPECT_EQ(MaskPresetName(0x00000200), Cp949("보이지않게"));
    EXPECT_EQ(MaskPresetName(0), Cp949("기타"));
    EXPECT_EQ(MaskPresetName(FP_PRESET_NOACCESS | FP_READ), Cp949("기타"));
    EXPECT_EQ(MaskPresetName(FP_PRESET_INVISIBLE | 0x80000000u), Cp949("기타"));
    EXPECT_EQ(MaskPresetName(FP_ALL), Cp949("기타"));
}

TEST(MaskToDecimal, UnsignedEvenWithBitThirtyOne)
{
    EXPECT_EQ(MaskToDecimal(0), "0");
    EXPECT_EQ(MaskToDecimal(FP_PRESET_READONLY), "1079472");
    EXPECT_EQ(MaskToDecimal(FP_ALL), "8388606");
    EXPECT_EQ(MaskToDecimal(0x80000000u), "2147483648");
    EXPECT_EQ(MaskToDecimal(0xFFFFFFFFu), "4294967295");
}

TEST(TFPRecTest, StartsEmptyAndCopiesAreIndependent)
{
    TFPRec a;
    EXPECT_TRUE(a.FileFolder.empty() && a.ExcludeFileFolder.empty() && a.Process.empty() &&
                a.ExcludeProcess.empty());
    EXPECT_EQ(a.Mask, 0u);
    a.FileFolder = "C:\\data";
    TFPRec b = a;
    b.FileFolder += "\\x";
    EXPECT_EQ(a.FileFolder, "C:\\data");
    EXPECT_NE(a, b);
}

TEST(TFPEntryBlockTest, RawBytesAreLittleEndianAtFixedOffsets)
{
    TFPEntryBlock block{};
    block.TotalSize = 0x11223344;
    block.FileFolderLen = 10;
    block.PasswordLen = 19;
    block.Mask = 0x80000A04;
    block.PasswordPtr = 0xDEADBEEF;
    block.EntryFlag = 1;
    block.SecDescLen = 0x0102;
    block.List2Ptr = 0xA1B2C3D4;
    const TFPEntryBlock::Bytes bytes = block.ToBytes();
    ASSERT_EQ(bytes.size(), 84u);
    auto u32At = [&](size_t off) {
        return uint32_t(bytes[off]) | uint32_t(bytes[off + 1]) << 8 | uint32_t(bytes[off + 2]) << 16 |
               uint32_t(bytes[off + 3]) << 24;
    };
    EXPECT_EQ(bytes[0], 0x44);
    EXPECT_EQ(bytes[3], 0x11);
    EXPECT_EQ(u32At(4), 10u);
    EXPECT_EQ(u32At(20), 19u);
    EXPECT_EQ(u32At(24), 0x80000A04u);
    EXPECT_EQ(u32At(52), 0xDEADBEEFu);
    EXPECT_EQ(bytes[56], 1);
    EXPECT_EQ(bytes[57], 0);
    EXPECT_EQ(u32At(60), 0x0102u);
    EXPECT_EQ(u32At(80), 0xA1B2C3D4u);
    for (size_t off = 28; off < 36; ++off)
        EXPECT_EQ(bytes[off], 0) << off;

    uint8_t raw[84];
    std::memcpy(raw, bytes.data(), 84);
    raw[44] = 0x78; // ProcessPtr low byte
    raw[72] = 3;    // List2Count
    const TFPEntryBlock back = TFPEntryBlock::FromBytes(raw);
    EXPECT_EQ(back.ProcessPtr, 0x78u);
    EXPECT_EQ(back.List2Count, 3u);
    EXPECT_EQ(back.Mask, 0x80000A04u);
    EXPECT_EQ(back.TotalSize, 0x11223344u);
}
