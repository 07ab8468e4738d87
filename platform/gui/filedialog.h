// The file-open dialog behind a seam, so tests answer it without a modal window.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class QWidget;

namespace vx::gui {

// Option bits of TOpenDialog.
constexpr unsigned ofHideReadOnly = 0x1;
constexpr unsigned ofAllowMultiSelect = 0x2;
constexpr unsigned ofEnableSizing = 0x4;

// What a dialog was asked to show; handed to the hook.
struct FileDialogCall {
    QString filter;      // "description|patterns|description|patterns..."
    int filterIndex = 1; // 1-based choice shown first
    unsigned options = 0;
    QString title;
};

// The hook answers instead of the real dialog: the chosen paths (Windows form, as the
// dialog would report them), or nullopt for a cancel.
using FileDialogHook = std::function<std::optional<QStringList>(const FileDialogCall &)>;
FileDialogHook SetFileDialogHook(FileDialogHook hook);

// "description|patterns|..." -> the dialog's filters, "description (pattern pattern)"; the
// dialog shows only the description. "*.*" becomes "*" (every file, as on Windows).
QStringList QtFilters(const QString &filter);

// Maps a local path to the Windows form of the shell namespace's drive map
// ($VELLAMORIX_DRIVES, default C:=/): /home/a.txt -> C:\home\a.txt. A path under no
// drive is returned unchanged.
QString ToDrivePath(const QString &localPath);

class TOpenDialog {
public:
    QString Filter;
    int FilterIndex = 1;
    unsigned Options = ofHideReadOnly | ofEnableSizing;
    QString Title;

    // Shows the dialog; true when the user confirmed a choice.
    bool Execute(QWidget *parent = nullptr);

    // The chosen files, in the dialog's order; FileName is the first.
    const QStringList &Files() const { return files_; }
    QString FileName() const { return files_.isEmpty() ? QString() : files_.first(); }

private:
    QStringList files_;
};

} // namespace vx::gui
