// SPDX-License-Identifier: GPL-3.0-or-later
// The code page conversions for Qt texts, at the user interface's boundary. Bytes that do not
// convert are replaced, never fatal. Programs without Qt (the engine) use codepage.h alone.
#pragma once

#include "platform/codepage/codepage.h"

#include <QString>
#include <string>
#include <string_view>

namespace vx::codepage {

// CP949 bytes -> Unicode. Invalid or truncated sequences become U+FFFD.
QString FromAnsi(std::string_view ansi);
// Unicode -> CP949 bytes. Characters CP949 lacks become '?'.
std::string ToAnsi(const QString &text);

// True when ToAnsi/FromAnsi round-trips the text exactly.
bool IsAnsiRepresentable(const QString &text);

// What the user is told when a text is refused because CP949 cannot hold it.
QString NotRepresentableMessage();

} // namespace vx::codepage
