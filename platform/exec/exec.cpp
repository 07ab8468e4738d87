#include "platform/exec/exec.h"

#include "platform/codepage/codepage.h"

#include <QProcess>
#include <QStandardPaths>
#include <mutex>

namespace vx::platform {
namespace {

std::mutex g_lock;
ShellExecHandler g_handler;

// The desktop's opener: xdg-open for "open" and the default verb.
bool DesktopOpen(const ShellExecRequest &request)
{
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty())
        return false;
    QStringList args{codepage::FromAnsi(request.file)};
    return QProcess::startDetached(opener, args, codepage::FromAnsi(request.directory));
}

} // namespace

ShellExecHandler SetShellExecHandler(ShellExecHandler handler)
{
    std::lock_guard lock(g_lock);
    ShellExecHandler previous = std::move(g_handler);
    g_handler = std::move(handler);
    return previous;
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
