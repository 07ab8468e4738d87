// Input-method requests. This platform has no per-window keyboard layouts, so a request is
// only recorded; typing goes through the desktop's own input method.
#pragma once

#include <QString>

class QWidget;

namespace vx::gui {

// Asks for the named input method whenever the widget receives the focus.
void SetImeName(QWidget *widget, const QString &name);

// The last input method requested (empty before any), for inspection.
QString LastRequestedIme();

} // namespace vx::gui
