#include "console/datafiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace vx::console {

QString DataFile(const QString &name, const QString &programDir)
{
    const QString beside = programDir + QLatin1Char('/') + name;
    if (QFileInfo::exists(beside))
        return beside;
    const QString shared = QDir::cleanPath(programDir + QStringLiteral("/../share/vellamorix/") + name);
    return QFileInfo::exists(shared) ? shared : beside;
}

QString DataFile(const QString &name)
{
    return DataFile(name, QCoreApplication::applicationDirPath());
}

} // namespace vx::console
