// Test helper: UTF-8 literal -> CP949 bytes, so expectations stay readable.
#pragma once

#include <iconv.h>
#include <stdexcept>
#include <string>

inline std::string Cp949(const std::string &utf8)
{
    iconv_t cd = iconv_open("CP949", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw std::runtime_error("no CP949 converter");
    std::string out(utf8.size() * 2 + 4, '\0');
    char *in = const_cast<char *>(utf8.data());
    size_t inLeft = utf8.size();
    char *dst = out.data();
    size_t outLeft = out.size();
    size_t rc = iconv(cd, &in, &inLeft, &dst, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1))
        throw std::runtime_error("not convertible to CP949: " + utf8);
    out.resize(out.size() - outLeft);
    return out;
}
