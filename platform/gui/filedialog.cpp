#include "platform/gui/filedialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <algorithm>
#include <cstdlib>
#include <vector>

namespace vx::gui {
namespace {

FileDialogHook g_hook;

struct DriveRoot {
    QString letter; // "C:"
    QString root;   // "/srv", no trailing slash except "/"
};

std::vector<DriveRoot> DriveMap()
{
    std::vector<DriveRoot> map;
    const char *env = std::getenv("VELLAMORIX_DRIVES");
    const QString driveMap = env && *env ? QString::fromUtf8(env) : QStringLiteral("C:=/");
    for (const QString &item : driveMap.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const int eq = item.indexOf(QLatin1Char('='));
        if (eq < 1)
            continue;
        QString letter = item.left(eq).trimmed().toUpper();
        if (!letter.endsWith(QLatin1Char(':')))
            letter += QLatin1Char(':');
        QString root = QDir::cleanPath(item.mid(eq + 1).trimmed());
        if (letter.size() != 2 || !letter[0].isLetter() || !root.startsWith(QLatin1Char('/')))
            continue;
        map.push_back({letter, root});
    }
    return map;
}

} // namespace

QStringList QtFilters(const QString &filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        // "*.*" stands for every file, as on Windows, also for names without a dot.
        for (QString &p : patterns) {
            if (p == QLatin1String("*.*"))
                p = QStringLiteral("*");
        }
        out << QStringLiteral("%1 (%2)").arg(parts[i], patterns.join(QLatin1Char(' ')));
    }
    return out;
}

namespace {

std::optional<QStringList> RealDialog(QWidget *parent, const FileDialogCall &call)
{
    QFileDialog dialog(parent, call.title);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::ReadOnly, false);
    dialog.setFileMode((call.options & ofAllowMultiSelect) ? QFileDialog::ExistingFiles
                                                          : QFileDialog::ExistingFile);
    dialog.setSizeGripEnabled((call.options & ofEnableSizing) != 0);
    // The list shows each description exactly as given, without the patterns Qt reads from it.
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    const QStringList filters = QtFilters(call.filter);
    dialog.setNameFilters(filters);
    if (call.filterIndex >= 1 && call.filterIndex <= filters.size())
        dialog.selectNameFilter(filters[call.filterIndex - 1]);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    QStringList chosen;
    for (const QString &path : dialog.selectedFiles())
        chosen << ToDrivePath(path);
    return chosen;
}

} // namespace

FileDialogHook SetFileDialogHook(FileDialogHook hook)
{
    FileDialogHook previous = std::move(g_hook);
    g_hook = std::move(hook);
    return previous;
}

QString ToDrivePath(const QString &localPath)
{
    const QString path = QDir::cleanPath(localPath);
    if (!path.startsWith(QLatin1Char('/')))
        return localPath;
    const DriveRoot *best = nullptr;
    std::vector<DriveRoot> map = DriveMap();
    for (const DriveRoot &d : map) {
        const bool under = d.root == QLatin1String("/") || path == d.root ||
                           path.startsWith(d.root + QLatin1Char('/'));
        if (under && (!best || d.root.size() > best->root.size()))
            best = &d;
    }
    if (!best)
        return localPath;
    QString rest = best->root == QLatin1String("/") ? path.mid(1) : path.mid(best->root.size() + 1);
    rest.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return best->letter + QLatin1Char('\\') + rest;
}

bool TOpenDialog::Execute(QWidget *parent)
{
    files_.clear();
    const FileDialogCall call{Filter, FilterIndex, Options, Title};
    const std::optional<QStringList> chosen = g_hook ? g_hook(call) : RealDialog(parent, call);
    if (!chosen || chosen->isEmpty())
        return false;
    files_ = *chosen;
    return true;
}

} // namespace vx::gui
