#include "platform/gui/ime.h"

#include <QEvent>
#include <QObject>
#include <QVariant>
#include <QWidget>

namespace vx::gui {
namespace {

QString g_last;

class ImeFocusFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::FocusIn)
            g_last = watched->property("vxImeName").toString();
        return false;
    }
};

} // namespace

void SetImeName(QWidget *widget, const QString &name)
{
    if (!widget)
        return;
    if (widget->property("vxImeName").isNull())
        widget->installEventFilter(new ImeFocusFilter(widget));
    widget->setProperty("vxImeName", name);
}

QString LastRequestedIme()
{
    return g_last;
}

} // namespace vx::gui
