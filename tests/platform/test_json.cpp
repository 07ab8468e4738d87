// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/common/json.h"

#include <gtest/gtest.h>

#include <string>

using vx::json::Error;
using vx::json::Options;
using vx::json::Parse;
using vx::json::Value;

namespace {

Value Read(const std::string &text, const Options &options = {})
{
    Value v;
    Error e;
    EXPECT_TRUE(Parse(text, v, e, options)) << text << ": " << e.Describe();
    return v;
}

Error Refused(const std::string &text, const Options &options = {})
{
    Value v;
    v.kind = Value::Bool; // must stay as it was
    Error e;
    EXPECT_FALSE(Parse(text, v, e, options)) << text;
    EXPECT_EQ(v.kind, Value::Bool) << text;
    EXPECT_FALSE(e.what.empty()) << text;
    return e;
}

} // namespace

TEST(Json, ReadsEveryKindOfValue)
{
    const Value v = Read(R"( {"a": [1, -2.5e+3, 0, true, false, null, "x"], "b": {}, "c": [], "d": "" } )");
    ASSERT_EQ(v.kind, Value::Object);
    ASSERT_EQ(v.members.size(), 4u);
    EXPECT_EQ(v.members[0].first, "a");
    const Value *a = v.Member("a");
    ASSERT_TRUE(a);
    ASSERT_EQ(a->kind, Value::Array);
    ASSERT_EQ(a->items.size(), 7u);
    EXPECT_EQ(a->items[0].kind, Value::Number);
    EXPECT_EQ(a->items[0].number, "1");
    EXPECT_EQ(a->items[1].number, "-2.5e+3");
    EXPECT_EQ(a->items[2].number, "0");
    EXPECT_EQ(a->items[3].kind, Value::Bool);
    EXPECT_TRUE(a->items[3].boolean);
    EXPECT_EQ(a->items[4].kind, Value::Bool);
    EXPECT_FALSE(a->items[4].boolean);
    EXPECT_EQ(a->items[5].kind, Value::Null);
    EXPECT_EQ(a->items[6].kind, Value::String);
    EXPECT_EQ(a->items[6].text.Bytes(), "x");
    EXPECT_EQ(v.Member("b")->kind, Value::Object);
    EXPECT_TRUE(v.Member("b")->members.empty());
    EXPECT_EQ(v.Member("c")->kind, Value::Array);
    EXPECT_EQ(v.Member("d")->kind, Value::String);
    EXPECT_TRUE(v.Member("d")->text.pieces.empty());
    EXPECT_EQ(v.Member("e"), nullptr);
    EXPECT_EQ(Read("\n\t 42 \r\n").number, "42");
}

