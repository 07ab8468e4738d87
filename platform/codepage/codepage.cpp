// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/codepage/codepage.h"

#include <cerrno>
#include <iconv.h>

namespace vx::codepage {
namespace {

// Converts with iconv, replacing each unconvertible input character by `replacement`
// (already in the target encoding). `asciiSame`: plain ASCII reads the same in both encodings.
std::string Convert(const char *to, const char *from, std::string_view in, std::string_view replacement,
                    bool asciiSame = true)
{
    bool ascii = asciiSame;
    for (unsigned char c : in) {
        if (!ascii)
            break;
        ascii = c < 0x80;
    }
    if (ascii)
        return std::string(in);
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::string(in);
    std::string out;
    out.resize(in.size() * 2 + 16);
    char *src = const_cast<char *>(in.data());
    size_t srcLeft = in.size();
    size_t used = 0;
    while (srcLeft > 0) {
        char *dst = out.data() + used;
        size_t dstLeft = out.size() - used;
        size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        used = out.size() - dstLeft;
        if (rc != static_cast<size_t>(-1))
            break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        // EILSEQ or EINVAL: replace one input byte (a whole UTF-8 sequence when converting from UTF-8).
        // Some converters consume a bad sequence before reporting it: nothing may be left to skip.
        size_t skip = srcLeft > 0 ? 1 : 0;
        if (srcLeft > 0 && std::string_view(from) == "UTF-8") {
            // A well-formed sequence is replaced whole; a broken one byte by byte.
            unsigned char lead = static_cast<unsigned char>(*src);
            size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            bool wellFormed = len <= srcLeft;
            for (size_t i = 1; wellFormed && i < len; ++i)
                wellFormed = (static_cast<unsigned char>(src[i]) & 0xC0) == 0x80;
            skip = wellFormed ? len : 1;
        }
        if (out.size() - used < replacement.size())
            out.resize(out.size() * 2 + replacement.size());
        out.replace(used, replacement.size(), replacement);
        used += replacement.size();
        src += skip;
        srcLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    out.resize(used);
    return out;
}

// One CP949 double-byte character -> UTF-8; false when it does not convert cleanly.
bool ConvertPair(std::string_view pair, std::string &out)
{
    iconv_t cd = iconv_open("UTF-8", "CP949");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    char buffer[16];
    char *src = const_cast<char *>(pair.data());
    size_t srcLeft = pair.size();
    char *dst = buffer;
    size_t dstLeft = sizeof buffer;
    const size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || srcLeft != 0 || dst == buffer)
        return false;
    out.assign(buffer, static_cast<size_t>(dst - buffer));
    return true;
}

// CP949 -> UTF-8 one character at a time (a lead byte 0x81..0xFE and its trail, or one byte).
// The converter may swallow a bad pair together with what follows it, so a text that fails as a
// whole is taken apart here. A lead byte without a valid trail byte is replaced alone.
std::string AnsiToUtf8ByCharacter(std::string_view ansi)
{
    static const std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    size_t i = 0;
    while (i < ansi.size()) {
        const unsigned char lead = static_cast<unsigned char>(ansi[i]);
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        }
        if (AnsiCharLength(lead) == 2 && i + 1 < ansi.size()) {
            std::string one;
            if (ConvertPair(ansi.substr(i, 2), one)) {
                out += one;
                i += 2;
                continue;
            }
            // A well-formed pair without a character is one unknown character.
            const unsigned char trail = static_cast<unsigned char>(ansi[i + 1]);
            if ((trail >= 0x41 && trail <= 0x5A) || (trail >= 0x61 && trail <= 0x7A) ||
                (trail >= 0x81 && trail <= 0xFE)) {
                out += replacement;
                i += 2;
                continue;
            }
        }
        out += replacement;
        ++i;
    }
    return out;
}

} // namespace

std::string AnsiToUtf8(std::string_view ansi)
{
    const std::string whole = Convert("UTF-8", "CP949", ansi, "\xEF\xBF\xBD");
    if (whole.find("\xEF\xBF\xBD") == std::string::npos)
        return whole;
    return AnsiToUtf8ByCharacter(ansi);
}

std::string Utf8ToAnsi(std::string_view utf8)
{
    return Convert("CP949", "UTF-8", utf8, "?");
}

void AppendUtf8(std::string &out, char32_t cp)
{
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

std::size_t Utf8Length(std::string_view s, std::size_t i)
{
    if (i >= s.size())
        return 0;
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 0;
    const auto c1 = n > 1 ? static_cast<unsigned char>(s[i + 1]) : 0;
    if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F))
        return 0; // overlong, surrogate or past U+10FFFF
    return n;
}

std::u16string Utf8ToUtf16(std::string_view utf8)
{
    const std::string bytes = Convert("UTF-16LE", "UTF-8", utf8, std::string_view("\xFD\xFF", 2), false);
    std::u16string out(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = char16_t(static_cast<unsigned char>(bytes[2 * i]) | static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    return out;
}

} // namespace vx::codepage
