#include "password/scrambler.h"

#include "platform/registry/registry.h"
#include "support/sandbox.h"
#include "support/cp949.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>

namespace {

// Makes the next draws of the start offset return the given values, then the clock again.
class ForcedOffsets {
public:
    explicit ForcedOffsets(std::vector<int> offsets)
        : offsets_(std::move(offsets))
    {
        previous_ = SetScrambleOffsetSource([this] {
            const int o = next_ < offsets_.size() ? offsets_[next_] : offsets_.back();
            ++next_;
            return o;
        });
    }
    ~ForcedOffsets() { SetScrambleOffsetSource(previous_); }
    size_t draws() const { return next_; }

private:
    std::vector<int> offsets_;
    size_t next_ = 0;
    ScrambleOffsetSource previous_;
};

AnsiString D(const AnsiString &text)
{
    return ScrambleText("D", text, ScrambleKey);
}

bool IsUpperHex(const AnsiString &text)
{
    return text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

} // namespace

TEST(Scrambler, KeyAndWorkedExamples)
{
    EXPECT_EQ(ScrambleKey, "k#%$&!+47");
    EXPECT_EQ(ScrambleKey.size(), 9u);
    // 'A' + 0x10 = 0x51, ^ 'k' (0x6B) = 0x3A; 'B' + 0x3A = 0x7C, ^ '#' (0x23) = 0x5F.
    EXPECT_EQ(ScrambleWithOffset("AB", ScrambleKey, 0x10), "103A5F");
    EXPECT_EQ(D("103A5F"), "AB");
    EXPECT_EQ(D("103a5f"), "AB"); // either case reads
    // A sum of exactly 255 scrambles from 0: 0xF0 + 0x0F = 255 -> 0, ^ 0x6B.
    EXPECT_EQ(ScrambleWithOffset("\xF0", ScrambleKey, 0x0F), "0F6B");
    EXPECT_EQ(D("0F6B"), "\xF0");
    // Sums above 255 wrap modulo 255, not 256: 0xFF + 0x02 = 257 -> 2, ^ 0x6B = 0x69.
    EXPECT_EQ(ScrambleWithOffset("\xFF", ScrambleKey, 0x02), "0269");
    EXPECT_EQ(D("0269"), "\xFF");
    // Leading zero kept in each pair.
    EXPECT_EQ(ScrambleWithOffset("", ScrambleKey, 0x05), "05");
}

TEST(Scrambler, ActionIsExactAndCaseSensitive)
{
    ForcedOffsets forced({0x10});
    EXPECT_EQ(ScrambleText("e", "AB", ScrambleKey), "");
    EXPECT_EQ(ScrambleText("d", "103A5F", ScrambleKey), "");
    EXPECT_EQ(ScrambleText("", "AB", ScrambleKey), "");
    EXPECT_EQ(ScrambleText("EE", "AB", ScrambleKey), "");
    EXPECT_EQ(ScrambleText("X", "103A5F", ScrambleKey), "");
    EXPECT_EQ(forced.draws(), 0u);
    EXPECT_EQ(ScrambleText("E", "AB", ScrambleKey), "103A5F");
}

TEST(Scrambler, FormatIsTwoUpperHexDigitsPerByte)
{
    const AnsiString korean = Cp949("비밀번호"); // four syllables, eight bytes
    ASSERT_EQ(korean.size(), 8u);
    for (const AnsiString &plain : {AnsiString("a"), AnsiString("secret"), korean, AnsiString(40, 'x')}) {
        const AnsiString text = ScrambleText("E", plain, ScrambleKey);
        EXPECT_EQ(text.size(), 2 + 2 * plain.size());
        EXPECT_TRUE(IsUpperHex(text)) << text;
        EXPECT_EQ(D(text), plain);
    }
    // The empty password gives the offset pair alone, which cannot be read back.
    const AnsiString empty = ScrambleText("E", "", ScrambleKey);
    EXPECT_EQ(empty.size(), 2u);
    EXPECT_TRUE(IsUpperHex(empty));
    EXPECT_THROW(D(empty), EConvertError);
}

TEST(Scrambler, EveryOffsetAndByteRoundTrips)
{
    // A single raw pass loses only the byte 255 after an offset of 255.
    for (int offset = 0; offset < 256; ++offset) {
        for (int byte = 1; byte < 256; ++byte) {
            const AnsiString plain(1, static_cast<char>(byte));
            const AnsiString text = ScrambleWithOffset(plain, ScrambleKey, static_cast<uint8_t>(offset));
            if (offset == 255 && byte == 255)
                EXPECT_NE(D(text), plain);
            else
                ASSERT_EQ(D(text), plain) << "offset " << offset << " byte " << byte;
        }
    }
    // Every pair of bytes (so the second byte sees every chained offset) comes back through "E".
    for (int a = 1; a < 256; ++a) {
        for (int b = 1; b < 256; ++b) {
            const AnsiString plain{static_cast<char>(a), static_cast<char>(b)};
            ASSERT_EQ(D(ScrambleText("E", plain, ScrambleKey)), plain) << a << "," << b;
        }
    }
}

TEST(Scrambler, LostByteIsAvoidedByAnotherOffset)
{
    ForcedOffsets forced({255});
    const AnsiString plain = "\xFF" "abc";
    const AnsiString text = ScrambleText("E", plain, ScrambleKey);
    EXPECT_NE(text.substr(0, 2), "FF");
    EXPECT_EQ(D(text), plain);

    // A password of zero bytes only cannot come back from any offset; it is refused.
    EXPECT_THROW(ScrambleText("E", AnsiString("\0\0", 2), ScrambleKey), EScrambleError);
}

TEST(Scrambler, OffsetsVaryAndCoverTheWholeRange)
{
    {
        ForcedOffsets forced({1, 2});
        const AnsiString first = ScrambleText("E", "same", ScrambleKey);
        const AnsiString second = ScrambleText("E", "same", ScrambleKey);
        EXPECT_NE(first, second);
        EXPECT_EQ(D(first), "same");
        EXPECT_EQ(D(second), "same");
    }
    std::set<AnsiString> seen;
    for (int i = 0; i < 6000 && seen.size() < 256; ++i)
        seen.insert(ScrambleText("E", "", ScrambleKey));
    EXPECT_EQ(seen.size(), 256u);
}

TEST(Scrambler, KeyCyclesFromTheTenthByte)
{
    const AnsiString plain = "0123456789abcdef";
    const AnsiString doubled = ScrambleKey + ScrambleKey;
    EXPECT_EQ(ScrambleWithOffset(plain, ScrambleKey, 77), ScrambleWithOffset(plain, doubled, 77));
    // A key that differs in its first character changes the first and the tenth pair.
    AnsiString other = doubled;
    other[9] = 'K';
    const AnsiString a = ScrambleWithOffset(plain, doubled, 77);
    const AnsiString b = ScrambleWithOffset(plain, other, 77);
    EXPECT_EQ(a.substr(0, 20), b.substr(0, 20));
    EXPECT_NE(a.substr(20, 2), b.substr(20, 2));
    EXPECT_EQ(ScrambleText("D", a, doubled), plain);
    EXPECT_EQ(ScrambleText("D", b, other), plain);
}

TEST(Scrambler, OddLengthsAndTheThreeCharacterCase)
{
    // The last single character is ignored, whatever it is.
    EXPECT_EQ(D("103A5"), "A");
    EXPECT_EQ(D("103AZ"), "A");
    EXPECT_EQ(D("103A5F0"), "AB");
    // Three characters: the third is read as one digit. 0x03 ^ 0x6B = 0x68; 0x68 - 0x10 = 'X'.
    EXPECT_EQ(D("103"), "X");
}

TEST(Scrambler, MalformedTextsFailWithConversionError)
{
    for (const char *bad : {"", "1", "10", "AB", "1G3A", "10ZZ", "ZZ3A", "10 3A", "103A-1", "10+3", "0x3A"}) {
        EXPECT_THROW(D(bad), EConvertError) << bad;
    }
    try {
        D("10ZZ");
        FAIL();
    } catch (const EConvertError &e) {
        EXPECT_NE(std::string(e.what()).find("'ZZ'"), std::string::npos);
    }
}

class PasswordStore : public ::testing::Test {
protected:
    vxtest::Sandbox store;
};

TEST_F(PasswordStore, NothingStoredYet)
{
    // A check on a machine without the key fails with the conversion error and creates nothing.
    EXPECT_THROW(CheckPassword(""), EConvertError);
    EXPECT_FALSE(TRegistry().KeyExists(PasswordKeyPath));
    // The start-up read only reads: no password, and nothing made.
    EXPECT_EQ(ReadStoredPassword(), "");
    EXPECT_FALSE(TRegistry().KeyExists("SOFTWARE\\TOVRA\\Vellamorix\\pass"));
    EXPECT_THROW(CheckPassword("anything"), EConvertError);
    // A key without the value, and an empty value, are no password either.
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(PasswordKeyPath, true));
    }
    EXPECT_EQ(ReadStoredPassword(), "");
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(PasswordKeyPath, true));
        reg.WriteString("pass", "");
    }
    EXPECT_EQ(ReadStoredPassword(), "");
}