TEST(Json, Escapes)
{
    const Value v = Read(R"("q\"b\\s\/\b\f\n\r\t\u0041\u00e9\u20ac\ud83d\ude00")");
    EXPECT_EQ(v.text.Bytes(), "q\"b\\s/\b\f\n\r\tA\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_FALSE(v.text.HasRaw());
    // UTF-8 as written stays as it is.
    EXPECT_EQ(Read("\"\xEB\xAC\xB8\"").text.Bytes(), "\xEB\xAC\xB8");
}

TEST(Json, EscapedBytesAreKeptApart)
{
    const Value v = Read(R"("a\udcff\udc80b\u00e9")");
    ASSERT_EQ(v.text.pieces.size(), 4u);
    EXPECT_FALSE(v.text.pieces[0].raw);
    EXPECT_EQ(v.text.pieces[0].bytes, "a");
    EXPECT_TRUE(v.text.pieces[1].raw);
    EXPECT_EQ(v.text.pieces[1].bytes, "\xFF");
    EXPECT_TRUE(v.text.pieces[2].raw);
    EXPECT_EQ(v.text.pieces[2].bytes, "\x80");
    EXPECT_FALSE(v.text.pieces[3].raw);
    EXPECT_EQ(v.text.pieces[3].bytes, "b\xC3\xA9");
    EXPECT_TRUE(v.text.HasRaw());
    EXPECT_EQ(v.text.Bytes(), "a\xFF\x80" "b\xC3\xA9");
    // \udc00..\udc7f are no escaped bytes (those are ASCII): lone low surrogates.
    EXPECT_EQ(Refused(R"("\udc41")").what, "a lone low surrogate");
    // In member names escaped bytes are refused where text must be UTF-8.
    EXPECT_EQ(Refused(R"({"a\udcff": 1})").what, "an escaped byte in a member name");
    Options loose;
    loose.utf8 = false;
    EXPECT_EQ(Read(R"({"a\udcff": 1})", loose).members[0].first, "a\xFF");
}

TEST(Json, RefusesTruncatedText)
{
    for (const char *cut : {"", " ", "{", "{\"a\"", "{\"a\":", "{\"a\":1", "{\"a\":1,", "[", "[1", "[1,", "\"abc",
                            "\"a\\", "\"\\u12", "tru", "nul", "-", "1.", "1e", "1e+", "{\"a\":[{\"b\":\"c"}) {
        const Error e = Refused(cut);
        EXPECT_LE(e.offset, std::string(cut).size()) << cut;
    }
}

TEST(Json, RefusesWhatIsNoJson)
{
    for (const char *bad : {"{a:1}", "{'a':1}", "[1,]", "{\"a\":1,}", "[1 2]", "{\"a\" 1}", "01", "-01", "+1", ".5",
                            "1.e5", "0x10", "True", "nan", "[1]x", "{} {}", "\"a\"\"b\"", "\"tab\there\"",
                            "\"\\x41\"", "\"\\U0041\"", "\"\\u00g0\"", "\"\\'\""}) {
        Refused(bad);
    }
}

TEST(Json, RefusesLoneSurrogates)
{
    EXPECT_EQ(Refused(R"("\ud800")").what, "a lone high surrogate");
    EXPECT_EQ(Refused(R"("\ud800x")").what, "a lone high surrogate");
    EXPECT_EQ(Refused(R"("\ud800\u0041")").what, "a lone high surrogate");
    EXPECT_EQ(Refused(R"("\ud800\ud800")").what, "a lone high surrogate");
    EXPECT_EQ(Refused(R"("\ude00")").what, "a lone low surrogate");
    EXPECT_EQ(Refused(R"("\ud800\u12")").what, "a short \\u escape");
}

TEST(Json, RefusesTextThatIsNoUtf8)
{
    for (const char *bad : {"\"\xFF\"", "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"", "\"\xEB\xAC\""})
        EXPECT_EQ(Refused(bad).what, "the text is not UTF-8") << bad;
    // Where the text need not be UTF-8 its bytes are taken as they are.
    Options loose;
    loose.utf8 = false;
    EXPECT_EQ(Read("\"\xFF\xC0\"", loose).text.Bytes(), "\xFF\xC0");
}

TEST(Json, NamesGivenTwice)
{
    EXPECT_EQ(Refused(R"({"a": 1, "a": 2})").what, "\"a\" is given twice");
    Options loose;
    loose.uniqueNames = false;
    const Value v = Read(R"({"a": 1, "a": 2})", loose);
    ASSERT_EQ(v.members.size(), 2u);
    EXPECT_EQ(v.members[1].second.number, "2");
    EXPECT_EQ(v.Member("a")->number, "1");
}

TEST(Json, DeepNestingIsBoundedNotAStackOverflow)
{
    const auto nested = [](int depth) { return std::string(size_t(depth), '[') + std::string(size_t(depth), ']'); };
    Read(nested(64)); // the innermost array at depth 63
    Read(nested(65)); // at depth 64, the bound
    EXPECT_EQ(Refused(nested(66)).what, "nested too deeply");
    Options shallow;
    shallow.maxDepth = 2;
    Read(R"({"a": [1]})", shallow);
    Read(R"({"a": [[]]})", shallow);
    EXPECT_EQ(Refused(R"({"a": [[1]]})", shallow).what, "nested too deeply");
    // However deep the text and whatever the options, the reader stops at its own bound.
    Options boundless;
    boundless.maxDepth = 1 << 30;
    Read(nested(500), boundless);
    EXPECT_EQ(Refused(nested(100000), boundless).what, "nested too deeply");
    std::string members;
    for (int i = 0; i < 100000; ++i)
        members += "{\"a\":";
    EXPECT_EQ(Refused(members, boundless).what, "nested too deeply");
    EXPECT_EQ(Refused(std::string(1000000, '{'), boundless).what, "a member name is expected");
    EXPECT_EQ(Refused(std::string(1000000, '['), {}).what, "nested too deeply");
}

TEST(Json, ErrorsSayWhere)
{
    const Error e = Refused("{\n  \"a\": 1,\n  \"b\": tru\n}");
    EXPECT_EQ(e.line, 3);
    EXPECT_EQ(e.column, 8);
    EXPECT_EQ(e.offset, 19u);
    EXPECT_EQ(e.what, "a value is expected");
    EXPECT_EQ(e.Describe(), "line 3, column 8: a value is expected");
    const Error bad = Refused("[\"ok\", \"\\q\"]");
    EXPECT_EQ(bad.line, 1);
    EXPECT_EQ(bad.what, "a bad escape");
    EXPECT_EQ(bad.column, 11); // just past the escape
    EXPECT_EQ(Refused("[1] 2").what, "more text after the value");
}

TEST(Json, WholeNumbers)
{
    using vx::json::WholeNumber;
    EXPECT_EQ(WholeNumber(Read("0")), 0);
    EXPECT_EQ(WholeNumber(Read("-17")), -17);
    EXPECT_EQ(WholeNumber(Read("9223372036854775807")), INT64_MAX);
    EXPECT_EQ(WholeNumber(Read("-9223372036854775807")), -INT64_MAX);
    EXPECT_FALSE(WholeNumber(Read("9223372036854775808")));
    EXPECT_FALSE(WholeNumber(Read("99999999999999999999999")));
    EXPECT_FALSE(WholeNumber(Read("1.0")));
    EXPECT_FALSE(WholeNumber(Read("1e3")));
    EXPECT_FALSE(WholeNumber(Read("\"1\"")));
    EXPECT_FALSE(WholeNumber(Read("true")));
}
