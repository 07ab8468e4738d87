// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/codepage/codepage_qt.h"

namespace vx::codepage {

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

QString NotRepresentableMessage()
{
    return QStringLiteral("CP949로 나타낼 수 없는 글자가 있습니다.");
}

} // namespace vx::codepage
