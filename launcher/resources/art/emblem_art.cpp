#include "resources/art/painted_art.h"

#include <QBuffer>
#include <QDataStream>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

namespace art {

namespace {

QPainterPath wave(const QPointF &c, qreal r, qreal y, qreal amplitude)
{
    QPainterPath path(QPointF(c.x() - r, y));
    const int steps = 24;
    for (int i = 1; i <= steps; ++i) {
        const qreal x = c.x() - r + 2 * r * i / steps;
        path.lineTo(x, y + amplitude * qSin(i * M_PI / 4));
    }
    return path;
}

void draw_reeds(QPainter &p, const QPointF &c, qreal r)
{
    // Three stalks leaning from the lower left, each with a cattail head.
    const qreal xs[] = {-0.42, -0.28, -0.12};
    const qreal tops[] = {-0.05, -0.35, -0.15};
    for (int i = 0; i < 3; ++i) {
        const QPointF base(c.x() + xs[i] * r, c.y() + 0.8 * r);
        const QPointF top(c.x() + (xs[i] + 0.06) * r, c.y() + tops[i] * r);
        QPainterPath stalk(base);
        stalk.quadTo(QPointF(base.x() - 0.02 * r, (base.y() + top.y()) / 2), top);
        p.setPen(QPen(GOLD, qMax(1.0, 0.045 * r), Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawPath(stalk);
        p.setPen(Qt::NoPen);
        p.setBrush(BRASS);
        p.drawRoundedRect(QRectF(top.x() - 0.055 * r, top.y() + 0.04 * r, 0.11 * r, 0.24 * r),
                          0.05 * r, 0.05 * r);
    }
}

} // namespace

void draw_emblem(QPainter &p, const QRectF &rect)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c = rect.center();
    const qreal r = rect.width() / 2;
    const bool detailed = rect.width() >= 40;
    const qreal inner = detailed ? 0.8 * r : 0.72 * r;

    QLinearGradient ring(rect.topLeft(), rect.bottomRight());
    ring.setStops({{0, GOLD_LIGHT}, {0.45, GOLD}, {1, BRASS_DARK}});
    p.setPen(QPen(QColor(0x2a, 0x1c, 0x08), qMax(1.0, r * 0.04)));
    p.setBrush(ring);
    p.drawEllipse(c, r - r * 0.03, r - r * 0.03);

    QLinearGradient sea(c.x(), c.y() - inner, c.x(), c.y() + inner);
    sea.setStops({{0, QColor(0x1e, 0x58, 0x66)}, {1, QColor(0x04, 0x14, 0x1c)}});
    p.setPen(QPen(BRASS_DARK, qMax(1.0, r * 0.03)));
    p.setBrush(sea);
    p.drawEllipse(c, inner, inner);

    QPainterPath disc;
    disc.addEllipse(c, inner, inner);
    p.setClipPath(disc);

    // Crescent: a full moon with a slightly shifted disc taken out of it.
    const QPointF moon(c.x() + 0.2 * inner, c.y() - 0.22 * inner);
    const qreal mr = 0.36 * inner;
    QPainterPath crescent;
    crescent.addEllipse(moon, mr, mr);
    QPainterPath bite;
    bite.addEllipse(moon + QPointF(0.38 * mr, -0.22 * mr), 0.86 * mr, 0.86 * mr);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xfb, 0xea, 0xb0));
    p.drawPath(crescent.subtracted(bite));

    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x8c, 0xd0, 0xd6), qMax(1.0, 0.06 * inner), Qt::SolidLine, Qt::RoundCap));
    p.drawPath(wave(c, inner, c.y() + 0.34 * inner, detailed ? 0.05 * inner : 0));
    if (detailed) {
        p.setPen(QPen(QColor(0x5c, 0x9e, 0xa8), 0.045 * inner, Qt::SolidLine, Qt::RoundCap));
        p.drawPath(wave(c, inner, c.y() + 0.56 * inner, 0.05 * inner));
        draw_reeds(p, c, inner);
    }
    p.restore();
}

QImage emblem_image(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    draw_emblem(p, QRectF(0, 0, size, size));
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

bool write_ico(const QString &path, const QList<QImage> &images)
{
    QList<QByteArray> pngs;
    for (const QImage &image : images) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        if (!image.save(&buffer, "PNG"))
            return false;
        pngs.append(png);
    }

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(images.size());
    quint32 offset = 6 + 16 * images.size();
    for (int i = 0; i < images.size(); ++i) {
        // A dimension of 256 is stored as 0 in the one-byte directory fields.
        out << quint8(images[i].width() & 0xff) << quint8(images[i].height() & 0xff) << quint8(0)
            << quint8(0) << quint16(1) << quint16(32) << quint32(pngs[i].size()) << offset;
        offset += pngs[i].size();
    }
    for (const QByteArray &png : pngs)
        out.writeRawData(png.constData(), png.size());
    return out.status() == QDataStream::Ok && file.flush();
}

} // namespace art
