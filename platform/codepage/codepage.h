// The system's ANSI code page (CP949, Korean) and conversions at the UI boundary.
// Bytes that do not convert are replaced, never fatal.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace vx::codepage {

// CP949 bytes -> Unicode. Invalid or truncated sequences become U+FFFD.
QString FromAnsi(std::string_view ansi);
// Unicode -> CP949 bytes. Characters CP949 lacks become '?'.
std::string ToAnsi(const QString &text);

// CP949 <-> UTF-8 byte strings (file names on this system are UTF-8).
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);

// True when ToAnsi/FromAnsi round-trips the text exactly.
bool IsAnsiRepresentable(const QString &text);

// What the user is told when a text is refused because CP949 cannot hold it.
QString NotRepresentableMessage();

// Length in bytes of the CP949 character that starts with this lead byte (1 or 2).
inline int AnsiCharLength(unsigned char lead)
{
    return (lead >= 0x81 && lead <= 0xFE) ? 2 : 1;
}

} // namespace vx::codepage
