// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/codepage/codepage_qt.h"
#include "platform/exec/exec.h"

#include <gtest/gtest.h>

using namespace vx::codepage;

TEST(Codepage, HangulIsTwoBytesAndRoundTrips)
{
    const QString text = QString::fromUtf8("연결 안됨");
    const std::string ansi = ToAnsi(text);
    EXPECT_EQ(ansi.size(), 9u); // four syllables of two bytes and one blank
    EXPECT_EQ(ansi.substr(0, 2), "\xBF\xAC");
    EXPECT_EQ(FromAnsi(ansi), text);
    EXPECT_EQ(AnsiCharLength(0xBF), 2);
    EXPECT_EQ(AnsiCharLength('a'), 1);
    EXPECT_TRUE(IsAnsiRepresentable(text));
}

TEST(Codepage, BadBytesAreReplacedNotFatal)
{
    // A lone lead byte at the end, and an invalid pair in the middle.
    EXPECT_EQ(FromAnsi(std::string("ab\xB0", 3)), QString::fromUtf8("ab\xEF\xBF\xBD"));
    const QString mid = FromAnsi(std::string("x\xFF\xFFy", 4));
    EXPECT_TRUE(mid.startsWith('x'));
    EXPECT_TRUE(mid.endsWith('y'));
    EXPECT_TRUE(mid.contains(QChar(0xFFFD)));
    // Characters outside CP949 become '?'.
    EXPECT_EQ(ToAnsi(QString::fromUtf8("a\xF0\x9F\x98\x80z")), "a?z");
    EXPECT_FALSE(IsAnsiRepresentable(QString::fromUtf8("\xF0\x9F\x98\x80")));
    // Invalid UTF-8 in a file name does not stop the conversion.
    EXPECT_EQ(Utf8ToAnsi(std::string("a\xC3(b", 4)), "a?(b");
    EXPECT_EQ(AnsiToUtf8(""), "");
}

TEST(ShellExecSeam, TestHandlerReceivesRequestAndCanRefuse)
{
    vx::platform::ShellExecRequest seen;
    auto previous = vx::platform::SetShellExecHandler([&](const vx::platform::ShellExecRequest &r) {
        seen = r;
        return r.file != "missing";
    });
    EXPECT_GT(ShellExecuteA(nullptr, "open", "C:\\Vellamorix\\Vellamorix.hlp", nullptr, nullptr, SW_SHOWNORMAL), 32);
    EXPECT_EQ(seen.verb, "open");
    EXPECT_EQ(seen.file, "C:\\Vellamorix\\Vellamorix.hlp");
    EXPECT_LE(ShellExecuteA(nullptr, "open", "missing", nullptr, nullptr, SW_SHOWNORMAL), 32);
    EXPECT_EQ(ShellExecuteA(nullptr, "open", "", nullptr, nullptr, SW_SHOWNORMAL), 2);
    vx::platform::SetShellExecHandler(previous);
}

TEST(Codepage, EveryByteSequenceConvertsWithoutHarm)
{
    // Every single byte and every byte pair: never a crash, and whatever converts cleanly comes back
    // as the same bytes.
    int cleanPairs = 0;
    for (int a = 1; a < 256; ++a) {
        const std::string single(1, static_cast<char>(a));
        EXPECT_FALSE(FromAnsi(single).isEmpty()) << a;
        for (int b = 1; b < 256; ++b) {
            const std::string pair{static_cast<char>(a), static_cast<char>(b)};
            const QString text = FromAnsi(pair);
            ASSERT_FALSE(text.isEmpty()) << a << "," << b;
            if (!text.contains(QChar(0xFFFD))) {
                ASSERT_EQ(ToAnsi(text), pair) << a << "," << b;
                ++cleanPairs;
            }
        }
    }
    // The Hangul block alone (0xB0A1..0xC8FE) holds 2,350 syllables that must convert.
    EXPECT_GT(cleanPairs, 2350);
    EXPECT_EQ(FromAnsi("\xB0\xA1"), QString::fromUtf8("가"));
    // A pair the converter swallows whole before refusing it: replaced, and the rest still converts.
    EXPECT_EQ(FromAnsi("a\xA2\xE8"
                       "b"),
              QString::fromUtf8("a\xEF\xBF\xBD"
                                "b"));
    EXPECT_EQ(FromAnsi("\xA2\xE8"), QString(QChar(0xFFFD)));
}

TEST(Codepage, BadCharactersLoseNothingAroundThem)
{
    // Each bad sequence becomes one replacement; its neighbours survive, whatever follows it.
    EXPECT_EQ(FromAnsi("\x81 x"), QString::fromUtf8("\xEF\xBF\xBD x"));
    EXPECT_EQ(FromAnsi("\xA2\xE8\xB0\xA1"), QString::fromUtf8("\xEF\xBF\xBD\xEA\xB0\x80"));
    for (int a = 0x81; a <= 0xFE; ++a) {
        for (int b = 1; b < 256; ++b) {
            const std::string pair{static_cast<char>(a), static_cast<char>(b)};
            const QString text = FromAnsi("<" + pair + ">");
            ASSERT_TRUE(text.startsWith('<') && text.endsWith('>')) << a << "," << b;
        }
    }
    // Unicode -> CP949: characters outside the code page become '?' (U+FEFF, invisible, may vanish);
    // their neighbours stay.
    for (char32_t c = 0x80; c < 0xFFFE; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        const std::string ansi = ToAnsi(QLatin1Char('<') + QString::fromUcs4(&c, 1) + QLatin1Char('>'));
        ASSERT_TRUE(ansi.size() >= 2 && ansi.front() == '<' && ansi.back() == '>')
            << std::hex << static_cast<uint32_t>(c);
    }
}

TEST(Codepage, Utf8ToUtf16WithoutQt)
{
    // The engine's credential from its command line: the same UTF-16 as Qt makes of valid UTF-8.
    for (const char *text : {"", "Mirok Dune Sentinel", "연결 안됨", "a\xF0\x9F\x98\x80z", "\xC3\xA9t\xC3\xA9"}) {
        EXPECT_EQ(Utf8ToUtf16(text), QString::fromUtf8(text).toStdU16String()) << text;
        EXPECT_EQ(Utf8ToAnsi(text), ToAnsi(QString::fromUtf8(text))) << text;
    }
    EXPECT_EQ(Utf8ToUtf16("a\xF0\x9F\x98\x80"), (std::u16string{u'a', char16_t(0xD83D), char16_t(0xDE00)}));
    // Invalid UTF-8 is replaced, and what follows it survives.
    EXPECT_EQ(Utf8ToUtf16(std::string("a\xC3(b", 4)), u"a\uFFFD(b");
    EXPECT_EQ(Utf8ToUtf16(std::string("\xFF", 1)), u"\uFFFD");
}
