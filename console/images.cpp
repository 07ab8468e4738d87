#include "console/images.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace vx::console {
namespace {

QPixmap Blank()
{
    QPixmap p(16, 16);
    p.fill(Qt::transparent);
    return p;
}

QPixmap Folder(bool open)
{
    QPixmap p = Blank();
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    g.setPen(QColor(0x8a, 0x6d, 0x1c));
    g.setBrush(QColor(0xf2, 0xc9, 0x4c));
    g.drawRect(QRectF(1.5, 3.5, 6, 2));
    g.drawRect(QRectF(1.5, 4.5, 13, 9));
    if (open) {
        g.setBrush(QColor(0xfb, 0xe3, 0x8e));
        g.drawPolygon(QPolygonF({QPointF(3.5, 7.5), QPointF(15.5, 7.5), QPointF(13.5, 13.5), QPointF(1.5, 13.5)}));
    }
    return p;
}

QPixmap Tool(int index, bool coloured)
{
    QPixmap p = Blank();
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    const auto pick = [coloured](QColor c) {
        if (coloured)
            return c;
        const int v = qGray(c.rgb());
        return QColor(v, v, v);
    };
    QPen pen(pick(QColor(0x20, 0x20, 0x20)), 1.2);
    g.setPen(pen);
    switch (index) {
    case 0: // add: a plus sign
        g.setPen(Qt::NoPen);
        g.setBrush(pick(QColor(0x2e, 0x9d, 0x3a)));
        g.drawRect(QRectF(6.5, 2, 3, 12));
        g.drawRect(QRectF(2, 6.5, 12, 3));
        break;
    case 1: // delete: a minus sign
        g.setPen(Qt::NoPen);
        g.setBrush(pick(QColor(0xd0, 0x30, 0x30)));
        g.drawRect(QRectF(2, 6.5, 12, 3));
        break;
    case 2: // change: a pencil on a sheet
        g.setBrush(pick(Qt::white));
        g.drawRect(QRectF(1.5, 1.5, 10, 13));
        g.setPen(QPen(pick(QColor(0xe0, 0x8a, 0x10)), 2.5));
        g.drawLine(QPointF(6, 12), QPointF(14, 4));
        g.setPen(QPen(pick(QColor(0x30, 0x30, 0x30)), 1.5));
        g.drawLine(QPointF(5, 13), QPointF(6, 12));
        break;
    case 3: // close: an open door
        g.setBrush(pick(QColor(0x9a, 0x6a, 0x3a)));
        g.drawRect(QRectF(3.5, 1.5, 9, 13));
        g.setBrush(pick(QColor(0xc8, 0x96, 0x5a)));
        g.drawPolygon(QPolygonF({QPointF(3.5, 1.5), QPointF(9, 3.5), QPointF(9, 15.5), QPointF(3.5, 14.5)}));
        break;
    case 4: { // refresh: a circular arrow
        g.setPen(QPen(pick(QColor(0x1f, 0x6f, 0xc8)), 2));
        g.setBrush(Qt::NoBrush);
        g.drawArc(QRectF(2.5, 2.5, 11, 11), 60 * 16, 280 * 16);
        g.setPen(Qt::NoPen);
        g.setBrush(pick(QColor(0x1f, 0x6f, 0xc8)));
        g.drawPolygon(QPolygonF({QPointF(9, 0.5), QPointF(14, 3.5), QPointF(9, 6.5)}));
        break;
    }
    case 5: { // help: a question mark
        g.setPen(Qt::NoPen);
        g.setBrush(pick(QColor(0x1f, 0x6f, 0xc8)));
        g.drawEllipse(QRectF(1, 1, 14, 14));
        g.setPen(pick(Qt::white));
        QFont f;
        f.setPixelSize(12);
        f.setBold(true);
        g.setFont(f);
        g.drawText(QRectF(1, 1, 14, 14), Qt::AlignCenter, QStringLiteral("?"));
        break;
    }
    case 6: // stop
        g.setBrush(pick(QColor(0xd0, 0x30, 0x30)));
        g.drawRect(QRectF(3.5, 3.5, 9, 9));
        break;
    case 7: // start
        g.setBrush(pick(QColor(0x2e, 0x9d, 0x3a)));
        g.drawPolygon(QPolygonF({QPointF(4.5, 2.5), QPointF(13.5, 8), QPointF(4.5, 13.5)}));
        break;
    default:
        break;
    }
    return p;
}

} // namespace

QList<QPixmap> FolderImages()
{
    return {Folder(false), Folder(true)};
}

QList<QPixmap> ToolImages(bool coloured)
{
    QList<QPixmap> images;
    for (int i = 0; i < 8; ++i)
        images << Tool(i, coloured);
    return images;
}

QIcon ToolIcon(int index)
{
    QIcon icon;
    icon.addPixmap(Tool(index, false), QIcon::Normal);
    icon.addPixmap(Tool(index, true), QIcon::Active);
    return icon;
}

} // namespace vx::console
