// SPDX-License-Identifier: GPL-3.0-or-later
// The system's ANSI code page (CP949, Korean): conversions of byte strings, without Qt. Bytes
// that do not convert are replaced, never fatal. The conversions for Qt texts are in
// codepage_qt.h.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vx::codepage {

// CP949 <-> UTF-8 byte strings (file names on this system are UTF-8). Invalid or truncated
// CP949 sequences become U+FFFD; characters CP949 lacks, and invalid UTF-8, become '?'.
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);

// UTF-8 -> UTF-16 (a command line's text for the wide channel). Invalid UTF-8 becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// Appends one code point (below 0x110000) as UTF-8.
void AppendUtf8(std::string &out, char32_t cp);

// Length in bytes (1 to 4) of the well-formed UTF-8 character at `s[i]`; 0 when there is none
// (a stray byte, an overlong form, a surrogate, past U+10FFFF or cut off).
std::size_t Utf8Length(std::string_view s, std::size_t i);

// Length in bytes of the CP949 character that starts with this lead byte (1 or 2).
inline int AnsiCharLength(unsigned char lead)
{
    return (lead >= 0x81 && lead <= 0xFE) ? 2 : 1;
}

} // namespace vx::codepage