// Only a missing key or value, or an empty one, is "no password": every other failure to read is
// raised like a text that cannot be unscrambled, and never reads as the empty text.
TEST_F(PasswordStore, ReadsThatFailAreNeverNoPassword)
{
    ASSERT_TRUE(StorePassword("pw"));
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(PasswordKeyPath, true));
        reg.WriteInteger("pass", 7); // not a text
    }
    EXPECT_THROW(ReadStoredPassword(), EPasswordReadError);
    EXPECT_THROW(CheckPassword("pw"), EConvertError);

    // A store file that is no store, and one that cannot be opened.
    {
        FILE *f = fopen(store.registry.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fputs("this is not a database file, just some text that is long enough to look like a header......", f);
        fclose(f);
    }
    EXPECT_THROW(ReadStoredPassword(), EPasswordReadError);
    EXPECT_THROW(CheckPassword("pw"), EConvertError);
    std::filesystem::remove(store.registry);
    std::filesystem::create_directory(store.registry);
    EXPECT_THROW(ReadStoredPassword(), EPasswordReadError);
    std::filesystem::remove(store.registry);
    EXPECT_EQ(ReadStoredPassword(), ""); // gone: no password
}

TEST_F(PasswordStore, StoreAndCheck)
{
    const AnsiString korean = Cp949("비밀");
    ASSERT_TRUE(StorePassword(korean + "Pw"));
    const AnsiString stored = ReadStoredPassword();
    EXPECT_EQ(stored.size(), 2 + 2 * 6u);
    EXPECT_TRUE(IsUpperHex(stored));
    EXPECT_EQ(stored.find(korean), std::string::npos); // never in plain
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(PasswordKeyPath, false));
        EXPECT_EQ(reg.ReadValue("pass")->Type, REG_SZ);
        EXPECT_EQ(reg.GetValueNames(), std::vector<AnsiString>{"pass"});
    }
    EXPECT_TRUE(CheckPassword(korean + "Pw"));
    EXPECT_FALSE(CheckPassword(korean + "pw")); // case matters
    EXPECT_FALSE(CheckPassword(korean + "Pw "));
    EXPECT_FALSE(CheckPassword(korean));
    EXPECT_FALSE(CheckPassword(""));

    // A change replaces the value: only the new password is accepted afterwards.
    {
        ForcedOffsets forced({0x10});
        ASSERT_TRUE(StorePassword("AB"));
    }
    EXPECT_EQ(ReadStoredPassword(), "103A5F");
    EXPECT_TRUE(CheckPassword("AB"));
    EXPECT_FALSE(CheckPassword(korean + "Pw"));

    // Texts that could never be checked again are refused and the stored password stays.
    EXPECT_THROW(StorePassword(""), EScrambleError);
    EXPECT_THROW(StorePassword(AnsiString("\0\0", 2)), EScrambleError);
    EXPECT_EQ(ReadStoredPassword(), "103A5F");
}

TEST_F(PasswordStore, StoredTextThatCannotBeReadRaisesTheError)
{
    for (const char *bad : {"XYZ", "10", "1G"}) {
        {
            TRegistry reg;
            ASSERT_TRUE(reg.OpenKey(PasswordKeyPath, true));
            reg.WriteString("pass", bad);
        }
        EXPECT_THROW(CheckPassword("AB"), EConvertError) << bad;
        EXPECT_EQ(ReadStoredPassword(), bad); // the start-up read sees a password and asks for it
    }
}
