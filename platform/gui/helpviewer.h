// The help viewer: the platform's opener for ".hlp" files. The console's help file is an
// HTML document; it is shown in a window of its own.
#pragma once

#include <QString>

class QWidget;

namespace vx::gui {

// Associates ".hlp" with ShowHelpFile through the shell's opener (done by TApplication).
void RegisterHelpViewer();

// Opens the help file in a viewer window (one window, reused). False when the file
// cannot be read.
bool ShowHelpFile(const QString &path);

// The open viewer, or null.
QWidget *HelpViewerWindow();

} // namespace vx::gui
