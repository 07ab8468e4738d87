#include "platform/codepage/codepage.h"

#include <cerrno>
#include <iconv.h>

namespace vx::codepage {
namespace {

// Converts with iconv, replacing each unconvertible input character by `replacement`
// (already in the target encoding).
std::string Convert(const char *to, const char *from, std::string_view in, std::string_view replacement)
{
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
        size_t skip = 1;
        if (std::string_view(from) == "UTF-8") {
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

} // namespace

std::string AnsiToUtf8(std::string_view ansi)
{
    return Convert("UTF-8", "CP949", ansi, "\xEF\xBF\xBD");
}

std::string Utf8ToAnsi(std::string_view utf8)
{
    return Convert("CP949", "UTF-8", utf8, "?");
}

QString FromAnsi(std::string_view ansi)
{
    const std::string utf8 = AnsiToUtf8(ansi);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string ToAnsi(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    return Utf8ToAnsi(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}

bool IsAnsiRepresentable(const QString &text)
{
    return FromAnsi(ToAnsi(text)) == text;
}

} // namespace vx::codepage
