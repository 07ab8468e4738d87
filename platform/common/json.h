// SPDX-License-Identifier: GPL-3.0-or-later
// A small JSON reader into a tree: objects, arrays, strings, numbers, true, false and null.
// Strings are read as UTF-8; the escapes \udc80 to \udcff stand for single bytes that were no
// UTF-8 where the text was written, and are kept apart from the text around them.
#pragma once

#include "platform/codepage/codepage.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace vx::json {

// A string as read: runs of text and escaped bytes, in order.
struct Text {
    struct Piece {
        bool raw = false; // one escaped byte
        std::string bytes;
    };
    std::vector<Piece> pieces;

    // Every byte, the escaped ones as they are.
    std::string Bytes() const
    {
        std::string s;
        for (const Piece &p : pieces)
            s += p.bytes;
        return s;
    }
    bool HasRaw() const
    {
        for (const Piece &p : pieces)
            if (p.raw)
                return true;
        return false;
    }
};

struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    std::string number; // as written
    Text text;
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> members; // in the order written

    // The first member named `name`, or null.
    const Value *Member(std::string_view name) const
    {
        for (const auto &m : members)
            if (m.first == name)
                return &m.second;
        return nullptr;
    }
};

// Where reading stopped and why; line and column count from 1, the column in bytes.
struct Error {
    std::size_t offset = 0;
    int line = 1;
    int column = 1;
    std::string what;

    std::string Describe() const { return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what; }
};

struct Options {
    // Text outside escapes must be UTF-8 (else its bytes are taken as they are), and member
    // names must not hold escaped bytes.
    bool utf8 = true;
    // A member name given twice in one object is an error (else both are kept, in order).
    bool uniqueNames = true;
    // Values nest at most this deep (the outermost value is at depth 0); the reader bounds it
    // at 512 in any case, so that no text can exhaust the stack.
    int maxDepth = 64;
};

// The value of a whole number written without fraction or exponent, if it is one and fits.
inline std::optional<int64_t> WholeNumber(const Value &v)
{
    if (v.kind != Value::Number || v.number.empty())
        return std::nullopt;
    const bool negative = v.number[0] == '-';
    uint64_t n = 0;
    for (std::size_t i = negative ? 1 : 0; i < v.number.size(); ++i) {
        const char c = v.number[i];
        if (c < '0' || c > '9')
            return std::nullopt;
        if (n > (uint64_t(INT64_MAX) - uint64_t(c - '0')) / 10)
            return std::nullopt;
        n = n * 10 + uint64_t(c - '0');
    }
    return negative ? -int64_t(n) : int64_t(n);
}

namespace detail {

class Reader {
public:
    Reader(std::string_view s, const Options &options) : s_(s), options_(options) {}

    bool Document(Value &v, Error &error)
    {
        if (Read(v, 0) && (Space(), pos_ == s_.size()))
            return true;
        if (error_.empty())
            error_ = "more text after the value";
        error.offset = failedAt_;
        error.what = error_;
        error.line = 1;
        error.column = 1;
        for (std::size_t i = 0; i < failedAt_ && i < s_.size(); ++i) {
            if (s_[i] == '\n') {
                ++error.line;
                error.column = 1;
            } else {
                ++error.column;
            }
        }
        return false;
    }

private:
    // The bound on nesting, whatever the options say: the reader recurses once per level.
    static constexpr int kDepthLimit = 512;

