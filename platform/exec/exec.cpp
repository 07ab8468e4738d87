// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/exec/exec.h"

#include "platform/codepage/codepage_qt.h"
#include "platform/drives/drives.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <cctype>
#include <map>
#include <mutex>

namespace vx::platform {
namespace {

std::mutex g_lock;
ShellExecHandler g_handler;
std::map<std::string, ShellExecHandler> g_typeOpeners;

std::string LowerAscii(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The opener registered for the file's extension, if any.
ShellExecHandler TypeOpenerFor(const std::string &file)
{
    const std::size_t dot = file.find_last_of('.');
    const std::size_t sep = file.find_last_of("/\\");
    if (dot == std::string::npos || (sep != std::string::npos && dot < sep))
        return {};
    std::lock_guard lock(g_lock);
    const auto it = g_typeOpeners.find(LowerAscii(file.substr(dot)));
    return it == g_typeOpeners.end() ? ShellExecHandler() : it->second;
}

// The desktop's opener: xdg-open for "open" and the default verb.
bool DesktopOpen(const ShellExecRequest &request)
{
    if (const ShellExecHandler typeOpener = TypeOpenerFor(request.file))
        return typeOpener(request);
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty())
        return false;
    // Windows-style paths (C:\a\b) go through the drive map.
    QString file;
    if (!request.nativePath.empty())
        file = QFile::decodeName(QByteArray::fromStdString(request.nativePath));
    else if (std::optional<std::string> posix = shell::WindowsToPosix(request.file))
        file = QFile::decodeName(QByteArray::fromStdString(*posix));
    else
        file = codepage::FromAnsi(request.file);
    QString directory = codepage::FromAnsi(request.directory);
    if (std::optional<std::string> posix = shell::WindowsToPosix(request.directory))
        directory = QFile::decodeName(QByteArray::fromStdString(*posix));
    return QProcess::startDetached(opener, QStringList{file}, directory);
}

} // namespace

ShellExecHandler SetShellExecHandler(ShellExecHandler handler)
{
    std::lock_guard lock(g_lock);
    ShellExecHandler previous = std::move(g_handler);
    g_handler = std::move(handler);
    return previous;
}

void RegisterFileTypeOpener(const std::string &extension, ShellExecHandler opener)
{
    std::lock_guard lock(g_lock);
    if (opener)
        g_typeOpeners[LowerAscii(extension)] = std::move(opener);
    else
        g_typeOpeners.erase(LowerAscii(extension));
}

bool ShellExec(const ShellExecRequest &request)
{
    ShellExecHandler handler;
    {
        std::lock_guard lock(g_lock);
        handler = g_handler;
    }
    return handler ? handler(request) : DesktopOpen(request);
}

} // namespace vx::platform

long ShellExecuteA(void *, const char *verb, const char *file, const char *parameters,
                   const char *directory, int show)
{
    if (!file || !*file)
        return 2;
    vx::platform::ShellExecRequest request;
    request.verb = verb ? verb : "";
    request.file = file;
    request.parameters = parameters ? parameters : "";
    request.directory = directory ? directory : "";
    request.show = show;
    return vx::platform::ShellExec(request) ? 42 : 31;
}
