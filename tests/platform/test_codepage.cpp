#include "platform/codepage/codepage.h"
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