    bool Fail(std::string why)
    {
        if (error_.empty()) {
            error_ = std::move(why);
            failedAt_ = pos_;
        }
        return false;
    }
    bool At(char c) const { return pos_ < s_.size() && s_[pos_] == c; }
    bool Take(char c)
    {
        if (!At(c))
            return false;
        ++pos_;
        return true;
    }
    void Space()
    {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }
    bool Read(Value &v, int depth)
    {
        if (depth > options_.maxDepth || depth > kDepthLimit)
            return Fail("nested too deeply");
        Space();
        if (pos_ >= s_.size())
            return Fail("the text ends early");
        const char c = s_[pos_];
        if (c == '{' || c == '[')
            return c == '{' ? ReadObject(v, depth) : ReadArray(v, depth);
        if (c == '"') {
            v.kind = Value::String;
            return ReadString(v.text);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            v.kind = Value::Number;
            return ReadNumber(v.number);
        }
        for (const auto &[word, kind, truth] : {std::tuple{std::string_view("true"), Value::Bool, true},
                                                std::tuple{std::string_view("false"), Value::Bool, false},
                                                std::tuple{std::string_view("null"), Value::Null, false}}) {
            if (s_.substr(pos_, word.size()) == word) {
                pos_ += word.size();
                v.kind = kind;
                v.boolean = truth;
                return true;
            }
        }
        return Fail("a value is expected");
    }
    bool ReadObject(Value &v, int depth)
    {
        v.kind = Value::Object;
        ++pos_;
        Space();
        if (Take('}'))
            return true;
        for (;;) {
            Space();
            if (!At('"'))
                return Fail("a member name is expected");
            Text key;
            if (!ReadString(key))
                return false;
            if (options_.utf8 && key.HasRaw())
                return Fail("an escaped byte in a member name");
            Space();
            if (!Take(':'))
                return Fail("\":\" is expected");
            std::string name = key.Bytes();
            if (options_.uniqueNames && v.Member(name))
                return Fail("\"" + name + "\" is given twice");
            Value member;
            if (!Read(member, depth + 1))
                return false;
            v.members.emplace_back(std::move(name), std::move(member));
            Space();
            if (Take('}'))
                return true;
            if (!Take(','))
                return Fail("\",\" or \"}\" is expected");
        }
    }
    bool ReadArray(Value &v, int depth)
    {
        v.kind = Value::Array;
        ++pos_;
        Space();
        if (Take(']'))
            return true;
        for (;;) {
            Value item;
            if (!Read(item, depth + 1))
                return false;
            v.items.push_back(std::move(item));
            Space();
            if (Take(']'))
                return true;
            if (!Take(','))
                return Fail("\",\" or \"]\" is expected");
        }
    }
    bool Digits()
    {
        const std::size_t start = pos_;
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9')
            ++pos_;
        return pos_ > start;
    }
    bool ReadNumber(std::string &out)
    {
        const std::size_t start = pos_;
        Take('-');
        if (Take('0')) {
            if (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9')
                return Fail("a number with a leading zero");
        } else if (!Digits()) {
            return Fail("a digit is expected");
        }
        if (Take('.') && !Digits())
            return Fail("a digit is expected after \".\"");
        if (Take('e') || Take('E')) {
            if (!Take('+'))
                Take('-');
            if (!Digits())
                return Fail("a digit is expected in the exponent");
        }
        out.assign(s_.substr(start, pos_ - start));
        return true;
    }
    bool Hex4(uint32_t &cp)
    {
        if (pos_ + 4 > s_.size())
            return Fail("a short \\u escape");
        cp = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[pos_++];
            cp <<= 4;
            if (c >= '0' && c <= '9')
                cp |= uint32_t(c - '0');
            else if (c >= 'a' && c <= 'f')
                cp |= uint32_t(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                cp |= uint32_t(c - 'A' + 10);
            else
                return Fail("a bad \\u escape");
        }
        return true;
    }
    bool ReadString(Text &text)
    {
        ++pos_; // the opening quote
        std::string run;
        const auto flush = [&] {
            if (!run.empty())
                text.pieces.push_back({false, std::move(run)});
            run.clear();
        };
        for (;;) {
            if (pos_ >= s_.size())
                return Fail("a text is not closed");
            const unsigned char c = static_cast<unsigned char>(s_[pos_]);
            if (c == '"') {
                ++pos_;
                flush();
                return true;
            }
            if (c < 0x20)
                return Fail("a control character in a text");
            if (c >= 0x80 && options_.utf8) {
                const std::size_t len = vx::codepage::Utf8Length(s_, pos_);
                if (!len)
                    return Fail("the text is not UTF-8");
                run.append(s_.substr(pos_, len));
                pos_ += len;
                continue;
            }
            if (c != '\\') {
                run += char(c);
                ++pos_;
                continue;
            }
            if (++pos_ >= s_.size())
                return Fail("a text is not closed");
            const char e = s_[pos_++];
            switch (e) {
            case '"': case '\\': case '/': run += e; break;
            case 'b': run += '\b'; break;
            case 'f': run += '\f'; break;
            case 'n': run += '\n'; break;
            case 'r': run += '\r'; break;
            case 't': run += '\t'; break;
            case 'u': {
                uint32_t cp = 0;
                if (!Hex4(cp))
                    return false;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    uint32_t low = 0;
                    if (s_.substr(pos_, 2) != "\\u")
                        return Fail("a lone high surrogate");
                    pos_ += 2;
                    if (!Hex4(low))
                        return false;
                    if (low < 0xDC00 || low > 0xDFFF)
                        return Fail("a lone high surrogate");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC80 && cp <= 0xDCFF) {
                    flush();
                    text.pieces.push_back({true, std::string(1, char(cp - 0xDC00))});
                    break;
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return Fail("a lone low surrogate");
                }
                vx::codepage::AppendUtf8(run, char32_t(cp));
                break;
            }
            default:
                return Fail("a bad escape");
            }
        }
    }

    std::string_view s_;
    const Options &options_;
    std::size_t pos_ = 0;
    std::size_t failedAt_ = 0;
    std::string error_;
};

} // namespace detail

// Reads `text` as one JSON value (white space around it allowed). False with `error` when it is
// none.
inline bool Parse(std::string_view text, Value &out, Error &error, const Options &options = {})
{
    Value v;
    if (!detail::Reader(text, options).Document(v, error))
        return false;
    out = std::move(v);
    return true;
}

} // namespace vx::json
